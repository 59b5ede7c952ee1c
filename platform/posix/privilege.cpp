// The backup privilege is CAP_DAC_READ_SEARCH: it lets a process read every
// file and folder whatever their permissions. Enabling raises it in the
// effective set when the permitted set holds it; when it does not,
// AdjustTokenPrivileges still succeeds and reports ERROR_NOT_ALL_ASSIGNED,
// exactly as Windows does for an account without the privilege.
#include <sys/capability.h>

#include <memory>

#include "platform/account_rights.h"
#include "platform/ascii_case.h"
#include "platform/posix/handle_objects.h"
#include "platform/posix/last_error.h"

namespace posix {
namespace {

constexpr DWORD kBackupPrivilegeLuid = 17;  // SE_BACKUP_PRIVILEGE on Windows

struct ProcessObject : HandleObject {
    static constexpr HandleKind kKind = HandleKind::Process;
    ProcessObject() : HandleObject(kKind) {}
};

struct CapabilitiesDeleter {
    void operator()(cap_t capabilities) const { cap_free(capabilities); }
};
using UniqueCapabilities = std::unique_ptr<std::remove_pointer_t<cap_t>, CapabilitiesDeleter>;

}  // namespace
}  // namespace posix

using namespace posix;

HANDLE GetCurrentProcess()
{
    static ProcessObject process;
    return toHandle(&process);
}

BOOL OpenProcessToken(HANDLE process, DWORD, PHANDLE token)
{
    return onHandle<ProcessObject>(process, {token}, [&](ProcessObject&) -> DWORD {
        *token = toHandle(new TokenObject);
        return ERROR_SUCCESS;
    });
}

BOOL LookupPrivilegeValueW(LPCWSTR systemName, LPCWSTR name, PLUID luid)
{
    if ((systemName != nullptr && *systemName != 0) || name == nullptr || luid == nullptr) {
        return finish(ERROR_INVALID_PARAMETER);
    }
    // Privilege names compare without regard to case, as on Windows.
    if (!equalsIgnoringAsciiCase(WStringView(name), SE_BACKUP_NAME)) {
        return finish(ERROR_NO_SUCH_PRIVILEGE);
    }
    *luid = LUID{kBackupPrivilegeLuid, 0};
    return finish(ERROR_SUCCESS);
}

namespace {

// ERROR_SUCCESS, ERROR_NOT_ALL_ASSIGNED (a success too), or the failure.
DWORD adjustPrivileges(BOOL disableAll, PTOKEN_PRIVILEGES newState)
{
    if (disableAll || newState == nullptr) {
        return ERROR_INVALID_PARAMETER;
    }
    bool allAssigned = true;
    for (DWORD i = 0; i < newState->PrivilegeCount; ++i) {
        const LUID_AND_ATTRIBUTES& entry = newState->Privileges[i];
        if (entry.Luid.LowPart != kBackupPrivilegeLuid || entry.Luid.HighPart != 0) {
            allAssigned = false;
            continue;
        }
        UniqueCapabilities capabilities(cap_get_proc());
        if (!capabilities) {
            return win32ErrorFromErrno(errno);
        }
        cap_flag_value_t permitted = CAP_CLEAR;
        cap_get_flag(capabilities.get(), CAP_DAC_READ_SEARCH, CAP_PERMITTED, &permitted);
        if (permitted != CAP_SET) {
            allAssigned = false;
            continue;
        }
        cap_value_t capability = CAP_DAC_READ_SEARCH;
        cap_flag_value_t value = (entry.Attributes & SE_PRIVILEGE_ENABLED) != 0 ? CAP_SET : CAP_CLEAR;
        if (cap_set_flag(capabilities.get(), CAP_EFFECTIVE, 1, &capability, value) != 0 ||
            cap_set_proc(capabilities.get()) != 0) {
            return win32ErrorFromErrno(errno);
        }
    }
    return allAssigned ? ERROR_SUCCESS : ERROR_NOT_ALL_ASSIGNED;
}

}  // namespace

BOOL AdjustTokenPrivileges(HANDLE token, BOOL disableAll, PTOKEN_PRIVILEGES newState, DWORD, PTOKEN_PRIVILEGES,
                           DWORD*)
{
    DWORD code = handleAs<TokenObject>(token) == nullptr ? ERROR_INVALID_HANDLE : adjustPrivileges(disableAll, newState);
    SetLastError(code);
    return code == ERROR_SUCCESS || code == ERROR_NOT_ALL_ASSIGNED ? TRUE : FALSE;
}

bool mayWriteEveryFile()
{
    UniqueCapabilities capabilities(cap_get_proc());
    cap_flag_value_t effective = CAP_CLEAR;
    return capabilities && cap_get_flag(capabilities.get(), CAP_DAC_OVERRIDE, CAP_EFFECTIVE, &effective) == 0 &&
           effective == CAP_SET;
}
