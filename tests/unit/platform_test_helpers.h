// What the platform layer's tests share: real files with real xattrs made
// through POSIX calls, the Win32 calls' view of them, and work done in a
// forked child (another process, another user, other limits).
#pragma once

#include <cerrno>
#include <csignal>
#include <cstring>
#include <cstdint>
#include <fcntl.h>
#include <functional>
#include <grp.h>
#include <gtest/gtest.h>
#include <optional>
#include <string>
#include <sys/stat.h>
#include <sys/types.h>
#include <sys/wait.h>
#include <sys/xattr.h>
#include <unistd.h>

#include "platform/unique_resource.h"
#include "platform/win32.h"
#include "tests/support/test_support.h"

namespace platformtest {

using testsupport::TempDir;
using testsupport::wideUncPath;
using testsupport::setXattr;
using testsupport::xattr;

inline constexpr DWORD kDataFlags = FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT;

// The lowest `width` bytes of an integer, little-endian.
inline std::string le(std::uint64_t value, std::size_t width) { return testsupport::littleEndianBytes(value, width); }

inline void writePosixFile(const std::string& path, const std::string& content)
{
    int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    ASSERT_GE(fd, 0) << path;
    ASSERT_EQ(::write(fd, content.data(), content.size()), static_cast<ssize_t>(content.size()));
    ::close(fd);
}

inline std::uint64_t ticksOf(const struct statx_timestamp& time)
{
    return static_cast<std::uint64_t>(time.tv_sec) * 10000000ULL + time.tv_nsec / 100 + 116444736000000000ULL;
}

// The file system's own creation time of an entry: birth time, else
// modification time.
inline std::uint64_t birthTicks(const std::string& path)
{
    struct statx status {};
    EXPECT_EQ(::statx(AT_FDCWD, path.c_str(), AT_SYMLINK_NOFOLLOW, STATX_MTIME | STATX_BTIME, &status), 0);
    return (status.stx_mask & STATX_BTIME) != 0 ? ticksOf(status.stx_btime) : ticksOf(status.stx_mtime);
}

inline std::uint64_t ticks(const FILETIME& time)
{
    return (static_cast<std::uint64_t>(time.dwHighDateTime) << 32) | time.dwLowDateTime;
}

inline FILETIME fileTime(std::uint64_t ticks)
{
    return FILETIME{static_cast<DWORD>(ticks & 0xFFFFFFFF), static_cast<DWORD>(ticks >> 32)};
}

// FindFirstFileW of a path without a wildcard: the entry's own find data.
// Fails the test when the call fails.
inline WIN32_FIND_DATAW findEntry(const std::string& linuxPath)
{
    WIN32_FIND_DATAW data{};
    UniqueFindHandle find(FindFirstFileW(wideUncPath(linuxPath).c_str(), &data));
    EXPECT_TRUE(find.valid()) << linuxPath << " error " << GetLastError();
    return data;
}

// What ReadFile gives from the handle's position to the end.
inline std::string readAll(HANDLE handle)
{
    std::string content;
    char buffer[4096];
    DWORD read = 0;
    while (ReadFile(handle, buffer, sizeof buffer, &read, nullptr) && read > 0) {
        content.append(buffer, read);
    }
    return content;
}

inline UniqueHandle openPath(const std::string& linuxPath, DWORD access, DWORD share = 0,
                             DWORD disposition = OPEN_EXISTING, DWORD flags = kDataFlags)
{
    return UniqueHandle(CreateFileW(wideUncPath(linuxPath).c_str(), access, share, nullptr, disposition, flags, nullptr));
}

// Runs `body` in a forked child, as `user` (uid and gid, no capabilities)
// when given, and returns the text it produced. The child must not use gtest
// assertions: it reports through the text, the parent checks it.
inline std::string inChild(const std::function<std::string()>& body, std::optional<uid_t> user = std::nullopt)
{
    int channel[2];
    if (::pipe2(channel, O_CLOEXEC) != 0) {
        ADD_FAILURE() << "pipe";
        return {};
    }
    pid_t child = ::fork();
    if (child == 0) {
        ::close(channel[0]);
        std::string text;
        if (user && (::setgroups(0, nullptr) != 0 || ::setresgid(*user, *user, *user) != 0 ||
                     ::setresuid(*user, *user, *user) != 0)) {
            text = "could not drop to the user";
        } else {
            text = body();
        }
        ssize_t ignored = ::write(channel[1], text.data(), text.size());
        (void)ignored;
        ::_exit(0);
    }
    ::close(channel[1]);
    std::string text;
    char buffer[1024];
    ssize_t n = 0;
    while ((n = ::read(channel[0], buffer, sizeof buffer)) > 0) {
        text.append(buffer, static_cast<std::size_t>(n));
    }
    ::close(channel[0]);
    int status = 0;
    ::waitpid(child, &status, 0);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "child status " << status;
    return text;
}

inline constexpr uid_t kNobody = 65534;

// A wide string as UTF-8 for messages.
inline std::string narrow(WStringView text)
{
    std::string out;
    for (WCHAR unit : text) {
        if (unit < 0x80) {
            out += static_cast<char>(unit);
        } else {
            char hex[12];
            std::snprintf(hex, sizeof hex, "\\u%04X", static_cast<unsigned>(unit));
            out += hex;
        }
    }
    return out;
}

}  // namespace platformtest
