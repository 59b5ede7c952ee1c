// NTFS's own structures, as ntfs-3g (with its default
// streams_interface=xattr) shows them:
//
//   system.ntfs_attrib         the attributes, 4 bytes little-endian; ntfs-3g
//                              changes only the ones Windows lets a caller set
//                              (the sparse and reparse point bits follow from
//                              the data, as on Windows)
//   system.ntfs_crtime         the creation time, 8 bytes, FILETIME
//   system.ntfs_reparse_data   the record as NTFS keeps it: headerSize(tag) +
//                              ReparseDataLength bytes (24 + it for a tag with
//                              a GUID); ntfs-3g refuses another length (EINVAL)
//   user.<name>                the stream <name>, its content as it is
//
// ntfs-3g shows a reparse point whose tag it has no plugin for as a symbolic
// link to "unsupported reparse tag 0x<tag>": it is read as the reparse point
// it is, from these xattrs, and the first one of the placeholders' tag makes
// the run say, once, that the sizes are not known and what to install.
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

#include "platform/little_endian.h"
#include "platform/posix/disk_convention.h"
#include "platform/posix/handle_objects.h"
#include "platform/posix/last_error.h"
#include "platform/posix/samba_xattrs.h"
#include "platform/reparse_data_buffer.h"

namespace posix {
namespace {

constexpr const char* kAttribXattr = "system.ntfs_attrib";
constexpr const char* kCrtimeXattr = "system.ntfs_crtime";
constexpr const char* kReparseDataXattr = "system.ntfs_reparse_data";
constexpr std::string_view kStreamPrefix = "user.";
// The placeholders' tag, and the bits 12 to 15 that ntfs-3g ignores when it
// picks a plugin.
constexpr std::uint32_t kPlaceholderTag = 0x10;
constexpr std::uint32_t kPluginIgnoredBits = 0xF000;

std::optional<DWORD> readAttrib(const XattrSource& entry)
{
    char value[4];
    if (entry.get(kAttribXattr, value, sizeof value) != sizeof value) {
        return std::nullopt;
    }
    return littleendian::read<std::uint32_t>(value);
}

bool writeAttrib(int fd, DWORD attrib)
{
    std::string value;
    littleendian::append<std::uint32_t>(value, attrib);
    return writeXattr(fd, kAttribXattr, value);
}

// The link text ntfs-3g gives a reparse point of a tag it has no plugin for.
std::optional<std::uint32_t> unsupportedTag(const XattrSource& entry)
{
    char text[64];
    ssize_t length = entry.fd >= 0 ? ::readlinkat(entry.fd, "", text, sizeof text - 1)
                                   : ::readlink(entry.path, text, sizeof text - 1);
    if (length <= 0) {
        return std::nullopt;
    }
    text[length] = '\0';
    const std::string_view prefix = "unsupported reparse tag 0x";
    if (std::string_view(text, static_cast<std::size_t>(length)).substr(0, prefix.size()) != prefix) {
        return std::nullopt;
    }
    char* end = nullptr;
    unsigned long tag = std::strtoul(text + prefix.size(), &end, 16);
    return *end == '\0' ? std::optional<std::uint32_t>(static_cast<std::uint32_t>(tag)) : std::nullopt;
}

// Once a run: the sizes the report gives for these placeholders are not
// theirs, and the plugin of this program's package would show them.
void tellPluginMissing(const XattrSource& entry)
{
    static bool told = false;
    if (told) {
        return;
    }
    std::optional<std::uint32_t> tag = unsupportedTag(entry);
    if (!tag || (*tag & ~kPluginIgnoredBits) != kPlaceholderTag) {
        return;
    }
    told = true;
    int saved = errno;
    std::fprintf(stderr,
                 "%s: ntfs-3g shows the placeholders (reparse tag 16) of this NTFS volume as symbolic links, so "
                 "their sizes are not known and they cannot be repaired; install the ntfs-3g plugin of the "
                 "stubwarden package (ntfs-plugin-00000010.so in ntfs-3g's plugin folder, "
                 "/usr/lib/x86_64-linux-gnu/ntfs-3g on Debian) and mount the volume again\n",
                 program_invocation_short_name);
    std::fflush(stderr);
    errno = saved;
}

class Ntfs3gConvention final : public DiskConvention {
public:
    Stored readAttributes(const XattrSource& entry, bool isLink, StoredAttributes& stored) const override
    {
        std::optional<DWORD> attrib = readAttrib(entry);
        if (!attrib) {
            return errno == ENODATA || errno == ENOTSUP ? Stored::Absent : Stored::Unreadable;
        }
        if (isLink) {
            // ntfs-3g's own links are no reparse points.
            if ((*attrib & FILE_ATTRIBUTE_REPARSE_POINT) == 0) {
                return Stored::Absent;
            }
            tellPluginMissing(entry);
        }
        stored.attrib = *attrib;
        char time[8];
        if (entry.get(kCrtimeXattr, time, sizeof time) == sizeof time) {
            if (std::uint64_t ticks = littleendian::read<std::uint64_t>(time); ticks != 0) {
                stored.createTime = ticks;
            }
        }
        return Stored::Found;
    }

