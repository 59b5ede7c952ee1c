// Stubwarden, the real binaries, on a real NTFS volume through ntfs-3g: the
// sample share built there by stubwarden-tree (the layer's NTFS convention:
// ntfs-3g's own xattrs), audited and repaired, with the same reports as the
// same share on the temporary folder's file system (Samba's convention);
// the rehearsal's verdict there; and the same volume mounted without the
// plugin for the placeholders.
#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <memory>
#include <sstream>
#include <sys/stat.h>
#include <vector>

#include "tests/ntfs3g/ntfs3g_volume.h"
#include "tests/support/test_support.h"

using namespace testsupport;
using namespace ntfs3gtest;

namespace {

const std::string kSampleTree = std::string(STUBWARDEN_SOURCE_DIR) + "/samples/sample-share.tree";
const std::string kReparseData = "system.ntfs_reparse_data";

// The placeholders -fixphs repairs, and the ones it must leave as they are.
const std::string kRepairable = "dept/reports/2020-q1.pdf";
const std::vector<std::string> kPlaceholders = {
    "old-minutes.doc",           "dept/reports/2019-q1.pdf",         "dept/reports/2019-q2.pdf",
    "dept/reports/2019-q3.pdf",  "dept/reports/broken-guid.pdf",     "dept/reports/broken-magic.pdf",
    "dept/reports/broken-signature.pdf", "dept/reports/unended-signature.pdf", "dept/reports/ftp-url.pdf",
    "dept/reports/empty-url.pdf", kRepairable,                       "dept/reports/2020-q2.pdf",
    "dept/reports/2020-q3.pdf",  "dept/projects/survey-scans.zip"};

const std::string kPluginMissing =
    "stubwarden: ntfs-3g shows the placeholders (reparse tag 16) of this NTFS volume as symbolic links, so their "
    "sizes are not known and they cannot be repaired; install the ntfs-3g plugin of the stubwarden package "
    "(ntfs-plugin-00000010.so in ntfs-3g's plugin folder, /usr/lib/x86_64-linux-gnu/ntfs-3g on Debian) and mount "
    "the volume again\n";

// A report as UTF-8, its root's own name replaced by "<root>", split into
// the file lines (each with the dump lines that follow it), sorted, since a
// listing's order is the file system's, and the rest, in order.
struct Report {
    std::vector<std::string> files;
    std::string rest;
};

void replaceAll(std::string& text, const std::string& from, const std::string& to)
{
    for (std::size_t at = text.find(from); at != std::string::npos; at = text.find(from, at + to.size())) {
        text.replace(at, from.size(), to);
    }
}

Report readReport(const std::string& folder, const std::string& root)
{
    std::string text = fromUtf16le(onlyReportBytes(folder));
    replaceAll(text, reportPath(root), "<root>");
    replaceAll(text, uncPath(root), "<root>");
    Report report;
    std::istringstream lines(text);
    std::string line;
    bool inFile = false;
    while (std::getline(lines, line)) {
        if (line.rfind("<root>\\", 0) == 0) {
            report.files.push_back(line + "\n");
            inFile = true;
        } else if (inFile && !line.empty() && line != "\r") {
            report.files.back() += line + "\n";
        } else {
            inFile = false;
            report.rest += line + "\n";
        }
    }
    std::sort(report.files.begin(), report.files.end());
    return report;
}

// What differs between the two volumes, and is not Stubwarden's: the time
// each build made its link, and the size of another vendor's reparse point
// (dedup-chunk.dat, 64 KiB), which ntfs-3g cannot give without a plugin for
// that tag (docs/ntfs-volumes.md): 0 in its file line, and 64 KB less in
// the non-archived size of its archive point.
Report withoutKnownDifferences(Report report)
{
    replaceAll(report.rest, "Department archive\t<root>\\dept\t3584.00\t11618.04\r",
               "Department archive\t<root>\\dept\t3584.00\t11554.04\r");
    for (std::string& file : report.files) {
        if (file.rfind("<root>\\dept\\latest-report.pdf(Created:", 0) == 0) {
            file.replace(file.find("(Created:") + 9, 21, "<made>");
        }
        if (file.rfind("<root>\\dept\\dedup-chunk.dat(", 0) == 0) {
            replaceAll(file, "Size:65536,", "Size:0,");
        }
    }
    std::sort(report.files.begin(), report.files.end());
    return report;
}

class NtfsVolume : public ::testing::Test {
protected:
    void SetUp() override
    {
        if (unavailable()) {
            GTEST_SKIP() << *unavailable();
        }
        ASSERT_EQ(::mkdir(mountPoint().c_str(), 0755), 0);
        makeImage(image());
    }

