// The text description of a rehearsal tree (docs/rehearsal-trees.md): one
// entry a line, read whole before anything is built, then built in order
// with tree_builder.h.
#pragma once

#include <functional>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "platform/win32.h"
#include "tools/held_folder.h"
#include "tools/tree_builder.h"

namespace treebuilder {

// A description that cannot be read: every fault found, one line each,
// "line 7: ...".
class DescriptionError : public std::runtime_error {
public:
    explicit DescriptionError(const std::string& faults) : std::runtime_error(faults) {}
};

// What one line of a description makes, for those that judge the tree
// afterwards (stubwarden-rehearse).
struct Entry {
    enum class Type { Folder, File, Placeholder, Reparse, Symlink, Marker, Stream };
    Type type = Type::Folder;
    int line = 0;
    WString path;                     // below the root, names joined by '\'; empty for the root
    FileSpec file;                    // File, Placeholder, Reparse
    PlaceholderSpec placeholder;      // Placeholder
    Bytes record;                     // Placeholder, Reparse: the reparse data buffer written
    bool toFolder = false;            // Symlink
    std::optional<WString> markerId;  // Marker made with id= and name=
    WString markerName;
    WString streamName;               // Stream
};

class TreeDescription {
public:
    // Reads the UTF-8 text of a description. Files it names (xml-file=,
    // file=) are read now, relative to the current folder. Throws
    // DescriptionError.
    static TreeDescription read(std::string_view text);

    // Makes the root folder if it is missing, then every entry below it,
    // parents as needed, each from the root's descriptor: a link (a
    // described symlink among them) is never followed on the way, nor
    // written through. Throws std::runtime_error "line 7: ..." at the first
    // entry that cannot be made; what came before it stays.
    void build(const WString& root) const;
    // The same in a folder the caller holds, which must exist.
    void build(const HeldFolder& root) const;

    [[nodiscard]] std::size_t size() const { return steps_.size(); }
    [[nodiscard]] std::vector<Entry> entries() const;

    struct Step {
        Entry entry;
        std::function<void(const HeldFolder& root)> make;
    };

private:
    std::vector<Step> steps_;
};

// The whole content of a file, read through the platform layer.
// Throws std::runtime_error naming the file and the error code.
std::string readWholeFile(const WString& path);

}  // namespace treebuilder
