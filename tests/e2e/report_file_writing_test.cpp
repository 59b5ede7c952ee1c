// A report that cannot be opened, or not written to the end: the run ends
// with exit code 1, the message on standard error, and the report keeps what
// was written before the failing write. The file size limit of the process
// (RLIMIT_FSIZE) stops a write part-way or at its first byte, as a full disk
// does. A link waiting under the report's name is never written through, and
// the report never takes the place of a standard stream the run was started
// without.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <grp.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include "tests/e2e/normal_mode_fixtures.h"
#include "tests/hostile/hostile_support.h"

using namespace testsupport;
using namespace normalmode;

namespace {

const std::string kFailedWrite = "Error:Failed to write report file\n";
const std::string kIncompleteWrite = "Error:Failed to write report file.  Incomplete write\n";

// The report of one bad placeholder is written as: the path, ": ", the fault,
// CR LF, then the summary in one piece.
TEST(ReportFileWriting, AWriteThatStopsEndsTheRunAndKeepsWhatWasWritten)
{
    TempDir share;
    placeholder(share / "bad", treebuilder::PlaceholderKind::WrongGuid);
    const std::string path = utf16le(reportPath(share / "bad"));
    const std::string line = utf16le(reportPath(share / "bad") + ": Incorrect GUID\r\n");
    const std::string whole = line + utf16le(summary(1, 0, 0, 0, 1, 1, 0, 0));

    const struct {
        const char* what;
        std::size_t limit;
        std::string error;  // empty: the run completes
    } cases[] = {
        {"nothing can be written", 0, kFailedWrite},
        {"inside the first write", 3, kIncompleteWrite},
        {"after the path", path.size(), kFailedWrite},
        {"inside the fault text", path.size() + 4 + 5, kIncompleteWrite},
        {"before the summary", line.size(), kFailedWrite},
        {"inside the summary", line.size() + 10, kIncompleteWrite},
        {"one byte short", whole.size() - 1, kIncompleteWrite},
        {"exactly the report", whole.size(), ""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        TempDir work;
        RunResult result = runStubwarden({uncPath(share / "bad")},
                                         {.workingDirectory = work.path(), .fileSizeLimit = c.limit});
        EXPECT_EQ(result.standardError, c.error);
        EXPECT_EQ(result.exitCode, c.error.empty() ? 2 : 1);
        EXPECT_EQ(onlyReportBytes(work.path()), whole.substr(0, c.limit));
    }
}

std::string openFailureName(const std::string& standardError)
{
    const std::string lead = "Error:Failed to open report file:";
    if (standardError.compare(0, lead.size(), lead) != 0 || standardError.back() != '\n') {
        ADD_FAILURE() << standardError;
        return {};
    }
    return standardError.substr(lead.size(), standardError.size() - lead.size() - 1);
}

// An account that may not create files in the current folder.
TEST(ReportFileOpening, AFolderThatCannotBeWrittenEndsTheRunBeforeItStarts)
{
    TempDir share;
    TempDir work;  // root's, mode 0755
    placeholder(share / "bad", treebuilder::PlaceholderKind::WrongGuid);
    const std::string target = uncPath(share / "bad");
    std::time_t first = std::time(nullptr);
    RunResult result = runAsNobody({target}, {.workingDirectory = work.path()});
    std::time_t last = std::time(nullptr);
    EXPECT_EQ(result.exitCode, 1);
    EXPECT_TRUE(isReportNameFor(openFailureName(result.standardError), target, first, last))
        << result.standardError;
    EXPECT_EQ(result.standardOutput, "");
    EXPECT_TRUE(reportFiles(work.path()).empty());
}

// A folder holds the report's name: folders wait under the names of this
// second and the next few.
TEST(ReportFileOpening, AFolderInThePlaceOfTheReportEndsTheRun)
{
    TempDir share;
    TempDir work;
    const std::string target = uncPath(share.path());
    std::time_t first = std::time(nullptr);
    for (std::time_t second = first; second < first + 10; ++second) {
        ASSERT_EQ(::mkdir((work / reportName(target, second)).c_str(), 0755), 0);
    }
    RunResult result = runStubwarden({target}, {.workingDirectory = work.path()});
    std::time_t last = std::time(nullptr);
    ASSERT_LT(last, first + 10);
    EXPECT_EQ(result.exitCode, 1);
    EXPECT_TRUE(isReportNameFor(openFailureName(result.standardError), target, first, last))
        << result.standardError;
}

// The report's name is known in advance (the target and the second), so
// whoever may write the current folder can plant a link under it. A symbolic
// link (to a file, or to none yet) is not followed, and an existing file with
// another link is refused before anything of it is emptied: the run ends
// with "Failed to open report file:" and the name, and the file the link
// leads to keeps its bytes (or is not created).
TEST(ReportFileOpening, ALinkInThePlaceOfTheReportIsNotWrittenThrough)
{
    TempDir share;
    placeholder(share / "bad", treebuilder::PlaceholderKind::WrongGuid);
    const std::string target = uncPath(share / "bad");
    const std::string precious = "precious data, not a report\n";
    const std::pair<const char*, ReportNameLink> cases[] = {
        {"symbolic link to a file elsewhere", ReportNameLink::Symbolic},
        {"symbolic link to no file yet", ReportNameLink::Dangling},
        {"hard link of a file elsewhere", ReportNameLink::Hard},
    };
    for (const auto& [label, kind] : cases) {
        SCOPED_TRACE(label);
        TempDir elsewhere;
        TempDir work;
        std::time_t first = std::time(nullptr);
        std::vector<std::string> victims =
            linkReportNames(target, first, 10, work.path(), elsewhere.path(), kind, precious);
        RunResult result = runStubwarden({target}, {.workingDirectory = work.path()});
        std::time_t last = std::time(nullptr);
        ASSERT_LT(last, first + 10);
        EXPECT_EQ(result.exitCode, 1);
        EXPECT_EQ(result.standardOutput, "");
        EXPECT_TRUE(isReportNameFor(openFailureName(result.standardError), target, first, last))
            << result.standardError;
        for (const std::string& victim : victims) {
            if (kind == ReportNameLink::Dangling) {
                EXPECT_NE(::access(victim.c_str(), F_OK), 0) << victim << " was created";
            } else {
                EXPECT_EQ(readFileBytes(victim), precious) << victim;
            }
        }
    }
}

// Runs `work` as another account (the unprivileged one, in a child process
// that drops root for good) with umask 0, so that what it makes has the
// mode it asks for; whether `work` succeeded.
bool asAnotherAccount(const std::function<bool()>& work)
{
    pid_t child = ::fork();
    if (child == 0) {
        ::umask(0);
        bool dropped = ::setgroups(0, nullptr) == 0 && ::setresgid(kNobody, kNobody, kNobody) == 0 &&
                       ::setresuid(kNobody, kNobody, kNobody) == 0;
        ::_exit(dropped && work() ? 0 : 1);
    }
    int status = 0;
    return child > 0 && ::waitpid(child, &status, 0) == child && WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

// A folder that every account may write, sticky as /tmp is: another
// account makes entries under the names the report of this second and the
// next few may get, before root's run. Whatever she made, the run ends with
// "Failed to open report file:" and the name before it writes a byte: her
// regular file keeps her bytes (she would keep the report, and could read
// or forge it), her pipe gives her reader nothing (and the run does not
// wait for it), and neither her hard link nor her symbolic link leads the
// report into her file elsewhere. Nothing else appears in the folder.
TEST(ReportFileOpening, WhatAnotherAccountPlantsUnderTheNameIsNeverWrittenInto)
{
    TempDir share;
    placeholder(share / "bad", treebuilder::PlaceholderKind::WrongGuid);
    const std::string target = uncPath(share / "bad");
    const std::string hers = "her own bytes\n";
    enum class Planted { File, Pipe, HardLink, SymbolicLink };
    const std::pair<const char*, Planted> cases[] = {
        {"her regular file, mode 0666", Planted::File},
        {"her pipe, which she reads", Planted::Pipe},
        {"her hard link to her file elsewhere", Planted::HardLink},
        {"her symbolic link to her file elsewhere", Planted::SymbolicLink},
    };
    for (const auto& [label, kind] : cases) {
        SCOPED_TRACE(label);
        TempDir work;
        TempDir elsewhere;
        ASSERT_EQ(::chmod(work.path().c_str(), 01777), 0);
        ASSERT_EQ(::chmod(elsewhere.path().c_str(), 01777), 0);
        std::time_t first = std::time(nullptr);
        std::vector<std::string> names;
        for (std::time_t second = first; second < first + 10; ++second) {
            names.push_back(reportName(target, second));
        }
        ASSERT_TRUE(asAnotherAccount([&] {
            for (const std::string& name : names) {
                const std::string entry = work / name;
                const std::string other = elsewhere / name;
                if (kind == Planted::Pipe) {
                    if (::mkfifo(entry.c_str(), 0666) != 0) {
                        return false;
                    }
                    continue;
                }
                std::ofstream(kind == Planted::File ? entry : other, std::ios::binary) << hers;
                if ((kind == Planted::HardLink && ::link(other.c_str(), entry.c_str()) != 0) ||
                    (kind == Planted::SymbolicLink && ::symlink(other.c_str(), entry.c_str()) != 0)) {
                    return false;
                }
            }
            return true;
        }));
        // Her readers, open before the run: a writer's open of the pipe
        // would succeed, and what it wrote would be hers.
        std::vector<int> readers;
        for (const std::string& name : kind == Planted::Pipe ? names : std::vector<std::string>{}) {
            readers.push_back(::open((work / name).c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC));
            ASSERT_GE(readers.back(), 0) << name;
        }
        const std::vector<std::string> before = reportFiles(work.path());

        hostile::Run run = hostile::runProgram({target}, work.path(), {}, std::chrono::seconds(60));
        std::time_t last = std::time(nullptr);
        ASSERT_LT(last, first + 10);
        EXPECT_EQ(run.exitCode, 1);
        EXPECT_EQ(run.standardOutput, "");
        EXPECT_TRUE(isReportNameFor(openFailureName(run.standardError), target, first, last)) << run.standardError;
        EXPECT_EQ(reportFiles(work.path()), before);
        for (const std::string& name : names) {
            if (kind == Planted::Pipe) {
                struct stat status {};
                EXPECT_EQ(::lstat((work / name).c_str(), &status), 0);
                EXPECT_TRUE(S_ISFIFO(status.st_mode)) << name;
            } else {
                EXPECT_EQ(readFileBytes(kind == Planted::File ? work / name : elsewhere / name), hers) << name;
            }
        }
        for (int reader : readers) {
            char byte = 0;
            EXPECT_LE(::read(reader, &byte, 1), 0) << "the report went into her pipe";
            ::close(reader);
        }
    }
}

// The report lists what the privilege let the program see: whoever runs it,
// and whatever the umask, only that account may read the new file.
TEST(ReportFileOpening, ANewReportIsTheRunnersAndOnlyTheirsToRead)
{
    TempDir share;
    placeholder(share / "bad", treebuilder::PlaceholderKind::WrongGuid);
    const std::string expected =
        utf16le(reportPath(share / "bad") + ": Incorrect GUID\r\n" + summary(1, 0, 0, 0, 1, 1, 0, 0));
    const struct {
        const char* who;
        uid_t account;
    } cases[] = {{"root", 0}, {"an unprivileged account", kNobody}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.who);
        TempDir work;
        ASSERT_EQ(::chmod(work.path().c_str(), 01777), 0);
        RunOptions options{.workingDirectory = work.path(), .environment = {}, .user = std::nullopt,
                           .group = std::nullopt, .fileSizeLimit = std::nullopt};
        if (c.account != 0) {
            options.user = c.account;
            options.group = c.account;
        }
        mode_t previous = ::umask(0);  // the child inherits it
        RunResult result = runStubwarden({uncPath(share / "bad")}, options);
        ::umask(previous);
        EXPECT_EQ(result.exitCode, 2);
        std::vector<std::string> names = reportFiles(work.path());
        ASSERT_EQ(names.size(), 1u);
        struct stat status {};
        ASSERT_EQ(::lstat((work / names.front()).c_str(), &status), 0);
        EXPECT_TRUE(S_ISREG(status.st_mode));
        EXPECT_EQ(status.st_mode & 07777, 0600u);
        EXPECT_EQ(status.st_uid, c.account);
        EXPECT_EQ(readFileBytes(work / names.front()), expected);
    }
}

// Started without standard input, output or error (">&-", as cron and
// service managers may start it), the report must not take the free
// descriptor: the progress dots of archive usage mode would land in it.
TEST(ReportFileOpening, StartedWithStandardStreamsClosedTheReportTakesNoneOfThem)
{
    TempDir share;
    const std::string point = makeFolder(share / "point");
    archivePoint(point, "ID-1", "Point");
    makePlainFile(point + "/f", 1536);
    const std::string usage = kUsageHeading + usageRow("Point", reportPath(point), "0.00", "1.50");
    const std::vector<int> cases[] = {{1}, {1, 2}, {0, 1, 2}};  // the descriptors closed
    for (const std::vector<int>& closed : cases) {
        SCOPED_TRACE(::testing::PrintToString(closed));
        TempDir work;
        hostile::Run run = hostile::runProgram({"-archiveusage", uncPath(share.path())}, work.path(), {},
                                               std::chrono::seconds(120), [&closed] {
                                                   for (int fd : closed) {
                                                       ::close(fd);
                                                   }
                                               });
        EXPECT_EQ(run.exitCode, 0);
        EXPECT_EQ(onlyReportBytes(work.path()), utf16le(usage));
    }
}

}  // namespace
