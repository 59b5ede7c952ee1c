// stubwarden-rehearse.exe under Wine: Wine's file system keeps no reparse
// points, so the rehearsal must find that out, say so, stop with exit code
// 2, and leave nothing behind; and it refuses a folder that is not empty, as
// on Linux.
#include <gtest/gtest.h>

#include <filesystem>

#include "tests/wine/wine_support.h"

using namespace testsupport;
using namespace winetest;

namespace {

const std::string kRehearse = STUBWARDEN_WINDOWS_REHEARSE_BINARY;

std::vector<std::string> linesOf(const std::string& text)
{
    std::vector<std::string> lines;
    std::size_t start = 0;
    while (start < text.size()) {
        std::size_t end = text.find('\n', start);
        lines.push_back(text.substr(start, end - start));
        start = end == std::string::npos ? text.size() : end + 1;
    }
    return lines;
}

TEST(WindowsBuild, RehearsalFindsThatTheVolumeKeepsNoReparsePointsAndStops)
{
    SharedFolder shared;
    const std::string folder = uncPath(shared / "rehearsal");
    RunResult run = runWindowsProgram(kRehearse, {folder});
    EXPECT_EQ(run.exitCode, 2);
    EXPECT_EQ(run.standardError, "");
    std::vector<std::string> lines = linesOf(withLfLineEnds(run.standardOutput));
    ASSERT_EQ(lines.size(), 10u) << run.standardOutput;
    // The Stubwarden beside it, by its Windows path.
    EXPECT_EQ(lines[0].rfind("Rehearsing Z:\\", 0), 0u) << lines[0];
    EXPECT_NE(lines[0].find("\\stubwarden.exe in " + folder), std::string::npos) << lines[0];
    EXPECT_EQ(lines[2], "The volume:");
    EXPECT_EQ(lines[3], "  FAIL  a file keeps a reparse point with tag 16 and its GUID: this volume keeps no reparse "
                        "points (error 50 from DeviceIoControl(FSCTL_SET_REPARSE_POINT))");
    // Wine's answers on the other capabilities are its own; each has its line.
    const char* capabilities[] = {"a file keeps the sparse attribute", "a file keeps the offline attribute",
                                  "a folder keeps an alternate data stream",
                                  "a file is 6 GiB long without taking the space"};
    for (std::size_t i = 0; i < std::size(capabilities); ++i) {
        EXPECT_NE(lines[4 + i].find(capabilities[i]), std::string::npos) << lines[4 + i];
    }
    EXPECT_EQ(lines[9], "Verdict: placeholders as the archiving product leaves them cannot exist on this volume, so "
                         "Stubwarden was not run.");
    EXPECT_TRUE(std::filesystem::is_empty(shared.path()));
}

TEST(WindowsBuild, RehearsalRefusesAFolderThatIsNotEmpty)
{
    // Inside the shared folder: that one is a link to Wine, and refused as one.
    SharedFolder shared;
    winetest::folder(shared / "production");
    file(shared / "production/notes.txt", 5, "notes");
    const std::string folder = uncPath(shared / "production");
    RunResult run = runWindowsProgram(kRehearse, {folder});
    EXPECT_EQ(run.exitCode, 1);
    EXPECT_EQ(withLfLineEnds(run.standardError),
              "stubwarden-rehearse: " + folder +
                  " is not empty (it holds notes.txt): the rehearsal makes and removes files, so it runs only in an "
                  "empty or new folder\n");
    EXPECT_EQ(run.standardOutput, "");
    EXPECT_EQ(readFileBytes(shared / "production/notes.txt"), "notes");
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(shared / "production"),
                            std::filesystem::directory_iterator()),
              1);
}

}  // namespace
