// The verdict, dump and repair of a reparse data buffer of any content and
// any length.
//
// The input is the whole record. It goes two ways:
//   - straight into the 16 KiB buffer, for validatePlaceholder and
//     writeReparseDump, whatever its length field says;
//   - stored as a file's user.SmbReparse, for the per-file check of a run
//     with -v -d -fixphs: the read through the platform layer, the verdict,
//     the dump and the repair written back.
// Beyond the sanitizers' findings, a record on disk changes only when the
// report says "Fixed", and then into exactly the repaired record.
#include <algorithm>
#include <array>
#include <cstdint>
#include <cstring>
#include <sys/xattr.h>
#include <unistd.h>

#include "fuzz/fuzz_support.h"
#include "placeholder/placeholder_record.h"
#include "tools/tree_builder.h"

namespace {

using namespace placeholder;

struct Fixture {
    ScanSession& run;
    std::string filePath;
    WString fileName;
};

Fixture& fixture()
{
    static Fixture made = [] {
        ScanSession& run = fuzzsupport::session({"-v", "-d", "-fixphs"});
        std::string path = fuzzsupport::scratchFolder() + "/record.doc";
        // An archived file made through the layer; each input then replaces
        // only its record, around the layer's checks.
        treebuilder::makePlaceholder(fuzzsupport::uncName(path), treebuilder::PlaceholderSpec{});
        return Fixture{run, path, fuzzsupport::uncName(path)};
    }();
    return made;
}

std::optional<std::string> storedRecord(const std::string& path)
{
    ssize_t size = ::getxattr(path.c_str(), "user.SmbReparse", nullptr, 0);
    if (size < 0) {
        return std::nullopt;
    }
    std::string value(static_cast<std::size_t>(size), '\0');
    size = ::getxattr(path.c_str(), "user.SmbReparse", value.data(), value.size());
    FUZZ_CHECK(size == static_cast<ssize_t>(value.size()));
    return value;
}

// What the repair makes of a record: the 2,050 bytes from 604 (zeros beyond
// the record) at 84, the flag bytes 1, 0, 0, 0 at 80, the length unchanged.
std::string repaired(const std::string& record)
{
    std::string padded = record;
    padded.resize(std::max<std::size_t>(padded.size(), kMisplacedUrlOffset + kMoveLength), '\0');
    padded.replace(kUrlOffset, kMoveLength, padded, kMisplacedUrlOffset, kMoveLength);
    padded.replace(kFlagBytesOffset, 4, std::string("\x01\x00\x00\x00", 4));
    return padded.substr(0, record.size());
}

// The record's UTF-16 text at `offset` starts with exactly `expected`.
bool textAt(const BYTE* buffer, std::size_t offset, WStringView expected)
{
    for (std::size_t i = 0; i < expected.size(); ++i) {
        if (codeUnitAt(buffer, offset + 2 * i) != expected[i]) {
            return false;
        }
    }
    return true;
}

void inTheBuffer(Fixture& f, const std::uint8_t* data, std::size_t size)
{
    alignas(8) std::array<BYTE, kBufferSize> buffer{};
    if (size != 0) {
        std::memcpy(buffer.data(), data, std::min(size, buffer.size()));
    }
    fuzzsupport::clearReport(f.run);
    // The input stands for what a read returned.
    std::size_t dataLength = reparse::returnedDataLength(kTag, std::min(size, buffer.size()));
    bool canFix = true;
    bool valid = f.run.validatePlaceholder(f.fileName, buffer.data(), dataLength, canFix);
    // With -v the verdict alone is written. Exactly the records whose URL is
    // bad and that hold "http" at 604, with a data length above 325, can be
    // fixed.
    WString verdict = fuzzsupport::reportText();
    FUZZ_CHECK(valid == (verdict == WSTR("Valid QM PH")));
    bool misplaced = verdict == WSTR("Invalid URL") &&
                     dataLength > kRepairableDataLength &&
                     textAt(buffer.data(), kMisplacedUrlOffset, kUrlScheme);
    FUZZ_CHECK(canFix == misplaced);
    if (!valid) {
        f.run.writeReparseDump(buffer.data(), dataLength);
        // One row per 16 data bytes read, never past the buffer.
        std::size_t length = std::min<std::size_t>(dataLength, kBufferSize - kDataOffset);
        WString text = fuzzsupport::reportText();
        std::size_t rows = std::count(text.begin(), text.end(), WSTR('\n')) - 3;
        FUZZ_CHECK(rows == (length + 15) / 16 + (length == 0 ? 1 : 0));
    }
}

void onDisk(Fixture& f, const std::uint8_t* data, std::size_t size)
{
    const std::string record(reinterpret_cast<const char*>(data), size);
    if (::setxattr(f.filePath.c_str(), "user.SmbReparse", record.data(), record.size(), 0) != 0) {
        return;  // more than the file system keeps
    }
    WIN32_FIND_DATAW findData{};
    HANDLE find = FindFirstFileW(f.fileName.c_str(), &findData);
    FUZZ_CHECK(find != INVALID_HANDLE_VALUE);
    FindClose(find);

    fuzzsupport::clearReport(f.run);
    f.run.checkFile(f.fileName, findData);
    WString text = fuzzsupport::reportText();
    std::optional<std::string> after = storedRecord(f.filePath);
    FUZZ_CHECK(after.has_value());
    if (text.find(WSTR(", Fixed")) != WString::npos) {
        // Samba's form: 8 + ReparseDataLength bytes, of which all but the
        // 24-byte header are data.
        FUZZ_CHECK(size > kDataOffset && size == reparse::kMicrosoftHeaderSize + reparse::dataLengthOf(data));
        FUZZ_CHECK(reparse::tagOf(data) == kTag && size - kDataOffset > kRepairableDataLength);
        FUZZ_CHECK(*after == repaired(record));
    } else {
        FUZZ_CHECK(*after == record);
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    Fixture& f = fixture();
    inTheBuffer(f, data, size);
    onDisk(f, data, size);
    return 0;
}
