// Samba's on-disk convention for what Windows keeps in NTFS, and the only
// place that reads or writes it.
//
//   user.DOSATTRIB              the DOS attributes and the creation time:
//                               NDR-encoded xattr_DOSATTRIB, little-endian:
//                                 attrib_hex  NUL-terminated ASCII (empty in v4, v5)
//                                 padding to 2, uint16 version, uint16 level (= version),
//                                 padding to 4, then by version (u64s aligned to 8):
//                                 1: attrib, ea_size, size, alloc_size, create_time, change_time
//                                 2: flags, attrib, then as 1 (read only)
//                                 3: valid_flags, attrib, ea_size, size, alloc_size,
//                                    create_time, change_time
//                                 4: valid_flags, attrib, itime, create_time
//                                 5: valid_flags, attrib, create_time
//                               valid_flags: 0x1 attrib valid, 0x10 create_time valid.
//                               Older writers store only a hex text such as "0x1620"
//                               (with or without a NUL). Anything else counts as absent.
//                               Written as version 5 with valid_flags 0x11, as Samba does.
//   user.SmbReparse             the reparse data buffer, byte for byte as
//                               FSCTL_SET_REPARSE_POINT received it.
//   user.DosStream.<name>:$DATA the alternate data stream <name>; the value
//                               is the content followed by one NUL byte.
#pragma once

#include "platform/posix/layer_private.h"

#include <cerrno>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>
#include <sys/types.h>

#include "platform/win32.h"

namespace posix {

inline constexpr const char* kDosAttribXattr = "user.DOSATTRIB";
// The most of a user.DOSATTRIB value that is read where only the attributes
// matter (listing, reparse point checks): Samba's values are far smaller, and
// a larger one is ignored alike everywhere.
inline constexpr std::size_t kDosAttribReadLimit = 4096;
// The kernel clears a buffer of the size asked for before every xattr read,
// whether the value is there or not, and the listing reads user.DOSATTRIB of
// every entry: it is asked for with room for what Samba writes, and only a
// larger value again, up to the limit.
inline constexpr std::size_t kDosAttribFirstRead = 256;
inline constexpr const char* kReparseXattr = "user.SmbReparse";
inline constexpr std::string_view kStreamXattrPrefix = "user.DosStream.";
inline constexpr std::string_view kStreamXattrSuffix = ":$DATA";

struct DosAttrib {
    DWORD attrib = 0;
    std::optional<std::uint64_t> createTime;  // FILETIME ticks
};

std::optional<DosAttrib> decodeDosAttrib(std::string_view value);
std::string encodeDosAttrib(const DosAttrib& info);  // version 5

std::string streamXattrName(std::string_view streamName);

// Reads a whole xattr value of an open descriptor. nullopt with errno set
// when it cannot be read; ENODATA when it is absent.
std::optional<std::string> readXattr(int fd, const char* name);

// The same into a caller's buffer: the length, or -1 with errno set (ERANGE
// when the value is larger than the buffer).
ssize_t readXattrInto(int fd, const char* name, char* buffer, std::size_t size);

// user.DOSATTRIB through `get` (an xattr read taking a buffer and its size)
// into `buffer`, as above: first kDosAttribFirstRead bytes, then the limit.
template <typename Get>
ssize_t readDosAttribInto(Get get, char (&buffer)[kDosAttribReadLimit])
{
    ssize_t length = get(buffer, kDosAttribFirstRead);
    if (length < 0 && errno == ERANGE) {
        length = get(buffer, sizeof buffer);
    }
    return length;
}

// Replaces a whole xattr value of an open descriptor in one call. false with
// errno set on failure.
bool writeXattr(int fd, const char* name, std::string_view value);

}  // namespace posix
