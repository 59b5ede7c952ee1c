#include "platform/unique_resource.h"
#include "runcontrol/scan_session.h"

// True when the token could be opened and adjusted. Whether the account
// holds the privilege is not examined: without it the run goes on, as
// Windows reports that only through the last-error value.
bool ScanSession::setPrivilege(const WString& privilegeName, bool enable)
{
    HANDLE rawToken = nullptr;
    if (!OpenProcessToken(GetCurrentProcess(), TOKEN_ADJUST_PRIVILEGES, &rawToken)) {
        return false;
    }
    UniqueTokenHandle token(rawToken);
    TOKEN_PRIVILEGES privileges{};
    privileges.PrivilegeCount = 1;
    if (!LookupPrivilegeValueW(nullptr, privilegeName.c_str(), &privileges.Privileges[0].Luid)) {
        return false;
    }
    privileges.Privileges[0].Attributes = enable ? SE_PRIVILEGE_ENABLED : 0;
    return AdjustTokenPrivileges(token.get(), FALSE, &privileges, 0, nullptr, nullptr) != FALSE;
}
