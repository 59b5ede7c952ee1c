#include "tools/report_reading.h"

#include <algorithm>
#include <cstdio>

namespace reportreading {

const std::array<const char*, kCounterCount> kCounterNames = {
    "total_files",        "failed_to_read",         "not_placeholders",   "good_placeholders",
    "bad_placeholders",   "unfixable_placeholders", "fixed_placeholders", "failed_fixes",
};

namespace {

using Text = std::u16string;
using View = std::u16string_view;

Text u(std::string_view ascii) { return Text(ascii.begin(), ascii.end()); }

bool endsWith(View text, View end) { return text.size() >= end.size() && text.substr(text.size() - end.size()) == end; }
bool startsWith(View text, View start) { return text.substr(0, start.size()) == start; }

bool allDigits(View text)
{
    return !text.empty() && std::all_of(text.begin(), text.end(), [](char16_t c) { return c >= u'0' && c <= u'9'; });
}

// A decimal that fits in 32 (or 64) bits, as the program writes it: no sign,
// no leading zeros.
template <typename Number>
std::optional<Number> decimal(View text)
{
    if (!allDigits(text) || (text.size() > 1 && text[0] == u'0')) {
        return std::nullopt;
    }
    Number value = 0;
    for (char16_t c : text) {
        auto digit = static_cast<Number>(c - u'0');
        if (value > (static_cast<Number>(-1) - digit) / 10) {
            return std::nullopt;
        }
        value = value * 10 + digit;
    }
    return value;
}

std::string ascii(View text) { return std::string(text.begin(), text.end()); }

// "<operation>:<code>" at the end of a failure text.
std::optional<Failure> failure(View text)
{
    std::size_t colon = text.rfind(u':');
    if (colon == View::npos || colon == 0) {
        return std::nullopt;
    }
    std::optional<std::uint32_t> code = decimal<std::uint32_t>(text.substr(colon + 1));
    View operation = text.substr(0, colon);
    bool plain = std::all_of(operation.begin(), operation.end(),
                             [](char16_t c) { return (c >= u'A' && c <= u'Z') || (c >= u'a' && c <= u'z'); });
    if (!code || !plain) {
        return std::nullopt;
    }
    return Failure{ascii(operation), *code};
}

// `text` ends with the verbose description: the path and the description.
std::optional<std::pair<Text, Description>> describedPath(View text)
{
    static const Text kCreated = u("(Created:");
    static const Text kSize = u(", Size:");
    if (!endsWith(text, u"):")) {
        return std::nullopt;
    }
    std::size_t open = text.rfind(kCreated);
    if (open == View::npos) {
        return std::nullopt;
    }
    View inside = text.substr(open + kCreated.size(), text.size() - 2 - open - kCreated.size());
    std::size_t size = inside.find(kSize);
    if (size == View::npos) {
        return std::nullopt;
    }
    Description description;
    View created = inside.substr(0, size);
    // "dd/mm/yy HH:MM:SS GMT", or nothing when the time could not be shown.
    if (!created.empty()) {
        static const Text kShape = u("00/00/00 00:00:00 GMT");
        if (created.size() != kShape.size()) {
            return std::nullopt;
        }
        for (std::size_t i = 0; i < created.size(); ++i) {
            bool digit = created[i] >= u'0' && created[i] <= u'9';
            if (kShape[i] == u'0' ? !digit : created[i] != kShape[i]) {
                return std::nullopt;
            }
        }
    }
    description.created = ascii(created);
    View rest = inside.substr(size + kSize.size());
    std::size_t numberEnd = 0;
    if (!rest.empty() && rest[0] == u'-') {
        numberEnd = 1;
    }
    while (numberEnd < rest.size() && rest[numberEnd] >= u'0' && rest[numberEnd] <= u'9') {
        ++numberEnd;
    }
    View number = rest.substr(0, numberEnd);
    bool negative = !number.empty() && number[0] == u'-';
    std::optional<std::uint64_t> magnitude = decimal<std::uint64_t>(number.substr(negative ? 1 : 0));
    // The size is written as a signed 64-bit number.
    if (!magnitude || *magnitude > (negative ? 9223372036854775808ULL : 9223372036854775807ULL) ||
        (negative && *magnitude == 0)) {
        return std::nullopt;
    }
    description.size = negative ? static_cast<std::int64_t>(0 - *magnitude) : static_cast<std::int64_t>(*magnitude);
    rest.remove_prefix(numberEnd);
    for (auto [word, flag] : {std::pair{u", Reparse point", &description.reparsePoint},
                              std::pair{u", Sparse", &description.sparse}, std::pair{u", Offline", &description.offline}}) {
        if (startsWith(rest, word)) {
            *flag = true;
            rest.remove_prefix(View(word).size());
        }
    }
    if (!rest.empty()) {
        return std::nullopt;
    }
    return std::pair{Text(text.substr(0, open)), description};
}

const std::array<Text, 4> kFaults = {u("Incorrect GUID"), u("Incorrect magic value"), u("Incorrect signature"),
                                     u("Invalid URL")};

// The text before a verdict: "<path>: " without -v, or "<path><description>"
// with it.
bool pathAndDescription(View before, FileLine& line, bool verboseOnly)
{
    if (auto described = describedPath(before)) {
        line.path = described->first;
        line.description = described->second;
        return true;
    }
    if (!verboseOnly && endsWith(before, u": ")) {
        line.path = Text(before.substr(0, before.size() - 2));
        return true;
    }
    return false;
}

// "<before><fault>": the bad placeholder's beginning.
bool badBeginning(View text, FileLine& line)
{
    for (const Text& fault : kFaults) {
        if (endsWith(text, fault) && pathAndDescription(text.substr(0, text.size() - fault.size()), line, false)) {
            line.verdict = Verdict::Bad;
            line.fault = ascii(fault);
            return true;
        }
    }
    return false;
}

// What may follow a fault (and its dump) under -fixphs.
bool repairOutcome(View text, FileLine& line)
{
    static const Text kFailed = u(", Failed to fix:");
    if (text.empty()) {
        line.repair = Repair::None;
    } else if (text == u", Fixed") {
        line.repair = Repair::Fixed;
    } else if (text == u", Can't fix") {
        line.repair = Repair::CannotFix;
    } else if (startsWith(text, kFailed) && (line.repairFailure = failure(text.substr(kFailed.size())))) {
        line.repair = Repair::Failed;
    } else {
        return false;
    }
    return true;
}

// A line ended by CR LF that holds no dump, without its CR LF.
std::optional<Entry> crlfLine(View text)
{
    Entry entry;
    struct FolderForm {
        const char16_t* literal;
        FolderOutcome outcome;
        const char* operation;
    };
    for (const FolderForm& form :
         {FolderForm{u": skipped, Reason: FindFirstFileExW failed with error(", FolderOutcome::Skipped, "FindFirstFileExW"},
          FolderForm{u": partially processed, Reason: FindNextFile failed with error(",
                     FolderOutcome::PartiallyProcessed, "FindNextFile"},
          FolderForm{u": skipped, Reason: CheckIsFolderAnArchivePoint failed, error(", FolderOutcome::Skipped,
                     "CheckIsFolderAnArchivePoint"}}) {
        std::size_t at = text.rfind(form.literal);
        if (at == View::npos || !endsWith(text, u")")) {
            continue;
        }
        View detail = text.substr(at + View(form.literal).size());
        detail.remove_suffix(1);
        FolderLine folder{Text(text.substr(0, at)), form.outcome, form.operation, std::nullopt, {}};
        if (folder.operation == "CheckIsFolderAnArchivePoint") {
            folder.message = Text(detail);
        } else if (!(folder.code = decimal<std::uint32_t>(detail))) {
            continue;
        }
        entry.folder = folder;
        return entry;
    }

    FileLine line;
    static const Text kOutside = u(": Not inside an archive point");
    if (endsWith(text, kOutside)) {
        line.path = Text(text.substr(0, text.size() - kOutside.size()));
        line.verdict = Verdict::OutsideArchivePoint;
        entry.file = line;
        return entry;
    }
    for (auto [word, verdict] : {std::pair{u"Not a reparse point", Verdict::NotReparsePoint},
                                 std::pair{u"None QM", Verdict::OtherReparsePoint}, std::pair{u"Valid QM PH", Verdict::Good},
                                 std::pair{u"Not an QM PH", Verdict::NotArchived}}) {
        if (endsWith(text, word) && pathAndDescription(text.substr(0, text.size() - View(word).size()), line, true)) {
            line.verdict = verdict;
            entry.file = line;
            return entry;
        }
    }
    // Archive usage, -v: the fault, then "Not a valid QM PH".
    static const Text kNotValid = u("Not a valid QM PH");
    if (endsWith(text, kNotValid)) {
        View before = text.substr(0, text.size() - kNotValid.size());
        for (const Text& fault : kFaults) {
            if (endsWith(before, fault) &&
                pathAndDescription(before.substr(0, before.size() - fault.size()), line, true)) {
                line.verdict = Verdict::Bad;
                line.fault = ascii(fault);
                entry.file = line;
                return entry;
            }
        }
    }
    // A bad placeholder, with the outcome of a repair when there is one.
    for (std::size_t end = text.size();;) {
        FileLine bad;
        if (badBeginning(text.substr(0, end), bad) && repairOutcome(text.substr(end), bad)) {
            entry.file = bad;
            return entry;
        }
        std::size_t comma = end == 0 ? View::npos : text.rfind(u", ", end - 1);
        if (comma == View::npos) {
            break;
        }
        end = comma;
    }
    return std::nullopt;
}

// The line of a failed read, without its final LF.
std::optional<Entry> failureLine(View text, bool& archiveUsage)
{
    for (auto [literal, usage] : {std::pair{u", Failed to interogate file due to Error:", false},
                                  std::pair{u", Failed to determine QM ph due to Error:", true}}) {
        std::size_t at = text.rfind(literal);
        if (at == View::npos) {
            continue;
        }
        FileLine line;
        line.readFailure = failure(text.substr(at + View(literal).size()));
        if (!line.readFailure) {
            continue;
        }
        // With -v the description comes between the path and the failure.
        if (!pathAndDescription(text.substr(0, at), line, true)) {
            line.path = Text(text.substr(0, at));
        }
        line.verdict = Verdict::ReadFailed;
        archiveUsage = usage;
        Entry entry;
        entry.file = line;
        return entry;
    }
    return std::nullopt;
}

const char16_t* kHex = u"0123456789abcdef";

Text hexText(unsigned value, int digits)
{
    Text text(static_cast<std::size_t>(digits), u'0');
    for (int i = digits - 1; i >= 0; --i, value >>= 4) {
        text[static_cast<std::size_t>(i)] = kHex[value & 15];
    }
    return text;
}

// The dump's rows, from `at` (just after "Reparse Data:\r\n"), into `dump`;
// returns where the text after the dump's last CR LF begins.
std::optional<std::size_t> dumpRows(View body, std::size_t at, Dump& dump)
{
    for (unsigned offset = 0; offset < dump.length; offset += 16) {
        unsigned count = std::min(16u, dump.length - offset);
        Text row = hexText(offset, 4) + u": ";
        std::string bytes;
        std::size_t position = at + row.size();
        if (body.substr(at, row.size()) != row) {
            return std::nullopt;
        }
        Text column;
        for (unsigned i = 0; i < count; ++i) {
            if (i % 8 == 0) {
                if (position >= body.size() || body[position] != u' ') {
                    return std::nullopt;
                }
                ++position;
            }
            auto digit = [&](std::size_t p) -> int {
                if (p >= body.size()) {
                    return -1;
                }
                const char16_t* found = std::char_traits<char16_t>::find(kHex, 16, body[p]);
                return found == nullptr ? -1 : static_cast<int>(found - kHex);
            };
            int high = digit(position);
            int low = digit(position + 1);
            if (high < 0 || low < 0 || position + 2 >= body.size() || body[position + 2] != u' ') {
                return std::nullopt;
            }
            auto byte = static_cast<unsigned char>(high * 16 + low);
            bytes += static_cast<char>(byte);
            column += (byte >= 0x21 && byte <= 0x7E) || byte >= 0xA1 ? static_cast<char16_t>(byte) : u'.';
            position += 3;
        }
        Text tail = u" " + column + u"\r\n";
        if (body.substr(position, tail.size()) != tail) {
            return std::nullopt;
        }
        dump.bytes += bytes;
        at = position + tail.size();
    }
    if (dump.length == 0) {
        if (body.substr(at, 2) != u"\r\n") {
            return std::nullopt;
        }
        at += 2;
    }
    return at;
}

// A bad placeholder's line broken by its dump: `first` is the text up to the
// dump's leading CR LF, `next` where the dump's second line begins. Returns
// the end of the record (after its last CR LF).
std::optional<std::size_t> dumpedLine(View body, View first, std::size_t next, Entry& entry)
{
    static const Text kLength = u("Reparse Data Length: ");
    static const Text kData = u("Reparse Data:\r\n");
    FileLine line;
    if (!badBeginning(first, line) || body.substr(next, kLength.size()) != kLength) {
        return std::nullopt;
    }
    std::size_t lengthEnd = body.find(u"\r\n", next);
    if (lengthEnd == View::npos) {
        return std::nullopt;
    }
    View lengthText = body.substr(next + kLength.size(), lengthEnd - next - kLength.size());
    Dump dump;
    if (lengthText != u"0") {
        if (!startsWith(lengthText, u"0x") || lengthText.size() > 6 || lengthText.size() < 3 || lengthText[2] == u'0') {
            return std::nullopt;
        }
        for (char16_t c : lengthText.substr(2)) {
            const char16_t* found = std::char_traits<char16_t>::find(kHex, 16, c);
            if (found == nullptr) {
                return std::nullopt;
            }
            dump.length = dump.length * 16 + static_cast<unsigned>(found - kHex);
        }
        if (dump.length > 0xFFFF) {
            return std::nullopt;
        }
    }
    std::size_t at = lengthEnd + 2;
    if (body.substr(at, kData.size()) != kData) {
        return std::nullopt;
    }
    std::optional<std::size_t> after = dumpRows(body, at + kData.size(), dump);
    if (!after) {
        return std::nullopt;
    }
    std::size_t end = body.find(u"\r\n", *after);
    if (end == View::npos || !repairOutcome(body.substr(*after, end - *after), line)) {
        return std::nullopt;
    }
    line.dump = dump;
    entry.file = line;
    return end + 2;
}

const Text kPathStart = u("\\\\?\\UNC\\");

// How far a record may run over line ends of its own (a name that holds
// LF or CR LF) before it is taken for no report line.
constexpr int kMostLineEndsInARecord = 64;

std::vector<Entry> parseBody(View body)
{
    std::vector<Entry> parsed;
    std::size_t line = 1;
    std::size_t at = 0;
    while (at < body.size()) {
        std::optional<Entry> entry;
        std::size_t end = 0;
        std::size_t lf = body.find(u'\n', at);
        for (int tries = 0; lf != View::npos && tries < kMostLineEndsInARecord && !entry;
             ++tries, lf = body.find(u'\n', lf + 1)) {
            View text = body.substr(at, lf - at);
            if (endsWith(text, u"\r")) {
                text.remove_suffix(1);
                // A fault followed by a dump is also a whole bad line; the dump
                // goes with it.
                if (Entry dumped; std::optional<std::size_t> after = dumpedLine(body, text, lf + 1, dumped)) {
                    entry = dumped;
                    end = *after;
                } else if ((entry = crlfLine(text))) {
                    end = lf + 1;
                }
            }
            if (!entry) {
                bool usage = false;
                if ((entry = failureLine(text, usage))) {
                    end = lf + 1;
                    // Archive usage ends the failure text with LF, then CR LF.
                    if (usage) {
                        if (body.substr(end, 2) != u"\r\n") {
                            entry.reset();
                            continue;
                        }
                        end += 2;
                    }
                }
            }
        }
        // Every path the program writes is the target's, which begins as
        // the run normalised it; a line that a name's own line ends seem
        // to join to the next one is no path.
        if (entry) {
            const Text& path = entry->file ? entry->file->path : entry->folder->path;
            if (!startsWith(path, kPathStart)) {
                entry.reset();
            }
        }
        if (!entry) {
            View shown = body.substr(at, std::min<std::size_t>(body.find(u'\n', at) - at, 80));
            while (!shown.empty() && shown.back() == u'\r') {
                shown.remove_suffix(1);
            }
            throw NotAReport("line " + std::to_string(line) + " is not a line the program writes: \"" +
                             utf8(Text(shown)) + "\"");
        }
        entry->line = line;
        line += static_cast<std::size_t>(std::count(body.begin() + static_cast<std::ptrdiff_t>(at),
                                                    body.begin() + static_cast<std::ptrdiff_t>(end), u'\n'));
        parsed.push_back(*entry);
        at = end;
    }
    return parsed;
}

const Text kHeading = u("\r\nSummary\r\n-------\r\n");
const std::array<Text, kCounterCount> kLabels = {
    u("Total files:"),        u("Failed to read:"),
    u("Not placeholders:"),   u("Good placeholders:"),
    u("Bad placeholders:"),   u("Placeholders that can't be fixed:"),
    u("Fixed placeholders:"), u("Failed to fix placeholders:"),
};
const Text kColumns = u(
    "\r\nArchiveName\tArchivePointRootPath\tArchived Files Original Size (KB)\tNon-Archived File Original Size (KB)\r\n");

bool counters(View text, Report& report)
{
    for (std::size_t i = 0; i < kCounterCount; ++i) {
        std::size_t end = text.find(u"\r\n");
        if (end == View::npos || !startsWith(text, kLabels[i])) {
            return false;
        }
        std::optional<std::uint32_t> value = decimal<std::uint32_t>(text.substr(kLabels[i].size(), end - kLabels[i].size()));
        if (!value) {
            return false;
        }
        report.counters[i] = *value;
        text.remove_prefix(end + 2);
    }
    return text.empty();
}

// "<digits>.<two digits>"
bool kbText(View text) { return text.size() >= 4 && text[text.size() - 3] == u'.' && allDigits(text.substr(text.size() - 2)) &&
                                decimal<std::uint64_t>(text.substr(0, text.size() - 3)).has_value(); }

bool usageRows(View text, Report& report)
{
    if (!startsWith(text, kColumns)) {
        return false;
    }
    text.remove_prefix(kColumns.size());
    while (!text.empty()) {
        // A row ends "\t<kb>\t<kb>\r\n"; its name and root path may hold tabs
        // and line ends of their own, so the row's end is the first such ending.
        std::optional<UsageRow> row;
        for (std::size_t end = text.find(u"\r\n"); end != View::npos && !row; end = text.find(u"\r\n", end + 1)) {
            View line = text.substr(0, end);
            std::size_t second = line.rfind(u'\t');
            std::size_t first = second == View::npos || second == 0 ? View::npos : line.rfind(u'\t', second - 1);
            if (first == View::npos || !kbText(line.substr(second + 1)) || !kbText(line.substr(first + 1, second - first - 1))) {
                continue;
            }
            View names = line.substr(0, first);
            // The root path is a path the walk held, "\\?\UNC\..."; the name
            // is what the marker says.
            std::size_t split = names.find(u"\t\\\\?\\UNC\\");
            if (split == View::npos) {
                split = names.find(u'\t');
            }
            if (split == View::npos) {
                continue;
            }
            row = UsageRow{Text(names.substr(0, split)), Text(names.substr(split + 1)),
                           ascii(line.substr(first + 1, second - first - 1)), ascii(line.substr(second + 1))};
            text.remove_prefix(end + 2);
        }
        if (!row) {
            return false;
        }
        report.usage.push_back(*row);
    }
    return true;
}

Text decodeUtf16le(const std::string& bytes)
{
    if (bytes.size() % 2 != 0) {
        throw NotAReport("its length is an odd number of bytes: not UTF-16LE text, or cut short");
    }
    Text text(bytes.size() / 2, u'\0');
    for (std::size_t i = 0; i < text.size(); ++i) {
        text[i] = static_cast<char16_t>(static_cast<unsigned char>(bytes[2 * i]) |
                                        static_cast<unsigned char>(bytes[2 * i + 1]) << 8);
    }
    if (!text.empty() && text[0] == 0xFEFF) {
        throw NotAReport("it begins with a byte-order mark, which a report never has");
    }
    if (text.find(u'\0') != Text::npos) {
        throw NotAReport("it holds a NUL character: not UTF-16LE text");
    }
    return text;
}

void nameAndTime(const std::string& fileName, Report& report)
{
    const std::string suffix = ".txt";
    std::size_t dash = fileName.rfind('-');
    bool shaped = fileName.size() > suffix.size() && fileName.compare(fileName.size() - suffix.size(), suffix.size(), suffix) == 0 &&
                  dash != std::string::npos;
    std::optional<std::uint64_t> seconds;
    if (shaped) {
        std::string digits = fileName.substr(dash + 1, fileName.size() - suffix.size() - dash - 1);
        seconds = decimal<std::uint64_t>(Text(digits.begin(), digits.end()));
    }
    if (!seconds || *seconds > 253402300799ULL) {  // 9999-12-31T23:59:59Z
        throw NotAReport("its name is not a report's name, <target>-<seconds>.txt");
    }
    report.target = fileName.substr(0, dash);
    report.startTime = static_cast<std::int64_t>(*seconds);
}

}  // namespace

Report parseReport(const std::string& fileName, const std::string& bytes)
{
    Report report;
    report.fileName = fileName;
    nameAndTime(fileName, report);
    Text text = decodeUtf16le(bytes);
    if (text.empty()) {
        throw NotAReport("it is empty: the run failed before it wrote anything (its reason went to standard error)");
    }
    // The summary is the last heading whose text up to the end is a summary;
    // earlier ones may be parts of names.
    for (std::size_t at = text.rfind(kHeading); at != Text::npos; at = at == 0 ? Text::npos : text.rfind(kHeading, at - 1)) {
        View tail = View(text).substr(at + kHeading.size());
        Report candidate = report;
        if (counters(tail, candidate)) {
            candidate.archiveUsage = false;
        } else if (usageRows(tail, candidate)) {
            candidate.archiveUsage = true;
        } else {
            continue;
        }
        candidate.entries = parseBody(View(text).substr(0, at));
        if (!candidate.archiveUsage) {
            candidate.exitCode = candidate.counters[4] > 0 ? 2 : 0;
        } else {
            // Archive usage mode counts no bad placeholder, except on a
            // single-file target, which the normal check examines: that run
            // walks no folder, so its table is empty, and its one line is the
            // check's.
            bool badChecked = candidate.usage.empty() &&
                              std::any_of(candidate.entries.begin(), candidate.entries.end(), [](const Entry& entry) {
                                  return entry.file && entry.file->verdict == Verdict::Bad;
                              });
            candidate.exitCode = badChecked ? 2 : 0;
        }
        return candidate;
    }
    throw NotAReport("it has no summary at its end: the run did not finish (it failed, or is still running), "
                     "the file is cut short, or it is no report");
}

std::string utf8(const std::u16string& text)
{
    std::string out;
    out.reserve(text.size());
    for (std::size_t i = 0; i < text.size(); ++i) {
        char32_t c = text[i];
        if (c >= 0xD800 && c <= 0xDBFF && i + 1 < text.size() && text[i + 1] >= 0xDC00 && text[i + 1] <= 0xDFFF) {
            c = 0x10000 + ((c - 0xD800) << 10) + (text[i + 1] - 0xDC00);
            ++i;
        } else if (c >= 0xD800 && c <= 0xDFFF) {
            c = 0xFFFD;
        }
        if (c < 0x80) {
            out += static_cast<char>(c);
        } else if (c < 0x800) {
            out += static_cast<char>(0xC0 | (c >> 6));
            out += static_cast<char>(0x80 | (c & 0x3F));
        } else if (c < 0x10000) {
            out += static_cast<char>(0xE0 | (c >> 12));
            out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
            out += static_cast<char>(0x80 | (c & 0x3F));
        } else {
            out += static_cast<char>(0xF0 | (c >> 18));
            out += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
            out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
            out += static_cast<char>(0x80 | (c & 0x3F));
        }
    }
    return out;
}

std::string utcTimeText(std::int64_t seconds)
{
    // Days from the civil calendar (Howard Hinnant's algorithm), so that no
    // platform's gmtime limits the range.
    std::int64_t days = seconds / 86400;
    std::int64_t rest = seconds % 86400;
    std::int64_t z = days + 719468;
    std::int64_t era = z / 146097;
    std::int64_t doe = z - era * 146097;
    std::int64_t yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
    std::int64_t doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
    std::int64_t mp = (5 * doy + 2) / 153;
    std::int64_t day = doy - (153 * mp + 2) / 5 + 1;
    std::int64_t month = mp < 10 ? mp + 3 : mp - 9;
    std::int64_t year = yoe + era * 400 + (month <= 2 ? 1 : 0);
    char text[128];
    std::snprintf(text, sizeof text, "%04lld-%02lld-%02lldT%02lld:%02lld:%02lldZ", static_cast<long long>(year),
                  static_cast<long long>(month), static_cast<long long>(day), static_cast<long long>(rest / 3600),
                  static_cast<long long>(rest / 60 % 60), static_cast<long long>(rest % 60));
    return text;
}

std::string kbToBytes(const std::string& kb)
{
    // Hundredths of a KB times 1024 are hundredths of a byte.
    std::string digits = kb.substr(0, kb.size() - 3) + kb.substr(kb.size() - 2);
    __extension__ unsigned __int128 hundredths = 0;
    for (char c : digits) {
        hundredths = hundredths * 10 + static_cast<unsigned>(c - '0');
    }
    hundredths *= 1024;
    std::string whole;
    __extension__ unsigned __int128 integer = hundredths / 100;
    do {
        whole.insert(whole.begin(), static_cast<char>('0' + static_cast<int>(integer % 10)));
        integer /= 10;
    } while (integer != 0);
    auto fraction = static_cast<int>(hundredths % 100);
    return whole + "." + static_cast<char>('0' + fraction / 10) + static_cast<char>('0' + fraction % 10);
}

}  // namespace reportreading
