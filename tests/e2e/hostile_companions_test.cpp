// The companion programs in hostile hands: stubwarden-rehearse in a folder
// that someone else could change, with a folder or the share swapped for a
// link to a victim's private folder at the moment that matters (the
// rehearsal stopped there with ptrace, so the swap comes at that moment every
// time), and stubwarden-tree given a description that leads out of its root
// or reads what it must not. What lies outside the rehearsal's folder or the
// tree's root is compared byte for byte, xattrs included, before and after.
#include <gtest/gtest.h>

#include <filesystem>
#include <grp.h>
#include <map>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include "tests/e2e/rehearsal_support.h"
#include "tests/hostile/syscall_stop.h"
#include "tests/support/test_support.h"

using namespace testsupport;
using rehearsal::rehearsalOutput;
using rehearsal::rehearsalStart;
using rehearsal::stubwardenBeside;
using rehearsal::writeFile;
namespace fs = std::filesystem;

namespace {

const std::string kRehearse = STUBWARDEN_REHEARSE_BINARY;
const std::string kTree = STUBWARDEN_TREE_BINARY;
constexpr uid_t kVictim = 65534;    // nobody: owns the private folder
constexpr uid_t kOther = 65533;     // another account, of no group of ours

// Every entry below `root` but those below `skipped` (links not followed):
// its kind, owner, mode, content and xattrs.
std::map<std::string, std::string> snapshot(const std::string& root, const std::string& skipped = "")
{
    std::map<std::string, std::string> tree;
    for (auto entry = fs::recursive_directory_iterator(root); entry != fs::recursive_directory_iterator(); ++entry) {
        std::string path = entry->path().string();
        if (!skipped.empty() && (path == skipped || path.rfind(skipped + "/", 0) == 0)) {
            entry.disable_recursion_pending();
            continue;
        }
        struct stat status {};
        EXPECT_EQ(::lstat(path.c_str(), &status), 0) << path;
        std::string text = std::to_string(status.st_uid) + " " + std::to_string(status.st_mode) + " ";
        text += S_ISLNK(status.st_mode)   ? "link to " + fs::read_symlink(path).string()
                : S_ISDIR(status.st_mode) ? std::string("folder")
                : S_ISREG(status.st_mode) ? "file " + readFileBytes(path)
                                          : std::string("other");
        tree[fs::relative(path, root).string()] = text + rehearsal::xattrsOf(path);
    }
    return tree;
}

// A victim's private folder (mode 0700, hers) holding what a share's
// "dept" folder holds, so that anything led into it by name finds names it
// would remove, audit or repair.
void makeVictimFolder(const std::string& victim)
{
    ASSERT_EQ(::mkdir(victim.c_str(), 0700), 0);
    ASSERT_EQ(::mkdir((victim + "/reports").c_str(), 0700), 0);
    ASSERT_EQ(::mkdir((victim + "/projects").c_str(), 0700), 0);
    writeFile(victim + "/readme.txt", "her notes", 0600);
    writeFile(victim + "/budget-2024.xlsx", "her budget", 0600);
    writeFile(victim + "/reports/2019-q2.pdf", "her report", 0600);
    writeFile(victim + "/reports/2020-q1.pdf", "her other report", 0600);
    writeFile(victim + "/projects/plan.txt", "her plan", 0600);
    setXattr(victim + "/reports/2020-q1.pdf", "user.SmbReparse", "her record");
    for (const char* path : {"", "/reports", "/projects", "/readme.txt", "/budget-2024.xlsx", "/reports/2019-q2.pdf",
                             "/reports/2020-q1.pdf", "/projects/plan.txt"}) {
        ASSERT_EQ(::lchown((victim + path).c_str(), kVictim, kVictim), 0);
    }
}

// Replaces the folder `path` with a link to `target`; the folder moves to
// `path`.moved, as an attacker's rename keeps what was there.
void swapForLink(const std::string& path, const std::string& target)
{
    ASSERT_EQ(::rename(path.c_str(), (path + ".moved").c_str()), 0) << path;
    ASSERT_EQ(::symlink(target.c_str(), path.c_str()), 0) << path;
}

// `text` with each of the names (FOLDER, ROOT, ...) replaced by what it stands for.
std::string replaced(std::string text, const std::map<std::string, std::string>& names)
{
    for (const auto& [from, to] : names) {
        for (std::size_t at = text.find(from); at != std::string::npos; at = text.find(from, at + to.size())) {
            text.replace(at, from.size(), to);
        }
    }
    return text;
}

// The file mode bits of a path.
mode_t modeOf(const std::string& path)
{
    struct stat status {};
    EXPECT_EQ(::lstat(path.c_str(), &status), 0) << path;
    return status.st_mode & 07777;
}

// Whether the account may open the file for reading, tried in a child that
// runs as it.
bool mayRead(uid_t account, const std::string& path)
{
    pid_t child = ::fork();
    if (child == 0) {
        if (::setgroups(0, nullptr) != 0 || ::setresgid(account, account, account) != 0 ||
            ::setresuid(account, account, account) != 0) {
            ::_exit(2);
        }
        ::_exit(::open(path.c_str(), O_RDONLY) >= 0 ? 0 : 1);
    }
    int status = 0;
    ::waitpid(child, &status, 0);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) != 2) << "cannot become uid " << account;
    return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

}  // namespace

