// The normal mode's file lines beside the placeholder verdicts: files that
// are not placeholders, files whose reparse data cannot be read, the file
// description (attribute words, size, creation time in several zones), and a
// folder of every kind at once.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>

#include "tests/e2e/normal_mode_fixtures.h"

using namespace testsupport;
using namespace normalmode;
using treebuilder::FileSpec;
using treebuilder::PlaceholderKind;

namespace {

constexpr DWORD kDedupTag = 0x80000013;  // a Microsoft tag, short header
constexpr DWORD kThirdPartyTag = 0x11;   // another vendor's tag, GUID header

// The creation time the platform reports for an entry without a stored one
// (a symbolic link): its birth time, else its modification time, in UTC.
std::string birthTimeText(const std::string& linuxPath)
{
    struct statx status {};
    EXPECT_EQ(::statx(AT_FDCWD, linuxPath.c_str(), AT_SYMLINK_NOFOLLOW, STATX_BTIME | STATX_MTIME, &status), 0);
    std::time_t seconds = static_cast<std::time_t>((status.stx_mask & STATX_BTIME) != 0 ? status.stx_btime.tv_sec
                                                                                        : status.stx_mtime.tv_sec);
    std::tm parts{};
    ::gmtime_r(&seconds, &parts);
    char text[64];
    std::size_t length = std::strftime(text, sizeof text, "%d/%m/%y %H:%M:%S GMT", &parts);
    return std::string(text, length);
}

// Hostile state, written behind the platform's back: the reparse attribute
// stays in user.DOSATTRIB but user.SmbReparse is gone.
void dropReparseData(const std::string& linuxPath)
{
    ASSERT_EQ(::removexattr(linuxPath.c_str(), "user.SmbReparse"), 0);
}

// Hostile state: a record one byte longer than its header says, which NTFS
// never stores.
void lengthenReparseData(const std::string& linuxPath)
{
    char value[16384];
    ssize_t length = ::getxattr(linuxPath.c_str(), "user.SmbReparse", value, sizeof value);
    ASSERT_GT(length, 0);
    value[length] = 0;
    ASSERT_EQ(::setxattr(linuxPath.c_str(), "user.SmbReparse", value, static_cast<std::size_t>(length) + 1, 0), 0);
}

struct Audit {
    std::string report;
    RunResult result;
};

Audit audit(const std::vector<std::string>& arguments, std::vector<std::string> environment = {})
{
    TempDir work;
    RunResult result =
        runStubwarden(arguments, {.workingDirectory = work.path(), .environment = std::move(environment)});
    return {onlyReportBytes(work.path()), result};
}

TEST(NormalModeFiles, FilesThatAreNotPlaceholdersGetALineOnlyWhenVerbose)
{
    TempDir share;
    treebuilder::makeFile(wideUncPath(share / "plain"), plainFile(300));
    treebuilder::makeReparsePoint(wideUncPath(share / "dedup"), plainFile(),
                                  treebuilder::reparseRecord(kDedupTag, treebuilder::Bytes(12, 7)));
    treebuilder::makeReparsePoint(wideUncPath(share / "vendor"), plainFile(),
                                  treebuilder::reparseRecord(kThirdPartyTag, treebuilder::Bytes(40, 1)));
    treebuilder::makeFile(wideUncPath(share / "target"), plainFile(5));
    treebuilder::makeSymbolicLink(wideUncPath(share / "link"), wideUncPath(share / "target"), false);

    const struct {
        const char* name;
        std::string verboseLine;
    } cases[] = {
        {"plain", "(Created:15/01/23 10:20:30 GMT, Size:300):Not a reparse point\r\n"},
        {"dedup", "(Created:15/01/23 10:20:30 GMT, Size:0, Reparse point):None QM\r\n"},
        {"vendor", "(Created:15/01/23 10:20:30 GMT, Size:0, Reparse point):None QM\r\n"},
        {"link", "(Created:" + birthTimeText(share / "link") + ", Size:0, Reparse point):None QM\r\n"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        Audit quiet = audit({uncPath(share / c.name)});
        EXPECT_EQ(quiet.result.exitCode, 0);
        EXPECT_EQ(quiet.report, utf16le(summary(1, 0, 1, 0, 0, 0, 0, 0)));
        Audit verbose = audit({"-v", uncPath(share / c.name)});
        EXPECT_EQ(verbose.result.exitCode, 0);
        EXPECT_EQ(verbose.report, utf16le(reportPath(share / c.name) + c.verboseLine + summary(1, 0, 1, 0, 0, 0, 0, 0)));
    }
}

// The failure text ends with a lone LF, not CR LF: the next line (here the
// summary's leading CR LF) follows it directly.
TEST(NormalModeFiles, AFileWhoseReparseDataCannotBeReadIsCountedAndNamed)
{
    TempDir share;
    placeholder(share / "no-data", PlaceholderKind::Good);
    dropReparseData(share / "no-data");
    placeholder(share / "too-long", PlaceholderKind::Good);
    lengthenReparseData(share / "too-long");
    placeholder(share / "locked", PlaceholderKind::Good);

    const struct {
        const char* name;
        const char* failure;
    } cases[] = {
        {"no-data", "DeviceIoControl:4390"},
        {"too-long", "DeviceIoControl:4392"},
        {"locked", "CreateFile:32"},
    };
    // Another process holds the file open: the layer keeps share modes with
    // flock, and a shared lock keeps out the program's unshared open.
    int holder = ::open((share / "locked").c_str(), O_RDONLY | O_CLOEXEC);
    ASSERT_GE(holder, 0);
    ASSERT_EQ(::flock(holder, LOCK_SH), 0);
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        std::string failure = std::string(", Failed to interogate file due to Error:") + c.failure + "\n";
        Audit quiet = audit({uncPath(share / c.name)});
        EXPECT_EQ(quiet.result.exitCode, 0);
        EXPECT_EQ(quiet.report, utf16le(reportPath(share / c.name) + failure + summary(1, 1, 0, 0, 0, 0, 0, 0)));
        Audit verbose = audit({"-v", "-d", "-fixphs", uncPath(share / c.name)});
        EXPECT_EQ(verbose.result.exitCode, 0);
        EXPECT_EQ(verbose.report,
                  utf16le(reportPath(share / c.name) +
                          "(Created:15/01/23 10:20:30 GMT, Size:1024, Reparse point, Sparse, Offline):" + failure +
                          summary(1, 1, 0, 0, 0, 0, 0, 0)));
    }
    // An exclusive lock keeps it out as well; once released the file reads.
    ASSERT_EQ(::flock(holder, LOCK_EX), 0);
    Audit exclusive = audit({uncPath(share / "locked")});
    EXPECT_EQ(exclusive.report,
              utf16le(reportPath(share / "locked") + ", Failed to interogate file due to Error:CreateFile:32\n" +
                      summary(1, 1, 0, 0, 0, 0, 0, 0)));
    ::close(holder);
    Audit released = audit({uncPath(share / "locked")});
    EXPECT_EQ(released.report, utf16le(summary(1, 0, 0, 1, 0, 0, 0, 0)));
}

TEST(NormalModeFiles, TheDescriptionListsTheAttributeWordsInTheirFixedOrder)
{
    TempDir share;
    auto fileWith = [](DWORD attributes, bool sparse) {
        FileSpec file = plainFile(2048);
        file.attributes = attributes;
        file.sparse = sparse;
        return file;
    };
    treebuilder::makeFile(wideUncPath(share / "sparse"), fileWith(0, true));
    treebuilder::makeFile(wideUncPath(share / "offline"), fileWith(FILE_ATTRIBUTE_OFFLINE, false));
    treebuilder::makeFile(wideUncPath(share / "sparse-offline"), fileWith(FILE_ATTRIBUTE_OFFLINE, true));
    treebuilder::makeFile(wideUncPath(share / "hidden-system-readonly"),
                          fileWith(FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM | FILE_ATTRIBUTE_READONLY, false));
    treebuilder::makeReparsePoint(wideUncPath(share / "reparse-offline"), fileWith(FILE_ATTRIBUTE_OFFLINE, false),
                                  treebuilder::reparseRecord(kDedupTag, {}));
    treebuilder::makeReparsePoint(wideUncPath(share / "reparse-sparse"), fileWith(0, true),
                                  treebuilder::reparseRecord(kDedupTag, {}));
    treebuilder::makeFile(wideUncPath(share / "huge"), plainFile(5000000000ULL));

    const struct {
        const char* name;
        const char* line;
    } cases[] = {
        {"sparse", "(Created:15/01/23 10:20:30 GMT, Size:2048, Sparse):Not a reparse point\r\n"},
        {"offline", "(Created:15/01/23 10:20:30 GMT, Size:2048, Offline):Not a reparse point\r\n"},
        {"sparse-offline", "(Created:15/01/23 10:20:30 GMT, Size:2048, Sparse, Offline):Not a reparse point\r\n"},
        {"hidden-system-readonly", "(Created:15/01/23 10:20:30 GMT, Size:2048):Not a reparse point\r\n"},
        {"reparse-offline", "(Created:15/01/23 10:20:30 GMT, Size:2048, Reparse point, Offline):None QM\r\n"},
        {"reparse-sparse", "(Created:15/01/23 10:20:30 GMT, Size:2048, Reparse point, Sparse):None QM\r\n"},
        {"huge", "(Created:15/01/23 10:20:30 GMT, Size:5000000000):Not a reparse point\r\n"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        Audit verbose = audit({"-v", uncPath(share / c.name)});
        EXPECT_EQ(verbose.report, utf16le(reportPath(share / c.name) + c.line + summary(1, 0, 1, 0, 0, 0, 0, 0)));
    }
}

// Creation times go through the local zone's current offset and back
// through the calendar; a local year before 1900 shows the start of 1970,
// and a time the calendar (1970 to 3000 UTC) cannot hold shows no time.
TEST(NormalModeFiles, CreationTimesAtTheEdgesOfTheCalendar)
{
    const struct {
        FILETIME created;
        const char* zone;
        const char* text;
    } cases[] = {
        {treebuilder::fileTimeUtc(2024, 2, 29, 23, 59, 59), "TZ=UTC", "29/02/24 23:59:59 GMT"},
        {treebuilder::fileTimeUtc(1970, 1, 1, 0, 0, 0), "TZ=UTC", "01/01/70 00:00:00 GMT"},
        {treebuilder::fileTimeUtc(3000, 12, 31, 23, 59, 59), "TZ=UTC", "31/12/00 23:59:59 GMT"},
        {treebuilder::fileTimeUtc(1850, 6, 1, 12, 0, 0), "TZ=UTC", "01/01/70 00:00:00 GMT"},
        {treebuilder::fileTimeUtc(1899, 12, 31, 23, 59, 59), "TZ=UTC", "01/01/70 00:00:00 GMT"},
        {treebuilder::fileTimeUtc(1900, 1, 1, 0, 0, 0), "TZ=UTC", ""},
        {treebuilder::fileTimeUtc(1969, 12, 31, 23, 59, 59), "TZ=UTC", ""},
        {treebuilder::fileTimeUtc(3001, 1, 1, 0, 0, 0), "TZ=UTC", ""},
        // A zone without daylight saving: the offset goes and comes back.
        {treebuilder::fileTimeUtc(2023, 7, 15, 10, 20, 30), "TZ=<+05>-5", "15/07/23 10:20:30 GMT"},
        {treebuilder::fileTimeUtc(1970, 1, 1, 0, 0, 0), "TZ=<+05>-5", "01/01/70 00:00:00 GMT"},
        // The local year decides: 02:00 UTC on 1 January 1900 is 1899 five
        // hours west.
        {treebuilder::fileTimeUtc(1900, 1, 1, 2, 0, 0), "TZ=<-05>5", "01/01/70 00:00:00 GMT"},
        {treebuilder::fileTimeUtc(1900, 1, 1, 6, 0, 0), "TZ=<-05>5", ""},
    };
    TempDir share;
    int index = 0;
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.zone) + " " + c.text);
        std::string name = "f" + std::to_string(index++);
        FileSpec file = plainFile();
        file.created = c.created;
        treebuilder::makeFile(wideUncPath(share / name), file);
        Audit verbose = audit({"-v", uncPath(share / name)}, {c.zone});
        EXPECT_EQ(verbose.report, utf16le(reportPath(share / name) + "(Created:" + c.text +
                                          ", Size:0):Not a reparse point\r\n" + summary(1, 0, 1, 0, 0, 0, 0, 0)));
    }
}

