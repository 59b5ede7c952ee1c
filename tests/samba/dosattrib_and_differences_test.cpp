// user.DOSATTRIB values read by Samba and by the layer side by side, and the
// points where the two differ on purpose (docs/platform-differences.md,
// "What a Samba server shows"): each is checked on both sides, so that the
// page stays true for the Samba installed and for the layer.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <fstream>
#include <sstream>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

#include "tests/samba/interop_helpers.h"
#include "tools/tree_builder.h"

using namespace sambatest;
using namespace testsupport;

namespace {

struct Vector {
    std::string label;
    std::string value;
    DWORD attrib = 0;
    bool hasCreateTime = false;
};

// tests/data/dosattrib-vectors.txt, and values no vector there covers.
std::vector<Vector> vectors()
{
    std::ifstream in(std::string(STUBWARDEN_SOURCE_DIR) + "/tests/data/dosattrib-vectors.txt");
    std::vector<Vector> all;
    for (std::string line; std::getline(in, line);) {
        if (line.empty() || line[0] == '#') {
            continue;
        }
        std::istringstream fields(line);
        std::string label, hex, attrib, created;
        fields >> label >> hex >> attrib >> created;
        all.push_back({label, testsupport::bytes(hex), static_cast<DWORD>(std::stoul(attrib, nullptr, 16)), created != "-"});
    }
    // valid_flags without XATTR_DOSINFO_ATTRIB: Samba uses the attrib anyway.
    all.push_back({"v5-create-time-flag-only", testsupport::bytes("0000050005000000100000002016000000005af64cf5d401"), 0x1620,
                   true});
    all.push_back({"v4-attrib-flag-only", testsupport::bytes("00000400040000000100000027000000000000000000000000005af64cf5d401"),
                   0x27, false});
    return all;
}

// A record of tag 16 in Samba's form (the GUID counted in its length).
const std::string kSambaRecord =
    testsupport::bytes("1000000014000000") + testsupport::bytes("00112233445566778899aabbccddeeff") + "data";

void setTimes(const std::string& path, std::int64_t access, std::int64_t modification)
{
    struct timespec times[2] = {{access, 0}, {modification, 0}};
    ASSERT_EQ(::utimensat(AT_FDCWD, path.c_str(), times, AT_SYMLINK_NOFOLLOW), 0) << path;
}

}  // namespace

// Every value on a file and on a folder: the attributes and the stored
// creation time Samba serves are the ones the layer reads.
TEST(SambaDosAttrib, SambaAndTheLayerReadEveryValueAlike)
{
    std::vector<Vector> all = vectors();
    ASSERT_EQ(all.size(), 12u);
    ASSERT_EQ(::mkdir(backing("vectors").c_str(), 0755), 0);
    int n = 0;
    for (const Vector& vector : all) {
        for (bool folder : {false, true}) {
            // A file whose stored attrib has the folder bit: see the
            // differences below.
            if (!folder && (vector.attrib & FILE_ATTRIBUTE_DIRECTORY) != 0) {
                continue;
            }
            std::string relative = "vectors/" + vector.label + "-" + std::to_string(n++);
            SCOPED_TRACE(relative);
            std::string path = backing(relative);
            if (folder) {
                ASSERT_EQ(::mkdir(path.c_str(), 0755), 0);
            } else {
                writeLocalFile(path, "12345");
            }
            setXattr(path, "user.DOSATTRIB", vector.value);
            // Samba 4.22 opens a file that says it is a reparse point only
            // with its record (see the differences below).
            if (!folder && (vector.attrib & FILE_ATTRIBUTE_REPARSE_POINT) != 0) {
                setXattr(path, "user.SmbReparse", kSambaRecord);
            }
            std::optional<WIN32_FIND_DATAW> layer = layerEntry(path);
            ASSERT_TRUE(layer);
            DWORD expected = folder ? vector.attrib | FILE_ATTRIBUTE_DIRECTORY : vector.attrib;
            EXPECT_EQ(layer->dwFileAttributes, expected);
            if (folder && (vector.attrib & FILE_ATTRIBUTE_REPARSE_POINT) != 0) {
                // Samba keeps no record on a folder, and will not open one
                // that says it is a reparse point.
                RunResult refused = server().client("allinfo \"" + relative + "\"");
                EXPECT_NE(refused.standardOutput.find("NT_STATUS_NOT_A_REPARSE_POINT"), std::string::npos)
                    << refused.standardOutput;
                continue;
            }
            std::optional<AllInfo> samba = allinfo(relative);
            ASSERT_TRUE(samba);
            EXPECT_EQ(samba->attributes, expected);
            if (vector.hasCreateTime) {
                EXPECT_EQ(samba->createSeconds, 1555526400);
                EXPECT_EQ(unixSeconds(layer->ftCreationTime), 1555526400);
            }
        }
    }
}