// While the rehearsal removes the share, the folder dept (entered already)
// is swapped for a link to the victim's private folder: the removal goes on
// inside the folder it entered, leaves the link where dept was, says so,
// and the victim's files survive.
TEST(HostileRehearsal, AFolderSwappedForALinkDuringRemovalLeavesTheVictimsFilesAlone)
{
    TempDir temp;
    const std::string folder = temp / "rehearsal";
    const std::string victim = temp / "victim";
    makeVictimFolder(victim);
    const auto before = snapshot(temp.path(), folder);
    hostile::SyscallStop stop{SYS_unlinkat, "2019-q1.pdf", [&] { swapForLink(folder + "/share/dept", victim); }};
    hostile::Run run = hostile::runWithStops(kRehearse, {folder}, temp.path(), {&stop});
    ASSERT_FALSE(run.traceRefused) << "this system does not let the test trace the rehearsal";
    EXPECT_EQ(stop.seen, 1);
    EXPECT_EQ(run.standardOutput, rehearsalOutput(stubwardenBeside(), folder, {}, ""));
    EXPECT_EQ(run.standardError, "stubwarden-rehearse: cannot remove " + folder +
                                     "/share/dept (it is no longer the folder the rehearsal made: something replaced "
                                     "it); remove " + folder + " by hand\n");
    EXPECT_EQ(run.exitCode, 1);
    EXPECT_EQ(snapshot(temp.path(), folder), before);
    // What dept held went with the folder it was: the moved one is empty.
    EXPECT_EQ(snapshot(folder + "/share/dept.moved"), (std::map<std::string, std::string>{}));
}

