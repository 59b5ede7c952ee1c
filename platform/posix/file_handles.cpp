// CreateFileW/CreateFileA and what is done with the handle: ReadFile,
// WriteFile, GetFileSizeEx, SetFilePointerEx, SetEndOfFile, SetFileTime,
// GetFileInformationByHandle, CloseHandle; GetStdHandle; CreateDirectoryW,
// RemoveDirectoryW, DeleteFileW, CreateSymbolicLinkW, SetFileAttributesW and
// GetCompressedFileSizeW.
//
// Share modes are advisory flock locks: share mode 0 takes an exclusive
// lock, any other share mode a shared one, so an open without sharing fails
// with ERROR_SHARING_VIOLATION while anyone else has the file open through
// this layer, and the other way round. Opens without data access take none.
#include <cerrno>
#include <climits>
#include <cstring>
#include <fcntl.h>
#include <memory>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>

#include "platform/posix/file_attributes.h"
#include "platform/posix/handle_objects.h"
#include "platform/posix/last_error.h"
#include "platform/posix/path_anchor.h"
#include "platform/posix/path_mapping.h"
#include "platform/posix/samba_xattrs.h"

namespace posix {

FileObject::~FileObject()
{
    if (ownsFd && fd >= 0) {
        ::close(fd);
    }
}

namespace {

bool wantsRead(DWORD access) { return (access & GENERIC_READ) != 0; }
bool wantsWrite(DWORD access) { return (access & GENERIC_WRITE) != 0; }

int dataAccessFlags(DWORD access)
{
    if (wantsRead(access) && wantsWrite(access)) {
        return O_RDWR;
    }
    return wantsWrite(access) ? O_WRONLY : O_RDONLY;
}

bool takeShareLock(int fd, DWORD share)
{
    int operation = (share == 0 ? LOCK_EX : LOCK_SH) | LOCK_NB;
    while (::flock(fd, operation) != 0) {
        if (errno != EINTR) {
            SetLastError(errno == EWOULDBLOCK ? ERROR_SHARING_VIOLATION : win32ErrorFromErrno(errno));
            return false;
        }
    }
    return true;
}

bool isValidDisposition(DWORD disposition) { return disposition >= CREATE_NEW && disposition <= TRUNCATE_EXISTING; }

HANDLE openStream(const MappedPath& mapped, DWORD access, DWORD share, DWORD disposition, DWORD flags)
{
    struct stat base {};
    bool follow = (flags & FILE_FLAG_OPEN_REPARSE_POINT) == 0;
    if (statPath(mapped.fsPath, base, follow) != 0) {
        setLastErrorFromErrno(errno, mapped.fsPath);
        return INVALID_HANDLE_VALUE;
    }
    if (S_ISLNK(base.st_mode)) {
        return fail(ERROR_ACCESS_DENIED, INVALID_HANDLE_VALUE);  // links hold no streams
    }
    auto object = std::make_unique<FileObject>();
    object->fsPath = mapped.fsPath;
    object->access = access;
    object->isStream = true;
    object->streamXattr = streamXattrName(mapped.streamName);
    object->fd = openPath(mapped.fsPath, O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY | (follow ? 0 : O_NOFOLLOW));
    if (object->fd < 0) {
        setLastErrorFromErrno(errno, mapped.fsPath);
        return INVALID_HANDLE_VALUE;
    }
    if ((wantsRead(access) || wantsWrite(access)) && !takeShareLock(object->fd, share)) {
        return INVALID_HANDLE_VALUE;
    }
    std::optional<std::string> value = readXattr(object->fd, object->streamXattr.c_str());
    if (!value && errno != ENODATA) {
        return fail(win32ErrorFromErrno(errno), INVALID_HANDLE_VALUE);
    }
    bool exists = value.has_value();
    if (!exists && (disposition == OPEN_EXISTING || disposition == TRUNCATE_EXISTING)) {
        return fail(ERROR_FILE_NOT_FOUND, INVALID_HANDLE_VALUE);
    }
    if (exists && disposition == CREATE_NEW) {
        return fail(ERROR_FILE_EXISTS, INVALID_HANDLE_VALUE);
    }
    if (exists && !value->empty()) {
        value->pop_back();  // the NUL that streams_xattr always stores
    }
    bool empties = !exists || disposition == CREATE_ALWAYS || disposition == TRUNCATE_EXISTING;
    if (empties) {
        if (!wantsWrite(access)) {
            return fail(ERROR_ACCESS_DENIED, INVALID_HANDLE_VALUE);
        }
        if (!writeXattr(object->fd, object->streamXattr.c_str(), std::string_view("", 1))) {
            return fail(win32ErrorFromErrno(errno), INVALID_HANDLE_VALUE);
        }
    } else {
        object->streamData = std::move(*value);
    }
    SetLastError(exists && (disposition == OPEN_ALWAYS || disposition == CREATE_ALWAYS) ? ERROR_ALREADY_EXISTS
                                                                                          : ERROR_SUCCESS);
    return toHandle(object.release());
}

HANDLE openFile(const std::string& fsPath, DWORD access, DWORD share, DWORD disposition, DWORD flags)
{
    bool follow = (flags & FILE_FLAG_OPEN_REPARSE_POINT) == 0;
    struct stat status {};
    bool exists = statPath(fsPath, status, follow) == 0;
    if (!exists && errno != ENOENT) {
        setLastErrorFromErrno(errno, fsPath);
        return INVALID_HANDLE_VALUE;
    }
    if (exists && disposition == CREATE_NEW) {
        return fail(ERROR_FILE_EXISTS, INVALID_HANDLE_VALUE);
    }
    if (!exists && (disposition == OPEN_EXISTING || disposition == TRUNCATE_EXISTING)) {
        setLastErrorFromErrno(ENOENT, fsPath);
        return INVALID_HANDLE_VALUE;
    }
    bool truncates = disposition == CREATE_ALWAYS || disposition == TRUNCATE_EXISTING;
    if (truncates && !wantsWrite(access)) {
        return fail(disposition == TRUNCATE_EXISTING ? ERROR_INVALID_PARAMETER : ERROR_ACCESS_DENIED,
                    INVALID_HANDLE_VALUE);
    }
    auto object = std::make_unique<FileObject>();
    object->fsPath = fsPath;
    object->access = access;
    int common = O_CLOEXEC | O_NONBLOCK | O_NOCTTY | (follow ? 0 : O_NOFOLLOW);
    bool dataAccess = wantsRead(access) || wantsWrite(access);
    if (exists && S_ISLNK(status.st_mode)) {
        // The link itself: it has no data, no xattrs and takes no lock. A
        // link to a folder is a folder on NTFS.
        struct stat target {};
        if (statPath(fsPath, target, true) == 0 && S_ISDIR(target.st_mode) &&
            (flags & FILE_FLAG_BACKUP_SEMANTICS) == 0) {
            return fail(ERROR_ACCESS_DENIED, INVALID_HANDLE_VALUE);
        }
        object->isSymlink = true;
        object->fd = openPath(fsPath, O_PATH | O_NOFOLLOW | O_CLOEXEC);
        dataAccess = false;
    } else if (exists && S_ISDIR(status.st_mode)) {
        if ((flags & FILE_FLAG_BACKUP_SEMANTICS) == 0 || truncates) {
            return fail(ERROR_ACCESS_DENIED, INVALID_HANDLE_VALUE);
        }
        // Without data access nothing is read from the folder, so no read
        // permission is needed, as on Windows.
        object->isDirectory = true;
        object->fd = openPath(fsPath, (dataAccess ? O_RDONLY : O_PATH) | O_DIRECTORY | common);
    } else if (exists) {
        object->fd = openPath(fsPath, (dataAccess ? dataAccessFlags(access) : O_PATH) | common);
    } else {
        object->fd = openPath(fsPath, dataAccessFlags(access) | O_CREAT | O_EXCL | common, 0666);
    }
    if (object->fd < 0) {
        setLastErrorFromErrno(errno, fsPath);
        return INVALID_HANDLE_VALUE;
    }
    if (dataAccess && !takeShareLock(object->fd, share)) {
        return INVALID_HANDLE_VALUE;
    }
    // Truncation waits for the lock, so a file held by someone else is left alone.
    if (exists && truncates && ::ftruncate(object->fd, 0) != 0) {
        return fail(win32ErrorFromErrno(errno), INVALID_HANDLE_VALUE);
    }
    SetLastError(exists && (disposition == OPEN_ALWAYS || disposition == CREATE_ALWAYS) ? ERROR_ALREADY_EXISTS
                                                                                          : ERROR_SUCCESS);
    return toHandle(object.release());
}

FileObject* standardHandle(int fd)
{
    static FileObject handles[3];
    FileObject& handle = handles[fd];
    handle.fd = fd;
    handle.ownsFd = false;
    handle.access = fd == 0 ? GENERIC_READ : GENERIC_WRITE;
    return &handle;
}

// A handle that can do I/O on its data: not a link, not a folder.
FileObject* dataHandle(HANDLE handle, DWORD neededAccess)
{
    auto* file = handleAs<FileObject>(handle);
    if (file == nullptr) {
        return nullptr;
    }
    if (file->isSymlink || file->isDirectory) {
        return fail(ERROR_INVALID_FUNCTION, nullptr);
    }
    if ((file->access & neededAccess) == 0) {
        return fail(ERROR_ACCESS_DENIED, nullptr);
    }
    return file;
}

// Stores `content` as the stream's whole value; the handle's copy changes
// only when the file system took it.
bool writeStream(FileObject& stream, std::string content)
{
    content += '\0';
    if (!writeXattr(stream.fd, stream.streamXattr.c_str(), content)) {
        SetLastError(win32ErrorFromErrno(errno));
        return false;
    }
    content.pop_back();
    stream.streamData = std::move(content);
    return true;
}

// What RemoveDirectoryW (`folder`) and DeleteFileW remove: the entry itself,
// a link never followed. As on Windows, a link to a folder counts as a
// folder, so RemoveDirectoryW removes it (the link, not what it leads to);
// a folder given to DeleteFileW is ERROR_ACCESS_DENIED, anything else given
// to RemoveDirectoryW ERROR_DIRECTORY.
BOOL removeEntry(LPCWSTR path, bool folder)
{
    std::optional<MappedPath> mapped = mapPath(path, false);
    if (!mapped) {
        return FALSE;
    }
    struct stat status {};
    struct stat target {};
    if (statPath(mapped->fsPath, status, false) != 0) {
        setLastErrorFromErrno(errno, mapped->fsPath);
        return FALSE;
    }
    bool isFolder = S_ISDIR(status.st_mode) ||
                    (S_ISLNK(status.st_mode) && statPath(mapped->fsPath, target, true) == 0 && S_ISDIR(target.st_mode));
    if (isFolder != folder) {
        return fail(folder ? ERROR_DIRECTORY : ERROR_ACCESS_DENIED, FALSE);
    }
    if (removePath(mapped->fsPath, S_ISDIR(status.st_mode)) != 0) {
        setLastErrorFromErrno(errno, mapped->fsPath);
        return FALSE;
    }
    return TRUE;
}

}  // namespace
}  // namespace posix

