// DeviceIoControl: FSCTL_GET_REPARSE_POINT, FSCTL_SET_REPARSE_POINT and
// FSCTL_SET_SPARSE on real files with user.SmbReparse and user.DOSATTRIB.
#include <cstdlib>

#include "tests/unit/platform_test_helpers.h"

namespace platformtest {
namespace {

const std::string kGuid = testsupport::bytes("00112233445566778899aabbccddeeff");

// A record of a tag without the Microsoft bit as Samba keeps it: GUID
// header, then data, the GUID counted in ReparseDataLength.
std::string guidRecord(DWORD tag, const std::string& data, const std::string& guid = kGuid)
{
    return le(tag, 4) + le(guid.size() + data.size(), 2) + le(0, 2) + guid + data;
}

// The same record as NTFS keeps it: only the data after the GUID counted.
std::string ntfsRecord(DWORD tag, const std::string& data, const std::string& guid = kGuid)
{
    return le(tag, 4) + le(data.size(), 2) + le(0, 2) + guid + data;
}

// A record of a Microsoft tag: short header, then data.
std::string microsoftRecord(DWORD tag, const std::string& data) { return le(tag, 4) + le(data.size(), 2) + le(0, 2) + data; }

// user.DOSATTRIB version 5 with this attrib and no create time.
std::string dosAttrib(DWORD attrib) { return testsupport::dosAttribValue(attrib); }

// An empty file that is a reparse point holding `record`, as Samba stores one.
void makeReparsePoint(const std::string& path, const std::string& record)
{
    writePosixFile(path, "");
    setXattr(path, "user.DOSATTRIB", dosAttrib(FILE_ATTRIBUTE_REPARSE_POINT));
    setXattr(path, "user.SmbReparse", record);
}

struct Read {
    BOOL ok = FALSE;
    DWORD error = 0;
    DWORD returned = 0;
    std::string bytes;  // the first `returned` bytes of the buffer
};

Read getReparsePoint(HANDLE handle, DWORD outSize = MAXIMUM_REPARSE_DATA_BUFFER_SIZE)
{
    std::string buffer(outSize + 16, '\x5A');
    Read read;
    read.returned = 777;
    SetLastError(0);
    read.ok = DeviceIoControl(handle, FSCTL_GET_REPARSE_POINT, nullptr, 0, buffer.data(), outSize, &read.returned, nullptr);
    read.error = GetLastError();
    read.bytes = buffer.substr(0, std::min<std::size_t>(read.returned, buffer.size()));
    EXPECT_EQ(buffer.substr(outSize), std::string(16, '\x5A')) << "written past the buffer";
    return read;
}

Read getReparsePoint(const std::string& path, DWORD outSize = MAXIMUM_REPARSE_DATA_BUFFER_SIZE)
{
    UniqueHandle handle = openPath(path, GENERIC_READ);
    EXPECT_TRUE(handle.valid()) << path << " " << GetLastError();
    return getReparsePoint(handle.get(), outSize);
}

BOOL setReparsePoint(HANDLE handle, std::string record)
{
    DWORD returned = 0;
    return DeviceIoControl(handle, FSCTL_SET_REPARSE_POINT, record.data(), static_cast<DWORD>(record.size()), nullptr,
                           0, &returned, nullptr);
}

TEST(PlatformReparse, AReparsePointNeedsTheAttributeAndTheRecord)
{
    TempDir dir;
    const std::string record = guidRecord(0x10, "placeholder data");
    struct Case {
        const char* name;
        bool folder;
        std::optional<DWORD> attrib;
        bool withRecord;
        bool isReparsePoint;
    } cases[] = {
        {"plain", false, std::nullopt, false, false},
        {"record without attribute", false, FILE_ATTRIBUTE_ARCHIVE, true, false},
        {"record without DOSATTRIB", false, std::nullopt, true, false},
        {"attribute without record", false, FILE_ATTRIBUTE_REPARSE_POINT, false, false},
        {"both", false, FILE_ATTRIBUTE_REPARSE_POINT | FILE_ATTRIBUTE_OFFLINE, true, true},
        // Samba keeps reparse points on regular files only.
        {"folder with both", true, FILE_ATTRIBUTE_REPARSE_POINT | FILE_ATTRIBUTE_DIRECTORY, true, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        std::string path = dir / c.name;
        if (c.folder) {
            ASSERT_EQ(::mkdir(path.c_str(), 0755), 0);
        } else {
            writePosixFile(path, "");
        }
        if (c.attrib) {
            setXattr(path, "user.DOSATTRIB", dosAttrib(*c.attrib));
        }
        if (c.withRecord) {
            setXattr(path, "user.SmbReparse", record);
        }
        Read read = getReparsePoint(path);
        EXPECT_EQ(read.ok, c.isReparsePoint ? TRUE : FALSE);
        if (c.isReparsePoint) {
            EXPECT_EQ(read.returned, record.size());
            EXPECT_EQ(read.bytes, record);
        } else {
            EXPECT_EQ(read.error, ERROR_NOT_A_REPARSE_POINT);
            EXPECT_EQ(read.returned, 0u);
        }
    }
}

TEST(PlatformReparse, AStoredRecordThatDisagreesWithItsHeaderIsRefused)
{
    TempDir dir;
    const std::string good = guidRecord(0x10, "12345678");
    struct Case {
        const char* label;
        std::string value;
    } cases[] = {
        {"one byte more than the length says", good + "9"},
        {"one byte less", good.substr(0, good.size() - 1)},
        {"shorter than the GUID header", good.substr(0, 20)},
        {"shorter than any header", good.substr(0, 6)},
        {"empty", ""},
        {"Microsoft tag with a GUID-sized length", microsoftRecord(0x8000000A, "12345678").substr(0, 8) + kGuid + "12345678"},
        // What NTFS keeps, and Samba refuses to serve.
        {"in NTFS's form", ntfsRecord(0x10, "12345678")},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.label);
        std::string path = dir / c.label;
        makeReparsePoint(path, c.value);
        Read read = getReparsePoint(path);
        EXPECT_FALSE(read.ok);
        EXPECT_EQ(read.error, ERROR_INVALID_REPARSE_DATA);
        EXPECT_EQ(read.returned, 0u);
    }
}

// ext4 holds no xattr this large; tmpfs does.
TEST(PlatformReparse, RecordsLongerThanNtfsHoldsAreRefused)
{
    char pattern[] = "/dev/shm/stubwarden-test-XXXXXX";
    if (::mkdtemp(pattern) == nullptr) {
        GTEST_SKIP() << "no /dev/shm";
    }
    std::string dir = pattern;
    std::string largest = dir + "/largest";
    std::string tooLarge = dir + "/too large";
    writePosixFile(largest, "");
    writePosixFile(tooLarge, "");
    std::string fits = guidRecord(0x10, std::string(MAXIMUM_REPARSE_DATA_BUFFER_SIZE - 24, 'd'));
    std::string over = guidRecord(0x10, std::string(MAXIMUM_REPARSE_DATA_BUFFER_SIZE - 23, 'd'));
    bool stored = ::setxattr(largest.c_str(), "user.SmbReparse", fits.data(), fits.size(), 0) == 0 &&
                  ::setxattr(tooLarge.c_str(), "user.SmbReparse", over.data(), over.size(), 0) == 0;
    if (stored) {
        setXattr(largest, "user.DOSATTRIB", dosAttrib(FILE_ATTRIBUTE_REPARSE_POINT));
        setXattr(tooLarge, "user.DOSATTRIB", dosAttrib(FILE_ATTRIBUTE_REPARSE_POINT));
        Read read = getReparsePoint(largest);
        EXPECT_TRUE(read.ok);
        EXPECT_EQ(read.bytes, fits);
        read = getReparsePoint(tooLarge);
        EXPECT_FALSE(read.ok);
        EXPECT_EQ(read.error, ERROR_INVALID_REPARSE_DATA);

        UniqueHandle handle = openPath(largest, GENERIC_WRITE);
        EXPECT_FALSE(setReparsePoint(handle.get(), over));
        EXPECT_EQ(GetLastError(), ERROR_INVALID_REPARSE_DATA);
    }
    ::unlink(largest.c_str());
    ::unlink(tooLarge.c_str());
    ::rmdir(dir.c_str());
    if (!stored) {
        GTEST_SKIP() << "/dev/shm holds no 16 KiB xattr";
    }
}

// Too small a buffer: nothing when the header does not fit, else as much as
// fits, and the call fails either way.
TEST(PlatformReparse, TooSmallABufferNeverPassesForTheWholeRecord)
{
    TempDir dir;
    const std::string guid = guidRecord(0x10, "12345678");             // 32 bytes
    const std::string microsoft = microsoftRecord(0x8000000A, "1234");  // 12 bytes
    struct Case {
        const std::string* record;
        DWORD outSize;
        BOOL ok;
        DWORD error;
        DWORD returned;
    } cases[] = {
        {&guid, 0, FALSE, ERROR_INSUFFICIENT_BUFFER, 0},
        {&guid, 23, FALSE, ERROR_INSUFFICIENT_BUFFER, 0},
        {&guid, 24, FALSE, ERROR_MORE_DATA, 24},
        {&guid, 31, FALSE, ERROR_MORE_DATA, 31},
        {&guid, 32, TRUE, 0, 32},
        {&microsoft, 7, FALSE, ERROR_INSUFFICIENT_BUFFER, 0},
        {&microsoft, 8, FALSE, ERROR_MORE_DATA, 8},
        {&microsoft, 12, TRUE, 0, 12},
    };
    int n = 0;
    for (const Case& c : cases) {
        SCOPED_TRACE(std::to_string(c.record->size()) + " bytes into " + std::to_string(c.outSize));
        std::string path = dir / std::to_string(n++);
        makeReparsePoint(path, *c.record);
        Read read = getReparsePoint(path, c.outSize);
        EXPECT_EQ(read.ok, c.ok);
        EXPECT_EQ(read.error, c.error);
        EXPECT_EQ(read.returned, c.returned);
        EXPECT_EQ(read.bytes, c.record->substr(0, c.returned));
    }
}

TEST(PlatformReparse, ASymbolicLinkGivesASymlinkRecord)
{
    TempDir dir;
    ASSERT_EQ(::symlink("sub/t", (dir / "relative").c_str()), 0);
    ASSERT_EQ(::symlink("/a/b", (dir / "absolute").c_str()), 0);
    auto expected = [](const std::u16string& name, DWORD flags) {
        std::string nameBytes;
        for (char16_t unit : name) {
            nameBytes += le(unit, 2);
        }
        std::size_t size = nameBytes.size();
        return le(IO_REPARSE_TAG_SYMLINK, 4) + le(12 + 2 * size, 2) + le(0, 2) + le(0, 2) + le(size, 2) +
               le(size, 2) + le(size, 2) + le(flags, 4) + nameBytes + nameBytes;
    };
    struct Case {
        const char* name;
        std::string record;
    } cases[] = {
        {"relative", expected(u"sub\\t", SYMLINK_FLAG_RELATIVE)},
        {"absolute", expected(u"\\a\\b", 0)},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Read read = getReparsePoint(dir / c.name);
        ASSERT_TRUE(read.ok) << read.error;
        EXPECT_EQ(read.bytes, c.record);
        EXPECT_EQ(findEntry(dir / c.name).dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT, FILE_ATTRIBUTE_REPARSE_POINT);
    }
    UniqueHandle link = openPath(dir / "relative", GENERIC_WRITE);
    ASSERT_TRUE(link.valid());
    EXPECT_FALSE(setReparsePoint(link.get(), guidRecord(0x10, "x")));
    EXPECT_EQ(GetLastError(), ERROR_ACCESS_DENIED);
}

// What Samba serves although NTFS would not keep it: a reserved tag, a tag
// with a GUID whose record is too short to hold one. Samba checks the
// length alone.
TEST(PlatformReparse, AStoredRecordIsServedWhenItsLengthAgrees)
{
    TempDir dir;
    struct Case {
        const char* label;
        std::string value;
    } cases[] = {
        {"tag 0", guidRecord(0, "12345678")},
        {"tag 16 with half a GUID", le(0x10, 4) + le(8, 2) + le(0, 2) + kGuid.substr(0, 8)},
        {"tag 16 with no data at all", le(0x10, 4) + le(0, 2) + le(0, 2)},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.label);
        std::string path = dir / c.label;
        makeReparsePoint(path, c.value);
        Read read = getReparsePoint(path);
        EXPECT_TRUE(read.ok) << read.error;
        EXPECT_EQ(read.bytes, c.value);
    }
}

TEST(PlatformReparse, SetChecksTheRecordAsSambaDoes)
{
    TempDir dir;
    std::string path = dir / "file";
    writePosixFile(path, "");
    const std::string first = guidRecord(0x10, "first");
    UniqueHandle handle = openPath(path, GENERIC_WRITE);
    ASSERT_TRUE(handle.valid());
    ASSERT_TRUE(setReparsePoint(handle.get(), first)) << GetLastError();
    EXPECT_EQ(xattr(path, "user.SmbReparse"), first);
    EXPECT_EQ(findEntry(path).dwFileAttributes, FILE_ATTRIBUTE_REPARSE_POINT | FILE_ATTRIBUTE_ARCHIVE);

    struct Case {
        const char* label;
        std::string record;
        DWORD error;  // 0: taken
    } cases[] = {
        {"length disagrees", first + "x", ERROR_INVALID_REPARSE_DATA},
        {"shorter than its header", first.substr(0, 12), ERROR_INVALID_REPARSE_DATA},
        {"shorter than any header", first.substr(0, 7), ERROR_INVALID_REPARSE_DATA},
        {"in NTFS's form", ntfsRecord(0x10, "other"), ERROR_INVALID_REPARSE_DATA},
        {"no buffer at all", std::string(), ERROR_INVALID_USER_BUFFER},
        {"another tag", guidRecord(0x11, "other"), ERROR_REPARSE_TAG_MISMATCH},
        {"another tag with the Microsoft bit", microsoftRecord(0x8000000A, "other"), ERROR_REPARSE_TAG_MISMATCH},
        {"a reserved tag", guidRecord(0, "other"), ERROR_REPARSE_TAG_MISMATCH},
        {"the same tag and GUID, new data", guidRecord(0x10, "second, longer"), 0},
        // Samba compares the tag only.
        {"the same tag, another GUID", guidRecord(0x10, "other", std::string(16, '\x01')), 0},
        {"the same tag and GUID, shorter data", guidRecord(0x10, "3"), 0},
    };
    std::string current = first;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.label);
        SetLastError(0);
        BOOL ok = setReparsePoint(handle.get(), c.record);
        EXPECT_EQ(ok, c.error == 0 ? TRUE : FALSE);
        EXPECT_EQ(GetLastError(), c.error);
        if (ok) {
            current = c.record;
        }
        // The old record or the new one, whole.
        EXPECT_EQ(xattr(path, "user.SmbReparse"), current);
    }
    Read read = getReparsePoint(handle.get());
    EXPECT_TRUE(read.ok);
    EXPECT_EQ(read.bytes, current);

    // A record the file system cannot hold (ext4: about 4 KiB per xattr)
    // leaves the old one in place.
    const std::string big = guidRecord(0x10, std::string(8000, 'x'));
    writePosixFile(dir / "probe", "");
    if (::setxattr((dir / "probe").c_str(), "user.SmbReparse", big.data(), big.size(), 0) != 0) {
        EXPECT_FALSE(setReparsePoint(handle.get(), big));
        EXPECT_EQ(GetLastError(), ERROR_DISK_FULL);
        EXPECT_EQ(xattr(path, "user.SmbReparse"), current);
    }

    handle.reset();
    UniqueHandle reader = openPath(path, GENERIC_READ);
    EXPECT_FALSE(setReparsePoint(reader.get(), guidRecord(0x10, "x")));
    EXPECT_EQ(GetLastError(), ERROR_ACCESS_DENIED);

    // Nor on a folder, as on Samba.
    ASSERT_EQ(::mkdir((dir / "folder").c_str(), 0755), 0);
    UniqueHandle folder = openPath(dir / "folder", GENERIC_WRITE);
    ASSERT_TRUE(folder.valid()) << GetLastError();
    EXPECT_FALSE(setReparsePoint(folder.get(), guidRecord(0x10, "x")));
    EXPECT_EQ(GetLastError(), ERROR_ACCESS_DENIED);
    EXPECT_FALSE(xattr(dir / "folder", "user.SmbReparse").has_value());
}

