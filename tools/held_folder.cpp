#include "tools/held_folder.h"

#include <utility>

#include "platform/path_forms.h"
#include "platform/text_conversion.h"
#include "platform/unique_resource.h"
#include "tools/tree_builder.h"

#ifndef _WIN32
#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

namespace treebuilder {

WString joinedPath(const WString& folder, WStringView name)
{
    if (name.empty()) {
        return folder;
    }
    bool linuxPath = folder.find(WSTR('\\')) == WString::npos && folder.find(WSTR('/')) != WString::npos;
    WCHAR separator = linuxPath ? WSTR('/') : WSTR('\\');
    WString path = folder;
    if (path.empty() || path.back() != separator) {
        path += separator;
    }
    path += name;
    return path;
}

WString HeldFolder::shown(WStringView name) const { return joinedPath(shown_, name); }

#ifndef _WIN32

namespace {

std::string fsName(WStringView name) { return utf8Text(name); }

}  // namespace

HeldFolder::HeldFolder(const WString& path) : shown_(path)
{
    WString full = fullPath(path);
    if (full.empty()) {
        throw BuildError("open", path, GetLastError());
    }
    std::string fsPath = fsName(full);
    fd_ = ::open(fsPath.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd_ < 0 && errno == EACCES) {
        fd_ = ::open(fsPath.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC);  // may be passed through, not listed
    }
    if (fd_ < 0) {
        throw BuildError("open", path, errno == ENOTDIR ? ERROR_DIRECTORY : win32ErrorOf(errno));
    }
}

HeldFolder HeldFolder::adopt(int fd, const WString& shownPath)
{
    HeldFolder folder;
    folder.fd_ = fd;
    folder.shown_ = shownPath;
    return folder;
}

HeldFolder::HeldFolder(HeldFolder&& other) noexcept
    : fd_(std::exchange(other.fd_, -1)), shown_(std::move(other.shown_))
{
}

HeldFolder& HeldFolder::operator=(HeldFolder&& other) noexcept
{
    if (this != &other) {
        if (fd_ >= 0) {
            ::close(fd_);
        }
        fd_ = std::exchange(other.fd_, -1);
        shown_ = std::move(other.shown_);
    }
    return *this;
}

HeldFolder::~HeldFolder()
{
    if (fd_ >= 0) {
        ::close(fd_);
    }
}

HeldFolder HeldFolder::enter(WStringView name, Make make, const char* call, bool privateFolder) const
{
    std::string entry = fsName(name);
    WString shownPath = shown(name);
    if (make != Make::No && ::mkdirat(fd_, entry.c_str(), privateFolder ? 0700 : 0777) != 0 &&
        (errno != EEXIST || make == Make::New)) {
        throw BuildError(call, shownPath, errno == EEXIST ? ERROR_ALREADY_EXISTS : win32ErrorOf(errno));
    }
    HeldFolder folder;
    folder.shown_ = shownPath;
    folder.fd_ = ::openat(fd_, entry.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (folder.fd_ < 0 && errno == EACCES) {
        folder.fd_ = ::openat(fd_, entry.c_str(), O_PATH | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    }
    if (folder.fd_ < 0) {
        int error = errno;
        switch (kindOf(name)) {
        case Kind::Link:
            throw BuildError(call, shownPath, kStoppedOnLink);
        case Kind::Missing:
            throw BuildError(call, shownPath, error == ENOENT ? ERROR_PATH_NOT_FOUND : win32ErrorOf(error));
        case Kind::Folder:
            throw BuildError(call, shownPath, win32ErrorOf(error));
        default:
            throw BuildError(call, shownPath, ERROR_PATH_NOT_FOUND);  // a file where a folder should be
        }
    }
    return folder;
}

WString HeldFolder::reach(WStringView name) const
{
    WString path = wideText("/proc/self/fd/" + std::to_string(fd_));
    if (!name.empty()) {
        path += WSTR('/');
        path += name;
    }
    return path;
}

HeldFolder::Kind HeldFolder::kindOf(WStringView name) const
{
    struct stat status {};
    if (::fstatat(fd_, fsName(name).c_str(), &status, AT_SYMLINK_NOFOLLOW) != 0) {
        return Kind::Missing;
    }
    return S_ISLNK(status.st_mode)   ? Kind::Link
           : S_ISDIR(status.st_mode) ? Kind::Folder
           : S_ISREG(status.st_mode) ? Kind::File
                                     : Kind::Other;
}

HeldFolder::Identity HeldFolder::identity() const
{
    struct stat status {};
    if (::fstat(fd_, &status) != 0) {
        return {};
    }
    return {static_cast<std::uint64_t>(status.st_dev), static_cast<std::uint64_t>(status.st_ino)};
}

DWORD win32ErrorOf(int error)
{
    switch (error) {
    case ENOENT: return ERROR_FILE_NOT_FOUND;
    case ENOTDIR: return ERROR_PATH_NOT_FOUND;
    case EACCES:
    case EPERM:
    case EROFS: return ERROR_ACCESS_DENIED;
    case EEXIST: return ERROR_ALREADY_EXISTS;
    case ENOTEMPTY: return ERROR_DIR_NOT_EMPTY;
    case ELOOP: return kStoppedOnLink;
    case ENAMETOOLONG: return ERROR_FILENAME_EXCED_RANGE;
    case ENOSPC:
    case EDQUOT: return ERROR_DISK_FULL;
    case EBUSY: return ERROR_BUSY;
    case EMFILE:
    case ENFILE: return ERROR_TOO_MANY_OPEN_FILES;
    case ENOMEM: return ERROR_NOT_ENOUGH_MEMORY;
    case EFBIG: return ERROR_FILE_TOO_LARGE;
    default: return ERROR_GEN_FAILURE;
    }
}

#else  // Windows: the path, checked as each folder is entered

HeldFolder::HeldFolder(const WString& path) : path_(path), shown_(path)
{
    DWORD attributes = GetFileAttributesW(path.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES) {
        throw BuildError("open", path, GetLastError());
    }
    if ((attributes & FILE_ATTRIBUTE_DIRECTORY) == 0) {
        throw BuildError("open", path, ERROR_DIRECTORY);
    }
}

HeldFolder::HeldFolder(HeldFolder&& other) noexcept = default;
HeldFolder& HeldFolder::operator=(HeldFolder&& other) noexcept = default;
HeldFolder::~HeldFolder() = default;

HeldFolder HeldFolder::enter(WStringView name, Make make, const char* call, bool /*privateFolder: the ACL is inherited*/) const
{
    WString path = reach(name);
    WString shownPath = shown(name);
    if (make != Make::No && !CreateDirectoryW(path.c_str(), nullptr) &&
        (GetLastError() != ERROR_ALREADY_EXISTS || make == Make::New)) {
        throw BuildError(call, shownPath, GetLastError());
    }
    switch (kindOf(name)) {
    case Kind::Folder:
        break;
    case Kind::Link:
        throw BuildError(call, shownPath, kStoppedOnLink);
    default:
        throw BuildError(call, shownPath, ERROR_PATH_NOT_FOUND);
    }
    if ((GetFileAttributesW(path.c_str()) & FILE_ATTRIBUTE_REPARSE_POINT) != 0) {
        throw BuildError(call, shownPath, kStoppedOnLink);  // another reparse point on a folder
    }
    HeldFolder folder;
    folder.path_ = path;
    folder.shown_ = shownPath;
    return folder;
}

WString HeldFolder::reach(WStringView name) const { return joinedPath(path_, name); }

HeldFolder::Kind HeldFolder::kindOf(WStringView name) const
{
    WIN32_FIND_DATAW entry{};
    if (!UniqueFindHandle(FindFirstFileW(reach(name).c_str(), &entry))) {
        return Kind::Missing;
    }
    constexpr DWORD kMountPoint = 0xA0000003;  // a junction
    bool link = (entry.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0 &&
                (entry.dwReserved0 == IO_REPARSE_TAG_SYMLINK || entry.dwReserved0 == kMountPoint);
    return link ? Kind::Link : (entry.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0 ? Kind::Folder : Kind::File;
}

HeldFolder::Identity HeldFolder::identity() const
{
    UniqueHandle folder(CreateFileW(path_.c_str(), FILE_READ_ATTRIBUTES, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                    nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT,
                                    nullptr));
    BY_HANDLE_FILE_INFORMATION information{};
    if (!folder || !GetFileInformationByHandle(folder.get(), &information)) {
        return {};
    }
    return {information.dwVolumeSerialNumber,
            (static_cast<std::uint64_t>(information.nFileIndexHigh) << 32) | information.nFileIndexLow};
}

#endif

}  // namespace treebuilder