using namespace posix;

HANDLE CreateFileW(LPCWSTR path, DWORD access, DWORD share, LPSECURITY_ATTRIBUTES, DWORD disposition,
                   DWORD flagsAndAttributes, HANDLE)
{
    if (!isValidDisposition(disposition)) {
        return fail(ERROR_INVALID_PARAMETER, INVALID_HANDLE_VALUE);
    }
    std::optional<MappedPath> mapped = mapPath(path, true);
    if (!mapped) {
        return INVALID_HANDLE_VALUE;
    }
    if (!mapped->streamName.empty()) {
        return openStream(*mapped, access, share, disposition, flagsAndAttributes);
    }
    return openFile(mapped->fsPath, access, share, disposition, flagsAndAttributes);
}

HANDLE CreateFileA(LPCSTR path, DWORD access, DWORD share, LPSECURITY_ATTRIBUTES, DWORD disposition,
                   DWORD flagsAndAttributes, HANDLE)
{
    if (!isValidDisposition(disposition)) {
        return fail(ERROR_INVALID_PARAMETER, INVALID_HANDLE_VALUE);
    }
    std::optional<std::string> fsPath = mapNarrowPath(path);
    if (!fsPath) {
        return INVALID_HANDLE_VALUE;
    }
    return openFile(*fsPath, access, share, disposition, flagsAndAttributes);
}

