// The walk in archive usage mode: the archive point step of each folder, the
// identifier handed down and restored, folders whose marker cannot be read,
// and the progress dots on standard output.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include "tests/e2e/normal_mode_fixtures.h"

using namespace testsupport;
using namespace normalmode;

namespace {

RunResult usageRun(const std::vector<std::string>& arguments, std::string& report)
{
    TempDir work;
    RunResult result = runStubwarden(arguments, {.workingDirectory = work.path()});
    report = onlyReportBytes(work.path());
    EXPECT_EQ(result.standardError, "");
    return result;
}

// A marker that is there but is no XML: the folder's line, and nothing
// beneath it is visited (with -v, its file would have a line).
TEST(WalkArchivePoints, AFolderWhoseMarkerCannotBeReadIsSkippedWithItsLine)
{
    TempDir share;
    const std::string root = makeFolder(share / "root");
    const std::string broken = makeFolder(root + "/broken");
    treebuilder::makeArchivePoint(wideUncPath(broken), "this is no xml");
    makePlainFile(broken + "/inside", 100);
    const std::string line = reportPath(broken) +
                             ": skipped, Reason: CheckIsFolderAnArchivePoint failed, error(Failed to load archive "
                             "point xml)\r\n";
    std::string report;
    EXPECT_EQ(usageRun({"-archiveusage", "-v", uncPath(root)}, report).exitCode, 0);
    EXPECT_EQ(report, utf16le(line + kUsageHeading));
    // The target itself: its line, then the summary.
    EXPECT_EQ(usageRun({"-archiveusage", uncPath(broken)}, report).exitCode, 0);
    EXPECT_EQ(report, utf16le(line + kUsageHeading));
}

// Another process holds the folder without sharing, so its marker cannot be
// opened: the message of the failure, with its HRESULT, goes into the line.
TEST(WalkArchivePoints, AMarkerThatCannotBeOpenedSkipsTheFolder)
{
    TempDir share;
    const std::string root = makeFolder(share / "root");
    const std::string held = makeFolder(root + "/held");
    archivePoint(held, "{1}", "Held");
    makePlainFile(held + "/inside", 100);
    int holder = ::open(held.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    ASSERT_GE(holder, 0);
    ASSERT_EQ(::flock(holder, LOCK_EX), 0);
    std::string report;
    EXPECT_EQ(usageRun({"-archiveusage", uncPath(root)}, report).exitCode, 0);
    ::close(holder);
    EXPECT_EQ(report, utf16le(reportPath(held) +
                              ": skipped, Reason: CheckIsFolderAnArchivePoint failed, error(Failed to open archive "
                              "point stream, error 0x80070020)\r\n" +
                              kUsageHeading));
}

// Files below an inner archive point count under its identifier; files of
// the outer folder count under the outer one whether the walk meets them
// before or after the inner subtree. Rows come in identifier order, which is
// neither the order the walk meets them in nor the order of their names; an
// archive point without files has a row of zeros.
TEST(WalkArchivePoints, NestedArchivePointsEachTakeTheirOwnFiles)
{
    TempDir share;
    const std::string root = makeFolder(share / "root");
    const std::string outer = makeFolder(root + "/outer");
    archivePoint(outer, "{B}", "Alpha");
    const std::string inner = makeFolder(outer + "/inner");
    archivePoint(inner, "{A}", "Zeta");
    makePlainFile(inner + "/one", 2048);
    for (const char* name : {"a", "b", "c", "d", "e", "f", "g", "h"}) {
        makePlainFile(outer + "/" + name, 128);
    }
    const std::string empty = makeFolder(root + "/empty");
    archivePoint(empty, "{C}", "Empty");
    const std::string small = makeFolder(root + "/small");
    archivePoint(small, "{D}", "Small");
    makePlainFile(small + "/tiny", 128);
    makePlainFile(root + "/outside", 1 << 20);
    std::string report;
    EXPECT_EQ(usageRun({"-archiveusage", uncPath(root)}, report).exitCode, 0);
    EXPECT_EQ(report, utf16le(kUsageHeading +                                          //
                              "Zeta\t" + reportPath(inner) + "\t0.00\t2.00\r\n" +    //
                              "Alpha\t" + reportPath(outer) + "\t0.00\t1.00\r\n" +   //
                              "Empty\t" + reportPath(empty) + "\t0.00\t0.00\r\n" +   //
                              "Small\t" + reportPath(small) + "\t0.00\t0.13\r\n"));
}

// The second archive point with the same identifier keeps the first one's
// row, and its files add into it.
TEST(WalkArchivePoints, AnIdentifierMetAgainKeepsTheFirstRow)
{
    TempDir share;
    const std::string first = makeFolder(share / "first");
    archivePoint(first, "{same}", "First");
    const std::string second = makeFolder(first + "/second");
    archivePoint(second, "{same}", "Second");
    makePlainFile(second + "/data", 1536);
    std::string report;
    EXPECT_EQ(usageRun({"-archiveusage", uncPath(first)}, report).exitCode, 0);
    EXPECT_EQ(report, utf16le(kUsageHeading + "First\t" + reportPath(first) + "\t0.00\t1.50\r\n"));
}

// A dot before the 1st, the 1001st, ... file of the run; none in the normal
// mode.
TEST(WalkArchivePoints, ADotBeforeTheFirstFileAndEveryThousandthAfterIt)
{
    TempDir share;
    const std::string root = makeFolder(share / "root");
    const std::string empty = makeFolder(share / "empty");
    std::string report;
    EXPECT_EQ(usageRun({"-archiveusage", uncPath(empty)}, report).standardOutput, "");
    for (int i = 0; i < 1000; ++i) {
        ::close(::open((root + "/f" + std::to_string(i)).c_str(), O_CREAT | O_WRONLY | O_CLOEXEC, 0644));
    }
    EXPECT_EQ(usageRun({"-archiveusage", uncPath(root)}, report).standardOutput, ".");
    ::close(::open((root + "/last").c_str(), O_CREAT | O_WRONLY | O_CLOEXEC, 0644));
    EXPECT_EQ(usageRun({"-archiveusage", uncPath(root)}, report).standardOutput, "..");
    EXPECT_EQ(usageRun({uncPath(root)}, report).standardOutput, "");
    EXPECT_EQ(report, utf16le(summary(1001, 0, 1001, 0, 0, 0, 0, 0)));
}

}  // namespace
