// The repair of a misplaced record: its url and what follows move from 604
// back to 84, the flag bytes are set, and the record is written back whole,
// with its length unchanged.
#include <cstring>

#include "placeholder/placeholder_record.h"
#include "report/failure.h"
#include "report/file_handle.h"
#include "report/text_format.h"
#include "runcontrol/scan_session.h"

using namespace placeholder;

void ScanSession::repairPlaceholder(const WString& filePath, BYTE* reparseBuffer, DWORD bytesReturned)
{
    // The ranges overlap; memmove gives what a copy from the lowest address
    // up gives: byte 84 + k receives the old byte 604 + k.
    std::memmove(reparseBuffer + kUrlOffset, reparseBuffer + kMisplacedUrlOffset, kMoveLength);
    std::memcpy(reparseBuffer + kFlagBytesOffset, kRepairedFlagBytes, sizeof kRepairedFlagBytes);
    try {
        FileHandle file(filePath, false);
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
