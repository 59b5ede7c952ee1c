// The command line: the usage line, the options and the exit codes.
#include <gtest/gtest.h>

#include <sys/stat.h>

#include "tests/e2e/normal_mode_fixtures.h"

using namespace testsupport;
using namespace normalmode;

namespace {

const std::string kUsageLine = "Usage: Stubwarden [-v] [-d] [-fixphs] [-ArchiveUsage] <target>\n";

TEST(CommandLine, RejectedCommandLinesPrintTheUsageLineAndCreateNoReport)
{
    TempDir work;
    for (const auto& arguments : normalmode::kRejectedCommandLines) {
        RunResult result = runStubwarden(arguments, {.workingDirectory = work.path()});
        EXPECT_EQ(result.exitCode, 1);
        EXPECT_EQ(result.standardError, kUsageLine);
        EXPECT_EQ(result.standardOutput, "");
    }
    EXPECT_TRUE(reportFiles(work.path()).empty());
}

const std::string kUsageSummary =
    "\r\nSummary\r\n-------\r\n"
    "\r\nArchiveName\tArchivePointRootPath\tArchived Files Original Size (KB)"
    "\tNon-Archived File Original Size (KB)\r\n";

// Options in any order and repeated, up to five before the target; only
// -archiveusage ignores letter case. The summary shows the mode, the lines
// the other options.
TEST(CommandLine, AcceptedOptionsSelectTheModeAndTheLines)
{
    TempDir share;
    const std::string root = share / "share";
    ASSERT_EQ(::mkdir(root.c_str(), 0755), 0);
    placeholder(root + "/bad", treebuilder::PlaceholderKind::WrongGuid);
    const std::string target = uncPath(root);
    const std::string bad = reportPath(root) + "\\bad";
    const std::string description =
        "(Created:15/01/23 10:20:30 GMT, Size:1024, Reparse point, Sparse, Offline):";

    const struct {
        std::vector<std::string> options;
        std::string report;
        int exitCode;
    } cases[] = {
        {{}, bad + ": Incorrect GUID\r\n" + summary(1, 0, 0, 0, 1, 1, 0, 0), 2},
        {{"-v"}, bad + description + "Incorrect GUID\r\n" + summary(1, 0, 0, 0, 1, 1, 0, 0), 2},
        {{"-fixphs", "-v"}, bad + description + "Incorrect GUID, Can't fix\r\n" + summary(1, 0, 0, 0, 1, 1, 0, 0), 2},
        {{"-v", "-v", "-fixphs", "-fixphs", "-v"},
         bad + description + "Incorrect GUID, Can't fix\r\n" + summary(1, 0, 0, 0, 1, 1, 0, 0), 2},
        // Archive usage mode: the file lies in no archive point.
        {{"-archiveusage"}, kUsageSummary, 0},
        {{"-ArchiveUsage"}, kUsageSummary, 0},
        {{"-ARCHIVEUSAGE"}, kUsageSummary, 0},
        {{"-v", "-aRcHiVeUsAgE"}, bad + ": Not inside an archive point\r\n" + kUsageSummary, 0},
    };
    for (const auto& c : cases) {
        std::vector<std::string> arguments = c.options;
        arguments.push_back(target);
        SCOPED_TRACE(::testing::PrintToString(arguments));
        TempDir work;
        RunResult result = runStubwarden(arguments, {.workingDirectory = work.path()});
        EXPECT_EQ(result.exitCode, c.exitCode);
        EXPECT_EQ(result.standardError, "");
        EXPECT_EQ(onlyReportBytes(work.path()), utf16le(c.report));
    }
}

// A lone argument is the target, whatever it looks like: "-v" loses its two
// characters to the normalisation and names no share.
TEST(CommandLine, ASingleArgumentIsTheTarget)
{
    TempDir work;
    RunResult result = runStubwarden({"-v"}, {.workingDirectory = work.path()});
    EXPECT_EQ(result.exitCode, 1);
    EXPECT_EQ(result.standardError, "Error:GetFileAttributes:161, path:\\\\?\\UNC\\\n");
    std::vector<std::string> names = reportFiles(work.path());
    ASSERT_EQ(names.size(), 1u);
    EXPECT_EQ(names.front().substr(0, 3), "-v-");
    EXPECT_EQ(readFileBytes(work / names.front()), "");
}

}  // namespace
