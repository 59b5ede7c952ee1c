// The command line: the usage line, the options and the exit codes.
#include <gtest/gtest.h>

#include "tests/support/test_support.h"

using namespace testsupport;

namespace {

const std::string kUsageLine = "Usage: Stubwarden [-v] [-d] [-fixphs] [-ArchiveUsage] <target>\n";

TEST(CommandLine, RejectedCommandLinesPrintTheUsageLineAndCreateNoReport)
{
    TempDir work;
    const std::vector<std::vector<std::string>> rejected = {
        {},
        {"-x", "\\\\srv\\share"},
        {"-V", "\\\\srv\\share"},
        {"-FIXPHS", "\\\\srv\\share"},
        {"\\\\srv\\share", "-v"},
        {"-v", "-v", "-v", "-v", "-v", "-v", "\\\\srv\\share"},
    };
    for (const auto& arguments : rejected) {
        RunResult result = runStubwarden(arguments, {.workingDirectory = work.path()});
        EXPECT_EQ(result.exitCode, 1);
        EXPECT_EQ(result.standardError, kUsageLine);
        EXPECT_EQ(result.standardOutput, "");
    }
    EXPECT_TRUE(reportFiles(work.path()).empty());
}

}  // namespace
