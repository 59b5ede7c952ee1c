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
// names nothing on Linux.
DWORD mapPath(LPCWSTR path, std::string& fsPath);

// The same for a narrow (ANSI code page, UTF-8 here) name.
DWORD mapNarrowPath(LPCSTR path, std::string& fsPath);

// Maps a Win32 path and resolves it: the one resolution of a call.
DWORD anchorPath(LPCWSTR path, std::string& fsPath, Anchor& entry);

// A ':' in the last component of fsPath names an alternate data stream of
// what comes before it whenever that exists, as on Windows; only when it
// does not, and an entry of the whole name does (Linux names may hold a
// ':'), is the path that entry. Gives the stream's name ("name" of "file:name" and of
// "file:name:$DATA"), and leaves fsPath and `entry` (resolved for fsPath)
// naming the file; empty when the path names the file itself.
std::string splitStream(std::string& fsPath, Anchor& entry);

// The longest path Windows accepts in its \\?\ form.
constexpr std::size_t kMaxPathUnits = 32767;

}  // namespace posix
