// The Linux build and the Windows build (under Wine) on the same tree, under
// the same UNC target \\tmp\stubwarden-test-XXXXXX\...: both must write the
// same report bytes, the same console output and exit with the same code,
// for every case that Wine can show.
//
// What is compared:
// - the exit code and standard output, exactly;
// - standard error, with the Windows C runtime's CR LF taken as LF;
// - the report's name, up to the second the run started;
// - the report: the summary exactly, and the lines before it as a sorted
//   list. The two file systems list a folder's entries in different orders
//   (Wine's is not the Linux kernel's), and the walk follows that order, so
//   the lines of a folder are compared as a set (with their counts).
//
// The tree gives every file the same modification time and creation time,
// because Wine shows the one and the Linux build the other. Each marker is
// planted twice: as the file beside its folder that Wine opens for the
// stream, and as the stream xattr that is the Linux build's only marker.
// Markers that must load are UTF-16 documents (see utf16Marker). What the builds show
// differently on purpose is written down in docs/platform-differences.md
// and left out here.
#include <gtest/gtest.h>

#include <filesystem>
#include <regex>
#include <sys/stat.h>
#include <unistd.h>

#include "tests/e2e/normal_mode_fixtures.h"
#include "tests/wine/wine_support.h"

using namespace testsupport;
using namespace winetest;
using normalmode::splitReport;
using normalmode::SplitReport;

namespace {

struct Outcome {
    RunResult result;
    std::vector<std::string> reports;
    std::string report;
};

Outcome run(bool windows, const std::vector<std::string>& arguments)
{
    TempDir work;
    Outcome outcome;
    outcome.result = windows ? runWindowsBuild(arguments, {.workingDirectory = work.path()})
                             : runStubwarden(arguments, {.workingDirectory = work.path()});
    outcome.reports = reportFiles(work.path());
    if (outcome.reports.size() == 1) {
        outcome.report = readFileBytes(work / outcome.reports.front());
    }
    return outcome;
}

// "tmp-x-share-1765350000.txt" -> "tmp-x-share"
std::string withoutTime(const std::string& name)
{
    static const std::regex time("-[0-9]+\\.txt$");
    return std::regex_replace(name, time, "");
}

// Both builds run with these arguments; returns the Linux build's report
// (UTF-8) for the test's own checks.
std::string expectSameOutcome(const std::vector<std::string>& arguments)
{
    SCOPED_TRACE(::testing::PrintToString(arguments));
    Outcome linuxRun = run(false, arguments);
    Outcome windowsRun = run(true, arguments);
    EXPECT_EQ(windowsRun.result.exitCode, linuxRun.result.exitCode);
    EXPECT_EQ(windowsRun.result.standardOutput, linuxRun.result.standardOutput);
    EXPECT_EQ(withLfLineEnds(windowsRun.result.standardError), linuxRun.result.standardError);
    EXPECT_EQ(windowsRun.reports.size(), linuxRun.reports.size());
    if (windowsRun.reports.size() == 1 && linuxRun.reports.size() == 1) {
        EXPECT_EQ(withoutTime(windowsRun.reports.front()), withoutTime(linuxRun.reports.front()));
    }
    EXPECT_EQ(windowsRun.report.size(), linuxRun.report.size());
    SplitReport windowsReport = splitReport(fromUtf16le(windowsRun.report));
    // The markers planted for Wine are Linux files named "<folder>:QMArchivePoint.xml":
    // Wine shows the ':', the Linux build U+F03A (an NTFS name holds no ':').
    static const std::regex mappedColon("\xEF\x80\xBA");
    SplitReport linuxReport = splitReport(std::regex_replace(fromUtf16le(linuxRun.report), mappedColon, ":"));
    EXPECT_EQ(windowsReport.sortedLines, linuxReport.sortedLines);
    EXPECT_EQ(windowsReport.summary, linuxReport.summary);
    return fromUtf16le(linuxRun.report);
}

// A share with what both builds can show: ordinary files of every size,
// names with blanks and beyond ASCII, dot names, empty folders, a folder
// link that is entered and one that leads back, archive points nested and
// repeated, and markers that do not load. (A folder named "back\slash",
// which Wine cannot list, the Linux build lists as "back\uF05Cslash":
// WindowsBuild.WalkLines shows Wine's side.)
class Differential : public ::testing::Test {
protected:
    static void SetUpTestSuite()
    {
        shared = new SharedFolder;
        root = folder(*shared / "share");
        file(root + "/a.txt", 3, "abc");
        file(root + "/empty-file", 0);
        file(root + "/big", 6ULL << 30);  // a hole: takes no space
        file(root + "/sp ace & ü.txt", 10);
        file(folder(root + "/日本") + "/語.txt", 7);
        file(folder(root + "/...") + "/f", 1);
        file(folder(root + "/.x") + "/g", 2);
        folder(root + "/empty-folder");
        file(folder(root + "/sub/deeper") + "/d", 1536);
        ASSERT_EQ(::symlink("..", (root + "/sub/up").c_str()), 0);
        file(folder(*shared / "elsewhere") + "/e", 128);
        ASSERT_EQ(::symlink("../elsewhere", (root + "/link").c_str()), 0);

        plantArchivePoints(root);
        const std::string noName = folder(root + "/no-name");
        marker(noName, utf16Marker("<archivePoint><archiveQEID>N-3</archiveQEID></archivePoint>"));
        file(noName + "/n", 10);
        const std::string otherRoot = folder(root + "/other-root");
        marker(otherRoot, utf16Marker("<point><archiveQEID>X</archiveQEID></point>"));
        file(otherRoot + "/o", 20);
        const std::string broken = folder(root + "/broken");
        marker(broken, "<archivePoint><archiveQEID>ID</archivePoint>");
        file(broken + "/x", 30);
        const std::string empty = folder(root + "/empty-marker");
        marker(empty, "");
        file(empty + "/x", 40);
        const std::string docType = folder(root + "/doctype");
        marker(docType, utf16Marker("<?xml version=\"1.0\"?><!DOCTYPE archivePoint [<!ENTITY e \"ID\">]>"
                                    "<archivePoint><archiveQEID>&e;</archiveQEID></archivePoint>"));
        file(docType + "/x", 60);

        file(folder(root + "/dates") + "/y1999", 1);
        file(root + "/dates/y1960", 2);
        file(root + "/dates/y2100", 3);

        alignFileTimes(shared->path(), normalmode::created());
        alignFileTimes(root + "/dates/y1999", treebuilder::fileTimeUtc(1999, 12, 31, 23, 59, 59));
        alignFileTimes(root + "/dates/y1960", treebuilder::fileTimeUtc(1960, 6, 1));
        alignFileTimes(root + "/dates/y2100", treebuilder::fileTimeUtc(2100, 2, 28, 12));
    }

