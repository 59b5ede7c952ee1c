// The command line: the usage line, the options and the exit codes.
#include <gtest/gtest.h>

#include <filesystem>
#include <sys/stat.h>

#include "tests/e2e/normal_mode_fixtures.h"
#include "tests/support/release_artefacts.h"

using namespace testsupport;
using namespace normalmode;

namespace {

const std::string kUsageLine = "Usage: Stubwarden [-v] [-d] [-fixphs] [-ArchiveUsage] <target>\n";

// Every entry of a folder, sorted: a report or anything else a run left.
std::vector<std::string> entriesOf(const std::string& folder)
{
    std::vector<std::string> names;
    for (const auto& entry : std::filesystem::directory_iterator(folder)) {
        names.push_back(entry.path().filename().string());
    }
    std::sort(names.begin(), names.end());
    return names;
}

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

// The help and the version go to standard output, with exit code 0, whatever
// else is on the command line; no report is made.
TEST(CommandLine, HelpAndVersionArePrintedAndNoReportIsMade)
{
    struct Case {
        std::vector<std::string> arguments;
        std::string output;
    };
    std::vector<Case> cases;
    for (const auto& arguments : kHelpCommandLines) {
        cases.push_back({arguments, kHelpText});
    }
    for (const auto& arguments : kVersionCommandLines) {
        cases.push_back({arguments, "stubwarden " + projectVersion() + "\n"});
    }
    for (const Case& c : cases) {
        SCOPED_TRACE(::testing::PrintToString(c.arguments));
        TempDir work;
        RunResult result = runStubwarden(c.arguments, {.workingDirectory = work.path()});
        EXPECT_EQ(result.exitCode, 0);
        EXPECT_EQ(result.standardOutput, c.output);
        EXPECT_EQ(result.standardError, "");
        EXPECT_EQ(entriesOf(work.path()), std::vector<std::string>{});
    }
}

// On Linux a target must be a UNC path or an absolute path. One that a shell
// has mangled (\\vm\dept unquoted arrives as \vmdept), a relative one, and a
// lone option taken for the target are refused with one line, before any
// file is made.
TEST(CommandLine, ATargetThatIsNeitherUncNorAbsoluteIsRefusedWithoutAFile)
{
    const std::string kQuote = " is not a UNC path, which begins with two backslashes: quote a UNC path, as in "
                               "'\\\\server\\share\\folder', since a shell takes away backslashes that are not quoted\n";
    const std::string kRelative = " is neither a UNC path nor an absolute path: give an absolute path, as in "
                                  "/srv/share/folder, or quote a UNC path, as in '\\\\server\\share\\folder'\n";
    const struct {
        std::vector<std::string> arguments;
        std::string error;
    } cases[] = {
        {{"\\vmdept"}, "Error:\\vmdept" + kQuote},
        {{"-v", "\\fs01sharerehearsal"}, "Error:\\fs01sharerehearsal" + kQuote},
        {{"vmdept"}, "Error:vmdept" + kRelative},
        {{"share"}, "Error:share" + kRelative},
        {{"."}, "Error:." + kRelative},
        {{"-archiveusage", "share/dept"}, "Error:share/dept" + kRelative},
        {{"-v"}, "Error:-v" + kRelative},
        {{""}, "Error:''" + kRelative},
        // Taken as they are on Windows (the prefix anywhere; a drive letter
        // dropped like "\\"), but relative paths on Linux.
        {{"x\\\\?\\UNC\\srv\\share"}, "Error:x\\\\?\\UNC\\srv\\share" + kRelative},
        {{"D:\\data"}, "Error:D:\\data" + kRelative},
        {{"x"}, "Error:x" + kRelative},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(::testing::PrintToString(c.arguments));
        TempDir work;
        RunResult result = runStubwarden(c.arguments, {.workingDirectory = work.path()});
        EXPECT_EQ(result.exitCode, 1);
        EXPECT_EQ(result.standardError, c.error);
        EXPECT_EQ(result.standardOutput, "");
        EXPECT_EQ(entriesOf(work.path()), std::vector<std::string>{});
    }
}

}  // namespace
