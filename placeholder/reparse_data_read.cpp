#include "placeholder/reparse_data_read.h"

#include <algorithm>
#include <cstring>

#include "placeholder/placeholder_record.h"
#include "report/failure.h"
#include "report/file_handle.h"

namespace placeholder {
namespace {

// Clears the buffer past a record of `length` bytes up to the end of the
// range the repair moves, which covers every field the checks read: not the
// whole 16 KiB for every placeholder read. The dump shows only what was read.
void clearPastRecord(BYTE* buffer, std::size_t length)
{
    std::size_t cleared = std::max(length, kMisplacedUrlOffset + kMoveLength);
    std::memset(buffer + length, 0, cleared - length);
}

}  // namespace

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
    clearPastRecord(buffer, bytesReturned);
    return bytesReturned;
}

}  // namespace placeholder
