#include "tools/rehearsal_files.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <stdexcept>

#include "platform/text_conversion.h"
#include "platform/unique_resource.h"
#include "tools/rehearsal_judge.h"

#ifndef _WIN32
#include <cerrno>
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

namespace rehearsal {

WString pathInside(const WString& folder, WStringView relative)
{
    bool linuxPath = folder.find(WSTR('\\')) == WString::npos && folder.find(WSTR('/')) != WString::npos;
    WCHAR separator = linuxPath ? WSTR('/') : WSTR('\\');
    WString path = folder;
    if (path.empty() || path.back() != separator) {
        path += separator;
    }
    for (WCHAR unit : relative) {
        path += unit == WSTR('\\') ? separator : unit;
    }
    return path;
}

std::optional<std::vector<WIN32_FIND_DATAW>> folderEntries(const WString& folder)
{
    WIN32_FIND_DATAW entry{};
    UniqueFindHandle find(FindFirstFileW(pathInside(folder, WSTR("*")).c_str(), &entry));
    if (!find) {
        return std::nullopt;
    }
    std::vector<WIN32_FIND_DATAW> entries;
    do {
        WStringView name(entry.cFileName);
        if (name != WSTR(".") && name != WSTR("..")) {
            entries.push_back(entry);
        }
    } while (FindNextFileW(find.get(), &entry));
    if (GetLastError() != ERROR_NO_MORE_FILES) {
        return std::nullopt;
    }
    return entries;
}

namespace {

using treebuilder::HeldFolder;

std::string errorText(DWORD code) { return "error " + std::to_string(code); }

[[noreturn]] void unreachable(const std::string& shownFolder, DWORD code)
{
    throw std::runtime_error(shownFolder + " cannot be reached (" + errorText(code) +
                             (code == ERROR_PATH_NOT_FOUND ? ": the folder it would lie in does not exist)" : ")"));
}

[[noreturn]] void refuseLink(const std::string& shownFolder)
{
    throw std::runtime_error(shownFolder + " is a link (or another reparse point), which the rehearsal never follows: "
                                           "name an empty or new folder itself");
}

[[noreturn]] void refuseFile(const std::string& shownFolder)
{
    throw std::runtime_error(shownFolder + " is a file: name an empty or new folder");
}

void refuseUnlessEmpty(const std::string& shownFolder, const std::optional<std::vector<WIN32_FIND_DATAW>>& entries)
{
    if (!entries) {
        throw std::runtime_error(shownFolder + " cannot be listed (" + errorText(GetLastError()) + ")");
    }
    if (!entries->empty()) {
        throw std::runtime_error(shownFolder + " is not empty (it holds " + shown(entries->front().cFileName) +
                                 "): the rehearsal makes and removes files, so it runs only in an empty or new folder");
    }
}

#ifndef _WIN32

struct FdTraits {
    using Value = int;
    static Value invalid() noexcept { return -1; }
    static void close(Value fd) noexcept { ::close(fd); }
};
using UniqueFd = UniqueResource<FdTraits>;

std::string modeText(mode_t mode)
{
    char text[8];
    std::snprintf(text, sizeof text, "%04o", static_cast<unsigned>(mode & 07777));
    return text;
}

// Whether an account other than root and this one could rename, replace or
// add what a folder holds: its owner is another, or others may write in it
// without the sticky bit (which keeps them to their own entries).
bool othersMayChange(const struct stat& status)
{
    bool ownerTrusted = status.st_uid == 0 || status.st_uid == ::geteuid();
    bool othersWrite = (status.st_mode & (S_IWGRP | S_IWOTH)) != 0 && (status.st_mode & S_ISVTX) == 0;
    return !ownerTrusted || othersWrite;
}

bool failedWith(const WString& path, DWORD code, WString& failed)
{
    failed = path;
    SetLastError(code);
    return false;
}

bool removeEntry(int folder, const std::string& name, const WString& shownPath, WString& failed,
                 const std::optional<HeldFolder::Identity>& expected)
{
    struct stat seen {};
    if (::fstatat(folder, name.c_str(), &seen, AT_SYMLINK_NOFOLLOW) != 0) {
        return failedWith(shownPath, treebuilder::win32ErrorOf(errno), failed);
    }
    if (expected && (!S_ISDIR(seen.st_mode) || static_cast<std::uint64_t>(seen.st_dev) != expected->volume ||
                     static_cast<std::uint64_t>(seen.st_ino) != expected->index)) {
        return failedWith(shownPath, kReplaced, failed);
    }
    if (!S_ISDIR(seen.st_mode)) {  // a file or a link: itself only
        return ::unlinkat(folder, name.c_str(), 0) == 0 ||
               failedWith(shownPath, treebuilder::win32ErrorOf(errno), failed);
    }
    UniqueFd entered(::openat(folder, name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    struct stat status {};
    if (!entered) {
        return failedWith(shownPath, errno == ELOOP || errno == ENOTDIR ? kReplaced : treebuilder::win32ErrorOf(errno),
                          failed);
    }
    if (::fstat(entered.get(), &status) != 0 || status.st_dev != seen.st_dev || status.st_ino != seen.st_ino) {
        return failedWith(shownPath, kReplaced, failed);  // not the folder just looked at
    }
    std::vector<std::string> names;
    {
        int listed = ::dup(entered.get());
        DIR* listing = listed < 0 ? nullptr : ::fdopendir(listed);
        if (listing == nullptr) {
            int error = errno;
            if (listed >= 0) {
                ::close(listed);
            }
            return failedWith(shownPath, treebuilder::win32ErrorOf(error), failed);
        }
        errno = 0;
        while (const dirent* entry = ::readdir(listing)) {
            std::string entryName = entry->d_name;
            if (entryName != "." && entryName != "..") {
                names.push_back(entryName);
            }
        }
        int error = errno;
        ::closedir(listing);
        if (error != 0) {
            return failedWith(shownPath, treebuilder::win32ErrorOf(error), failed);
        }
    }
    for (const std::string& entryName : names) {
        if (!removeEntry(entered.get(), entryName, treebuilder::joinedPath(shownPath, wideText(entryName)), failed,
                         std::nullopt)) {
            return false;
        }
    }
    // A link put in its place meanwhile is not a folder: rmdir leaves it.
    return ::unlinkat(folder, name.c_str(), AT_REMOVEDIR) == 0 ||
           failedWith(shownPath, errno == ENOTDIR ? kReplaced : treebuilder::win32ErrorOf(errno), failed);
}

#else

bool removePath(const WString& path, WString& failed)
{
    DWORD attributes = GetFileAttributesW(path.c_str());
    bool removed = false;
    if (attributes == INVALID_FILE_ATTRIBUTES) {
        removed = false;
    } else if ((attributes & FILE_ATTRIBUTE_DIRECTORY) == 0) {
        if ((attributes & FILE_ATTRIBUTE_READONLY) != 0) {
            SetFileAttributesW(path.c_str(), attributes & ~FILE_ATTRIBUTE_READONLY);
        }
        removed = DeleteFileW(path.c_str());
    } else if ((attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0) {
        removed = RemoveDirectoryW(path.c_str());  // a link to a folder, or a junction: itself only
    } else {
        std::optional<std::vector<WIN32_FIND_DATAW>> entries = folderEntries(path);
        if (!entries) {
            failed = path;
            return false;
        }
        for (const WIN32_FIND_DATAW& entry : *entries) {
            if (!removePath(pathInside(path, entry.cFileName), failed)) {
                return false;
            }
        }
        removed = RemoveDirectoryW(path.c_str());
    }
    if (!removed) {
        failed = path;
    }
    return removed;
}

#endif

}  // namespace

#ifndef _WIN32

Workplace openWorkplace(const WString& given)
{
    const std::string givenName = shown(given);
    std::string fsPath = utf8Text(given);
    std::size_t slash = fsPath.rfind('/');
    if (fsPath.empty() || fsPath[0] != '/' || slash + 1 == fsPath.size()) {
        throw std::runtime_error(givenName + " is not a folder the rehearsal can make or empty");
    }
    std::string last = fsPath.substr(slash + 1);
    char* resolved = ::realpath(slash == 0 ? "/" : fsPath.substr(0, slash).c_str(), nullptr);
    if (resolved == nullptr) {
        unreachable(givenName, errno == ENOENT || errno == ENOTDIR ? ERROR_PATH_NOT_FOUND : treebuilder::win32ErrorOf(errno));
    }
    std::string above = resolved;
    std::free(resolved);
    Workplace place;
    place.name = last;
    place.folder = wideText(above == "/" ? "/" + last : above + "/" + last);
    const std::string name = shown(place.folder);

    // Every folder above, from the root down, opened from the one before
    // without following a link, and none that another account could change.
    UniqueFd current(::open("/", O_PATH | O_DIRECTORY | O_CLOEXEC));
    std::string walked = "/";
    for (std::size_t start = 1;; ) {
        struct stat status {};
        if (::fstat(current.get(), &status) != 0) {
            unreachable(name, treebuilder::win32ErrorOf(errno));
        }
        if (othersMayChange(status)) {
            throw std::runtime_error(walked + ", a folder on the way to " + name +
                                     ", may be changed by another account (owner uid " +
                                     std::to_string(status.st_uid) + ", mode " + modeText(status.st_mode) +
                                     "): the rehearsal runs only where no other account can replace what it makes");
        }
        if (start >= above.size()) {
            break;
        }
        std::size_t end = std::min(above.find('/', start), above.size());
        std::string component = above.substr(start, end - start);
        start = end + 1;
        current.reset(::openat(current.get(), component.c_str(), O_PATH | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
        if (!current) {
            unreachable(name, treebuilder::win32ErrorOf(errno));  // changed since it was resolved
        }
        walked += (walked == "/" ? "" : "/") + component;
    }
    place.above.emplace(HeldFolder::adopt(current.release(), wideText(above)));

    int aboveFd = place.above->descriptor();
    struct stat status {};
    if (::fstatat(aboveFd, last.c_str(), &status, AT_SYMLINK_NOFOLLOW) != 0) {
        if (errno != ENOENT) {
            unreachable(name, treebuilder::win32ErrorOf(errno));
        }
        if (::mkdirat(aboveFd, last.c_str(), 0700) != 0) {
            throw std::runtime_error("cannot make the folder " + name + " (" +
                                     errorText(treebuilder::win32ErrorOf(errno)) + ")");
        }
        place.made = true;
    } else if (S_ISLNK(status.st_mode)) {
        refuseLink(name);
    } else if (!S_ISDIR(status.st_mode)) {
        refuseFile(name);
    }
    try {
        place.held.emplace(place.above->enter(wideText(last), HeldFolder::Make::No));
    } catch (const treebuilder::BuildError& failure) {
        if (failure.code == treebuilder::kStoppedOnLink) {
            refuseLink(name);
        }
        unreachable(name, failure.code);
    }
    if (::fstat(place.held->descriptor(), &status) != 0) {
        unreachable(name, treebuilder::win32ErrorOf(errno));
    }
    if (status.st_uid != ::geteuid()) {
        throw std::runtime_error(name + " belongs to another account (uid " + std::to_string(status.st_uid) +
                                 "): the rehearsal makes and removes files, so it runs only in a folder of the "
                                 "account it runs as");
    }
    if ((status.st_mode & (S_IWGRP | S_IWOTH)) != 0) {
        throw std::runtime_error("other accounts may write in " + name + " (mode " + modeText(status.st_mode) +
                                 "): the rehearsal makes and removes files, so it runs only in a folder that no "
                                 "other account may change");
    }
    refuseUnlessEmpty(name, folderEntries(place.held->reach()));
    return place;
}

bool removeTree(const HeldFolder& folder, WStringView name, WString& failed,
                const std::optional<HeldFolder::Identity>& expected)
{
    return removeEntry(folder.descriptor(), utf8Text(name), folder.shown(name), failed, expected);
}

bool removeWorkplace(const Workplace& workplace)
{
    struct stat status {};
    int above = workplace.above->descriptor();
    if (::fstatat(above, workplace.name.c_str(), &status, AT_SYMLINK_NOFOLLOW) != 0) {
        SetLastError(treebuilder::win32ErrorOf(errno));
        return false;
    }
    HeldFolder::Identity identity = workplace.held->identity();
    if (!S_ISDIR(status.st_mode) || static_cast<std::uint64_t>(status.st_dev) != identity.volume ||
        static_cast<std::uint64_t>(status.st_ino) != identity.index) {
        SetLastError(kReplaced);
        return false;
    }
    if (::unlinkat(above, workplace.name.c_str(), AT_REMOVEDIR) != 0) {
        SetLastError(treebuilder::win32ErrorOf(errno));
        return false;
    }
    return true;
}

#else

// A typo must never lead the rehearsal into a production folder: a folder
// that holds anything, a link and a file are refused.
Workplace openWorkplace(const WString& folder)
{
    const std::string name = shown(folder);
    Workplace place;
    place.folder = folder;
    DWORD attributes = GetFileAttributesW(folder.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES) {
        DWORD error = GetLastError();
        if (error != ERROR_FILE_NOT_FOUND) {
            unreachable(name, error);
        }
        if (!CreateDirectoryW(folder.c_str(), nullptr)) {
            throw std::runtime_error("cannot make the folder " + name + " (" + errorText(GetLastError()) + ")");
        }
        place.made = true;
    } else if ((attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0) {
        refuseLink(name);
    } else if ((attributes & FILE_ATTRIBUTE_DIRECTORY) == 0) {
        refuseFile(name);
    } else {
        refuseUnlessEmpty(name, folderEntries(folder));
    }
    try {
        place.held.emplace(folder);
    } catch (const treebuilder::BuildError& failure) {
        unreachable(name, failure.code);
    }
    return place;
}

bool removeTree(const HeldFolder& folder, WStringView name, WString& failed,
                const std::optional<HeldFolder::Identity>& expected)
{
    if (expected) {
        std::optional<HeldFolder> entry;
        try {
            entry.emplace(folder.enter(name, HeldFolder::Make::No));
        } catch (const treebuilder::BuildError&) {
        }
        if (!entry || entry->identity() != *expected) {
            failed = folder.shown(name);
            SetLastError(kReplaced);
            return false;
        }
    }
    return removePath(folder.reach(name), failed);  // reached as shown: the same path on Windows
}

bool removeWorkplace(const Workplace& workplace) { return RemoveDirectoryW(workplace.folder.c_str()); }

#endif

std::optional<treebuilder::Bytes> readReparseRecord(const WString& path)
{
    UniqueHandle file(CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                  FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
    treebuilder::Bytes record(MAXIMUM_REPARSE_DATA_BUFFER_SIZE);
    DWORD returned = 0;
    bool read = file && DeviceIoControl(file.get(), FSCTL_GET_REPARSE_POINT, nullptr, 0, record.data(),
                                        static_cast<DWORD>(record.size()), &returned, nullptr);
    DWORD error = GetLastError();
    file.reset();
    if (!read) {
        SetLastError(error);  // closing the handle keeps no error of its own
        return std::nullopt;
    }
    record.resize(returned);
    // In NTFS's form, as the rehearsal builds its records, whatever form the
    // volume keeps them in.
    return treebuilder::ntfsForm(std::move(record));
}

}  // namespace rehearsal
