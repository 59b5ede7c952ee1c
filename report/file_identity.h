// A file's or folder's identity: its volume and file index, the same for
// every path and every handle that reaches it (device and inode on Linux).
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>

#include "platform/win32.h"

struct FileIdentity {
    DWORD volume = 0;
    DWORD indexHigh = 0;
    DWORD indexLow = 0;
    bool operator==(const FileIdentity&) const = default;
};

struct FileIdentityHash {
    std::size_t operator()(const FileIdentity& identity) const noexcept
    {
        std::uint64_t index = (static_cast<std::uint64_t>(identity.indexHigh) << 32) | identity.indexLow;
        return std::hash<std::uint64_t>{}(index ^ (static_cast<std::uint64_t>(identity.volume) << 17));
    }
};

// The identity of what the handle is open on; nullopt, with the last error of
// GetFileInformationByHandle kept, when it cannot be had.
inline std::optional<FileIdentity> fileIdentity(HANDLE handle)
{
    BY_HANDLE_FILE_INFORMATION information{};
    if (!GetFileInformationByHandle(handle, &information)) {
        return std::nullopt;
    }
    return FileIdentity{information.dwVolumeSerialNumber, information.nFileIndexHigh, information.nFileIndexLow};
}
