// Builds rehearsal trees: folders, ordinary files, placeholders of every
// kind, other reparse points, symbolic links and archive point markers.
//
// Everything is written through the same platform calls the program reads
// through (CreateFileW, DeviceIoControl, SetFileAttributesW, SetFileTime,
// ...), so on Linux the tree follows Samba's on-disk convention and on
// Windows it is made of real NTFS reparse points and streams.
#pragma once

#include <cstdint>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "platform/win32.h"

namespace treebuilder {

using Bytes = std::vector<BYTE>;

// A failed platform call while building: names the call, the path and the
// Windows error code.
class BuildError : public std::runtime_error {
public:
    BuildError(const std::string& call, const WString& path, DWORD code);
    std::string call;
    WString path;
    DWORD code;
};

// The kinds of placeholder record, each with the one fault it stands for.
enum class PlaceholderKind {
    Good,                  // valid record, URL at 84
    WrongGuid,             // "Incorrect GUID"
    WrongMagic,            // "Incorrect magic value"
    WrongSignature,        // "Incorrect signature": lower-case signature
    UnendedSignature,      // "Incorrect signature": no U+0000 after the 16 characters
    WrongUrl,              // "Invalid URL": ftp:// at 84
    EmptyUrl,              // "Invalid URL": nothing at 84
    Misplaced,             // "Invalid URL", repairable: the URL and what follows at 604
    MisplacedCapitalHttp,  // "Invalid URL", not repairable: "HTTP" at 604
};

struct PlaceholderSpec {
    PlaceholderKind kind = PlaceholderKind::Good;
    WString url = WSTR("http://archive.example/vault/0001");
    // ReparseDataLength; the record is cut or padded with zeros to match.
    // Unset: just long enough for the kind's content.
    std::optional<std::uint16_t> dataLength;
};

// The reparse data buffer of a placeholder, as FSCTL_SET_REPARSE_POINT takes it.
Bytes placeholderRecord(const PlaceholderSpec& wanted);

// A reparse data buffer with another tag: a GUID header (the given GUID, by
// default all zeros) when the tag lacks the Microsoft bit, the short header
// when it has it.
Bytes reparseRecord(DWORD tag, const Bytes& data, const GUID& guid = GUID{});

// The records above are in NTFS's form. For a tag with a GUID, NTFS counts
// in ReparseDataLength only the data after the GUID (the record is 24 +
// ReparseDataLength bytes); Samba counts the GUID too (8 + ReparseDataLength
// bytes, for every tag). The same record in Samba's form, and any record
// read back in NTFS's; a tag with the Microsoft bit reads the same in both.
Bytes sambaForm(Bytes record);
Bytes ntfsForm(Bytes record);

struct FileSpec {
    std::uint64_t size = 0;  // beyond the content: a hole, taking no space
    std::string content;     // written first
    // Attributes SetFileAttributesW can set (read-only, hidden, system,
    // archive, offline); 0 leaves the file's own.
    DWORD attributes = 0;
    bool sparse = false;
    std::optional<FILETIME> created;
};

// Offline and sparse: what an archived file looks like.
FileSpec placeholderFile(std::uint64_t size = 0);

// FILETIME of a UTC calendar time.
FILETIME fileTimeUtc(int year, int month, int day, int hour = 0, int minute = 0, int second = 0);

void makeFolder(const WString& path);
void makeFile(const WString& path, const FileSpec& wanted);
// A file whose reparse point is set to `record`.
void makeReparsePoint(const WString& path, const FileSpec& wanted, const Bytes& record);
// A placeholder: by default offline and sparse, as the archiving product leaves it.
void makePlaceholder(const WString& path, const PlaceholderSpec& placeholder, FileSpec wanted = placeholderFile());
void makeSymbolicLink(const WString& link, const WString& target, bool toFolder);
// Writes the whole alternate data stream "path:name".
void writeStream(const WString& path, const WString& streamName, const std::string& content);
// The archive point marker of a folder: its stream kMarkerStreamName.
void makeArchivePoint(const WString& folder, const std::string& xml);
std::string archivePointXml(const std::string& identifier, const std::string& name);

}  // namespace treebuilder
