// The repair of a misplaced record: its url and what follows move from 604
// back to 84, the flag bytes are set, and the record is written back whole,
// with its length unchanged.
//
// Between the validation and the write the file is closed, so another
// placeholder may have been renamed over it, or another writer may have set a
// new record. The record is written only to the file it was read from and
// only while that file still holds exactly the record validated; both are
// checked through the handle the write goes through, which shares the file
// with no one (on Linux no one who takes the share locks: a writer that does
// not could still slip in between the check and the write). Otherwise
// nothing is written, and the line says
// ERROR_FILE_INVALID (1006): "the file has been externally altered", which
// is what happened to the file that was validated.
#include <algorithm>
#include <array>
#include <cstring>

#include "placeholder/placeholder_record.h"
#include "report/failure.h"
#include "report/file_handle.h"
#include "report/text_format.h"
#include "runcontrol/scan_session.h"

using namespace placeholder;

namespace {

// Throws X "DeviceIoControl" unless the open file is `validatedFile` and
// holds `validated` (its first `length` bytes) as its record.
void checkStillValidated(const FileHandle& file, const WString& filePath, const FileIdentity& validatedFile,
                         const BYTE* validated, DWORD length)
{
    std::optional<FileIdentity> identity = fileIdentity(file.get());
    if (!identity) {
        throw X(WSTR("GetFileInformationByHandle"), filePath);
    }
    alignas(8) std::array<BYTE, kBufferSize> current{};
    DWORD currentLength = 0;
    if (!DeviceIoControl(file.get(), FSCTL_GET_REPARSE_POINT, nullptr, 0, current.data(),
                         static_cast<DWORD>(current.size()), &currentLength, nullptr)) {
        throw X(WSTR("DeviceIoControl"), filePath);
    }
    if (*identity != validatedFile || currentLength != length || std::memcmp(current.data(), validated, length) != 0) {
        SetLastError(ERROR_FILE_INVALID);
        throw X(WSTR("DeviceIoControl"), filePath);
    }
}

}  // namespace

void ScanSession::repairPlaceholder(const WString& filePath, BYTE* reparseBuffer, DWORD bytesReturned,
                                    const FileIdentity& validatedFile)
{
    alignas(8) std::array<BYTE, kBufferSize> validated;
    std::memcpy(validated.data(), reparseBuffer, std::min<std::size_t>(bytesReturned, validated.size()));
    // The ranges overlap; memmove gives what a copy from the lowest address
    // up gives: byte 84 + k receives the old byte 604 + k.
    std::memmove(reparseBuffer + kUrlOffset, reparseBuffer + kMisplacedUrlOffset, kMoveLength);
    std::memcpy(reparseBuffer + kFlagBytesOffset, kRepairedFlagBytes, sizeof kRepairedFlagBytes);
    try {
        FileHandle file(filePath, false);
        checkStillValidated(file, filePath, validatedFile, validated.data(), bytesReturned);
        DWORD unused = 0;
        BOOL written = DeviceIoControl(file.get(), FSCTL_SET_REPARSE_POINT, reparseBuffer, bytesReturned, nullptr,
                                       0, &unused, nullptr);
        file.close();
        if (!written) {
            throw X(WSTR("DeviceIoControl"), filePath);
        }
    } catch (const X& failure) {
        ++failedFixes;
        writeText(WSTR(", Failed to fix:") + failure.message + WSTR(":") + decimalText(failure.errorCode));
        return;
    }
    ++fixedPlaceholders;
    writeText(WSTR(", Fixed"));
}
