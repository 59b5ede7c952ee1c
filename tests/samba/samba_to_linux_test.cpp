// Samba writes, the Linux build reads: folders, files, attributes, creation
// times, streams and an archive point marker made through smbclient are
// what the platform layer and the program see in the backing folder.
#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <vector>

#include "tests/samba/interop_helpers.h"

using namespace sambatest;
using namespace testsupport;

namespace {

const std::string kMarker =
    "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
    "<archivePoint><archiveQEID>AP-SMB</archiveQEID><name>Samba share</name></archivePoint>";

struct Expected {
    std::string path;  // relative to the share
    std::uint32_t attributes;
    std::map<std::string, std::uint64_t> streams;
};

// Writes the tree through smbclient: every folder, file, attribute, time
// and stream of it comes from smbd.
void makeTreeThroughSamba(const TempDir& local)
{
    writeLocalFile(local / "a", std::string(1024, 'a'));
    writeLocalFile(local / "b", std::string(2048, 'b'));
    writeLocalFile(local / "c", std::string(512, 'c'));
    writeLocalFile(local / "o", std::string(10, 'o'));
    writeLocalFile(local / "marker", kMarker);
    writeLocalFile(local / "notes", "meeting notes");
    smbclient("mkdir s2l; mkdir s2l/dept; mkdir s2l/dept/sub; "
              "put " + local / "a" + " s2l/dept/a.txt; put " + local / "b" + " s2l/dept/b.txt; "
              "put " + local / "c" + " s2l/dept/sub/c.txt; put " + local / "o" + " s2l/outside.txt; "
              "put " + local / "marker" + " s2l/dept:QMArchivePoint.xml; "
              "put " + local / "notes" + " s2l/dept/a.txt:notes; "
              "utimes s2l/dept/a.txt 2019:04:17-18:40:00 -1 -1 -1; "
              "utimes s2l/dept/b.txt 2020:01:02-03:04:05 -1 -1 -1; "
              "utimes s2l/dept/sub/c.txt 2021:12:31-23:59:59 -1 -1 -1; "
              "utimes s2l/outside.txt 2010:06:07-08:09:10 -1 -1 -1; "
              "utimes s2l/dept 2011:01:01-00:00:00 -1 -1 -1; "
              "setmode s2l/dept/a.txt +rh; setmode s2l/dept/b.txt -a; "
              "setmode s2l/dept/sub +s; setmode s2l/dept/sub/c.txt +rhs");
}

}  // namespace

TEST(SambaToLinux, AttributesTimesAndStreamsAreWhatSmbclientSees)
{
    TempDir local;
    makeTreeThroughSamba(local);

    const std::vector<Expected> entries = {
        {"s2l", FILE_ATTRIBUTE_DIRECTORY, {}},
        // Writing a folder's stream sets its archive bit.
        {"s2l/dept", FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_ARCHIVE, {{"QMArchivePoint.xml", kMarker.size()}}},
        {"s2l/dept/sub", FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_SYSTEM, {}},
        {"s2l/dept/a.txt", FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_ARCHIVE, {{"notes", 13}}},
        {"s2l/dept/b.txt", FILE_ATTRIBUTE_NORMAL, {}},
        {"s2l/dept/sub/c.txt",
         FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM | FILE_ATTRIBUTE_ARCHIVE, {}},
        {"s2l/outside.txt", FILE_ATTRIBUTE_ARCHIVE, {}},
    };
    for (const Expected& expected : entries) {
        SCOPED_TRACE(expected.path);
        std::optional<AllInfo> samba = allinfo(expected.path);
        std::optional<WIN32_FIND_DATAW> layer = layerEntry(backing(expected.path));
        ASSERT_TRUE(samba && layer);
        EXPECT_EQ(samba->attributes, expected.attributes);
        EXPECT_EQ(layer->dwFileAttributes, expected.attributes);
        EXPECT_EQ(unixSeconds(layer->ftCreationTime), samba->createSeconds);
        EXPECT_EQ(samba->streams, expected.streams);
        if (samba->size) {
            EXPECT_EQ(fileSize(*layer), *samba->size);
        }
        for (const auto& [name, size] : expected.streams) {
            std::optional<std::string> content = layerStream(backing(expected.path), name);
            ASSERT_TRUE(content) << name;
            EXPECT_EQ(content->size(), size) << name;
            // streams_xattr's name for it, holding the content and one NUL.
            EXPECT_EQ(xattr(backing(expected.path), "user.DosStream." + name + ":$DATA"), *content + '\0');
        }
    }
    EXPECT_EQ(layerStream(backing("s2l/dept"), "QMArchivePoint.xml"), kMarker);
    EXPECT_EQ(layerStream(backing("s2l/dept/a.txt"), "notes"), "meeting notes");
    // Exact times where smbclient set them.
    EXPECT_EQ(allinfo("s2l/dept/a.txt").value().createSeconds, 1555526400);
    EXPECT_EQ(unixSeconds(layerEntry(backing("s2l/dept")).value().ftCreationTime), 1293840000);
}