// Where the layer shows an entry otherwise than Samba 4.22 serves it (4.17 served it alike).
TEST(SambaDifferences, AttributesTheLayerAndSambaShowOtherwise)
{
    ASSERT_EQ(::mkdir(backing("differ").c_str(), 0755), 0);
    const std::string v5Archive = testsupport::bytes("0000050005000000110000002000000000005af64cf5d401");
    const std::string v5ReadOnly = testsupport::bytes("0000050005000000110000002100000000005af64cf5d401");
    const std::string v5Folder = testsupport::bytes("0000050005000000110000001000000000005af64cf5d401");
    writeLocalFile(backing("differ/no-dosattrib"), "x");
    writeLocalFile(backing("differ/.dot-file"), "x");
    setXattr(backing("differ/.dot-file"), "user.DOSATTRIB", v5Archive);
    ASSERT_EQ(::mkdir(backing("differ/.dot-folder").c_str(), 0755), 0);
    writeLocalFile(backing("differ/folder-bit"), "x");
    setXattr(backing("differ/folder-bit"), "user.DOSATTRIB", v5Folder);
    writeLocalFile(backing("differ/target"), "x");
    setXattr(backing("differ/target"), "user.DOSATTRIB", v5ReadOnly);
    ASSERT_EQ(::symlink("target", backing("differ/link-to-file").c_str()), 0);
    ASSERT_EQ(::mkdir(backing("differ/folder").c_str(), 0755), 0);
    ASSERT_EQ(::symlink("folder", backing("differ/link-to-folder").c_str()), 0);

    const struct {
        const char* name;
        DWORD samba;
        DWORD layer;
    } cases[] = {
        // No stored attributes: Samba serves NORMAL, the layer ARCHIVE.
        {"no-dosattrib", FILE_ATTRIBUTE_NORMAL, FILE_ATTRIBUTE_ARCHIVE},
        // "hide dot files" (Samba's default) adds HIDDEN to a name that starts with a dot.
        {".dot-file", FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_ARCHIVE, FILE_ATTRIBUTE_ARCHIVE},
        {".dot-folder", FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_DIRECTORY, FILE_ATTRIBUTE_DIRECTORY},
        // Samba serves a file whose stored attrib has the folder bit as a folder.
        {"folder-bit", FILE_ATTRIBUTE_DIRECTORY, FILE_ATTRIBUTE_NORMAL},
        // Samba follows links and serves their targets.
        {"link-to-file", FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_ARCHIVE,
         FILE_ATTRIBUTE_REPARSE_POINT | FILE_ATTRIBUTE_ARCHIVE},
        {"link-to-folder", FILE_ATTRIBUTE_DIRECTORY, FILE_ATTRIBUTE_REPARSE_POINT | FILE_ATTRIBUTE_DIRECTORY},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        std::optional<AllInfo> samba = allinfo(std::string("differ/") + c.name);
        std::optional<WIN32_FIND_DATAW> layer = layerEntry(backing(std::string("differ/") + c.name));
        ASSERT_TRUE(samba && layer);
        EXPECT_EQ(samba->attributes, c.samba);
        EXPECT_EQ(layer->dwFileAttributes, c.layer);
    }

    // A dangling link: the layer lists it, Samba does not serve it.
    ASSERT_EQ(::symlink("nowhere", backing("differ/dangling").c_str()), 0);
    EXPECT_EQ(layerEntry(backing("differ/dangling")).value().dwFileAttributes,
              FILE_ATTRIBUTE_REPARSE_POINT | FILE_ATTRIBUTE_ARCHIVE);
    RunResult dangling = server().client("allinfo differ/dangling");
    EXPECT_NE(dangling.standardOutput.find("NT_STATUS_OBJECT_NAME_NOT_FOUND"), std::string::npos)
        << dangling.standardOutput;
}

