// Samba's convention (samba_xattrs.h): the attributes and the creation time
// in user.DOSATTRIB, a file's reparse data in user.SmbReparse behind the
// attribute, streams in user.DosStream.<name>:$DATA with a trailing NUL.
//
// Records are checked as Samba (4.22 and later) checks them, both ways: a
// record is 8 + ReparseDataLength bytes long whatever its tag, so for a tag
// with a GUID the GUID is counted in ReparseDataLength, unlike on NTFS. A
// record of any other length is never stored, and a stored one is refused as
// Samba refuses to serve it to a client.
#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "platform/posix/disk_convention.h"
#include "platform/posix/file_attributes.h"
#include "platform/posix/handle_objects.h"
#include "platform/posix/last_error.h"
#include "platform/posix/samba_xattrs.h"
#include "platform/reparse_data_buffer.h"

namespace posix {
namespace {

// The attrib and create time stored for an open entry, for a
// read-modify-write of user.DOSATTRIB: the defaults when the xattr is absent
// or unreadable, the creation time the entry shows when the value carries
// none, the folder bit from the file type and never FILE_ATTRIBUTE_NORMAL.
DosAttrib storedDosAttrib(int fd, bool isDirectory)
{
    std::optional<std::string> value = readXattr(fd, kDosAttribXattr);
    std::optional<DosAttrib> stored = value ? decodeDosAttrib(*value) : std::nullopt;
    if (stored) {
        stored->attrib = storedForType(stored->attrib, isDirectory);
    } else {
        stored = DosAttrib{isDirectory ? FILE_ATTRIBUTE_DIRECTORY : FILE_ATTRIBUTE_ARCHIVE, std::nullopt};
    }
    // Written back with the creation time the entry shows now, so that a
    // later change of the modification time cannot move it.
    struct statx status {};
    if (!stored->createTime &&
        ::statx(fd, "", AT_SYMLINK_NOFOLLOW | AT_EMPTY_PATH, STATX_MTIME | STATX_BTIME, &status) == 0) {
        stored->createTime = fileSystemCreationTime(status);
    }
    return *stored;
}

DWORD writeDosAttrib(int fd, const DosAttrib& info)
{
    return writeXattr(fd, kDosAttribXattr, encodeDosAttrib(info)) ? ERROR_SUCCESS : win32ErrorFromErrno(errno);
}

class SambaConvention final : public DiskConvention {
public:
    Stored readAttributes(const XattrSource& entry, bool isLink, StoredAttributes& stored) const override
    {
        // Linux keeps no user xattrs on a link.
        if (isLink) {
            return Stored::Absent;
        }
        // Read into the stack: this runs for every entry listed. A value too
        // large for the buffer is no user.DOSATTRIB Samba writes: ignored.
        char value[kDosAttribReadLimit];
        ssize_t length = readDosAttribInto(
            [&](char* buffer, std::size_t size) { return entry.get(kDosAttribXattr, buffer, size); }, value);
        if (length < 0) {
            return errno == ERANGE || errno == ENODATA || errno == ENOTSUP ? Stored::Absent : Stored::Unreadable;
        }
        std::optional<DosAttrib> decoded = decodeDosAttrib(std::string_view(value, static_cast<std::size_t>(length)));
        if (!decoded) {
            return Stored::Absent;
        }
        stored.attrib = decoded->attrib;
        stored.createTime = decoded->createTime;
        return Stored::Found;
    }

    DWORD changeAttributes(int fd, bool isDirectory, DWORD mask, DWORD values, bool evenIfUnchanged) const override
    {
        DosAttrib stored = storedDosAttrib(fd, isDirectory);
        DWORD changed = (stored.attrib & ~mask) | (values & mask);
        if (changed == stored.attrib && !evenIfUnchanged) {
            return ERROR_SUCCESS;
        }
        stored.attrib = changed;
        return writeDosAttrib(fd, stored);
    }

