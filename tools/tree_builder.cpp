#include "tools/tree_builder.h"

#include <cstring>

#include "archivepoint/archive_point_marker.h"
#include "placeholder/placeholder_record.h"
#include "platform/ascii_case.h"
#include "platform/little_endian.h"
#include "platform/reparse_data_buffer.h"
#include "platform/text_conversion.h"
#include "platform/unique_resource.h"

namespace treebuilder {
namespace {

[[noreturn]] void failed(const char* call, const WString& path)
{
    throw BuildError(call, path, GetLastError());
}

void putUint32(Bytes& bytes, std::size_t offset, std::uint32_t value) { littleendian::write(bytes.data() + offset, value); }
void putUint16(Bytes& bytes, std::size_t offset, std::uint16_t value) { littleendian::write(bytes.data() + offset, value); }

// Writes text as UTF-16LE at offset, followed by U+0000; returns the end.
std::size_t putText(Bytes& bytes, std::size_t offset, WStringView text)
{
    bytes.resize(std::max(bytes.size(), offset + 2 * (text.size() + 1)));
    for (std::size_t i = 0; i < text.size(); ++i) {
        putUint16(bytes, offset + 2 * i, static_cast<std::uint16_t>(text[i]));
    }
    putUint16(bytes, offset + 2 * text.size(), 0);
    return offset + 2 * (text.size() + 1);
}

UniqueHandle createForWriting(const WString& path)
{
    UniqueHandle file(CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL,
                                  nullptr));
    if (!file) {
        failed("CreateFileW", path);
    }
    return file;
}

// Content, size, sparseness and creation time of a file open for writing.
void shapeFile(HANDLE file, const WString& path, const FileSpec& wanted)
{
    DWORD returned = 0;
    if (wanted.sparse && !DeviceIoControl(file, FSCTL_SET_SPARSE, nullptr, 0, nullptr, 0, &returned, nullptr)) {
        failed("DeviceIoControl(FSCTL_SET_SPARSE)", path);
    }
    if (!wanted.content.empty()) {
        DWORD written = 0;
        if (!WriteFile(file, wanted.content.data(), static_cast<DWORD>(wanted.content.size()), &written, nullptr) ||
            written != wanted.content.size()) {
            failed("WriteFile", path);
        }
    }
    if (wanted.size > wanted.content.size()) {
        LARGE_INTEGER end{};
        end.QuadPart = static_cast<LONGLONG>(wanted.size);
        if (!SetFilePointerEx(file, end, nullptr, FILE_BEGIN) || !SetEndOfFile(file)) {
            failed("SetEndOfFile", path);
        }
    }
    if (wanted.created && !SetFileTime(file, &*wanted.created, nullptr, nullptr)) {
        failed("SetFileTime", path);
    }
}

void applyAttributes(const WString& path, DWORD attributes)
{
    if (attributes != 0 && !SetFileAttributesW(path.c_str(), attributes)) {
        failed("SetFileAttributesW", path);
    }
}

}  // namespace

BuildError::BuildError(const std::string& failedCall, const WString& failedPath, DWORD errorCode)
    : std::runtime_error(failedCall + " failed for " + utf8Text(failedPath) + ": error " + std::to_string(errorCode)),
      call(failedCall),
      path(failedPath),
      code(errorCode)
{
}

Bytes placeholderRecord(const PlaceholderSpec& wanted)
{
    using namespace placeholder;
    Bytes record(kUrlOffset, 0);
    putUint32(record, reparse::kTagOffset, kTag);
    GUID guid = kGuid;
    if (wanted.kind == PlaceholderKind::WrongGuid) {
        guid.Data1 ^= 0xFF;
    }
    std::memcpy(record.data() + reparse::kGuidOffset, &guid, sizeof guid);
    putUint32(record, kMagicOffset, wanted.kind == PlaceholderKind::WrongMagic ? kMagic + 1 : kMagic);
    putText(record, kSignatureOffset, wanted.kind == PlaceholderKind::WrongSignature ? WSTR("q-marlo012345678") : kSignature);
    if (wanted.kind == PlaceholderKind::UnendedSignature) {
        putUint16(record, kSignatureEndOffset, 'X');
    }

    std::size_t end = kUrlOffset;
    switch (wanted.kind) {
    case PlaceholderKind::WrongUrl:
        end = putText(record, kUrlOffset, WSTR("ftp://archive.example/vault/0001"));
        break;
    case PlaceholderKind::EmptyUrl:
        end = putText(record, kUrlOffset, WString());
        break;
    case PlaceholderKind::Misplaced:
        end = putText(record, kMisplacedUrlOffset, wanted.url);
        break;
    case PlaceholderKind::MisplacedCapitalHttp: {
        WString url = wanted.url;
        for (std::size_t i = 0; i < url.size() && i < kUrlScheme.size(); ++i) {
            url[i] = asciiUpper(url[i]);
        }
        end = putText(record, kMisplacedUrlOffset, url);
        break;
    }
    default:
        std::memcpy(record.data() + kFlagBytesOffset, kRepairedFlagBytes, sizeof kRepairedFlagBytes);
        end = putText(record, kUrlOffset, wanted.url);
        break;
    }
    std::size_t dataLength = wanted.dataLength ? *wanted.dataLength : end - kDataOffset;
    record.resize(kDataOffset + dataLength, 0);
    putUint16(record, reparse::kDataLengthOffset, static_cast<std::uint16_t>(dataLength));
    return record;
}

