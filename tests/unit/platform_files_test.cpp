// CreateFileW/CreateFileA and what is done with their handles, streams
// included, on real files.
#include <sys/resource.h>

#include "tests/unit/platform_test_helpers.h"

namespace platformtest {
namespace {

std::string contentOf(const std::string& path) { return testsupport::readFileBytes(path); }

bool exists(const std::string& path)
{
    struct stat status {};
    return ::lstat(path.c_str(), &status) == 0;
}

bool writeText(HANDLE handle, const std::string& text)
{
    DWORD written = 0;
    return WriteFile(handle, text.data(), static_cast<DWORD>(text.size()), &written, nullptr) && written == text.size();
}

LONGLONG sizeOf(HANDLE handle)
{
    LARGE_INTEGER size{-1};
    EXPECT_TRUE(GetFileSizeEx(handle, &size));
    return size.QuadPart;
}

TEST(PlatformFiles, CreationDispositions)
{
    struct Case {
        const char* label;
        DWORD disposition;
        bool existing;
        bool opens;
        DWORD error;
        const char* contentAfter;  // nullptr: no file afterwards
    } cases[] = {
        {"create new, missing", CREATE_NEW, false, true, ERROR_SUCCESS, ""},
        {"create new, existing", CREATE_NEW, true, false, ERROR_FILE_EXISTS, "old"},
        {"create always, missing", CREATE_ALWAYS, false, true, ERROR_SUCCESS, ""},
        {"create always, existing", CREATE_ALWAYS, true, true, ERROR_ALREADY_EXISTS, ""},
        {"open existing, missing", OPEN_EXISTING, false, false, ERROR_FILE_NOT_FOUND, nullptr},
        {"open existing, existing", OPEN_EXISTING, true, true, ERROR_SUCCESS, "old"},
        {"open always, missing", OPEN_ALWAYS, false, true, ERROR_SUCCESS, ""},
        {"open always, existing", OPEN_ALWAYS, true, true, ERROR_ALREADY_EXISTS, "old"},
        {"truncate existing, missing", TRUNCATE_EXISTING, false, false, ERROR_FILE_NOT_FOUND, nullptr},
        {"truncate existing, existing", TRUNCATE_EXISTING, true, true, ERROR_SUCCESS, ""},
        {"no disposition", 0, true, false, ERROR_INVALID_PARAMETER, "old"},
        {"beyond the last", 6, true, false, ERROR_INVALID_PARAMETER, "old"},
    };
    TempDir dir;
    int n = 0;
    for (bool narrowCall : {false, true}) {
        for (const Case& c : cases) {
            SCOPED_TRACE(std::string(c.label) + (narrowCall ? ", CreateFileA" : ", CreateFileW"));
            std::string path = dir / ("file" + std::to_string(n++));
            if (c.existing) {
                writePosixFile(path, "old");
            }
            SetLastError(12345);
            UniqueHandle handle(narrowCall ? CreateFileA(path.c_str(), GENERIC_WRITE, 0, nullptr, c.disposition,
                                                         FILE_ATTRIBUTE_NORMAL, nullptr)
                                           : CreateFileW(wideUncPath(path).c_str(), GENERIC_WRITE, 0, nullptr,
                                                         c.disposition, FILE_ATTRIBUTE_NORMAL, nullptr));
            EXPECT_EQ(handle.valid(), c.opens);
            EXPECT_EQ(GetLastError(), c.error);
            handle.reset();
            if (c.contentAfter == nullptr) {
                EXPECT_FALSE(exists(path));
            } else {
                EXPECT_EQ(contentOf(path), c.contentAfter);
            }
        }
    }
}

TEST(PlatformFiles, AccessDecidesWhatTheHandleMayDo)
{
    TempDir dir;
    std::string path = dir / "file";
    writePosixFile(path, "abc");
    char buffer[8];
    DWORD count = 0;

    UniqueHandle reader = openPath(path, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE);
    ASSERT_TRUE(reader.valid());
    EXPECT_FALSE(WriteFile(reader.get(), "x", 1, &count, nullptr));
    EXPECT_EQ(GetLastError(), ERROR_ACCESS_DENIED);

    UniqueHandle writer = openPath(path, GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE);
    ASSERT_TRUE(writer.valid());
    EXPECT_FALSE(ReadFile(writer.get(), buffer, sizeof buffer, &count, nullptr));
    EXPECT_EQ(GetLastError(), ERROR_ACCESS_DENIED);

    // No access at all: the handle can still tell about the file.
    UniqueHandle none = openPath(path, 0, 0);
    ASSERT_TRUE(none.valid());
    EXPECT_FALSE(ReadFile(none.get(), buffer, sizeof buffer, &count, nullptr));
    EXPECT_EQ(GetLastError(), ERROR_ACCESS_DENIED);
    EXPECT_EQ(sizeOf(none.get()), 3);
    BY_HANDLE_FILE_INFORMATION information{};
    EXPECT_TRUE(GetFileInformationByHandle(none.get(), &information));
    EXPECT_EQ(information.dwFileAttributes, FILE_ATTRIBUTE_ARCHIVE);

    // Truncation needs write access.
    EXPECT_FALSE(openPath(path, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, TRUNCATE_EXISTING).valid());
    EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
    EXPECT_EQ(contentOf(path), "abc");
}

TEST(PlatformFiles, FoldersOpenOnlyWithBackupSemantics)
{
    TempDir dir;
    std::string folder = dir / "folder";
    ASSERT_EQ(::mkdir(folder.c_str(), 0755), 0);

    EXPECT_FALSE(openPath(folder, GENERIC_READ, 0, OPEN_EXISTING, 0).valid());
    EXPECT_EQ(GetLastError(), ERROR_ACCESS_DENIED);
    EXPECT_FALSE(openPath(folder, GENERIC_READ, 0, OPEN_EXISTING, FILE_FLAG_OPEN_REPARSE_POINT).valid());
    EXPECT_EQ(GetLastError(), ERROR_ACCESS_DENIED);

    struct stat status {};
    ASSERT_EQ(::stat(folder.c_str(), &status), 0);
    // With the reparse point flag too, the open that reads a reparse point:
    // the handle is a folder's all the same.
    for (DWORD flags : {FILE_FLAG_BACKUP_SEMANTICS, kDataFlags}) {
        SCOPED_TRACE(flags);
        UniqueHandle handle = openPath(folder, GENERIC_READ, 0, OPEN_EXISTING, flags);
        ASSERT_TRUE(handle.valid()) << GetLastError();
        char buffer[8];
        DWORD count = 0;
        EXPECT_FALSE(ReadFile(handle.get(), buffer, sizeof buffer, &count, nullptr));
        EXPECT_EQ(GetLastError(), ERROR_INVALID_FUNCTION);
        EXPECT_FALSE(WriteFile(handle.get(), "x", 1, &count, nullptr));
        EXPECT_EQ(GetLastError(), ERROR_INVALID_FUNCTION);
        BY_HANDLE_FILE_INFORMATION information{};
        ASSERT_TRUE(GetFileInformationByHandle(handle.get(), &information));
        EXPECT_EQ(information.dwFileAttributes, FILE_ATTRIBUTE_DIRECTORY);
        EXPECT_EQ(information.nFileIndexLow, static_cast<DWORD>(status.st_ino & 0xFFFFFFFF));
    }

    // Without data access no read permission is needed: a folder an
    // unprivileged user may pass through but not list still has an identity.
    // (Its user.DOSATTRIB needs read permission, as any user xattr does.)
    setXattr(folder, "user.DOSATTRIB", testsupport::dosAttribValue(FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_HIDDEN));
    const WString path = wideUncPath(folder);
    auto noAccessOpen = [&](BY_HANDLE_FILE_INFORMATION& seen) {
        UniqueHandle noAccess(CreateFileW(path.c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                          nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr));
        return noAccess && GetFileInformationByHandle(noAccess.get(), &seen);
    };
    const DWORD index = static_cast<DWORD>(status.st_ino & 0xFFFFFFFF);
    BY_HANDLE_FILE_INFORMATION seen{};
    ASSERT_TRUE(noAccessOpen(seen)) << GetLastError();
    EXPECT_EQ(seen.nFileIndexLow, index);
    EXPECT_EQ(seen.dwFileAttributes, FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_HIDDEN);
    ASSERT_EQ(::chmod(folder.c_str(), 0311), 0);
    std::string result = inChild(
        [&] {
            BY_HANDLE_FILE_INFORMATION passOnly{};
            return noAccessOpen(passOnly) ? std::to_string(passOnly.nFileIndexLow)
                                          : "failed " + std::to_string(GetLastError());
        },
        kNobody);
    EXPECT_EQ(result, std::to_string(index));
}

// A folder open without FILE_SHARE_DELETE keeps its path, as on Windows,
// where it cannot be renamed or removed meanwhile: renamed away and another
// put in its place, the path still names it, for its stream, its entries
// and its listing, and removing it is a sharing violation. Once it is
// closed, or while it is open with FILE_SHARE_DELETE, the path names what is
// there now.
TEST(PlatformFiles, AFolderHeldWithoutDeleteSharingKeepsItsPath)
{
    TempDir dir;
    const std::string folder = dir / "dept";
    const std::string other = dir / "other";
    for (const std::string& made : {folder, other}) {
        ASSERT_EQ(::mkdir(made.c_str(), 0755), 0);
        setXattr(made, "user.DosStream.QMArchivePoint.xml:$DATA", std::string(made == folder ? "own" : "other") + '\0');
        writePosixFile(made + "/f", made == folder ? "own file" : "other file");
    }
    const WString path = wideUncPath(folder);
    auto seen = [&] {
        std::string what;
        for (const WString& name : {path + WSTR(":QMArchivePoint.xml"), path + WSTR("\\f")}) {
            UniqueHandle file(CreateFileW(name.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr));
            what += (file ? readAll(file.get()) : "error " + std::to_string(GetLastError())) + ", ";
        }
        WIN32_FIND_DATAW data{};
        HANDLE find = FindFirstFileW((path + WSTR("\\*")).c_str(), &data);
        std::vector<std::string> names;
        for (BOOL more = find != INVALID_HANDLE_VALUE; more; more = FindNextFileW(find, &data)) {
            names.push_back(narrow(data.cFileName));
        }
        if (find != INVALID_HANDLE_VALUE) {
            FindClose(find);
        }
        std::sort(names.begin(), names.end());
        for (const std::string& name : names) {
            what += name + " ";
        }
        return what;
    };
    writePosixFile(folder + "/only-own", "");
    const std::string own = "own, own file, . .. f only-own ";
    const std::string others = "other, other file, . .. f ";
    auto open = [&](DWORD share) {
        return UniqueHandle(CreateFileW(path.c_str(), 0, share, nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr));
    };
    {
        UniqueHandle held = open(FILE_SHARE_READ | FILE_SHARE_WRITE);
        ASSERT_TRUE(held.valid()) << GetLastError();
        ASSERT_EQ(::rename(folder.c_str(), (dir / "away").c_str()), 0);
        ASSERT_EQ(::rename(other.c_str(), folder.c_str()), 0);
        EXPECT_EQ(seen(), own);
        EXPECT_FALSE(RemoveDirectoryW(path.c_str()));
        EXPECT_EQ(GetLastError(), ERROR_SHARING_VIOLATION);
    }
    EXPECT_EQ(seen(), others);
    UniqueHandle shared = open(FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE);
    ASSERT_TRUE(shared.valid());
    ASSERT_EQ(::rename(folder.c_str(), other.c_str()), 0);
    ASSERT_EQ(::rename((dir / "away").c_str(), folder.c_str()), 0);
    EXPECT_EQ(seen(), own);
}

TEST(PlatformFiles, OpenReparsePointOpensTheLinkItself)
{
    TempDir dir;
    writePosixFile(dir / "target", "target content");
    ASSERT_EQ(::symlink("target", (dir / "link").c_str()), 0);
    ASSERT_EQ(::symlink("missing", (dir / "dangling").c_str()), 0);
    ASSERT_EQ(::mkdir((dir / "folder").c_str(), 0755), 0);
    ASSERT_EQ(::symlink("folder", (dir / "folderlink").c_str()), 0);
    BY_HANDLE_FILE_INFORMATION information{};

    UniqueHandle followed = openPath(dir / "link", GENERIC_READ, 0, OPEN_EXISTING, 0);
    ASSERT_TRUE(followed.valid());
    EXPECT_EQ(readAll(followed.get()), "target content");
    ASSERT_TRUE(GetFileInformationByHandle(followed.get(), &information));
    EXPECT_EQ(information.dwFileAttributes, FILE_ATTRIBUTE_ARCHIVE);
    followed.reset();

    UniqueHandle link = openPath(dir / "link", GENERIC_READ);
    ASSERT_TRUE(link.valid());
    ASSERT_TRUE(GetFileInformationByHandle(link.get(), &information));
    EXPECT_EQ(information.dwFileAttributes, FILE_ATTRIBUTE_REPARSE_POINT | FILE_ATTRIBUTE_ARCHIVE);
    EXPECT_EQ(sizeOf(link.get()), 0);
    char buffer[8];
    DWORD count = 0;
    EXPECT_FALSE(ReadFile(link.get(), buffer, sizeof buffer, &count, nullptr));
    link.reset();

    EXPECT_FALSE(openPath(dir / "dangling", GENERIC_READ, 0, OPEN_EXISTING, 0).valid());
    EXPECT_EQ(GetLastError(), ERROR_FILE_NOT_FOUND);
    EXPECT_TRUE(openPath(dir / "dangling", GENERIC_READ).valid());

    // A link to a folder is a folder.
    EXPECT_FALSE(openPath(dir / "folderlink", GENERIC_READ, 0, OPEN_EXISTING, FILE_FLAG_OPEN_REPARSE_POINT).valid());
    EXPECT_EQ(GetLastError(), ERROR_ACCESS_DENIED);
    UniqueHandle folderLink = openPath(dir / "folderlink", GENERIC_READ);
    ASSERT_TRUE(folderLink.valid());
    ASSERT_TRUE(GetFileInformationByHandle(folderLink.get(), &information));
    EXPECT_EQ(information.dwFileAttributes, FILE_ATTRIBUTE_REPARSE_POINT | FILE_ATTRIBUTE_DIRECTORY);
}

// Which second open a first one lets through.
TEST(PlatformFiles, ShareModes)
{
    TempDir dir;
    std::string path = dir / "file";
    writePosixFile(path, "keep");
    struct Case {
        const char* label;
        DWORD firstAccess, firstShare, secondAccess, secondShare, secondDisposition;
        bool secondOpens;
    } cases[] = {
        {"exclusive, then exclusive", GENERIC_READ, 0, GENERIC_READ, 0, OPEN_EXISTING, false},
        {"exclusive, then shared", GENERIC_READ, 0, GENERIC_READ, FILE_SHARE_READ, OPEN_EXISTING, false},
        {"shared, then exclusive", GENERIC_READ, FILE_SHARE_READ, GENERIC_WRITE, 0, OPEN_EXISTING, false},
        {"shared, then shared", GENERIC_READ, FILE_SHARE_READ, GENERIC_READ, FILE_SHARE_READ, OPEN_EXISTING, true},
        {"exclusive, then no access", GENERIC_READ, 0, 0, 0, OPEN_EXISTING, true},
        {"no access, then exclusive", 0, 0, GENERIC_WRITE, 0, OPEN_EXISTING, true},
        // The second open would truncate: it must not before it has the lock.
        {"exclusive, then create always", GENERIC_READ, 0, GENERIC_WRITE, 0, CREATE_ALWAYS, false},
        {"exclusive, then truncate", GENERIC_READ, 0, GENERIC_WRITE, FILE_SHARE_READ, TRUNCATE_EXISTING, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.label);
        UniqueHandle first = openPath(path, c.firstAccess, c.firstShare);
        ASSERT_TRUE(first.valid());
        UniqueHandle second = openPath(path, c.secondAccess, c.secondShare, c.secondDisposition);
        EXPECT_EQ(second.valid(), c.secondOpens);
        if (!c.secondOpens) {
            EXPECT_EQ(GetLastError(), ERROR_SHARING_VIOLATION);
        }
        EXPECT_EQ(contentOf(path), "keep");
        // Once the first is closed, the second gets in.
        second.reset();
        first.reset();
        if (c.secondDisposition == OPEN_EXISTING) {
            EXPECT_TRUE(openPath(path, c.secondAccess, c.secondShare, c.secondDisposition).valid());
        }
    }
}

TEST(PlatformFiles, ShareModeZeroKeepsAnotherProcessOut)
{
    TempDir dir;
    std::string path = dir / "file";
    writePosixFile(path, "keep");
    int ready[2];
    int release[2];
    ASSERT_EQ(::pipe2(ready, O_CLOEXEC), 0);
    ASSERT_EQ(::pipe2(release, O_CLOEXEC), 0);
    pid_t child = ::fork();
    if (child == 0) {
        // Only the parent's end may be open for writing, or the read below
        // never sees the end.
        ::close(release[1]);
        ::close(ready[0]);
        HANDLE held = CreateFileW(wideUncPath(path).c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, kDataFlags,
                                  nullptr);
        char flag = held != INVALID_HANDLE_VALUE ? '1' : '0';
        ssize_t ignored = ::write(ready[1], &flag, 1);
        ignored = ::read(release[0], &flag, 1);  // until the parent closes its end
        (void)ignored;
        ::_exit(0);
    }
    ::close(ready[1]);
    ::close(release[0]);
    char flag = 0;
    ASSERT_EQ(::read(ready[0], &flag, 1), 1);
    EXPECT_EQ(flag, '1');
    EXPECT_FALSE(openPath(path, GENERIC_READ, 0).valid());
    EXPECT_EQ(GetLastError(), ERROR_SHARING_VIOLATION);
    EXPECT_FALSE(openPath(path, GENERIC_WRITE, 0, CREATE_ALWAYS).valid());
    EXPECT_EQ(GetLastError(), ERROR_SHARING_VIOLATION);
    EXPECT_EQ(contentOf(path), "keep");
    ::close(release[1]);
    ::close(ready[0]);
    int status = 0;
    ::waitpid(child, &status, 0);
    EXPECT_TRUE(openPath(path, GENERIC_READ, 0).valid());
}

TEST(PlatformFiles, ReadWriteSeekSizeAndEnd)
{
    TempDir dir;
    std::string path = dir / "file";
    UniqueHandle file = openPath(path, GENERIC_READ | GENERIC_WRITE, 0, CREATE_NEW, FILE_ATTRIBUTE_NORMAL);
    ASSERT_TRUE(file.valid());
    ASSERT_TRUE(writeText(file.get(), "hello world"));
    EXPECT_EQ(sizeOf(file.get()), 11);

    LARGE_INTEGER position{};
    ASSERT_TRUE(SetFilePointerEx(file.get(), LARGE_INTEGER{6}, &position, FILE_BEGIN));
    EXPECT_EQ(position.QuadPart, 6);
    char buffer[32] = {};
    DWORD read = 0;
    ASSERT_TRUE(ReadFile(file.get(), buffer, 5, &read, nullptr));
    EXPECT_EQ(std::string(buffer, read), "world");
    // At the end: success with nothing read.
    ASSERT_TRUE(ReadFile(file.get(), buffer, sizeof buffer, &read, nullptr));
    EXPECT_EQ(read, 0u);

    ASSERT_TRUE(SetFilePointerEx(file.get(), LARGE_INTEGER{-5}, &position, FILE_END));
    EXPECT_EQ(position.QuadPart, 6);
    ASSERT_TRUE(SetFilePointerEx(file.get(), LARGE_INTEGER{-2}, &position, FILE_CURRENT));
    EXPECT_EQ(position.QuadPart, 4);
    EXPECT_FALSE(SetFilePointerEx(file.get(), LARGE_INTEGER{-100}, &position, FILE_CURRENT));
    EXPECT_EQ(GetLastError(), ERROR_NEGATIVE_SEEK);
    EXPECT_FALSE(SetFilePointerEx(file.get(), LARGE_INTEGER{0}, &position, 3));
    EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);