BOOL ReadFile(HANDLE handle, LPVOID buffer, DWORD toRead, LPDWORD read, LPOVERLAPPED)
{
    if (read != nullptr) {
        *read = 0;
    }
    FileObject* file = dataHandle(handle, GENERIC_READ);
    if (file == nullptr) {
        return FALSE;
    }
    if (buffer == nullptr && toRead != 0) {
        return fail(ERROR_INVALID_PARAMETER, FALSE);
    }
    std::size_t done = 0;
    if (file->isStream) {
        std::size_t available = file->streamData.size() - std::min(file->streamPosition, file->streamData.size());
        done = std::min<std::size_t>(toRead, available);
        if (done != 0) {  // the buffer may be null when nothing is asked for
            std::memcpy(buffer, file->streamData.data() + file->streamPosition, done);
        }
        file->streamPosition += done;
    } else {
        auto* bytes = static_cast<char*>(buffer);
        while (done < toRead) {
            ssize_t n = ::read(file->fd, bytes + done, toRead - done);
            if (n < 0 && errno == EINTR) {
                continue;
            }
            if (n < 0) {
                return fail(win32ErrorFromErrno(errno), FALSE);
            }
            if (n == 0) {
                break;
            }
            done += static_cast<std::size_t>(n);
        }
    }
    if (read != nullptr) {
        *read = static_cast<DWORD>(done);
    }
    return TRUE;
}

