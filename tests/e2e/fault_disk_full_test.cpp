// The report's file system fills up in the middle of a run: the run ends
// with exit code 1 and the error line on standard error, and the report
// holds everything written before the write that failed, byte for byte.
// The report's folder is a small tmpfs mounted in a mount namespace of the
// test's own, so nothing outside the test sees it.
#include <gtest/gtest.h>

#include <fstream>
#include <sched.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include "tests/e2e/normal_mode_fixtures.h"

using namespace testsupport;
using namespace normalmode;
using treebuilder::PlaceholderKind;

namespace {

TEST(FaultDiskFull, TheRunEndsWithExitCode1AndTheReportIsIntactUpToTheFailedWrite)
{
    // Some 400 lines of about 170 bytes each: 68 KB of report for a
    // file system of 16 KiB.
    TempDir share;
    const std::string root = share / "root";
    treebuilder::makeFolder(wideUncPath(root));
    for (int i = 0; i < 400; ++i) {
        placeholder(root + "/bad-placeholder-number-" + std::to_string(i) + ".doc", PlaceholderKind::WrongGuid);
    }
    TempDir roomy;
    RunResult whole = runStubwarden({uncPath(root)}, {.workingDirectory = roomy.path()});
    ASSERT_EQ(whole.exitCode, 2);
    const std::string fullReport = onlyReportBytes(roomy.path());
    ASSERT_GT(fullReport.size(), 65536u);

    TempDir outside;
    const std::string volume = outside / "volume";
    ASSERT_EQ(::mkdir(volume.c_str(), 0755), 0);
    int result = inOwnMountNamespace([&]() {
        if (::mount("stubwarden-test", volume.c_str(), "tmpfs", 0, "size=16k") != 0) {
            return 77;
        }
        RunResult run = runStubwarden({uncPath(root)}, {.workingDirectory = volume});
        std::vector<std::string> names = reportFiles(volume);
        std::ofstream(outside / "report", std::ios::binary)
            << (names.size() == 1 ? readFileBytes(volume + "/" + names.front()) : "not one report");
        std::ofstream(outside / "stderr", std::ios::binary) << run.standardError;
        std::ofstream(outside / "stdout", std::ios::binary) << run.standardOutput;
        return run.exitCode;
    });
    if (result == 77) {
        GTEST_SKIP() << "no mount namespace or tmpfs here";
    }
    EXPECT_EQ(result, 1);
    const std::string error = readFileBytes(outside / "stderr");
    EXPECT_TRUE(error == "Error:Failed to write report file.  Incomplete write\n" ||
                error == "Error:Failed to write report file\n")
        << error;
    EXPECT_EQ(readFileBytes(outside / "stdout"), "");
    const std::string report = readFileBytes(outside / "report");
    EXPECT_EQ(report.size(), 16384u) << "the report fills the file system";
    EXPECT_EQ(report, fullReport.substr(0, report.size())) << "the report is the whole run's, cut at the failed write";
}

}  // namespace
