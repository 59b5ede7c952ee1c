#include "platform/posix/path_anchor.h"

#include <cerrno>
#include <climits>
#include <fcntl.h>
#include <string_view>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace posix {
namespace {

// The folders being listed. A walk lists each folder inside the one listed
// before it, so a folder's path is kept as that folder's path and the rest:
// a deep walk keeps each name once, not the path of every level (which would
// cost the square of the depth). The whole path of the folder listed last,
// the one a walk asks for nearly every time, is kept as well.
class ListedFolders {
public:
    void add(std::string_view path, int fd)
    {
        std::size_t base = kNoBase;
        std::size_t baseLength = 0;
        if (!folders_.empty()) {
            std::size_t length = folders_.back().length;
            bool inside = length < path.size() && (path[length] == '/' || path[length - 1] == '/');
            if (inside && hasPath(folders_.size() - 1, path.substr(0, length))) {
                base = folders_.size() - 1;
                baseLength = length;
            }
        }
        folders_.push_back({base, std::string(path.substr(baseLength)), path.size(), fd});
        lastPath_.assign(path);
        lastPathKnown_ = true;
    }

    // A folder listed after others based on it stays, without its
    // descriptor, until they go.
    void remove(int fd)
    {
        for (std::size_t at = folders_.size(); at-- > 0;) {
            if (folders_[at].fd == fd) {
                folders_[at].fd = -1;
                break;
            }
        }
        while (!folders_.empty() && folders_.back().fd < 0) {
            std::size_t base = folders_.back().base;
            folders_.pop_back();
            lastPathKnown_ = lastPathKnown_ && base != kNoBase && base == folders_.size() - 1;
            if (lastPathKnown_) {
                lastPath_.resize(folders_.back().length);
            }
        }
    }

    [[nodiscard]] std::size_t size() const { return folders_.size(); }
    [[nodiscard]] int fd(std::size_t at) const { return folders_[at].fd; }
    [[nodiscard]] std::size_t length(std::size_t at) const { return folders_[at].length; }

    // Whether the folder `at` has the path `path`.
    [[nodiscard]] bool hasPath(std::size_t at, std::string_view path) const
    {
        if (at == folders_.size() - 1 && lastPathKnown_) {
            return path == lastPath_;
        }
        for (;;) {
            const Folder& folder = folders_[at];
            if (path.size() != folder.length || !path.ends_with(folder.rest)) {
                return false;
            }
            path.remove_suffix(folder.rest.size());
            if (folder.base == kNoBase) {
                return true;
            }
            at = folder.base;
        }
    }

private:
    static constexpr std::size_t kNoBase = static_cast<std::size_t>(-1);
    struct Folder {
        std::size_t base;    // the folder listed before, whose path this one's begins with; kNoBase: none
        std::string rest;    // the path after the base's
        std::size_t length;  // of the whole path
        int fd;              // -1: no longer listed
    };
    std::vector<Folder> folders_;
    std::string lastPath_;
    bool lastPathKnown_ = false;
};

// One thread, and as many entries as the walk is deep.
ListedFolders& listedFolders()
{
    static ListedFolders folders;
    return folders;
}

std::string procFdPath(int fd) { return "/proc/self/fd/" + std::to_string(fd); }

}  // namespace

void addListedFolder(const std::string& fsPath, int fd)
{
    std::string_view path(fsPath);
    while (path.size() > 1 && path.back() == '/') {
        path.remove_suffix(1);
    }
    listedFolders().add(path, fd);
}

void removeListedFolder(int fd) { listedFolders().remove(fd); }

void entryXattrPath(int folderFd, const std::string& folderPath, const char* name, std::string& path)
{
    std::size_t length = std::char_traits<char>::length(name);
    if (!folderPath.empty() && folderPath.size() + length < PATH_MAX) {
        path.assign(folderPath).append(name, length);
    } else {
        path.assign(procFdPath(folderFd)).append("/").append(name, length);
    }
}

Anchor::~Anchor()
{
    if (owned_ >= 0) {
        ::close(owned_);
    }
}