// Writes everything, or as much as the file system takes: a write that stops
// part-way (disk full, file size limit) succeeds with the count written, as
// on Windows; one that writes nothing fails.
BOOL WriteFile(HANDLE handle, LPCVOID buffer, DWORD toWrite, LPDWORD written, LPOVERLAPPED)
{
    if (written != nullptr) {
        *written = 0;
    }
    FileObject* file = dataHandle(handle, GENERIC_WRITE);
    if (file == nullptr) {
        return FALSE;
    }
    if (buffer == nullptr && toWrite != 0) {
        return fail(ERROR_INVALID_PARAMETER, FALSE);
    }
    const auto* bytes = static_cast<const char*>(buffer);
    std::size_t done = 0;
    if (file->isStream) {
        std::string content = file->streamData;
        if (file->streamPosition > content.size()) {
            content.resize(file->streamPosition, '\0');
        }
        content.replace(file->streamPosition, toWrite, bytes, toWrite);
        if (!writeStream(*file, std::move(content))) {
            return FALSE;
        }
        file->streamPosition += toWrite;
        done = toWrite;
    } else {
        while (done < toWrite) {
            ssize_t n = ::write(file->fd, bytes + done, toWrite - done);
            if (n < 0 && errno == EINTR) {
                continue;
            }
            if (n < 0) {
                if (done == 0) {
                    return fail(win32ErrorFromErrno(errno), FALSE);
                }
                break;
            }
            if (n == 0) {
                break;
            }
            done += static_cast<std::size_t>(n);
        }
    }
    if (written != nullptr) {
        *written = static_cast<DWORD>(done);
    }
    return TRUE;
}

