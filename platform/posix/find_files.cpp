// FindFirstFileW, FindNextFileW, FindClose and GetFileAttributesW.
//
// A folder is listed one entry at a time as the kernel returns them: nothing
// is collected, so memory does not grow with the size of a folder. Each entry
// costs one statx and what its volume's convention reads (DiskConvention:
// one xattr, user.DOSATTRIB, in Samba's).
#include <cerrno>
#include <climits>
#include <dirent.h>
#include <fcntl.h>
#include <memory>
#include <optional>
#include <sys/stat.h>
#include <unistd.h>

#include "platform/posix/file_attributes.h"
#include "platform/posix/handle_objects.h"
#include "platform/posix/last_error.h"
#include "platform/posix/path_anchor.h"
#include "platform/posix/path_mapping.h"
#include "platform/posix/disk_convention.h"

namespace posix {
namespace {

struct FolderCloser {
    void operator()(DIR* folder) const { ::closedir(folder); }
};

struct FindObject : HandleObject {
    static constexpr HandleKind kKind = HandleKind::Find;
    FindObject() : HandleObject(kKind) {}

    std::unique_ptr<DIR, FolderCloser> folder;  // null for a search without a wildcard: one entry, already returned
    // With a trailing '/'; empty when too long for the path-based calls
    // anyway, so that a deep walk does not keep the path of every level.
    std::string folderPath;
    // The path of the entry for the path-based xattr call. While
    // entryHasFolder it keeps folderPath at its start and each entry only
    // puts its name after it, rather than the whole path being copied for
    // every entry listed.
    std::string entryPath;
    bool entryHasFolder = false;
    // Declared last, so it is dropped before the folder closes.
    std::optional<ListedFolders::Listing> listing;
};

// The next entry of the folder, skipping entries that vanish between being
// listed and being examined: ERROR_SUCCESS, ERROR_NO_MORE_FILES at the end,
// or the error.
DWORD nextEntry(FindObject& find, WIN32_FIND_DATAW& data)
{
    if (!find.folder) {
        return ERROR_NO_MORE_FILES;
    }
    int folderFd = ::dirfd(find.folder.get());
    for (;;) {
        errno = 0;
        struct dirent* entry = ::readdir(find.folder.get());
        if (entry == nullptr) {
            return errno == 0 ? ERROR_NO_MORE_FILES : win32ErrorFromErrno(errno);
        }
        EntryInfo info;
        std::string_view name(entry->d_name);
        if (!find.folderPath.empty() && find.folderPath.size() + name.size() < PATH_MAX) {
            if (!find.entryHasFolder) {
                find.entryPath.assign(find.folderPath);
                find.entryHasFolder = true;
            }
            find.entryPath.resize(find.folderPath.size());
            find.entryPath.append(name);
        } else {
            // Too long for one call: through the folder's descriptor.
            find.entryPath.assign(procFdPath(folderFd)).append("/").append(name);
            find.entryHasFolder = false;
        }
        // "." is the folder listed: read through its descriptor, not by path.
        const char* at = name == "." ? "" : entry->d_name;
        // FUSE answers the first look at an entry whose type changed under
        // the same mount (ntfs-3g, once a record is set there: a file
        // becomes a link) with EIO, and the next one with the entry as it is.
        if (!readEntryInfo(folderFd, at, find.entryPath, info) &&
            (errno != EIO || !readEntryInfo(folderFd, at, find.entryPath, info))) {
            if (errno == ENOENT) {
                continue;
            }
            return win32ErrorFromErrno(errno);
        }
        toFindData(info, name, data);
        return ERROR_SUCCESS;
    }
}

// A search without a wildcard: that one entry.
DWORD findEntry(const std::string& path, WIN32_FIND_DATAW& data)
{
    Anchor entry;
    if (DWORD reached = entry.resolve(path); reached != ERROR_SUCCESS) {
        return reached;
    }
    EntryInfo info;
    if (!readEntryInfo(entry, info)) {
        return entry.errorFor(errno);
    }
    toFindData(info, splitFsPath(path).name, data);
    return ERROR_SUCCESS;
}

// "folder/*": every entry of the folder. `path` is the folder with its '/',
// `win32Folder` the pattern without its '*'.
DWORD listFolder(const std::string& path, WStringView win32Folder, WIN32_FIND_DATAW& data, FindObject& find)
{
    std::string_view folder = path;
    while (!folder.empty() && folder.back() == '/') {
        folder.remove_suffix(1);
    }
    if (folder.empty()) {
        folder = path.empty() ? "." : "/";
    }
    Anchor entry;
    if (DWORD reached = entry.resolve(folder); reached != ERROR_SUCCESS) {
        return reached;
    }
    int fd = entry.open(O_RDONLY | O_DIRECTORY | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0) {
        int error = errno;
        // "file\*" names a file as the folder: ERROR_DIRECTORY; a file
        // further up ("file\sub\*") leaves the path unfound.
        if (error == ENOTDIR) {
            struct stat status {};
            bool lastIsFile = entry.stat(status, true) == 0 && !S_ISDIR(status.st_mode);
            return lastIsFile ? ERROR_DIRECTORY : ERROR_PATH_NOT_FOUND;
        }
        // The folder is part of the path here, so a missing one is a missing path.
        return error == ENOENT ? ERROR_PATH_NOT_FOUND : win32ErrorFromErrno(error);
    }
    find.folder.reset(::fdopendir(fd));
    if (!find.folder) {
        int error = errno;
        ::close(fd);
        return win32ErrorFromErrno(error);
    }
    std::string_view listedPath = path.empty() ? std::string_view("./") : std::string_view(path);
    // From now until FindClose, CreateFileW and the other calls reach the
    // folder's entries through this descriptor (ListedFolders).
    find.listing.emplace(listedPath, fd, win32Folder);
    if (listedPath.size() < PATH_MAX) {
        find.folderPath.assign(listedPath);
    }
    DWORD first = nextEntry(find, data);
    // Nothing matched: Windows says ERROR_FILE_NOT_FOUND for that.
    return first == ERROR_NO_MORE_FILES ? ERROR_FILE_NOT_FOUND : first;
}

DWORD findFirst(LPCWSTR pattern, LPWIN32_FIND_DATAW data, std::unique_ptr<FindObject>& found)
{
    std::string path;
    if (DWORD mapped = mapPath(pattern, path); mapped != ERROR_SUCCESS) {
        return mapped;
    }
    if (data == nullptr) {
        return ERROR_INVALID_PARAMETER;
    }
    auto find = std::make_unique<FindObject>();
    bool wildcard = path == "*" || (path.size() >= 2 && path.compare(path.size() - 2, 2, "/*") == 0);
    DWORD code = ERROR_SUCCESS;
    if (wildcard) {
        path.pop_back();  // the '*'
        WStringView win32Folder(pattern);
        code = listFolder(path, win32Folder.substr(0, win32Folder.size() - 1), *data, *find);
    } else {
        code = findEntry(path, *data);
    }
    if (code == ERROR_SUCCESS) {
        found = std::move(find);
    }
    return code;
}

}  // namespace
}  // namespace posix

