// Where a path is reached from: a folder descriptor and a name relative to it.
//
// Two reasons not to hand whole paths to the kernel: the folders being
// listed are already open, so a name inside one of them is found without
// walking the path again; and Windows names paths of up to 32,767 code
// units, far beyond Linux's PATH_MAX, which a chain of openat calls reaches.
//
// A Win32 entry point that takes a path resolves it once, into an Anchor;
// every call it then makes on the entry is relative to the anchor, and so is
// the Win32 error of one that fails (errorFor).
#pragma once

#include "platform/posix/layer_private.h"

#include <fcntl.h>
#include <string>
#include <string_view>
#include <sys/stat.h>
#include <vector>

#include "platform/win32.h"

namespace posix {

// A path's folder and last component, trailing '/' ignored: "/a/b/" is "/a"
// and "b", "/a" is "/" and "a", "a" has no folder (""), and a path of '/'
// only is its own last component, "/".
struct FsPathParts {
    std::string_view folder;
    std::string_view name;
};
FsPathParts splitFsPath(std::string_view fsPath);

class Anchor;

// The folders that find handles are listing, each by its path and its open
// descriptor. FindFirstFileW registers the folder it lists for as long as
// its handle lives (a Listing). A path inside a registered folder is then
// reached relative to its descriptor: by Anchor::resolve, and before any
// mapping by reach() when the caller names an entry of the folder listed
// last as its pattern named the folder, plus a last component. That is how
// CreateFileW reaches the entry that FindNextFileW has just returned without
// mapping or walking its path again, and how entries deeper than PATH_MAX
// are reached at all. The program lists and opens on one thread.
//
// A walk lists each folder inside the one listed before it, so a folder's
// path is kept as that folder's path and the rest: a deep walk keeps each
// name once, not the path of every level (which would cost the square of
// the depth). The whole path, and the Win32 name, of the folder listed last,
// the one a walk asks for nearly every time, are kept as well.
class ListedFolders {
public:
    class Listing {
    public:
        // The folder mapped as `fsPath`, open as `fd`, which the caller named
        // `win32Folder`: its search pattern without the '*'.
        Listing(std::string_view fsPath, int fd, WStringView win32Folder);
        ~Listing();
        Listing(const Listing&) = delete;
        Listing& operator=(const Listing&) = delete;

    private:
        int fd_;
    };

    // The descriptor of the listed folder `folder` (no trailing '/'), or -1.
    static int descriptorOf(std::string_view folder);
    // The folder listed last that holds `folder` (in a walk, the deepest):
    // its descriptor, and in `rest` the part of `folder` below it. AT_FDCWD,
    // and `rest` the whole of `folder`, when there is none.
    static int deepestAbove(std::string_view folder, std::string_view& rest);
    // A Win32 path that is the Win32 name of the folder listed last, then one
    // last component without a separator or a ':': fills fsPath and `entry`
    // as mapping and resolving the path would, and gives true. False for any
    // other path, which takes the mapping.
    static bool reach(LPCWSTR path, std::string& fsPath, Anchor& entry);
};

// Folders open without FILE_SHARE_DELETE. On Windows such a folder cannot
// be renamed or removed while that handle lives, so its path goes on naming
// it: a walk that holds a folder so reads the folder's stream and lists the
// folder by its path, and gets that folder, not another put in its place.
// The layer keeps the same here, where Linux renames it all the same: while
// the handle lives, its path and every path inside it are reached through
// the handle's descriptor (Anchor::resolve, ListedFolders::reach), and
// removing it is ERROR_SHARING_VIOLATION.
class HeldFolders {
public:
    class Hold {
    public:
        Hold(std::string_view fsPath, int fd);
        ~Hold();
        Hold(const Hold&) = delete;
        Hold& operator=(const Hold&) = delete;

    private:
        int fd_;
    };

    // The held folder that is `fsPath` or holds it: its descriptor, and in
    // `rest` the path inside it ("" for the folder itself); -1 when none.
    static int holding(std::string_view fsPath, std::string_view& rest);
};

class Anchor {
public:
    Anchor() = default;
    ~Anchor();
    Anchor(const Anchor&) = delete;
    Anchor& operator=(const Anchor&) = delete;

    // Finds the folder that holds fsPath's last component: ERROR_SUCCESS,
    // or the Win32 error when a folder on the way cannot be reached.
    DWORD resolve(std::string_view fsPath);

    [[nodiscard]] int folder() const { return folder_; }  // AT_FDCWD or an open folder
    [[nodiscard]] const char* name() const { return name_.c_str(); }
    // A path the path-based xattr calls take for the same entry.
    [[nodiscard]] std::string xattrPath() const;

    // The entry `name` of the open folder `folder`.
    void inFolder(int folder, std::string_view name);
    // The entry fsPath relative to the held folder it is in, if it is in one.
    bool inHeldFolder(std::string_view fsPath);

    // The Win32 error for a call on the entry that failed with errno
    // `error`. ENOENT: ERROR_FILE_NOT_FOUND when the entry's folder is
    // there, ERROR_PATH_NOT_FOUND when it is not.
    [[nodiscard]] DWORD errorFor(int error) const;

    // The entry is a held folder itself (HeldFolders).
    [[nodiscard]] bool isHeldFolder() const { return held_; }

    // The calls on the entry, relative to the anchor: -1 with errno set on
    // failure, as the calls themselves.
    int stat(struct stat& status, bool follow) const;
    int open(int flags, unsigned mode = 0) const;
    int makeFolder(unsigned mode) const;
    int makeLink(const std::string& target) const;
    int remove(bool folder) const;  // unlink, or rmdir with `folder`

private:
    int folder_ = AT_FDCWD;
    int owned_ = -1;
    bool held_ = false;
    std::string name_;  // with AT_FDCWD, the whole path
};

// The path of an open folder's descriptor, which names it for the path-based
// calls whatever its length.
std::string procFdPath(int fd);

}  // namespace posix
