#include "platform/account_rights.h"

#include "platform/win32.h"

bool mayWriteEveryFile()
{
    // Without elevation the token holds Administrators for denying only, and
    // the membership check says no.
    BYTE sid[SECURITY_MAX_SID_SIZE];
    DWORD size = sizeof sid;
    BOOL member = FALSE;
    return CreateWellKnownSid(WinBuiltinAdministratorsSid, nullptr, sid, &size) &&
           CheckTokenMembership(nullptr, sid, &member) && member;
}