    [[nodiscard]] std::string image() const { return work_ / "volume.img"; }
    [[nodiscard]] std::string mountPoint() const { return work_ / "mnt"; }
    [[nodiscard]] std::string share() const { return mountPoint() + "/share"; }

    [[nodiscard]] std::unique_ptr<Ntfs3gMount> withThePlugin() const
    {
        return std::make_unique<Ntfs3gMount>(image(), mountPoint(), STUBWARDEN_NTFS3G_PLUGIN_BUILD_FOLDER);
    }
    [[nodiscard]] std::unique_ptr<Ntfs3gMount> withoutThePlugin() const
    {
        return std::make_unique<Ntfs3gMount>(image(), mountPoint(), noPlugins_.path());
    }

    static void build(const std::string& root)
    {
        RunResult built = runProgram(STUBWARDEN_TREE_BINARY, {root, kSampleTree});
        ASSERT_EQ(built.exitCode, 0) << built.standardError;
    }

    // One run in a fresh folder of its own; its report, as readReport reads it.
    Report run(const std::vector<std::string>& options, const std::string& root, RunResult* result = nullptr)
    {
        const std::string folder = runs_ / std::to_string(runCount_++);
        EXPECT_EQ(::mkdir(folder.c_str(), 0755), 0);
        std::vector<std::string> arguments = options;
        arguments.push_back(uncPath(root));
        RunResult ran = runStubwarden(arguments, {.workingDirectory = folder});
        EXPECT_GE(ran.exitCode, 0) << "killed";
        if (result != nullptr) {
            *result = ran;
        }
        return readReport(folder, root);
    }