// Samba (4.17 and 4.22) writes user.DOSATTRIB as version 5 with valid_flags 0x11
// (attrib, create time); the layer writes the same bytes for the same state.
TEST(SambaToLinux, TheLayerRewritesSambasDosAttribByteForByte)
{
    TempDir local;
    writeLocalFile(local / "x", "x");
    smbclient("mkdir bytes; put " + local / "x" + " bytes/plain; put " + local / "x" + " bytes/flags; "
              "put " + local / "x" + " bytes/normal; setmode bytes/flags +rhs; setmode bytes/normal -a; "
              "utimes bytes/plain 2019:04:17-18:40:00 -1 -1 -1");
    for (const char* name : {"plain", "flags", "normal"}) {
        SCOPED_TRACE(name);
        std::string path = backing(std::string("bytes/") + name);
        std::optional<std::string> written = xattr(path, "user.DOSATTRIB");
        ASSERT_TRUE(written);
        ASSERT_EQ(written->size(), 24u);
        EXPECT_EQ(written->substr(0, 12), testsupport::bytes("000005000500000011000000"));

        DWORD attributes = GetFileAttributesW(wideUncPath(path).c_str());
        ASSERT_TRUE(SetFileAttributesW(wideUncPath(path).c_str(), attributes));
        EXPECT_EQ(xattr(path, "user.DOSATTRIB"), written);
    }
}

// The program itself, run on the backing folder, finds the archive point
// smbclient wrote and totals the files under it.
TEST(SambaToLinux, TheProgramFindsTheArchivePointSmbclientWrote)
{
    TempDir local;
    writeLocalFile(local / "marker", kMarker);
    writeLocalFile(local / "a", std::string(1024, 'a'));
    writeLocalFile(local / "b", std::string(2560, 'b'));
    writeLocalFile(local / "c", std::string(100, 'c'));
    smbclient("mkdir usage; mkdir usage/ap; mkdir usage/ap/sub; "
              "put " + local / "marker" + " usage/ap:QMArchivePoint.xml; "
              "put " + local / "a" + " usage/ap/a.txt; put " + local / "b" + " usage/ap/sub/b.txt; "
              "put " + local / "c" + " usage/c.txt; "
              "utimes usage/ap/a.txt 2019:04:17-18:40:00 -1 -1 -1; "
              "utimes usage/ap/sub/b.txt 2020:01:02-03:04:05 -1 -1 -1; "
              "setmode usage/ap/a.txt +rh");

    TempDir work;
    RunResult run = runStubwarden({"-v", "-archiveusage", uncPath(backing("usage"))}, {.workingDirectory = work.path()});
    EXPECT_EQ(run.exitCode, 0);
    EXPECT_EQ(run.standardError, "");
    std::string report = fromUtf16le(onlyReportBytes(work.path()));
    const std::string root = reportPath(backing("usage"));
    const std::string ap = reportPath(backing("usage/ap"));
    // The folders' entries come in the order the file system lists them.
    std::string::size_type summary = report.rfind("\r\nSummary\r\n");
    ASSERT_NE(summary, std::string::npos) << report;
    std::vector<std::string> lines;
    for (std::string::size_type at = 0, end; at < summary; at = end + 2) {
        end = report.find("\r\n", at);
        lines.push_back(report.substr(at, end - at));
    }
    std::sort(lines.begin(), lines.end());
    EXPECT_EQ(lines, (std::vector<std::string>{
                         ap + "\\a.txt(Created:17/04/19 18:40:00 GMT, Size:1024):Not an QM PH",
                         ap + "\\sub\\b.txt(Created:02/01/20 03:04:05 GMT, Size:2560):Not an QM PH",
                         root + "\\c.txt: Not inside an archive point",
                     }));
    EXPECT_EQ(report.substr(summary), kUsageHeading + "Samba share\t" + ap + "\t0.00\t3.50\r\n");
}