    // The end moves to the position, back and forth.
    ASSERT_TRUE(SetFilePointerEx(file.get(), LARGE_INTEGER{3}, nullptr, FILE_BEGIN));
    ASSERT_TRUE(SetEndOfFile(file.get()));
    EXPECT_EQ(sizeOf(file.get()), 3);
    ASSERT_TRUE(SetFilePointerEx(file.get(), LARGE_INTEGER{(1LL << 32) + 1}, nullptr, FILE_BEGIN));
    ASSERT_TRUE(SetEndOfFile(file.get()));
    EXPECT_EQ(sizeOf(file.get()), (1LL << 32) + 1);
    file.reset();
    WIN32_FIND_DATAW data = findEntry(path);
    EXPECT_EQ(data.nFileSizeHigh, 1u);
    EXPECT_EQ(data.nFileSizeLow, 1u);
    char start[4] = {};
    int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    ASSERT_EQ(::read(fd, start, sizeof start), 4);
    ::close(fd);
    EXPECT_EQ(std::string(start, 4), std::string("hel\0", 4));
}

// A write cut short by the file size limit gives the count written: the
// caller sees that not everything went; the next write fails outright.
TEST(PlatformFiles, AShortWriteIsReportedAsSuch)
{
    TempDir dir;
    std::string path = dir / "limited";
    std::string result = inChild([&] {
        std::signal(SIGXFSZ, SIG_IGN);
        struct rlimit limit {1000, 1000};
        ::setrlimit(RLIMIT_FSIZE, &limit);
        UniqueHandle file = openPath(path, GENERIC_WRITE, 0, CREATE_NEW, FILE_ATTRIBUTE_NORMAL);
        std::string block(4096, 'x');
        DWORD written = 12345;
        BOOL first = WriteFile(file.get(), block.data(), 4096, &written, nullptr);
        std::string out = std::to_string(first) + " " + std::to_string(written);
        written = 12345;
        BOOL second = WriteFile(file.get(), block.data(), 4096, &written, nullptr);
        out += " " + std::to_string(second) + " " + std::to_string(written) + " " + std::to_string(GetLastError());
        return out;
    });
    EXPECT_EQ(result, "1 1000 0 0 223");
    EXPECT_EQ(contentOf(path), std::string(1000, 'x'));
}

TEST(PlatformFiles, InformationByHandle)
{
    TempDir dir;
    writePosixFile(dir / "file", "abc");
    ASSERT_EQ(::link((dir / "file").c_str(), (dir / "second name").c_str()), 0);
    setXattr(dir / "file", "user.DOSATTRIB", testsupport::bytes("0000050005000000110000002116000000005af64cf5d401"));
    UniqueHandle file = openPath(dir / "file", GENERIC_READ, FILE_SHARE_READ);
    BY_HANDLE_FILE_INFORMATION information{};
    ASSERT_TRUE(GetFileInformationByHandle(file.get(), &information));
    EXPECT_EQ(information.dwFileAttributes, 0x1621u);
    EXPECT_EQ(ticks(information.ftCreationTime), 132000000000000000ULL);
    EXPECT_EQ(information.nFileSizeLow, 3u);
    EXPECT_EQ(information.nNumberOfLinks, 2u);
    UniqueHandle other = openPath(dir / "second name", GENERIC_READ, FILE_SHARE_READ);
    BY_HANDLE_FILE_INFORMATION same{};
    ASSERT_TRUE(GetFileInformationByHandle(other.get(), &same));
    EXPECT_EQ(same.dwVolumeSerialNumber, information.dwVolumeSerialNumber);
    EXPECT_EQ(same.nFileIndexHigh, information.nFileIndexHigh);
    EXPECT_EQ(same.nFileIndexLow, information.nFileIndexLow);
}

// A successful call leaves the last error as it was, as on Windows, except
// where Windows sets it on success too: CreateFile (ERROR_SUCCESS, or
// ERROR_ALREADY_EXISTS, which a CloseHandle after it keeps) and FindFirstFile.
TEST(PlatformFiles, SuccessSetsTheLastErrorOnlyWhereWindowsDoes)
{
    TempDir dir;
    std::string path = dir / "file";
    writePosixFile(path, "abc");
    UniqueHandle file = openPath(path, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE);
    ASSERT_TRUE(file.valid());
    char buffer[8];
    DWORD count = 0;
    LARGE_INTEGER size{};
    BY_HANDLE_FILE_INFORMATION information{};
    WIN32_FIND_DATAW data{};
    const WString wide = wideUncPath(path);
    constexpr DWORD kStale = 12345;
    const struct {
        const char* call;
        std::function<bool()> succeeds;
        DWORD lastError;
    } cases[] = {
        {"ReadFile", [&] { return ReadFile(file.get(), buffer, sizeof buffer, &count, nullptr) != FALSE; }, kStale},
        {"WriteFile", [&] { return WriteFile(file.get(), "d", 1, &count, nullptr) != FALSE; }, kStale},
        {"GetFileSizeEx", [&] { return GetFileSizeEx(file.get(), &size) != FALSE; }, kStale},
        {"GetFileInformationByHandle", [&] { return GetFileInformationByHandle(file.get(), &information) != FALSE; },
         kStale},
        {"GetFileAttributesW", [&] { return GetFileAttributesW(wide.c_str()) != INVALID_FILE_ATTRIBUTES; }, kStale},
        {"CreateDirectoryW", [&] { return CreateDirectoryW(wideUncPath(dir / "made").c_str(), nullptr) != FALSE; },
         kStale},
        {"FindFirstFileW and FindClose", [&] { return UniqueFindHandle(FindFirstFileW(wide.c_str(), &data)).valid(); },
         ERROR_SUCCESS},
        {"CreateFileW on an existing file, OPEN_ALWAYS, and CloseHandle",
         [&] {
             return UniqueHandle(CreateFileW(wide.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                             OPEN_ALWAYS, 0, nullptr))
                 .valid();
         },
         ERROR_ALREADY_EXISTS},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.call);
        SetLastError(kStale);
        EXPECT_TRUE(c.succeeds());
        EXPECT_EQ(GetLastError(), c.lastError);
    }
}

