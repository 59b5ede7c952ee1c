// What the rehearsal asks of a volume before it builds anything there: can
// it hold what placeholders and archive points are made of? Each question
// is answered by trying it on a file or folder of the probe's own.
#pragma once

#include <string>
#include <utility>
#include <vector>

#include "platform/win32.h"

namespace rehearsal {

struct Capability {
    explicit Capability(std::string capabilityName) : name(std::move(capabilityName)) {}
    std::string name;     // "a file keeps the sparse attribute"
    bool kept = false;
    bool tried = true;    // false: not tried, for the reason in `missing`
    std::string missing;  // what is missing, with the Win32 error code when a call failed
};

// Tries every capability inside `folder`, an empty folder the caller made
// for the probe and removes afterwards.
std::vector<Capability> probeVolume(const WString& folder);

// Whether a reparse point of a kind the volume has no handler for keeps its
// size there. ntfs-3g shows such a file, without a plugin for its tag, as a
// link sized as a text of its own: the size it had is not to be had. Tried
// inside `folder` like the capabilities; true when it cannot be told.
bool keepsSizeOfOtherReparsePoints(const WString& folder);

}  // namespace rehearsal
