// A Linux path as the target: /tmp/x is the UNC path \\tmp\x that names it,
// with that target's report, report name and exit code. A path that names
// no folder in UNC form is refused with the usage line and leaves no report.
#include <gtest/gtest.h>

#include "tests/e2e/normal_mode_fixtures.h"

using namespace testsupport;
using namespace normalmode;

namespace {

RunWithReport runIn(const TempDir& work, const std::vector<std::string>& arguments)
{
    return runWithReport(work.path(),
                         [&] { return runStubwarden(arguments, {.workingDirectory = work.path()}); });
}

}  // namespace

TEST(LinuxPathTarget, IsTheUncPathThatNamesIt)
{
    TempDir share;
    const std::string root = makeFolder(share / "root");
    makeFolder(root + "/sub");
    makePlainFile(root + "/plain.txt", 10);
    placeholder(root + "/good.doc", treebuilder::PlaceholderKind::Good);
    placeholder(root + "/sub/bad.doc", treebuilder::PlaceholderKind::WrongGuid);
    archivePoint(root + "/sub", "AP-1", "Sub");
    const struct {
        std::vector<std::string> options;
        std::string linuxPath;
        std::string unc;
        int exitCode;
    } cases[] = {
        {{}, root, uncPath(root), 2},
        {{"-v", "-d"}, root, uncPath(root), 2},
        {{"-archiveusage"}, root, uncPath(root), 0},
        {{"-fixphs"}, root, uncPath(root), 2},
        {{"-v"}, root + "/sub/bad.doc", uncPath(root + "/sub/bad.doc"), 2},
        // Empty names say nothing on Linux: "//" and a '/' at the end.
        {{"-v"}, root + "/", uncPath(root), 2},
        {{"-v"}, share.path() + "//root", uncPath(root), 2},
        {{"-v"}, root + "/sub/nosuch", uncPath(root + "/sub/nosuch"), 1},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.linuxPath);
        TempDir uncWork;
        TempDir linuxWork;
        std::vector<std::string> uncArguments = c.options;
        uncArguments.push_back(c.unc);
        std::vector<std::string> linuxArguments = c.options;
        linuxArguments.push_back(c.linuxPath);
        RunWithReport unc = runIn(uncWork, uncArguments);
        RunWithReport fromLinux = runIn(linuxWork, linuxArguments);
        EXPECT_EQ(unc.result.exitCode, c.exitCode);
        EXPECT_EQ(fromLinux.result.exitCode, unc.result.exitCode);
        EXPECT_EQ(fromLinux.result.standardError, unc.result.standardError);
        EXPECT_EQ(fromLinux.result.standardOutput, unc.result.standardOutput);
        EXPECT_EQ(fromLinux.report, unc.report);
        EXPECT_TRUE(namedFor(unc, c.unc)) << unc.reports.size();
        EXPECT_TRUE(namedFor(fromLinux, c.unc)) << (fromLinux.reports.empty() ? "no report" : fromLinux.reports.front());
    }
}

// "/", a single folder (a server without a share), "." and "..", a name
// holding '\': the usage line, exit code 1, and no report file.
TEST(LinuxPathTarget, APathWithoutAUncFormIsRefusedWithTheUsageLine)
{
    TempDir share;
    const std::string root = makeFolder(share / "root");
    const std::vector<std::vector<std::string>> commandLines = {
        {"/"},
        {"-v", "/"},
        {"/tmp"},
        {"/tmp/"},
        {root + "/.."},
        {root + "/../root"},
        {share.path() + "/./root"},
        {root + "/."},
        {"-archiveusage", root + "/a\\b"},
    };
    for (const std::vector<std::string>& arguments : commandLines) {
        SCOPED_TRACE(arguments.back());
        TempDir work;
        RunWithReport run = runIn(work, arguments);
        EXPECT_EQ(run.result.exitCode, 1);
        EXPECT_EQ(run.result.standardError, "Usage: Stubwarden [-v] [-d] [-fixphs] [-ArchiveUsage] <target>\n");
        EXPECT_EQ(run.result.standardOutput, "");
        EXPECT_TRUE(run.reports.empty());
    }
}

// Only a target that starts with a single '/' is a Linux path: "//tmp/x" is
// taken as it always was (two leading characters dropped, no share after
// the server "tmp/x"), and an option is never one.
TEST(LinuxPathTarget, OtherArgumentsAreTakenAsTheyAre)
{
    TempDir share;
    const std::string root = makeFolder(share / "root");
    TempDir work;
    RunWithReport doubled = runIn(work, {"/" + root});
    EXPECT_EQ(doubled.result.exitCode, 1);
    EXPECT_EQ(doubled.result.standardError, "Error:GetFileAttributes:161, path:\\\\?\\UNC\\" + root.substr(1) + "\n");
    EXPECT_TRUE(namedFor(doubled, "/" + root));

    TempDir optionWork;
    RunWithReport option = runIn(optionWork, {root, uncPath(root)});
    EXPECT_EQ(option.result.exitCode, 1);
    EXPECT_EQ(option.result.standardError, "Usage: Stubwarden [-v] [-d] [-fixphs] [-ArchiveUsage] <target>\n");
    EXPECT_TRUE(option.reports.empty());
}
