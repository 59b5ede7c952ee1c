// DeleteFileW, RemoveDirectoryW and GetCompressedFileSizeW: what goes, what
// stays (a link's target always does), and the errors Windows gives.
#include <filesystem>

#include "tests/unit/platform_test_helpers.h"

namespace platformtest {
namespace {

// A folder holding a file, a file, and links to each, made afresh.
struct Entries {
    explicit Entries(const TempDir& dir)
    {
        EXPECT_EQ(::mkdir((dir / "folder").c_str(), 0755), 0);
        writePosixFile(dir / "folder/kept", "kept");
        writePosixFile(dir / "file", "data");
        EXPECT_EQ(::symlink("folder", (dir / "folder-link").c_str()), 0);
        EXPECT_EQ(::symlink("file", (dir / "file-link").c_str()), 0);
        EXPECT_EQ(::mkdir((dir / "empty").c_str(), 0755), 0);
    }
};

bool exists(const std::string& path)
{
    struct stat status {};
    return ::lstat(path.c_str(), &status) == 0;
}

// DeleteFileW takes files and links to files, RemoveDirectoryW empty folders
// and links to folders; neither follows a link.
TEST(PlatformRemoval, DeleteFileAndRemoveDirectory)
{
    struct Case {
        const char* call;
        const char* name;
        BOOL removed;
        DWORD error;
    } cases[] = {
        {"DeleteFileW", "file", TRUE, ERROR_SUCCESS},
        {"DeleteFileW", "file-link", TRUE, ERROR_SUCCESS},
        {"DeleteFileW", "folder", FALSE, ERROR_ACCESS_DENIED},
        {"DeleteFileW", "folder-link", FALSE, ERROR_ACCESS_DENIED},
        {"DeleteFileW", "empty", FALSE, ERROR_ACCESS_DENIED},
        {"DeleteFileW", "missing", FALSE, ERROR_FILE_NOT_FOUND},
        {"DeleteFileW", "missing/file", FALSE, ERROR_PATH_NOT_FOUND},
        {"RemoveDirectoryW", "empty", TRUE, ERROR_SUCCESS},
        {"RemoveDirectoryW", "folder-link", TRUE, ERROR_SUCCESS},
        {"RemoveDirectoryW", "folder", FALSE, ERROR_DIR_NOT_EMPTY},
        {"RemoveDirectoryW", "file", FALSE, ERROR_DIRECTORY},
        {"RemoveDirectoryW", "file-link", FALSE, ERROR_DIRECTORY},
        {"RemoveDirectoryW", "missing", FALSE, ERROR_FILE_NOT_FOUND},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.call) + " " + c.name);
        TempDir dir;
        Entries entries(dir);
        WString path = wideUncPath(dir / c.name);
        SetLastError(ERROR_SUCCESS);
        BOOL removed = std::string(c.call) == "DeleteFileW" ? DeleteFileW(path.c_str()) : RemoveDirectoryW(path.c_str());
        EXPECT_EQ(removed, c.removed);
        EXPECT_EQ(GetLastError(), c.error);
        bool missing = c.error == ERROR_FILE_NOT_FOUND || c.error == ERROR_PATH_NOT_FOUND;
        EXPECT_EQ(exists(dir / c.name), !c.removed && !missing);
        // What a link leads to is never touched.
        EXPECT_EQ(testsupport::readFileBytes(dir / "folder/kept"), "kept");
        if (std::string(c.name) != "file") {
            EXPECT_EQ(testsupport::readFileBytes(dir / "file"), "data");
        }
    }
}

// The space a file takes: nothing for a hole of 6 GiB, at least what was
// written otherwise.
TEST(PlatformRemoval, CompressedFileSizeIsTheSpaceTaken)
{
    TempDir dir;
    writePosixFile(dir / "hole", "");
    ASSERT_EQ(::truncate((dir / "hole").c_str(), 6LL << 30), 0);
    writePosixFile(dir / "written", std::string(65536, 'x'));
    DWORD high = 1;
    EXPECT_EQ(GetCompressedFileSizeW(wideUncPath(dir / "hole").c_str(), &high), 0u);
    EXPECT_EQ(high, 0u);
    EXPECT_GE(GetCompressedFileSizeW(wideUncPath(dir / "written").c_str(), &high), 65536u);
    EXPECT_EQ(high, 0u);
    EXPECT_EQ(GetCompressedFileSizeW(wideUncPath(dir / "missing").c_str(), &high), INVALID_FILE_SIZE);
    EXPECT_EQ(GetLastError(), ERROR_FILE_NOT_FOUND);
}

}  // namespace
}  // namespace platformtest
