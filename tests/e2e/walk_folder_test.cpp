// The folder walk: which folders are entered, the child paths it builds,
// folders reached again by another path (a link cycle, a link to a folder
// walked already), and the lines of the folders it cannot list or finish.
// Where a folder holds more than one entry the file system orders them as it
// likes, and the lines are compared as a sorted list; elsewhere each folder
// holds one entry and the whole report is compared.
#include <gtest/gtest.h>

#include <csignal>
#include <fcntl.h>
#include <fstream>
#include <grp.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

#include "tests/e2e/normal_mode_fixtures.h"

using namespace testsupport;
using namespace normalmode;
using treebuilder::PlaceholderKind;

namespace {

const std::string kEmptySummary = summary(0, 0, 0, 0, 0, 0, 0, 0);

std::string auditReport(const std::vector<std::string>& arguments, int expectedExit, bool asNobody = false)
{
    TempDir work;
    ::chmod(work.path().c_str(), 0777);  // also for runs as another user
    RunOptions options{.workingDirectory = work.path()};
    RunResult result = asNobody ? runAsNobody(arguments, options) : runStubwarden(arguments, options);
    EXPECT_EQ(result.exitCode, expectedExit);
    EXPECT_EQ(result.standardError, "");
    EXPECT_EQ(result.standardOutput, "");
    return onlyReportBytes(work.path());
}

TEST(WalkFolder, AnEmptyFolderGivesNoCallsAndNoLines)
{
    TempDir share;
    const std::string root = makeFolder(share / "empty");
    EXPECT_EQ(auditReport({uncPath(root)}, 0), utf16le(kEmptySummary));
    EXPECT_EQ(auditReport({"-v", uncPath(root)}, 0), utf16le(kEmptySummary));
}

// Only "." and ".." are skipped; hidden and system folders are entered too.
TEST(WalkFolder, FoldersNamedDotsAndDotXAreWalked)
{
    TempDir share;
    const std::string root = makeFolder(share / "root");
    const std::string dots = makeFolder(root + "/...");
    ASSERT_TRUE(SetFileAttributesW(wideUncPath(dots).c_str(), FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM));
    const std::string dotX = makeFolder(dots + "/.x");
    placeholder(dotX + "/bad", PlaceholderKind::WrongGuid);
    EXPECT_EQ(auditReport({uncPath(root)}, 2),
              utf16le(reportPath(root) + "\\...\\.x\\bad: Incorrect GUID\r\n" + summary(1, 0, 0, 0, 1, 1, 0, 0)));
}

// The walker adds "\" whatever the path ends with.
TEST(WalkFolder, ATargetWithATrailingBackslashGivesDoubleBackslashesInChildPaths)
{
    TempDir share;
    const std::string root = makeFolder(share / "root");
    const std::string sub = makeFolder(root + "/sub");
    placeholder(sub + "/bad", PlaceholderKind::WrongMagic);
    EXPECT_EQ(auditReport({uncPath(root) + "\\"}, 2),
              utf16le(reportPath(root) + "\\\\sub\\bad: Incorrect magic value\r\n" +
                      summary(1, 0, 0, 0, 1, 1, 0, 0)));
    EXPECT_EQ(auditReport({"-v", reportPath(root) + "\\"}, 2),
              utf16le(reportPath(root) + "\\\\sub\\bad" +
                      "(Created:15/01/23 10:20:30 GMT, Size:1024, Reparse point, Sparse, Offline):"
                      "Incorrect magic value\r\n" +
                      summary(1, 0, 0, 0, 1, 1, 0, 0)));
}

TEST(WalkFolder, AFolderThatIsAReparsePointIsEntered)
{
    TempDir share;
    const std::string elsewhere = makeFolder(share / "elsewhere");
    placeholder(elsewhere + "/bad", PlaceholderKind::WrongUrl);
    const std::string root = makeFolder(share / "root");
    treebuilder::makeSymbolicLink(wideUncPath(root + "/link"), wideUncPath(elsewhere), true);
    EXPECT_EQ(auditReport({uncPath(root)}, 2),
              utf16le(reportPath(root) + "\\link\\bad: Invalid URL\r\n" + summary(1, 0, 0, 0, 1, 1, 0, 0)));
}

// A link back into the folders being walked is not followed again: the walk
// ends instead of running until the path is too long.
TEST(WalkFolder, ALinkBackToAFolderBeingWalkedIsSkippedWithItsLine)
{
    TempDir share;
    const std::string root = makeFolder(share / "root");
    const std::string sub = makeFolder(root + "/sub");
    treebuilder::makeSymbolicLink(wideUncPath(sub + "/loop"), wideUncPath(root), true);
    EXPECT_EQ(auditReport({uncPath(root)}, 0),
              utf16le(reportPath(root) + "\\sub\\loop: skipped, Reason: reparse point leads back to " +
                      reportPath(root) + "\r\n" + kEmptySummary));

    TempDir selfShare;
    const std::string self = makeFolder(selfShare / "self");
    treebuilder::makeSymbolicLink(wideUncPath(self + "/me"), wideUncPath(self), true);
    EXPECT_EQ(auditReport({"-v", uncPath(self)}, 0),
              utf16le(reportPath(self) + "\\me: skipped, Reason: reparse point leads back to " + reportPath(self) +
                      "\r\n" + kEmptySummary));
}

// A link to the target's parent leads out of the walk, so it is entered;
// the target met again below it, by its own name, is not walked again: the
// folder gets the line a link back gets.
TEST(WalkFolder, ALinkAboveTheTargetIsEnteredAndTheTargetNotWalkedAgain)
{
    TempDir share;
    const std::string top = makeFolder(share / "top");
    const std::string root = makeFolder(top + "/root");
    treebuilder::makeSymbolicLink(wideUncPath(root + "/up"), wideUncPath(top), true);
    EXPECT_EQ(auditReport({uncPath(root)}, 0),
              utf16le(reportPath(root) + "\\up\\root: skipped, Reason: folder leads back to " + reportPath(root) +
                      "\r\n" + kEmptySummary));
}

// Two folders that link to each other: each real folder is walked once. The
// one listed first is walked by its own name, the other through the first
// one's link; the link back and the second folder, met by its own name
// after, get their lines, naming the path by which each was walked.
TEST(WalkFolder, FoldersLinkedToEachOtherAreEachWalkedOnce)
{
    TempDir share;
    const std::string root = makeFolder(share / "root");
    const std::string a = makeFolder(root + "/a");
    const std::string b = makeFolder(root + "/b");
    placeholder(a + "/bad", PlaceholderKind::WrongGuid);
    placeholder(b + "/bad", PlaceholderKind::WrongGuid);
    treebuilder::makeSymbolicLink(wideUncPath(a + "/to-b"), wideUncPath(b), true);
    treebuilder::makeSymbolicLink(wideUncPath(b + "/to-a"), wideUncPath(a), true);
    std::vector<std::string> order = listedNames(root);
    ASSERT_EQ(order.size(), 2u);
    const std::string first = reportPath(root) + "\\" + order[0];
    const std::string second = reportPath(root) + "\\" + order[1];
    const std::string link = order[0] == "a" ? "to-b" : "to-a";
    const std::string back = order[0] == "a" ? "to-a" : "to-b";
    SplitReport split = splitReport(fromUtf16le(auditReport({uncPath(root)}, 2)));
    EXPECT_EQ(split.sortedLines,
              sorted({
                  first + "\\bad: Incorrect GUID\r\n",
                  first + "\\" + link + "\\bad: Incorrect GUID\r\n",
                  first + "\\" + link + "\\" + back + ": skipped, Reason: reparse point leads back to " + first +
                      "\r\n",
                  second + ": skipped, Reason: folder leads back to " + first + "\\" + link + "\r\n",
              }));
    EXPECT_EQ(split.summary, summary(2, 0, 0, 0, 2, 2, 0, 0));
}

// Folders far beyond Linux's PATH_MAX are walked; the first whose search
// pattern exceeds the 32,767 code units Windows names gets its line, and a
// file in the deepest folder that can be walked is examined.
TEST(WalkFolder, AFolderBeyondTheLongestPathIsSkippedWithItsLine)
{
    TempDir share;
    const std::string root = makeFolder(share / "root");
    const std::string name(250, 'd');
    std::string path = root;
    int folder = ::open(path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    std::string firstTooLong;
    while (firstTooLong.empty()) {
        ASSERT_EQ(::mkdirat(folder, name.c_str(), 0755), 0);
        int next = ::openat(folder, name.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        if ((reportPath(path + "/" + name) + "\\*").size() > 32767) {
            firstTooLong = path + "/" + name;
            ::close(::openat(folder, "plain", O_WRONLY | O_CREAT | O_CLOEXEC, 0644));
        }
        ::close(folder);
        folder = next;
        path += "/" + name;
    }
    ::close(folder);
    ASSERT_GT(firstTooLong.size(), 8192u);
    EXPECT_EQ(auditReport({uncPath(root)}, 0),
              utf16le(reportPath(firstTooLong) + ": skipped, Reason: FindFirstFileExW failed with error(206)\r\n" +
                      summary(1, 0, 1, 0, 0, 0, 0, 0)));
}

// An account without the backup privilege may not list a folder of mode 0:
// its line, and the walk goes on (here: the run ends normally).
TEST(WalkFolder, AFolderThatCannotBeListedIsSkippedWithItsLine)
{
    TempDir share;
    const std::string root = makeFolder(share / "root");
    const std::string closed = makeFolder(root + "/closed", 0);
    placeholder(closed + "/bad", PlaceholderKind::WrongGuid);
    EXPECT_EQ(auditReport({uncPath(root)}, 0, true),
              utf16le(reportPath(root) + "\\closed: skipped, Reason: FindFirstFileExW failed with error(5)\r\n" +
                      kEmptySummary));
    // The target itself: its one line, then the summary.
    EXPECT_EQ(auditReport({uncPath(closed)}, 0, true),
              utf16le(reportPath(closed) + ": skipped, Reason: FindFirstFileExW failed with error(5)\r\n" +
                      kEmptySummary));
}

// The program as a child whose standard output is a pipe already full, so
// it blocks at its first progress dot (archive usage mode, before the first
// file) until the test reads the pipe.
class BlockedAtFirstDot {
public:
    BlockedAtFirstDot(const std::vector<std::string>& arguments, const std::string& workingDirectory,
                      uid_t account)
    {
        int pipeEnds[2];
        EXPECT_EQ(::pipe2(pipeEnds, O_CLOEXEC), 0);
        readEnd_ = pipeEnds[0];
        int writeEnd = pipeEnds[1];
        ::fcntl(writeEnd, F_SETFL, O_NONBLOCK);
        const std::string filler(4096, '#');
        while (::write(writeEnd, filler.data(), filler.size()) > 0) {
            filled_ += filler.size();
        }
        ::fcntl(writeEnd, F_SETFL, 0);
        std::vector<std::string> argv = {testsupport::runnableByEveryone(STUBWARDEN_BINARY)};
        argv.insert(argv.end(), arguments.begin(), arguments.end());
        child_ = ::fork();
        if (child_ == 0) {
            ::dup2(writeEnd, 1);
            if (::chdir(workingDirectory.c_str()) != 0 || ::setgroups(0, nullptr) != 0 ||
                ::setresgid(account, account, account) != 0 || ::setresuid(account, account, account) != 0) {
                ::_exit(126);
            }
            std::vector<char*> pointers;
            for (std::string& argument : argv) {
                pointers.push_back(argument.data());
            }
            pointers.push_back(nullptr);
            ::setenv("TZ", "UTC", 1);
            ::execv(argv[0].c_str(), pointers.data());
            ::_exit(127);
        }
        ::close(writeEnd);
    }

    ~BlockedAtFirstDot()
    {
        if (child_ > 0 && !waited_) {
            ::kill(child_, SIGKILL);
            ::waitpid(child_, nullptr, 0);
        }
        ::close(readEnd_);
    }

    enum class Blocked { yes, no, cannotTell };

    // Whether the child comes to wait in its write to the full pipe, as its
    // wait channel shows (a kernel may hide it: then it cannot tell).
    Blocked waitUntilBlocked()
    {
        bool channelShown = false;
        for (int i = 0; i < 1000; ++i) {
            std::ifstream wchan("/proc/" + std::to_string(child_) + "/wchan");
            std::string where;
            std::getline(wchan, where);
            if (where.find("pipe_write") != std::string::npos) {
                return Blocked::yes;
            }
            channelShown = channelShown || (!where.empty() && where != "0");
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        return channelShown ? Blocked::no : Blocked::cannotTell;
    }

    // Drains the pipe until the child ends; its exit code and what it wrote
    // after the filler.
    std::pair<int, std::string> finish()
    {
        std::string out;
        char buffer[4096];
        ssize_t n;
        while ((n = ::read(readEnd_, buffer, sizeof buffer)) > 0) {
            out.append(buffer, static_cast<std::size_t>(n));
        }
        int status = 0;
        ::waitpid(child_, &status, 0);
        waited_ = true;
        return {WIFEXITED(status) ? WEXITSTATUS(status) : -1, out.substr(std::min(filled_, out.size()))};
    }

private:
    int readEnd_ = -1;
    pid_t child_ = -1;
    bool waited_ = false;
    std::size_t filled_ = 0;
};

// The folder's permissions are taken away while the walk stands at its
// first file: the next entry cannot be examined (ERROR_ACCESS_DENIED), the
// rest of the folder is given up, and the walk goes on in the parent. The
// run is unprivileged, as the privilege would read the folder anyway.
TEST(WalkFolder, AFolderThatCannotBeListedToItsEndIsPartiallyProcessed)
{
    TempDir share;
    TempDir work;
    ::chmod(work.path().c_str(), 0777);
    const std::string root = makeFolder(share / "root");
    const std::string sub = makeFolder(root + "/sub");
    treebuilder::makeFile(wideUncPath(sub + "/one"), plainFile(10));
    treebuilder::makeFile(wideUncPath(sub + "/two"), plainFile(10));

    BlockedAtFirstDot run({"-archiveusage", uncPath(root)}, work.path(), kNobody);
    BlockedAtFirstDot::Blocked blocked = run.waitUntilBlocked();
    if (blocked == BlockedAtFirstDot::Blocked::cannotTell) {
        GTEST_SKIP() << "the kernel does not show where a process waits (/proc/<pid>/wchan)";
    }
    ASSERT_EQ(blocked, BlockedAtFirstDot::Blocked::yes);
    ASSERT_EQ(::chmod(sub.c_str(), 0), 0);
    auto [exitCode, dots] = run.finish();
    EXPECT_EQ(exitCode, 0);
    EXPECT_EQ(dots, ".");
    EXPECT_EQ(onlyReportBytes(work.path()),
              utf16le(reportPath(root) + "\\sub: partially processed, Reason: FindNextFile failed with error(5)\r\n"
                                         "\r\nSummary\r\n-------\r\n"
                                         "\r\nArchiveName\tArchivePointRootPath\tArchived Files Original Size (KB)"
                                         "\tNon-Archived File Original Size (KB)\r\n"));
}

}  // namespace
