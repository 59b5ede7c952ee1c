// The Win32 view of one Linux file-system entry: attributes, times, size.
//
//   dwFileAttributes  the attrib the volume stores (DiskConvention);
//                     FILE_ATTRIBUTE_DIRECTORY always from the file type;
//                     without a stored one 0x10 for a folder,
//                     FILE_ATTRIBUTE_ARCHIVE for anything else; a Linux
//                     symbolic link is a reparse point (0x400), plus 0x10
//                     when it points at a folder
//   creation time     the one the volume stores, else the birth time, else
//                     the modification time
//   size              st_size of the entry itself (0 for folders and links)
#pragma once

#include "platform/posix/layer_private.h"

#include <cstdint>
#include <fcntl.h>
#include <optional>
#include <string>
#include <sys/types.h>

#include "platform/posix/path_anchor.h"
#include <sys/stat.h>
#include "platform/win32.h"

namespace posix {

struct EntryInfo {
    DWORD attributes = 0;
    std::uint64_t creationTime = 0;  // FILETIME ticks
    std::uint64_t lastAccessTime = 0;
    std::uint64_t lastWriteTime = 0;
    std::uint64_t size = 0;
    bool isDirectory = false;
    bool isSymlink = false;
    dev_t device = 0;
    ino_t inode = 0;
    std::uint64_t links = 1;
};

// The entry `name` of the folder open as dirFd (an empty name: what dirFd
// itself is open on), which the path-based xattr calls reach as xattrPath.
// Does not follow a final symbolic link. false with errno set on failure.
bool readEntryInfo(int dirFd, const char* name, const std::string& xattrPath, EntryInfo& info);

// The same for the entry an anchor names.
bool readEntryInfo(const Anchor& entry, EntryInfo& info);

// What the file system knows of the creation: the birth time, else the
// modification time.
std::uint64_t fileSystemCreationTime(const struct statx& status);

// The attrib as stored: the folder bit from the file type, and no
// FILE_ATTRIBUTE_NORMAL, which only stands for "no other attribute".
DWORD storedForType(DWORD attrib, bool isDirectory);

// The attributes shown for a stored attrib: folders always carry
// FILE_ATTRIBUTE_DIRECTORY, files never; FILE_ATTRIBUTE_NORMAL when nothing
// else is set, and only then.
DWORD attributesForType(DWORD stored, bool isDirectory);

// Fills the caller's find data: every field, and the name up to its U+0000.
void toFindData(const EntryInfo& info, std::string_view name, WIN32_FIND_DATAW& data);

}  // namespace posix