    static void TearDownTestSuite()
    {
        delete shared;
        shared = nullptr;
    }

    static SharedFolder* shared;
    static std::string root;
};

SharedFolder* Differential::shared = nullptr;
std::string Differential::root;

TEST_F(Differential, CommandLinesThatEndTheRun)
{
    const std::vector<std::vector<std::string>> cases = {
        {},
        {"-x", uncPath(root)},
        {"-V", uncPath(root)},
        {uncPath(root), "-v"},
        {"-v", "-v", "-v", "-v", "-v", "-v", uncPath(root)},
        {uncPath(root + "/missing")},
        {uncPath(root + "/missing/deeper")},
        {uncPath(root + "/a.txt") + "\\"},
    };
    for (const auto& arguments : cases) {
        expectSameOutcome(arguments);
    }
}

TEST_F(Differential, TheNormalModeOverTheShare)
{
    for (const auto& options : std::vector<std::vector<std::string>>{{}, {"-v"}, {"-d", "-fixphs"}, {"-v", "-d", "-fixphs"}}) {
        std::vector<std::string> arguments = options;
        arguments.push_back(uncPath(root));
        std::string report = expectSameOutcome(arguments);
        // The tree holds what it should: the link back is met.
        EXPECT_NE(report.find("\\sub\\up: skipped, Reason: reparse point leads back to"), std::string::npos);
    }
    expectSameOutcome({"-v", reportPath(root)});
}

TEST_F(Differential, TheArchiveUsageModeOverTheShare)
{
    for (const auto& options : std::vector<std::vector<std::string>>{{"-archiveusage"}, {"-v", "-ArchiveUsage"}}) {
        std::vector<std::string> arguments = options;
        arguments.push_back(uncPath(root));
        std::string report = expectSameOutcome(arguments);
        EXPECT_NE(report.find("Dept\t" + reportPath(root + "/dept") + "\t0.00\t"), std::string::npos);
        EXPECT_NE(report.find("Inner\t" + reportPath(root + "/dept/inner") + "\t0.00\t0.13\r\n"), std::string::npos);
        EXPECT_NE(report.find("\\doctype: skipped, Reason: CheckIsFolderAnArchivePoint failed"), std::string::npos);
    }
    // An archive point as the target: its marker lies outside the walk.
    expectSameOutcome({"-v", "-archiveusage", uncPath(root + "/dept")});
}

TEST_F(Differential, SingleFiles)
{
    for (const char* relative : {"a.txt", "big", "sp ace & ü.txt", "dates/y1999", "dates/y1960", "dates/y2100"}) {
        const std::string target = uncPath(root + "/" + relative);
        expectSameOutcome({target});
        expectSameOutcome({"-v", target});
        expectSameOutcome({"-v", "-archiveusage", target});
    }
}

TEST(DifferentialDots, BeforeThe1stAnd1001stFile)
{
    SharedFolder share;
    const std::string root = folder(share / "share");
    for (int i = 1; i <= 1001; ++i) {
        file(root + "/f" + std::to_string(i), 0);
    }
    expectSameOutcome({"-archiveusage", uncPath(root)});
    expectSameOutcome({uncPath(root)});
}

}  // namespace
