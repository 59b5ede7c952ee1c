// Archive point markers that are large, in an encoding without a byte-order
// mark, or not XML at all, read by the real program in archive usage mode.
// A marker either makes its folder an archive point with the identifier and
// name it holds, or the folder is skipped with its line; the run goes on.
// The markers live on tmpfs: a stream is one xattr, and ext4 keeps only
// about 4 KiB in one.
#include <gtest/gtest.h>

#include <filesystem>
#include <unistd.h>

#include "tests/e2e/normal_mode_fixtures.h"
#include "tests/hostile/hostile_support.h"

using namespace testsupport;
using namespace normalmode;

namespace {

std::string utf16(const std::string& ascii, bool bigEndian)
{
    std::string bytes;
    for (char c : ascii) {
        bytes += bigEndian ? std::string{'\0', c} : std::string{c, '\0'};
    }
    return bytes;
}

class HostileMarkers : public ::testing::Test {
protected:
    void SetUp() override
    {
        std::string pattern = "/dev/shm/stubwarden-test-XXXXXX";
        if (::access("/dev/shm", W_OK) != 0 || ::mkdtemp(pattern.data()) == nullptr) {
            GTEST_SKIP() << "no /dev/shm";
        }
        share_ = pattern;
    }
    void TearDown() override
    {
        if (!share_.empty()) {
            std::filesystem::remove_all(share_);
        }
    }

    // A folder holding one 1 KiB file, with this marker.
    std::string markedFolder(const std::string& name, const std::string& marker)
    {
        const std::string folder = share_ + "/" + name;
        treebuilder::makeFolder(wideUncPath(folder));
        treebuilder::makeFile(wideUncPath(folder + "/file"), plainFile(1024));
        treebuilder::makeArchivePoint(wideUncPath(folder), marker);
        return folder;
    }

    // The report; `dots` is what standard output shows: a dot before the first file walked.
    std::string usageReport(const std::string& target, const std::string& dots)
    {
        TempDir work;
        hostile::Run run = hostile::runProgram({"-archiveusage", uncPath(target)}, work.path());
        EXPECT_EQ(run.exitCode, 0);
        EXPECT_EQ(run.standardError, "");
        EXPECT_EQ(run.standardOutput, dots);
        return onlyReportBytes(work.path());
    }

    std::string share_;
};

TEST_F(HostileMarkers, MarkersThatLoadGiveTheirIdentifierAndName)
{
    const std::string document = "<archivePoint><archiveQEID>ID</archiveQEID><name>Name</name></archivePoint>";
    const std::string declared = "<?xml version=\"1.0\" encoding=\"UTF-16\"?>";
    // 60 KiB: the document after a comment that fills it up.
    std::string large = "<?xml version=\"1.0\"?><!--";
    large += std::string(61440 - large.size() - 3 - document.size(), 'x') + "-->" + document;
    ASSERT_EQ(large.size(), 61440u);
    const std::pair<const char*, std::string> cases[] = {
        {"60 KiB", large},
        {"UTF-16LE without byte-order mark", utf16(declared + document, false)},
        {"UTF-16BE without byte-order mark", utf16(declared + document, true)},
    };
    for (const auto& [label, marker] : cases) {
        SCOPED_TRACE(label);
        std::string folder;
        try {
            folder = markedFolder(label, marker);
        } catch (const treebuilder::BuildError& failure) {
            GTEST_SKIP() << "/dev/shm does not keep this marker: " << failure.what();
        }
        EXPECT_EQ(usageReport(folder, "."), utf16le(kUsageHeading + "Name\t" + reportPath(folder) + "\t0.00\t1.00\r\n"));
    }
}

TEST_F(HostileMarkers, MarkersThatDoNotLoadSkipTheirFolderAndTheWalkGoesOn)
{
    const std::string document = "<archivePoint><archiveQEID>ID</archiveQEID><name>Name</name></archivePoint>";
    std::string binary;
    for (int i = 0; i < 4096; ++i) {
        binary += static_cast<char>((i * 131 + 7) & 0xFF);
    }
    const std::pair<const char*, std::string> cases[] = {
        {"UTF-16 without byte-order mark or declaration", utf16(document, false)},
        {"not XML at all", binary},
        {"text", "QMArchivePoint: ID, Name\n"},
        {"60 KiB of elements never closed", std::string(61440 / 3, '<') + std::string(61440 / 3 * 2, 'a')},
        {"a document after 60 KiB of NULs", std::string(61440, '\0') + document},
    };
    const std::string root = share_ + "/root";
    treebuilder::makeFolder(wideUncPath(root));
    treebuilder::makeArchivePoint(wideUncPath(root), treebuilder::archivePointXml("R", "Root"));
    std::vector<std::string> expected;
    for (const auto& [label, marker] : cases) {
        SCOPED_TRACE(label);
        std::string folder;
        try {
            folder = markedFolder(std::string("root/") + label, marker);
        } catch (const treebuilder::BuildError& failure) {
            GTEST_SKIP() << "/dev/shm does not keep this marker: " << failure.what();
        }
        const std::string line = reportPath(folder) +
                                 ": skipped, Reason: CheckIsFolderAnArchivePoint failed, error(Failed to load "
                                 "archive point xml)\r\n";
        EXPECT_EQ(usageReport(folder, ""), utf16le(line + kUsageHeading));
        expected.push_back(line);
    }
    // All of them below one archive point: each skipped, the rest walked.
    treebuilder::makeFile(wideUncPath(root + "/file"), plainFile(2048));
    SplitReport split = splitReport(fromUtf16le(usageReport(root, ".")));
    EXPECT_EQ(split.sortedLines, sorted(expected));
    EXPECT_EQ(split.summary, kUsageHeading + "Root\t" + reportPath(root) + "\t0.00\t2.00\r\n");
}

// A marker of more than 1 MiB is not read: its folder is skipped. Linux
// keeps no xattr value of more than 64 KiB, so these markers are the files
// beside their folders that the layer opens for "folder:QMArchivePoint.xml".
TEST(HostileMarkerSize, AMarkerOfMoreThanOneMebibyteIsNotRead)
{
    TempDir share;
    const std::string document = utf16le("\xEF\xBB\xBF<archivePoint><archiveQEID>ID-1</archiveQEID><name>Dept</name></archivePoint>");
    for (const LargeMarker& c : kLargeMarkers) {
        SCOPED_TRACE(c.folder);
        const std::string point = makeFolder(share / c.folder);
        makePlainFile(point + "/f", 1536);
        writeLargeMarker(point + ":QMArchivePoint.xml", document, c.size);
        TempDir work;
        RunResult run = runStubwarden({"-archiveusage", uncPath(point)}, {.workingDirectory = work.path()});
        EXPECT_EQ(run.exitCode, 0);
        EXPECT_EQ(run.standardError, "");
        const std::string at = reportPath(point);
        if (c.skip.empty()) {
            EXPECT_EQ(onlyReportBytes(work.path()), utf16le(kUsageHeading + usageRow("Dept", at, "0.00", "1.50")));
        } else {
            EXPECT_EQ(run.standardOutput, "");
            EXPECT_EQ(onlyReportBytes(work.path()), utf16le(at + ": skipped, Reason: " + c.skip + "\r\n" + kUsageHeading));
        }
    }
}

}  // namespace