// A user.SmbReparse left without the attribute is no reparse point: any tag
// may be set.
TEST(PlatformReparse, AStaleRecordDoesNotHoldItsTag)
{
    TempDir dir;
    std::string path = dir / "file";
    writePosixFile(path, "");
    setXattr(path, "user.SmbReparse", guidRecord(0x10, "stale"));
    UniqueHandle handle = openPath(path, GENERIC_WRITE);
    std::string record = microsoftRecord(0x8000000A, "new");
    ASSERT_TRUE(setReparsePoint(handle.get(), record)) << GetLastError();
    EXPECT_EQ(xattr(path, "user.SmbReparse"), record);
}

TEST(PlatformReparse, SetSparseSetsAndClearsTheAttribute)
{
    TempDir dir;
    std::string path = dir / "file";
    writePosixFile(path, "");
    UniqueHandle handle = openPath(path, GENERIC_WRITE);
    DWORD returned = 0;
    ASSERT_TRUE(DeviceIoControl(handle.get(), FSCTL_SET_SPARSE, nullptr, 0, nullptr, 0, &returned, nullptr));
    EXPECT_EQ(findEntry(path).dwFileAttributes, FILE_ATTRIBUTE_SPARSE_FILE | FILE_ATTRIBUTE_ARCHIVE);
    BYTE clear = 0;
    ASSERT_TRUE(DeviceIoControl(handle.get(), FSCTL_SET_SPARSE, &clear, 1, nullptr, 0, &returned, nullptr));
    EXPECT_EQ(findEntry(path).dwFileAttributes, FILE_ATTRIBUTE_ARCHIVE);
    BYTE set = 1;
    ASSERT_TRUE(DeviceIoControl(handle.get(), FSCTL_SET_SPARSE, &set, 1, nullptr, 0, &returned, nullptr));
    EXPECT_EQ(findEntry(path).dwFileAttributes, FILE_ATTRIBUTE_SPARSE_FILE | FILE_ATTRIBUTE_ARCHIVE);
    handle.reset();

    UniqueHandle reader = openPath(path, GENERIC_READ);
    EXPECT_FALSE(DeviceIoControl(reader.get(), FSCTL_SET_SPARSE, nullptr, 0, nullptr, 0, &returned, nullptr));
    EXPECT_EQ(GetLastError(), ERROR_ACCESS_DENIED);
    EXPECT_FALSE(DeviceIoControl(reader.get(), 0x00090000, nullptr, 0, nullptr, 0, &returned, nullptr));
    EXPECT_EQ(GetLastError(), ERROR_INVALID_FUNCTION);
}

// Opened without data access (as the walker opens folders), a reparse point
// still gives its record, as on Windows.
TEST(PlatformReparse, GetWorksWithoutDataAccess)
{
    TempDir dir;
    std::string path = dir / "file";
    const std::string record = guidRecord(0x10, "data");
    makeReparsePoint(path, record);
    UniqueHandle handle = openPath(path, 0);
    ASSERT_TRUE(handle.valid());
    Read read = getReparsePoint(handle.get());
    EXPECT_TRUE(read.ok) << read.error;
    EXPECT_EQ(read.bytes, record);
}

}  // namespace
}  // namespace platformtest
