// Targets whose attributes cannot be read end the run: the line on standard
// error, exit code 1, and the report, already created, left empty.
#include <gtest/gtest.h>

#include <sys/stat.h>

#include "tests/e2e/normal_mode_fixtures.h"

using namespace testsupport;
using namespace normalmode;

namespace {

TEST(FaultsTarget, ATargetWhoseAttributesCannotBeReadLeavesAnEmptyReport)
{
    TempDir share;
    const struct {
        std::string target;
        std::string error;
        std::string reportPrefix;  // the report's name up to its time
    } cases[] = {
        // Missing: the last component (2), or a folder on the way (3).
        {uncPath(share / "missing"), "Error:GetFileAttributes:2, path:" + reportPath(share / "missing") + "\n",
         reportName(uncPath(share / "missing"), 0)},
        {uncPath(share / "gone/file"), "Error:GetFileAttributes:3, path:" + reportPath(share / "gone/file") + "\n",
         reportName(uncPath(share / "gone/file"), 0)},
        {reportPath(share / "missing"), "Error:GetFileAttributes:2, path:" + reportPath(share / "missing") + "\n",
         reportName(uncPath(share / "missing"), 0)},
        // A target that is neither a UNC path nor an absolute path (one that
        // holds the prefix after other characters, a drive-letter path, one
        // shorter than two characters) is refused on Linux before the report
        // is made: see the command line's tests.
        // "." or ".." after the share, by either separator: a server refuses
        // the name (123), and the report, named without '/', stays here.
        {uncPath(share.path()) + "\\..\\..\\..\\etc\\ssl",
         "Error:GetFileAttributes:123, path:" + reportPath(share.path()) + "\\..\\..\\..\\etc\\ssl\n",
         reportName(uncPath(share.path()) + "\\..\\..\\..\\etc\\ssl", 0)},
        {uncPath(share / "root") + "/../root", "Error:GetFileAttributes:123, path:" + reportPath(share / "root") + "/../root\n",
         reportName(uncPath(share / "root") + "/../root", 0)},
        {uncPath(share.path()) + "\\.", "Error:GetFileAttributes:123, path:" + reportPath(share.path()) + "\\.\n",
         reportName(uncPath(share.path()) + "\\.", 0)},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.target);
        TempDir work;
        RunResult result = runStubwarden({c.target}, {.workingDirectory = work.path()});
        EXPECT_EQ(result.exitCode, 1);
        EXPECT_EQ(result.standardError, c.error);
        EXPECT_EQ(result.standardOutput, "");
        std::vector<std::string> names = reportFiles(work.path());
        ASSERT_EQ(names.size(), 1u);
        const std::string stem = c.reportPrefix.substr(0, c.reportPrefix.size() - std::string("0.txt").size());
        EXPECT_EQ(names.front().substr(0, stem.size()), stem);
        EXPECT_EQ(readFileBytes(work / names.front()), "");
    }
}

// A single file that has attributes but cannot be looked up. Windows gives
// that for a file in a folder the account may pass through but not list; the
// layer here looks a path up without listing its folder, except a path ending
// in "\*", which it reads as the folder's entries. So a file named "*" in a
// folder that the unprivileged account may pass through (mode 0711) but not
// list has attributes, and its lookup fails with ERROR_ACCESS_DENIED.
TEST(FaultsTarget, ASingleFileThatCannotBeLookedUpEndsTheRun)
{
    TempDir share;
    TempDir work;
    ::chmod(work.path().c_str(), 0777);
    const std::string folder = share / "pass-only";
    ASSERT_EQ(::mkdir(folder.c_str(), 0711), 0);
    treebuilder::makeFile(wideUncPath(share.path()) + WSTR("\\pass-only\\*"), plainFile());
    RunResult result =
        runAsNobody({uncPath(folder) + "\\*"}, {.workingDirectory = work.path()});
    EXPECT_EQ(result.exitCode, 1);
    EXPECT_EQ(result.standardError, "Error:FindFirstFileExW:5, path:" + reportPath(folder) + "\\*\n");
    EXPECT_EQ(onlyReportBytes(work.path()), "");
}

// -archiveusage does not change what a single-file target gets: the per-file
// check of the normal mode, and the exit code of its verdict; only the
// summary is the archive usage table (empty, as no folder is walked).
TEST(FaultsTarget, ASingleFileTargetIsCheckedInArchiveUsageModeToo)
{
    TempDir share;
    TempDir work;
    placeholder(share / "bad", treebuilder::PlaceholderKind::WrongSignature);
    RunResult result = runStubwarden({"-ArchiveUsage", "-v", uncPath(share / "bad")},
                                     {.workingDirectory = work.path()});
    EXPECT_EQ(result.exitCode, 2);
    EXPECT_EQ(result.standardOutput, "");
    EXPECT_EQ(onlyReportBytes(work.path()),
              utf16le(reportPath(share / "bad") +
                      "(Created:15/01/23 10:20:30 GMT, Size:1024, Reparse point, Sparse, Offline):"
                      "Incorrect signature\r\n"
                      "\r\nSummary\r\n-------\r\n"
                      "\r\nArchiveName\tArchivePointRootPath\tArchived Files Original Size (KB)"
                      "\tNon-Archived File Original Size (KB)\r\n"));
}

}  // namespace
