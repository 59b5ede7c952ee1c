#include "tools/rehearsal_expectations.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <stdexcept>
#include <string>

#include "archivepoint/archive_point_marker.h"
#include "placeholder/placeholder_record.h"
#include "platform/ascii_case.h"
#include "platform/little_endian.h"
#include "platform/reparse_data_buffer.h"
#include "platform/text_conversion.h"

namespace rehearsal {

using treebuilder::Bytes;
using treebuilder::Entry;
using Type = Entry::Type;
using Verdict = ExpectedFile::Verdict;

const WStringView kSummaryHeading = WSTR("\r\nSummary\r\n-------\r\n");

namespace {

constexpr DWORD kArchivedAttributes = FILE_ATTRIBUTE_REPARSE_POINT | FILE_ATTRIBUTE_SPARSE_FILE | FILE_ATTRIBUTE_OFFLINE;

WString text(const std::string& ascii) { return wideText(ascii); }
WString number(std::uint64_t value) { return text(std::to_string(value)); }

WString hex(std::uint64_t value, int digits)
{
    char digitsText[24];
    std::snprintf(digitsText, sizeof digitsText, "%0*llx", digits, static_cast<unsigned long long>(value));
    return text(digitsText);
}

[[noreturn]] void unforeseeable(const Entry& entry, const std::string& what)
{
    throw std::runtime_error("line " + std::to_string(entry.line) +
                             ": the rehearsal cannot tell beforehand what Stubwarden says about " + what);
}

// The rules of the placeholder record, in the order Stubwarden applies them:
// the GUID, the magic value, the signature ended by U+0000, a URL that
// starts with "http" in any letter case. A record with more than 325 bytes
// of data and a lower-case "http" at 604 can be repaired. Stubwarden reads
// into a cleared buffer, so whatever lies beyond a short record reads as 0.
void judgeRecord(const Entry& entry, ExpectedFile& file)
{
    using namespace placeholder;
    Bytes buffer = entry.record;
    buffer.resize(std::max(buffer.size(), kBufferSize), 0);
    auto unitsAre = [&](std::size_t offset, WStringView expected, bool ignoreAsciiCase) {
        auto folded = [&](WCHAR unit) { return ignoreAsciiCase ? asciiLower(unit) : unit; };
        for (std::size_t i = 0; i < expected.size(); ++i) {
            if (folded(codeUnitAt(buffer.data(), offset + 2 * i)) != folded(expected[i])) {
                return false;
            }
        }
        return true;
    };
    if (std::memcmp(buffer.data() + reparse::kGuidOffset, &kGuid, sizeof kGuid) != 0) {
        file.fault = WSTR("Incorrect GUID");
    } else if (littleendian::read<std::uint32_t>(buffer.data() + kMagicOffset) != kMagic) {
        file.fault = WSTR("Incorrect magic value");
    } else if (!unitsAre(kSignatureOffset, kSignature, false) || littleendian::read<std::uint16_t>(buffer.data() + kSignatureEndOffset) != 0) {
        file.fault = WSTR("Incorrect signature");
    } else if (!unitsAre(kUrlOffset, kUrlScheme, true)) {
        file.fault = WSTR("Invalid URL");
        file.canFix = reparse::dataLengthOf(buffer.data()) > kRepairableDataLength &&
                      unitsAre(kMisplacedUrlOffset, kUrlScheme, false);
    }
    file.verdict = file.fault.empty() ? Verdict::Good : Verdict::Bad;
    if (!file.canFix) {
        return;
    }
    // A misplaced placeholder is a good one whose URL, and all after it, lies
    // 520 bytes on; repaired, it is that good placeholder again.
    const treebuilder::PlaceholderSpec& made = entry.placeholder;
    if (entry.type != Type::Placeholder || made.kind != treebuilder::PlaceholderKind::Misplaced ||
        entry.record.size() < kMisplacedUrlOffset + 2 * (made.url.size() + 1)) {
        unforeseeable(entry, "the repair of a record that is not a misplaced placeholder with its whole URL");
    }
    treebuilder::PlaceholderSpec good = made;
    good.kind = treebuilder::PlaceholderKind::Good;
    good.dataLength = reparse::dataLengthOf(buffer.data());
    file.repaired = treebuilder::placeholderRecord(good);
}

ExpectedFile fileOf(const Entry& entry)
{
    ExpectedFile file;
    file.path = entry.path;
    file.size = std::max<std::uint64_t>(entry.file.size, entry.file.content.size());
    file.attributes = (entry.file.attributes & FILE_ATTRIBUTE_OFFLINE) |
                      (entry.file.sparse ? FILE_ATTRIBUTE_SPARSE_FILE : 0);
    if (entry.type == Type::File) {
        return file;
    }
    file.attributes |= FILE_ATTRIBUTE_REPARSE_POINT;
    if (entry.type == Type::Symlink) {
        file.size = 0;
        file.attributes = FILE_ATTRIBUTE_REPARSE_POINT;
        file.verdict = Verdict::OtherReparsePoint;
        return file;
    }
    file.record = entry.record;
    if (reparse::tagOf(entry.record.data()) != placeholder::kTag) {
        file.verdict = Verdict::OtherReparsePoint;
        return file;
    }
    judgeRecord(entry, file);
    return file;
}

bool encloses(const WString& folder, const WString& path)
{
    return folder.empty() ||
           (path.size() > folder.size() && path.compare(0, folder.size(), folder) == 0 && path[folder.size()] == WSTR('\\'));
}

// The parenthesised description of a file line, creation time left out.
WString descriptionOf(const ExpectedFile& file)
{
    WString description = WSTR("(Created:*, Size:") + number(file.size);
    if ((file.attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0) {
        description += WSTR(", Reparse point");
    }
    if ((file.attributes & FILE_ATTRIBUTE_SPARSE_FILE) != 0) {
        description += WSTR(", Sparse");
    }
    if ((file.attributes & FILE_ATTRIBUTE_OFFLINE) != 0) {
        description += WSTR(", Offline");
    }
    return description + WSTR("):");
}

// The dump of a record's data area: its length, then rows of 16 bytes in
// hexadecimal with the graphic Latin-1 characters beside them.
WString dumpOf(const Bytes& record)
{
    std::size_t length = reparse::dataLengthOf(record.data());
    WString dump = WSTR("\r\nReparse Data Length: ") + (length == 0 ? WString(WSTR("0")) : WSTR("0x") + hex(length, 1)) +
                   WSTR("\r\nReparse Data:\r\n");
    for (std::size_t row = 0; row < length; row += 16) {
        WString shown;
        dump += (row == 0 ? WString() : WString(WSTR("\r\n"))) + hex(row, 4) + WSTR(": ");
        for (std::size_t i = row; i < std::min(length, row + 16); ++i) {
            BYTE byte = placeholder::kDataOffset + i < record.size() ? record[placeholder::kDataOffset + i] : 0;
            dump += (i % 8 == 0 ? WSTR(" ") : WSTR("")) + hex(byte, 2) + WSTR(" ");
            bool graphic = (byte >= 0x21 && byte <= 0x7E) || byte >= 0xA1;
            shown += graphic ? static_cast<WCHAR>(byte) : WSTR('.');
        }
        dump += WSTR(" ") + shown;
    }
    return dump;
}

WString kilobytes(std::uint64_t bytes)
{
    std::uint64_t hundredths = (bytes * 100 + 512) / 1024;
    return number(hundredths / 100) + WSTR(".") + (hundredths % 100 < 10 ? WSTR("0") : WSTR("")) +
           number(hundredths % 100);
}

ExpectedReport normalReport(const ShareExpectations& share, const RunMode& mode, const WString& root)
{
    ExpectedReport report;
    std::uint32_t notPlaceholders = 0, good = 0, bad = 0, unfixable = 0, fixed = 0;
    for (const ExpectedFile& file : share.files) {
        WString path = root + WSTR("\\") + file.path;
        Verdict verdict = mode.afterFix && file.canFix ? Verdict::Good : file.verdict;
        WString line = mode.verbose ? path + descriptionOf(file) : path + WSTR(": ");
        switch (verdict) {
        case Verdict::NotReparsePoint:
            ++notPlaceholders;
            line += WSTR("Not a reparse point");
            break;
        case Verdict::OtherReparsePoint:
            ++notPlaceholders;
            line += WSTR("None QM");
            break;
        case Verdict::Good:
            ++good;
            line += WSTR("Valid QM PH");
            break;
        case Verdict::Bad:
            ++bad;
            unfixable += file.canFix ? 0 : 1;
            fixed += mode.fix && file.canFix ? 1 : 0;
            line += file.fault;
            if (mode.dump) {
                line += dumpOf(file.record) + WSTR("\r\n");
            }
            if (mode.fix) {
                line += file.canFix ? WSTR(", Fixed") : WSTR(", Can't fix");
            }
            break;
        }
        if (mode.verbose || verdict == Verdict::Bad) {
            report.lines[path] = line + WSTR("\r\n");
        }
    }
    const std::pair<const char*, std::uint32_t> counters[] = {
        {"Total files:", static_cast<std::uint32_t>(share.files.size())},
        {"Failed to read:", 0},
        {"Not placeholders:", notPlaceholders},
        {"Good placeholders:", good},
        {"Bad placeholders:", bad},
        {"Placeholders that can't be fixed:", unfixable},
        {"Fixed placeholders:", fixed},
        {"Failed to fix placeholders:", 0}};
    report.summary = WString(kSummaryHeading);
    for (const auto& [label, value] : counters) {
        report.summary += text(label) + number(value) + WSTR("\r\n");
    }
    report.exitCode = bad != 0 ? 2 : 0;
    return report;
}

// Archive usage runs are judged without -v.
ExpectedReport usageReport(const ShareExpectations& share, const WString& root)
{
    struct Totals {
        std::uint64_t archived = 0;
        std::uint64_t notArchived = 0;
    };
    std::map<WString, Totals> totals;
    ExpectedReport report;
    for (const ExpectedFile& file : share.files) {
        if (file.archivePoint.empty()) {
            continue;
        }
        bool gatePassed = (file.attributes & kArchivedAttributes) == kArchivedAttributes;
        bool archived = gatePassed && file.verdict == Verdict::Good;
        (archived ? totals[file.archivePoint].archived : totals[file.archivePoint].notArchived) += file.size;
        if (gatePassed && file.verdict == Verdict::Bad) {
            WString path = root + WSTR("\\") + file.path;
            report.lines[path] = path + WSTR(": ") + file.fault + WSTR("\r\n");
        }
    }
    report.summary = WString(kSummaryHeading) +
                     WSTR("\r\nArchiveName\tArchivePointRootPath\tArchived Files Original Size (KB)\t"
                          "Non-Archived File Original Size (KB)\r\n");
    for (const auto& [identifier, point] : share.archivePoints) {
        WString pointRoot = point.path.empty() ? root : root + WSTR("\\") + point.path;
        report.summary += point.name + WSTR("\t") + pointRoot + WSTR("\t") + kilobytes(totals[identifier].archived) +
                          WSTR("\t") + kilobytes(totals[identifier].notArchived) + WSTR("\r\n");
    }
    report.usageRows = share.archivePoints.size();
    report.exitCode = 0;
    return report;
}

}  // namespace

void withoutSizesOfOtherReparsePoints(ShareExpectations& share)
{
    for (ExpectedFile& file : share.files) {
        // Not a symbolic link, which has no record of its own in the description.
        if (file.verdict == Verdict::OtherReparsePoint && !file.record.empty()) {
            file.size = 0;
        }
    }
}

ShareExpectations expectationsOf(const std::vector<Entry>& entries)
{
    ShareExpectations share;
    for (const Entry& entry : entries) {
        switch (entry.type) {
        case Type::Folder:
            break;
        case Type::Marker: {
            if (!entry.markerId) {
                unforeseeable(entry, "an archive point whose marker is given as XML");
            }
            if (entry.markerId->empty()) {
                unforeseeable(entry, "an archive point with an empty identifier");
            }
            for (const auto& [identifier, point] : share.archivePoints) {
                if (point.path == entry.path) {
                    unforeseeable(entry, "a folder marked twice");
                }
            }
            if (!share.archivePoints.try_emplace(*entry.markerId, ExpectedArchivePoint{entry.markerName, entry.path})
                     .second) {
                unforeseeable(entry, "two archive points with one identifier, which depend on the walk's order");
            }
            break;
        }
        case Type::Stream:
            if (equalsIgnoringAsciiCase(WStringView(entry.streamName), kMarkerStreamName)) {
                unforeseeable(entry, "an archive point marker written as a stream");
            }
            break;
        case Type::Symlink:
            if (entry.toFolder) {
                unforeseeable(entry, "a link to a folder, which the walk enters");
            }
            share.files.push_back(fileOf(entry));
            break;
        case Type::File:
        case Type::Placeholder:
        case Type::Reparse:
            share.files.push_back(fileOf(entry));
            break;
        }
    }
    for (ExpectedFile& file : share.files) {
        std::size_t deepest = 0;
        bool found = false;
        for (const auto& [identifier, point] : share.archivePoints) {
            if (encloses(point.path, file.path) && (!found || point.path.size() > deepest)) {
                file.archivePoint = identifier;
                deepest = point.path.size();
                found = true;
            }
        }
    }
    return share;
}

ExpectedReport expectedReport(const ShareExpectations& share, const RunMode& mode, const WString& root)
{
    return mode.archiveUsage ? usageReport(share, root) : normalReport(share, mode, root);
}

WString withoutCreationTime(const WString& line)
{
    constexpr WStringView kCreated = WSTR("(Created:");
    std::size_t start = line.find(kCreated);
    std::size_t end = start == WString::npos ? WString::npos : line.find(WSTR(", Size:"), start);
    if (end == WString::npos || line.find(WSTR('\n')) < end) {
        return line;
    }
    return line.substr(0, start + kCreated.size()) + WSTR("*") + line.substr(end);
}

}  // namespace rehearsal
