// Where a path is reached from: a folder descriptor and a name relative to it.
//
// Two reasons not to hand whole paths to the kernel: the folders being
// listed are already open, so a name inside one of them is found without
// walking the path again; and Windows names paths of up to 32,767 code
// units, far beyond Linux's PATH_MAX, which a chain of openat calls reaches.
#pragma once

#include "platform/posix/layer_private.h"

#include <fcntl.h>
#include <string>
#include <sys/stat.h>

namespace posix {

class Anchor {
public:
    Anchor() = default;
    ~Anchor();
    Anchor(const Anchor&) = delete;
    Anchor& operator=(const Anchor&) = delete;

    // Finds the folder that holds fsPath's last component. false with errno
    // set when a folder on the way cannot be reached.
    bool resolve(const std::string& fsPath);

    [[nodiscard]] int folder() const { return folder_; }  // AT_FDCWD or an open folder
    [[nodiscard]] const char* name() const { return name_.c_str(); }
    // A path the path-based xattr calls take for the same entry.
    [[nodiscard]] std::string xattrPath() const;

private:
    int folder_ = AT_FDCWD;
    int owned_ = -1;
    std::string name_;
};

// stat, open, mkdir and symlink of a path, through an Anchor. -1 with errno
// set on failure, as the calls themselves.
int statPath(const std::string& fsPath, struct stat& status, bool follow);
int openPath(const std::string& fsPath, int flags, unsigned mode = 0);
int makeFolderPath(const std::string& fsPath, unsigned mode);
int makeLinkPath(const std::string& target, const std::string& fsPath);
// unlink, or rmdir with `folder`.
int removePath(const std::string& fsPath, bool folder);

// The folders being listed by find handles, by path (no trailing '/').
void addListedFolder(const std::string& fsPath, int fd);
void removeListedFolder(int fd);

// The path of an entry inside an open folder, for path-based xattr calls,
// built into `path` (reused from entry to entry); from the folder's
// descriptor when folderPath is empty or the whole would be too long.
void entryXattrPath(int folderFd, const std::string& folderPath, const char* name, std::string& path);

}  // namespace posix
