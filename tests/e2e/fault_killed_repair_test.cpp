// A run with -fixphs over thousands of repairable records, killed at a
// random moment: every record is either the old one or the repaired one,
// never a mix, every record the report calls fixed is repaired, and the
// next run repairs exactly the rest.
#include <gtest/gtest.h>

#include <chrono>
#include <csignal>
#include <fcntl.h>
#include <map>
#include <random>
#include <sys/stat.h>
#include <sys/wait.h>
#include <sys/xattr.h>
#include <thread>
#include <unistd.h>

#include "platform/text_conversion.h"
#include "tests/e2e/normal_mode_fixtures.h"

using namespace testsupport;
using namespace normalmode;
using treebuilder::PlaceholderKind;

namespace {

constexpr int kRecords = 3000;

std::string storedRecord(const std::string& path)
{
    std::string value(65536, '\0');
    ssize_t size = ::getxattr(path.c_str(), "user.SmbReparse", value.data(), value.size());
    value.resize(size < 0 ? 0 : static_cast<std::size_t>(size));
    return value;
}

std::string repaired(const std::string& record)
{
    std::string padded = record + std::string(2654 > record.size() ? 2654 - record.size() : 0, '\0');
    padded.replace(84, 2050, padded, 604, 2050);
    padded.replace(80, 4, std::string("\x01\x00\x00\x00", 4));
    return padded.substr(0, record.size());
}

std::size_t fileSize(const std::string& folder)
{
    std::vector<std::string> names = reportFiles(folder);
    struct stat status {};
    return names.size() == 1 && ::stat((folder + "/" + names.front()).c_str(), &status) == 0
               ? static_cast<std::size_t>(status.st_size)
               : 0;
}

TEST(FaultKilledRepair, EveryRecordIsOldOrRepairedAndTheNextRunRepairsTheRest)
{
    TempDir share;
    const std::string root = share / "root";
    treebuilder::makeFolder(wideUncPath(root));
    std::map<std::string, std::string> before;
    for (int i = 0; i < kRecords; ++i) {
        // Each record its own URL, so that a record taken for another shows.
        const std::string name = "misplaced-" + std::to_string(i) + ".doc";
        treebuilder::makePlaceholder(
            wideUncPath(root + "/" + name),
            {.kind = PlaceholderKind::Misplaced, .url = wideText("http://archive.example/" + name)},
            archivedFile());
        before[name] = storedRecord(root + "/" + name);
    }
    const std::size_t lineBytes = 2 * (reportPath(root) + "\\misplaced-1000.doc: Invalid URL, Fixed\r\n").size();

    // Killed once its report holds between 5 % and 80 % of the lines.
    std::random_device device;
    const unsigned seed = device();
    SCOPED_TRACE("seed " + std::to_string(seed));
    std::mt19937 random(seed);
    const std::size_t killAt = std::uniform_int_distribution<std::size_t>(kRecords / 20, kRecords * 4 / 5)(random) * lineBytes;

    TempDir first;
    pid_t child = ::fork();
    if (child == 0) {
        int null = ::open("/dev/null", O_WRONLY);
        ::dup2(null, 1);
        ::dup2(null, 2);
        if (::chdir(first.path().c_str()) != 0) {
            ::_exit(126);
        }
        ::setenv("TZ", "UTC", 1);
        std::string target = uncPath(root);
        ::execl(STUBWARDEN_BINARY, STUBWARDEN_BINARY, "-fixphs", target.c_str(), static_cast<char*>(nullptr));
        ::_exit(127);
    }
    int status = 0;
    bool ended = false;
    for (auto start = std::chrono::steady_clock::now(); std::chrono::steady_clock::now() - start < std::chrono::minutes(2);) {
        if (::waitpid(child, &status, WNOHANG) == child) {
            ended = true;
            break;
        }
        if (fileSize(first.path()) >= killAt) {
            break;
        }
        std::this_thread::sleep_for(std::chrono::microseconds(200));
    }
    if (!ended) {
        ::kill(child, SIGKILL);
        ::waitpid(child, &status, 0);
    }
    ASSERT_TRUE(WIFSIGNALED(status)) << "the run ended before it was killed";

    std::vector<std::string> stillOld;
    std::size_t repairedCount = 0;
    for (const auto& [name, record] : before) {
        const std::string now = storedRecord(root + "/" + name);
        if (now == record) {
            stillOld.push_back(name);
        } else {
            ++repairedCount;
            EXPECT_EQ(now, repaired(record)) << name << " is neither the old record nor the repaired one";
        }
    }
    EXPECT_GT(repairedCount, 0u);
    EXPECT_GT(stillOld.size(), 0u);
    // What the killed run reported fixed is fixed; at most the record it
    // was killed at is repaired without its line.
    const std::string partial = fromUtf16le(onlyReportBytes(first.path()));
    std::vector<std::string> reportedFixed;
    for (const std::string& record : reportRecords(partial)) {
        if (record.ends_with(": Invalid URL, Fixed\r\n")) {
            std::string path = record.substr(0, record.size() - std::string(": Invalid URL, Fixed\r\n").size());
            reportedFixed.push_back(path.substr(path.rfind('\\') + 1));
        }
    }
    for (const std::string& name : reportedFixed) {
        EXPECT_NE(storedRecord(root + "/" + name), before[name]) << name << " reported fixed";
    }
    EXPECT_LE(repairedCount - reportedFixed.size(), 1u);

    TempDir second;
    RunResult again = runStubwarden({"-fixphs", uncPath(root)}, {.workingDirectory = second.path()});
    EXPECT_EQ(again.exitCode, 2);
    std::vector<std::string> expected;
    for (const std::string& name : stillOld) {
        expected.push_back(reportPath(root) + "\\" + name + ": Invalid URL, Fixed\r\n");
    }
    SplitReport split = splitReport(fromUtf16le(onlyReportBytes(second.path())));
    EXPECT_EQ(split.sortedLines, sorted(expected));
    const auto rest = static_cast<unsigned>(stillOld.size());
    EXPECT_EQ(split.summary, summary(kRecords, 0, 0, kRecords - rest, rest, 0, rest, 0));
    for (const auto& [name, record] : before) {
        EXPECT_EQ(storedRecord(root + "/" + name), repaired(record)) << name;
    }

    TempDir third;
    RunResult clean = runStubwarden({"-fixphs", uncPath(root)}, {.workingDirectory = third.path()});
    EXPECT_EQ(clean.exitCode, 0);
    EXPECT_EQ(onlyReportBytes(third.path()), utf16le(summary(kRecords, 0, 0, kRecords, 0, 0, 0, 0)));
}

}  // namespace
