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

struct ListedFolder {
    std::string path;
    int fd;
};

// One thread, and as many entries as the walk is deep.
std::vector<ListedFolder>& listedFolders()
{
    static std::vector<ListedFolder> folders;
    return folders;
}

std::string procFdPath(int fd) { return "/proc/self/fd/" + std::to_string(fd); }

}  // namespace

void addListedFolder(const std::string& fsPath, int fd)
{
    std::string path = fsPath;
    while (path.size() > 1 && path.back() == '/') {
        path.pop_back();
    }
    listedFolders().push_back({std::move(path), fd});
}

void removeListedFolder(int fd)
{
    std::vector<ListedFolder>& folders = listedFolders();
    for (auto it = folders.rbegin(); it != folders.rend(); ++it) {
        if (it->fd == fd) {
            folders.erase(std::next(it).base());
            return;
        }
    }
}

void entryXattrPath(int folderFd, const std::string& folderPath, const char* name, std::string& path)
{
    std::size_t length = std::char_traits<char>::length(name);
    if (folderPath.size() + length < PATH_MAX) {
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
    const std::vector<ListedFolder>& folders = listedFolders();
    for (auto it = folders.rbegin(); it != folders.rend(); ++it) {
        if (!parent.empty() && it->path == parent) {
            folder_ = it->fd;
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

    // Too long for one call: start at the deepest folder being listed that
    // holds it, and open the folders on the way in pieces PATH_MAX can take.
    std::string_view rest = parent;
    int current = AT_FDCWD;
    std::size_t longest = 0;
    for (const ListedFolder& folder : folders) {
        if (folder.path.size() > longest && folder.path.size() < parent.size() &&
            parent.compare(0, folder.path.size(), folder.path) == 0 && parent[folder.path.size()] == '/') {
            longest = folder.path.size();
            current = folder.fd;
            rest = parent.substr(folder.path.size() + 1);
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