BOOL GetFileSizeEx(HANDLE handle, PLARGE_INTEGER size)
{
    auto* file = handleAs<FileObject>(handle);
    if (file == nullptr) {
        return FALSE;
    }
    if (size == nullptr) {
        return fail(ERROR_INVALID_PARAMETER, FALSE);
    }
    if (file->isStream) {
        size->QuadPart = static_cast<LONGLONG>(file->streamData.size());
        return TRUE;
    }
    struct stat status {};
    if (::fstat(file->fd, &status) != 0) {
        return fail(win32ErrorFromErrno(errno), FALSE);
    }
    size->QuadPart = S_ISREG(status.st_mode) ? status.st_size : 0;
    return TRUE;
}

BOOL SetFilePointerEx(HANDLE handle, LARGE_INTEGER distance, PLARGE_INTEGER newPosition, DWORD method)
{
    FileObject* file = dataHandle(handle, GENERIC_READ | GENERIC_WRITE);
    if (file == nullptr) {
        return FALSE;
    }
    if (method > FILE_END) {
        return fail(ERROR_INVALID_PARAMETER, FALSE);
    }
    LONGLONG position = 0;
    if (file->isStream) {
        LONGLONG base = method == FILE_BEGIN     ? 0
                        : method == FILE_CURRENT ? static_cast<LONGLONG>(file->streamPosition)
                                                 : static_cast<LONGLONG>(file->streamData.size());
        position = base + distance.QuadPart;
        if (position < 0) {
            return fail(ERROR_NEGATIVE_SEEK, FALSE);
        }
        file->streamPosition = static_cast<std::size_t>(position);
    } else {
        int whence = method == FILE_BEGIN ? SEEK_SET : method == FILE_CURRENT ? SEEK_CUR : SEEK_END;
        off_t result = ::lseek(file->fd, distance.QuadPart, whence);
        if (result < 0) {
            return fail(errno == EINVAL ? ERROR_NEGATIVE_SEEK : win32ErrorFromErrno(errno), FALSE);
        }
        position = result;
    }
    if (newPosition != nullptr) {
        newPosition->QuadPart = position;
    }
    return TRUE;
}

// Ends the file at the current position; a longer file gets a hole, so a
// large placeholder takes no space.
BOOL SetEndOfFile(HANDLE handle)
{
    FileObject* file = dataHandle(handle, GENERIC_WRITE);
    if (file == nullptr) {
        return FALSE;
    }
    if (file->isStream) {
        std::string content = file->streamData;
        content.resize(file->streamPosition, '\0');
        return writeStream(*file, std::move(content)) ? TRUE : FALSE;
    }
    off_t position = ::lseek(file->fd, 0, SEEK_CUR);
    if (position < 0 || ::ftruncate(file->fd, position) != 0) {
        return fail(win32ErrorFromErrno(errno), FALSE);
    }
    return TRUE;
}

