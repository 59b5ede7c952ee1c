// Hostile records on real files, read by the real program: reparse data of
// every awkward length, lengths that disagree with the header, the largest
// record the file system keeps, and user.DOSATTRIB values that are garbage
// or cut short. Each file is the run's only target, so every report is
// compared whole, byte for byte.
#include <gtest/gtest.h>

#include <filesystem>
#include <sys/stat.h>
#include <sys/xattr.h>

#include "platform/little_endian.h"
#include "platform/reparse_data_buffer.h"
#include "platform/text_conversion.h"
#include "tests/e2e/normal_mode_fixtures.h"
#include "tests/hostile/hostile_support.h"

using namespace testsupport;
using hostile::Audit;
using hostile::audit;
using namespace normalmode;
using treebuilder::PlaceholderKind;

namespace {

constexpr DWORD kArchived = FILE_ATTRIBUTE_REPARSE_POINT | FILE_ATTRIBUTE_OFFLINE | FILE_ATTRIBUTE_SPARSE_FILE |
                            FILE_ATTRIBUTE_ARCHIVE;
const std::string kUrl = "http://archive.example/vault/0042";

std::string bytesOf(const treebuilder::Bytes& bytes) { return std::string(bytes.begin(), bytes.end()); }

std::string withDataLength(std::string record, std::uint16_t dataLength)
{
    littleendian::write(record.data() + reparse::kDataLengthOffset, dataLength);
    return record;
}

// A misplaced record (the URL at 604) of exactly `length` bytes whose
// ReparseDataLength agrees with it as Samba counts it (8 + ReparseDataLength
// bytes, the GUID counted); below 8 bytes, the header's first bytes.
std::string misplacedRecord(std::size_t length)
{
    std::size_t dataLength = length < 24 ? 0 : length - 24;
    std::string record = bytesOf(treebuilder::placeholderRecord({.kind = PlaceholderKind::Misplaced,
                                                                  .url = wideText(kUrl),
                                                                  .dataLength = static_cast<std::uint16_t>(dataLength)}));
    record.resize(length);
    return length < 8 ? record : withDataLength(record, static_cast<std::uint16_t>(length - 8));
}

// A file whose xattrs are set as given, around the platform layer's checks.
void rawFile(const std::string& path, const std::optional<std::string>& dosAttrib,
             const std::optional<std::string>& record)
{
    treebuilder::makeFile(wideUncPath(path), plainFile(4096));
    ::removexattr(path.c_str(), "user.DOSATTRIB");
    if (dosAttrib) {
        ASSERT_EQ(::setxattr(path.c_str(), "user.DOSATTRIB", dosAttrib->data(), dosAttrib->size(), 0), 0) << path;
    }
    if (record) {
        ASSERT_EQ(::setxattr(path.c_str(), "user.SmbReparse", record->data(), record->size(), 0), 0)
            << path << ": " << record->size() << " bytes";
    }
}

std::string archivedAttrib(DWORD attrib)
{
    FILETIME time = created();
    return dosAttribValue(attrib, (static_cast<std::uint64_t>(time.dwHighDateTime) << 32) | time.dwLowDateTime);
}

std::optional<std::string> storedRecord(const std::string& path)
{
    std::string value(65536, '\0');
    ssize_t size = ::getxattr(path.c_str(), "user.SmbReparse", value.data(), value.size());
    if (size < 0) {
        return std::nullopt;
    }
    value.resize(static_cast<std::size_t>(size));
    return value;
}

std::string archivedAttrib(DWORD attrib = kArchived);

// The largest record the file system of `folder` keeps beside the
// attributes of an archived file (ext4 keeps a file's xattrs in one block).
std::size_t largestXattr(const std::string& folder)
{
    const std::string probe = folder + "/probe";
    rawFile(probe, archivedAttrib(), std::nullopt);
    std::size_t fits = 0;
    std::size_t tooLarge = 65537;
    while (tooLarge - fits > 1) {
        std::size_t size = (fits + tooLarge) / 2;
        std::string value(size, 'x');
        (::setxattr(probe.c_str(), "user.SmbReparse", value.data(), size, 0) == 0 ? fits : tooLarge) = size;
    }
    ::unlink(probe.c_str());
    return fits;
}

// Records of every length that sits at an edge of a field the check
// reads: the platform refuses those shorter than any header, as Samba does,
// and serves the others, however short (Samba checks the length alone); the
// verdict reads beyond the shorter ones as zeros, the dump shows exactly the
// data that was read, and the repair moves its 2,050 bytes whatever the
// length and writes back the header it read. A repaired record is good on
// the next run.
TEST(HostileRecords, ReparseDataOfEveryLengthAtAnEdge)
{
    TempDir share;
    const std::size_t largest = std::min<std::size_t>(largestXattr(share.path()), 16384);
    ASSERT_GT(largest, 2653u) << "a file system that keeps no misplaced record";
    enum class Outcome { refused, cannotFix, fixed };
    struct Case {
        std::size_t length;
        const char* fault;
        Outcome outcome;
    } cases[] = {
        {0, "", Outcome::refused},
        {1, "", Outcome::refused},
        {7, "", Outcome::refused},
        {8, "Incorrect GUID", Outcome::cannotFix},  // tag and length alone
        {23, "Incorrect GUID", Outcome::cannotFix},
        {24, "Incorrect magic value", Outcome::cannotFix},  // the data area starts at the magic value
        {83, "Invalid URL", Outcome::cannotFix},
        {84, "Invalid URL", Outcome::cannotFix},
        {603, "Invalid URL", Outcome::cannotFix},  // nothing at 604
        {611, "Invalid URL", Outcome::fixed},      // "http" ends at 611
        {2653, "Invalid URL", Outcome::fixed},     // the move reads up to 2653
        {largest, "Invalid URL", Outcome::fixed},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::to_string(c.length) + " bytes");
        const std::string file = share / ("record-" + std::to_string(c.length));
        const std::string record = misplacedRecord(c.length);
        ASSERT_EQ(record.size(), c.length);
        rawFile(file, archivedAttrib(), record);

        Audit first = audit({"-d", "-fixphs", uncPath(file)});
        if (c.outcome == Outcome::refused) {
            EXPECT_EQ(first.run.exitCode, 0);
            EXPECT_EQ(first.report, utf16le(reportPath(file) +
                                            ", Failed to interogate file due to Error:DeviceIoControl:4392\n" +
                                            summary(1, 1, 0, 0, 0, 0, 0, 0)));
            EXPECT_EQ(storedRecord(file), record);
            continue;
        }
        bool fixed = c.outcome == Outcome::fixed;
        EXPECT_EQ(first.run.exitCode, 2);
        EXPECT_EQ(first.report, utf16le(reportPath(file) + ": " + c.fault) + reparseDumpBytes(record) +
                                    utf16le((fixed ? ", Fixed" : ", Can't fix") + std::string("\r\n") +
                                            summary(1, 0, 0, 0, 1, fixed ? 0 : 1, fixed ? 1 : 0, 0)));
        EXPECT_EQ(storedRecord(file), fixed ? repairedRecord(record) : record);
        if (fixed) {
            Audit second = audit({"-fixphs", uncPath(file)});
            EXPECT_EQ(second.run.exitCode, 0);
            EXPECT_EQ(second.report, utf16le(summary(1, 0, 0, 1, 0, 0, 0, 0)));
        }
    }
}

