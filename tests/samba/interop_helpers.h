// What the Samba suites share: the platform layer's view of an entry of the
// share's backing folder, set beside what smbclient says of it.
#pragma once

#include <cstdint>
#include <cstdio>
#include <gtest/gtest.h>
#include <optional>
#include <string>

#include "platform/unique_resource.h"
#include "platform/win32.h"
#include "tests/samba/samba_server.h"
#include "tests/support/test_support.h"

namespace sambatest {

inline constexpr std::uint64_t kUnixEpochTicks = 116444736000000000ULL;

// The Linux path of a path relative to the share.
inline std::string backing(const std::string& relativePath) { return server().sharePath() + "/" + relativePath; }

// FindFirstFileW's entry for a Linux path, as the program sees it.
inline std::optional<WIN32_FIND_DATAW> layerEntry(const std::string& linuxPath)
{
    WIN32_FIND_DATAW data{};
    HANDLE find = FindFirstFileW(testsupport::wideUncPath(linuxPath).c_str(), &data);
    if (find == INVALID_HANDLE_VALUE) {
        ADD_FAILURE() << "FindFirstFileW " << linuxPath << ": error " << GetLastError();
        return std::nullopt;
    }
    FindClose(find);
    return data;
}

// Unix seconds of a FILETIME rounded as smbclient shows times: up from
// more than half a second.
inline std::int64_t unixSeconds(const FILETIME& time)
{
    std::uint64_t ticks = (static_cast<std::uint64_t>(time.dwHighDateTime) << 32) | time.dwLowDateTime;
    std::uint64_t sinceEpoch = ticks - kUnixEpochTicks;
    return static_cast<std::int64_t>(sinceEpoch / 10000000 + (sinceEpoch % 10000000 > 5000000 ? 1 : 0));
}

inline std::uint64_t fileSize(const WIN32_FIND_DATAW& data)
{
    return (static_cast<std::uint64_t>(data.nFileSizeHigh) << 32) | data.nFileSizeLow;
}

// The content of the stream "path:name" read through the layer; nullopt
// with the error code in `error` when it cannot be opened.
inline std::optional<std::string> layerStream(const std::string& linuxPath, const std::string& name,
                                              DWORD* error = nullptr)
{
    WString path = testsupport::wideUncPath(linuxPath + ":" + name);
    UniqueHandle stream(CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr));
    if (!stream) {
        if (error != nullptr) {
            *error = GetLastError();
        }
        return std::nullopt;
    }
    LARGE_INTEGER size{};
    EXPECT_TRUE(GetFileSizeEx(stream.get(), &size));
    std::string content(static_cast<std::size_t>(size.QuadPart), '\0');
    DWORD read = 0;
    EXPECT_TRUE(ReadFile(stream.get(), content.data(), static_cast<DWORD>(content.size()), &read, nullptr));
    content.resize(read);
    return content;
}

inline void writeLocalFile(const std::string& path, const std::string& content)
{
    FILE* file = std::fopen(path.c_str(), "wb");
    ASSERT_NE(file, nullptr) << path;
    ASSERT_EQ(std::fwrite(content.data(), 1, content.size(), file), content.size());
    std::fclose(file);
}

}  // namespace sambatest