// The creation time lives in user.DOSATTRIB; the other two are the inode's.
// A time of 0 or 0xFFFFFFFF'FFFFFFFF leaves that time as it is, as on Windows.
BOOL SetFileTime(HANDLE handle, const FILETIME* creation, const FILETIME* lastAccess, const FILETIME* lastWrite)
{
    auto* file = handleAs<FileObject>(handle);
    if (file == nullptr) {
        return FALSE;
    }
    if (file->isSymlink || file->isStream || !wantsWrite(file->access)) {
        return fail(ERROR_ACCESS_DENIED, FALSE);
    }
    auto given = [](const FILETIME* time) {
        return time != nullptr && fromFileTime(*time) != 0 && fromFileTime(*time) != ~std::uint64_t{0};
    };
    if (!given(lastAccess)) {
        lastAccess = nullptr;
    }
    if (!given(lastWrite)) {
        lastWrite = nullptr;
    }
    if (given(creation)) {
        DosAttrib stored = storedDosAttrib(file->fd, file->fsPath, file->isDirectory);
        stored.createTime = fromFileTime(*creation);
        if (!writeDosAttrib(file->fd, stored)) {
            return fail(win32ErrorFromErrno(errno), FALSE);
        }
    }
    if (lastAccess != nullptr || lastWrite != nullptr) {
        auto toTimespec = [](const FILETIME* time) {
            struct timespec when {0, UTIME_OMIT};
            if (time != nullptr) {
                auto ticks = static_cast<std::int64_t>(fromFileTime(*time) - kUnixEpochTicks);
                when.tv_sec = ticks / 10000000;
                when.tv_nsec = (ticks % 10000000) * 100;
                if (when.tv_nsec < 0) {
                    when.tv_sec -= 1;
                    when.tv_nsec += 1000000000;
                }
            }
            return when;
        };
        struct timespec times[2] = {toTimespec(lastAccess), toTimespec(lastWrite)};
        if (::futimens(file->fd, times) != 0) {
            return fail(win32ErrorFromErrno(errno), FALSE);
        }
    }
    return TRUE;
}

BOOL GetFileInformationByHandle(HANDLE handle, LPBY_HANDLE_FILE_INFORMATION information)
{
    auto* file = handleAs<FileObject>(handle);
    if (file == nullptr) {
        return FALSE;
    }
    if (information == nullptr) {
        return fail(ERROR_INVALID_PARAMETER, FALSE);
    }
    EntryInfo info;
    if (!readEntryInfo(file->fd, "", file->fsPath, info) &&
        !(errno == ENOENT && readEntryInfo(file->fsPath, info))) {
        return fail(win32ErrorFromErrno(errno), FALSE);
    }
    *information = BY_HANDLE_FILE_INFORMATION{};
    information->dwFileAttributes = info.attributes;
    information->ftCreationTime = toFileTime(info.creationTime);
    information->ftLastAccessTime = toFileTime(info.lastAccessTime);
    information->ftLastWriteTime = toFileTime(info.lastWriteTime);
    information->dwVolumeSerialNumber = static_cast<DWORD>(info.device ^ (info.device >> 32));
    information->nFileSizeHigh = static_cast<DWORD>(info.size >> 32);
    information->nFileSizeLow = static_cast<DWORD>(info.size & 0xFFFFFFFF);
    information->nNumberOfLinks = static_cast<DWORD>(info.links);
    information->nFileIndexHigh = static_cast<DWORD>(static_cast<std::uint64_t>(info.inode) >> 32);
    information->nFileIndexLow = static_cast<DWORD>(info.inode & 0xFFFFFFFF);
    return TRUE;
}

BOOL CloseHandle(HANDLE handle)
{
    auto* object = handleAs<HandleObject>(handle);
    if (object == nullptr) {
        return FALSE;
    }
    if (object->kind == HandleKind::Process ||
        (object->kind == HandleKind::File && !static_cast<FileObject*>(object)->ownsFd)) {
        return TRUE;  // the process pseudo-handle and the standard handles live as long as the process
    }
    if (object->kind != HandleKind::File && object->kind != HandleKind::Token) {
        return fail(ERROR_INVALID_HANDLE, FALSE);  // find handles close with FindClose
    }
    delete object;
    return TRUE;
}

HANDLE GetStdHandle(DWORD which)
{
    switch (which) {
    case STD_INPUT_HANDLE:
        return toHandle(standardHandle(0));
    case STD_OUTPUT_HANDLE:
        return toHandle(standardHandle(1));
    case STD_ERROR_HANDLE:
        return toHandle(standardHandle(2));
    default:
        return fail(ERROR_INVALID_HANDLE, INVALID_HANDLE_VALUE);
    }
}

