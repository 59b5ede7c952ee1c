// The thread's last-error value, and the one table from errno to the Win32
// code that Windows gives for the same condition.
#pragma once

#include "platform/posix/layer_private.h"

#include <string>

#include "platform/win32.h"

namespace posix {

// The Win32 code for an errno value. ENOENT is ERROR_FILE_NOT_FOUND here;
// setLastErrorFromErrno tells it apart from ERROR_PATH_NOT_FOUND by the path.
DWORD win32ErrorFromErrno(int error);

// Sets the last error from errno after a failed call on fsPath. For ENOENT:
// ERROR_PATH_NOT_FOUND when a folder on the way is missing, else
// ERROR_FILE_NOT_FOUND.
void setLastErrorFromErrno(int error, const std::string& fsPath);

// Sets the last error and returns the failure value of the calling function.
template <typename T>
T fail(DWORD code, T result)
{
    SetLastError(code);
    return result;
}

}  // namespace posix
