// FindFirstFileW, FindNextFileW, GetFileAttributesW and the mapping of Win32
// paths, on real folders.
#include <climits>
#include <map>

#include "platform/text_conversion.h"
#include "tests/unit/platform_test_helpers.h"

namespace platformtest {
namespace {

// Every entry of a folder by name, through FindFirstFileW(folder\*) and
// FindNextFileW up to ERROR_NO_MORE_FILES.
std::map<WString, WIN32_FIND_DATAW> listFolder(const std::string& folder)
{
    std::map<WString, WIN32_FIND_DATAW> entries;
    WIN32_FIND_DATAW data{};
    UniqueFindHandle find(FindFirstFileW((wideUncPath(folder) + WSTR("\\*")).c_str(), &data));
    EXPECT_TRUE(find.valid()) << folder << " error " << GetLastError();
    if (!find) {
        return entries;
    }
    do {
        entries[data.cFileName] = data;
    } while (FindNextFileW(find.get(), &data));
    EXPECT_EQ(GetLastError(), ERROR_NO_MORE_FILES);
    EXPECT_FALSE(FindNextFileW(find.get(), &data));
    EXPECT_EQ(GetLastError(), ERROR_NO_MORE_FILES);
    return entries;
}

std::uint64_t mtimeTicks(const std::string& path)
{
    struct statx status {};
    EXPECT_EQ(::statx(AT_FDCWD, path.c_str(), AT_SYMLINK_NOFOLLOW, STATX_MTIME, &status), 0);
    return ticksOf(status.stx_mtime);
}

TEST(PlatformFind, ListsEveryKindOfEntryWithItsAttributesTimesAndSize)
{
    TempDir dir;
    std::string folder = dir / "share";
    ASSERT_EQ(::mkdir(folder.c_str(), 0755), 0);
    writePosixFile(folder + "/data", "12345");
    ASSERT_EQ(::mkdir((folder + "/sub").c_str(), 0755), 0);
    ASSERT_EQ(::symlink("data", (folder + "/tofile").c_str()), 0);
    ASSERT_EQ(::symlink("sub", (folder + "/tofolder").c_str()), 0);
    ASSERT_EQ(::symlink("nothing", (folder + "/dangling").c_str()), 0);
    // 4 GiB + 7 in a hole: the size needs both halves.
    int fd = ::open((folder + "/large").c_str(), O_WRONLY | O_CREAT, 0644);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(::ftruncate(fd, (4LL << 30) + 7), 0);
    ::close(fd);

    std::map<WString, WIN32_FIND_DATAW> entries = listFolder(folder);
    struct Expected {
        WString name;
        std::string path;
        DWORD attributes;
        DWORD sizeHigh;
        DWORD sizeLow;
    } expected[] = {
        {WSTR("."), folder, FILE_ATTRIBUTE_DIRECTORY, 0, 0},
        {WSTR(".."), dir.path(), FILE_ATTRIBUTE_DIRECTORY, 0, 0},
        {WSTR("data"), folder + "/data", FILE_ATTRIBUTE_ARCHIVE, 0, 5},
        {WSTR("sub"), folder + "/sub", FILE_ATTRIBUTE_DIRECTORY, 0, 0},
        {WSTR("tofile"), folder + "/tofile", FILE_ATTRIBUTE_REPARSE_POINT | FILE_ATTRIBUTE_ARCHIVE, 0, 0},
        {WSTR("tofolder"), folder + "/tofolder", FILE_ATTRIBUTE_REPARSE_POINT | FILE_ATTRIBUTE_DIRECTORY, 0, 0},
        {WSTR("dangling"), folder + "/dangling", FILE_ATTRIBUTE_REPARSE_POINT | FILE_ATTRIBUTE_ARCHIVE, 0, 0},
        {WSTR("large"), folder + "/large", FILE_ATTRIBUTE_ARCHIVE, 1, 7},
    };
    ASSERT_EQ(entries.size(), std::size(expected));
    for (const Expected& e : expected) {
        SCOPED_TRACE(e.path);
        ASSERT_EQ(entries.count(e.name), 1u);
        const WIN32_FIND_DATAW& data = entries[e.name];
        EXPECT_EQ(data.dwFileAttributes, e.attributes);
        EXPECT_EQ(data.nFileSizeHigh, e.sizeHigh);
        EXPECT_EQ(data.nFileSizeLow, e.sizeLow);
        EXPECT_EQ(ticks(data.ftCreationTime), birthTicks(e.path));
        EXPECT_EQ(ticks(data.ftLastWriteTime), mtimeTicks(e.path));
        EXPECT_EQ(data.cAlternateFileName[0], 0);
    }
}

TEST(PlatformFind, APathWithoutWildcardFindsThatOneEntry)
{
    TempDir dir;
    writePosixFile(dir / "data", "abc");
    ASSERT_EQ(::mkdir((dir / "sub").c_str(), 0755), 0);
    ASSERT_EQ(::symlink("sub", (dir / "link").c_str()), 0);
    struct Case {
        const char* name;
        DWORD attributes;
    } cases[] = {
        {"data", FILE_ATTRIBUTE_ARCHIVE},
        {"sub", FILE_ATTRIBUTE_DIRECTORY},
        {"link", FILE_ATTRIBUTE_REPARSE_POINT | FILE_ATTRIBUTE_DIRECTORY},  // the link, not its target
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        WIN32_FIND_DATAW data{};
        UniqueFindHandle find(FindFirstFileW(wideUncPath(dir / c.name).c_str(), &data));
        ASSERT_TRUE(find.valid()) << GetLastError();
        EXPECT_EQ(WString(data.cFileName), wideText(c.name));
        EXPECT_EQ(data.dwFileAttributes, c.attributes);
        EXPECT_FALSE(FindNextFileW(find.get(), &data));
        EXPECT_EQ(GetLastError(), ERROR_NO_MORE_FILES);
    }
}

// The error of each call on each kind of bad path.
TEST(PlatformFind, ErrorCodesOfBadPaths)
{
    TempDir dir;
    writePosixFile(dir / "data", "abc");
    ASSERT_EQ(::symlink("loop", (dir / "loop").c_str()), 0);
    const WString base = wideUncPath(dir.path());
    const WString longName(300, u'n');
    struct Case {
        WString path;
        DWORD error;
    } cases[] = {
        {base + WSTR("\\missing\\*"), ERROR_PATH_NOT_FOUND},
        {base + WSTR("\\missing"), ERROR_FILE_NOT_FOUND},
        {base + WSTR("\\missing\\deeper"), ERROR_PATH_NOT_FOUND},
        {base + WSTR("\\data\\*"), ERROR_DIRECTORY},  // a file named as the folder to list
        {base + WSTR("\\data\\sub\\*"), ERROR_PATH_NOT_FOUND},
        {base + WSTR("\\data\\sub"), ERROR_PATH_NOT_FOUND},
        {base + WSTR("\\loop\\*"), ERROR_CANT_RESOLVE_FILENAME},
        {base + WSTR("\\") + longName, ERROR_FILENAME_EXCED_RANGE},
        {WSTR("\\\\?\\UNC\\"), ERROR_BAD_PATHNAME},
        {WSTR("\\\\?\\UNC\\\\data\\*"), ERROR_BAD_PATHNAME},  // what D:\data becomes
        {WSTR("\\\\?\\UNC\\srv"), ERROR_BAD_PATHNAME},
        {WSTR("\\\\?\\UNC\\srv\\"), ERROR_BAD_PATHNAME},
        {WSTR("\\\\?\\UNC\\srv\\\\x"), ERROR_BAD_PATHNAME},
        {WSTR("\\\\\\tmp"), ERROR_BAD_PATHNAME},
        {WSTR("\\\\?\\C:\\data\\*"), ERROR_PATH_NOT_FOUND},  // Linux has no drives
        {WSTR("\\\\.\\C:\\data"), ERROR_PATH_NOT_FOUND},
        {base + WSTR("\\bad") + WString(1, u'\xD800') + WSTR("name"), ERROR_INVALID_NAME},
        // After the share no "." or "..", by either separator, and no ':'
        // before the last component: a server refuses such a name (123).
        {base + WSTR("\\..\\..\\..\\etc\\ssl"), ERROR_INVALID_NAME},
        {base + WSTR("\\data\\..\\data"), ERROR_INVALID_NAME},
        {base + WSTR("\\."), ERROR_INVALID_NAME},
        {base + WSTR("/../data"), ERROR_INVALID_NAME},
        {base + WSTR("\\..:stream"), ERROR_INVALID_NAME},
        {base + WSTR("\\x:y\\data"), ERROR_INVALID_NAME},
        {WSTR("\\\\tmp\\..\\etc"), ERROR_INVALID_NAME},
        {WSTR("\\\\..\\etc\\ssl"), ERROR_INVALID_NAME},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(narrow(c.path));
        WIN32_FIND_DATAW data{};
        SetLastError(0);
        EXPECT_EQ(FindFirstFileW(c.path.c_str(), &data), INVALID_HANDLE_VALUE);
        EXPECT_EQ(GetLastError(), c.error);
        bool wildcard = c.path.back() == u'*';
        if (!wildcard) {
            SetLastError(0);
            EXPECT_EQ(GetFileAttributesW(c.path.c_str()), INVALID_FILE_ATTRIBUTES);
            EXPECT_EQ(GetLastError(), c.error);
            SetLastError(0);
            EXPECT_EQ(CreateFileW(c.path.c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, kDataFlags, nullptr),
                      INVALID_HANDLE_VALUE);
            EXPECT_EQ(GetLastError(), c.error);
        }
    }
}

// 32,767 code units is the longest path; one more is refused before
// anything else is looked at.
TEST(PlatformFind, ThePathLengthLimit)
{
    const WString prefix = WSTR("\\\\?\\UNC\\\\");  // empty server: ERROR_BAD_PATHNAME when looked at
    WString longest = prefix + WString(32767 - prefix.size(), u'a');
    WString tooLong = longest + WSTR("a");
    EXPECT_EQ(GetFileAttributesW(longest.c_str()), INVALID_FILE_ATTRIBUTES);
    EXPECT_EQ(GetLastError(), ERROR_BAD_PATHNAME);
    EXPECT_EQ(GetFileAttributesW(tooLong.c_str()), INVALID_FILE_ATTRIBUTES);
    EXPECT_EQ(GetLastError(), ERROR_FILENAME_EXCED_RANGE);
}

TEST(PlatformFind, UnprivilegedAccessToAClosedFolderIsDenied)
{
    TempDir dir;
    std::string closed = dir / "closed";
    ASSERT_EQ(::mkdir(closed.c_str(), 0700), 0);
    writePosixFile(closed + "/inside", "x");
    const WString path = wideUncPath(closed);
    std::string result = inChild(
        [&] {
            std::string out;
            WIN32_FIND_DATAW data{};
            out += FindFirstFileW((path + WSTR("\\*")).c_str(), &data) == INVALID_HANDLE_VALUE
                       ? std::to_string(GetLastError())
                       : "opened";
            out += " ";
            out += GetFileAttributesW((path + WSTR("\\inside")).c_str()) == INVALID_FILE_ATTRIBUTES
                       ? std::to_string(GetLastError())
                       : "read";
            out += " ";
            out += CreateFileW((path + WSTR("\\inside")).c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, kDataFlags,
                               nullptr) == INVALID_HANDLE_VALUE
                       ? std::to_string(GetLastError())
                       : "opened";
            // The folder itself is listed in its parent as usual.
            out += " ";
            out += std::to_string(GetFileAttributesW(path.c_str()));
            return out;
        },
        kNobody);
    EXPECT_EQ(result, "5 5 5 16");
}

// An entry removed after the folder was read but before it was examined is
// passed over, not reported as a failure of the listing.
TEST(PlatformFind, AnEntryThatVanishesIsPassedOver)
{
    TempDir dir;
    std::vector<WString> names = {WSTR("a"), WSTR("b"), WSTR("c"), WSTR("d"), WSTR("e")};
    for (const WString& name : names) {
        writePosixFile(dir / utf8Text(name), "x");
    }
    WIN32_FIND_DATAW data{};
    UniqueFindHandle find(FindFirstFileW((wideUncPath(dir.path()) + WSTR("\\*")).c_str(), &data));
    ASSERT_TRUE(find.valid());
    std::vector<WString> seen = {data.cFileName};
    bool firstIsFile = std::find(names.begin(), names.end(), seen.front()) != names.end();
    for (const WString& name : names) {
        if (name != seen.front()) {
            ASSERT_EQ(::unlink((dir / utf8Text(name)).c_str()), 0);
        }
    }
    while (FindNextFileW(find.get(), &data)) {
        seen.emplace_back(data.cFileName);
    }
    EXPECT_EQ(GetLastError(), ERROR_NO_MORE_FILES);
    // Of the five files only the one returned before the removal is there.
    std::vector<WString> expected = {WSTR("."), WSTR("..")};
    if (firstIsFile) {
        expected.push_back(seen.front());
    }
    std::sort(seen.begin(), seen.end());
    std::sort(expected.begin(), expected.end());
    EXPECT_EQ(seen, expected);
}

// Restores the working folder when the test ends.
class InFolder {
public:
    explicit InFolder(const std::string& folder)
    {
        char* previous = ::getcwd(nullptr, 0);
        previous_ = previous != nullptr ? previous : "/";
        std::free(previous);
        EXPECT_EQ(::chdir(folder.c_str()), 0);
    }
    ~InFolder() { EXPECT_EQ(::chdir(previous_.c_str()), 0); }

private:
    std::string previous_;
};

// Listed names are widened eight bytes a step and decoded when any byte is
// not ASCII: a byte of 0x80 or more anywhere (in a full step or in the rest,
// in the first step or a later one) makes the whole name decoded, and the
// rest after the last full step is widened too.
TEST(PlatformFind, ListedNamesAreDecodedWhereverTheirNonAsciiBytesLie)
{
    TempDir dir;
    const std::string folder = dir / "names";
    ASSERT_EQ(::mkdir(folder.c_str(), 0755), 0);
    const std::string longest(255, 'n');  // NAME_MAX
    const std::pair<std::string, WString> names[] = {
        {"a", WSTR("a")},
        {"abcdefg", WSTR("abcdefg")},
        {"abcdefgh", WSTR("abcdefgh")},
        {"abcdefghi", WSTR("abcdefghi")},
        {"\xc3\xa9tude.pdf", WSTR("\u00e9tude.pdf")},                    // in the first step
        {"abcdefg\xc3\xa9", WSTR("abcdefg\u00e9")},                      // across the first step's end
        {"abcdefgh\xc3\xa9", WSTR("abcdefgh\u00e9")},                    // in the rest
        {"abcdefghijklmno\xff", WString(WSTR("abcdefghijklmno")) + WCHAR(0xDCFF)},  // ends the second step
        {"abcdefghijklmnop\xff", WString(WSTR("abcdefghijklmnop")) + WCHAR(0xDCFF)},
        {longest, WString(longest.begin(), longest.end())},
        // Characters NTFS names cannot hold are U+F000 plus the character,
        // in the ASCII steps and after a byte that is not ASCII; a name that
        // holds one of those U+F0xx characters itself shows its bytes as
        // escapes, and one that is mapped from nothing as itself.
        {"a\\b:c*d?e\"f<g>h|i", WSTR("a\uF05Cb\uF03Ac\uF02Ad\uF03Fe\uF022f\uF03Cg\uF03Eh\uF07Ci")},
        {"\x01\t\n\x1f", WSTR("\uF001\uF009\uF00A\uF01F")},
        {"abcdefgh\xc3\xa9:", WSTR("abcdefgh\u00e9\uF03A")},
        {"x\xef\x80\xbay", WString(WSTR("x")) + WCHAR(0xDCEF) + WCHAR(0xDC80) + WCHAR(0xDCBA) + WSTR("y")},
        {"x\xef\x80\xafy", WSTR("x\uF02Fy")},
        {"x\xef\x80\xa0y", WSTR("x\uF020y")},
    };
    for (const auto& [name, wide] : names) {
        writePosixFile(folder + "/" + name, "x");
    }
    std::map<WString, WIN32_FIND_DATAW> entries = listFolder(folder);
    EXPECT_EQ(entries.size(), std::size(names) + 2);  // and "." and ".."
    for (const auto& [name, wide] : names) {
        SCOPED_TRACE(name);
        EXPECT_EQ(entries.count(wide), 1U);
    }
    EXPECT_EQ(entries.count(WSTR(".")), 1U);
    EXPECT_EQ(entries.count(WSTR("..")), 1U);
}

// While a folder is being listed, the calls on its entries reach them
// through the listing's descriptor, mapping only the last component. They
// give what they give with no listing open: same attributes, same content,
// same errors, whatever the name and the pattern's form.
TEST(PlatformFind, CallsOnEntriesOfAFolderBeingListedGiveWhatTheyGiveOtherwise)
{
    TempDir dir;
    const std::string folder = dir / "folder";
    ASSERT_EQ(::mkdir(folder.c_str(), 0755), 0);
    writePosixFile(folder + "/file", "abc");
    setXattr(folder + "/file", "user.DosStream.s:$DATA", std::string("stream\0", 7));
    writePosixFile(folder + "/Gr\xc3\xbc\xc3\x9f" "e", "xyz");
    writePosixFile(folder + "/bad\xff", "raw");
    ASSERT_EQ(::mkdir((folder + "/sub").c_str(), 0755), 0);
    const WString base = wideUncPath(folder);
    const std::vector<WString> paths = {
        base + WSTR("\\file"),      base + WSTR("\\Gr\u00fc\u00dfe"), base + WSTR("\\bad") + WCHAR(0xDCFF),
        base + WSTR("\\sub"),       base + WSTR("\\nothing"),         base + WSTR("\\file:s"),
        base + WSTR("\\file::$DATA"), base + WSTR("\\sub\\nothing"),  base + WSTR("\\.."),
        base + WSTR("\\"),          base + WSTR("\\bad") + WCHAR(0xD800),
    };
    // What each call gives: the attributes, or the error; the content, or the error.
    auto observe = [&] {
        std::vector<std::string> seen;
        for (const WString& path : paths) {
            DWORD attributes = GetFileAttributesW(path.c_str());
            std::string line = attributes == INVALID_FILE_ATTRIBUTES ? "error " + std::to_string(GetLastError())
                                                                     : std::to_string(attributes);
            UniqueHandle file(CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr));
            line += file ? " " + readAll(file.get()) : " error " + std::to_string(GetLastError());
            seen.push_back(line);
        }
        return seen;
    };
    const std::vector<std::string> unlisted = observe();
    ASSERT_EQ(unlisted.size(), paths.size());
    const std::vector<std::string> expected = {
        "32 abc", "32 xyz", "32 raw", "16 error 5", "error 2 error 2", "32 stream", "32 abc",
        "error 2 error 2", "error 123 error 123", "16 error 5", "error 123 error 123",
    };
    EXPECT_EQ(unlisted, expected);
    for (const WString& pattern : {base + WSTR("\\*"), base + WSTR("/*"), base + WSTR("\\\\*")}) {
        SCOPED_TRACE(utf8Text(pattern));
        WIN32_FIND_DATAW data{};
        UniqueFindHandle listing(FindFirstFileW(pattern.c_str(), &data));
        ASSERT_TRUE(listing.valid()) << GetLastError();
        EXPECT_EQ(observe(), unlisted);
    }
}

TEST(PlatformPaths, EachFormNamesTheLinuxPath)
{
    TempDir dir;
    ASSERT_EQ(::mkdir((dir / "sub").c_str(), 0755), 0);
    writePosixFile(dir / "sub/file", "content");
    std::string withBackslashes = testsupport::uncPath(dir.path()).substr(1);  // "\tmp\..."
    const WString base = wideText(withBackslashes);
    const WString forms[] = {
        WSTR("\\\\?\\UNC") + base + WSTR("\\sub\\file"),
        WSTR("\\\\?\\unc") + base + WSTR("\\sub\\file"),
        WSTR("\\") + base + WSTR("\\sub\\file"),
        WSTR("\\") + base + WSTR("\\sub/file"),  // forward slashes pass as they are
    };
    for (const WString& form : forms) {
        SCOPED_TRACE(narrow(form));
        UniqueHandle file(CreateFileW(form.c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr));
        ASSERT_TRUE(file.valid()) << GetLastError();
        char buffer[16] = {};
        DWORD read = 0;
        ASSERT_TRUE(ReadFile(file.get(), buffer, sizeof buffer, &read, nullptr));
        EXPECT_EQ(std::string(buffer, read), "content");
    }

    // Without the prefix: relative to the current folder.
    InFolder inside(dir.path());
    EXPECT_EQ(GetFileAttributesW(WSTR("sub\\file")), FILE_ATTRIBUTE_ARCHIVE);
    EXPECT_EQ(GetFileAttributesW(WSTR("sub")), FILE_ATTRIBUTE_DIRECTORY);
    UniqueHandle narrowFile(CreateFileA("sub\\file", GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr));
    EXPECT_TRUE(narrowFile.valid()) << GetLastError();
    UniqueHandle report(CreateFileA("report.txt", GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
    EXPECT_TRUE(report.valid()) << GetLastError();
    struct stat status {};
    EXPECT_EQ(::stat((dir / "report.txt").c_str(), &status), 0);
}

// A Linux name that is not UTF-8 comes back from FindFirstFileW with its bad
// bytes as U+DC80..U+DCFF, and that name opens the file again.
TEST(PlatformPaths, NamesThatAreNotUtf8RoundTrip)
{
    TempDir dir;
    struct Case {
        std::string bytes;
        WString wide;
    } cases[] = {
        {"caf\xE9", WSTR("caf\xDCE9")},                                       // Latin-1
        {"\xFF\xFE", WString{u'\xDCFF', u'\xDCFE'}},                          // never UTF-8
        {"cut\xE2\x82", WSTR("cut\xDCE2\xDC82")},                             // a cut sequence
        {"\xC3\xA9t\xC3", WString{u'\xE9', u't', u'\xDCC3'}},                  // good, then bad
        {"\xF0\x9F\x98\x80", WString{u'\xD83D', u'\xDE00'}},                  // beyond the BMP
        {"\xED\xA0\x80", WString{u'\xDCED', u'\xDCA0', u'\xDC80'}},           // an encoded surrogate
        {"\xC0\xAF", WString{u'\xDCC0', u'\xDCAF'}},                          // overlong
    };
    for (const Case& c : cases) {
        writePosixFile(dir / c.bytes, c.bytes);
    }
    std::map<WString, WIN32_FIND_DATAW> entries = listFolder(dir.path());
    for (const Case& c : cases) {
        SCOPED_TRACE(narrow(c.wide));
        ASSERT_EQ(entries.count(c.wide), 1u);
        UniqueHandle file(CreateFileW((wideUncPath(dir.path()) + WSTR("\\") + c.wide).c_str(), GENERIC_READ, 0,
                                      nullptr, OPEN_EXISTING, kDataFlags, nullptr));
        ASSERT_TRUE(file.valid()) << GetLastError();
        char buffer[16] = {};
        DWORD read = 0;
        ASSERT_TRUE(ReadFile(file.get(), buffer, sizeof buffer, &read, nullptr));
        EXPECT_EQ(std::string(buffer, read), c.bytes);

        // The ANSI code page gives the Linux bytes back.
        char narrowName[32] = {};
        int length = WideCharToMultiByte(CP_ACP, 0, c.wide.data(), static_cast<int>(c.wide.size()), narrowName,
                                         sizeof narrowName, nullptr, nullptr);
        EXPECT_EQ(std::string(narrowName, static_cast<std::size_t>(length)), c.bytes);
        EXPECT_EQ(WideCharToMultiByte(CP_ACP, 0, c.wide.data(), static_cast<int>(c.wide.size()), nullptr, 0, nullptr,
                                      nullptr),
                  length);
    }
}

TEST(PlatformText, WideCharToMultiByte)
{
    const WString escaped = WSTR("caf\xDCE9");
    const WString lone = WString{u'a', u'\xD800', u'b'};
    struct Case {
        const char* label;
        UINT codePage;
        WString text;
        int length;
        std::string bytes;
        BOOL usedDefault;
    } cases[] = {
        {"ANSI, escape", CP_ACP, escaped, 4, "caf\xE9", FALSE},
        {"ANSI, other lone surrogate", CP_ACP, lone, 3, "a?b", TRUE},
        {"ANSI, with its NUL", CP_ACP, WSTR("ab"), -1, std::string("ab\0", 3), FALSE},
        {"UTF-8, escape", CP_UTF8, escaped, 4, "caf\xEF\xBF\xBD", FALSE},
        {"UTF-8, lone surrogate", CP_UTF8, lone, 3, "a\xEF\xBF\xBD" "b", FALSE},
        {"UTF-8, pair", CP_UTF8, WString{u'\xD83D', u'\xDE00'}, 2, "\xF0\x9F\x98\x80", FALSE},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.label);
        char out[16] = {};
        BOOL usedDefault = 7;
        int written = WideCharToMultiByte(c.codePage, 0, c.text.c_str(), c.length, out, sizeof out, nullptr,
                                          c.codePage == CP_ACP ? &usedDefault : nullptr);
        EXPECT_EQ(std::string(out, static_cast<std::size_t>(std::max(written, 0))), c.bytes);
        if (c.codePage == CP_ACP) {
            EXPECT_EQ(usedDefault, c.usedDefault);
        }
    }
    char small[2];
    EXPECT_EQ(WideCharToMultiByte(CP_ACP, 0, escaped.c_str(), 4, small, sizeof small, nullptr, nullptr), 0);
    EXPECT_EQ(GetLastError(), ERROR_INSUFFICIENT_BUFFER);
    BOOL used = FALSE;
    EXPECT_EQ(WideCharToMultiByte(CP_UTF8, 0, escaped.c_str(), 4, nullptr, 0, nullptr, &used), 0);
    EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);  // CP_UTF8 takes no default character
}

}  // namespace
}  // namespace platformtest
