// The report file: its name from the target as given and the start time, its
// place (the current folder), its encoding (UTF-16LE without a byte-order
// mark), and a stale file of the same name.
#include <gtest/gtest.h>

#include <fstream>
#include <sys/stat.h>

#include "tests/e2e/normal_mode_fixtures.h"

using namespace testsupport;
using namespace normalmode;

namespace {

// The one report in the folder, which must carry the name the program gives
// the target in one of the seconds the run lasted.
std::string reportNamedFor(const std::string& folder, const std::string& target, std::time_t first,
                           std::time_t last)
{
    std::vector<std::string> names = reportFiles(folder);
    EXPECT_EQ(names.size(), 1u);
    if (names.size() != 1) {
        return {};
    }
    if (isReportNameFor(names.front(), target, first, last)) {
        return readFileBytes(folder + "/" + names.front());
    }
    ADD_FAILURE() << names.front() << " is not the name of " << target << " between " << first << " and " << last;
    return {};
}

TEST(ReportFileName, ComesFromTheTargetAsGivenAndTheStartTime)
{
    TempDir share;
    const std::string root = share / "Grüße";
    ASSERT_EQ(::mkdir(root.c_str(), 0755), 0);
    const std::string base = share.path().substr(1);  // "tmp/stubwarden-test-XXXXXX"
    std::string dashed = base;
    std::replace(dashed.begin(), dashed.end(), '/', '-');

    const struct {
        std::string target;
        std::string nameWithoutTime;
    } cases[] = {
        {uncPath(root), dashed + "-Grüße"},
        {reportPath(root), dashed + "-Grüße"},
        {uncPath(root) + "\\", dashed + "-Grüße-"},
        {reportPath(root) + "\\", dashed + "-Grüße-"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.target);
        TempDir work;
        std::time_t first = std::time(nullptr);
        RunResult result = runStubwarden({c.target}, {.workingDirectory = work.path()});
        std::time_t last = std::time(nullptr);
        EXPECT_EQ(result.exitCode, 0);
        std::vector<std::string> names = reportFiles(work.path());
        ASSERT_EQ(names.size(), 1u);
        bool matched = false;
        for (std::time_t second = first; second <= last; ++second) {
            matched = matched || names.front() == c.nameWithoutTime + "-" + std::to_string(second) + ".txt";
        }
        EXPECT_TRUE(matched) << names.front();
        // Nothing is written beside the target.
        EXPECT_TRUE(reportFiles(root).empty());
    }
}

// A forward slash separates folders as a backslash does, in the target and in
// a file name: it becomes "-" as well, so the report still lands in the
// current folder, and "/.." cannot lead it out.
TEST(ReportFileName, ForwardSlashesBecomeHyphensToo)
{
    TempDir share;
    const std::string root = share / "root";
    ASSERT_EQ(::mkdir(root.c_str(), 0755), 0);
    placeholder(root + "/bad", treebuilder::PlaceholderKind::WrongGuid);
    const struct {
        std::string target;
        std::string reportedRoot;
    } cases[] = {
        {uncPath(share.path()) + "/root", reportPath(share.path()) + "/root"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.target);
        TempDir work;
        std::time_t first = std::time(nullptr);
        RunResult result = runStubwarden({c.target}, {.workingDirectory = work.path()});
        std::time_t last = std::time(nullptr);
        EXPECT_EQ(result.standardError, "");
        EXPECT_EQ(result.exitCode, 2);
        EXPECT_EQ(reportNamedFor(work.path(), c.target, first, last),
                  utf16le(c.reportedRoot + "\\bad: Incorrect GUID\r\n" + summary(1, 0, 0, 0, 1, 1, 0, 0)));
        EXPECT_EQ(reportFiles(work.path()).front().find('/'), std::string::npos);
    }
}

// A target whose report name would pass the 255 bytes a name may hold is
// audited all the same: the name is cut, with a hash of the whole, and a
// second target that differs only beyond the cut gets a name of its own.
TEST(ReportFileName, ATargetTooLongForTheNameIsAuditedUnderAShortenedName)
{
    TempDir share;
    const std::string middle = makeFolder(share / std::string(120, 'm'));
    const std::string folders[] = {makeFolder(middle + "/" + std::string(120, 'x')),
                                   makeFolder(middle + "/" + std::string(119, 'x') + "y")};
    std::vector<std::string> names;
    for (const std::string& folder : folders) {
        SCOPED_TRACE(folder);
        placeholder(folder + "/bad", treebuilder::PlaceholderKind::WrongGuid);
        const std::string target = uncPath(folder);
        ASSERT_GT(target.size(), 255u);
        TempDir work;
        std::time_t first = std::time(nullptr);
        RunResult result = runStubwarden({target}, {.workingDirectory = work.path()});
        std::time_t last = std::time(nullptr);
        EXPECT_EQ(result.standardError, "");
        EXPECT_EQ(result.exitCode, 2);
        EXPECT_EQ(reportNamedFor(work.path(), target, first, last),
                  utf16le(reportPath(folder) + "\\bad: Incorrect GUID\r\n" + summary(1, 0, 0, 0, 1, 1, 0, 0)));
        ASSERT_EQ(reportFiles(work.path()).size(), 1u);
        names.push_back(reportFiles(work.path()).front());
        EXPECT_LE(names.back().size(), 255u);
        EXPECT_EQ(names.back().compare(names.back().size() - 15, 1, "-"), 0) << "the seconds stay";
    }
    // The two names, without their seconds, are not the same.
    EXPECT_NE(names[0].substr(0, names[0].size() - 15), names[1].substr(0, names[1].size() - 15));
}

// Two backslashes in a row go first, left to right, so three leave one; the
// run itself fails on such a target, after the report has been created.
TEST(ReportFileName, ARunOfThreeBackslashesLeavesOneHyphen)
{
    TempDir work;
    const std::string target = "\\\\\\srv\\share";
    std::time_t first = std::time(nullptr);
    RunResult result = runStubwarden({target}, {.workingDirectory = work.path()});
    std::time_t last = std::time(nullptr);
    EXPECT_EQ(result.exitCode, 1);
    EXPECT_EQ(result.standardError, "Error:GetFileAttributes:161, path:\\\\?\\UNC\\\\srv\\share\n");
    EXPECT_EQ(reportNamedFor(work.path(), target, first, last), "");
    std::vector<std::string> names = reportFiles(work.path());
    ASSERT_EQ(names.size(), 1u);
    EXPECT_EQ(names.front().substr(0, 11), "-srv-share-");
}

// Both runs, retried until they fall in one second, write the same file name.
TEST(ReportFileName, TheSameShareInBothFormsInOneSecondGivesOneName)
{
    TempDir share;
    for (int attempt = 0; attempt < 5; ++attempt) {
        TempDir unc;
        TempDir prefixed;
        std::time_t first = std::time(nullptr);
        runStubwarden({uncPath(share.path())}, {.workingDirectory = unc.path()});
        runStubwarden({reportPath(share.path())}, {.workingDirectory = prefixed.path()});
        if (std::time(nullptr) != first) {
            continue;
        }
        EXPECT_EQ(reportFiles(unc.path()), reportFiles(prefixed.path()));
        EXPECT_EQ(reportFiles(unc.path()), std::vector<std::string>{reportName(uncPath(share.path()), first)});
        return;
    }
    GTEST_SKIP() << "no two runs fell within one second";
}

TEST(ReportFileContent, IsUtf16LittleEndianWithoutAByteOrderMark)
{
    TempDir share;
    TempDir work;
    placeholder(share / "bad", treebuilder::PlaceholderKind::WrongMagic);
    RunResult result = runStubwarden({uncPath(share / "bad")}, {.workingDirectory = work.path()});
    EXPECT_EQ(result.exitCode, 2);
    std::string report = onlyReportBytes(work.path());
    ASSERT_GE(report.size(), 4u);
    EXPECT_EQ(report.substr(0, 4), std::string("\\\0\\\0", 4));  // the path's first character, low byte first
    EXPECT_EQ(report, utf16le(reportPath(share / "bad") + ": Incorrect magic value\r\n" +
                              summary(1, 0, 0, 0, 1, 1, 0, 0)));

    // A report without file lines starts with the summary's empty line.
    TempDir empty;
    TempDir quietWork;
    runStubwarden({uncPath(empty.path())}, {.workingDirectory = quietWork.path()});
    std::string quiet = onlyReportBytes(quietWork.path());
    EXPECT_EQ(quiet.substr(0, 4), std::string("\r\0\n\0", 4));
}

// A file left with the report's name (same target, same second) is emptied
// when the report is opened, so no stale tail stays behind the new report.
// The second is not known beforehand: stale files wait under the names of
// this second and the next few.
TEST(ReportFileContent, AStaleFileOfTheSameNameIsReplacedWhole)
{
    TempDir share;
    TempDir work;
    placeholder(share / "bad", treebuilder::PlaceholderKind::WrongGuid);
    const std::string target = uncPath(share / "bad");
    const std::string stale(100000, 'S');
    std::time_t now = std::time(nullptr);
    std::vector<std::string> candidates;
    for (std::time_t second = now; second < now + 10; ++second) {
        candidates.push_back(reportName(target, second));
        std::ofstream(work / candidates.back(), std::ios::binary) << stale;
    }
    RunResult result = runStubwarden({target}, {.workingDirectory = work.path()});
    EXPECT_EQ(result.exitCode, 2);
    const std::string expected =
        utf16le(reportPath(share / "bad") + ": Incorrect GUID\r\n" + summary(1, 0, 0, 0, 1, 1, 0, 0));
    int replaced = 0;
    for (const std::string& name : candidates) {
        std::string bytes = readFileBytes(work / name);
        if (bytes == expected) {
            ++replaced;
        } else {
            EXPECT_EQ(bytes, stale) << name;
        }
    }
    EXPECT_EQ(replaced, 1);
    EXPECT_EQ(reportFiles(work.path()).size(), candidates.size());
}

}  // namespace
