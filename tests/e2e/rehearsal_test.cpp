// stubwarden-rehearse, the real binary, with the real stubwarden: the full
// verdict on a volume that keeps placeholders (ext4 here), the probe's
// verdict on one without user xattrs, stand-ins for Stubwarden that go wrong,
// and the folders and command lines it refuses. Every output is compared
// whole.
#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>

#include "tests/e2e/rehearsal_support.h"
#include "tests/support/test_support.h"

using namespace testsupport;
namespace fs = std::filesystem;

namespace {

const std::string kRehearse = STUBWARDEN_REHEARSE_BINARY;

using rehearsal::Failures;
using rehearsal::rehearsalOutput;
using rehearsal::stubwardenBeside;
using rehearsal::writeFile;

const std::string kRemoved = "Removed what the rehearsal made.\n";

std::vector<std::string> entriesOf(const std::string& folder)
{
    std::vector<std::string> names;
    for (const auto& entry : fs::directory_iterator(folder)) {
        names.push_back(entry.path().filename().string());
    }
    std::sort(names.begin(), names.end());
    return names;
}

// Every entry below a folder (links not followed): its kind, size and xattrs,
// by path.
std::map<std::string, std::string> treeOf(const std::string& root)
{
    std::map<std::string, std::string> tree;
    for (const auto& entry : fs::recursive_directory_iterator(root)) {
        std::string path = fs::relative(entry.path(), root).string();
        std::string text = entry.is_symlink() ? "link to " + fs::read_symlink(entry.path()).string()
                           : entry.is_directory() ? "folder"
                                                  : "file of " + std::to_string(entry.file_size()) + " bytes";
        tree[path] = text + rehearsal::xattrsOf(entry.path());
    }
    return tree;
}

TEST(Rehearsal, InANewOrEmptyFolderEveryCheckHoldsAndNothingIsLeft)
{
    struct Case {
        const char* name;
        bool exists;
    };
    for (const Case& folderCase : {Case{"new", false}, Case{"empty", true}}) {
        SCOPED_TRACE(folderCase.name);
        TempDir temp;
        const std::string folder = temp / "rehearsal";
        if (folderCase.exists) {
            ASSERT_EQ(::mkdir(folder.c_str(), 0755), 0);
        }
        RunResult run = runProgram(kRehearse, {folder});
        EXPECT_EQ(run.standardOutput, rehearsalOutput(stubwardenBeside(), folder, {}, kRemoved));
        EXPECT_EQ(run.standardError, "");
        EXPECT_EQ(run.exitCode, 0);
        // The rehearsal removes what it made: the folder it made, or what it
        // made in the empty folder given.
        EXPECT_EQ(entriesOf(temp.path()), folderCase.exists ? std::vector<std::string>{"rehearsal"}
                                                            : std::vector<std::string>{});
        if (folderCase.exists) {
            EXPECT_EQ(entriesOf(folder), std::vector<std::string>{});
        }
    }
}

TEST(Rehearsal, WithKeepTheShareAndEveryRunsReportStayWhereItSays)
{
    TempDir temp;
    const std::string folder = temp / "rehearsal";
    RunResult run = runProgram(kRehearse, {"--keep", folder});
    EXPECT_EQ(run.standardOutput,
              rehearsalOutput(stubwardenBeside(), folder, {},
                              "Kept: the sample share in " + folder + "/share, and each run's report and output in a "
                                  "folder of " + folder + "/runs.\n"));
    EXPECT_EQ(run.exitCode, 0);
    EXPECT_EQ(entriesOf(folder), (std::vector<std::string>{"runs", "share"}));
    EXPECT_EQ(entriesOf(folder + "/share"), (std::vector<std::string>{"dept", "old-minutes.doc", "welcome.txt"}));
    const std::vector<std::string> runs = {"1-normal", "2-verbose-dump", "3-archive-usage", "4-fixphs",
                                           "5-normal-after-fixphs"};
    ASSERT_EQ(entriesOf(folder + "/runs"), runs);
    for (const std::string& name : runs) {
        SCOPED_TRACE(name);
        std::vector<std::string> files = entriesOf(folder + "/runs/" + name);
        ASSERT_EQ(files.size(), 3u);
        EXPECT_EQ(files[0], "standard-error.log");
        EXPECT_EQ(files[1], "standard-output.log");
        EXPECT_EQ(reportFiles(folder + "/runs/" + name).size(), 1u);
        EXPECT_EQ(readFileBytes(folder + "/runs/" + name + "/standard-error.log"), "");
    }
    // The one progress dot of the archive usage run, for its first file.
    EXPECT_EQ(readFileBytes(folder + "/runs/3-archive-usage/standard-output.log"), ".");

    // The share is the one samples/sample-share.tree describes, repaired by
    // -fixphs: built from the file by stubwarden-tree and repaired by
    // stubwarden, it is the same, xattr for xattr.
    const std::string reference = temp / "reference";
    RunResult built =
        runProgram(STUBWARDEN_TREE_BINARY, {reference, std::string(STUBWARDEN_SOURCE_DIR) + "/samples/sample-share.tree"});
    ASSERT_EQ(built.exitCode, 0) << built.standardError;
    ASSERT_EQ(runStubwarden({"-fixphs", uncPath(reference)}, {.workingDirectory = temp.path()}).exitCode, 2);
    std::map<std::string, std::string> kept = treeOf(folder + "/share");
    std::map<std::string, std::string> expected = treeOf(reference);
    EXPECT_EQ(kept, expected);
}

// The rehearsal repairs files of its own account, which says nothing of the
// files of others on the real share: an account that may not write those
// gets a note after the verdict that says so and what to run instead; root
// gets none.
TEST(Rehearsal, TheVerdictNotesTheRepairRightsOfAnAccountThatLacksThem)
{
    const std::string note =
        "Note: -fixphs writes with the rights of the account that runs it; the backup privilege only reads. Here it "
        "repaired this account's own files. This account may not write the files of other accounts, so on the real "
        "share the repair of such a placeholder fails with \"Failed to fix:CreateFile:5\". Run -fixphs as root on "
        "Linux or from an elevated prompt of an administrator on Windows, or as the owner of the files.\n";
    constexpr uid_t kNobody = 65534;
    struct Case {
        const char* account;
        RunOptions options;
        std::string note;
    };
    for (const Case& c : {Case{"root", {}, ""}, Case{"nobody", {.user = kNobody, .group = kNobody}, note}}) {
        SCOPED_TRACE(c.account);
        TempDir temp;
        // The folder the rehearsal runs below is the account's own.
        ASSERT_EQ(::chown(temp.path().c_str(), c.options.user.value_or(0), c.options.group.value_or(0)), 0);
        const std::string folder = temp / "rehearsal";
        const std::string program = runnableByEveryone(STUBWARDEN_BINARY);
        RunResult run = runProgram(kRehearse, {"--stubwarden", program, folder}, c.options);
        EXPECT_EQ(run.standardOutput, rehearsalOutput(program, folder, {}, c.note + kRemoved));
        EXPECT_EQ(run.standardError, "");
        EXPECT_EQ(run.exitCode, 0);
        EXPECT_EQ(entriesOf(temp.path()), std::vector<std::string>{});
    }
}

// ramfs keeps no xattrs at all, so none of Samba's convention: no attributes,
// no reparse points, no streams. (tmpfs would do as well where it keeps no
// user xattrs; since Linux 6.6 it keeps them.) The rehearsal says what is
// missing, stops, and leaves the volume as it found it.
TEST(Rehearsal, OnAVolumeWithoutUserXattrsTheProbeNamesWhatIsMissingAndNothingIsLeft)
{
    TempDir temp;
    const std::string volume = temp / "volume";
    const std::string folder = volume + "/rehearsal";
    ASSERT_EQ(::mkdir(volume.c_str(), 0755), 0);
    int result = inOwnMountNamespace([&]() {
        if (::mount("stubwarden-test", volume.c_str(), "ramfs", 0, nullptr) != 0) {
            return 77;
        }
        if (::setxattr(volume.c_str(), "user.probe", "1", 1, 0) == 0 || errno != ENOTSUP) {
            return 78;
        }
        RunResult run = runProgram(kRehearse, {folder});
        std::ofstream(temp / "output", std::ios::binary) << run.standardOutput;
        std::ofstream(temp / "error", std::ios::binary) << run.standardError;
        std::ofstream(temp / "left", std::ios::binary) << entriesOf(volume).size();
        return run.exitCode;
    });
    if (result == 77 || result == 78) {
        GTEST_SKIP() << (result == 77 ? "no mount namespace or ramfs here" : "this ramfs keeps user xattrs");
    }
    EXPECT_EQ(result, 2);
    EXPECT_EQ(readFileBytes(temp / "output"),
              "Rehearsing " + stubwardenBeside() + " in " + folder +
                  "\n"
                  "\n"
                  "The volume:\n"
                  "  FAIL  a file keeps a reparse point with tag 16 and its GUID: this volume keeps no reparse points "
                  "(error 50 from DeviceIoControl(FSCTL_SET_REPARSE_POINT))\n"
                  "  FAIL  a file keeps the sparse attribute: this volume keeps no sparse files (error 50 from "
                  "DeviceIoControl(FSCTL_SET_SPARSE))\n"
                  "  FAIL  a file keeps the offline attribute: this volume keeps no offline attribute (error 50 from "
                  "SetFileAttributesW)\n"
                  "  FAIL  a folder keeps an alternate data stream: this volume keeps no streams on folders, so no "
                  "archive point markers (error 50 from CreateFileW)\n"
                  "  skip  a file is 6 GiB long without taking the space: not tried: without sparse files the space "
                  "would be taken\n"
                  "\n"
                  "Verdict: placeholders as the archiving product leaves them cannot exist on this volume, so "
                  "Stubwarden was not run.\n");
    EXPECT_EQ(readFileBytes(temp / "error"), "");
    EXPECT_EQ(readFileBytes(temp / "left"), "0");
}

// Stand-ins for Stubwarden that go wrong in one way each: fakes, small
// shell scripts around the real program, because the real one cannot be
// made to miscount. The rehearsal must fail exactly the checks that see it.
TEST(Rehearsal, AStubwardenThatGoesWrongFailsTheChecksThatSeeIt)
{
    const std::string real = STUBWARDEN_BINARY;
    struct Case {
        const char* name;
        std::string script;
        Failures failures;
    };
    const std::vector<Case> cases = {
        {"writes a wrong counter",
         "#!/bin/sh\n"
         "# A fake Stubwarden: the real one, then 99 good placeholders in every summary.\n"
         "'" + real + "' \"$@\"; code=$?\n"
         "for report in *.txt; do\n"
         "  iconv -f UTF-16LE -t UTF-8 \"$report\" | sed 's/^Good placeholders:[0-9]*/Good placeholders:99/' |\n"
         "    iconv -f UTF-8 -t UTF-16LE > \"$report.new\" && mv \"$report.new\" \"$report\"\n"
         "done\n"
         "exit $code\n",
         {{"normal: the eight counters", {"\"Good placeholders:99\", expected \"Good placeholders:5\""}},
          {"-v -d: the eight counters", {"\"Good placeholders:99\", expected \"Good placeholders:5\""}},
          {"-fixphs: the eight counters", {"\"Good placeholders:99\", expected \"Good placeholders:5\""}},
          {"normal after -fixphs: the eight counters (no bad placeholder left that -fixphs can fix)",
           {"\"Good placeholders:99\", expected \"Good placeholders:6\""}}}},
        {"repairs nothing",
         "#!/bin/sh\n"
         "# A fake Stubwarden: the real one, without -fixphs.\n"
         "for argument do\n"
         "  shift\n"
         "  [ \"$argument\" = -fixphs ] || set -- \"$@\" \"$argument\"\n"
         "done\n"
         "exec '" + real + "' \"$@\"\n",
         {{"-fixphs: the eight counters", {"\"Fixed placeholders:0\", expected \"Fixed placeholders:1\""}},
          {"-fixphs: the file lines (9)",
           {"dept\\reports\\2020-q1.pdf: after the path \": Invalid URL\", expected \": Invalid URL, Fixed\"",
            "dept\\reports\\2020-q2.pdf: after the path \": Invalid URL\", expected \": Invalid URL, Can't fix\"",
            "dept\\reports\\2020-q3.pdf: after the path \": Invalid URL\", expected \": Invalid URL, Can't fix\"",
            "dept\\reports\\broken-guid.pdf: after the path \": Incorrect GUID\", expected \": Incorrect GUID, "
            "Can't fix\"",
            "dept\\reports\\broken-magic.pdf: after the path \": Incorrect magic value\", expected \": Incorrect "
            "magic value, Can't fix\"",
            "and 4 more"}},
          {"-fixphs: the repaired record of dept\\reports\\2020-q1.pdf is the good placeholder it was made from",
           {"the first difference: byte 80 is 0x00, expected 0x01"}},
          {"normal after -fixphs: the eight counters (no bad placeholder left that -fixphs can fix)",
           {"\"Good placeholders:5\", expected \"Good placeholders:6\"",
            "\"Bad placeholders:9\", expected \"Bad placeholders:8\""}},
          {"normal after -fixphs: the file lines (8)",
           {"a line that should not be there: \"dept\\reports\\2020-q1.pdf: Invalid URL\""}}}},
    };
    for (const Case& stand : cases) {
        SCOPED_TRACE(stand.name);
        TempDir temp;
        const std::string program = temp / "stubwarden";
        writeFile(program, stand.script, 0755);
        const std::string folder = temp / "rehearsal";
        RunResult run = runProgram(kRehearse, {"--stubwarden", program, folder});
        EXPECT_EQ(run.standardOutput, rehearsalOutput(program, folder, stand.failures, kRemoved));
        EXPECT_EQ(run.standardError, "");
        EXPECT_EQ(run.exitCode, 3);
        EXPECT_EQ(entriesOf(temp.path()), std::vector<std::string>{"stubwarden"});
    }
}

// A typo must never lead the rehearsal into a production folder: a folder
// that holds anything is refused before anything is made, and left as it was.
TEST(Rehearsal, AFolderThatIsNotEmptyIsRefusedAndLeftAlone)
{
    struct Case {
        const char* entry;
        std::function<void(const std::string& path)> make;
    };
    const std::vector<Case> cases = {
        {"notes.txt", [](const std::string& path) { writeFile(path, "quarterly figures"); }},
        {".hidden", [](const std::string& path) { writeFile(path, ""); }},
        {"archive", [](const std::string& path) { ASSERT_EQ(::mkdir(path.c_str(), 0755), 0); }},
    };
    for (const Case& folderCase : cases) {
        SCOPED_TRACE(folderCase.entry);
        TempDir temp;
        const std::string folder = temp / "production";
        ASSERT_EQ(::mkdir(folder.c_str(), 0755), 0);
        folderCase.make(folder + "/" + folderCase.entry);
        struct stat before {};
        ASSERT_EQ(::lstat((folder + "/" + folderCase.entry).c_str(), &before), 0);
        RunResult run = runProgram(kRehearse, {folder});
        EXPECT_EQ(run.standardError, "stubwarden-rehearse: " + folder + " is not empty (it holds " +
                                         folderCase.entry +
                                         "): the rehearsal makes and removes files, so it runs only in an empty or "
                                         "new folder\n");
        EXPECT_EQ(run.standardOutput, "");
        EXPECT_EQ(run.exitCode, 1);
        EXPECT_EQ(entriesOf(folder), std::vector<std::string>{folderCase.entry});
        struct stat after {};
        ASSERT_EQ(::lstat((folder + "/" + folderCase.entry).c_str(), &after), 0);
        EXPECT_EQ(after.st_mtim.tv_nsec, before.st_mtim.tv_nsec);
        EXPECT_EQ(after.st_ctim.tv_nsec, before.st_ctim.tv_nsec);
    }
}

// A link in the folder, and a folder that is itself a link, lead out of it:
// the rehearsal refuses both, and what they lead to is not touched.
TEST(Rehearsal, ALinkInTheFolderOrAsTheFolderIsNeverFollowed)
{
    struct Case {
        const char* name;
        const char* folder;  // below the temporary folder
        const char* link;    // made there, leading to the folder "elsewhere"
        const char* refusal;
    };
    const Case cases[] = {
        {"a link in the folder", "production", "production/shortcut", "is not empty (it holds shortcut): the "
                                                                       "rehearsal makes and removes files, so it runs "
                                                                       "only in an empty or new folder"},
        {"the folder is a link", "shortcut", "shortcut",
         "is a link (or another reparse point), which the rehearsal never follows: name an empty or new folder "
         "itself"},
    };
    for (const Case& linkCase : cases) {
        SCOPED_TRACE(linkCase.name);
        TempDir temp;
        const std::string elsewhere = temp / "elsewhere";
        ASSERT_EQ(::mkdir(elsewhere.c_str(), 0755), 0);
        ASSERT_EQ(::mkdir((temp / "production").c_str(), 0755), 0);
        ASSERT_EQ(::symlink(elsewhere.c_str(), (temp / linkCase.link).c_str()), 0);
        const std::string folder = temp / linkCase.folder;
        RunResult run = runProgram(kRehearse, {folder});
        EXPECT_EQ(run.standardError, "stubwarden-rehearse: " + folder + " " + linkCase.refusal + "\n");
        EXPECT_EQ(run.exitCode, 1);
        EXPECT_EQ(entriesOf(elsewhere), std::vector<std::string>{});
        struct stat link {};
        EXPECT_EQ(::lstat((temp / linkCase.link).c_str(), &link), 0);
        EXPECT_TRUE(S_ISLNK(link.st_mode));
    }
}

TEST(Rehearsal, CommandLinesItCannotTakeAreNamedWithTheUsage)
{
    TempDir temp;
    RunResult help = runProgram(kRehearse, {"--help"});
    EXPECT_EQ(help.exitCode, 0);
    EXPECT_EQ(help.standardError, "");
    ASSERT_EQ(help.standardOutput.rfind("Usage: stubwarden-rehearse [--keep] [--stubwarden <program>] <folder>\n", 0),
              0u);
    const std::string usage = help.standardOutput;
    struct Case {
        std::vector<std::string> arguments;
        std::string problem;
        bool withUsage;
    };
    const std::vector<Case> cases = {
        {{}, "the folder is missing", true},
        {{"--keep"}, "the folder is missing", true},
        {{temp / "a", temp / "b"}, "name one folder", true},
        {{"--fast", temp / "a"}, "unknown option --fast", true},
        {{temp / "a", "--stubwarden"}, "--stubwarden needs the program", true},
        {{"--stubwarden", temp / "missing", temp / "a"},
         "Stubwarden is not at " + temp / "missing" + ": name it with --stubwarden <program>", false},
        {{"--stubwarden", temp.path(), temp / "a"},
         "Stubwarden is not at " + temp.path() + ": name it with --stubwarden <program>", false},
        {{temp / "no/such/folder"},
         temp / "no/such/folder" + " cannot be reached (error 3: the folder it would lie in does not exist)", false},
        // A UNC path pasted unquoted loses its backslashes to the shell, and
        // a relative path would be taken for a UNC path: neither is rehearsed.
        {{"\\fs01sharerehearsal"},
         "\\fs01sharerehearsal is not a UNC path, which begins with two backslashes: quote a UNC path, as in "
         "'\\\\server\\share\\folder', since a shell takes away backslashes that are not quoted",
         false},
        {{"--keep", "rehearsal"},
         "rehearsal is neither a UNC path nor an absolute path: give an absolute path, as in /srv/share/folder, or "
         "quote a UNC path, as in '\\\\server\\share\\folder'",
         false},
        {{"."},
         ". is neither a UNC path nor an absolute path: give an absolute path, as in /srv/share/folder, or quote a "
         "UNC path, as in '\\\\server\\share\\folder'",
         false},
    };
    for (const Case& line : cases) {
        SCOPED_TRACE(::testing::PrintToString(line.arguments));
        // In the folder of the test: a relative folder would be made there.
        RunResult run = runProgram(kRehearse, line.arguments, {.workingDirectory = temp.path()});
        EXPECT_EQ(run.standardError, "stubwarden-rehearse: " + line.problem + "\n" + (line.withUsage ? usage : ""));
        EXPECT_EQ(run.standardOutput, "");
        EXPECT_EQ(run.exitCode, 1);
        EXPECT_EQ(entriesOf(temp.path()), std::vector<std::string>{});
    }
}

}  // namespace