// The share swapped for a link to the victim's folder at three moments:
// just after the probe (before the share is made), just after the build
// (before the first run), and while the first run's output is read (after
// it). Nothing is built, audited or repaired in the victim's folder, the
// verdict does not say that Stubwarden works, and nothing the rehearsal did
// not make is removed.
TEST(HostileRehearsal, TheShareSwappedForALinkIsNeverBuiltAuditedOrRepairedThrough)
{
    struct Case {
        const char* moment;
        long call;
        const char* name;
        bool shareMade;  // the swap comes after the rehearsal made the share
        std::string checks;
    };
    const Case cases[] = {
        {"just after the probe", SYS_unlinkat, "probe", false,
         "  FAIL  the sample share is built (22 entries)\n"
         "          CreateDirectoryW failed for FOLDER/share: error 183\n"
         "\n"
         "Verdict: Stubwarden does not work as it must on this volume: 1 of 1 checks fail.\n"},
        {"just after the build", SYS_mkdirat, "runs", true,
         "  pass  the sample share is built (22 entries)\n"
         "  FAIL  the share is the folder the rehearsal built\n"
         "          UNC is now something else (a link, or another folder): Stubwarden is not run on it\n"
         "\n"
         "Verdict: Stubwarden does not work as it must on this volume: 1 of 2 checks fail.\n"},
        {"while the first run's output is read", SYS_openat, "standard-error.log", true,
         "  pass  the sample share is built (22 entries)\n"
         "  FAIL  the share is the folder the rehearsal built\n"
         "          UNC was replaced while Stubwarden ran (by a link, or another folder): the run is not judged, "
         "and no other run is made\n"
         "\n"
         "Verdict: Stubwarden does not work as it must on this volume: 1 of 2 checks fail.\n"},
    };
    for (const Case& swap : cases) {
        SCOPED_TRACE(swap.moment);
        TempDir temp;
        const std::string folder = temp / "rehearsal";
        const std::string victim = temp / "victim";
        makeVictimFolder(victim);
        const auto before = snapshot(temp.path(), folder);
        hostile::SyscallStop stop{swap.call, swap.name, [&] {
                                      if (swap.shareMade) {
                                          swapForLink(folder + "/share", victim);
                                      } else {
                                          ASSERT_EQ(::symlink(victim.c_str(), (folder + "/share").c_str()), 0);
                                      }
                                  }};
        hostile::Run run = hostile::runWithStops(kRehearse, {folder}, temp.path(), {&stop});
        ASSERT_FALSE(run.traceRefused) << "this system does not let the test trace the rehearsal";
        EXPECT_EQ(stop.seen, 1);
        EXPECT_EQ(run.standardOutput,
                  rehearsalStart(stubwardenBeside(), folder) +
                      replaced(swap.checks, {{"FOLDER", folder}, {"UNC", uncPath(folder + "/share")}}));
        // The link is not the rehearsal's: it stays, so what holds it stays.
        EXPECT_EQ(run.standardError,
                  swap.shareMade ? "stubwarden-rehearse: cannot remove " + folder +
                                       "/share (it is no longer the folder the rehearsal made: something replaced "
                                       "it); remove " + folder + " by hand\n"
                                 : "stubwarden-rehearse: cannot remove " + folder + " (error 145)\n");
        EXPECT_EQ(run.exitCode, 3);
        EXPECT_EQ(snapshot(temp.path(), folder), before);
        EXPECT_EQ(fs::read_symlink(folder + "/share").string(), victim);
    }
}

// The runs' folders (and the share, and the folder the rehearsal makes)
// are the account's alone: another account reads none of the reports,
// which list the names of what the runs saw.
TEST(HostileRehearsal, WhatTheRunsLeaveIsReadableByTheAccountAlone)
{
    TempDir temp;
    ASSERT_EQ(::chmod(temp.path().c_str(), 0755), 0);
    const std::string folder = temp / "rehearsal";
    hostile::Run run = hostile::runWithStops(kRehearse, {"--keep", folder}, temp.path());
    ASSERT_EQ(run.exitCode, 0) << run.standardOutput << run.standardError;
    EXPECT_EQ(modeOf(folder), 0700u);
    EXPECT_EQ(modeOf(folder + "/share"), 0700u);
    EXPECT_EQ(modeOf(folder + "/runs"), 0700u);
    // Each run's folder keeps its reports to the account by itself.
    ASSERT_EQ(::chmod(folder.c_str(), 0755), 0);
    ASSERT_EQ(::chmod((folder + "/runs").c_str(), 0755), 0);
    int reports = 0;
    for (const auto& entry : fs::directory_iterator(folder + "/runs")) {
        SCOPED_TRACE(entry.path().string());
        EXPECT_EQ(modeOf(entry.path()), 0700u);
        for (const std::string& report : reportFiles(entry.path())) {
            ++reports;
            EXPECT_TRUE(mayRead(0, entry.path() / report));  // the check itself can read
            EXPECT_FALSE(mayRead(kOther, entry.path() / report));
            // Even a report left readable is out of reach through its folder.
            ASSERT_EQ(::chmod((entry.path() / report).c_str(), 0644), 0);
            EXPECT_FALSE(mayRead(kOther, entry.path() / report));
        }
    }
    EXPECT_EQ(reports, 5);
}

