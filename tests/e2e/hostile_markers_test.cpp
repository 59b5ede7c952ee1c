// Archive point markers that are large, in an encoding without a byte-order
// mark, or not XML at all, read by the real program in archive usage mode,
// and files beside a folder named as its marker, which are not read.
// A marker either makes its folder an archive point with the identifier and
// name it holds, or the folder is skipped with its line; the run goes on.
// The markers live on tmpfs: a stream is one xattr, and ext4 keeps only
// about 4 KiB in one.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <sys/stat.h>
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

// On Linux the marker of a folder is its stream, the xattr
// user.DosStream.QMArchivePoint.xml:$DATA, and nothing else: a file named
// "<folder>:QMArchivePoint.xml" beside the folder is a file like any other,
// whatever it holds, however large (the 1 MiB limit on a marker is shown
// under Wine, where such a file is the stream), and wherever it links to (a
// file only root may read, here). Folders with a stream of their own are
// archive points under it; the others are none.
TEST(HostileMarkerFiles, AFileBesideAFolderIsNeverItsMarkerLargeOrNotLinkOrNot)
{
    TempDir share;
    TempDir elsewhere;
    const std::string fake = utf16le("\xEF\xBB\xBF<archivePoint><archiveQEID>FAKE</archiveQEID><name>Fake</name></archivePoint>");
    const std::string secret = elsewhere / "secret.xml";
    std::ofstream(secret, std::ios::binary) << "<archivePoint><archiveQEID>SECRET</archiveQEID><name>root only</name>"
                                               "</archivePoint>";
    ASSERT_EQ(::chmod(secret.c_str(), 0600), 0);
    std::map<std::string, std::string> rows;  // by identifier, as the summary orders them
    auto plant = [&](const std::string& name, bool hasStream, const std::function<void(const std::string&)>& beside) {
        SCOPED_TRACE(name);
        const std::string point = makeFolder(share / name);
        makePlainFile(point + "/f", 1536);
        if (hasStream) {
            archivePoint(point, "ID-" + name, name);
            rows["ID-" + name] = usageRow(name, reportPath(point), "0.00", "1.50");
        }
        beside(point + ":QMArchivePoint.xml");
    };
    for (const LargeMarker& c : kLargeMarkers) {
        plant("a-" + c.folder, true, [&](const std::string& path) { writeLargeMarker(path, fake, c.size); });
    }
    auto small = [&](const std::string& path) { std::ofstream(path, std::ios::binary) << fake; };
    auto linked = [&](const std::string& path) { ASSERT_EQ(::symlink(secret.c_str(), path.c_str()), 0); };
    plant("b-small", true, small);
    plant("c-link", true, linked);
    plant("d-small-no-stream", false, small);
    plant("e-link-no-stream", false, linked);
    plant("f-large-no-stream", false,
          [&](const std::string& path) { writeLargeMarker(path, fake, kLargeMarkers.back().size); });

    TempDir work;
    RunResult run = runStubwarden({"-archiveusage", uncPath(share.path())}, {.workingDirectory = work.path()});
    EXPECT_EQ(run.exitCode, 0);
    EXPECT_EQ(run.standardError, "");
    EXPECT_EQ(run.standardOutput, ".");
    std::string summary = kUsageHeading;
    for (const auto& [identifier, row] : rows) {
        summary += row;
    }
    EXPECT_EQ(onlyReportBytes(work.path()), utf16le(summary));
}

}  // namespace
