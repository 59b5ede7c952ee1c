// stubwarden-report.exe under Wine and the Linux build on the same real
// reports: the same bytes on standard output for every format, the same
// exit code, the same file written whole with -o, and the same refusal of
// a file that is not a report.
#include <gtest/gtest.h>

#include "tests/e2e/normal_mode_fixtures.h"
#include "tests/wine/wine_support.h"

using namespace testsupport;
using namespace winetest;
using treebuilder::PlaceholderKind;

namespace {

const std::string kWindowsReport = STUBWARDEN_WINDOWS_REPORT_BINARY;

std::string crlfAsLf(std::string text)
{
    std::string out;
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (!(text[i] == '\r' && i + 1 < text.size() && text[i + 1] == '\n')) {
            out += text[i];
        }
    }
    return out;
}

TEST(DifferentialReportReader, BothBuildsPrintTheSameForTheSameReports)
{
    TempDir tree;
    TempDir reports;
    const std::string share = tree / "share";
    RunResult built = runProgram(STUBWARDEN_TREE_BINARY,
                                 {share, std::string(STUBWARDEN_SOURCE_DIR) + "/samples/sample-share.tree"});
    ASSERT_EQ(built.exitCode, 0) << built.standardError;
    normalmode::placeholder(share + "/odd, \"quoted\"\r\nname", PlaceholderKind::WrongMagic);
    normalmode::placeholder(share + "/latin-\xe9.doc", PlaceholderKind::Misplaced);
    // One report of each kind, each in its own folder (two runs of one
    // second would share a name).
    const std::vector<std::vector<std::string>> runs = {
        {}, {"-v", "-d"}, {"-archiveusage"}, {"-archiveusage", "-v"}, {"-v", "-d", "-fixphs"}};
    std::vector<std::string> reportFilesMade;
    for (std::size_t i = 0; i < runs.size(); ++i) {
        const std::string folder = normalmode::makeFolder(reports / std::to_string(i));
        std::vector<std::string> arguments = runs[i];
        arguments.push_back(uncPath(share));
        runStubwarden(arguments, {.workingDirectory = folder});
        ASSERT_EQ(reportFiles(folder).size(), 1u);
        reportFilesMade.push_back(folder + "/" + reportFiles(folder).front());
    }
    for (const std::string& report : reportFilesMade) {
        const std::string folder = report.substr(0, report.rfind('/'));
        const std::string name = report.substr(report.rfind('/') + 1);
        for (const char* format : {"--summary", "--json", "--csv", "--prometheus"}) {
            SCOPED_TRACE(name + " " + format);
            RunResult linux = runProgram(STUBWARDEN_REPORT_BINARY, {format, name}, {.workingDirectory = folder});
            RunResult windows = runWindowsProgram(kWindowsReport, {format, name}, {.workingDirectory = folder});
            EXPECT_EQ(linux.exitCode, 0) << linux.standardError;
            EXPECT_EQ(windows.exitCode, 0) << windows.standardError;
            EXPECT_EQ(windows.standardOutput, linux.standardOutput);
            EXPECT_FALSE(linux.standardOutput.empty());
        }
        // -o: written whole, then renamed over the file that is there.
        RunResult linux = runProgram(STUBWARDEN_REPORT_BINARY, {"--prometheus", "-o", "linux.prom", name},
                                     {.workingDirectory = folder});
        std::ofstream(folder + "/windows.prom") << "an older file\n";
        RunResult windows = runWindowsProgram(kWindowsReport, {"--prometheus", "-o", "windows.prom", name},
                                              {.workingDirectory = folder});
        EXPECT_EQ(linux.exitCode, 0);
        EXPECT_EQ(windows.exitCode, 0) << windows.standardError;
        EXPECT_EQ(readFileBytes(folder + "/windows.prom"), readFileBytes(folder + "/linux.prom"));
        EXPECT_EQ(normalmode::sorted(normalmode::listedNames(folder)),
                  normalmode::sorted({name, "linux.prom", "windows.prom"}));
    }
}

TEST(DifferentialReportReader, BothBuildsRefuseWhatIsNoReport)
{
    TempDir folder;
    std::ofstream(folder / "srv-share-1765350000.txt", std::ios::binary) << "not a report\n";
    std::ofstream(folder / "srv-share-1765350001.txt", std::ios::binary) << "odd";
    for (const char* name : {"srv-share-1765350000.txt", "srv-share-1765350001.txt"}) {
        SCOPED_TRACE(name);
        RunResult linux = runProgram(STUBWARDEN_REPORT_BINARY, {"--json", name}, {.workingDirectory = folder.path()});
        RunResult windows = runWindowsProgram(kWindowsReport, {"--json", name}, {.workingDirectory = folder.path()});
        EXPECT_EQ(linux.exitCode, 1);
        EXPECT_EQ(windows.exitCode, 1);
        EXPECT_EQ(windows.standardOutput, "");
        EXPECT_EQ(crlfAsLf(windows.standardError), linux.standardError);
        EXPECT_NE(linux.standardError.find(": not a report: "), std::string::npos) << linux.standardError;
    }
}

}  // namespace
