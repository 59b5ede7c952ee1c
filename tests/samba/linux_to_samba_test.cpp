// The Linux build writes, Samba serves: a rehearsal tree that
// stubwarden-tree builds in the backing folder is what smbclient sees, with
// the same attributes, creation times, sizes, and stream names, sizes and
// content.
#include <gtest/gtest.h>

#include <map>
#include <vector>

#include "tests/samba/interop_helpers.h"
#include "tools/tree_builder.h"

using namespace sambatest;
using namespace testsupport;

namespace {

const char kDescription[] = R"(# Every kind of entry whose state lives in Samba's xattrs.
marker      dept  id=AP-9 name="Rehearsal"
stream      dept  name=extra hex="00 01 02 03"
file        dept/plain.txt  content="hello world" created=2018-05-06T07:08:09Z
stream      dept/plain.txt  name=notes text="some notes"
stream      dept/plain.txt  name=Zone.Identifier text="[ZoneTransfer]"
file        dept/flags.txt  size=100 created=2017-01-02T03:04:05Z attributes=readonly,hidden,system,archive
file        dept/big.bin    size=5MiB created=2015-03-04T05:06:07Z sparse
placeholder dept/q1.pdf     size=2MiB created=2019-04-17T18:40:00Z
placeholder dept/q2.pdf     kind=misplaced length=2630 size=3MiB created=2019-04-18T08:00:00Z attributes=offline
file        dept/sub/deep.txt  content="x" created=2014-07-08T09:10:11Z attributes=hidden
)";


struct Expected {
    std::string path;  // relative to the tree's root
    DWORD layerAttributes;
    std::int64_t created;  // Unix seconds; 0: a folder, whose creation time nothing stored
    std::map<std::string, std::uint64_t> streams;
};

}  // namespace

TEST(LinuxToSamba, ARehearsalTreeIsWhatSmbclientSees)
{
    TempDir local;
    writeLocalFile(local / "tree", kDescription);
    RunResult built = runProgram(STUBWARDEN_TREE_BINARY, {backing("l2s"), local / "tree"});
    ASSERT_EQ(built.exitCode, 0) << built.standardError;

    // A placeholder's attributes replace the archive bit, as the product leaves it.
    const DWORD placeholder = FILE_ATTRIBUTE_REPARSE_POINT | FILE_ATTRIBUTE_SPARSE_FILE | FILE_ATTRIBUTE_OFFLINE;
    const std::string marker = treebuilder::archivePointXml("AP-9", "Rehearsal");
    const std::vector<Expected> entries = {
        {"dept", FILE_ATTRIBUTE_DIRECTORY, 0, {{"QMArchivePoint.xml", marker.size()}, {"extra", 4}}},
        {"dept/sub", FILE_ATTRIBUTE_DIRECTORY, 0, {}},
        {"dept/plain.txt", FILE_ATTRIBUTE_ARCHIVE, 1525590489, {{"notes", 10}, {"Zone.Identifier", 14}}},
        {"dept/flags.txt",
         FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM | FILE_ATTRIBUTE_ARCHIVE, 1483326245,
         {}},
        {"dept/big.bin", FILE_ATTRIBUTE_SPARSE_FILE | FILE_ATTRIBUTE_ARCHIVE, 1425445567, {}},
        {"dept/q1.pdf", placeholder, 1555526400, {}},
        {"dept/q2.pdf", FILE_ATTRIBUTE_REPARSE_POINT | FILE_ATTRIBUTE_OFFLINE, 1555574400, {}},
        {"dept/sub/deep.txt", FILE_ATTRIBUTE_HIDDEN, 1404810611, {}},
    };
    for (const Expected& expected : entries) {
        SCOPED_TRACE(expected.path);
        std::optional<WIN32_FIND_DATAW> layer = layerEntry(backing("l2s/" + expected.path));
        std::optional<AllInfo> samba = allinfo("l2s/" + expected.path);
        ASSERT_TRUE(layer && samba);
        EXPECT_EQ(layer->dwFileAttributes, expected.layerAttributes);
        // Samba 4.22 shows a reparse point as such (4.17 knew none and hid
        // FILE_ATTRIBUTE_REPARSE_POINT): both sides alike.
        EXPECT_EQ(samba->attributes, expected.layerAttributes);
        if (expected.created != 0) {
            EXPECT_EQ(unixSeconds(layer->ftCreationTime), expected.created);
            EXPECT_EQ(samba->createSeconds, expected.created);
        }
        if (samba->size || fileSize(*layer) != 0) {
            EXPECT_EQ(samba->size, fileSize(*layer));
        }
        EXPECT_EQ(samba->streams, expected.streams);
        for (const auto& [name, size] : expected.streams) {
            std::optional<std::string> content = layerStream(backing("l2s/" + expected.path), name);
            ASSERT_TRUE(content) << name;
            EXPECT_EQ(content->size(), size) << name;
        }
    }

    // The stream content, as a Windows client reads it over SMB.
    smbclient("get l2s/dept:QMArchivePoint.xml " + local / "marker" + "; get l2s/dept:extra " + local / "extra" +
              "; get l2s/dept/plain.txt:notes " + local / "notes");
    EXPECT_EQ(readFileBytes(local / "marker"), marker);
    EXPECT_EQ(readFileBytes(local / "extra"), std::string("\0\1\2\3", 4));
    EXPECT_EQ(readFileBytes(local / "notes"), "some notes");
}
