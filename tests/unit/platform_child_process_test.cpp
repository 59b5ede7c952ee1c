// Running a program to its end, and naming a folder's full and UNC paths, on
// Linux: the exit code, the arguments byte for byte, the working folder, the
// output files, and the programs that do not start.
#include <filesystem>

#include "platform/child_process.h"
#include "platform/path_forms.h"
#include "platform/text_conversion.h"
#include "tests/unit/platform_test_helpers.h"

namespace platformtest {
namespace {

WString wide(const std::string& bytes) { return wideText(bytes); }

struct Ran {
    ChildOutcome outcome;
    std::string output;
    std::string error;
};

// sh -c script, in `folder` (default: the dir), its output in dir/out and dir/err.
Ran runShell(const TempDir& dir, const std::string& script, const std::vector<std::string>& arguments = {},
             const std::string& folder = "")
{
    std::vector<WString> words{WSTR("-c"), wide(script), WSTR("sh")};
    for (const std::string& argument : arguments) {
        words.push_back(wide(argument));
    }
    Ran ran;
    ran.outcome = runChildProcess(WSTR("/bin/sh"), words, wide(folder.empty() ? dir.path() : folder), wide(dir / "out"),
                                  wide(dir / "err"));
    ran.output = testsupport::readFileBytes(dir / "out");
    ran.error = testsupport::readFileBytes(dir / "err");
    return ran;
}

TEST(PlatformChildProcess, ArgumentsWorkingFolderOutputAndExitCode)
{
    TempDir dir;
    ASSERT_EQ(::mkdir((dir / "work").c_str(), 0755), 0);
    Ran ran = runShell(dir, "printf '%s|%s|' \"$1\" \"$2\"; pwd; read -r line; echo \"input:$line\"; echo to-error >&2; exit 7",
                       {"two words", "caf\xc3\xa9 \xff"}, dir / "work");
    EXPECT_TRUE(ran.outcome.started);
    EXPECT_EQ(ran.outcome.exitCode, 7u);
    EXPECT_EQ(ran.output, "two words|caf\xc3\xa9 \xff|" + dir / "work" + "\ninput:\n");
    EXPECT_EQ(ran.error, "to-error\n");
}

TEST(PlatformChildProcess, AProgramASignalEndsShowsAsShellsShowIt)
{
    TempDir dir;
    Ran ran = runShell(dir, "kill -9 $$");
    EXPECT_TRUE(ran.outcome.started);
    EXPECT_EQ(ran.outcome.exitCode, 137u);
}

TEST(PlatformChildProcess, ProgramsThatDoNotStart)
{
    TempDir dir;
    writePosixFile(dir / "taken", "");
    writePosixFile(dir / "not-a-program", "");
    struct Case {
        std::string program;
        std::string output;
        DWORD error;
    } cases[] = {
        {dir / "missing", dir / "out1", ERROR_FILE_NOT_FOUND},
        {dir / "not-a-program", dir / "out2", ERROR_ACCESS_DENIED},
        {"/bin/true", dir / "taken", ERROR_FILE_EXISTS},  // the output files are made new
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.program);
        ChildOutcome outcome = runChildProcess(wide(c.program), {}, wide(dir.path()), wide(c.output), wide(dir / "err-" + std::filesystem::path(c.output).filename().string()));
        EXPECT_FALSE(outcome.started);
        EXPECT_EQ(outcome.error, c.error);
    }
}

TEST(PlatformChildProcess, TheProgramBesideThisOne)
{
    std::string own = std::filesystem::canonical("/proc/self/exe").parent_path().string();
    EXPECT_EQ(programBesideThisOne(WSTR("stubwarden")), wide(own + "/stubwarden"));
}

TEST(PlatformPathForms, FullAndUncPaths)
{
    std::string current = std::filesystem::current_path().string();
    struct Case {
        std::string given;
        std::string full;
        std::string unc;
    } cases[] = {
        {"/srv/share/rehearsal", "/srv/share/rehearsal", "\\\\srv\\share\\rehearsal"},
        {"/srv/share/./x/../rehearsal/", "/srv/share/rehearsal", "\\\\srv\\share\\rehearsal"},
        {"\\\\srv\\share\\rehearsal", "/srv/share/rehearsal", "\\\\srv\\share\\rehearsal"},
        {"rehearsal", current + "/rehearsal", testsupport::uncPath(current + "/rehearsal")},
        {"/srv/caf\xc3\xa9 \xff", "/srv/caf\xc3\xa9 \xff", "\\\\srv\\caf\xc3\xa9 \xff"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.given);
        WString full = fullPath(wide(c.given));
        EXPECT_EQ(full, wide(c.full));
        EXPECT_EQ(uncPath(full), wide(c.unc));
    }
    // A Linux name may hold a '\', which a UNC path cannot carry.
    EXPECT_EQ(uncPath(WSTR("/srv/a\\b")), WString());
    EXPECT_EQ(GetLastError(), ERROR_BAD_PATHNAME);
    EXPECT_EQ(uncPath(WSTR("relative")), WString());
}

}  // namespace
}  // namespace platformtest
