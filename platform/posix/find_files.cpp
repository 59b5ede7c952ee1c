// FindFirstFileW, FindNextFileW, FindClose and GetFileAttributesW.
//
// A folder is listed one entry at a time as the kernel returns them: nothing
// is collected, so memory does not grow with the size of a folder. Each entry
// costs one statx and one read of user.DOSATTRIB.
#include <cerrno>
#include <climits>
#include <dirent.h>
#include <fcntl.h>
#include <memory>
#include <sys/stat.h>
#include <unistd.h>

#include "platform/posix/file_attributes.h"
#include "platform/posix/handle_objects.h"
#include "platform/posix/last_error.h"
#include "platform/posix/path_anchor.h"
#include "platform/posix/path_mapping.h"

namespace posix {
namespace {

struct FindObject : HandleObject {
    static constexpr HandleKind kKind = HandleKind::Find;
    FindObject() : HandleObject(kKind) {}
    ~FindObject() override
    {
        if (folder != nullptr) {
            removeListedFolder(::dirfd(folder));
            ::closedir(folder);
        }
    }

    DIR* folder = nullptr;  // null for a search without a wildcard: one entry, already returned
    // With a trailing '/'; empty when too long for the path-based calls
    // anyway, so that a deep walk does not keep the path of every level.
    std::string folderPath;
    std::string entryPath;  // reused for each entry
};

// The next entry of the folder, skipping entries that vanish between being
// listed and being examined. false with the last error set at the end
// (ERROR_NO_MORE_FILES) or on failure.
bool nextEntry(FindObject& find, WIN32_FIND_DATAW& data)
{
    if (find.folder == nullptr) {
        return fail(ERROR_NO_MORE_FILES, false);
    }
    int folderFd = ::dirfd(find.folder);
    for (;;) {
        errno = 0;
        struct dirent* entry = ::readdir(find.folder);
        if (entry == nullptr) {
            return fail(errno == 0 ? ERROR_NO_MORE_FILES : win32ErrorFromErrno(errno), false);
        }
        EntryInfo info;
        entryXattrPath(folderFd, find.folderPath, entry->d_name, find.entryPath);
        if (!readEntryInfo(folderFd, entry->d_name, find.entryPath, info)) {
            if (errno == ENOENT) {
                continue;
            }
            return fail(win32ErrorFromErrno(errno), false);
        }
        data = toFindData(info, entry->d_name);
        return true;
    }
}

}  // namespace
}  // namespace posix

using namespace posix;

HANDLE FindFirstFileW(LPCWSTR pattern, LPWIN32_FIND_DATAW data)
{
    std::optional<MappedPath> mapped = mapPath(pattern, false);
    if (!mapped) {
        return INVALID_HANDLE_VALUE;
    }
    if (data == nullptr) {
        return fail(ERROR_INVALID_PARAMETER, INVALID_HANDLE_VALUE);
    }
    std::string& path = mapped->fsPath;
    auto find = std::make_unique<FindObject>();
    bool listFolder = path == "*" || (path.size() >= 2 && path.compare(path.size() - 2, 2, "/*") == 0);
    if (!listFolder) {
        // No wildcard: that one entry.
        EntryInfo info;
        if (!readEntryInfo(path, info)) {
            setLastErrorFromErrno(errno, path);
            return INVALID_HANDLE_VALUE;
        }
        std::string::size_type slash = path.find_last_not_of('/');
        slash = slash == std::string::npos ? std::string::npos : path.rfind('/', slash);
        std::string name = path.substr(slash == std::string::npos ? 0 : slash + 1);
        while (name.size() > 1 && name.back() == '/') {
            name.pop_back();
        }
        *data = toFindData(info, name);
        SetLastError(ERROR_SUCCESS);
        return toHandle(find.release());
    }
    path.pop_back();  // the '*'
    std::string folder = path.empty() ? std::string(".") : path;
    int fd = openPath(folder, O_RDONLY | O_DIRECTORY | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0) {
        int error = errno;
        // "file\*" names a file as the folder: ERROR_DIRECTORY; a file
        // further up ("file\sub\*") leaves the path unfound.
        if (error == ENOTDIR) {
            struct stat status {};
            std::string last = folder.substr(0, folder.find_last_not_of('/') + 1);
            bool lastIsFile = statPath(last, status, true) == 0 && !S_ISDIR(status.st_mode);
            return fail(lastIsFile ? ERROR_DIRECTORY : ERROR_PATH_NOT_FOUND, INVALID_HANDLE_VALUE);
        }
        // The folder is part of the path here, so a missing one is a missing path.
        return fail(error == ENOENT ? ERROR_PATH_NOT_FOUND : win32ErrorFromErrno(error), INVALID_HANDLE_VALUE);
    }
    find->folder = ::fdopendir(fd);
    if (find->folder == nullptr) {
        int error = errno;
        ::close(fd);
        return fail(win32ErrorFromErrno(error), INVALID_HANDLE_VALUE);
    }
    if (path.empty()) {
        path = "./";
    }
    addListedFolder(path, fd);
    if (path.size() < PATH_MAX) {
        find->folderPath = std::move(path);
    }
    if (!nextEntry(*find, *data)) {
        // Nothing matched: Windows says ERROR_FILE_NOT_FOUND for that.
        if (GetLastError() == ERROR_NO_MORE_FILES) {
            SetLastError(ERROR_FILE_NOT_FOUND);
        }
        return INVALID_HANDLE_VALUE;
    }
    SetLastError(ERROR_SUCCESS);
    return toHandle(find.release());
}

BOOL FindNextFileW(HANDLE handle, LPWIN32_FIND_DATAW data)
{
    auto* find = handleAs<FindObject>(handle);
    if (find == nullptr) {
        return FALSE;
    }
    if (data == nullptr) {
        return fail(ERROR_INVALID_PARAMETER, FALSE);
    }
    return nextEntry(*find, *data) ? TRUE : FALSE;
}

BOOL FindClose(HANDLE handle)
{
    auto* find = handleAs<FindObject>(handle);
    if (find == nullptr) {
        return FALSE;
    }
    delete find;
    return TRUE;
}

DWORD GetFileAttributesW(LPCWSTR path)
{
    std::optional<MappedPath> mapped = mapPath(path, false);
    if (!mapped) {
        return INVALID_FILE_ATTRIBUTES;
    }
    EntryInfo info;
    if (!readEntryInfo(mapped->fsPath, info)) {
        setLastErrorFromErrno(errno, mapped->fsPath);
        return INVALID_FILE_ATTRIBUTES;
    }
    return info.attributes;
}
