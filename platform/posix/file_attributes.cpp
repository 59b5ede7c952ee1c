#include "platform/posix/file_attributes.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/xattr.h>

#include "platform/posix/disk_convention.h"
#include "platform/posix/handle_objects.h"
#include "platform/posix/path_anchor.h"
#include "platform/posix/text_conversion.h"

namespace posix {
namespace {

std::uint64_t ticks(const struct statx_timestamp& time)
{
    return ticksFromUnix(time.tv_sec, time.tv_nsec);
}

}  // namespace

std::uint64_t fileSystemCreationTime(const struct statx& status)
{
    return (status.stx_mask & STATX_BTIME) != 0 ? ticks(status.stx_btime) : ticks(status.stx_mtime);
}

DWORD storedForType(DWORD attrib, bool isDirectory)
{
    attrib &= ~FILE_ATTRIBUTE_NORMAL;
    return isDirectory ? attrib | FILE_ATTRIBUTE_DIRECTORY : attrib & ~FILE_ATTRIBUTE_DIRECTORY;
}

std::uint64_t ticksFromUnix(std::int64_t seconds, std::uint32_t nanoseconds)
{
    return static_cast<std::uint64_t>(seconds * 10000000LL + nanoseconds / 100) + kUnixEpochTicks;
}

DWORD attributesForType(DWORD stored, bool isDirectory)
{
    stored = storedForType(stored, isDirectory);
    return stored == 0 ? FILE_ATTRIBUTE_NORMAL : stored;
}

bool readEntryInfo(const Anchor& entry, EntryInfo& info)
{
    return readEntryInfo(entry.folder(), entry.name(), entry.xattrPath(), info);
}

bool readEntryInfo(int dirFd, const char* name, const std::string& xattrPath, EntryInfo& info)
{
    struct statx status;  // written whole by the call; this runs for every entry listed
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
    XattrSource source = *name != '\0' ? XattrSource{-1, xattrPath.c_str()} : XattrSource{dirFd, nullptr};
    const DiskConvention& disk = conventionOf(info.device, source);
    StoredAttributes stored;
    Stored found = disk.readAttributes(source, info.isSymlink, stored);
    if (found == Stored::Found && stored.createTime) {
        info.creationTime = *stored.createTime;
    }
    if (info.isSymlink) {
        if (found == Stored::Found) {
            // A reparse point that the volume shows as a link (ntfs-3g, for
            // a tag it has no plugin for): what the volume stores of it.
            info.isDirectory = (stored.attrib & FILE_ATTRIBUTE_DIRECTORY) != 0;
            info.attributes = attributesForType(stored.attrib, info.isDirectory);
            return true;
        }
        // A Linux link: its attributes are those of a new link on NTFS.
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
    if (found == Stored::Unreadable && S_ISREG(status.stx_mode)) {
        // The attributes exist but may not be read (no read permission and
        // no backup privilege). Windows would still list them; here the file
        // is shown as a reparse point, so that reading it is tried and its
        // failure reported, never passed off as "not a placeholder".
        info.attributes = FILE_ATTRIBUTE_ARCHIVE | FILE_ATTRIBUTE_REPARSE_POINT;
        return true;
    }
    if (found == Stored::Found) {
        info.attributes = attributesForType(stored.attrib, info.isDirectory);
    } else {
        info.attributes = info.isDirectory ? FILE_ATTRIBUTE_DIRECTORY : FILE_ATTRIBUTE_ARCHIVE;
    }
    return true;
}

void toFindData(const EntryInfo& info, std::string_view name, WIN32_FIND_DATAW& data)
{
    // Written field by field into the caller's structure: this runs for
    // every entry listed, and the name's buffer is most of its 592 bytes.
    data.dwFileAttributes = info.attributes;
    data.ftCreationTime = toFileTime(info.creationTime);
    data.ftLastAccessTime = toFileTime(info.lastAccessTime);
    data.ftLastWriteTime = toFileTime(info.lastWriteTime);
    data.nFileSizeHigh = static_cast<DWORD>(info.size >> 32);
    data.nFileSizeLow = static_cast<DWORD>(info.size & 0xFFFFFFFF);
    data.dwReserved0 = 0;
    data.dwReserved1 = 0;
    std::fill(std::begin(data.cAlternateFileName), std::end(data.cAlternateFileName), WCHAR{0});
    // A Linux name has at most 255 bytes, and each byte gives at most one
    // code unit, so it always fits. Most names are ASCII: widened in one
    // pass, eight bytes a step, and decoded only when a byte was not ASCII.
    std::size_t units = std::min<std::size_t>(name.size(), MAX_PATH - 1);
    std::uint64_t seen = 0;
    std::size_t i = 0;
    for (; i + 8 <= units; i += 8) {
        using Bytes = unsigned char __attribute__((vector_size(8)));
        using Units = std::uint16_t __attribute__((vector_size(16)));
        Bytes bytes;
        std::memcpy(&bytes, name.data() + i, sizeof bytes);
        std::uint64_t chunk = 0;
        std::memcpy(&chunk, &bytes, sizeof chunk);
        seen |= chunk;
        Units wide = __builtin_convertvector(bytes, Units);
        std::memcpy(data.cFileName + i, &wide, sizeof wide);
    }
    for (; i < units; ++i) {
        seen |= static_cast<unsigned char>(name[i]);
        data.cFileName[i] = static_cast<unsigned char>(name[i]);
    }
    // A character NTFS names cannot hold is mapped (decodeFileName).
    auto refusedByNtfs = [](char c) {
        return static_cast<unsigned char>(c) < 0x20 || c == '"' || c == '*' || c == ':' || c == '<' || c == '>' ||
               c == '?' || c == '\\' || c == '|';
    };
    if ((seen & 0x8080808080808080ULL) != 0 || std::any_of(name.begin(), name.end(), refusedByNtfs)) {
        WString wide = decodeFileName(name);
        units = std::min<std::size_t>(wide.size(), MAX_PATH - 1);
        std::memcpy(data.cFileName, wide.data(), units * sizeof(WCHAR));
    }
    data.cFileName[units] = 0;
}

}  // namespace posix
