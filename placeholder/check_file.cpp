// The per-file check of the normal mode: classify, count, and write the
// file's line; dump and repair bad placeholders when asked to.
//
//   not a reparse point  verbose: path description "Not a reparse point"
//   reading failed       [path] [description] ", Failed to interogate file due to Error:" msg ":" code LF
//   tag is not 16        verbose: path description "None QM"
//   good placeholder     verbose: path description "Valid QM PH"
//   bad placeholder      path (": " | description) fault [dump] [repair outcome]
#include <array>

#include "placeholder/file_description.h"
#include "placeholder/placeholder_record.h"
#include "placeholder/reparse_data_read.h"
#include "report/failure.h"
#include "report/text_format.h"
#include "runcontrol/scan_session.h"

using namespace placeholder;

void ScanSession::checkFile(const WString& filePath, const WIN32_FIND_DATAW& findData)
{
    ++totalFiles;
    if (verbose) {
        writeText(filePath);
        writeText(fileDescription(findData));
    }
    if ((findData.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) == 0) {
        ++notPlaceholders;
        if (verbose) {
            writeLine(WSTR("Not a reparse point"));
        }
        return;
    }

    alignas(8) std::array<BYTE, kBufferSize> buffer;  // cleared past the record by the read
    DWORD bytesReturned = 0;
    FileIdentity readFrom;  // for a repair, which writes only to this file
    try {
        bytesReturned = readReparseData(filePath, buffer.data(), fixPlaceholders ? &readFrom : nullptr);
    } catch (const X& failure) {
        ++failedToRead;
        if (!verbose) {
            writeText(filePath);
        }
        writeText(WSTR(", Failed to interogate file due to Error:") + failure.message + WSTR(":") +
                  decimalText(failure.errorCode) + WSTR("\n"));
        return;
    }
    if (reparse::tagOf(buffer.data()) != kTag) {
        ++notPlaceholders;
        if (verbose) {
            writeLine(WSTR("None QM"));
        }
        return;
    }

    bool canFix = false;
    std::size_t dataLength = reparse::returnedDataLength(kTag, bytesReturned);
    bool valid = validatePlaceholder(filePath, buffer.data(), dataLength, canFix);
    if (valid) {
        ++goodPlaceholders;
    } else {
        ++badPlaceholders;
        if (!canFix) {
            ++unfixablePlaceholders;
        }
        if (dumpReparseData) {
            writeReparseDump(buffer.data(), dataLength);
        }
        if (fixPlaceholders) {
            if (canFix) {
                repairPlaceholder(filePath, buffer.data(), bytesReturned, readFrom);
            } else {
                writeText(WSTR(", "));
                writeText(WSTR("Can't fix"));
            }
        }
    }
    if (!valid || verbose) {
        writeLine(WString());
    }
}
