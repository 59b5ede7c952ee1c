#include "report/file_handle.h"

#include "report/failure.h"

// The writer also reads the attributes: the repair makes sure through its own
// handle that the file is still the one whose record it validated.
FileHandle::FileHandle(const WString& path, bool readAccess)
    : handle_(CreateFileW(path.c_str(), readAccess ? GENERIC_READ : GENERIC_WRITE | FILE_READ_ATTRIBUTES, 0, nullptr,
                          OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr))
{
    if (!handle_) {
        throw X(WSTR("CreateFile"), path);
    }
}

void FileHandle::close()
{
    DWORD lastError = GetLastError();
    handle_.reset();
    SetLastError(lastError);
}
