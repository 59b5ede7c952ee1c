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

#include <string>

#include "platform/win32.h"

namespace posix {

class Anchor;

// Maps a Win32 path into fsPath: ERROR_SUCCESS, or the Win32 error when it
// names nothing on Linux. Each name goes through appendPathBytes, so a name
// as FindFirstFileW lists it names that Linux entry again.
//
// A ':' in the last component names an alternate data stream of what comes
// before it, as on Windows: fsPath is then that file or folder, and `stream`
// the stream's name ("name" of "file:name" and of "file:name:$DATA"; empty
// for "file::$DATA" and for a path without a stream). A call that takes no
// stream passes no `stream`, and such a path is ERROR_INVALID_NAME for it.
//
// In a UNC path a "." or ".." component, or a ':' before the last
// component, is ERROR_INVALID_NAME, as a server answers a client.
DWORD mapPath(LPCWSTR path, std::string& fsPath, std::string* stream = nullptr);

// The same for a narrow (ANSI code page, UTF-8 here) name.
DWORD mapNarrowPath(LPCSTR path, std::string& fsPath);

// Maps a Win32 path and resolves it: the one resolution of a call.
DWORD anchorPath(LPCWSTR path, std::string& fsPath, Anchor& entry, std::string* stream = nullptr);

// The longest path Windows accepts in its \\?\ form.
constexpr std::size_t kMaxPathUnits = 32767;

}  // namespace posix