Bytes reparseRecord(DWORD tag, const Bytes& data, const GUID& guid)
{
    Bytes record(reparse::headerSize(tag), 0);
    if (!reparse::isMicrosoftTag(tag)) {
        std::memcpy(record.data() + reparse::kGuidOffset, &guid, sizeof guid);
    }
    putUint32(record, reparse::kTagOffset, tag);
    putUint16(record, reparse::kDataLengthOffset, static_cast<std::uint16_t>(data.size()));
    record.insert(record.end(), data.begin(), data.end());
    return record;
}

namespace {

Bytes withDataLength(Bytes record, std::size_t header)
{
    if (record.size() >= header && !reparse::isMicrosoftTag(reparse::tagOf(record.data()))) {
        putUint16(record, reparse::kDataLengthOffset, static_cast<std::uint16_t>(record.size() - header));
    }
    return record;
}

}  // namespace

Bytes sambaForm(Bytes record) { return withDataLength(std::move(record), reparse::kMicrosoftHeaderSize); }
Bytes ntfsForm(Bytes record) { return withDataLength(std::move(record), reparse::kGuidHeaderSize); }

FileSpec placeholderFile(std::uint64_t size)
{
    FileSpec wanted;
    wanted.size = size;
    wanted.attributes = FILE_ATTRIBUTE_OFFLINE;
    wanted.sparse = true;
    return wanted;
}

FILETIME fileTimeUtc(int year, int month, int day, int hour, int minute, int second)
{
    // Days since 1970-01-01 of a proleptic Gregorian date.
    int y = year - (month <= 2 ? 1 : 0);
    int era = (y >= 0 ? y : y - 399) / 400;
    int yearOfEra = y - era * 400;
    int dayOfYear = (153 * (month + (month > 2 ? -3 : 9)) + 2) / 5 + day - 1;
    int dayOfEra = yearOfEra * 365 + yearOfEra / 4 - yearOfEra / 100 + dayOfYear;
    long long days = static_cast<long long>(era) * 146097 + dayOfEra - 719468;
    long long seconds = days * 86400 + hour * 3600 + minute * 60 + second;
    auto ticks = static_cast<std::uint64_t>((seconds + 11644473600LL) * 10000000LL);
    return FILETIME{static_cast<DWORD>(ticks & 0xFFFFFFFF), static_cast<DWORD>(ticks >> 32)};
}

void makeFolder(const WString& path)
{
    if (!CreateDirectoryW(path.c_str(), nullptr) && GetLastError() != ERROR_ALREADY_EXISTS) {
        failed("CreateDirectoryW", path);
    }
}

void makeFile(const WString& path, const FileSpec& wanted)
{
    {
        UniqueHandle file = createForWriting(path);
        shapeFile(file.get(), path, wanted);
    }
    applyAttributes(path, wanted.attributes);
}

void makeReparsePoint(const WString& path, const FileSpec& wanted, const Bytes& record)
{
    {
        UniqueHandle file = createForWriting(path);
        shapeFile(file.get(), path, wanted);
        // The volume decides the form: NTFS takes the record as it is, Samba
        // (and the Linux build, which keeps Samba's convention) only in its
        // own form, and each refuses the other's for its length.
        auto set = [&](const Bytes& form) {
            DWORD returned = 0;
            return DeviceIoControl(file.get(), FSCTL_SET_REPARSE_POINT, const_cast<BYTE*>(form.data()),
                                   static_cast<DWORD>(form.size()), nullptr, 0, &returned, nullptr) != FALSE;
        };
        bool hasGuid = record.size() >= reparse::kGuidHeaderSize && !reparse::isMicrosoftTag(reparse::tagOf(record.data()));
        if (!set(record) && !(hasGuid && GetLastError() == ERROR_INVALID_REPARSE_DATA && set(sambaForm(record)))) {
            failed("DeviceIoControl(FSCTL_SET_REPARSE_POINT)", path);
        }
    }
    applyAttributes(path, wanted.attributes);
}

void makePlaceholder(const WString& path, const PlaceholderSpec& placeholder, FileSpec wanted)
{
    makeReparsePoint(path, wanted, placeholderRecord(placeholder));
}

void makeSymbolicLink(const WString& link, const WString& target, bool toFolder)
{
    DWORD flags = toFolder ? SYMBOLIC_LINK_FLAG_DIRECTORY : 0;
#ifdef _WIN32
    flags |= SYMBOLIC_LINK_FLAG_ALLOW_UNPRIVILEGED_CREATE;  // developer mode: no privilege needed
#endif
    if (!CreateSymbolicLinkW(link.c_str(), target.c_str(), flags)) {
        failed("CreateSymbolicLinkW", link);
    }
}

void writeStream(const WString& path, const WString& streamName, const std::string& content)
{
    WString streamPath = path + WSTR(":") + streamName;
    UniqueHandle stream(CreateFileW(streamPath.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                                    FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!stream) {
        failed("CreateFileW", streamPath);
    }
    DWORD written = 0;
    if (!content.empty() &&
        (!WriteFile(stream.get(), content.data(), static_cast<DWORD>(content.size()), &written, nullptr) ||
         written != content.size())) {
        failed("WriteFile", streamPath);
    }
}

void makeArchivePoint(const WString& folder, const std::string& xml)
{
    writeStream(folder, WString(kMarkerStreamName), xml);
}

std::string archivePointXml(const std::string& identifier, const std::string& name)
{
    return "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<archivePoint><archiveQEID>" + identifier +
           "</archiveQEID><name>" + name + "</name></archivePoint>\n";
}

}  // namespace treebuilder