TEST(PlatformFiles, SetFileTimeLeavesTimesGivenAsZeroOrAllOnes)
{
    TempDir dir;
    std::string path = dir / "file";
    writePosixFile(path, "");
    const std::uint64_t created = 132000000000000000ULL;
    const std::uint64_t written = 133000000000000000ULL;
    UniqueHandle file = openPath(path, GENERIC_WRITE);
    FILETIME createdTime = fileTime(created);
    FILETIME writtenTime = fileTime(written);
    ASSERT_TRUE(SetFileTime(file.get(), &createdTime, &writtenTime, &writtenTime));
    FILETIME zero = fileTime(0);
    FILETIME allOnes = fileTime(~std::uint64_t{0});
    ASSERT_TRUE(SetFileTime(file.get(), &zero, &allOnes, &zero));
    ASSERT_TRUE(SetFileTime(file.get(), &allOnes, &zero, &allOnes));
    WIN32_FIND_DATAW data = findEntry(path);
    EXPECT_EQ(ticks(data.ftCreationTime), created);
    EXPECT_EQ(ticks(data.ftLastAccessTime), written);
    EXPECT_EQ(ticks(data.ftLastWriteTime), written);
    file.reset();

    UniqueHandle reader = openPath(path, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE);
    EXPECT_FALSE(SetFileTime(reader.get(), &createdTime, nullptr, nullptr));
    EXPECT_EQ(GetLastError(), ERROR_ACCESS_DENIED);
}