std::string Anchor::xattrPath() const
{
    if (folder_ == AT_FDCWD) {
        return name_;
    }
    return procFdPath(folder_).append("/").append(name_);
}

bool Anchor::resolve(const std::string& fsPath)
{
    folder_ = AT_FDCWD;
    std::string_view path(fsPath);
    std::string_view::size_type end = path.find_last_not_of('/');
    if (end == std::string_view::npos) {
        name_ = path.empty() ? std::string() : std::string("/");
        errno = ENOENT;
        return !path.empty();
    }
    std::string_view trimmed = path.substr(0, end + 1);
    std::string_view::size_type slash = trimmed.rfind('/');
    std::string_view parent = slash == std::string_view::npos ? std::string_view()
                              : slash == 0                    ? std::string_view("/")
                                                              : trimmed.substr(0, slash);
    std::string_view base = slash == std::string_view::npos ? trimmed : trimmed.substr(slash + 1);

    // A name inside a folder being listed: relative to it.
    const ListedFolders& folders = listedFolders();
    for (std::size_t at = folders.size(); !parent.empty() && at-- > 0;) {
        if (folders.fd(at) >= 0 && folders.hasPath(at, parent)) {
            folder_ = folders.fd(at);
            name_.assign(base);
            return true;
        }
    }
    if (fsPath.size() < PATH_MAX) {
        name_ = fsPath;
        return true;
    }
    if (base.size() > NAME_MAX) {
        errno = ENAMETOOLONG;
        return false;
    }

    // Too long for one call: start at the folder being listed last that
    // holds it (in a walk, the deepest), and open the folders on the way in
    // pieces PATH_MAX can take.
    std::string_view rest = parent;
    int current = AT_FDCWD;
    for (std::size_t at = folders.size(); at-- > 0;) {
        std::size_t length = folders.length(at);
        if (folders.fd(at) >= 0 && length < parent.size() && parent[length] == '/' &&
            folders.hasPath(at, parent.substr(0, length))) {
            current = folders.fd(at);
            rest = parent.substr(length + 1);
            break;
        }
    }
    while (!rest.empty()) {
        std::string_view::size_type cut = rest.size();
        if (cut >= PATH_MAX) {
            cut = rest.rfind('/', PATH_MAX - 1);
            if (cut == std::string_view::npos || cut == 0) {
                errno = ENAMETOOLONG;
                return false;
            }
        }
        std::string piece(rest.substr(0, cut));
        int next = ::openat(current, piece.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC);
        if (next < 0) {
            return false;
        }
        if (owned_ >= 0) {
            ::close(owned_);
        }
        owned_ = next;
        current = next;
        rest = cut < rest.size() ? rest.substr(cut + 1) : std::string_view();
    }
    folder_ = current;
    name_.assign(base);
    return true;
}

int statPath(const std::string& fsPath, struct stat& status, bool follow)
{
    Anchor anchor;
    return anchor.resolve(fsPath) ? ::fstatat(anchor.folder(), anchor.name(), &status, follow ? 0 : AT_SYMLINK_NOFOLLOW)
                                  : -1;
}

int openPath(const std::string& fsPath, int flags, unsigned mode)
{
    Anchor anchor;
    return anchor.resolve(fsPath) ? ::openat(anchor.folder(), anchor.name(), flags, mode) : -1;
}

int makeFolderPath(const std::string& fsPath, unsigned mode)
{
    Anchor anchor;
    return anchor.resolve(fsPath) ? ::mkdirat(anchor.folder(), anchor.name(), mode) : -1;
}

int makeLinkPath(const std::string& target, const std::string& fsPath)
{
    Anchor anchor;
    return anchor.resolve(fsPath) ? ::symlinkat(target.c_str(), anchor.folder(), anchor.name()) : -1;
}

int removePath(const std::string& fsPath, bool folder)
{
    Anchor anchor;
    return anchor.resolve(fsPath) ? ::unlinkat(anchor.folder(), anchor.name(), folder ? AT_REMOVEDIR : 0) : -1;
}

}  // namespace posix
