// user.DOSATTRIB on real files: every vector Samba's own encoder made, values
// that must count as absent, and the version 5 value the layer writes back.
#include <fstream>
#include <sstream>

#include "tests/unit/platform_test_helpers.h"

namespace platformtest {
namespace {

struct Vector {
    std::string label;
    std::string value;
    DWORD attrib = 0;
    std::optional<std::uint64_t> createTime;
};

std::vector<Vector> sambaVectors()
{
    std::ifstream in(std::string(STUBWARDEN_SOURCE_DIR) + "/tests/data/dosattrib-vectors.txt");
    std::vector<Vector> vectors;
    std::string line;
    while (std::getline(in, line)) {
        if (line.empty() || line[0] == '#') {
            continue;
        }
        std::istringstream fields(line);
        std::string label, hex, attrib, created;
        fields >> label >> hex >> attrib >> created;
        Vector vector{label, testsupport::bytes(hex), static_cast<DWORD>(std::stoul(attrib, nullptr, 16)), std::nullopt};
        if (created != "-") {
            vector.createTime = std::stoull(created);
        }
        vectors.push_back(vector);
    }
    return vectors;
}

// What the layer writes: version 5, valid_flags 0x11.
std::string version5(DWORD attrib, std::uint64_t createTime) { return testsupport::dosAttribValue(attrib, createTime); }

constexpr std::uint64_t kVectorTime = 132000000000000000ULL;

TEST(PlatformDosAttrib, EverySambaVectorOnAFileAndAFolder)
{
    std::vector<Vector> vectors = sambaVectors();
    ASSERT_EQ(vectors.size(), 10u);
    TempDir dir;
    int n = 0;
    for (const Vector& vector : vectors) {
        for (bool folder : {false, true}) {
            SCOPED_TRACE(vector.label + (folder ? " on a folder" : " on a file"));
            std::string path = dir / ("entry" + std::to_string(n++));
            if (folder) {
                ASSERT_EQ(::mkdir(path.c_str(), 0755), 0);
            } else {
                writePosixFile(path, "12345");
            }
            setXattr(path, "user.DOSATTRIB", vector.value);
            // The folder bit comes from the file type; a file with nothing
            // else set is FILE_ATTRIBUTE_NORMAL.
            DWORD expected = folder ? vector.attrib | FILE_ATTRIBUTE_DIRECTORY : vector.attrib & ~FILE_ATTRIBUTE_DIRECTORY;
            if (expected == 0) {
                expected = FILE_ATTRIBUTE_NORMAL;
            }
            WIN32_FIND_DATAW data = findEntry(path);
            EXPECT_EQ(data.dwFileAttributes, expected);
            EXPECT_EQ(GetFileAttributesW(wideUncPath(path).c_str()), expected);
            EXPECT_EQ(ticks(data.ftCreationTime), vector.createTime.value_or(birthTicks(path)));
            EXPECT_EQ(data.nFileSizeLow, folder ? 0u : 5u);
        }
    }
}

TEST(PlatformDosAttrib, ValuesThatAreNoneOfTheFormatsCountAsAbsent)
{
    const std::string v5 = testsupport::bytes("0000050005000000110000002016000000005af64cf5d401");
    const std::string v3 = testsupport::bytes(
        "3078313632300000030003001100000020160000000000000000000000000000000000000000000000005af64cf5d4010000000000000000");
    struct Case {
        const char* label;
        std::string value;
    } cases[] = {
        {"empty", ""},
        {"one NUL", std::string(1, '\0')},
        {"text", "garbage"},
        {"hex prefix alone", "0x"},
        {"hex with a bad digit", "0x12G4"},
        {"hex with two NULs", std::string("0x1620\0\0", 8)},
        {"hex too long", "0x123456789"},
        {"version 5 cut in the create time", v5.substr(0, 20)},
        {"version 5 cut after the version", v5.substr(0, 4)},
        {"version 3 cut", v3.substr(0, 40)},
        {"unknown version 6", testsupport::bytes("0000060006000000110000002016000000005af64cf5d401")},
        {"version 0", testsupport::bytes("0000000000000000110000002016000000005af64cf5d401")},
        {"level differs from version", testsupport::bytes("0000050004000000110000002016000000005af64cf5d401")},
        {"no NUL at all", testsupport::bytes("0105050005")},
    };
    TempDir dir;
    int n = 0;
    for (const Case& c : cases) {
        for (bool folder : {false, true}) {
            SCOPED_TRACE(std::string(c.label) + (folder ? " on a folder" : " on a file"));
            std::string path = dir / ("entry" + std::to_string(n++));
            if (folder) {
                ASSERT_EQ(::mkdir(path.c_str(), 0755), 0);
            } else {
                writePosixFile(path, "");
            }
            setXattr(path, "user.DOSATTRIB", c.value);
            WIN32_FIND_DATAW data = findEntry(path);
            EXPECT_EQ(data.dwFileAttributes, folder ? FILE_ATTRIBUTE_DIRECTORY : FILE_ATTRIBUTE_ARCHIVE);
            EXPECT_EQ(ticks(data.ftCreationTime), birthTicks(path));
        }
    }
}

TEST(PlatformDosAttrib, WithoutTheAttribFlagTheCreateTimeStillCounts)
{
    TempDir dir;
    std::string file = dir / "file";
    writePosixFile(file, "");
    // valid_flags 0x10: Samba still takes the attrib (0x1620), as it does
    // the create time.
    setXattr(file, "user.DOSATTRIB", testsupport::bytes("0000050005000000100000002016000000005af64cf5d401"));
    WIN32_FIND_DATAW data = findEntry(file);
    EXPECT_EQ(data.dwFileAttributes, 0x1620u);
    EXPECT_EQ(ticks(data.ftCreationTime), kVectorTime);
}

TEST(PlatformDosAttrib, NullCreateTimesFallBackToTheBirthTime)
{
    TempDir dir;
    for (const char* time : {"0000000000000000", "ffffffffffffffff"}) {
        SCOPED_TRACE(time);
        std::string file = dir / time;
        writePosixFile(file, "");
        setXattr(file, "user.DOSATTRIB", testsupport::bytes(std::string("000005000500000011000000200000") + "00" + time));
        EXPECT_EQ(ticks(findEntry(file).ftCreationTime), birthTicks(file));
    }
}

// Each call that changes what user.DOSATTRIB holds writes version 5 with the
// create time already there.
TEST(PlatformDosAttrib, WritesVersion5KeepingTheCreateTime)
{
    TempDir dir;
    std::string file = dir / "file";
    writePosixFile(file, "content");
    setXattr(file, "user.DOSATTRIB", testsupport::bytes("0000050005000000110000002000000000005af64cf5d401"));

    {
        UniqueHandle handle = openPath(file, GENERIC_WRITE);
        ASSERT_TRUE(handle.valid()) << GetLastError();
        // Samba's form: the GUID counted in ReparseDataLength (24).
        std::string record = testsupport::bytes("1000000018000000") + testsupport::bytes("00112233445566778899aabbccddeeff") + "abcdefgh";
        DWORD returned = 0;
        ASSERT_TRUE(DeviceIoControl(handle.get(), FSCTL_SET_REPARSE_POINT, record.data(),
                                    static_cast<DWORD>(record.size()), nullptr, 0, &returned, nullptr))
            << GetLastError();
        EXPECT_EQ(xattr(file, "user.DOSATTRIB"), version5(0x420, kVectorTime));

        ASSERT_TRUE(DeviceIoControl(handle.get(), FSCTL_SET_SPARSE, nullptr, 0, nullptr, 0, &returned, nullptr));
        EXPECT_EQ(xattr(file, "user.DOSATTRIB"), version5(0x620, kVectorTime));

        // Only the write time: user.DOSATTRIB is not touched.
        FILETIME written = fileTime(kVectorTime + 5);
        ASSERT_TRUE(SetFileTime(handle.get(), nullptr, nullptr, &written));
        EXPECT_EQ(xattr(file, "user.DOSATTRIB"), version5(0x620, kVectorTime));
        EXPECT_EQ(ticks(findEntry(file).ftLastWriteTime), kVectorTime + 5);
    }

    // Read-only and offline replace archive; reparse point and sparse stay.
    ASSERT_TRUE(SetFileAttributesW(wideUncPath(file).c_str(), FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_OFFLINE));
    EXPECT_EQ(xattr(file, "user.DOSATTRIB"), version5(0x1601, kVectorTime));

    {
        UniqueHandle handle = openPath(file, GENERIC_WRITE);
        FILETIME created = fileTime(kVectorTime + 12345);
        ASSERT_TRUE(SetFileTime(handle.get(), &created, nullptr, nullptr));
        EXPECT_EQ(xattr(file, "user.DOSATTRIB"), version5(0x1601, kVectorTime + 12345));
        EXPECT_EQ(ticks(findEntry(file).ftCreationTime), kVectorTime + 12345);
    }
}

TEST(PlatformDosAttrib, FirstWriteStoresTheCreationTimeTheEntryShows)
{
    TempDir dir;
    std::string file = dir / "file";
    std::string folder = dir / "folder";
    writePosixFile(file, "");
    ASSERT_EQ(::mkdir(folder.c_str(), 0755), 0);

    ASSERT_TRUE(SetFileAttributesW(wideUncPath(file).c_str(), FILE_ATTRIBUTE_HIDDEN));
    ASSERT_TRUE(SetFileAttributesW(wideUncPath(folder).c_str(), FILE_ATTRIBUTE_HIDDEN));
    EXPECT_EQ(xattr(file, "user.DOSATTRIB"), version5(FILE_ATTRIBUTE_HIDDEN, birthTicks(file)));
    EXPECT_EQ(xattr(folder, "user.DOSATTRIB"), version5(FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_DIRECTORY, birthTicks(folder)));

    // A version 3 value with attrib 0x1620: read-only added, archive and
    // offline dropped, create time kept.
    setXattr(file, "user.DOSATTRIB",
             testsupport::bytes("307831363230000003000300110000002016000000000000000000000000000000000000000000000000"
                          "5af64cf5d4010000000000000000"));
    ASSERT_TRUE(SetFileAttributesW(wideUncPath(file).c_str(), FILE_ATTRIBUTE_READONLY));
    EXPECT_EQ(xattr(file, "user.DOSATTRIB"), version5(0x601, kVectorTime));

    // FILE_ATTRIBUTE_NORMAL clears what can be cleared; nothing left shows as NORMAL.
    ASSERT_TRUE(SetFileAttributesW(wideUncPath(folder).c_str(), FILE_ATTRIBUTE_NORMAL));
    EXPECT_EQ(GetFileAttributesW(wideUncPath(folder).c_str()), FILE_ATTRIBUTE_DIRECTORY);
    std::string plain = dir / "plain";
    writePosixFile(plain, "");
    ASSERT_TRUE(SetFileAttributesW(wideUncPath(plain).c_str(), FILE_ATTRIBUTE_NORMAL));
    EXPECT_EQ(xattr(plain, "user.DOSATTRIB"), version5(0, birthTicks(plain)));
    EXPECT_EQ(GetFileAttributesW(wideUncPath(plain).c_str()), FILE_ATTRIBUTE_NORMAL);
}

}  // namespace
}  // namespace platformtest
