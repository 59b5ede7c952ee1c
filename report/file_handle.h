// FileHandle: a file opened on its reparse point itself (never recalling an
// archived file), without sharing, for one device-control call.
#pragma once

#include "platform/unique_resource.h"
#include "platform/win32.h"

class FileHandle {
public:
    // Opens for reading or for writing; throws X "CreateFile" on failure.
    FileHandle(const WString& path, bool readAccess);

    [[nodiscard]] HANDLE get() const { return handle_.get(); }
    // Closes now; the last-error value of the call before is kept.
    void close();

private:
    UniqueHandle handle_;
};