// Streams: user.DosStream.<name>:$DATA, the content and one NUL.
TEST(PlatformStreams, ReadWriteAndSize)
{
    TempDir dir;
    std::string file = dir / "file";
    std::string folder = dir / "folder";
    writePosixFile(file, "main data");
    ASSERT_EQ(::mkdir(folder.c_str(), 0755), 0);
    setXattr(folder, "user.DosStream.QMArchivePoint.xml:$DATA", std::string("<xml/>\0", 7));

    UniqueHandle marker = openPath(folder + ":QMArchivePoint.xml", GENERIC_READ);
    ASSERT_TRUE(marker.valid()) << GetLastError();
    EXPECT_EQ(sizeOf(marker.get()), 6);
    EXPECT_EQ(readAll(marker.get()), "<xml/>");
    marker.reset();

    {
        UniqueHandle stream = openPath(file + ":notes", GENERIC_WRITE, 0, CREATE_NEW, FILE_ATTRIBUTE_NORMAL);
        ASSERT_TRUE(stream.valid()) << GetLastError();
        EXPECT_EQ(xattr(file, "user.DosStream.notes:$DATA"), std::string(1, '\0'));
        ASSERT_TRUE(writeText(stream.get(), "first"));
        ASSERT_TRUE(writeText(stream.get(), " second"));
        EXPECT_EQ(xattr(file, "user.DosStream.notes:$DATA"), std::string("first second\0", 13));
        ASSERT_TRUE(SetFilePointerEx(stream.get(), LARGE_INTEGER{5}, nullptr, FILE_BEGIN));
        ASSERT_TRUE(SetEndOfFile(stream.get()));
        EXPECT_EQ(sizeOf(stream.get()), 5);
        ASSERT_TRUE(SetFilePointerEx(stream.get(), LARGE_INTEGER{7}, nullptr, FILE_BEGIN));
        ASSERT_TRUE(writeText(stream.get(), "!"));
        EXPECT_EQ(xattr(file, "user.DosStream.notes:$DATA"), std::string("first\0\0!\0", 9));
    }
    UniqueHandle again = openPath(file + ":notes:$DATA", GENERIC_READ);
    ASSERT_TRUE(again.valid());
    EXPECT_EQ(readAll(again.get()), std::string("first\0\0!", 8));
    again.reset();

    // The stream is not the file, and "::$DATA" is the file.
    EXPECT_EQ(contentOf(file), "main data");
    UniqueHandle main = openPath(file + "::$DATA", GENERIC_READ);
    ASSERT_TRUE(main.valid());
    EXPECT_EQ(readAll(main.get()), "main data");
    main.reset();

    // A Linux name that holds a ':' is reached by its listed name, with the
    // ':' as U+F03A; a real ':' always names a stream, never the Linux entry
    // of the whole name, whether or not the part before it is there.
    writePosixFile(dir / "odd:name", "odd");
    const WString listed = wideUncPath(dir.path()) + WSTR("\\odd\uF03Aname");
    UniqueHandle odd(CreateFileW(listed.c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, kDataFlags, nullptr));
    ASSERT_TRUE(odd.valid()) << GetLastError();
    EXPECT_EQ(readAll(odd.get()), "odd");
    odd.reset();
    EXPECT_FALSE(openPath(dir / "odd:name", GENERIC_READ).valid());
    EXPECT_EQ(GetLastError(), ERROR_FILE_NOT_FOUND);
    writePosixFile(dir / "odd", "");
    EXPECT_FALSE(openPath(dir / "odd:name", GENERIC_READ).valid());
    EXPECT_EQ(GetLastError(), ERROR_FILE_NOT_FOUND);
    writePosixFile(file + ":notes", "beside");
    UniqueHandle stream = openPath(file + ":notes", GENERIC_READ);
    ASSERT_TRUE(stream.valid());
    EXPECT_EQ(readAll(stream.get()), std::string("first\0\0!", 8));
}