// Where another account could change what the rehearsal makes, it makes
// nothing: a folder others may write, one another account owns, and a
// folder on the way that another account owns or may write without the
// sticky bit. One line says why; nothing changes anywhere.
TEST(HostileRehearsal, AFolderAnotherAccountCouldChangeIsRefusedInOneLine)
{
    struct Case {
        const char* name;
        mode_t aboveMode;
        uid_t aboveOwner;
        bool exists;  // the folder itself, with this mode and owner
        mode_t mode;
        uid_t owner;
        const char* refusal;  // after "stubwarden-rehearse: "
    };
    const Case cases[] = {
        {"others may write the folder", 0755, 0, true, 0777, 0,
         "other accounts may write in FOLDER (mode 0777): the rehearsal makes and removes files, so it runs only in "
         "a folder that no other account may change"},
        {"others may write the folder, sticky", 0755, 0, true, 01777, 0,
         "other accounts may write in FOLDER (mode 1777): the rehearsal makes and removes files, so it runs only in "
         "a folder that no other account may change"},
        {"its group may write the folder", 0755, 0, true, 0770, 0,
         "other accounts may write in FOLDER (mode 0770): the rehearsal makes and removes files, so it runs only in "
         "a folder that no other account may change"},
        {"another account owns the folder", 0755, 0, true, 0755, kVictim,
         "FOLDER belongs to another account (uid 65534): the rehearsal makes and removes files, so it runs only in "
         "a folder of the account it runs as"},
        {"a new folder in a folder others may write", 0777, 0, false, 0, 0,
         "ABOVE, a folder on the way to FOLDER, may be changed by another account (owner uid 0, mode 0777): the "
         "rehearsal runs only where no other account can replace what it makes"},
        {"an empty folder in a folder another account owns", 0755, kOther, true, 0755, 0,
         "ABOVE, a folder on the way to FOLDER, may be changed by another account (owner uid 65533, mode 0755): the "
         "rehearsal runs only where no other account can replace what it makes"},
    };
    for (const Case& refused : cases) {
        SCOPED_TRACE(refused.name);
        TempDir temp;
        const std::string above = temp / "above";
        const std::string folder = above + "/rehearsal";
        ASSERT_EQ(::mkdir(above.c_str(), 0700), 0);
        if (refused.exists) {
            ASSERT_EQ(::mkdir(folder.c_str(), 0700), 0);
            ASSERT_EQ(::chown(folder.c_str(), refused.owner, refused.owner), 0);
            ASSERT_EQ(::chmod(folder.c_str(), refused.mode), 0);
        }
        ASSERT_EQ(::chown(above.c_str(), refused.aboveOwner, refused.aboveOwner), 0);
        ASSERT_EQ(::chmod(above.c_str(), refused.aboveMode), 0);
        const auto before = snapshot(temp.path());
        hostile::Run run = hostile::runWithStops(kRehearse, {folder}, temp.path());
        EXPECT_EQ(run.standardError,
                  "stubwarden-rehearse: " + replaced(refused.refusal, {{"ABOVE", above}, {"FOLDER", folder}}) + "\n");
        EXPECT_EQ(run.standardOutput, "");
        EXPECT_EQ(run.exitCode, 1);
        EXPECT_EQ(snapshot(temp.path()), before);
    }
}

// The same attack the refusal stops, made for real by another account: she
// may write the folder the rehearsal is given, and has put a folder of hers
// in it. The rehearsal refuses before anything is made, so there is no
// removal for her to lead into the victim's folder.
TEST(HostileRehearsal, AFolderTheAttackerMayWriteIsRefusedBeforeSheCanSwapAnything)
{
    TempDir temp;
    const std::string folder = temp / "shared";
    const std::string victim = temp / "victim";
    makeVictimFolder(victim);
    ASSERT_EQ(::mkdir(folder.c_str(), 01777), 0);
    ASSERT_EQ(::chmod(folder.c_str(), 01777), 0);
    pid_t attacker = ::fork();
    if (attacker == 0) {
        if (::setgroups(0, nullptr) != 0 || ::setresgid(kOther, kOther, kOther) != 0 ||
            ::setresuid(kOther, kOther, kOther) != 0 || ::symlink(victim.c_str(), (folder + "/share").c_str()) != 0) {
            ::_exit(1);
        }
        ::_exit(0);
    }
    int status = 0;
    ASSERT_EQ(::waitpid(attacker, &status, 0), attacker);
    ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "the other account could not plant its link";
    ASSERT_EQ(::rmdir(folder.c_str()), -1);  // not empty: her link is there
    const auto before = snapshot(temp.path());
    hostile::Run run = hostile::runWithStops(kRehearse, {folder}, temp.path());
    EXPECT_EQ(run.standardError, "stubwarden-rehearse: other accounts may write in " + folder +
                                     " (mode 1777): the rehearsal makes and removes files, so it runs only in a "
                                     "folder that no other account may change\n");
    EXPECT_EQ(run.exitCode, 1);
    EXPECT_EQ(snapshot(temp.path()), before);
}