// Seconds east of UTC in force in a zone at a moment.
long zoneOffset(const char* zone, std::time_t at)
{
    std::string saved = std::getenv("TZ") != nullptr ? std::getenv("TZ") : "";
    bool hadZone = std::getenv("TZ") != nullptr;
    ::setenv("TZ", zone, 1);
    ::tzset();
    std::tm parts{};
    ::localtime_r(&at, &parts);
    if (hadZone) {
        ::setenv("TZ", saved.c_str(), 1);
    } else {
        ::unsetenv("TZ");
    }
    ::tzset();
    return parts.tm_gmtoff;
}

// The current offset goes forward and the offset of the creation date comes
// back, so a file from the other side of a daylight-saving change shows an
// hour off. Which side today is on decides, so the expected text is worked
// out from the zone's offset now.
TEST(NormalModeFiles, CreationTimesInAZoneWithDaylightSavingUseTodaysOffset)
{
    if (::access("/usr/share/zoneinfo/Europe/Berlin", R_OK) != 0) {
        GTEST_SKIP() << "the time zone data (Debian package tzdata) is not installed";
    }
    const struct {
        int month;
        long offsetOnTheDate;  // CET in January, CEST in July
    } cases[] = {{1, 3600}, {7, 7200}};
    TempDir share;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.month);
        std::string name = "m" + std::to_string(c.month);
        FileSpec file = plainFile();
        file.created = treebuilder::fileTimeUtc(2023, c.month, 15, 10, 20, 30);
        treebuilder::makeFile(wideUncPath(share / name), file);

        long before = zoneOffset("Europe/Berlin", std::time(nullptr));
        Audit verbose = audit({"-v", uncPath(share / name)}, {"TZ=Europe/Berlin"});
        long after = zoneOffset("Europe/Berlin", std::time(nullptr));
        if (before != after) {
            GTEST_SKIP() << "the zone changed its offset during the run";
        }
        std::tm parts{};
        parts.tm_year = 123;
        parts.tm_mon = c.month - 1;
        parts.tm_mday = 15;
        parts.tm_hour = 10;
        parts.tm_min = 20;
        parts.tm_sec = 30;
        std::time_t shown = ::timegm(&parts) + before - c.offsetOnTheDate;
        ::gmtime_r(&shown, &parts);
        char text[64];
        std::size_t length = std::strftime(text, sizeof text, "%d/%m/%y %H:%M:%S GMT", &parts);
        EXPECT_EQ(verbose.report, utf16le(reportPath(share / name) + "(Created:" + std::string(text, length) +
                                          ", Size:0):Not a reparse point\r\n" + summary(1, 0, 1, 0, 0, 0, 0, 0)));
    }
}