TEST(PlatformStreams, MissingStreamsFilesAndFolders)
{
    TempDir dir;
    writePosixFile(dir / "file", "");
    ASSERT_EQ(::mkdir((dir / "folder").c_str(), 0755), 0);
    struct Case {
        std::string path;
        DWORD error;
    } cases[] = {
        {dir / "file:missing", ERROR_FILE_NOT_FOUND},
        {dir / "folder:QMArchivePoint.xml", ERROR_FILE_NOT_FOUND},
        {dir / "nofolder:QMArchivePoint.xml", ERROR_FILE_NOT_FOUND},
        {dir / "nofolder/dept:QMArchivePoint.xml", ERROR_PATH_NOT_FOUND},
        {dir / "file/dept:QMArchivePoint.xml", ERROR_PATH_NOT_FOUND},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.path);
        EXPECT_FALSE(openPath(c.path, GENERIC_READ).valid());
        EXPECT_EQ(GetLastError(), c.error);
    }
}

// A symbolic link keeps no streams: opened as the link itself, its streams
// are refused; followed, they are its target's.
TEST(PlatformStreams, ALinkHoldsNoStreamsOfItsOwn)
{
    TempDir dir;
    writePosixFile(dir / "file", "");
    setXattr(dir / "file", "user.DosStream.s:$DATA", std::string("target\0", 7));
    ASSERT_EQ(::symlink("file", (dir / "link").c_str()), 0);
    ASSERT_EQ(::symlink("missing", (dir / "dangling").c_str()), 0);

    EXPECT_FALSE(openPath(dir / "link:s", GENERIC_READ).valid());
    EXPECT_EQ(GetLastError(), ERROR_ACCESS_DENIED);
    UniqueHandle followed = openPath(dir / "link:s", GENERIC_READ, 0, OPEN_EXISTING, 0);
    ASSERT_TRUE(followed.valid()) << GetLastError();
    EXPECT_EQ(readAll(followed.get()), "target");
    EXPECT_FALSE(openPath(dir / "dangling:s", GENERIC_READ, 0, OPEN_EXISTING, 0).valid());
    EXPECT_EQ(GetLastError(), ERROR_FILE_NOT_FOUND);
}