namespace {

// Runs stubwarden-tree on a description written to a file beside the root,
// with a deadline: a build that would wait on a FIFO fails the test instead
// of holding up the suite.
hostile::Run buildTree(const TempDir& temp, const std::string& description)
{
    writeFile(temp / "description.tree", description);
    return hostile::runWithStops(kTree, {temp / "root", temp / "description.tree"}, temp.path(), {},
                                 std::chrono::seconds(30));
}

}  // namespace

// A described link that leads out of the root, and entries below it or on
// it: each is refused at its line, nothing is written through the link (no
// file, no 1 TiB placeholder, no marker, no stream on an outside file), and
// what lies outside is unchanged.
TEST(HostileTreeDescription, ALinkOutOfTheRootIsNeverBuiltOrWrittenThrough)
{
    const struct {
        std::string line;
        std::string error;
    } cases[] = {
        {"file esc/a content=x",
         "CreateFileW failed for ROOT/esc/a: error 681 (a symbolic link: nothing is made or written through a link)"},
        {"placeholder esc/huge.pdf size=1024GiB",
         "CreateFileW failed for ROOT/esc/huge.pdf: error 681 (a symbolic link: nothing is made or written through a "
         "link)"},
        {"reparse esc/dedup tag=0x80000013",
         "CreateFileW failed for ROOT/esc/dedup: error 681 (a symbolic link: nothing is made or written through a "
         "link)"},
        {"folder esc/sub",
         "CreateDirectoryW failed for ROOT/esc/sub: error 681 (a symbolic link: nothing is made or written through a "
         "link)"},
        {"symlink esc/again target=x",
         "CreateSymbolicLinkW failed for ROOT/esc/again: error 681 (a symbolic link: nothing is made or written "
         "through a link)"},
        {"marker esc id=1 name=n",
         "CreateDirectoryW failed for ROOT/esc: error 681 (a symbolic link: nothing is made or written through a "
         "link)"},
        {"stream esc name=s text=x",
         "CreateFileW failed for ROOT/esc:s: error 681 (a symbolic link: nothing is made or written through a link)"},
        {"stream esc/victim.txt name=s text=x",
         "CreateFileW failed for ROOT/esc/victim.txt: error 681 (a symbolic link: nothing is made or written through "
         "a link)"},
        {"stream file-link name=s text=x",
         "CreateFileW failed for ROOT/file-link:s: error 681 (a symbolic link: nothing is made or written through a "
         "link)"},
    };
    for (const auto& entry : cases) {
        SCOPED_TRACE(entry.line);
        TempDir temp;
        const std::string outside = temp / "outside";
        ASSERT_EQ(::mkdir(outside.c_str(), 0755), 0);
        writeFile(outside + "/victim.txt", "outside");
        const auto before = snapshot(outside);
        hostile::Run run = buildTree(temp, "symlink esc target=" + outside + " folder\nsymlink file-link target=" +
                                               outside + "/victim.txt\n" + entry.line + "\n");
        EXPECT_EQ(run.standardError,
                  "stubwarden-tree: line 3: " + replaced(entry.error, {{"ROOT", temp / "root"}}) + "\n");
        EXPECT_EQ(run.exitCode, 1);
        EXPECT_EQ(snapshot(outside), before);
    }
}