    DWORD changeAttributes(int fd, bool, DWORD mask, DWORD values, bool evenIfUnchanged) const override
    {
        std::optional<DWORD> attrib = readAttrib(XattrSource{fd, nullptr});
        if (!attrib) {
            return win32ErrorFromErrno(errno);
        }
        DWORD changed = (*attrib & ~mask) | (values & mask);
        if (changed == *attrib && !evenIfUnchanged) {
            return ERROR_SUCCESS;
        }
        return writeAttrib(fd, changed & ~FILE_ATTRIBUTE_NORMAL) ? ERROR_SUCCESS : win32ErrorFromErrno(errno);
    }

    DWORD setCreationTime(int fd, bool, std::uint64_t ticks) const override
    {
        std::string value;
        littleendian::append<std::uint64_t>(value, ticks);
        return writeXattr(fd, kCrtimeXattr, value) ? ERROR_SUCCESS : win32ErrorFromErrno(errno);
    }

    // The record is the reparse point: any entry may hold one.
    DWORD mayHoldRecord(FileObject&) const override { return ERROR_SUCCESS; }

    ssize_t readRecordInto(FileObject& file, char* buffer, std::size_t size) const override
    {
        return readXattrInto(file.fd, kReparseDataXattr, buffer, size);
    }

    std::optional<std::string> readRecord(FileObject& file) const override
    {
        return readXattr(file.fd, kReparseDataXattr);
    }

    bool isConsistentRecord(std::string_view record) const override
    {
        // NTFS counts the data after the GUID of a tag that has one.
        return record.size() >= reparse::kMicrosoftHeaderSize &&
               lengthAgrees(record, reparse::headerSize(reparse::tagOf(record.data())));
    }

    DWORD writeRecord(FileObject& file, std::string_view record) const override
    {
        // One setxattr replaces the record; ntfs-3g sets the attribute.
        if (writeXattr(file.fd, kReparseDataXattr, record)) {
            return ERROR_SUCCESS;
        }
        return errno == EINVAL ? ERROR_INVALID_REPARSE_DATA : win32ErrorFromErrno(errno);
    }

    DWORD setSparse(FileObject& file, bool sparse) const override
    {
        // ntfs-3g marks a file sparse when its data has a hole, and keeps no
        // such mark otherwise: the mark is made by the next SetEndOfFile.
        file.sparseAsked = sparse;
        return ERROR_SUCCESS;
    }

    DWORD setEnd(FileObject& file, off_t position) const override
    {
        // ntfs-3g makes a hole of what a truncation adds, and marks the file
        // sparse. Windows does that only for a sparse file, and allocates the
        // rest: so does this, with zeros written.
        struct stat status {};
        if (::fstat(file.fd, &status) != 0) {
            return win32ErrorFromErrno(errno);
        }
        std::optional<DWORD> attrib = readAttrib(XattrSource{file.fd, nullptr});
        bool sparse = file.sparseAsked || (attrib && (*attrib & FILE_ATTRIBUTE_SPARSE_FILE) != 0);
        if (position <= status.st_size || sparse) {
            return ::ftruncate(file.fd, position) == 0 ? ERROR_SUCCESS : win32ErrorFromErrno(errno);
        }
        static const char zeros[65536] = {};
        for (off_t at = status.st_size; at < position;) {
            ssize_t written = ::pwrite(file.fd, zeros, static_cast<std::size_t>(std::min<off_t>(sizeof zeros, position - at)), at);
            if (written < 0 && errno == EINTR) {
                continue;
            }
            if (written <= 0) {
                return win32ErrorFromErrno(written < 0 ? errno : ENOSPC);
            }
            at += written;
        }
        return ERROR_SUCCESS;
    }

    std::string streamKey(std::string_view name) const override
    {
        std::string key(kStreamPrefix);
        key += name;
        return key;
    }

    std::optional<std::string> readStream(int fd, const std::string& key) const override
    {
        return readXattr(fd, key.c_str());
    }

    bool writeStream(int fd, const std::string& key, std::string_view content) const override
    {
        return writeXattr(fd, key.c_str(), content);
    }
};

}  // namespace

bool showsNtfs3gXattrs(const XattrSource& entry) { return readAttrib(entry).has_value(); }

const DiskConvention& ntfs3gConvention()
{
    static const Ntfs3gConvention convention;
    return convention;
}

}  // namespace posix
