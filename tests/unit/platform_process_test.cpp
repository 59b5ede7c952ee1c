// The backup privilege, time conversions, the last error and the errno
// table of the platform layer.
#include <sys/capability.h>
#include <sys/prctl.h>
#include <thread>

#include "platform/posix/last_error.h"
#include "tests/unit/platform_test_helpers.h"

namespace platformtest {
namespace {

bool effectiveDacReadSearch()
{
    cap_t capabilities = cap_get_proc();
    cap_flag_value_t value = CAP_CLEAR;
    cap_get_flag(capabilities, CAP_DAC_READ_SEARCH, CAP_EFFECTIVE, &value);
    cap_free(capabilities);
    return value == CAP_SET;
}

// AdjustTokenPrivileges for the backup privilege; "<result> <last error>".
std::string adjustBackupPrivilege(bool enable)
{
    LUID luid{};
    HANDLE token = nullptr;
    if (!LookupPrivilegeValueW(nullptr, SE_BACKUP_NAME, &luid) ||
        !OpenProcessToken(GetCurrentProcess(), TOKEN_ADJUST_PRIVILEGES | TOKEN_QUERY, &token)) {
        return "setup failed " + std::to_string(GetLastError());
    }
    TOKEN_PRIVILEGES privileges{1, {{luid, enable ? SE_PRIVILEGE_ENABLED : 0}}};
    SetLastError(12345);
    BOOL result = AdjustTokenPrivileges(token, FALSE, &privileges, sizeof privileges, nullptr, nullptr);
    std::string out = std::to_string(result) + " " + std::to_string(GetLastError());
    CloseHandle(token);
    return out;
}

TEST(PlatformPrivilege, LookupPrivilegeValue)
{
    LUID luid{};
    ASSERT_TRUE(LookupPrivilegeValueW(nullptr, SE_BACKUP_NAME, &luid));
    EXPECT_EQ(luid.LowPart, 17u);
    EXPECT_EQ(luid.HighPart, 0);
    LUID sameLuid{};
    ASSERT_TRUE(LookupPrivilegeValueW(nullptr, WSTR("sebackupprivilege"), &sameLuid));
    EXPECT_EQ(sameLuid.LowPart, 17u);
    EXPECT_FALSE(LookupPrivilegeValueW(nullptr, WSTR("SeRestorePrivilege"), &luid));
    EXPECT_EQ(GetLastError(), ERROR_NO_SUCH_PRIVILEGE);
}

// A process that holds CAP_DAC_READ_SEARCH in its permitted set but not in
// its effective one (as a service account given the capability): enabling
// the privilege opens folders it may not list, disabling closes them again.
TEST(PlatformPrivilege, EnablingAndDisablingRaisesAndLowersTheCapability)
{
    TempDir dir;
    std::string closed = dir / "closed";
    ASSERT_EQ(::mkdir(closed.c_str(), 0700), 0);
    writePosixFile(closed + "/inside", "x");
    const WString pattern = wideUncPath(closed) + WSTR("\\*");
    std::string result = inChild([&] {
        if (::setgroups(0, nullptr) != 0 || ::setresgid(kNobody, kNobody, kNobody) != 0 ||
            ::prctl(PR_SET_KEEPCAPS, 1) != 0 || ::setresuid(kNobody, kNobody, kNobody) != 0) {
            return std::string("could not drop to the user");
        }
        auto list = [&] {
            WIN32_FIND_DATAW data{};
            HANDLE find = FindFirstFileW(pattern.c_str(), &data);
            if (find == INVALID_HANDLE_VALUE) {
                return std::to_string(GetLastError());
            }
            FindClose(find);
            return std::string("listed");
        };
        // One step per statement: the operands of + are not sequenced.
        auto state = [&] { return std::to_string(effectiveDacReadSearch()) + " " + list(); };
        std::string out = state();
        out += " | " + adjustBackupPrivilege(true);
        out += " " + state();
        out += " | " + adjustBackupPrivilege(false);
        out += " " + state();
        return out;
    });
    EXPECT_EQ(result, "0 5 | 1 0 1 listed | 1 0 0 5");
}

// Without the capability in the permitted set: success with
// ERROR_NOT_ALL_ASSIGNED, exactly as Windows answers for an account without
// the privilege.
TEST(PlatformPrivilege, WithoutThePermittedCapabilityNotAllIsAssigned)
{
    std::string result = inChild(
        [] {
            std::string out = adjustBackupPrivilege(true);
            return out + " " + std::to_string(effectiveDacReadSearch());
        },
        kNobody);
    EXPECT_EQ(result, "1 1300 0");
}

TEST(PlatformTime, FileTimeToSystemTime)
{
    struct Case {
        std::uint64_t ticks;
        SYSTEMTIME expected;  // year, month, day of week, day, hour, minute, second, milliseconds
    } cases[] = {
        {0, {1601, 1, 1, 1, 0, 0, 0, 0}},
        {314496000000000ULL, {1601, 12, 1, 31, 0, 0, 0, 0}},
        {997056000000000ULL, {1604, 2, 0, 29, 0, 0, 0, 0}},  // the first leap day
        {94405824000000000ULL, {1900, 3, 4, 1, 0, 0, 0, 0}},  // 1900 is no leap year
        {116444736000000000ULL, {1970, 1, 4, 1, 0, 0, 0, 0}},
        {125963012967890000ULL + 9999, {2000, 2, 2, 29, 12, 34, 56, 789}},  // 2000 is one
        {157520159999990000ULL, {2100, 2, 0, 28, 23, 59, 59, 999}},
        {133801631999990000ULL, {2024, 12, 2, 31, 23, 59, 59, 999}},
        {9223149887999990000ULL, {30827, 12, 5, 31, 23, 59, 59, 999}},
        {0x7FFFFFFFFFFFFFFFULL, {30828, 9, 4, 14, 2, 48, 5, 477}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.ticks);
        FILETIME time = fileTime(c.ticks);
        SYSTEMTIME system{};
        ASSERT_TRUE(FileTimeToSystemTime(&time, &system));
        const SYSTEMTIME& e = c.expected;
        EXPECT_EQ(std::vector<int>({system.wYear, system.wMonth, system.wDayOfWeek, system.wDay, system.wHour,
                                    system.wMinute, system.wSecond, system.wMilliseconds}),
                  std::vector<int>({e.wYear, e.wMonth, e.wDayOfWeek, e.wDay, e.wHour, e.wMinute, e.wSecond,
                                    e.wMilliseconds}));
    }
    FILETIME tooLarge = fileTime(0x8000000000000000ULL);
    SYSTEMTIME system{};
    EXPECT_FALSE(FileTimeToSystemTime(&tooLarge, &system));
    EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
}

// Sets TZ for the test and puts the old value back.
class TimeZone {
public:
    explicit TimeZone(const char* zone)
    {
        if (const char* old = std::getenv("TZ")) {
            previous_ = old;
        }
        ::setenv("TZ", zone, 1);
        ::tzset();
    }
    ~TimeZone()
    {
        if (previous_) {
            ::setenv("TZ", previous_->c_str(), 1);
        } else {
            ::unsetenv("TZ");
        }
        ::tzset();
    }

private:
    std::optional<std::string> previous_;
};

std::int64_t localOffsetSeconds(std::uint64_t utcTicks)
{
    FILETIME utc = fileTime(utcTicks);
    FILETIME local{};
    EXPECT_TRUE(FileTimeToLocalFileTime(&utc, &local));
    return (static_cast<std::int64_t>(ticks(local)) - static_cast<std::int64_t>(utcTicks)) / 10000000;
}

TEST(PlatformTime, FileTimeToLocalFileTimeAppliesTheCurrentOffset)
{
    const std::uint64_t january = 133485408000000000ULL;  // 2024-01-01
    const std::uint64_t july = 133643520000000000ULL;     // 2024-07-02
    {
        TimeZone zone("EST5");
        EXPECT_EQ(localOffsetSeconds(january), -5 * 3600);
        FILETIME early = fileTime(1000);
        FILETIME local{};
        EXPECT_FALSE(FileTimeToLocalFileTime(&early, &local));
        EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
    }
    {
        TimeZone zone("IST-5:30");
        EXPECT_EQ(localOffsetSeconds(july), 5 * 3600 + 30 * 60);
    }
    {
        // Summer time or not, winter and summer dates move by the offset in
        // force now.
        TimeZone zone("CET-1CEST,M3.5.0,M10.5.0/3");
        std::int64_t winter = localOffsetSeconds(january);
        std::int64_t summer = localOffsetSeconds(july);
        EXPECT_EQ(winter, summer);
        EXPECT_TRUE(winter == 3600 || winter == 7200) << winter;
    }
}

TEST(PlatformErrors, TheLastErrorBelongsToTheThread)
{
    SetLastError(111);
    DWORD inThread = 0;
    DWORD atThreadStart = 99;
    std::thread other([&] {
        atThreadStart = GetLastError();
        SetLastError(222);
        inThread = GetLastError();
    });
    other.join();
    EXPECT_EQ(atThreadStart, 0u);
    EXPECT_EQ(inThread, 222u);
    EXPECT_EQ(GetLastError(), 111u);
}

TEST(PlatformErrors, TheErrnoTable)
{
    struct Case {
        int error;
        DWORD code;
    } cases[] = {
        {0, ERROR_SUCCESS},
        {ENOENT, ERROR_FILE_NOT_FOUND},
        {ENOTDIR, ERROR_PATH_NOT_FOUND},
        {EACCES, ERROR_ACCESS_DENIED},
        {EPERM, ERROR_ACCESS_DENIED},
        {EEXIST, ERROR_FILE_EXISTS},
        {ENOTEMPTY, ERROR_DIR_NOT_EMPTY},
        {ENOSPC, ERROR_DISK_FULL},
        {EDQUOT, ERROR_DISK_FULL},
        {EFBIG, ERROR_FILE_TOO_LARGE},
        {ENAMETOOLONG, ERROR_FILENAME_EXCED_RANGE},
        {ELOOP, ERROR_CANT_RESOLVE_FILENAME},
        {EIO, ERROR_IO_DEVICE},
        {EBADF, ERROR_INVALID_HANDLE},
        {ENOMEM, ERROR_NOT_ENOUGH_MEMORY},
        {EMFILE, ERROR_TOO_MANY_OPEN_FILES},
        {EINVAL, ERROR_INVALID_PARAMETER},
        {EROFS, ERROR_WRITE_PROTECT},
        {EWOULDBLOCK, ERROR_SHARING_VIOLATION},
        {EXDEV, ERROR_NOT_SAME_DEVICE},
        {ENOTSUP, ERROR_NOT_SUPPORTED},
        {EPROTO, ERROR_GEN_FAILURE},  // nothing closer
    };
    for (const Case& c : cases) {
        EXPECT_EQ(posix::win32ErrorFromErrno(c.error), c.code) << "errno " << c.error;
    }
}

// The process pseudo-handle closes as on Windows (TRUE, nothing happens), and
// serves again after that.
TEST(PlatformPrivilege, TheProcessPseudoHandleClosesAndStaysUsable)
{
    SetLastError(12345);
    EXPECT_TRUE(CloseHandle(GetCurrentProcess()));
    HANDLE token = nullptr;
    ASSERT_TRUE(OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token));
    EXPECT_TRUE(CloseHandle(token));
}

// The standard output handle is descriptor 1 and outlives CloseHandle.
TEST(PlatformErrors, StandardOutputIsDescriptorOne)
{
    TempDir dir;
    std::string path = dir / "out";
    std::string result = inChild([&] {
        int fd = ::open(path.c_str(), O_WRONLY | O_CREAT, 0644);
        ::dup2(fd, 1);
        HANDLE out = GetStdHandle(STD_OUTPUT_HANDLE);
        DWORD written = 0;
        BOOL first = WriteFile(out, "hi", 2, &written, nullptr);
        BOOL closed = CloseHandle(out);
        BOOL second = WriteFile(out, "!", 1, &written, nullptr);
        return std::to_string(first) + std::to_string(closed) + std::to_string(second);
    });
    EXPECT_EQ(result, "111");
    EXPECT_EQ(testsupport::readFileBytes(path), "hi!");
}

}  // namespace
}  // namespace platformtest
