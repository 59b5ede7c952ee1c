// UTF-16 text to Linux bytes and back.
//
// Linux names are bytes, usually UTF-8. Bytes that are not valid UTF-8 map to
// the lone surrogates U+DC80..U+DCFF and back (the "surrogate escape"), so
// every name the file system hands out round-trips and can be opened again.
#pragma once

#include "platform/posix/layer_private.h"

#include <optional>
#include <string>
#include <string_view>

#include "platform/win32.h"

namespace posix {

// Bytes to UTF-16; never fails.
WString decodeFileSystemBytes(std::string_view bytes);

// One Linux name (a component) to the name the Win32 calls show, as Samba's
// vfs_catia shows it to Windows clients: a character that NTFS names cannot
// hold (1-31 and " * : < > ? \ |) is U+F000 plus that character, so a name
// is always one component and never names a stream. A name that holds one
// of those 39 U+F0xx characters itself shows its bytes as escapes instead,
// so that it never meets the name whose real character maps there. Never
// fails; appendPathBytes gives the bytes back.
WString decodeFileName(std::string_view name);

// UTF-16 to bytes. Fails (nullopt) for text that no Linux name can hold: a
// NUL, or a lone surrogate outside the escape range.
std::optional<std::string> encodeFileSystemBytes(WStringView text);
// The same, appended to `out`; false (and `out` left part-written) on failure.
bool appendFileSystemBytes(WStringView text, std::string& out);
// A Win32 path's names to Linux bytes, appended to `out`: '\' is the
// separator '/', and U+F000 plus a character that NTFS names cannot hold is
// that character (decodeFileName read backwards). False as above.
bool appendPathBytes(WStringView path, std::string& out);

// UTF-16 to UTF-8 for display: escapes give back their bytes, other lone
// surrogates become U+FFFD.
std::string toDisplayBytes(WStringView text);

}  // namespace posix