    TempDir work_;
    TempDir runs_;
    TempDir noPlugins_;  // an empty plugin folder: ntfs-3g alone
    int runCount_ = 0;
};

std::map<std::string, std::string> recordsOf(const std::string& root)
{
    std::map<std::string, std::string> records;
    for (const std::string& name : kPlaceholders) {
        records[name] = xattr(root + "/" + name, kReparseData).value_or("(none)");
    }
    return records;
}

// Every mode gives the report it gives for the same share kept in Samba's
// convention; -fixphs rewrites the record in NTFS's own structures, and
// leaves a volume that ntfsfix finds consistent.
TEST_F(NtfsVolume, TheSampleShareGivesTheReportsItGivesInSambasConvention)
{
    TempDir ext;
    const std::string reference = ext / "share";
    build(reference);
    std::map<std::string, std::string> before;
    {
        auto mount = withThePlugin();
        build(share());
        before = recordsOf(share());
        const std::vector<std::vector<std::string>> modes = {{}, {"-v", "-d"}, {"-archiveusage"}, {"-fixphs"}};
        for (const std::vector<std::string>& mode : modes) {
            SCOPED_TRACE(mode.empty() ? "normal" : mode[0]);
            RunResult onNtfs;
            RunResult onReference;
            Report ntfs = run(mode, share(), &onNtfs);
            Report expected = withoutKnownDifferences(run(mode, reference, &onReference));
            ntfs = withoutKnownDifferences(ntfs);
            EXPECT_EQ(ntfs.files, expected.files);
            EXPECT_EQ(ntfs.rest, expected.rest);
            EXPECT_EQ(onNtfs.exitCode, onReference.exitCode);
            EXPECT_EQ(onNtfs.standardError, "");
        }
        // The repaired record, read back through ntfs-3g; the others as built.
        std::map<std::string, std::string> after = recordsOf(share());
        EXPECT_EQ(after[kRepairable], repairedRecord(before[kRepairable]));
        after.erase(kRepairable);
        before.erase(kRepairable);
        EXPECT_EQ(after, before);
    }
    RunResult checked = runProgram("/bin/ntfsfix", {"--no-action", image()});
    EXPECT_EQ(checked.exitCode, 0) << checked.standardOutput << checked.standardError;
    EXPECT_NE(checked.standardOutput.find("was processed successfully"), std::string::npos) << checked.standardOutput;
}

// The rehearsal's checks all hold on an NTFS volume. Its probe sees that
// ntfs-3g shows another vendor's reparse point (no plugin for its tag) with
// no size, says so, and expects that file at size 0.
// (It runs only where no other account may change the folders on the way:
// ntfs-3g's default mode for everything is 0777, umask=022 makes it 0755.)
TEST_F(NtfsVolume, TheRehearsalPassesEveryCheck)
{
    Ntfs3gMount mount(image(), mountPoint(), STUBWARDEN_NTFS3G_PLUGIN_BUILD_FOLDER, "umask=022");
    RunResult rehearsal =
        runProgram(STUBWARDEN_REHEARSE_BINARY, {"--stubwarden", STUBWARDEN_BINARY, mountPoint() + "/rehearsal"});
    EXPECT_EQ(rehearsal.exitCode, 0) << rehearsal.standardOutput << rehearsal.standardError;
    std::vector<std::string> failed;
    std::istringstream lines(rehearsal.standardOutput);
    for (std::string line; std::getline(lines, line);) {
        if (line.find("FAIL") != std::string::npos || line.rfind("          ", 0) == 0) {
            failed.push_back(line);
        }
    }
    EXPECT_EQ(failed, std::vector<std::string>{}) << rehearsal.standardOutput;
    EXPECT_NE(rehearsal.standardOutput.find(
                  "  note  a reparse point of another kind shows no size on this volume (no handler for its tag), so "
                  "Stubwarden is expected to list such files at size 0\n"),
              std::string::npos)
        << rehearsal.standardOutput;
    EXPECT_EQ(rehearsal.standardError, "");
}

// Without the plugin every placeholder is ntfs-3g's link to its text: the
// run still reads each as the reparse point it is, says once what is
// missing, and writes nothing, -fixphs included.
TEST_F(NtfsVolume, WithoutThePluginTheRunSaysWhatIsMissingAndWritesNothing)
{
    {
        auto mount = withThePlugin();
        build(share());
    }
    auto mount = withoutThePlugin();
    std::map<std::string, std::string> before = recordsOf(share());
    for (const std::vector<std::string>& mode : std::vector<std::vector<std::string>>{{"-v"}, {"-fixphs"}}) {
        SCOPED_TRACE(mode[0]);
        RunResult result;
        Report report = run(mode, share(), &result);
        EXPECT_EQ(result.standardError, kPluginMissing);
        // Each placeholder is still judged from its record: the valid ones
        // (listed with -v), with the size 0 that is not known.
        for (const char* name : {"old-minutes.doc", "dept\\reports\\2019-q1.pdf"}) {
            if (mode[0] != "-v") {
                break;
            }
            auto line = std::find_if(report.files.begin(), report.files.end(), [&](const std::string& file) {
                return file.rfind("<root>\\" + std::string(name) + "(", 0) == 0;
            });
            ASSERT_NE(line, report.files.end()) << name;
            EXPECT_NE(line->find(", Size:0, Reparse point"), std::string::npos) << *line;
            EXPECT_NE(line->find("):Valid QM PH"), std::string::npos) << *line;
        }
        EXPECT_NE(report.rest.find("Fixed placeholders:0\r\n"), std::string::npos) << report.rest;
        if (mode[0] == "-fixphs") {
            auto repair = std::find_if(report.files.begin(), report.files.end(), [](const std::string& file) {
                return file.rfind("<root>\\dept\\reports\\2020-q1.pdf:", 0) == 0;
            });
            ASSERT_NE(repair, report.files.end());
            EXPECT_EQ(repair->find(", Fixed"), std::string::npos) << *repair;
        }
    }
    EXPECT_EQ(recordsOf(share()), before);
}

}  // namespace
