// --version of every program of the release: its name and the project version,
// on standard output, exit code 0, whatever else is on the command line.
#include <gtest/gtest.h>

#include "tests/support/release_artefacts.h"
#include "tests/support/test_support.h"

using namespace testsupport;

TEST(ProgramVersion, EveryProgramPrintsTheProjectVersion)
{
    ASSERT_GT(releasePrograms().size(), 1u);
    for (const std::string& name : releasePrograms()) {
        for (const std::vector<std::string>& arguments :
             {std::vector<std::string>{"--version"}, std::vector<std::string>{"--version", "/no/such/folder"}}) {
            SCOPED_TRACE(name + " " + ::testing::PrintToString(arguments));
            RunResult run = runProgram(linuxProgram(name), arguments);
            EXPECT_EQ(run.exitCode, 0);
            EXPECT_EQ(run.standardOutput, name + " " + projectVersion() + "\n");
            EXPECT_EQ(run.standardError, "");
        }
    }
}