    DWORD setCreationTime(int fd, bool isDirectory, std::uint64_t ticks) const override
    {
        DosAttrib stored = storedDosAttrib(fd, isDirectory);
        stored.createTime = ticks;
        return writeDosAttrib(fd, stored);
    }

    DWORD mayHoldRecord(FileObject& file) const override
    {
        if (file.isSymlink) {
            return ERROR_NOT_A_REPARSE_POINT;  // no xattrs: the layer's link record
        }
        // The attribute of the entry this handle has open, although the
        // listing read it too: the entry listed may have been swapped for
        // another between the listing and the open, and a file without the
        // attribute is no reparse point, whatever user.SmbReparse a former
        // one left. Read into the stack, as large as the listing's buffer,
        // so that both take or ignore the same values.
        char attributes[kDosAttribReadLimit];
        ssize_t length = readDosAttribInto(
            [&](char* buffer, std::size_t size) { return readXattrInto(file.fd, kDosAttribXattr, buffer, size); },
            attributes);
        std::optional<DosAttrib> stored =
            length >= 0 ? decodeDosAttrib(std::string_view(attributes, static_cast<std::size_t>(length)))
                        : std::nullopt;
        // Samba serves reparse points of regular files only.
        if (!stored || (stored->attrib & FILE_ATTRIBUTE_REPARSE_POINT) == 0 || isFolder(file)) {
            return ERROR_NOT_A_REPARSE_POINT;
        }
        return ERROR_SUCCESS;
    }

    ssize_t readRecordInto(FileObject& file, char* buffer, std::size_t size) const override
    {
        return readXattrInto(file.fd, kReparseXattr, buffer, size);
    }

    std::optional<std::string> readRecord(FileObject& file) const override
    {
        return readXattr(file.fd, kReparseXattr);
    }

    bool isConsistentRecord(std::string_view record) const override
    {
        // Samba counts everything after the tag and the length, a GUID too.
        return lengthAgrees(record, reparse::kMicrosoftHeaderSize);
    }

    DWORD writeRecord(FileObject& file, std::string_view record) const override
    {
        // Samba keeps reparse points on regular files only.
        if (isFolder(file)) {
            return ERROR_ACCESS_DENIED;
        }
        // One setxattr replaces the whole value: the old record or the new
        // one, never a mix.
        if (!writeXattr(file.fd, kReparseXattr, record)) {
            return win32ErrorFromErrno(errno);
        }
        return changeAttributes(file.fd, false, FILE_ATTRIBUTE_REPARSE_POINT, FILE_ATTRIBUTE_REPARSE_POINT, false);
    }

    DWORD setSparse(FileObject& file, bool sparse) const override
    {
        // Only the attribute: Linux files have holes whatever it says.
        return changeAttributes(file.fd, false, FILE_ATTRIBUTE_SPARSE_FILE, sparse ? FILE_ATTRIBUTE_SPARSE_FILE : 0,
                                false);
    }

    DWORD setEnd(FileObject& file, off_t position) const override
    {
        // A longer file gets a hole, so a large placeholder takes no space.
        return ::ftruncate(file.fd, position) == 0 ? ERROR_SUCCESS : win32ErrorFromErrno(errno);
    }

    std::string streamKey(std::string_view name) const override { return streamXattrName(name); }

    std::optional<std::string> readStream(int fd, const std::string& key) const override
    {
        std::optional<std::string> value = readXattr(fd, key.c_str());
        if (value && !value->empty()) {
            value->pop_back();  // the NUL that streams_xattr always stores
        }
        return value;
    }

    bool writeStream(int fd, const std::string& key, std::string_view content) const override
    {
        std::string value(content);
        value += '\0';
        return writeXattr(fd, key.c_str(), value);
    }
};

}  // namespace

const DiskConvention& sambaConvention()
{
    static const SambaConvention convention;
    return convention;
}

}  // namespace posix
