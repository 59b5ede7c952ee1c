#include "placeholder/reparse_data_read.h"

#include "placeholder/placeholder_record.h"
#include "report/failure.h"
#include "report/file_handle.h"

namespace placeholder {

DWORD readReparseData(const WString& filePath, BYTE* buffer, FileIdentity* identity)
{
    FileHandle file(filePath, true);
    DWORD bytesReturned = 0;
    BOOL read = DeviceIoControl(file.get(), FSCTL_GET_REPARSE_POINT, nullptr, 0, buffer,
                                static_cast<DWORD>(kBufferSize), &bytesReturned, nullptr);
    std::optional<FileIdentity> readFrom = read && identity != nullptr ? fileIdentity(file.get()) : std::nullopt;
    file.close();
    if (!read) {
        throw X(WSTR("DeviceIoControl"), filePath);
    }
    if (identity != nullptr) {
        if (!readFrom) {
            throw X(WSTR("GetFileInformationByHandle"), filePath);
        }
        *identity = *readFrom;
    }
    return bytesReturned;
}

}  // namespace placeholder
