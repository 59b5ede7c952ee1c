// What a HANDLE points at on Linux. Every kind derives from HandleObject and
// carries its kind, so a handle of the wrong kind is told apart (cheaply: it
// is checked on every call) and refused with ERROR_INVALID_HANDLE, as
// Windows does.
#pragma once

#include "platform/posix/layer_private.h"

#include <algorithm>
#include <cstdint>
#include <initializer_list>
#include <string>
#include <type_traits>
#include <sys/types.h>

#include <optional>

#include "platform/posix/disk_convention.h"
#include "platform/posix/last_error.h"
#include "platform/posix/path_anchor.h"
#include "platform/win32.h"

namespace posix {

enum class HandleKind { File, Find, Token, Process };

struct HandleObject {
    explicit HandleObject(HandleKind handleKind) : kind(handleKind) {}
    virtual ~HandleObject() = default;
    const HandleKind kind;
};

// A file, folder, symbolic link or alternate data stream opened by CreateFile.
struct FileObject : HandleObject {
    static constexpr HandleKind kKind = HandleKind::File;
    FileObject() : HandleObject(kKind) {}
    ~FileObject() override;

    int fd = -1;
    bool ownsFd = true;
    DWORD access = 0;
    std::string fsPath;  // for a link's target; empty after an open that cannot give a link
    bool isDirectory = false;
    bool isSymlink = false;  // opened with O_PATH: no data, no xattrs, no lock
    // False after an open that learnt the type from nothing but the open's
    // success (a file or a folder, never a link): isFolder() looks it up
    // when a call needs it.
    bool typeKnown = true;
    // The volume, for its on-disk convention (conventionOf): looked up with
    // the type when a call first needs it, unless the open learnt it.
    dev_t device = 0;
    bool deviceKnown = false;
    // FSCTL_SET_SPARSE asked for through this handle, where the volume marks
    // sparse only what has holes (ntfs-3g): SetEndOfFile then makes one.
    bool sparseAsked = false;
    // A folder opened without FILE_SHARE_DELETE keeps its path (HeldFolders).
    std::optional<HeldFolders::Hold> hold;

    // Alternate data stream: the whole content, held in memory.
    bool isStream = false;
    const DiskConvention* streamDisk = nullptr;
    std::string streamKey;
    std::string streamData;
    std::size_t streamPosition = 0;
};

struct TokenObject : HandleObject {
    static constexpr HandleKind kKind = HandleKind::Token;
    TokenObject() : HandleObject(kKind) {}
};

// Whether a file handle is on a folder.
bool isFolder(FileObject& file);

// Handle to object, or nullptr when the handle is not one of that kind.
template <typename Kind>
Kind* handleAs(HANDLE handle)
{
    if (handle == nullptr || handle == INVALID_HANDLE_VALUE) {
        return nullptr;
    }
    auto* object = static_cast<HandleObject*>(handle);
    if constexpr (std::is_same_v<Kind, HandleObject>) {
        return object;
    } else {
        return object->kind == Kind::kKind ? static_cast<Kind*>(object) : nullptr;
    }
}

// The frame of an exported function on a handle: the handle must be of this
// kind (else ERROR_INVALID_HANDLE) and every pointer in `required` given
// (else ERROR_INVALID_PARAMETER); then `work` does the call and gives its
// Win32 code, from which the last error is set once. TRUE on ERROR_SUCCESS.
template <typename Kind, typename Work>
BOOL onHandle(HANDLE handle, std::initializer_list<const void*> required, Work work)
{
    Kind* object = handleAs<Kind>(handle);
    if (object == nullptr) {
        return finish(ERROR_INVALID_HANDLE);
    }
    if (std::find(required.begin(), required.end(), nullptr) != required.end()) {
        return finish(ERROR_INVALID_PARAMETER);
    }
    return finish(work(*object));
}

inline HANDLE toHandle(HandleObject* object) { return static_cast<HANDLE>(object); }

// FILETIME ticks (100 ns since 1601) from a Unix time.
constexpr std::uint64_t kUnixEpochTicks = 116444736000000000ULL;
std::uint64_t ticksFromUnix(std::int64_t seconds, std::uint32_t nanoseconds);

inline FILETIME toFileTime(std::uint64_t ticks)
{
    return FILETIME{static_cast<DWORD>(ticks & 0xFFFFFFFF), static_cast<DWORD>(ticks >> 32)};
}
inline std::uint64_t fromFileTime(const FILETIME& time)
{
    return (static_cast<std::uint64_t>(time.dwHighDateTime) << 32) | time.dwLowDateTime;
}

}  // namespace posix