using namespace posix;

HANDLE FindFirstFileW(LPCWSTR pattern, LPWIN32_FIND_DATAW data)
{
    std::unique_ptr<FindObject> find;
    SetLastError(findFirst(pattern, data, find));  // ERROR_SUCCESS too, as Windows sets it
    return find ? toHandle(find.release()) : INVALID_HANDLE_VALUE;
}

BOOL FindNextFileW(HANDLE handle, LPWIN32_FIND_DATAW data)
{
    return onHandle<FindObject>(handle, {data}, [&](FindObject& find) { return nextEntry(find, *data); });
}

BOOL FindClose(HANDLE handle)
{
    return onHandle<FindObject>(handle, {}, [](FindObject& find) -> DWORD {
        delete &find;
        return ERROR_SUCCESS;
    });
}

namespace posix {
namespace {

// "file:stream" has the file's attributes while the stream is there, as on
// Windows.
DWORD streamThere(const Anchor& entry, const std::string& stream)
{
    int fd = entry.open(O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY);
    if (fd < 0) {
        return entry.errorFor(errno);
    }
    struct stat status {};
    std::optional<std::string> value;
    if (::fstat(fd, &status) == 0) {
        const DiskConvention& disk = conventionOf(status.st_dev, XattrSource{fd, nullptr});
        value = disk.readStream(fd, disk.streamKey(stream));
    }
    int error = errno;
    ::close(fd);
    return value ? ERROR_SUCCESS : error == ENODATA ? ERROR_FILE_NOT_FOUND : win32ErrorFromErrno(error);
}

}  // namespace
}  // namespace posix

DWORD GetFileAttributesW(LPCWSTR path)
{
    std::string fsPath;
    std::string stream;
    Anchor entry;
    EntryInfo info;
    DWORD code = anchorPath(path, fsPath, entry, &stream);
    if (code == ERROR_SUCCESS && !stream.empty()) {
        code = streamThere(entry, stream);
    }
    if (code == ERROR_SUCCESS && !readEntryInfo(entry, info)) {
        code = entry.errorFor(errno);
    }
    return finish(code) ? info.attributes : INVALID_FILE_ATTRIBUTES;
}
