// A report that cannot be opened, or not written to the end: the run ends
// with exit code 1, the message on standard error, and the report keeps what
// was written before the failing write. The file size limit of the process
// (RLIMIT_FSIZE) stops a write part-way or at its first byte, as a full disk
// does. A link waiting under the report's name is never written through, and
// the report never takes the place of a standard stream the run was started
// without.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>
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