// file= and xml-file= read only a regular file that every account may read,
// of at most 64 KiB: a root-only file (as /etc/shadow is) does not end up in
// a stream others may read, /dev/zero is not read until memory runs out,
// and a FIFO is not waited on. Each is a fault of its line, and nothing is
// built.
TEST(HostileTreeDescription, ContentFilesAreOnlyRegularFilesEveryoneMayReadUnderABound)
{
    TempDir temp;
    writeFile(temp / "shadow", "root:$6$secret:19000:0:99999:7:::\n", 0600);
    writeFile(temp / "group-only", "staff only", 0640);
    writeFile(temp / "large", std::string(64 * 1024 + 1, 'x'));
    writeFile(temp / "small", std::string(1000, 'x'));
    ASSERT_EQ(::mkfifo((temp / "fifo").c_str(), 0644), 0);
    const struct {
        std::string option;
        std::string fault;
    } cases[] = {
        {"file=@SHADOW@",
         "\"@SHADOW@\" is not readable by every account (mode 0600): what it holds would go into the tree; give a file "
         "that everyone may read"},
        {"file=@GROUP-ONLY@",
         "\"@GROUP-ONLY@\" is not readable by every account (mode 0640): what it holds would go into the tree; give a "
         "file that everyone may read"},
        {"file=/dev/zero", "\"/dev/zero\" is not a regular file (a device): only regular files are read"},
        {"file=@FIFO@", "\"@FIFO@\" is not a regular file (a FIFO): only regular files are read"},
        {"file=@TEMP@", "\"@TEMP@\" is not a regular file (a folder): only regular files are read"},
        {"file=@LARGE@", "\"@LARGE@\" holds 65537 bytes; a content file holds at most 65536 (64 KiB)"},
    };
    const std::map<std::string, std::string> names = {{"@SHADOW@", temp / "shadow"}, {"@GROUP-ONLY@", temp / "group-only"},
                                                      {"@FIFO@", temp / "fifo"},     {"@LARGE@", temp / "large"},
                                                      {"@TEMP@", temp.path()}};
    for (const auto& entry : cases) {
        for (const std::string& line : {"folder a\nstream a name=s " + entry.option + "\n",
                                        "folder a\nmarker a xml-" + entry.option + "\n"}) {
            SCOPED_TRACE(line);
            const auto before = snapshot(temp.path());
            hostile::Run run = buildTree(temp, replaced(line, names));
            EXPECT_EQ(run.standardError, "stubwarden-tree: line 2: " + replaced(entry.fault, names) + "\n");
            EXPECT_EQ(run.exitCode, 1);
            EXPECT_FALSE(fs::exists(temp / "root"));
            auto after = snapshot(temp.path());
            after.erase("description.tree");
            auto expected = before;
            expected.erase("description.tree");
            EXPECT_EQ(after, expected);
        }
    }
    // A file that is none of these is read whole.
    hostile::Run run = buildTree(temp, "folder a\nstream a name=s file=" + temp / "small" + "\n");
    EXPECT_EQ(run.exitCode, 0) << run.standardError;
    EXPECT_EQ(xattr(temp / "root/a", "user.DosStream.s:$DATA"), std::string(1000, 'x') + std::string(1, '\0'));
}

// A NUL or another control character in a path, a link's target, a stream's
// name or a content file's name is refused with its line, shown escaped, and
// nothing is built.
TEST(HostileTreeDescription, ControlCharactersInNamesAreRefusedWithTheLine)
{
    const struct {
        std::string line;
        std::string fault;
    } cases[] = {
        {std::string("file a\0b content=x", 18),
         "the path \"a\\x00b\" holds the control character 0x00, which no name may hold"},
        {"file dept/\x01report.pdf", "the path \"dept/\\x01report.pdf\" holds the control character 0x01, which no "
                                     "name may hold"},
        {"folder \"a\x1b[31mred\"", "the path \"a\\x1B[31mred\" holds the control character 0x1B, which no name may "
                                    "hold"},
        {"placeholder x\x7f.pdf", "the path \"x\\x7F.pdf\" holds the control character 0x7F, which no name may hold"},
        {"marker \"a\rb\" id=1 name=n", "the path \"a\\x0Db\" holds the control character 0x0D, which no name may "
                                        "hold"},
        {std::string("symlink l target=/etc\0/passwd", 29),
         "the target \"/etc\\x00/passwd\" holds the control character 0x00, which no name may hold"},
        {"stream . name=s\x1f text=x", "the stream name \"s\\x1F\" holds the control character 0x1F, which no name "
                                       "may hold"},
        {std::string("stream . name=s file=/etc/passwd\0.txt", 37),
         "the content file's name \"/etc/passwd\\x00.txt\" holds the control character 0x00, which no name may "
         "hold"},
    };
    for (const auto& entry : cases) {
        SCOPED_TRACE(entry.fault);
        TempDir temp;
        hostile::Run run = buildTree(temp, "file first.txt\n" + entry.line + "\n");
        EXPECT_EQ(run.standardError, "stubwarden-tree: line 2: " + entry.fault + "\n");
        EXPECT_EQ(run.exitCode, 1);
        EXPECT_FALSE(fs::exists(temp / "root"));
    }
}
