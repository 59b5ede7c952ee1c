// The closing block of the report: the eight counters in the normal mode, or
// the archive usage table.
#include "report/text_format.h"
#include "runcontrol/scan_session.h"

namespace {
constexpr WStringView kHeading = WSTR("\r\nSummary\r\n-------\r\n");
constexpr WStringView kUsageColumns =
    WSTR("\r\nArchiveName\tArchivePointRootPath\tArchived Files Original Size (KB)\tNon-Archived File Original Size "
         "(KB)\r\n");
}  // namespace

void ScanSession::writeSummary()
{
    if (!archiveUsage) {
        const struct {
            const WCHAR* label;
            std::uint32_t value;
        } lines[] = {
            {WSTR("Total files:"), totalFiles},
            {WSTR("Failed to read:"), failedToRead},
            {WSTR("Not placeholders:"), notPlaceholders},
            {WSTR("Good placeholders:"), goodPlaceholders},
            {WSTR("Bad placeholders:"), badPlaceholders},
            {WSTR("Placeholders that can't be fixed:"), unfixablePlaceholders},
            {WSTR("Fixed placeholders:"), fixedPlaceholders},
            {WSTR("Failed to fix placeholders:"), failedFixes},
        };
        WString text(kHeading);
        for (const auto& line : lines) {
            text += line.label;
            text += decimalText(line.value);
            text += WSTR("\r\n");
        }
        writeText(text);
        return;
    }
    writeText(WString(kHeading) + WString(kUsageColumns));
    for (const auto& [archivePointId, usage] : usageTable) {
        writeText(usage.archiveName + WSTR("\t") + usage.rootPath + WSTR("\t") +
                  kilobyteText(usage.archivedOriginalSize) + WSTR("\t") +
                  kilobyteText(usage.nonArchivedOriginalSize) + WSTR("\r\n"));
    }
}