// A ReparseDataLength that disagrees with the record's true length as Samba
// counts it, either way and by any amount, is never handed out: the file
// cannot be read, and nothing is written to it. That holds for a record in
// NTFS's form too, which Samba refuses to serve to its clients.
TEST(HostileRecords, ALengthThatDisagreesWithTheDataIsRefused)
{
    TempDir share;
    const std::string record = misplacedRecord(2653);  // ReparseDataLength 2645
    const std::string header = misplacedRecord(24);
    const std::pair<const char*, std::string> cases[] = {
        {"zero", withDataLength(record, 0)},
        {"one short", withDataLength(record, 2644)},
        {"one over", withDataLength(record, 2646)},
        {"the largest", withDataLength(record, 0xFFFF)},
        {"in NTFS's form", withDataLength(record, 2629)},
        {"beyond a bare header", withDataLength(header, 17)},
        {"16 KiB on a short record", withDataLength(header, 16376)},
    };
    for (const auto& [label, value] : cases) {
        SCOPED_TRACE(label);
        const std::string file = share / label;
        rawFile(file, archivedAttrib(), value);
        Audit run = audit({"-v", "-d", "-fixphs", uncPath(file)});
        EXPECT_EQ(run.run.exitCode, 0);
        EXPECT_EQ(run.report, utf16le(reportPath(file) + "(Created:" + kCreatedText +
                                      ", Size:4096, Reparse point, Sparse, Offline):" +
                                      ", Failed to interogate file due to Error:DeviceIoControl:4392\n" +
                                      summary(1, 1, 0, 0, 0, 0, 0, 0)));
        EXPECT_EQ(storedRecord(file), value);
    }
}

