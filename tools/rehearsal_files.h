// The rehearsal's own file work, through the platform layer: it reaches only
// what it made, and never follows a link.
#pragma once

#include <optional>
#include <vector>

#include "platform/win32.h"
#include "tools/tree_builder.h"

namespace rehearsal {

// `relative` ('\' between names) inside `folder`, joined with the separator
// the folder's path uses.
WString pathInside(const WString& folder, WStringView relative);

// The entries of a folder, "." and ".." left out; nullopt, with the last
// error set, when it cannot be listed.
std::optional<std::vector<WIN32_FIND_DATAW>> folderEntries(const WString& folder);

// Removes a file, a link, or a folder with everything in it. A link (or any
// other reparse point) is removed itself and never followed. On failure,
// false with the last error set and `failed` naming what could not go.
bool removeTree(const WString& path, WString& failed);

// A file's reparse data buffer, read without following it, in NTFS's form
// (tools/tree_builder.h) whatever form the volume keeps it in; nullopt, with
// the last error set, when there is none.
std::optional<treebuilder::Bytes> readReparseRecord(const WString& path);

}  // namespace rehearsal