// A folder of every kind. The file system orders a folder's entries as it
// likes, so the lines are compared as a sorted list; the summary exactly.
TEST(NormalModeFiles, AFolderOfEveryKindCountsEachFileOnce)
{
    TempDir share;
    const std::string root = share / "share";
    ASSERT_EQ(::mkdir(root.c_str(), 0755), 0);
    treebuilder::makeFile(wideUncPath(root + "/plain"), plainFile(10));
    treebuilder::makeReparsePoint(wideUncPath(root + "/dedup"), plainFile(),
                                  treebuilder::reparseRecord(kDedupTag, {}));
    treebuilder::makeSymbolicLink(wideUncPath(root + "/link"), wideUncPath(root + "/plain"), false);
    placeholder(root + "/good", PlaceholderKind::Good);
    placeholder(root + "/guid", PlaceholderKind::WrongGuid);
    placeholder(root + "/misplaced", PlaceholderKind::Misplaced);
    placeholder(root + "/ftp", PlaceholderKind::WrongUrl);
    placeholder(root + "/no-data", PlaceholderKind::Good);
    dropReparseData(root + "/no-data");
    const std::string at = reportPath(root) + "\\";

    Audit quiet = audit({uncPath(root)});
    EXPECT_EQ(quiet.result.exitCode, 2);
    SplitReport split = splitReport(fromUtf16le(quiet.report));
    EXPECT_EQ(split.sortedLines, sorted({
                                     at + "guid: Incorrect GUID\r\n",
                                     at + "misplaced: Invalid URL\r\n",
                                     at + "ftp: Invalid URL\r\n",
                                     at + "no-data, Failed to interogate file due to Error:DeviceIoControl:4390\n",
                                 }));
    EXPECT_EQ(split.summary, summary(8, 1, 3, 1, 3, 2, 0, 0));

    const std::string description = "(Created:15/01/23 10:20:30 GMT, Size:1024, Reparse point, Sparse, Offline):";
    Audit verbose = audit({"-v", "-fixphs", uncPath(root)});
    EXPECT_EQ(verbose.result.exitCode, 2);
    split = splitReport(fromUtf16le(verbose.report));
    EXPECT_EQ(split.sortedLines,
              sorted({
                  at + "plain(Created:15/01/23 10:20:30 GMT, Size:10):Not a reparse point\r\n",
                  at + "dedup(Created:15/01/23 10:20:30 GMT, Size:0, Reparse point):None QM\r\n",
                  at + "link(Created:" + birthTimeText(root + "/link") + ", Size:0, Reparse point):None QM\r\n",
                  at + "good" + description + "Valid QM PH\r\n",
                  at + "guid" + description + "Incorrect GUID, Can't fix\r\n",
                  at + "misplaced" + description + "Invalid URL, Fixed\r\n",
                  at + "ftp" + description + "Invalid URL, Can't fix\r\n",
                  at + "no-data" + description + ", Failed to interogate file due to Error:DeviceIoControl:4390\n",
              }));
    EXPECT_EQ(split.summary, summary(8, 1, 3, 1, 3, 2, 1, 0));

    // The repaired record is good now; the run finds no bad placeholder left
    // among those that were fixable.
    Audit again = audit({uncPath(root + "/misplaced")});
    EXPECT_EQ(again.result.exitCode, 0);
    EXPECT_EQ(again.report, utf16le(summary(1, 0, 0, 1, 0, 0, 0, 0)));
}

