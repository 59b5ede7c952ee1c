// The sample share on a real NTFS volume, dist/stubwarden-sample-ntfs.vhdx,
// as far as Linux can check it: the disk converted back to raw by qemu-img,
// its partition table as sfdisk reads it, and its volume, taken from the
// disk at the partition's offset, mounted by ntfs-3g with the package's
// plugin and audited by the package's program, which must give the report
// shipped beside it (dist/stubwarden-sample-ntfs-report.txt). The mount is
// in this test process's own mount namespace.
#include <gtest/gtest.h>

#include <fstream>
#include <regex>
#include <sys/stat.h>
#include <unistd.h>

#include "tests/ntfs3g/ntfs3g_volume.h"
#include "tests/support/release_artefacts.h"
#include "tests/support/test_support.h"

using namespace testsupport;

namespace {

const std::string kDisk = sampleNtfsDiskPath();
const std::string kShippedReport = sampleNtfsReportPath();
// Where scripts/make-sample-ntfs-disk.sh mounted the volume for its report.
const std::string kShippedRoot = "\\\\?\\UNC\\mnt\\stubwarden-sample\\share";

// scripts/make-sample-ntfs-disk.sh makes the disk only as root with
// /dev/fuse; elsewhere there is none to check. Where it can be made, it
// must be there.
#define SKIP_OR_REQUIRE_THE_DISK()                                                                           \
    do {                                                                                                     \
        if (::geteuid() != 0 || ::access("/dev/fuse", R_OK | W_OK) != 0) {                                   \
            GTEST_SKIP() << "scripts/build-packages.sh makes the sample NTFS disk only as root with /dev/fuse"; \
        }                                                                                                    \
        struct stat status {};                                                                               \
        ASSERT_EQ(::stat(kDisk.c_str(), &status), 0)                                                         \
            << kDisk << " is missing (scripts/build-packages.sh makes it as root with /dev/fuse)";          \
    } while (false)

// The disk as a raw image, in `folder`.
std::string rawDisk(const TempDir& folder)
{
    const std::string raw = folder / "disk.raw";
    RunResult converted = runProgram("/usr/bin/qemu-img", {"convert", "-f", "vhdx", "-O", "raw", kDisk, raw});
    EXPECT_EQ(converted.exitCode, 0) << "qemu-img (package qemu-utils): " << converted.standardError;
    return raw;
}

std::string partitionTable(const std::string& raw)
{
    RunResult dumped = runProgram("/usr/sbin/sfdisk", {"--dump", raw});
    EXPECT_EQ(dumped.exitCode, 0) << "sfdisk (package fdisk): " << dumped.standardError;
    return dumped.standardOutput;
}

void replaceAll(std::string& text, const std::string& from, const std::string& to)
{
    for (std::size_t at = text.find(from); at != std::string::npos; at = text.find(from, at + to.size())) {
        text.replace(at, from.size(), to);
    }
}

// A report as UTF-8, its root named "<root>": the part past the root is the
// volume's own, whatever it was mounted on.
std::string reportPastTheRoot(const std::string& bytes, const std::string& root)
{
    std::string text = fromUtf16le(bytes);
    replaceAll(text, root, "<root>");
    return text;
}

}  // namespace

TEST(SampleNtfsDisk, HoldsOneNtfsPartitionFromOneMebibyteToTheEnd)
{
    SKIP_OR_REQUIRE_THE_DISK();
    TempDir folder;
    const std::string raw = rawDisk(folder);
    std::string table = partitionTable(raw);
    replaceAll(table, raw, "<disk>");
    EXPECT_EQ(table,
              "label: dos\n"
              "label-id: 0x53574e31\n"
              "device: <disk>\n"
              "unit: sectors\n"
              "sector-size: 512\n"
              "\n"
              "<disk>1 : start=        2048, size=       63488, type=7\n");
    struct stat status {};
    ASSERT_EQ(::stat(raw.c_str(), &status), 0);
    EXPECT_EQ(status.st_size, 32 << 20);
}

TEST(SampleNtfsDisk, ItsVolumeGivesTheShippedReportAndIsConsistent)
{
    SKIP_OR_REQUIRE_THE_DISK();
    if (const std::optional<std::string> why = ntfs3gtest::enterOwnMountNamespace()) {
        GTEST_SKIP() << *why;
    }
    TempDir folder;
    const std::string raw = rawDisk(folder);
    // The partition where the table puts it.
    std::smatch entry;
    const std::string table = partitionTable(raw);
    ASSERT_TRUE(std::regex_search(table, entry, std::regex("start= *([0-9]+), size= *([0-9]+), type=7"))) << table;
    const std::string volume = folder / "volume.img";
    {
        std::ifstream in(raw, std::ios::binary);
        in.seekg(static_cast<std::streamoff>(std::stoull(entry[1].str()) * 512));
        std::string data(std::stoull(entry[2].str()) * 512, '\0');
        ASSERT_TRUE(in.read(data.data(), static_cast<std::streamsize>(data.size())));
        std::ofstream(volume, std::ios::binary).write(data.data(), static_cast<std::streamsize>(data.size()));
    }

    // The package's program and plugin.
    TempDir package;
    RunResult unpacked = runProgram("/usr/bin/dpkg-deb", {"-x", debianPackagePath(), package.path()});
    ASSERT_EQ(unpacked.exitCode, 0) << unpacked.standardError;
    const std::string mountPoint = folder / "mnt";
    const std::string runFolder = folder / "run";
    ASSERT_EQ(::mkdir(mountPoint.c_str(), 0755), 0);
    ASSERT_EQ(::mkdir(runFolder.c_str(), 0755), 0);
    {
        ntfs3gtest::Ntfs3gMount mount(volume, mountPoint, package / ("usr/" STUBWARDEN_NTFS3G_PLUGIN_FOLDER), "ro");
        RunResult ran = runProgram(package / "usr/bin/stubwarden", {uncPath(mountPoint + "/share")},
                                   {.workingDirectory = runFolder});
        EXPECT_EQ(ran.exitCode, 2) << ran.standardError;  // the sample's bad placeholders
        EXPECT_EQ(ran.standardError, "");
    }
    const std::string shipped = reportPastTheRoot(readFileBytes(kShippedReport), kShippedRoot);
    EXPECT_EQ(reportPastTheRoot(onlyReportBytes(runFolder), reportPath(mountPoint + "/share")), shipped);
    // The sample share's own figures, so that an empty pair cannot pass.
    EXPECT_NE(shipped.find("<root>\\dept\\reports\\broken-guid.pdf: Incorrect GUID\r\n"), std::string::npos) << shipped;
    EXPECT_NE(shipped.find("Total files:20\r\n"), std::string::npos) << shipped;

    RunResult checked = runProgram("/usr/bin/ntfsfix", {"--no-action", volume});
    EXPECT_EQ(checked.exitCode, 0) << checked.standardOutput << checked.standardError;
}
