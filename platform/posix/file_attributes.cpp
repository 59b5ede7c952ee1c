#include "platform/posix/file_attributes.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/xattr.h>

#include "platform/posix/handle_objects.h"
#include "platform/posix/path_anchor.h"
#include "platform/posix/text_conversion.h"

namespace posix {
namespace {

std::uint64_t ticks(const struct statx_timestamp& time)
{
    return ticksFromUnix(time.tv_sec, time.tv_nsec);
}

// What the file system knows of the creation: the birth time, else the
// modification time.
std::uint64_t fileSystemCreationTime(const struct statx& status)
{
    return (status.stx_mask & STATX_BTIME) != 0 ? ticks(status.stx_btime) : ticks(status.stx_mtime);
}

// The attrib as stored: the folder bit from the file type, and no
// FILE_ATTRIBUTE_NORMAL, which only stands for "no other attribute".
DWORD storedForType(DWORD attrib, bool isDirectory)
{
    attrib &= ~FILE_ATTRIBUTE_NORMAL;
    return isDirectory ? attrib | FILE_ATTRIBUTE_DIRECTORY : attrib & ~FILE_ATTRIBUTE_DIRECTORY;
}

}  // namespace

std::uint64_t ticksFromUnix(std::int64_t seconds, std::uint32_t nanoseconds)
{
    return static_cast<std::uint64_t>(seconds * 10000000LL + nanoseconds / 100) + kUnixEpochTicks;
}

DWORD attributesForType(DWORD stored, bool isDirectory)
{
    stored = storedForType(stored, isDirectory);
    return stored == 0 ? FILE_ATTRIBUTE_NORMAL : stored;
}

bool readEntryInfo(const std::string& fsPath, EntryInfo& info)
{
    Anchor anchor;
    return anchor.resolve(fsPath) && readEntryInfo(anchor.folder(), anchor.name(), anchor.xattrPath(), info);
}

bool readEntryInfo(int dirFd, const char* name, const std::string& xattrPath, EntryInfo& info)
{
    struct statx status {};
    int flags = AT_SYMLINK_NOFOLLOW | (*name == '\0' ? AT_EMPTY_PATH : 0);
    if (::statx(dirFd, name, flags, STATX_BASIC_STATS | STATX_BTIME, &status) != 0) {
        return false;
    }
    info = EntryInfo{};
    info.device = makedev(status.stx_dev_major, status.stx_dev_minor);
    info.inode = status.stx_ino;
    info.links = status.stx_nlink;
    info.lastAccessTime = ticks(status.stx_atime);
    info.lastWriteTime = ticks(status.stx_mtime);
    info.creationTime = fileSystemCreationTime(status);
    info.isSymlink = S_ISLNK(status.stx_mode);
    if (info.isSymlink) {
        // Linux keeps no user xattrs on a link: the link's attributes are
        // those of a new link on NTFS.
        struct stat target {};
        int followed = *name != '\0' ? ::fstatat(dirFd, name, &target, 0) : ::stat(xattrPath.c_str(), &target);
        bool toFolder = followed == 0 && S_ISDIR(target.st_mode);
        info.isDirectory = toFolder;
        info.attributes = FILE_ATTRIBUTE_REPARSE_POINT | (toFolder ? FILE_ATTRIBUTE_DIRECTORY : FILE_ATTRIBUTE_ARCHIVE);
        return true;
    }
    info.isDirectory = S_ISDIR(status.stx_mode);
    if (S_ISREG(status.stx_mode)) {
        info.size = status.stx_size;
    }
    // Read into the stack: this runs for every entry listed. A value too
    // large for the buffer is no user.DOSATTRIB Samba writes: ignored.
    std::optional<DosAttrib> stored;
    char value[kDosAttribReadLimit];
    ssize_t length = *name != '\0' ? ::lgetxattr(xattrPath.c_str(), kDosAttribXattr, value, sizeof value)
                                    : readXattrInto(dirFd, kDosAttribXattr, value, sizeof value);
    if (length >= 0) {
        stored = decodeDosAttrib(std::string_view(value, static_cast<std::size_t>(length)));
    } else if (errno == ERANGE) {
        stored = std::nullopt;
    } else if (S_ISREG(status.stx_mode) && errno != ENODATA && errno != ENOTSUP) {
        // The attributes exist but may not be read (no read permission and
        // no backup privilege). Windows would still list them; here the file
        // is shown as a reparse point, so that reading it is tried and its
        // failure reported, never passed off as "not a placeholder".
        info.attributes = FILE_ATTRIBUTE_ARCHIVE | FILE_ATTRIBUTE_REPARSE_POINT;
        return true;
    }
    if (stored) {
        info.attributes = attributesForType(stored->attrib, info.isDirectory);
        if (stored->createTime) {
            info.creationTime = *stored->createTime;
        }
    } else {
        info.attributes = info.isDirectory ? FILE_ATTRIBUTE_DIRECTORY : FILE_ATTRIBUTE_ARCHIVE;
    }
    return true;
}

DosAttrib storedDosAttrib(int fd, const std::string& fsPath, bool isDirectory)
{
    std::optional<std::string> value = fd >= 0 ? readXattr(fd, kDosAttribXattr) : readXattr(fsPath, kDosAttribXattr);
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
        ::statx(fd >= 0 ? fd : AT_FDCWD, fd >= 0 ? "" : fsPath.c_str(),
                AT_SYMLINK_NOFOLLOW | (fd >= 0 ? AT_EMPTY_PATH : 0), STATX_MTIME | STATX_BTIME, &status) == 0) {
        stored->createTime = fileSystemCreationTime(status);
    }
    return *stored;
}

bool writeDosAttrib(int fd, const DosAttrib& info)
{
    return writeXattr(fd, kDosAttribXattr, encodeDosAttrib(info));
}

WIN32_FIND_DATAW toFindData(const EntryInfo& info, std::string_view name)
{
    WIN32_FIND_DATAW data{};
    data.dwFileAttributes = info.attributes;
    data.ftCreationTime = toFileTime(info.creationTime);
    data.ftLastAccessTime = toFileTime(info.lastAccessTime);
    data.ftLastWriteTime = toFileTime(info.lastWriteTime);
    data.nFileSizeHigh = static_cast<DWORD>(info.size >> 32);
    data.nFileSizeLow = static_cast<DWORD>(info.size & 0xFFFFFFFF);
    // A Linux name has at most 255 bytes, and each byte gives at most one
    // code unit, so it always fits. Most names are ASCII: copied as they are.
    std::size_t units = 0;
    while (units < name.size() && units < MAX_PATH - 1 && static_cast<unsigned char>(name[units]) < 0x80) {
        data.cFileName[units] = static_cast<WCHAR>(name[units]);
        ++units;
    }
    if (units < name.size()) {
        WString wide = decodeFileSystemBytes(name);
        units = std::min<std::size_t>(wide.size(), MAX_PATH - 1);
        std::memcpy(data.cFileName, wide.data(), units * sizeof(WCHAR));
    }
    data.cFileName[units] = 0;
    return data;
}

}  // namespace posix
