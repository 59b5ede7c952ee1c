// X: a failed Windows call on a path. It carries the operation's name, the
// path and the thread's last-error value, read when the X is made.
#pragma once

#include "platform/win32.h"

class X {
public:
    X(const WCHAR* failedOperation, const WString& failedPath)
        : message(failedOperation), path(failedPath), errorCode(GetLastError())
    {
    }

    WString message;
    WString path;
    DWORD errorCode;
};
