// Archive usage mode: archive point markers found on the way down, each
// file's size added to the innermost archive point, the per-file lines, the
// usage table in identifier order, the folders skipped for their marker or
// their listing, and the progress dots.
//
// Where a folder holds more than one entry the file system orders them as it
// likes: those reports are compared as sorted lines plus the exact summary.
#include <gtest/gtest.h>

#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>

#include "tests/e2e/normal_mode_fixtures.h"

using namespace testsupport;
using namespace normalmode;
using treebuilder::PlaceholderKind;

namespace {

struct UsageRun {
    int exitCode = -1;
    std::string dots;    // standard output
    std::string report;  // UTF-16LE bytes
};

UsageRun usageRun(const std::vector<std::string>& arguments, RunOptions options = {})
{
    TempDir work;
    ::chmod(work.path().c_str(), 0777);  // also for runs as another user
    options.workingDirectory = work.path();
    RunResult result = runStubwarden(arguments, options);
    EXPECT_EQ(result.standardError, "");
    return {result.exitCode, result.standardOutput, onlyReportBytes(work.path())};
}

const RunOptions kUnprivileged = {.user = kNobody, .group = kNobody};

// The names of a folder's entries in the order the walk meets them.
std::vector<std::string> listingOrder(const std::string& linuxFolder)
{
    std::vector<std::string> names;
    if (DIR* listing = ::opendir(linuxFolder.c_str())) {
        while (struct dirent* entry = ::readdir(listing)) {
            std::string name = entry->d_name;
            if (name != "." && name != "..") {
                names.push_back(name);
            }
        }
        ::closedir(listing);
    }
    return names;
}

TEST(ArchiveUsage, FilesOutsideEveryArchivePointAddToNoTotal)
{
    TempDir share;
    const std::string root = makeFolder(share / "root");
    makePlainFile(root + "/a", 10);
    makeFolder(root + "/sub");
    placeholder(root + "/sub/b", PlaceholderKind::Good);

    UsageRun quiet = usageRun({"-archiveusage", uncPath(root)});
    EXPECT_EQ(quiet.exitCode, 0);
    EXPECT_EQ(quiet.dots, ".");
    EXPECT_EQ(quiet.report, utf16le(kUsageHeading));

    UsageRun verbose = usageRun({"-v", "-ArchiveUsage", uncPath(root)});
    SplitReport split = splitReport(fromUtf16le(verbose.report));
    const std::string at = reportPath(root);
    EXPECT_EQ(split.sortedLines, sorted({at + "\\a: Not inside an archive point\r\n",
                                         at + "\\sub\\b: Not inside an archive point\r\n"}));
    EXPECT_EQ(split.summary, kUsageHeading);
}

// Only a valid placeholder that is a reparse point, offline and sparse is
// archived; a bad one is written but does not change the exit code.
TEST(ArchiveUsage, EachKindOfFileInOneArchivePoint)
{
    TempDir share;
    const std::string root = makeFolder(share / "root");
    const std::string ap = makeFolder(root + "/ap");
    archivePoint(ap, "AP-1", "Projects");
    placeholder(ap + "/archived", PlaceholderKind::Good, 2048);
    treebuilder::FileSpec notOffline = archivedFile(3072);
    notOffline.attributes = 0;
    treebuilder::makePlaceholder(wideUncPath(ap + "/not-offline"), {}, notOffline);
    treebuilder::FileSpec notSparse = archivedFile(4096);
    notSparse.sparse = false;
    treebuilder::makePlaceholder(wideUncPath(ap + "/not-sparse"), {}, notSparse);
    treebuilder::makeReparsePoint(wideUncPath(ap + "/other-tag"), archivedFile(500),
                                  treebuilder::reparseRecord(0x11, treebuilder::Bytes(8, 0)));
    placeholder(ap + "/invalid-url", PlaceholderKind::WrongUrl, 552);
    makePlainFile(ap + "/plain", 100);
    // 3072 + 4096 + 500 + 552 + 100 = 8320 bytes, 8.125 KB: halves go up.
    const std::string summary = kUsageHeading + usageRow("Projects", reportPath(ap), "2.00", "8.13");
    const std::string at = reportPath(ap);
    const std::string when = "(Created:" + kCreatedText;

    UsageRun quiet = usageRun({"-archiveusage", uncPath(root)});
    EXPECT_EQ(quiet.exitCode, 0);
    EXPECT_EQ(quiet.dots, ".");
    EXPECT_EQ(quiet.report, utf16le(at + "\\invalid-url: Invalid URL\r\n" + summary));

    UsageRun verbose = usageRun({"-v", "-archiveusage", uncPath(root)});
    EXPECT_EQ(verbose.exitCode, 0);
    SplitReport split = splitReport(fromUtf16le(verbose.report));
    EXPECT_EQ(split.sortedLines,
              sorted({
                  at + "\\archived" + when + ", Size:2048, Reparse point, Sparse, Offline):Valid QM PH\r\n",
                  at + "\\not-offline" + when + ", Size:3072, Reparse point, Sparse):Not an QM PH\r\n",
                  at + "\\not-sparse" + when + ", Size:4096, Reparse point, Offline):Not an QM PH\r\n",
                  at + "\\other-tag" + when + ", Size:500, Reparse point, Sparse, Offline):Not an QM PH\r\n",
                  at + "\\invalid-url" + when + ", Size:552, Reparse point, Sparse, Offline):Invalid URL"
                                               "Not a valid QM PH\r\n",
                  at + "\\plain" + when + ", Size:100):Not an QM PH\r\n",
              }));
    EXPECT_EQ(split.summary, summary);
}

// A file that cannot be opened (held without sharing by another process), or
// whose reparse data cannot be read, is non-archived; its line ends LF CR LF.
TEST(ArchiveUsage, AFileThatCannotBeReadIsNonArchivedWithItsLine)
{
    TempDir share;
    const std::string held = makeFolder(share / "held");
    archivePoint(held, "H", "Held");
    placeholder(held + "/file", PlaceholderKind::Good, 1024);
    int holder = ::open((held + "/file").c_str(), O_RDONLY | O_CLOEXEC);
    ASSERT_GE(holder, 0);
    ASSERT_EQ(::flock(holder, LOCK_EX), 0);

    const std::string lost = makeFolder(share / "lost");
    archivePoint(lost, "L", "Lost");
    placeholder(lost + "/file", PlaceholderKind::Good, 2048);
    // The attributes still say placeholder; the reparse data is gone.
    ASSERT_EQ(::removexattr((lost + "/file").c_str(), "user.SmbReparse"), 0);

    const std::string description = "(Created:" + kCreatedText + ", Size:1024, Reparse point, Sparse, Offline):";
    const struct {
        std::vector<std::string> arguments;
        std::string expected;
    } cases[] = {
        {{"-archiveusage", uncPath(held)},
         reportPath(held) + "\\file, Failed to determine QM ph due to Error:CreateFile:32\n\r\n" + kUsageHeading +
             usageRow("Held", reportPath(held), "0.00", "1.00")},
        {{"-v", "-archiveusage", uncPath(held)},
         reportPath(held) + "\\file" + description + ", Failed to determine QM ph due to Error:CreateFile:32\n\r\n" +
             kUsageHeading + usageRow("Held", reportPath(held), "0.00", "1.00")},
        {{"-archiveusage", uncPath(lost)},
         reportPath(lost) + "\\file, Failed to determine QM ph due to Error:DeviceIoControl:4390\n\r\n" +
             kUsageHeading + usageRow("Lost", reportPath(lost), "0.00", "2.00")},
    };
    for (const auto& c : cases) {
        UsageRun run = usageRun(c.arguments);
        EXPECT_EQ(run.exitCode, 0);
        EXPECT_EQ(run.report, utf16le(c.expected)) << c.arguments.back();
    }
    ::close(holder);
}

// Renames `linuxFolder` until its parent lists at least one file after it,
// so that the walk meets a file of the parent after finishing the folder.
std::string listedBeforeAFile(const std::string& linuxFolder)
{
    std::string parent = linuxFolder.substr(0, linuxFolder.rfind('/'));
    std::string current = linuxFolder;
    for (int attempt = 0; attempt < 64; ++attempt) {
        std::vector<std::string> order = listingOrder(parent);
        std::string name = current.substr(parent.size() + 1);
        auto at = std::find(order.begin(), order.end(), name);
        for (auto later = at + 1; later < order.end(); ++later) {
            struct stat status {};
            if (::stat((parent + "/" + *later).c_str(), &status) == 0 && S_ISREG(status.st_mode)) {
                return current;
            }
        }
        std::string next = linuxFolder + "-" + std::to_string(attempt);
        EXPECT_EQ(::rename(current.c_str(), next.c_str()), 0);
        current = next;
    }
    ADD_FAILURE() << "no name puts " << linuxFolder << " before a file";
    return current;
}

// Files go to the innermost archive point only, and the outer one takes
// over again once the inner subtree is finished. An archive point with an
// empty identifier has its row, and its files are outside every archive
// point, not the enclosing one's.
TEST(ArchiveUsage, NestedArchivePoints)
{
    TempDir share;
    const std::string outer = makeFolder(share / "outer");
    archivePoint(outer, "O", "Outer");
    makePlainFile(outer + "/o1", 1024);
    makePlainFile(outer + "/o2", 1024);
    placeholder(outer + "/o3", PlaceholderKind::Good, 1024);
    std::string inner = makeFolder(outer + "/inner");
    archivePoint(inner, "I", "Inner");
    makePlainFile(inner + "/i1", 2048);
    makeFolder(inner + "/deeper");
    placeholder(inner + "/deeper/i2", PlaceholderKind::Good, 4096);
    inner = listedBeforeAFile(inner);
    const std::string blank = makeFolder(outer + "/blank");
    archivePoint(blank, "", "Blank");
    makePlainFile(blank + "/b1", 8192);
    const std::string after = makeFolder(outer + "/after");
    makePlainFile(after + "/a1", 512);

    const std::string summary = kUsageHeading + usageRow("Blank", reportPath(blank), "0.00", "0.00") +
                                usageRow("Inner", reportPath(inner), "4.00", "2.00") +
                                usageRow("Outer", reportPath(outer), "1.00", "2.50");
    UsageRun quiet = usageRun({"-archiveusage", uncPath(outer)});
    EXPECT_EQ(quiet.exitCode, 0);
    EXPECT_EQ(quiet.report, utf16le(summary));

    UsageRun verbose = usageRun({"-v", "-archiveusage", uncPath(outer)});
    SplitReport split = splitReport(fromUtf16le(verbose.report));
    EXPECT_EQ(split.sortedLines.size(), 7u);
    EXPECT_EQ(std::count(split.sortedLines.begin(), split.sortedLines.end(),
                         reportPath(blank) + "\\b1: Not inside an archive point\r\n"),
              1);
    EXPECT_EQ(split.summary, summary);
}

// The entry made at the first archive point met keeps its root and name;
// the second one's files add into it.
TEST(ArchiveUsage, TwoArchivePointsWithTheSameIdentifierShareOneRow)
{
    TempDir share;
    const std::string root = makeFolder(share / "root");
    archivePoint(makeFolder(root + "/ap1"), "SAME", "First");
    placeholder(root + "/ap1/file", PlaceholderKind::Good, 1024);
    archivePoint(makeFolder(root + "/ap2"), "SAME", "Second");
    makePlainFile(root + "/ap2/file", 2048);

    std::string firstMet = listingOrder(root).front();
    UsageRun run = usageRun({"-archiveusage", uncPath(root)});
    EXPECT_EQ(run.report, utf16le(kUsageHeading + usageRow(firstMet == "ap1" ? "First" : "Second",
                                                      reportPath(root) + "\\" + firstMet, "1.00", "2.00")));
}

// Identifiers compare code unit by code unit: upper case before lower case,
// a prefix first, and U+1F600 (a surrogate pair, D83D DE00) before U+FF21,
// although its code point and its UTF-8 bytes come later.
TEST(ArchiveUsage, RowsComeInIdentifierOrder)
{
    TempDir share;
    const std::string root = makeFolder(share / "root");
    const struct {
        const char* folderName;
        const char* identifier;
    } points[] = {
        {"f1", "beta"}, {"f2", "Alpha"}, {"f3", "al"}, {"f4", "alpha"}, {"f5", "\xEF\xBC\xA1"}, {"f6", "\xF0\x9F\x98\x80"},
    };
    for (const auto& point : points) {
        archivePoint(makeFolder(root + "/" + point.folderName), point.identifier, std::string("n-") + point.folderName);
    }
    const std::string at = reportPath(root);
    UsageRun run = usageRun({"-archiveusage", uncPath(root)});
    EXPECT_EQ(run.report, utf16le(kUsageHeading + usageRow("n-f2", at + "\\f2", "0.00", "0.00") +
                                  usageRow("n-f3", at + "\\f3", "0.00", "0.00") + usageRow("n-f4", at + "\\f4", "0.00", "0.00") +
                                  usageRow("n-f1", at + "\\f1", "0.00", "0.00") + usageRow("n-f6", at + "\\f6", "0.00", "0.00") +
                                  usageRow("n-f5", at + "\\f5", "0.00", "0.00")));
}

// Without an identifier the folder path is the key; without a name the last
// component of the path is the name, which is empty for a path ending in a
// backslash. The marker of such a path is still found.
TEST(ArchiveUsage, MissingIdentifierAndNameFallBackToThePath)
{
    TempDir share;
    const std::string root = makeFolder(share / "root");
    treebuilder::makeArchivePoint(wideUncPath(root), "<?xml version=\"1.0\"?><other><name>ignored</name></other>");
    makePlainFile(root + "/r", 1024);
    const std::string dept = makeFolder(root + "/Dept");
    treebuilder::makeArchivePoint(wideUncPath(dept), "<archivePoint><name>Department</name></archivePoint>");
    const std::string named = makeFolder(root + "/Named");
    treebuilder::makeArchivePoint(wideUncPath(named), "<archivePoint><archiveQEID>ID-N</archiveQEID></archivePoint>");

    const std::string at = reportPath(root) + "\\";
    UsageRun run = usageRun({"-archiveusage", uncPath(root) + "\\"});
    // Keys: "ID-N", then the target's path, then the longer path it prefixes.
    EXPECT_EQ(run.report, utf16le(kUsageHeading + usageRow("Named", at + "\\Named", "0.00", "0.00") +
                                  usageRow("", at, "0.00", "1.00") + usageRow("Department", at + "\\Dept", "0.00", "0.00")));
}

// A marker that is there but does not load: the folder's line, and nothing
// below it is visited. A DOCTYPE is refused whatever it declares.
TEST(ArchiveUsage, AFolderWhoseMarkerDoesNotLoadIsSkipped)
{
    TempDir share;
    const std::string secret = share / "secret.txt";
    makePlainFile(secret, 0);
    const std::string bomb =
        "<?xml version=\"1.0\"?><!DOCTYPE archivePoint [<!ENTITY a \"aaaaaaaaaa\">"
        "<!ENTITY b \"&a;&a;&a;&a;&a;&a;&a;&a;&a;&a;\"><!ENTITY c \"&b;&b;&b;&b;&b;&b;&b;&b;&b;&b;\">"
        "<!ENTITY d \"&c;&c;&c;&c;&c;&c;&c;&c;&c;&c;\"><!ENTITY e \"&d;&d;&d;&d;&d;&d;&d;&d;&d;&d;\">"
        "<!ENTITY f \"&e;&e;&e;&e;&e;&e;&e;&e;&e;&e;\"><!ENTITY g \"&f;&f;&f;&f;&f;&f;&f;&f;&f;&f;\">]>"
        "<archivePoint><archiveQEID>&g;</archiveQEID><name>bomb</name></archivePoint>";
    const std::string markers[] = {
        "",
        "<archivePoint><archiveQEID>unclosed</archivePoint>",
        "<?xml version=\"1.0\"?><!DOCTYPE archivePoint [<!ENTITY x SYSTEM \"file://" + secret +
            "\">]><archivePoint><archiveQEID>&x;</archiveQEID><name>xxe</name></archivePoint>",
        bomb,
    };
    int index = 0;
    for (const std::string& marker : markers) {
        const std::string target = makeFolder(share / ("t" + std::to_string(index++)));
        treebuilder::makeArchivePoint(wideUncPath(target), marker);
        makePlainFile(target + "/file", 1024);
        archivePoint(makeFolder(target + "/below"), "BELOW", "Below");
        makePlainFile(target + "/below/file", 1024);
        UsageRun run = usageRun({"-v", "-archiveusage", uncPath(target)});
        EXPECT_EQ(run.exitCode, 0);
        EXPECT_EQ(run.dots, "");
        EXPECT_EQ(run.report, utf16le(reportPath(target) +
                                      ": skipped, Reason: CheckIsFolderAnArchivePoint failed, error(Failed to load "
                                      "archive point xml)\r\n" +
                                      kUsageHeading))
            << marker;
    }

    // Below an archive point: the walk goes on beside the skipped folder.
    const std::string root = makeFolder(share / "root");
    archivePoint(root, "R", "Root");
    makePlainFile(root + "/r", 1024);
    const std::string broken = makeFolder(root + "/broken");
    treebuilder::makeArchivePoint(wideUncPath(broken), bomb);
    makePlainFile(broken + "/file", 4096);
    UsageRun run = usageRun({"-archiveusage", uncPath(root)});
    SplitReport split = splitReport(fromUtf16le(run.report));
    EXPECT_EQ(split.sortedLines,
              sorted({reportPath(broken) +
                      ": skipped, Reason: CheckIsFolderAnArchivePoint failed, error(Failed to load archive point "
                      "xml)\r\n"}));
    EXPECT_EQ(split.summary, kUsageHeading + usageRow("Root", reportPath(root), "0.00", "1.00"));
}

// Without the backup privilege a folder of mode 0 cannot be opened for its
// marker: ERROR_ACCESS_DENIED as an HRESULT. With it, the marker is read.
TEST(ArchiveUsage, AMarkerThatCannotBeOpenedGivesTheHresult)
{
    TempDir share;
    const std::string root = makeFolder(share / "root");
    const std::string closed = makeFolder(root + "/closed");
    archivePoint(closed, "C", "Closed");
    makePlainFile(closed + "/file", 1024);
    ::chmod(closed.c_str(), 0);

    UsageRun unprivileged = usageRun({"-archiveusage", uncPath(root)}, kUnprivileged);
    EXPECT_EQ(unprivileged.exitCode, 0);
    EXPECT_EQ(unprivileged.report,
              utf16le(reportPath(closed) +
                      ": skipped, Reason: CheckIsFolderAnArchivePoint failed, error(Failed to open archive point "
                      "stream, error 0x80070005)\r\n" +
                      kUsageHeading));

    UsageRun privileged = usageRun({"-archiveusage", uncPath(root)});
    EXPECT_EQ(privileged.report, utf16le(kUsageHeading + usageRow("Closed", reportPath(closed), "0.00", "1.00")));
}

// A folder whose marker can be read but which cannot be listed (read but no
// search permission, for an account without the backup privilege) keeps its
// row with both totals 0.
TEST(ArchiveUsage, AnArchivePointThatCannotBeListedKeepsItsRow)
{
    TempDir share;
    const std::string root = makeFolder(share / "root");
    const std::string unlisted = makeFolder(root + "/unlisted");
    archivePoint(unlisted, "U", "Unlisted");
    makePlainFile(unlisted + "/file", 1024);
    ::chmod(unlisted.c_str(), 0444);

    UsageRun run = usageRun({"-archiveusage", uncPath(root)}, kUnprivileged);
    EXPECT_EQ(run.exitCode, 0);
    EXPECT_EQ(run.dots, "");
    EXPECT_EQ(run.report, utf16le(reportPath(unlisted) + ": skipped, Reason: FindFirstFileExW failed with error(5)\r\n" +
                                  kUsageHeading + usageRow("Unlisted", reportPath(unlisted), "0.00", "0.00")));
}

TEST(ArchiveUsage, FilesAbove4GiBAddTheirWholeSize)
{
    TempDir share;
    const std::string ap = makeFolder(share / "ap");
    archivePoint(ap, "BIG", "Big");
    placeholder(ap + "/archived", PlaceholderKind::Good, (5ULL << 30) + 512);
    treebuilder::FileSpec sparse = plainFile(4ULL << 30);
    sparse.sparse = true;
    treebuilder::makeFile(wideUncPath(ap + "/plain"), sparse);

    UsageRun run = usageRun({"-archiveusage", uncPath(ap)});
    EXPECT_EQ(run.report, utf16le(kUsageHeading + usageRow("Big", reportPath(ap), "5242880.50", "4194304.00")));
}

// A dot before the 1st, 1001st, 2001st ... file of the run.
TEST(ArchiveUsage, ProgressDotsComeEveryThousandFiles)
{
    TempDir share;
    const std::string root = makeFolder(share / "root");
    EXPECT_EQ(usageRun({"-archiveusage", uncPath(root)}).dots, "");
    makeFolder(root + "/a");
    makePlainFile(root + "/a/0", 0);
    EXPECT_EQ(usageRun({"-archiveusage", uncPath(root)}).dots, ".");
    for (int i = 1; i < 1000; ++i) {
        makePlainFile(root + (i % 2 == 0 ? "/a/" : "/") + std::to_string(i), 0);
    }
    EXPECT_EQ(usageRun({"-archiveusage", uncPath(root)}).dots, ".");
    makePlainFile(root + "/a/1000", 0);
    UsageRun run = usageRun({"-archiveusage", uncPath(root)});
    EXPECT_EQ(run.dots, "..");
    EXPECT_EQ(run.report, utf16le(kUsageHeading));
    // The normal mode writes none.
    RunResult normal = runStubwarden({uncPath(root)}, {.workingDirectory = share.path()});
    EXPECT_EQ(normal.standardOutput, "");
}

// A single file goes to the per-file check even in this mode: its line, and
// the usage table with no row. A bad placeholder counts for the exit code.
TEST(ArchiveUsage, ASingleFileTargetGetsThePerFileCheck)
{
    TempDir share;
    const std::string good = share / "good";
    placeholder(good, PlaceholderKind::Good);
    const std::string bad = share / "bad";
    placeholder(bad, PlaceholderKind::WrongGuid);

    UsageRun goodRun = usageRun({"-archiveusage", uncPath(good)});
    EXPECT_EQ(goodRun.exitCode, 0);
    EXPECT_EQ(goodRun.dots, "");
    EXPECT_EQ(goodRun.report, utf16le(kUsageHeading));

    UsageRun badRun = usageRun({"-archiveusage", uncPath(bad)});
    EXPECT_EQ(badRun.exitCode, 2);
    EXPECT_EQ(badRun.report, utf16le(reportPath(bad) + ": Incorrect GUID\r\n" + kUsageHeading));
}

}  // namespace
