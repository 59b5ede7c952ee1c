// The thread's last-error value, and the one table from errno to the Win32
// code that Windows gives for the same condition.
//
// Every exported function sets the last error once, at its end, from the
// code its work gives back; the steps inside return a Win32 code and leave
// the last error alone. On success it is set only where Windows sets it
// (CreateFile's ERROR_SUCCESS or ERROR_ALREADY_EXISTS, FindFirstFile,
// AdjustTokenPrivileges' ERROR_NOT_ALL_ASSIGNED); elsewhere a success leaves
// it as it was, so that a CloseHandle does not wipe what the call before it
// reported.
#pragma once

#include "platform/posix/layer_private.h"

#include "platform/win32.h"

namespace posix {

// The Win32 code for an errno value. ENOENT is ERROR_FILE_NOT_FOUND here;
// Anchor::errorFor tells it apart from ERROR_PATH_NOT_FOUND by the folder.
DWORD win32ErrorFromErrno(int error);

// The end of an exported function that reports through BOOL: a failure's
// code becomes the last error; success leaves it.
inline BOOL finish(DWORD code)
{
    if (code != ERROR_SUCCESS) {
        SetLastError(code);
        return FALSE;
    }
    return TRUE;
}

}  // namespace posix