// A value the file system refuses (ext4 holds about 4 KiB per xattr block)
// fails the write and leaves the stream as it was.
TEST(PlatformStreams, ARefusedWriteLeavesTheStreamAsItWas)
{
    TempDir dir;
    std::string file = dir / "file";
    writePosixFile(file, "");
    setXattr(file, "user.DosStream.s:$DATA", std::string("old\0", 4));
    UniqueHandle stream = openPath(file + ":s", GENERIC_WRITE);
    ASSERT_TRUE(stream.valid());
    std::string big(70000, 'b');  // beyond any file system's limit for one xattr
    DWORD written = 0;
    EXPECT_FALSE(WriteFile(stream.get(), big.data(), static_cast<DWORD>(big.size()), &written, nullptr));
    EXPECT_EQ(written, 0u);
    EXPECT_EQ(sizeOf(stream.get()), 3);
    EXPECT_EQ(xattr(file, "user.DosStream.s:$DATA"), std::string("old\0", 4));
    ASSERT_TRUE(SetFilePointerEx(stream.get(), LARGE_INTEGER{3}, nullptr, FILE_BEGIN));
    ASSERT_TRUE(writeText(stream.get(), "er"));
    EXPECT_EQ(xattr(file, "user.DosStream.s:$DATA"), std::string("older\0", 6));
}

}  // namespace
}  // namespace platformtest