// Linux names that are not UTF-8 appear in the report with the code units
// that stand for their bytes (U+DC80..U+DCFF), and a name with a colon is a
// file, not a stream, named with U+F03A for its colon; both are read like
// any other.
TEST(NormalModeFiles, NamesThatWindowsWouldNotHaveAreReadAndNamed)
{
    TempDir share;
    const std::string root = share / "share";
    ASSERT_EQ(::mkdir(root.c_str(), 0755), 0);
    placeholder(root + "/caf\xe9", PlaceholderKind::WrongGuid);
    // The builder would take "a:b" for the stream "b" of "a": the file is
    // made first, and its record set through the platform, by its Win32 name.
    ::close(::open((root + "/a:b").c_str(), O_CREAT | O_WRONLY | O_CLOEXEC, 0644));
    {
        HANDLE file = CreateFileW((wideUncPath(root) + WSTR("\\a\uF03Ab")).c_str(), GENERIC_WRITE, 0, nullptr,
                                  OPEN_EXISTING, FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
        ASSERT_NE(file, INVALID_HANDLE_VALUE);
        treebuilder::Bytes record =
            treebuilder::sambaForm(treebuilder::placeholderRecord({.kind = PlaceholderKind::EmptyUrl}));
        DWORD returned = 0;
        EXPECT_TRUE(DeviceIoControl(file, FSCTL_SET_REPARSE_POINT, record.data(), static_cast<DWORD>(record.size()),
                                    nullptr, 0, &returned, nullptr));
        CloseHandle(file);
    }
    Audit quiet = audit({uncPath(root)});
    EXPECT_EQ(quiet.result.exitCode, 2);
    SplitReport split = splitReport(fromUtf16le(quiet.report));
    EXPECT_EQ(split.sortedLines, sorted({reportPath(root) + "\\caf\xe9: Incorrect GUID\r\n",
                                         reportPath(root) + "\\a\xef\x80\xba" "b: Invalid URL\r\n"}));
    EXPECT_EQ(split.summary, summary(2, 0, 0, 0, 2, 2, 0, 0));
    // Byte for byte: the escaped byte is the code unit 0xDCE9.
    Audit one = audit({uncPath(root + "/caf\xe9")});
    EXPECT_EQ(one.report, utf16le(reportPath(root) + "\\") + std::string("c\0a\0f\0\xe9\xdc", 8) +
                              utf16le(": Incorrect GUID\r\n" + summary(1, 0, 0, 0, 1, 1, 0, 0)));
}

TEST(NormalModeFiles, AFolderOfOrdinaryFilesGivesOnlyTheSummaryAndExitCodeZero)
{
    TempDir share;
    const std::string root = share / "share";
    ASSERT_EQ(::mkdir(root.c_str(), 0755), 0);
    for (const char* name : {"a.txt", "b.doc", "c"}) {
        treebuilder::makeFile(wideUncPath(root + "/" + name), plainFile(1));
    }
    Audit quiet = audit({uncPath(root)});
    EXPECT_EQ(quiet.result.exitCode, 0);
    EXPECT_EQ(quiet.report, utf16le("\r\nSummary\r\n-------\r\n"
                                    "Total files:3\r\n"
                                    "Failed to read:0\r\n"
                                    "Not placeholders:3\r\n"
                                    "Good placeholders:0\r\n"
                                    "Bad placeholders:0\r\n"
                                    "Placeholders that can't be fixed:0\r\n"
                                    "Fixed placeholders:0\r\n"
                                    "Failed to fix placeholders:0\r\n"));
}

}  // namespace
