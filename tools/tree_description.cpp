#include "tools/tree_description.h"

#include <algorithm>
#include <cstdio>
#include <cstdint>
#include <limits>
#include <map>
#include <optional>
#include <set>

#include "placeholder/placeholder_record.h"
#include "platform/ascii_case.h"
#include "platform/path_forms.h"
#include "platform/reparse_data_buffer.h"
#include "platform/text_conversion.h"
#include "platform/unique_resource.h"
#include "tools/held_folder.h"
#include "tools/tree_builder.h"

#ifndef _WIN32
#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

namespace treebuilder {
namespace {

// A fault of one line; the reader adds the line number.
struct LineFault {
    std::string message;
};

[[noreturn]] void fault(const std::string& message) { throw LineFault{message}; }

std::string quoted(const std::string& text) { return "\"" + text + "\""; }

// One blank-separated word; key=value when it holds an '=' outside quotes.
struct Word {
    std::string text;
    bool isOption = false;
    std::string key;
    std::string value;
};

// Words are separated by blanks; a double-quoted part may hold blanks, and
// "" inside it stands for one double quote. A backslash is an ordinary
// character (it separates path components).
std::vector<Word> splitWords(std::string_view line)
{
    std::vector<Word> words;
    std::size_t i = 0;
    auto blank = [](char c) { return c == ' ' || c == '\t'; };
    while (true) {
        while (i < line.size() && blank(line[i])) {
            ++i;
        }
        if (i == line.size()) {
            return words;
        }
        Word word;
        bool inQuotes = false;
        std::optional<std::size_t> equals;
        while (i < line.size() && (inQuotes || !blank(line[i]))) {
            char c = line[i++];
            if (c == '"') {
                if (inQuotes && i < line.size() && line[i] == '"') {
                    word.text += '"';
                    ++i;
                } else {
                    inQuotes = !inQuotes;
                }
                continue;
            }
            if (c == '=' && !inQuotes && !equals) {
                equals = word.text.size();
            }
            word.text += c;
        }
        if (inQuotes) {
            fault("a double quote is not closed");
        }
        if (equals) {
            word.isOption = true;
            word.key = word.text.substr(0, *equals);
            word.value = word.text.substr(*equals + 1);
        }
        words.push_back(std::move(word));
    }
}

// The options and flag words after the path, checked against what the
// entry takes.
class Options {
public:
    Options(const std::string& entry, const std::vector<Word>& words, std::set<std::string> keys,
            std::set<std::string> flags)
    {
        for (std::size_t i = 2; i < words.size(); ++i) {
            const Word& word = words[i];
            if (!word.isOption) {
                if (flags.count(word.text) == 0) {
                    fault("unexpected word " + quoted(word.text) + " in a " + entry + " line" + takes(entry, keys, flags));
                }
                flags_.insert(word.text);
                continue;
            }
            if (keys.count(word.key) == 0) {
                fault("unknown option " + quoted(word.key + "=") + " in a " + entry + " line" +
                      takes(entry, keys, flags));
            }
            if (!values_.emplace(word.key, word.value).second) {
                fault(word.key + "= is given twice");
            }
        }
    }

    [[nodiscard]] std::optional<std::string> get(const std::string& key) const
    {
        auto found = values_.find(key);
        return found == values_.end() ? std::nullopt : std::optional<std::string>(found->second);
    }
    [[nodiscard]] std::string required(const std::string& key) const
    {
        std::optional<std::string> value = get(key);
        if (!value) {
            fault(key + "= is missing");
        }
        return *value;
    }
    [[nodiscard]] bool has(const std::string& key) const { return values_.count(key) != 0; }
    [[nodiscard]] bool flag(const std::string& word) const { return flags_.count(word) != 0; }

private:
    static std::string takes(const std::string& entry, const std::set<std::string>& keys,
                             const std::set<std::string>& flags)
    {
        std::string list;
        for (const std::string& key : keys) {
            list += (list.empty() ? "" : ", ") + key + "=";
        }
        for (const std::string& word : flags) {
            list += (list.empty() ? "" : ", ") + word;
        }
        return list.empty() ? "; it takes no options" : "; a " + entry + " takes " + list;
    }

