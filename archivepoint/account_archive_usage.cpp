// Archive usage mode: every file's size goes to the archived or non-archived
// total of the innermost archive point that encloses it. A file is archived
// when it is a reparse point, offline and sparse, and its record is valid.
//
//   outside every archive point  verbose: path ": Not inside an archive point"
//   gate or tag fails            verbose: path description "Not an QM PH"
//   valid placeholder            verbose: path description "Valid QM PH"
//   invalid placeholder          path (description fault "Not a valid QM PH" | ": " fault)
//   reading failed               path [description] ", Failed to determine QM ph due to Error:" msg ":" code LF CR LF
#include <algorithm>
#include <array>

#include "placeholder/file_description.h"
#include "placeholder/placeholder_record.h"
#include "placeholder/reparse_data_read.h"
#include "report/failure.h"
#include "report/text_format.h"
#include "runcontrol/scan_session.h"

using namespace placeholder;

void ScanSession::accountArchiveUsage(const WString& filePath, const WIN32_FIND_DATAW& findData,
                                      const WString& archivePointId)
{
    ++totalFiles;
    if (archivePointId.empty()) {
        if (verbose) {
            writeText(filePath);
            writeLine(WSTR(": Not inside an archive point"));
        }
        return;
    }
    // Every file of a folder asks for the entry asked for last.
    // (std::equal compares the units with memcmp; char_traits<char16_t> would
    // compare them one by one.)
    bool sameAsLast = lastUsage != nullptr && archivePointId.size() == lastUsagePointId.size() &&
                      std::equal(archivePointId.begin(), archivePointId.end(), lastUsagePointId.begin());
    ArchivePointUsage& usage = sameAsLast ? *lastUsage : usageOf(archivePointId);
    bool archived = isArchivedPlaceholder(filePath, findData);
    std::uint64_t size = (static_cast<std::uint64_t>(findData.nFileSizeHigh) << 32) | findData.nFileSizeLow;
    (archived ? usage.archivedOriginalSize : usage.nonArchivedOriginalSize) += size;
}

// Entries are never removed from the table, so the one found stays valid.
ArchivePointUsage& ScanSession::usageOf(const WString& archivePointId)
{
    lastUsage = &usageTable.at(archivePointId);
    lastUsagePointId = archivePointId;
    return *lastUsage;
}

bool ScanSession::isArchivedPlaceholder(const WString& filePath, const WIN32_FIND_DATAW& findData)
{
    if (verbose) {
        writeText(filePath);
        writeText(fileDescription(findData));
    }
    constexpr DWORD kArchivedAttributes =
        FILE_ATTRIBUTE_REPARSE_POINT | FILE_ATTRIBUTE_OFFLINE | FILE_ATTRIBUTE_SPARSE_FILE;
    if ((findData.dwFileAttributes & kArchivedAttributes) != kArchivedAttributes) {
        if (verbose) {
            writeLine(WSTR("Not an QM PH"));
        }
        return false;
    }

    alignas(8) std::array<BYTE, kBufferSize> buffer;  // cleared past the record by the read
    DWORD bytesReturned = 0;
    try {
        bytesReturned = readReparseData(filePath, buffer.data());
    } catch (const X& failure) {
        if (!verbose) {
            writeText(filePath);
        }
        writeText(WSTR(", Failed to determine QM ph due to Error:") + failure.message + WSTR(":") +
                  decimalText(failure.errorCode) + WSTR("\n"));
        writeLine(WString());
        return false;
    }
    if (reparse::tagOf(buffer.data()) != kTag) {
        if (verbose) {
            writeLine(WSTR("Not an QM PH"));
        }
        return false;
    }
    bool canFix = false;
    if (validatePlaceholder(filePath, buffer.data(), reparse::returnedDataLength(kTag, bytesReturned), canFix)) {
        if (verbose) {
            writeLine(WString());
        }
        return true;
    }
    writeLine(verbose ? WSTR("Not a valid QM PH") : WString());
    return false;
}
