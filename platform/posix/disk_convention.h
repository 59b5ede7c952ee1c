// Where a volume keeps what Windows keeps in NTFS: the attributes, the
// creation time, the reparse data and the alternate data streams. The Win32
// functions of the layer reach these only through DiskConvention, whose
// implementations sit side by side:
//
//   Samba's (samba_convention.cpp)   user.DOSATTRIB, user.SmbReparse and
//                                    user.DosStream.<name>:$DATA, as Samba
//                                    keeps them on any Linux file system
//   NTFS's through ntfs-3g           system.ntfs_attrib, system.ntfs_crtime,
//   (ntfs3g_convention.cpp)          system.ntfs_reparse_data and user.<name>:
//                                    the volume's own NTFS structures
//
// Which one a volume has is looked up once per volume (st_dev), from the
// first entry met on it: ntfs-3g answers system.ntfs_attrib on every entry,
// other file systems refuse the name.
#pragma once

#include "platform/posix/layer_private.h"

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <sys/types.h>

#include "platform/reparse_data_buffer.h"
#include "platform/win32.h"

namespace posix {

struct FileObject;

// Where an entry's xattrs are reached: an open descriptor, or else a path
// for the l*xattr calls (which do not follow a final link).
struct XattrSource {
    int fd = -1;
    const char* path = nullptr;

    // The value into the buffer: its length, or -1 with errno set (ERANGE
    // when larger than the buffer, ENODATA when absent).
    ssize_t get(const char* name, char* buffer, std::size_t size) const;
    // The whole value; nullopt with errno set.
    [[nodiscard]] std::optional<std::string> whole(const char* name) const;
};

// What a volume stores of an entry's attributes and creation time.
struct StoredAttributes {
    DWORD attrib = 0;
    std::optional<std::uint64_t> createTime;  // FILETIME ticks
};

enum class Stored {
    Found,       // read
    Absent,      // nothing stored: the layer's defaults for the file type
    Unreadable,  // there but not readable (errno set)
};

class DiskConvention {
public:
    virtual ~DiskConvention() = default;

    // The attributes and creation time of an entry, listed or open (`isLink`:
    // a symbolic link as Linux shows it). Runs for every entry listed.
    virtual Stored readAttributes(const XattrSource& entry, bool isLink, StoredAttributes& stored) const = 0;
    // Sets the bits of `mask` to those of `values`, keeping the rest; a value
    // that already says so is left untouched unless `evenIfUnchanged`.
    virtual DWORD changeAttributes(int fd, bool isDirectory, DWORD mask, DWORD values, bool evenIfUnchanged) const = 0;
    virtual DWORD setCreationTime(int fd, bool isDirectory, std::uint64_t ticks) const = 0;

    // Reparse data of an open entry. Whether the entry can be a reparse
    // point here at all (ERROR_SUCCESS), before its record is read.
    virtual DWORD mayHoldRecord(FileObject& file) const = 0;
    // The record into the buffer, or whole: as XattrSource::get and whole;
    // ENODATA when the entry has none.
    virtual ssize_t readRecordInto(FileObject& file, char* buffer, std::size_t size) const = 0;
    [[nodiscard]] virtual std::optional<std::string> readRecord(FileObject& file) const = 0;
    // Whether a record's length agrees with its header as this volume counts it.
    [[nodiscard]] virtual bool isConsistentRecord(std::string_view record) const = 0;
    // Stores a consistent record, replacing any in one step, and marks the
    // entry a reparse point.
    virtual DWORD writeRecord(FileObject& file, std::string_view record) const = 0;
    // A symbolic link that shows no stored record is a Linux link, whose
    // record the layer makes from its target.

    // The sparse attribute, asked for by FSCTL_SET_SPARSE.
    virtual DWORD setSparse(FileObject& file, bool sparse) const = 0;
    // Ends an open file at `position`, as SetEndOfFile does.
    virtual DWORD setEnd(FileObject& file, off_t position) const = 0;

    // Alternate data streams: the key naming the stream `name` of an entry,
    // its content (nullopt with errno set, ENODATA when there is no such
    // stream) and its replacement.
    [[nodiscard]] virtual std::string streamKey(std::string_view name) const = 0;
    [[nodiscard]] virtual std::optional<std::string> readStream(int fd, const std::string& key) const = 0;
    virtual bool writeStream(int fd, const std::string& key, std::string_view content) const = 0;
};

const DiskConvention& sambaConvention();
const DiskConvention& ntfs3gConvention();
// Whether an entry shows ntfs-3g's own xattrs.
bool showsNtfs3gXattrs(const XattrSource& entry);

// True when a record is `header` + ReparseDataLength bytes long, holds at
// least a tag and a length, and is no longer than the largest NTFS keeps:
// the rule of both conventions, which differ only in the header they count.
inline bool lengthAgrees(std::string_view record, std::size_t header)
{
    return record.size() >= reparse::kMicrosoftHeaderSize && record.size() <= MAXIMUM_REPARSE_DATA_BUFFER_SIZE &&
           record.size() >= header && record.size() == header + reparse::dataLengthOf(record.data());
}

// The convention of the volume `device`, looked up through `entry` (an entry
// on it) the first time that volume is met.
const DiskConvention& conventionOf(dev_t device, const XattrSource& entry);
// The convention of an open entry's volume (its device is looked up once per
// handle, with its type).
const DiskConvention& conventionOf(FileObject& file);

}  // namespace posix