// 16,384 bytes is the most reparse data there is: a record of that size is
// read, checked and dumped whole; one byte more is refused. Only tmpfs keeps
// xattrs this large.
TEST(HostileRecords, TheLargestRecordIsReadAndOneByteMoreIsRefused)
{
    std::string pattern = "/dev/shm/stubwarden-test-XXXXXX";
    if (::access("/dev/shm", W_OK) != 0 || ::mkdtemp(pattern.data()) == nullptr) {
        GTEST_SKIP() << "no /dev/shm";
    }
    struct Remove {
        std::string path;
        ~Remove() { std::filesystem::remove_all(path); }
    } remove{pattern};
    if (largestXattr(pattern) < 16385) {
        GTEST_SKIP() << "/dev/shm keeps no xattr of 16,385 bytes";
    }
    const std::string good = bytesOf(treebuilder::sambaForm(treebuilder::placeholderRecord({.dataLength = 16360})));
    const std::string largest = pattern + "/largest";
    rawFile(largest, archivedAttrib(), good);
    Audit read = audit({"-v", uncPath(largest)});
    EXPECT_EQ(read.run.exitCode, 0);
    EXPECT_EQ(read.report, utf16le(reportPath(largest) + "(Created:" + kCreatedText +
                                   ", Size:4096, Reparse point, Sparse, Offline):Valid QM PH\r\n" +
                                   summary(1, 0, 0, 1, 0, 0, 0, 0)));

    // A bad record of 16,384 bytes is dumped to its last byte.
    const std::string wrongGuid = bytesOf(treebuilder::sambaForm(
        treebuilder::placeholderRecord({.kind = PlaceholderKind::WrongGuid, .dataLength = 16360})));
    const std::string dumped = pattern + "/dumped";
    rawFile(dumped, archivedAttrib(), wrongGuid);
    Audit dump = audit({"-d", uncPath(dumped)});
    EXPECT_EQ(dump.run.exitCode, 2);
    EXPECT_EQ(dump.report, utf16le(reportPath(dumped) + ": Incorrect GUID") + reparseDumpBytes(wrongGuid) +
                               utf16le("\r\n" + summary(1, 0, 0, 0, 1, 1, 0, 0)));

    const std::string over = pattern + "/over";
    std::string overRecord = withDataLength(good + "x", 16377);
    rawFile(over, archivedAttrib(), overRecord);
    Audit refused = audit({uncPath(over)});
    EXPECT_EQ(refused.run.exitCode, 0);
    EXPECT_EQ(refused.report,
              utf16le(reportPath(over) + ", Failed to interogate file due to Error:DeviceIoControl:4392\n" +
                      summary(1, 1, 0, 0, 0, 0, 0, 0)));
}

// user.DOSATTRIB values that are none of Samba's forms count as absent: the
// file shows FILE_ATTRIBUTE_ARCHIVE, is no reparse point, and its record is
// not read. Values of a known form are taken, whatever follows them.
TEST(HostileRecords, GarbageAndTruncatedDosAttribValues)
{
    TempDir share;
    const std::string v5 = archivedAttrib();
    std::string v5Level4 = v5;
    v5Level4[4] = 4;
    std::string v6 = v5;
    v6[2] = 6;
    v6[4] = 6;
    const std::string record = bytesOf(treebuilder::sambaForm(treebuilder::placeholderRecord({})));
    const std::pair<const char*, std::string> absent[] = {
        {"empty", ""},
        {"one NUL", std::string(1, '\0')},
        {"garbage", "\xff\xfe\x00junk\x01\x02"},
        {"version 5 cut after its version", v5.substr(0, 4)},
        {"version 5 cut inside its attrib", v5.substr(0, 14)},
        {"version 5 less its last byte", v5.substr(0, v5.size() - 1)},
        {"version 5 with level 4", v5Level4},
        {"version 6", v6},
        {"hex text without digits", "0x"},
        {"hex text that is not hex", "0x14zz"},
        {"hex text of nine digits", "0x000001620"},
        {"attrib text without its NUL and NDR", std::string("0x1620") + '\0' + "\x01"},
        {"3,000 bytes of 0xff", std::string(3000, '\xff')},
    };
    for (const auto& [label, value] : absent) {
        SCOPED_TRACE(label);
        const std::string file = share / label;
        rawFile(file, value, record);
        Audit run = audit({"-fixphs", uncPath(file)});
        EXPECT_EQ(run.run.exitCode, 0);
        EXPECT_EQ(run.report, utf16le(summary(1, 0, 1, 0, 0, 0, 0, 0)));
    }
    const std::pair<const char*, std::string> taken[] = {
        {"version 5 followed by garbage", v5 + "garbage"},
        {"version 5 followed by 1,000 bytes", v5 + std::string(1000, 'g')},
        {"hex text", "0x1620"},
        {"hex text and NUL", std::string("0x1620") + '\0'},
        {"the folder bit on a file", archivedAttrib(kArchived | FILE_ATTRIBUTE_DIRECTORY)},
    };
    for (const auto& [label, value] : taken) {
        SCOPED_TRACE(label);
        const std::string file = share / label;
        rawFile(file, value, record);
        Audit run = audit({uncPath(file)});
        EXPECT_EQ(run.run.exitCode, 0);
        EXPECT_EQ(run.report, utf16le(summary(1, 0, 0, 1, 0, 0, 0, 0)));
    }

    // A folder whose value is garbage, or says it is a file, is still walked.
    const std::string root = share / "root";
    for (const std::string& value : {std::string("\x01garbage"), archivedAttrib(FILE_ATTRIBUTE_ARCHIVE)}) {
        std::filesystem::remove_all(root);
        treebuilder::makeFolder(wideUncPath(root));
        ASSERT_EQ(::setxattr(root.c_str(), "user.DOSATTRIB", value.data(), value.size(), 0), 0);
        placeholder(root + "/bad.doc", PlaceholderKind::WrongGuid);
        Audit run = audit({uncPath(root)});
        EXPECT_EQ(run.run.exitCode, 2);
        EXPECT_EQ(run.report,
                  utf16le(reportPath(root) + "\\bad.doc: Incorrect GUID\r\n" + summary(1, 0, 0, 0, 1, 1, 0, 0)));
    }
}

}  // namespace
