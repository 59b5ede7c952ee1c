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
//
// Each function resolves its path once (an Anchor) and sets the last error
// once, at its end; the steps below give back a Win32 code.
#include <cerrno>
#include <climits>
#include <cstring>
#include <fcntl.h>
#include <memory>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include "platform/posix/disk_convention.h"
#include "platform/posix/file_attributes.h"
#include "platform/posix/handle_objects.h"
#include "platform/posix/last_error.h"
#include "platform/posix/path_anchor.h"
#include "platform/posix/path_mapping.h"

namespace posix {

FileObject::~FileObject()
{
    hold.reset();
    if (ownsFd && fd >= 0) {
        ::close(fd);
    }
}

bool isFolder(FileObject& file)
{
    if (!file.typeKnown) {
        struct stat status {};
        bool known = ::fstat(file.fd, &status) == 0;
        file.isDirectory = known && S_ISDIR(status.st_mode);
        file.typeKnown = true;
        file.device = status.st_dev;
        file.deviceKnown = known;
    }
    return file.isDirectory;
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

DWORD takeShareLock(int fd, DWORD share)
{
    int operation = (share == 0 ? LOCK_EX : LOCK_SH) | LOCK_NB;
    while (::flock(fd, operation) != 0) {
        if (errno != EINTR) {
            return errno == EWOULDBLOCK ? ERROR_SHARING_VIOLATION : win32ErrorFromErrno(errno);
        }
    }
    return ERROR_SUCCESS;
}

// A folder opened for backup without FILE_SHARE_DELETE keeps its path while
// the handle lives, as on Windows (HeldFolders).
void holdIfUnshared(FileObject& folder, DWORD share, const std::string& fsPath)
{
    if ((share & FILE_SHARE_DELETE) == 0 && !fsPath.empty()) {
        folder.hold.emplace(fsPath, folder.fd);
    }
}

// What a CreateFile call asks for.
struct OpenRequest {
    DWORD access;
    DWORD share;
    DWORD disposition;
    DWORD flags;

    [[nodiscard]] bool follow() const { return (flags & FILE_FLAG_OPEN_REPARSE_POINT) == 0; }
    [[nodiscard]] bool backupSemantics() const { return (flags & FILE_FLAG_BACKUP_SEMANTICS) != 0; }
    [[nodiscard]] bool dataAccess() const { return wantsRead(access) || wantsWrite(access); }
    [[nodiscard]] bool truncates() const { return disposition == CREATE_ALWAYS || disposition == TRUNCATE_EXISTING; }
    [[nodiscard]] bool validDisposition() const { return disposition >= CREATE_NEW && disposition <= TRUNCATE_EXISTING; }
    // The code of a successful open.
    [[nodiscard]] DWORD openedCode(bool existed) const
    {
        return existed && (disposition == OPEN_ALWAYS || disposition == CREATE_ALWAYS) ? ERROR_ALREADY_EXISTS
                                                                                        : ERROR_SUCCESS;
    }
};

using OpenedFile = std::unique_ptr<FileObject>;

DWORD openStream(const Anchor& entry, const std::string& fsPath, const std::string& streamName,
                 const OpenRequest& request, OpenedFile& opened)
{
    auto object = std::make_unique<FileObject>();
    object->access = request.access;
    object->isStream = true;
    // The open tells whether the file is there; only a refusal of a link
    // itself needs a look at what the entry is.
    object->fd = entry.open(O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY | (request.follow() ? 0 : O_NOFOLLOW));
    if (object->fd < 0) {
        int error = errno;
        struct stat base {};
        if (error == ELOOP && !request.follow() && entry.stat(base, false) == 0 && S_ISLNK(base.st_mode)) {
            return ERROR_ACCESS_DENIED;  // links hold no streams
        }
        return entry.errorFor(error);
    }
    if (request.dataAccess()) {
        if (DWORD locked = takeShareLock(object->fd, request.share); locked != ERROR_SUCCESS) {
            return locked;
        }
    }
    const DiskConvention& disk = conventionOf(*object);
    object->streamDisk = &disk;
    object->streamKey = disk.streamKey(streamName);
    std::optional<std::string> value = disk.readStream(object->fd, object->streamKey);
    if (!value && errno != ENODATA) {
        return win32ErrorFromErrno(errno);
    }
    bool exists = value.has_value();
    if (!exists && (request.disposition == OPEN_EXISTING || request.disposition == TRUNCATE_EXISTING)) {
        return ERROR_FILE_NOT_FOUND;
    }
    if (exists && request.disposition == CREATE_NEW) {
        return ERROR_FILE_EXISTS;
    }
    if (!exists || request.truncates()) {
        if (!wantsWrite(request.access)) {
            return ERROR_ACCESS_DENIED;
        }
        if (!disk.writeStream(object->fd, object->streamKey, "")) {
            return win32ErrorFromErrno(errno);
        }
    } else {
        object->streamData = std::move(*value);
    }
    object->fsPath = fsPath;
    opened = std::move(object);
    return request.openedCode(exists);
}

// Any open of a file, folder or link, as the disposition and flags ask: the
// entry's status first, then the open it calls for.
DWORD openEntry(const Anchor& entry, const std::string& fsPath, const OpenRequest& request, OpenedFile& opened)
{
    struct stat status {};
    bool exists = entry.stat(status, request.follow()) == 0;
    if (!exists && errno != ENOENT) {
        return entry.errorFor(errno);
    }
    if (exists && request.disposition == CREATE_NEW) {
        return ERROR_FILE_EXISTS;
    }
    if (!exists && (request.disposition == OPEN_EXISTING || request.disposition == TRUNCATE_EXISTING)) {
        return entry.errorFor(ENOENT);
    }
    if (request.truncates() && !wantsWrite(request.access)) {
        return request.disposition == TRUNCATE_EXISTING ? ERROR_INVALID_PARAMETER : ERROR_ACCESS_DENIED;
    }
    auto object = std::make_unique<FileObject>();
    object->access = request.access;
    if (exists) {
        object->device = status.st_dev;
        object->deviceKnown = true;
    }
    int common = O_CLOEXEC | O_NONBLOCK | O_NOCTTY | (request.follow() ? 0 : O_NOFOLLOW);
    bool dataAccess = request.dataAccess();
    if (exists && S_ISLNK(status.st_mode)) {
        // The link itself: it has no data, no xattrs and takes no lock. A
        // link to a folder is a folder on NTFS.
        struct stat target {};
        if (entry.stat(target, true) == 0 && S_ISDIR(target.st_mode) && !request.backupSemantics()) {
            return ERROR_ACCESS_DENIED;
        }
        object->isSymlink = true;
        object->fd = entry.open(O_PATH | O_NOFOLLOW | O_CLOEXEC);
        dataAccess = false;
    } else if (exists && S_ISDIR(status.st_mode)) {
        if (!request.backupSemantics() || request.truncates()) {
            return ERROR_ACCESS_DENIED;
        }
        // Without data access nothing is read from the folder, so no read
        // permission is needed, as on Windows.
        object->isDirectory = true;
        object->fd = entry.open((dataAccess ? O_RDONLY : O_PATH) | O_DIRECTORY | common);
        if (object->fd >= 0) {
            holdIfUnshared(*object, request.share, fsPath);
        }
    } else if (exists) {
        object->fd = entry.open((dataAccess ? dataAccessFlags(request.access) : O_PATH) | common);
    } else {
        object->fd = entry.open(dataAccessFlags(request.access) | O_CREAT | O_EXCL | common, 0666);
    }
    if (object->fd < 0) {
        return entry.errorFor(errno);
    }
    if (dataAccess) {
        if (DWORD locked = takeShareLock(object->fd, request.share); locked != ERROR_SUCCESS) {
            return locked;
        }
    }
    // Truncation waits for the lock, so a file held by someone else is left alone.
    if (exists && request.truncates() && ::ftruncate(object->fd, 0) != 0) {
        return win32ErrorFromErrno(errno);
    }
    object->fsPath = fsPath;
    opened = std::move(object);
    return request.openedCode(exists);
}

// Two opens the walk makes are settled by the open alone, with no status
// call first; when the open fails, the general open tells why.
//   every reparse point: an existing entry, read with backup semantics, the
//     link itself rather than its target. O_NOFOLLOW refuses a link, so what
//     opens is a file or a folder, both of which this open may have; whether
//     it is a folder is looked up only when a later call needs to know
//     (isFolder).
//   every folder, to know it again by its identity: an existing folder,
//     followed, for no data. O_DIRECTORY refuses anything else. The folder
//     is opened for reading, although the handle reads nothing through it:
//     the xattrs of an O_PATH descriptor are reached only through /proc, a
//     path walk for every folder. One that may not be read takes the general
//     open, which opens it with O_PATH: no read permission is needed for it
//     on Windows.
enum class OpenAlone { No, ForReading, Folder };

OpenAlone opensAlone(const OpenRequest& request)
{
    if (request.disposition != OPEN_EXISTING || !request.backupSemantics()) {
        return OpenAlone::No;
    }
    if (!request.follow() && wantsRead(request.access) && !wantsWrite(request.access)) {
        return OpenAlone::ForReading;
    }
    return request.follow() && !request.dataAccess() ? OpenAlone::Folder : OpenAlone::No;
}

DWORD openFile(const Anchor& entry, const std::string& fsPath, const OpenRequest& request, OpenedFile& opened)
{
    OpenAlone alone = opensAlone(request);
    if (alone == OpenAlone::No) {
        return openEntry(entry, fsPath, request, opened);
    }
    bool folder = alone == OpenAlone::Folder;
    int fd = entry.open(O_RDONLY | (folder ? O_DIRECTORY : O_NOFOLLOW) | O_CLOEXEC | O_NONBLOCK | O_NOCTTY);
    if (fd < 0) {
        return openEntry(entry, fsPath, request, opened);
    }
    auto object = std::make_unique<FileObject>();
    object->fd = fd;
    object->access = request.access;
    if (folder) {
        object->isDirectory = true;
        object->fsPath = fsPath;
        holdIfUnshared(*object, request.share, fsPath);
    } else {
        // No path kept: it serves only a link, which this open never is.
        object->typeKnown = false;
        if (DWORD locked = takeShareLock(fd, request.share); locked != ERROR_SUCCESS) {
            return locked;
        }
    }
    opened = std::move(object);
    return ERROR_SUCCESS;
}

DWORD createFile(LPCWSTR path, const OpenRequest& request, OpenedFile& opened)
{
    if (!request.validDisposition()) {
        return ERROR_INVALID_PARAMETER;
    }
    // Kept from call to call, so that the open made for every reparse point
    // walked takes no allocation for its path.
    thread_local std::string fsPath;
    thread_local std::string streamName;
    Anchor entry;
    if (DWORD reached = anchorPath(path, fsPath, entry, &streamName); reached != ERROR_SUCCESS) {
        return reached;
    }
    return streamName.empty() ? openFile(entry, fsPath, request, opened)
                              : openStream(entry, fsPath, streamName, request, opened);
}

DWORD createFile(LPCSTR path, const OpenRequest& request, OpenedFile& opened)
{
    if (!request.validDisposition()) {
        return ERROR_INVALID_PARAMETER;
    }
    std::string fsPath;
    Anchor entry;
    DWORD reached = mapNarrowPath(path, fsPath);
    if (reached == ERROR_SUCCESS) {
        reached = entry.resolve(fsPath);
    }
    return reached != ERROR_SUCCESS ? reached : openFile(entry, fsPath, request, opened);
}

// CreateFile sets the last error on success too: ERROR_ALREADY_EXISTS or
// ERROR_SUCCESS, as Windows does.
HANDLE handleOf(DWORD code, OpenedFile& file)
{
    SetLastError(code);
    return file ? toHandle(file.release()) : INVALID_HANDLE_VALUE;
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

// Whether the handle can do I/O on its data with this access: not a link,
// not a folder, and opened for it.
DWORD dataAccessTo(FileObject& file, DWORD neededAccess)
{
    if (file.isSymlink || isFolder(file)) {
        return ERROR_INVALID_FUNCTION;
    }
    return (file.access & neededAccess) == 0 ? ERROR_ACCESS_DENIED : ERROR_SUCCESS;
}

// Stores `content` as the stream's whole value; the handle's copy changes
// only when the file system took it.
DWORD writeStream(FileObject& stream, std::string content)
{
    if (!stream.streamDisk->writeStream(stream.fd, stream.streamKey, content)) {
        return win32ErrorFromErrno(errno);
    }
    stream.streamData = std::move(content);
    return ERROR_SUCCESS;
}

// What RemoveDirectoryW (`folder`) and DeleteFileW remove: the entry itself,
// a link never followed. As on Windows, a link to a folder counts as a
// folder, so RemoveDirectoryW removes it (the link, not what it leads to);
// a folder given to DeleteFileW is ERROR_ACCESS_DENIED, anything else given
// to RemoveDirectoryW ERROR_DIRECTORY.
DWORD removeEntry(LPCWSTR path, bool folder)
{
    std::string fsPath;
    Anchor entry;
    if (DWORD reached = anchorPath(path, fsPath, entry); reached != ERROR_SUCCESS) {
        return reached;
    }
    struct stat status {};
    struct stat target {};
    if (entry.stat(status, false) != 0) {
        return entry.errorFor(errno);
    }
    bool isFolder = S_ISDIR(status.st_mode) ||
                    (S_ISLNK(status.st_mode) && entry.stat(target, true) == 0 && S_ISDIR(target.st_mode));
    if (isFolder != folder) {
        return folder ? ERROR_DIRECTORY : ERROR_ACCESS_DENIED;
    }
    if (entry.isHeldFolder()) {
        return ERROR_SHARING_VIOLATION;  // open without FILE_SHARE_DELETE
    }
    return entry.remove(S_ISDIR(status.st_mode)) == 0 ? ERROR_SUCCESS : entry.errorFor(errno);
}

}  // namespace
}  // namespace posix

using namespace posix;

HANDLE CreateFileW(LPCWSTR path, DWORD access, DWORD share, LPSECURITY_ATTRIBUTES, DWORD disposition,
                   DWORD flagsAndAttributes, HANDLE)
{
    OpenedFile file;
    DWORD code = createFile(path, OpenRequest{access, share, disposition, flagsAndAttributes}, file);
    return handleOf(code, file);
}

HANDLE CreateFileA(LPCSTR path, DWORD access, DWORD share, LPSECURITY_ATTRIBUTES, DWORD disposition,
                   DWORD flagsAndAttributes, HANDLE)
{
    OpenedFile file;
    DWORD code = createFile(path, OpenRequest{access, share, disposition, flagsAndAttributes}, file);
    return handleOf(code, file);
}

namespace posix {
namespace {

// The frame of ReadFile and WriteFile: the count is 0 unless the call
// succeeds; the handle must hold data opened for `access`, and the buffer be
// given unless nothing is asked for. `work` moves the bytes and counts them.
template <typename Work>
BOOL transfer(HANDLE handle, DWORD access, const void* buffer, DWORD count, LPDWORD counted, Work work)
{
    if (counted != nullptr) {
        *counted = 0;
    }
    return onHandle<FileObject>(handle, {}, [&](FileObject& file) -> DWORD {
        if (DWORD usable = dataAccessTo(file, access); usable != ERROR_SUCCESS) {
            return usable;
        }
        if (buffer == nullptr && count != 0) {
            return ERROR_INVALID_PARAMETER;
        }
        std::size_t done = 0;
        DWORD code = work(file, done);
        if (code == ERROR_SUCCESS && counted != nullptr) {
            *counted = static_cast<DWORD>(done);
        }
        return code;
    });
}

}  // namespace
}  // namespace posix

BOOL ReadFile(HANDLE handle, LPVOID buffer, DWORD toRead, LPDWORD read, LPOVERLAPPED)
{
    return transfer(handle, GENERIC_READ, buffer, toRead, read, [&](FileObject& file, std::size_t& done) -> DWORD {
        if (file.isStream) {
            std::size_t available = file.streamData.size() - std::min(file.streamPosition, file.streamData.size());
            done = std::min<std::size_t>(toRead, available);
            if (done != 0) {  // the buffer may be null when nothing is asked for
                std::memcpy(buffer, file.streamData.data() + file.streamPosition, done);
            }
            file.streamPosition += done;
            return ERROR_SUCCESS;
        }
        auto* bytes = static_cast<char*>(buffer);
        while (done < toRead) {
            ssize_t n = ::read(file.fd, bytes + done, toRead - done);
            if (n < 0 && errno == EINTR) {
                continue;
            }
            if (n < 0) {
                return win32ErrorFromErrno(errno);
            }
            if (n == 0) {
                break;
            }
            done += static_cast<std::size_t>(n);
        }
        return ERROR_SUCCESS;
    });
}

// Writes everything, or as much as the file system takes: a write that stops
// part-way (disk full, file size limit) succeeds with the count written, as
// on Windows; one that writes nothing fails.
BOOL WriteFile(HANDLE handle, LPCVOID buffer, DWORD toWrite, LPDWORD written, LPOVERLAPPED)
{
    return transfer(handle, GENERIC_WRITE, buffer, toWrite, written, [&](FileObject& file, std::size_t& done) -> DWORD {
        const auto* bytes = static_cast<const char*>(buffer);
        if (file.isStream) {
            std::string content = file.streamData;
            if (file.streamPosition > content.size()) {
                content.resize(file.streamPosition, '\0');
            }
            content.replace(file.streamPosition, toWrite, bytes, toWrite);
            if (DWORD stored = writeStream(file, std::move(content)); stored != ERROR_SUCCESS) {
                return stored;
            }
            file.streamPosition += toWrite;
            done = toWrite;
            return ERROR_SUCCESS;
        }
        while (done < toWrite) {
            ssize_t n = ::write(file.fd, bytes + done, toWrite - done);
            if (n < 0 && errno == EINTR) {
                continue;
            }
            if (n < 0) {
                if (done == 0) {
                    return win32ErrorFromErrno(errno);
                }
                break;
            }
            if (n == 0) {
                break;
            }
            done += static_cast<std::size_t>(n);
        }
        return ERROR_SUCCESS;
    });
}

BOOL GetFileSizeEx(HANDLE handle, PLARGE_INTEGER size)
{
    return onHandle<FileObject>(handle, {size}, [&](FileObject& file) -> DWORD {
        if (file.isStream) {
            size->QuadPart = static_cast<LONGLONG>(file.streamData.size());
            return ERROR_SUCCESS;
        }
        struct stat status {};
        if (::fstat(file.fd, &status) != 0) {
            return win32ErrorFromErrno(errno);
        }
        size->QuadPart = S_ISREG(status.st_mode) ? status.st_size : 0;
        return ERROR_SUCCESS;
    });
}

BOOL SetFilePointerEx(HANDLE handle, LARGE_INTEGER distance, PLARGE_INTEGER newPosition, DWORD method)
{
    return onHandle<FileObject>(handle, {}, [&](FileObject& file) -> DWORD {
        if (DWORD usable = dataAccessTo(file, GENERIC_READ | GENERIC_WRITE); usable != ERROR_SUCCESS) {
            return usable;
        }
        if (method > FILE_END) {
            return ERROR_INVALID_PARAMETER;
        }
        LONGLONG position = 0;
        if (file.isStream) {
            LONGLONG base = method == FILE_BEGIN     ? 0
                            : method == FILE_CURRENT ? static_cast<LONGLONG>(file.streamPosition)
                                                     : static_cast<LONGLONG>(file.streamData.size());
            position = base + distance.QuadPart;
            if (position < 0) {
                return ERROR_NEGATIVE_SEEK;
            }
            file.streamPosition = static_cast<std::size_t>(position);
        } else {
            int whence = method == FILE_BEGIN ? SEEK_SET : method == FILE_CURRENT ? SEEK_CUR : SEEK_END;
            off_t result = ::lseek(file.fd, distance.QuadPart, whence);
            if (result < 0) {
                return errno == EINVAL ? ERROR_NEGATIVE_SEEK : win32ErrorFromErrno(errno);
            }
            position = result;
        }
        if (newPosition != nullptr) {
            newPosition->QuadPart = position;
        }
        return ERROR_SUCCESS;
    });
}

// Ends the file at the current position, as the volume does that
// (DiskConvention::setEnd).
BOOL SetEndOfFile(HANDLE handle)
{
    return onHandle<FileObject>(handle, {}, [&](FileObject& file) -> DWORD {
        if (DWORD usable = dataAccessTo(file, GENERIC_WRITE); usable != ERROR_SUCCESS) {
            return usable;
        }
        if (file.isStream) {
            std::string content = file.streamData;
            content.resize(file.streamPosition, '\0');
            return writeStream(file, std::move(content));
        }
        off_t position = ::lseek(file.fd, 0, SEEK_CUR);
        if (position < 0) {
            return win32ErrorFromErrno(errno);
        }
        return conventionOf(file).setEnd(file, position);
    });
}

// The creation time is the volume's (DiskConvention); the other two are the
// inode's.
// A time of 0 or 0xFFFFFFFF'FFFFFFFF leaves that time as it is, as on Windows.
BOOL SetFileTime(HANDLE handle, const FILETIME* creation, const FILETIME* lastAccess, const FILETIME* lastWrite)
{
    return onHandle<FileObject>(handle, {}, [&](FileObject& file) -> DWORD {
        if (file.isSymlink || file.isStream || !wantsWrite(file.access)) {
            return ERROR_ACCESS_DENIED;
        }
        auto given = [](const FILETIME* time) {
            return time != nullptr && fromFileTime(*time) != 0 && fromFileTime(*time) != ~std::uint64_t{0};
        };
        if (given(creation)) {
            const DiskConvention& disk = conventionOf(file);
            if (DWORD set = disk.setCreationTime(file.fd, isFolder(file), fromFileTime(*creation));
                set != ERROR_SUCCESS) {
                return set;
            }
        }
        if (given(lastAccess) || given(lastWrite)) {
            auto toTimespec = [&](const FILETIME* time) {
                struct timespec when {0, UTIME_OMIT};
                if (given(time)) {
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
            if (::futimens(file.fd, times) != 0) {
                return win32ErrorFromErrno(errno);
            }
        }
        return ERROR_SUCCESS;
    });
}

BOOL GetFileInformationByHandle(HANDLE handle, LPBY_HANDLE_FILE_INFORMATION information)
{
    return onHandle<FileObject>(handle, {information}, [&](FileObject& file) -> DWORD {
        EntryInfo info;
        if (!readEntryInfo(file.fd, "", file.fsPath, info)) {
            if (errno != ENOENT || file.fsPath.empty()) {
                return win32ErrorFromErrno(errno);
            }
            Anchor entry;
            if (DWORD reached = entry.resolve(file.fsPath); reached != ERROR_SUCCESS) {
                return reached;
            }
            if (!readEntryInfo(entry, info)) {
                return win32ErrorFromErrno(errno);
            }
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
        return ERROR_SUCCESS;
    });
}

BOOL CloseHandle(HANDLE handle)
{
    return onHandle<HandleObject>(handle, {}, [](HandleObject& object) -> DWORD {
        if (object.kind == HandleKind::Process ||
            (object.kind == HandleKind::File && !static_cast<FileObject&>(object).ownsFd)) {
            return ERROR_SUCCESS;  // the process pseudo-handle and the standard handles live as long as the process
        }
        if (object.kind != HandleKind::File && object.kind != HandleKind::Token) {
            return ERROR_INVALID_HANDLE;  // find handles close with FindClose
        }
        delete &object;
        return ERROR_SUCCESS;
    });
}

HANDLE GetStdHandle(DWORD which)
{
    if (which != STD_INPUT_HANDLE && which != STD_OUTPUT_HANDLE && which != STD_ERROR_HANDLE) {
        SetLastError(ERROR_INVALID_HANDLE);
        return INVALID_HANDLE_VALUE;
    }
    return toHandle(standardHandle(which == STD_INPUT_HANDLE ? 0 : which == STD_OUTPUT_HANDLE ? 1 : 2));
}

BOOL CreateDirectoryW(LPCWSTR path, LPSECURITY_ATTRIBUTES)
{
    std::string fsPath;
    Anchor entry;
    DWORD code = anchorPath(path, fsPath, entry);
    if (code == ERROR_SUCCESS && entry.makeFolder(0777) != 0) {
        code = errno == EEXIST ? ERROR_ALREADY_EXISTS : entry.errorFor(errno);
    }
    return finish(code);
}

BOOL RemoveDirectoryW(LPCWSTR path) { return finish(removeEntry(path, true)); }

BOOL DeleteFileW(LPCWSTR path) { return finish(removeEntry(path, false)); }

// The space a file takes on disk (st_blocks), which is what Windows gives for
// a sparse file.
DWORD GetCompressedFileSizeW(LPCWSTR path, LPDWORD sizeHigh)
{
    std::string fsPath;
    Anchor entry;
    struct stat status {};
    DWORD code = anchorPath(path, fsPath, entry);
    if (code == ERROR_SUCCESS && entry.stat(status, true) != 0) {
        code = entry.errorFor(errno);
    }
    // Set on success too: a low part of 0xFFFFFFFF is told apart by the last
    // error, as on Windows.
    SetLastError(code);
    if (code != ERROR_SUCCESS) {
        return INVALID_FILE_SIZE;
    }
    auto allocated = static_cast<std::uint64_t>(status.st_blocks) * 512;
    if (sizeHigh != nullptr) {
        *sizeHigh = static_cast<DWORD>(allocated >> 32);
    }
    return static_cast<DWORD>(allocated & 0xFFFFFFFF);
}

// The target is stored as given, with '\' turned into '/'; a UNC target
// becomes the Linux path it names.
BOOL CreateSymbolicLinkW(LPCWSTR link, LPCWSTR target, DWORD)
{
    std::string linkPath;
    std::string targetPath;
    Anchor entry;
    DWORD code = mapPath(link, linkPath);
    if (code == ERROR_SUCCESS) {
        code = mapPath(target, targetPath);
    }
    if (code == ERROR_SUCCESS) {
        code = entry.resolve(linkPath);
    }
    if (code == ERROR_SUCCESS && entry.makeLink(targetPath) != 0) {
        code = errno == EEXIST ? ERROR_ALREADY_EXISTS : entry.errorFor(errno);
    }
    return finish(code);
}

// As on Windows, the reparse point, sparse and folder bits cannot be set or
// cleared here: they follow from the data (FSCTL_SET_REPARSE_POINT,
// FSCTL_SET_SPARSE) and from the file type.
BOOL SetFileAttributesW(LPCWSTR path, DWORD attributes)
{
    constexpr DWORD kSettable = FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM |
                                FILE_ATTRIBUTE_ARCHIVE | FILE_ATTRIBUTE_OFFLINE | 0x100 /* temporary */ |
                                0x2000 /* not content indexed */;
    auto set = [&]() -> DWORD {
        std::string fsPath;
        Anchor entry;
        if (DWORD reached = anchorPath(path, fsPath, entry); reached != ERROR_SUCCESS) {
            return reached;
        }
        struct stat status {};
        if (entry.stat(status, false) != 0) {
            return entry.errorFor(errno);
        }
        if (S_ISLNK(status.st_mode)) {
            // Linux keeps no user xattrs on links, and a reparse point ntfs-3g
            // shows as one cannot be opened to be changed.
            return ERROR_ACCESS_DENIED;
        }
        // O_PATH: writing an xattr needs the right to write it, not to read the file.
        int fd = entry.open(O_PATH | O_NOFOLLOW | O_CLOEXEC);
        if (fd < 0) {
            return entry.errorFor(errno);
        }
        const DiskConvention& disk = conventionOf(status.st_dev, XattrSource{fd, nullptr});
        DWORD written = disk.changeAttributes(fd, S_ISDIR(status.st_mode), kSettable, attributes, true);
        ::close(fd);
        return written;
    };
    return finish(set());
}
