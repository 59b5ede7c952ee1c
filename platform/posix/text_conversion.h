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

// UTF-16 to bytes. Fails (nullopt) for text that no Linux name can hold: a
// NUL, or a lone surrogate outside the escape range.
std::optional<std::string> encodeFileSystemBytes(WStringView text);
// The same, appended to `out`; false (and `out` left part-written) on failure.
bool appendFileSystemBytes(WStringView text, std::string& out);

// UTF-16 to UTF-8 for display: escapes give back their bytes, other lone
// surrogates become U+FFFD.
std::string toDisplayBytes(WStringView text);

}  // namespace posix