// Without a stored create time Samba (4.17 and 4.22) shows the earliest of the change,
// modification and access times; the layer shows the birth time.
TEST(SambaDifferences, CreationTimeWithoutAStoredOne)
{
    ASSERT_EQ(::mkdir(backing("created").c_str(), 0755), 0);
    std::string path = backing("created/file");
    writeLocalFile(path, "x");
    setTimes(path, 981173106, 981173106);  // 2001-02-03 04:05:06 UTC
    std::optional<AllInfo> samba = allinfo("created/file");
    std::optional<WIN32_FIND_DATAW> layer = layerEntry(path);
    ASSERT_TRUE(samba && layer);
    EXPECT_EQ(samba->createSeconds, 981173106);
    struct statx status {};
    ASSERT_EQ(::statx(AT_FDCWD, path.c_str(), 0, STATX_BTIME, &status), 0);
    ASSERT_NE(status.stx_mask & STATX_BTIME, 0u) << "this file system keeps no birth time";
    std::uint64_t birth = static_cast<std::uint64_t>(status.stx_btime.tv_sec) * 10000000 +
                          status.stx_btime.tv_nsec / 100 + kUnixEpochTicks;
    EXPECT_EQ((static_cast<std::uint64_t>(layer->ftCreationTime.dwHighDateTime) << 32) |
                  layer->ftCreationTime.dwLowDateTime,
              birth);
}

// A change of attributes, times or streams made through Samba (4.17 and
// 4.22 alike) stores only the attributes it is given: the offline, sparse
// and reparse point bits of a placeholder are lost, its reparse data stays,
// and the layer then shows an ordinary file.
TEST(SambaDifferences, WritesThroughSambaDropThePlaceholderBits)
{
    ASSERT_EQ(::mkdir(backing("rewritten").c_str(), 0755), 0);
    treebuilder::FileSpec archived = treebuilder::placeholderFile(4096);
    archived.created = treebuilder::fileTimeUtc(2019, 4, 17, 18, 40);
    for (const char* name : {"attributes", "stream", "time"}) {
        treebuilder::makePlaceholder(wideUncPath(backing(std::string("rewritten/") + name)), {}, archived);
    }
    ASSERT_EQ(layerEntry(backing("rewritten/attributes")).value().dwFileAttributes, 0x1600u);
    ASSERT_EQ(allinfo("rewritten/attributes").value().attributes, 0x1600u);

    TempDir local;
    writeLocalFile(local / "notes", "notes");
    smbclient("setmode rewritten/attributes +h; put " + local / "notes" + " rewritten/stream:notes; "
              "utimes rewritten/time 2020:01:01-00:00:00 -1 -1 -1");
    const struct {
        const char* name;
        DWORD attributes;
    } cases[] = {
        {"attributes", FILE_ATTRIBUTE_HIDDEN},
        {"stream", FILE_ATTRIBUTE_ARCHIVE},  // a write sets the archive bit
        {"time", FILE_ATTRIBUTE_NORMAL},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        std::string path = backing(std::string("rewritten/") + c.name);
        EXPECT_EQ(layerEntry(path).value().dwFileAttributes, c.attributes);
        EXPECT_EQ(allinfo(std::string("rewritten/") + c.name).value().attributes, c.attributes);
        EXPECT_TRUE(xattr(path, "user.SmbReparse").has_value());
    }
}

// streams_xattr finds a stream whatever the case of its name; the layer
// needs the exact name, so a marker stored under another case is no
// archive point to the Linux build.
TEST(SambaDifferences, StreamNamesDifferingInCase)
{
    TempDir local;
    writeLocalFile(local / "marker", treebuilder::archivePointXml("AP-lower", "Lower case"));
    smbclient("mkdir case; put " + local / "marker" + " case:qmarchivepoint.xml; "
              "get case:QMArchivePoint.xml " + local / "read");
    EXPECT_EQ(readFileBytes(local / "read"), readFileBytes(local / "marker"));
    EXPECT_TRUE(xattr(backing("case"), "user.DosStream.qmarchivepoint.xml:$DATA").has_value());
    DWORD error = 0;
    EXPECT_FALSE(layerStream(backing("case"), "QMArchivePoint.xml", &error).has_value());
    EXPECT_EQ(error, static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
}
