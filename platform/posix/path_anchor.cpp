#include "platform/posix/path_anchor.h"

#include <cerrno>
#include <climits>
#include <cstring>
#include <unistd.h>

#include "platform/path_parts.h"
#include "platform/posix/last_error.h"
#include "platform/posix/path_mapping.h"
#include "platform/posix/text_conversion.h"

namespace posix {

std::string procFdPath(int fd) { return "/proc/self/fd/" + std::to_string(fd); }

FsPathParts splitFsPath(std::string_view fsPath)
{
    std::string_view::size_type end = fsPath.find_last_not_of('/');
    if (end == std::string_view::npos) {
        return {std::string_view(), fsPath.substr(0, 1)};  // "" or "/"
    }
    PathParts<char> parts = splitAtLastSeparator(fsPath.substr(0, end + 1), '/');
    if (parts.hasSeparator && parts.folder.empty()) {
        parts.folder = "/";
    }
    return {parts.folder, parts.name};
}

namespace {

// The folders being listed: see ListedFolders.
class Folders {
public:
    void add(std::string_view path, int fd, WStringView win32Folder)
    {
        std::size_t base = kNoBase;
        std::size_t baseLength = 0;
        bool win32Extends = false;
        if (!folders_.empty()) {
            std::size_t length = folders_.back().length;
            bool inside = length < path.size() && (path[length] == '/' || path[length - 1] == '/');
            if (inside && hasPath(folders_.size() - 1, path.substr(0, length))) {
                base = folders_.size() - 1;
                baseLength = length;
                win32Extends = lastWin32Known_ && win32Folder.starts_with(lastWin32_);
            }
        }
        folders_.push_back({base, std::string(path.substr(baseLength)), path.size(), win32Folder.size(), win32Extends, fd});
        lastPath_.assign(path);
        lastPathKnown_ = true;
        lastWin32_.assign(win32Folder);
        lastWin32Known_ = true;
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
            const Folder& gone = folders_.back();
            std::size_t base = gone.base;
            bool win32Extends = gone.win32Extends;
            folders_.pop_back();
            bool baseIsLast = base != kNoBase && base == folders_.size() - 1;
            lastPathKnown_ = lastPathKnown_ && baseIsLast;
            if (lastPathKnown_) {
                lastPath_.resize(folders_.back().length);
            }
            lastWin32Known_ = lastWin32Known_ && baseIsLast && win32Extends;
            if (lastWin32Known_) {
                lastWin32_.resize(folders_.back().win32Length);
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

    // The folder listed last, when its path and Win32 name are known: its
    // descriptor, path and Win32 name.
    [[nodiscard]] bool last(int& fd, std::string_view& path, WStringView& win32Folder) const
    {
        if (folders_.empty() || folders_.back().fd < 0 || !lastPathKnown_ || !lastWin32Known_) {
            return false;
        }
        fd = folders_.back().fd;
        path = lastPath_;
        win32Folder = lastWin32_;
        return true;
    }

private:
    static constexpr std::size_t kNoBase = static_cast<std::size_t>(-1);
    struct Folder {
        std::size_t base;         // the folder listed before, whose path this one's begins with; kNoBase: none
        std::string rest;         // the path after the base's
        std::size_t length;       // of the whole path
        std::size_t win32Length;  // of the Win32 name
        bool win32Extends;        // the Win32 name begins with the base's
        int fd;                   // -1: no longer listed
    };
    std::vector<Folder> folders_;
    std::string lastPath_;
    bool lastPathKnown_ = false;
    WString lastWin32_;
    bool lastWin32Known_ = false;
};

// One thread, and as many entries as the walk is deep.
Folders& listed()
{
    static Folders folders;
    return folders;
}

struct HeldFolder {
    std::string path;  // no trailing '/'
    int fd;
};

// One thread, and a folder or two at a time.
std::vector<HeldFolder>& held()
{
    static std::vector<HeldFolder> folders;
    return folders;
}

}  // namespace

ListedFolders::Listing::Listing(std::string_view fsPath, int fd, WStringView win32Folder) : fd_(fd)
{
    while (fsPath.size() > 1 && fsPath.back() == '/') {
        fsPath.remove_suffix(1);
    }
    listed().add(fsPath, fd, win32Folder);
}

ListedFolders::Listing::~Listing() { listed().remove(fd_); }

HeldFolders::Hold::Hold(std::string_view fsPath, int fd) : fd_(fd)
{
    while (fsPath.size() > 1 && fsPath.back() == '/') {
        fsPath.remove_suffix(1);
    }
    held().push_back({std::string(fsPath), fd});
}

HeldFolders::Hold::~Hold()
{
    std::vector<HeldFolder>& folders = held();
    for (std::size_t at = folders.size(); at-- > 0;) {
        if (folders[at].fd == fd_) {
            folders.erase(folders.begin() + static_cast<std::ptrdiff_t>(at));
            break;
        }
    }
}

int HeldFolders::holding(std::string_view fsPath, std::string_view& rest)
{
    while (fsPath.size() > 1 && fsPath.back() == '/') {
        fsPath.remove_suffix(1);
    }
    const std::vector<HeldFolder>& folders = held();
    for (std::size_t at = folders.size(); at-- > 0;) {
        const std::string& path = folders[at].path;
        if (fsPath.starts_with(path) &&
            (fsPath.size() == path.size() || fsPath[path.size()] == '/' || path == "/")) {
            rest = fsPath.substr(path.size());
            rest.remove_prefix(std::min(rest.size(), rest.find_first_not_of('/')));
            return folders[at].fd;
        }
    }
    return -1;
}

bool Anchor::inHeldFolder(std::string_view fsPath)
{
    std::string_view rest;
    int fd = held().empty() ? -1 : HeldFolders::holding(fsPath, rest);
    if (fd < 0 || rest.size() >= PATH_MAX) {
        return false;
    }
    inFolder(fd, rest);
    held_ = rest.empty();  // the folder itself: its descriptor, with no name
    return true;
}

int ListedFolders::descriptorOf(std::string_view folder)
{
    // The deepest first: the folder being listed right now is the last one.
    const Folders& folders = listed();
    for (std::size_t at = folders.size(); !folder.empty() && at-- > 0;) {
        if (folders.fd(at) >= 0 && folders.hasPath(at, folder)) {
            return folders.fd(at);
        }
    }
    return -1;
}

int ListedFolders::deepestAbove(std::string_view folder, std::string_view& rest)
{
    const Folders& folders = listed();
    rest = folder;
    for (std::size_t at = folders.size(); at-- > 0;) {
        std::size_t length = folders.length(at);
        if (folders.fd(at) >= 0 && length < folder.size() && folder[length] == '/' &&
            folders.hasPath(at, folder.substr(0, length))) {
            rest = folder.substr(length + 1);
            return folders.fd(at);
        }
    }
    return AT_FDCWD;
}

bool ListedFolders::reach(LPCWSTR path, std::string& fsPath, Anchor& entry)
{
    int fd = -1;
    std::string_view folderPath;
    WStringView folder;
    if (!listed().last(fd, folderPath, folder) || folder.empty()) {  // empty: a pattern "*" alone
        return false;
    }
    // Four units a step while they match. A matched unit is never the path's
    // end, so the unit after it may be read; a mismatch stops at once.
    std::size_t at = 0;
    while (at + 4 <= folder.size() && path[at] == folder[at] && path[at + 1] == folder[at + 1] &&
           path[at + 2] == folder[at + 2] && path[at + 3] == folder[at + 3]) {
        at += 4;
    }
    while (at < folder.size() && path[at] == folder[at]) {
        ++at;
    }
    if (at < folder.size()) {
        return false;
    }
    // Mapping the whole path gives the folder's mapping, then the name's: the
    // folder's part ends in its separator, and the name holds none.
    std::size_t end = at;
    WCHAR seen = 0;
    for (WCHAR unit = path[end]; unit != 0; unit = path[++end]) {
        if (unit == WSTR('\\') || unit == WSTR('/') || unit == WSTR(':')) {
            return false;
        }
        seen |= unit;
    }
    if (end == at || end > kMaxPathUnits) {
        return false;
    }
    fsPath.assign(folderPath);
    if (fsPath.back() != '/') {
        fsPath += '/';
    }
    std::size_t start = fsPath.size();
    if (seen < 0x80) {  // most names: ASCII, a byte a unit
        fsPath.resize(start + (end - at));
        for (std::size_t i = at; i < end; ++i) {
            fsPath[start + i - at] = static_cast<char>(path[i]);
        }
    } else if (!appendPathBytes(WStringView(path + at, end - at), fsPath)) {
        return false;
    }
    std::string_view name = std::string_view(fsPath).substr(start);
    if (name == "." || name == "..") {
        return false;  // the mapping's to judge
    }
    if (!entry.inHeldFolder(fsPath)) {
        entry.inFolder(fd, name);
    }
    return true;
}

Anchor::~Anchor()
{
    if (owned_ >= 0) {
        ::close(owned_);
    }
}

std::string Anchor::xattrPath() const
{
    if (held_) {
        return procFdPath(folder_);
    }
    if (folder_ == AT_FDCWD) {
        return name_;
    }
    return procFdPath(folder_).append("/").append(name_);
}

DWORD Anchor::resolve(std::string_view fsPath)
{
    folder_ = AT_FDCWD;
    held_ = false;
    if (fsPath.empty()) {
        return ERROR_FILE_NOT_FOUND;
    }
    if (inHeldFolder(fsPath)) {
        return ERROR_SUCCESS;
    }
    FsPathParts parts = splitFsPath(fsPath);
    // A name inside a folder being listed: relative to it.
    if (int listedFd = parts.folder.empty() ? -1 : ListedFolders::descriptorOf(parts.folder); listedFd >= 0) {
        folder_ = listedFd;
        name_.assign(parts.name);
        return ERROR_SUCCESS;
    }
    if (fsPath.size() < PATH_MAX) {
        name_.assign(fsPath);
        return ERROR_SUCCESS;
    }
    if (parts.name.size() > NAME_MAX) {
        return ERROR_FILENAME_EXCED_RANGE;
    }

    // Too long for one call: start at the deepest folder being listed that
    // holds it, and open the folders on the way in pieces PATH_MAX can take.
    std::string_view rest;
    int current = ListedFolders::deepestAbove(parts.folder, rest);
    while (!rest.empty()) {
        std::string_view::size_type cut = rest.size();
        if (cut >= PATH_MAX) {
            cut = rest.rfind('/', PATH_MAX - 1);
            if (cut == std::string_view::npos || cut == 0) {
                return ERROR_FILENAME_EXCED_RANGE;
            }
        }
        std::string piece(rest.substr(0, cut));
        int next = ::openat(current, piece.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC);
        if (next < 0) {
            // A folder on the way: missing, it leaves the path unfound.
            return errno == ENOENT ? ERROR_PATH_NOT_FOUND : win32ErrorFromErrno(errno);
        }
        if (owned_ >= 0) {
            ::close(owned_);
        }
        owned_ = next;
        current = next;
        rest = cut < rest.size() ? rest.substr(cut + 1) : std::string_view();
    }
    folder_ = current;
    name_.assign(parts.name);
    return ERROR_SUCCESS;
}

void Anchor::inFolder(int folder, std::string_view name)
{
    if (owned_ >= 0) {
        ::close(owned_);
        owned_ = -1;
    }
    folder_ = folder;
    held_ = false;
    name_.assign(name);
}

DWORD Anchor::errorFor(int error) const
{
    if (error != ENOENT) {
        return win32ErrorFromErrno(error);
    }
    // Which is missing: the last component, or a folder on the way. An open
    // folder is there while it is still linked.
    struct stat status {};
    bool folderThere = false;
    if (folder_ == AT_FDCWD) {
        std::string_view folder = splitFsPath(name_).folder;
        folderThere = ::stat(folder.empty() ? "." : std::string(folder).c_str(), &status) == 0 && S_ISDIR(status.st_mode);
    } else {
        folderThere = ::fstat(folder_, &status) == 0 && status.st_nlink > 0;
    }
    return folderThere ? ERROR_FILE_NOT_FOUND : ERROR_PATH_NOT_FOUND;
}

// A held folder itself is its descriptor: looked at with AT_EMPTY_PATH, and
// opened anew through /proc, which asks for the rights an open by name asks
// for (to read the folder), not for the right to search it that a name
// inside it, ".", would need. It is a folder, never a link.
int Anchor::stat(struct stat& status, bool follow) const
{
    return ::fstatat(folder_, name_.c_str(), &status, (follow ? 0 : AT_SYMLINK_NOFOLLOW) | (held_ ? AT_EMPTY_PATH : 0));
}

int Anchor::open(int flags, unsigned mode) const
{
    if (held_) {
        return ::open(procFdPath(folder_).c_str(), flags & ~(O_NOFOLLOW | O_CREAT | O_EXCL), mode);
    }
    return ::openat(folder_, name_.c_str(), flags, mode);
}

int Anchor::makeFolder(unsigned mode) const
{
    if (held_) {
        errno = EEXIST;
        return -1;
    }
    return ::mkdirat(folder_, name_.c_str(), mode);
}

int Anchor::makeLink(const std::string& target) const
{
    if (held_) {
        errno = EEXIST;
        return -1;
    }
    return ::symlinkat(target.c_str(), folder_, name_.c_str());
}

int Anchor::remove(bool folder) const
{
    if (held_) {
        errno = EBUSY;
        return -1;
    }
    return ::unlinkat(folder_, name_.c_str(), folder ? AT_REMOVEDIR : 0);
}

}  // namespace posix
