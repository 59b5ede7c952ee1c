// Win32 paths to Linux paths.
//
//   \\?\UNC\server\share\rest   ->  /server/share/rest
//   \\server\share\rest         ->  /server/share/rest
//   \\?\C:\... or \\.\...        ->  ERROR_PATH_NOT_FOUND: Linux has no drives
//   anything else               ->  relative to the current folder, '\' -> '/'
//
// When server names this host and Samba has that share, the share's folder
// takes the place of /server/share, as a Windows client would find it
// (samba_shares.h).
//
// Server and share must not be empty: "\\?\UNC\" alone or "\\?\UNC\\data"
// (what D:\data becomes) is ERROR_BAD_PATHNAME, as on Windows, and never the
// root of the Linux file system.
#pragma once

#include "platform/posix/layer_private.h"

#include <optional>
#include <string>

#include "platform/win32.h"

namespace posix {

struct MappedPath {
    std::string fsPath;      // the file or folder
    std::string streamName;  // "name" of "file:name" or "file:name:$DATA"; empty for the file itself
};

// Maps a Win32 path; sets the last error and returns nullopt when it names
// nothing on Linux. withStreams: a ':' in the last component names an
// alternate data stream of what comes before it whenever that exists, as on
// Windows; only when it does not, and an entry of the whole name does (Linux
// names may hold a ':'), is the path that entry.
std::optional<MappedPath> mapPath(LPCWSTR path, bool withStreams);

// The same for a narrow (ANSI code page, UTF-8 here) name.
std::optional<std::string> mapNarrowPath(LPCSTR path);

// The longest path Windows accepts in its \\?\ form.
constexpr std::size_t kMaxPathUnits = 32767;

}  // namespace posix
