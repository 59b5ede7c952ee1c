// The rehearsal's own file work, through the platform layer: it reaches only
// what it made, and never follows a link.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "platform/win32.h"
#include "tools/held_folder.h"
#include "tools/tree_builder.h"

namespace rehearsal {

// `relative` ('\' between names) inside `folder`, joined with the separator
// the folder's path uses.
WString pathInside(const WString& folder, WStringView relative);

// The entries of a folder, "." and ".." left out; nullopt, with the last
// error set, when it cannot be listed.
std::optional<std::vector<WIN32_FIND_DATAW>> folderEntries(const WString& folder);

// The folder the rehearsal works in, held from the moment it is checked:
// everything the rehearsal makes, reads and removes is reached from it.
struct Workplace {
    WString folder;  // its full path, as messages and its UNC path name it
    std::optional<treebuilder::HeldFolder> above;  // Linux: the folder that holds it
    std::string name;                              // Linux: its name there
    std::optional<treebuilder::HeldFolder> held;
    bool made = false;  // the rehearsal made it, and removes it at the end
};

// Checks the folder `folder` (a full path) names and holds it; makes it,
// mode 0700, when it is missing. Refused, with a one-line
// std::runtime_error: a link, a file, a folder that holds anything, and on
// Linux a folder that another account owns or may write, or that lies in a
// folder another account could change (owned by another account than root
// and the caller, or writable by others without the sticky bit): there,
// someone else could replace what the rehearsal makes while it works.
Workplace openWorkplace(const WString& folder);

// The last error of a removal that found, in place of a folder it made or
// entered, something else (a link, another folder).
constexpr DWORD kReplaced = ERROR_FILE_INVALID;

// Removes the entry `name` of `folder`: a file, a link, or a folder with
// everything in it. A link (or any other reparse point) is removed itself
// and never followed; every folder is entered from the one that holds it
// without following a link, and must be the one its listing showed. With
// `expected`, the entry must be that folder. On failure, false with the
// last error set (kReplaced for a replaced folder) and `failed` naming what
// could not go.
bool removeTree(const treebuilder::HeldFolder& folder, WStringView name, WString& failed,
                const std::optional<treebuilder::HeldFolder::Identity>& expected = std::nullopt);

// Removes the workplace folder itself, when it is still the folder held.
bool removeWorkplace(const Workplace& workplace);

// A file's reparse data buffer, read without following it, in NTFS's form
// (tools/tree_builder.h) whatever form the volume keeps it in; nullopt, with
// the last error set, when there is none.
std::optional<treebuilder::Bytes> readReparseRecord(const WString& path);

}  // namespace rehearsal
