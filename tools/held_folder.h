// A folder the tools hold while they make, read and remove things inside it,
// so that what they do stays inside it whatever is renamed or linked around
// it meanwhile.
//
//   Linux    the folder's descriptor. Entries are handed to the platform
//            layer as /proc/self/fd/<descriptor>/<name>, which the kernel
//            resolves from exactly that folder, not from its path again;
//            folders below are entered with openat(O_NOFOLLOW |
//            O_DIRECTORY), so a link on the way is never followed, and a
//            folder is made with mkdirat.
//   Windows  the folder's path; a reparse point met on the way is refused
//            (checked when entered, not held).
#pragma once

#include <cstdint>
#include <string>

#include "platform/win32.h"

namespace treebuilder {

// Windows' ERROR_STOPPED_ON_SYMLINK: a link where a folder was to be entered,
// or an entry to be written through. The Linux layer has no name for it.
constexpr DWORD kStoppedOnLink = 681;

class HeldFolder {
public:
    // Opens the folder `path` names; links in the path itself are followed,
    // as the caller named it. Throws BuildError ("open").
    explicit HeldFolder(const WString& path);
    HeldFolder(HeldFolder&& other) noexcept;
    HeldFolder& operator=(HeldFolder&& other) noexcept;
    HeldFolder(const HeldFolder&) = delete;
    HeldFolder& operator=(const HeldFolder&) = delete;
    ~HeldFolder();

    enum class Make {
        No,         // it must exist
        IfMissing,  // made unless it exists
        New,        // made; one that exists already is an error (ERROR_ALREADY_EXISTS)
    };
    // The folder `name` (one name) in this one, made first as `make` says
    // (mode 0700 when `privateFolder`, else as the umask leaves it), and
    // entered without following a link. A link there is kStoppedOnLink,
    // anything else that is not a folder ERROR_DIRECTORY, a missing one
    // ERROR_PATH_NOT_FOUND. Throws BuildError naming `call`.
    [[nodiscard]] HeldFolder enter(WStringView name, Make make, const char* call = "CreateDirectoryW",
                                   bool privateFolder = false) const;

    // The entry `name` of this folder (the folder itself when empty) as the
    // platform calls take it.
    [[nodiscard]] WString reach(WStringView name = {}) const;
    // The same for messages: the folder's path as it was named, and the name.
    [[nodiscard]] WString shown(WStringView name = {}) const;

    enum class Kind { Missing, Folder, File, Link, Other };
    // What `name` is, links not followed (Other: a device, FIFO or socket).
    // Missing also when it cannot be looked at.
    [[nodiscard]] Kind kindOf(WStringView name) const;

    // Which folder this is: equal for the same folder, on Linux its device and
    // inode, on Windows its volume and file index.
    struct Identity {
        std::uint64_t volume = 0;
        std::uint64_t index = 0;
        bool operator==(const Identity&) const = default;
    };
    [[nodiscard]] Identity identity() const;

#ifndef _WIN32
    [[nodiscard]] int descriptor() const { return fd_; }
    // Takes over an open folder descriptor.
    static HeldFolder adopt(int fd, const WString& shownPath);
#endif

private:
    HeldFolder() = default;
#ifdef _WIN32
    WString path_;
#else
    int fd_ = -1;
#endif
    WString shown_;
};

// `name` joined to `folder` with the separator the folder's path uses.
WString joinedPath(const WString& folder, WStringView name);

#ifndef _WIN32
// The Win32 error code for an errno of the tools' own POSIX calls.
DWORD win32ErrorOf(int error);
#endif

}  // namespace treebuilder