BOOL CreateDirectoryW(LPCWSTR path, LPSECURITY_ATTRIBUTES)
{
    std::optional<MappedPath> mapped = mapPath(path, false);
    if (!mapped) {
        return FALSE;
    }
    if (makeFolderPath(mapped->fsPath, 0777) != 0) {
        if (errno == EEXIST) {
            return fail(ERROR_ALREADY_EXISTS, FALSE);
        }
        setLastErrorFromErrno(errno, mapped->fsPath);
        return FALSE;
    }
    return TRUE;
}

BOOL RemoveDirectoryW(LPCWSTR path) { return removeEntry(path, true); }

BOOL DeleteFileW(LPCWSTR path) { return removeEntry(path, false); }

// The space a file takes on disk (st_blocks), which is what Windows gives for
// a sparse file.
DWORD GetCompressedFileSizeW(LPCWSTR path, LPDWORD sizeHigh)
{
    std::optional<MappedPath> mapped = mapPath(path, false);
    if (!mapped) {
        return INVALID_FILE_SIZE;
    }
    struct stat status {};
    if (statPath(mapped->fsPath, status, true) != 0) {
        setLastErrorFromErrno(errno, mapped->fsPath);
        return INVALID_FILE_SIZE;
    }
    auto allocated = static_cast<std::uint64_t>(status.st_blocks) * 512;
    if (sizeHigh != nullptr) {
        *sizeHigh = static_cast<DWORD>(allocated >> 32);
    }
    SetLastError(ERROR_SUCCESS);  // a low part of 0xFFFFFFFF is told apart by the last error
    return static_cast<DWORD>(allocated & 0xFFFFFFFF);
}

// The target is stored as given, with '\' turned into '/'; a UNC target
// becomes the Linux path it names.
BOOL CreateSymbolicLinkW(LPCWSTR link, LPCWSTR target, DWORD)
{
    std::optional<MappedPath> linkPath = mapPath(link, false);
    std::optional<MappedPath> targetPath = linkPath ? mapPath(target, false) : std::nullopt;
    if (!linkPath || !targetPath) {
        return FALSE;
    }
    if (makeLinkPath(targetPath->fsPath, linkPath->fsPath) != 0) {
        if (errno == EEXIST) {
            return fail(ERROR_ALREADY_EXISTS, FALSE);
        }
        setLastErrorFromErrno(errno, linkPath->fsPath);
        return FALSE;
    }
    return TRUE;
}

// As on Windows, the reparse point, sparse and folder bits cannot be set or
// cleared here: they follow from the data (FSCTL_SET_REPARSE_POINT,
// FSCTL_SET_SPARSE) and from the file type.
BOOL SetFileAttributesW(LPCWSTR path, DWORD attributes)
{
    constexpr DWORD kSettable = FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM |
                                FILE_ATTRIBUTE_ARCHIVE | FILE_ATTRIBUTE_OFFLINE | 0x100 /* temporary */ |
                                0x2000 /* not content indexed */;
    std::optional<MappedPath> mapped = mapPath(path, false);
    if (!mapped) {
        return FALSE;
    }
    struct stat status {};
    if (statPath(mapped->fsPath, status, false) != 0) {
        setLastErrorFromErrno(errno, mapped->fsPath);
        return FALSE;
    }
    if (S_ISLNK(status.st_mode)) {
        return fail(ERROR_ACCESS_DENIED, FALSE);  // Linux keeps no user xattrs on links
    }
    // O_PATH: writing an xattr needs the right to write it, not to read the file.
    int fd = openPath(mapped->fsPath, O_PATH | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0) {
        setLastErrorFromErrno(errno, mapped->fsPath);
        return FALSE;
    }
    bool isDirectory = S_ISDIR(status.st_mode);
    DosAttrib stored = storedDosAttrib(fd, mapped->fsPath, isDirectory);
    stored.attrib = (stored.attrib & ~kSettable) | (attributes & kSettable);
    bool written = writeDosAttrib(fd, stored);
    int error = errno;
    ::close(fd);
    return written ? TRUE : fail(win32ErrorFromErrno(error), FALSE);
}