    std::map<std::string, std::string> values_;
    std::set<std::string> flags_;
};

std::uint64_t parseUnsigned(const std::string& text, const std::string& what, std::uint64_t limit)
{
    int base = 10;
    std::string digits = text;
    if (digits.size() > 2 && digits[0] == '0' && (digits[1] == 'x' || digits[1] == 'X')) {
        base = 16;
        digits = digits.substr(2);
    }
    if (digits.empty()) {
        fault(what + " " + quoted(text) + " is not a number");
    }
    std::uint64_t value = 0;
    for (char c : digits) {
        int digit = (c >= '0' && c <= '9')                ? c - '0'
                    : (base == 16 && c >= 'a' && c <= 'f') ? c - 'a' + 10
                    : (base == 16 && c >= 'A' && c <= 'F') ? c - 'A' + 10
                                                           : -1;
        if (digit < 0) {
            fault(what + " " + quoted(text) + " is not a number");
        }
        if (value > (limit - static_cast<std::uint64_t>(digit)) / static_cast<std::uint64_t>(base)) {
            fault(what + " " + quoted(text) + " is too large (at most " + std::to_string(limit) + ")");
        }
        value = value * static_cast<std::uint64_t>(base) + static_cast<std::uint64_t>(digit);
    }
    return value;
}

// "4096", "64KiB", "3MiB", "5GiB" (unit in any letter case).
std::uint64_t parseSize(const std::string& text)
{
    constexpr std::uint64_t kLargest = std::numeric_limits<std::int64_t>::max();
    static const std::pair<const char*, std::uint64_t> kUnits[] = {
        {"kib", 1ULL << 10}, {"mib", 1ULL << 20}, {"gib", 1ULL << 30}};
    for (const auto& [unit, factor] : kUnits) {
        if (text.size() > 3 && endsWithIgnoringAsciiCase(std::string_view(text), unit)) {
            return parseUnsigned(text.substr(0, text.size() - 3), "the size", kLargest / factor) * factor;
        }
    }
    if (text.empty() || text.find_first_not_of("0123456789") != std::string::npos) {
        fault("the size " + quoted(text) + " is not a number of bytes or of KiB, MiB or GiB");
    }
    return parseUnsigned(text, "the size", kLargest);
}

// "2019-04-17T18:40:00Z", always UTC.
FILETIME parseTime(const std::string& text)
{
    auto bad = [&]() { fault("the time " + quoted(text) + " is not of the form 2019-04-17T18:40:00Z (UTC)"); };
    if (text.size() != 20 || text[4] != '-' || text[7] != '-' || text[10] != 'T' || text[13] != ':' ||
        text[16] != ':' || text[19] != 'Z') {
        bad();
    }
    auto number = [&](std::size_t at, std::size_t length) {
        int value = 0;
        for (std::size_t i = at; i < at + length; ++i) {
            if (text[i] < '0' || text[i] > '9') {
                bad();
            }
            value = value * 10 + (text[i] - '0');
        }
        return value;
    };
    int year = number(0, 4);
    int month = number(5, 2);
    int day = number(8, 2);
    int hour = number(11, 2);
    int minute = number(14, 2);
    int second = number(17, 2);
    bool leap = (year % 4 == 0 && year % 100 != 0) || year % 400 == 0;
    const int daysInMonth[] = {31, leap ? 29 : 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    if (year < 1601 || month < 1 || month > 12 || day < 1 || day > daysInMonth[month - 1] || hour > 23 ||
        minute > 59 || second > 59) {
        fault("the time " + quoted(text) + " is not a valid date and time from 1601 on");
    }
    return fileTimeUtc(year, month, day, hour, minute, second);
}

// Hexadecimal bytes, blanks between them allowed: "61 1e 00 00" or "611e0000".
Bytes parseHex(const std::string& text, const std::string& what)
{
    Bytes bytes;
    int pending = -1;
    for (char c : text) {
        if (c == ' ' || c == '\t') {
            continue;
        }
        int digit = (c >= '0' && c <= '9')   ? c - '0'
                    : (c >= 'a' && c <= 'f') ? c - 'a' + 10
                    : (c >= 'A' && c <= 'F') ? c - 'A' + 10
                                             : -1;
        if (digit < 0) {
            fault(what + " holds " + quoted(std::string(1, c)) + ", which is not a hexadecimal digit");
        }
        if (pending < 0) {
            pending = digit;
        } else {
            bytes.push_back(static_cast<BYTE>(pending * 16 + digit));
            pending = -1;
        }
    }
    if (pending >= 0) {
        fault(what + " has an odd number of hexadecimal digits");
    }
    return bytes;
}

// "{9DD58ACD-4BE7-4F36-9CE3-B7738EE3C702}", braces optional, or "placeholder".
GUID parseGuid(const std::string& text)
{
    if (text == "placeholder") {
        return placeholder::kGuid;
    }
    std::string body = text;
    if (body.size() == 38 && body.front() == '{' && body.back() == '}') {
        body = body.substr(1, 36);
    }
    if (body.size() != 36 || body[8] != '-' || body[13] != '-' || body[18] != '-' || body[23] != '-') {
        fault("the GUID " + quoted(text) + " is not of the form {9DD58ACD-4BE7-4F36-9CE3-B7738EE3C702}");
    }
    body.erase(std::remove(body.begin(), body.end(), '-'), body.end());
    Bytes b = parseHex(body, "the GUID");
    GUID guid{};
    guid.Data1 = (static_cast<DWORD>(b[0]) << 24) | (static_cast<DWORD>(b[1]) << 16) |
                 (static_cast<DWORD>(b[2]) << 8) | b[3];
    guid.Data2 = static_cast<WORD>((b[4] << 8) | b[5]);
    guid.Data3 = static_cast<WORD>((b[6] << 8) | b[7]);
    std::copy(b.begin() + 8, b.end(), guid.Data4);
    return guid;
}

struct Attributes {
    DWORD settable = 0;
    bool sparse = false;
};

// "hidden,readonly,offline,sparse" or "none".
Attributes parseAttributes(const std::string& text)
{
    static const std::pair<const char*, DWORD> kWords[] = {
        {"readonly", FILE_ATTRIBUTE_READONLY}, {"hidden", FILE_ATTRIBUTE_HIDDEN},
        {"system", FILE_ATTRIBUTE_SYSTEM},     {"archive", FILE_ATTRIBUTE_ARCHIVE},
        {"offline", FILE_ATTRIBUTE_OFFLINE}};
    Attributes attributes;
    if (text == "none") {
        return attributes;
    }
    std::size_t start = 0;
    while (start <= text.size()) {
        std::size_t comma = std::min(text.find(',', start), text.size());
        std::string word = text.substr(start, comma - start);
        start = comma + 1;
        if (word == "sparse") {
            attributes.sparse = true;
            continue;
        }
        auto known = std::find_if(std::begin(kWords), std::end(kWords),
                                  [&](const auto& entry) { return word == entry.first; });
        if (known == std::end(kWords)) {
            fault("unknown attribute " + quoted(word) +
                  "; the attributes are readonly, hidden, system, archive, offline and sparse, or none");
        }
        attributes.settable |= known->second;
    }
    return attributes;
}

PlaceholderKind parseKind(const std::string& text)
{
    static const std::pair<const char*, PlaceholderKind> kKinds[] = {
        {"good", PlaceholderKind::Good},
        {"bad-guid", PlaceholderKind::WrongGuid},
        {"bad-magic", PlaceholderKind::WrongMagic},
        {"bad-signature", PlaceholderKind::WrongSignature},
        {"unended-signature", PlaceholderKind::UnendedSignature},
        {"bad-url", PlaceholderKind::WrongUrl},
        {"empty-url", PlaceholderKind::EmptyUrl},
        {"misplaced", PlaceholderKind::Misplaced},
        {"misplaced-capital-http", PlaceholderKind::MisplacedCapitalHttp}};
    std::string list;
    for (const auto& [name, kind] : kKinds) {
        if (text == name) {
            return kind;
        }
        list += (list.empty() ? "" : ", ") + std::string(name);
    }
    fault("unknown placeholder kind " + quoted(text) + "; the kinds are " + list);
}

constexpr std::size_t kLargestRecord = MAXIMUM_REPARSE_DATA_BUFFER_SIZE;

// Size, content, attributes, sparseness and creation time of an entry.
FileSpec fileSpec(const Options& options, FileSpec wanted)
{
    if (std::optional<std::string> attributes = options.get("attributes")) {
        Attributes parsed = parseAttributes(*attributes);
        wanted.attributes = parsed.settable;
        wanted.sparse = parsed.sparse;
    }
    wanted.sparse = wanted.sparse || options.flag("sparse");
    if (std::optional<std::string> content = options.get("content")) {
        wanted.content = *content;
    }
    if (std::optional<std::string> size = options.get("size")) {
        wanted.size = parseSize(*size);
        if (wanted.size < wanted.content.size()) {
            fault("size=" + *size + " is smaller than the content (" + std::to_string(wanted.content.size()) +
                  " bytes)");
        }
    }
    if (std::optional<std::string> created = options.get("created")) {
        wanted.created = parseTime(*created);
    }
    return wanted;
}

// Text with its control characters written as \xNN, for a message.
std::string printable(const std::string& text)
{
    std::string out;
    for (char c : text) {
        auto unit = static_cast<unsigned char>(c);
        if (unit < 0x20 || unit == 0x7F) {
            char escaped[8];
            std::snprintf(escaped, sizeof escaped, "\\x%02X", unit);
            out += escaped;
        } else {
            out += c;
        }
    }
    return out;
}

// No name holds a control character (NUL among them): a description that
// gives one is refused, not cut at the NUL or passed on.
void refuseControlCharacters(const std::string& text, const std::string& what)
{
    for (char c : text) {
        auto unit = static_cast<unsigned char>(c);
        if (unit < 0x20 || unit == 0x7F) {
            char code[8];
            std::snprintf(code, sizeof code, "0x%02X", unit);
            fault(what + " " + quoted(printable(text)) + " holds the control character " + code +
                  ", which no name may hold");
        }
    }
}

// A path below the root, '/' or '\' between names, as the platform's
// '\'-separated text; empty for the root itself ("."). Never leaves the root.
WString relativePath(const std::string& text, bool rootAllowed)
{
    if (text.empty()) {
        fault("the path is empty");
    }
    refuseControlCharacters(text, "the path");
    if (text[0] == '/' || text[0] == '\\' || text.find(':') != std::string::npos) {
        fault("the path " + quoted(text) +
              " must be relative to the root and hold no ':' (streams have a line of their own)");
    }
    std::string joined;
    std::size_t start = 0;
    while (start <= text.size()) {
        std::size_t end = std::min(text.find_first_of("/\\", start), text.size());
        std::string name = text.substr(start, end - start);
        start = end + 1;
        if (name.empty() || name == ".") {
            continue;
        }
        if (name == "..") {
            fault("the path " + quoted(text) + " leads out of the root");
        }
        joined += (joined.empty() ? "" : "\\") + name;
    }
    if (joined.empty() && !rootAllowed) {
        fault("the path " + quoted(text) + " names the root itself");
    }
    return wideText(joined);
}

// The names of a path below the root ('\' between them).
std::vector<WString> namesOf(const WString& relative)
{
    std::vector<WString> names;
    for (std::size_t start = 0; start <= relative.size() && !relative.empty();) {
        std::size_t end = std::min(relative.find(WSTR('\\'), start), relative.size());
        names.push_back(relative.substr(start, end - start));
        start = end + 1;
    }
    return names;
}

// The entry's path for messages: "/srv/share/a/b" for a Linux root, with
// '\' for a UNC one.
WString shownPath(const HeldFolder& root, const WString& relative)
{
    WString path = root.shown();
    for (const WString& name : namesOf(relative)) {
        path = joinedPath(path, name);
    }
    return path;
}

// A failed platform call on a path reached through `folder`, named as the
// folder was named.
BuildError asShown(const BuildError& failure, const HeldFolder& folder)
{
    WString reach = folder.reach();
    WString path = failure.path;
    if (path.compare(0, reach.size(), reach) == 0 &&
        (path.size() == reach.size() || path[reach.size()] == WSTR('/') || path[reach.size()] == WSTR(':'))) {
        WString shown = folder.shown();
        WCHAR separator = shown.find(WSTR('\\')) == WString::npos ? WSTR('/') : WSTR('\\');
        for (WCHAR unit : path.substr(reach.size())) {
            shown += unit == WSTR('/') ? separator : unit;
        }
        path = shown;
    }
    return BuildError(failure.call, path, failure.code);
}

// Runs `work` with the folder that holds the entry `relative` (its last
// name, `leaf`), every folder on the way entered from the root without
// following a link, and made when `make` says so; with `itself`, the entry
// is such a folder too and `work` gets it, with an empty leaf. A folder on
// the way that cannot be entered fails as `call` on the entry's path.
void inFolderOf(const HeldFolder& root, const WString& relative, bool itself, HeldFolder::Make make,
                const char* call, const std::function<void(const HeldFolder& folder, const WString& leaf)>& work)
{
    std::vector<WString> names = namesOf(relative);
    WString leaf;
    if (!itself && !names.empty()) {
        leaf = names.back();
        names.pop_back();
    }
    std::optional<HeldFolder> current;
    for (const WString& name : names) {
        try {
            current = (current ? *current : root).enter(name, make, call);
        } catch (const BuildError& failure) {
            throw BuildError(call, shownPath(root, relative), failure.code);
        }
    }
    const HeldFolder& folder = current ? *current : root;
    try {
        work(folder, leaf);
    } catch (const BuildError& failure) {
        throw asShown(failure, folder);
    }
}

constexpr HeldFolder::Make kMakeOnTheWay = HeldFolder::Make::IfMissing;

std::string xmlEscaped(const std::string& text)
{
    std::string out;
    for (char c : text) {
        switch (c) {
        case '&': out += "&amp;"; break;
        case '<': out += "&lt;"; break;
        case '>': out += "&gt;"; break;
        case '"': out += "&quot;"; break;
        default: out += c;
        }
    }
    return out;
}

// The most a file named by file= or xml-file= may hold: 64 KiB, the most
// Linux keeps in one extended attribute, where Samba keeps a stream.
constexpr std::uint64_t kLargestContentFile = 64 * 1024;

// The content of a file named by file= or xml-file=: a regular file only
// (never a FIFO, which would wait, nor a device such as /dev/zero, which
// never ends), of at most kLargestContentFile bytes. On Linux it must be one
// that every account may read: what it holds goes into the tree, where
// whoever may read the tree reads it, so a file that only its owner (root,
// say) may read is not copied out there.
std::string fileContent(const std::string& name)
{
    if (name.empty()) {
        fault("the content file's name is empty");
    }
    refuseControlCharacters(name, "the content file's name");
    const std::string shown = quoted(name);
    auto tooLarge = [&](std::uint64_t size) {
        fault(shown + " holds " + std::to_string(size) + " bytes; a content file holds at most " +
              std::to_string(kLargestContentFile) + " (64 KiB)");
    };
    std::string content;
#ifndef _WIN32
    WString full = fullPath(wideText(name));
    if (full.empty()) {
        fault("cannot open " + name + ": error " + std::to_string(GetLastError()));
    }
    // Looked at first through a descriptor that opens nothing (O_PATH): a
    // FIFO or a device is refused before it is opened.
    int entry = ::open(utf8Text(full).c_str(), O_PATH | O_CLOEXEC);
    if (entry < 0) {
        fault("cannot open " + name + ": error " + std::to_string(win32ErrorOf(errno)));
    }
    struct stat status {};
    int opened = -1;
    if (::fstat(entry, &status) == 0 && S_ISREG(status.st_mode) && (status.st_mode & S_IROTH) != 0 &&
        static_cast<std::uint64_t>(status.st_size) <= kLargestContentFile) {
        opened = ::open(("/proc/self/fd/" + std::to_string(entry)).c_str(), O_RDONLY | O_NOCTTY | O_CLOEXEC);
    }
    int openError = errno;
    ::close(entry);
    if (!S_ISREG(status.st_mode)) {
        fault(shown + " is not a regular file (" +
              (S_ISDIR(status.st_mode)    ? std::string("a folder")
               : S_ISFIFO(status.st_mode) ? std::string("a FIFO")
               : S_ISSOCK(status.st_mode) ? std::string("a socket")
                                          : std::string("a device")) +
              "): only regular files are read");
    }
    if ((status.st_mode & S_IROTH) == 0) {
        char mode[8];
        std::snprintf(mode, sizeof mode, "%04o", static_cast<unsigned>(status.st_mode & 07777));
        fault(shown + " is not readable by every account (mode " + mode +
              "): what it holds would go into the tree; give a file that everyone may read");
    }
    if (static_cast<std::uint64_t>(status.st_size) > kLargestContentFile) {
        tooLarge(static_cast<std::uint64_t>(status.st_size));
    }
    if (opened < 0) {
        fault("cannot open " + name + ": error " + std::to_string(win32ErrorOf(openError)));
    }
    char chunk[65536];
    for (;;) {
        ssize_t got = ::read(opened, chunk, sizeof chunk);
        if (got < 0 && errno == EINTR) {
            continue;
        }
        if (got <= 0 || content.size() + static_cast<std::size_t>(got) > kLargestContentFile) {
            int readError = errno;
            ::close(opened);
            if (got < 0) {
                fault("cannot read " + name + ": error " + std::to_string(win32ErrorOf(readError)));
            }
            if (got > 0) {
                tooLarge(content.size() + static_cast<std::size_t>(got));  // it grew while being read
            }
            break;
        }
        content.append(chunk, static_cast<std::size_t>(got));
    }
#else
    UniqueHandle file(CreateFileW(wideText(name).c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                  FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file) {
        fault("cannot open " + name + ": error " + std::to_string(GetLastError()));
    }
    BY_HANDLE_FILE_INFORMATION information{};
    if (GetFileType(file.get()) != FILE_TYPE_DISK || !GetFileInformationByHandle(file.get(), &information) ||
        (information.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
        fault(shown + " is not a regular file: only regular files are read");
    }
    std::uint64_t size = (static_cast<std::uint64_t>(information.nFileSizeHigh) << 32) | information.nFileSizeLow;
    if (size > kLargestContentFile) {
        tooLarge(size);
    }
    char chunk[65536];
    DWORD read = 0;
    do {
        if (!ReadFile(file.get(), chunk, sizeof chunk, &read, nullptr)) {
            fault("cannot read " + name + ": error " + std::to_string(GetLastError()));
        }
        if (content.size() + read > kLargestContentFile) {
            tooLarge(content.size() + read);
        }
        content.append(chunk, read);
    } while (read != 0);
#endif
    return content;
}

using Step = TreeDescription::Step;
using Type = Entry::Type;

Entry entryOf(Type type, const WString& relative)
{
    Entry made;
    made.type = type;
    made.path = relative;
    return made;
}

Step folderEntry(const std::vector<Word>& words)
{
    Options options("folder", words, {}, {});
    WString relative = relativePath(words[1].text, true);
    return {entryOf(Type::Folder, relative), [relative](const HeldFolder& root) {
                inFolderOf(root, relative, true, kMakeOnTheWay, "CreateDirectoryW", [](const HeldFolder&, const WString&) {});
            }};
}

Step fileEntry(const std::vector<Word>& words)
{
    Options options("file", words, {"size", "content", "created", "attributes"}, {"sparse"});
    WString relative = relativePath(words[1].text, false);
    Entry made = entryOf(Type::File, relative);
    made.file = fileSpec(options, FileSpec{});
    return {made, [relative, wanted = made.file](const HeldFolder& root) {
                inFolderOf(root, relative, false, kMakeOnTheWay, "CreateFileW",
                           [&](const HeldFolder& folder, const WString& leaf) { makeFile(folder.reach(leaf), wanted); });
            }};
}

Step placeholderEntry(const std::vector<Word>& words)
{
    Options options("placeholder", words, {"kind", "url", "length", "size", "created", "attributes"}, {"sparse"});
    WString relative = relativePath(words[1].text, false);
    PlaceholderSpec placeholder;
    if (std::optional<std::string> kind = options.get("kind")) {
        placeholder.kind = parseKind(*kind);
    }
    if (std::optional<std::string> url = options.get("url")) {
        if (placeholder.kind == PlaceholderKind::WrongUrl || placeholder.kind == PlaceholderKind::EmptyUrl) {
            fault("url= does not go with kind=" + *options.get("kind") + ", which writes a URL of its own");
        }
        placeholder.url = wideText(*url);
    }
    if (std::optional<std::string> length = options.get("length")) {
        placeholder.dataLength =
            static_cast<std::uint16_t>(parseUnsigned(*length, "the length", kLargestRecord - placeholder::kDataOffset));
    }
    Bytes record = placeholderRecord(placeholder);
    if (record.size() > kLargestRecord) {
        fault("the URL is too long: the record would exceed " + std::to_string(kLargestRecord) +
              " bytes; give a shorter url= or a length=");
    }
    Entry made = entryOf(Type::Placeholder, relative);
    made.file = fileSpec(options, placeholderFile());
    made.placeholder = placeholder;
    made.record = record;
    return {made, [relative, wanted = made.file, record](const HeldFolder& root) {
                inFolderOf(root, relative, false, kMakeOnTheWay, "CreateFileW",
                           [&](const HeldFolder& folder, const WString& leaf) {
                               makeReparsePoint(folder.reach(leaf), wanted, record);
                           });
            }};
}

Step reparseEntry(const std::vector<Word>& words)
{
    Options options("reparse", words, {"tag", "guid", "data", "size", "created", "attributes"}, {"sparse"});
    WString relative = relativePath(words[1].text, false);
    auto tag = static_cast<DWORD>(parseUnsigned(options.required("tag"), "the tag", 0xFFFFFFFF));
    if (tag == 0) {
        fault("the tag must not be 0");
    }
    if (reparse::isMicrosoftTag(tag) && options.has("guid")) {
        fault("guid= goes only with a tag without the Microsoft bit (0x80000000): such tags have no GUID");
    }
    GUID guid = options.has("guid") ? parseGuid(*options.get("guid")) : GUID{};
    Bytes data = options.has("data") ? parseHex(*options.get("data"), "data=") : Bytes{};
    std::size_t limit = kLargestRecord - reparse::headerSize(tag);
    if (data.size() > limit) {
        fault("data= holds " + std::to_string(data.size()) + " bytes; a record with this tag holds at most " +
              std::to_string(limit));
    }
    Entry made = entryOf(Type::Reparse, relative);
    made.file = fileSpec(options, FileSpec{});
    made.record = reparseRecord(tag, data, guid);
    return {made, [relative, wanted = made.file, record = made.record](const HeldFolder& root) {
                inFolderOf(root, relative, false, kMakeOnTheWay, "CreateFileW",
                           [&](const HeldFolder& folder, const WString& leaf) {
                               makeReparsePoint(folder.reach(leaf), wanted, record);
                           });
            }};
}

Step symlinkEntry(const std::vector<Word>& words)
{
    Options options("symlink", words, {"target"}, {"folder"});
    WString relative = relativePath(words[1].text, false);
    std::string target = options.required("target");
    if (target.empty()) {
        fault("target= is empty");
    }
    refuseControlCharacters(target, "the target");
    std::replace(target.begin(), target.end(), '/', '\\');
    WString wideTarget = wideText(target);
    Entry made = entryOf(Type::Symlink, relative);
    made.toFolder = options.flag("folder");
    return {made, [relative, wideTarget, toFolder = made.toFolder](const HeldFolder& root) {
                inFolderOf(root, relative, false, kMakeOnTheWay, "CreateSymbolicLinkW",
                           [&](const HeldFolder& folder, const WString& leaf) {
                               makeSymbolicLink(folder.reach(leaf), wideTarget, toFolder);
                           });
            }};
}

Step markerEntry(const std::vector<Word>& words)
{
    Options options("marker", words, {"id", "name", "xml", "xml-file"}, {});
    WString relative = relativePath(words[1].text, true);
    int forms = (options.has("id") || options.has("name") ? 1 : 0) + (options.has("xml") ? 1 : 0) +
                (options.has("xml-file") ? 1 : 0);
    if (forms != 1) {
        fault("a marker takes either id= and name=, or xml=, or xml-file=");
    }
    Entry made = entryOf(Type::Marker, relative);
    std::string xml;
    if (options.has("xml")) {
        xml = *options.get("xml");
    } else if (options.has("xml-file")) {
        xml = fileContent(*options.get("xml-file"));
    } else {
        made.markerId = wideText(options.required("id"));
        made.markerName = wideText(options.required("name"));
        xml = archivePointXml(xmlEscaped(options.required("id")), xmlEscaped(options.required("name")));
    }
    return {made, [relative, xml](const HeldFolder& root) {
                inFolderOf(root, relative, true, kMakeOnTheWay, "CreateDirectoryW",
                           [&](const HeldFolder& folder, const WString&) { makeArchivePoint(folder.reach(), xml); });
            }};
}

Step streamEntry(const std::vector<Word>& words)
{
    Options options("stream", words, {"name", "text", "hex", "file"}, {});
    WString relative = relativePath(words[1].text, true);
    std::string name = options.required("name");
    refuseControlCharacters(name, "the stream name");
    if (name.empty() || name.find_first_of(":/\\") != std::string::npos) {
        fault("the stream name " + quoted(name) + " must not be empty nor hold ':', '/' or '\\'");
    }
    int forms = (options.has("text") ? 1 : 0) + (options.has("hex") ? 1 : 0) + (options.has("file") ? 1 : 0);
    if (forms != 1) {
        fault("a stream takes one of text=, hex= and file=");
    }
    std::string content;
    if (options.has("text")) {
        content = *options.get("text");
    } else if (options.has("hex")) {
        Bytes bytes = parseHex(*options.get("hex"), "hex=");
        content.assign(bytes.begin(), bytes.end());
    } else {
        content = fileContent(*options.get("file"));
    }
    Entry made = entryOf(Type::Stream, relative);
    made.streamName = wideText(name);
    std::string described = words[1].text;
    return {made, [relative, wideName = made.streamName, content, described](const HeldFolder& root) {
                auto missing = [&]() {
                    return std::runtime_error(quoted(described) + " does not exist: make it with a line above this one");
                };
                auto write = [&](const HeldFolder& folder, const WString& leaf) {
                    try {
                        writeStream(folder.reach(leaf), wideName, content);
                    } catch (const BuildError& failure) {
                        throw asShown(failure, folder);
                    }
                };
                if (relative.empty()) {
                    write(root, WString());
                    return;
                }
                try {
                    inFolderOf(root, relative, false, HeldFolder::Make::No, "CreateFileW",
                               [&](const HeldFolder& folder, const WString& leaf) {
                                   switch (folder.kindOf(leaf)) {
                                   case HeldFolder::Kind::Missing:
                                       throw missing();
                                   case HeldFolder::Kind::Link:
                                       throw BuildError("CreateFileW", folder.reach(leaf) + WSTR(":") + wideName,
                                                        kStoppedOnLink);
                                   case HeldFolder::Kind::Other:
                                       throw std::runtime_error(quoted(described) +
                                                                " is neither a file nor a folder: streams are written "
                                                                "only on files and folders");
                                   case HeldFolder::Kind::Folder:
                                       write(folder.enter(leaf, HeldFolder::Make::No, "CreateFileW"), WString());
                                       break;
                                   case HeldFolder::Kind::File:
                                       write(folder, leaf);
                                       break;
                                   }
                               });
                } catch (const BuildError& failure) {
                    if (failure.code == ERROR_PATH_NOT_FOUND) {
                        throw missing();  // a folder on the way is missing
                    }
                    throw;
                }
            }};
}

Step entry(const std::vector<Word>& words)
{
    static const std::pair<const char*, Step (*)(const std::vector<Word>&)> kEntries[] = {
        {"folder", folderEntry}, {"file", fileEntry},       {"placeholder", placeholderEntry},
        {"reparse", reparseEntry}, {"symlink", symlinkEntry}, {"marker", markerEntry},
        {"stream", streamEntry}};
    const std::string& keyword = words[0].text;
    for (const auto& [name, make] : kEntries) {
        if (keyword == name) {
            if (words.size() < 2 || words[1].text.empty()) {
                fault(keyword + " needs a path");
            }
            return make(words);
        }
    }
    fault("unknown entry " + quoted(keyword) +
          "; the entries are folder, file, placeholder, reparse, symlink, marker and stream");
}

std::string withHint(const BuildError& failure)
{
    std::string text = failure.what();
    switch (failure.code) {
    case ERROR_FILE_EXISTS:
    case ERROR_ALREADY_EXISTS:
        return text + " (it exists already; entries are never overwritten)";
    case ERROR_PATH_NOT_FOUND:
        return text + " (a folder on the way is missing or is a file)";
    case ERROR_ACCESS_DENIED:
        return text + " (access denied)";
    case kStoppedOnLink:
        return text + " (a symbolic link: nothing is made or written through a link)";
    case ERROR_NOT_SUPPORTED:
        return text + " (this file system keeps no reparse points, sparse files or streams)";
    case ERROR_DISK_FULL:
        return text + " (no space: the disk is full, or a value is larger than the file system keeps in an "
                      "extended attribute)";
    default:
        return text;
    }
}

}  // namespace

TreeDescription TreeDescription::read(std::string_view text)
{
    TreeDescription description;
    std::string faults;
    int lineNumber = 0;
    std::size_t start = 0;
    while (start < text.size()) {
        std::size_t end = std::min(text.find('\n', start), text.size());
        std::string_view line = text.substr(start, end - start);
        start = end + 1;
        ++lineNumber;
        if (!line.empty() && line.back() == '\r') {
            line.remove_suffix(1);
        }
        if (lineNumber == 1 && line.substr(0, 3) == "\xEF\xBB\xBF") {
            line.remove_prefix(3);  // a byte-order mark from a Windows editor
        }
        std::size_t first = line.find_first_not_of(" \t");
        if (first == std::string_view::npos || line[first] == '#') {
            continue;
        }
        try {
            std::vector<Word> words = splitWords(line);
            description.steps_.push_back(entry(words));
            description.steps_.back().entry.line = lineNumber;
        } catch (const LineFault& lineFault) {
            faults += (faults.empty() ? "" : "\n") + ("line " + std::to_string(lineNumber) + ": ") + lineFault.message;
        }
    }
    if (!faults.empty()) {
        throw DescriptionError(faults);
    }
    return description;
}

void TreeDescription::build(const WString& root) const
{
    DWORD rootAttributes = GetFileAttributesW(root.c_str());
    if (rootAttributes == INVALID_FILE_ATTRIBUTES) {
        try {
            makeFolder(root);
        } catch (const BuildError& failure) {
            throw std::runtime_error("cannot make the root folder: " + withHint(failure));
        }
    } else if ((rootAttributes & FILE_ATTRIBUTE_DIRECTORY) == 0) {
        throw std::runtime_error("the root " + utf8Text(root) + " is not a folder");
    }
    // Everything below is made from the root's descriptor, never through a link.
    std::optional<HeldFolder> held;
    try {
        held.emplace(root);
    } catch (const BuildError& failure) {
        throw std::runtime_error("cannot open the root folder: " + withHint(failure));
    }
    build(*held);
}

void TreeDescription::build(const HeldFolder& root) const
{
    for (const Step& step : steps_) {
        try {
            step.make(root);
        } catch (const BuildError& failure) {
            throw std::runtime_error("line " + std::to_string(step.entry.line) + ": " + withHint(failure));
        } catch (const std::runtime_error& failure) {
            throw std::runtime_error("line " + std::to_string(step.entry.line) + ": " + failure.what());
        }
    }
}

std::vector<Entry> TreeDescription::entries() const
{
    std::vector<Entry> all;
    for (const Step& step : steps_) {
        all.push_back(step.entry);
    }
    return all;
}

std::string readWholeFile(const WString& path)
{
    UniqueHandle file(
        CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file) {
        throw std::runtime_error("cannot open " + utf8Text(path) + ": error " + std::to_string(GetLastError()));
    }
    std::string content;
    char chunk[65536];
    DWORD read = 0;
    do {
        if (!ReadFile(file.get(), chunk, sizeof chunk, &read, nullptr)) {
            throw std::runtime_error("cannot read " + utf8Text(path) + ": error " + std::to_string(GetLastError()));
        }
        content.append(chunk, read);
    } while (read != 0);
    return content;
}

}  // namespace treebuilder
