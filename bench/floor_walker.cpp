// The floor: a walker that makes only the system calls no audit of this
// convention can avoid per entry. It lists each folder, makes one status
// call and one read of user.DOSATTRIB per entry, and for a reparse point
// opens the file, takes the lock, reads user.SmbReparse and closes it.
//
//   floor_walker <folder>
#include <cstdio>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <string>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>

#include "platform/posix/samba_xattrs.h"

namespace {

struct Counts {
    unsigned long files = 0;
    unsigned long reparsePoints = 0;
    unsigned long placeholders = 0;
};

void walk(std::string& path, Counts& counts)
{
    int folderFd = ::open(path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (folderFd < 0) {
        return;
    }
    DIR* folder = ::fdopendir(folderFd);
    if (folder == nullptr) {
        ::close(folderFd);
        return;
    }
    std::size_t base = path.size();
    while (struct dirent* entry = ::readdir(folder)) {
        if (std::strcmp(entry->d_name, ".") == 0 || std::strcmp(entry->d_name, "..") == 0) {
            continue;
        }
        path.append("/").append(entry->d_name);
        struct statx status {};
        if (::statx(folderFd, entry->d_name, AT_SYMLINK_NOFOLLOW, STATX_BASIC_STATS | STATX_BTIME, &status) == 0) {
            char value[256];
            ssize_t length = ::lgetxattr(path.c_str(), posix::kDosAttribXattr, value, sizeof value);
            std::optional<posix::DosAttrib> attributes;
            if (length > 0) {
                attributes = posix::decodeDosAttrib(std::string_view(value, static_cast<std::size_t>(length)));
            }
            if (S_ISDIR(status.stx_mode)) {
                walk(path, counts);
            } else {
                ++counts.files;
                if (attributes && (attributes->attrib & 0x400) != 0) {
                    ++counts.reparsePoints;
                    int fd = ::open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK);
                    if (fd >= 0) {
                        char record[16384];
                        if (::flock(fd, LOCK_EX | LOCK_NB) == 0 &&
                            ::fgetxattr(fd, posix::kReparseXattr, record, sizeof record) >= 4 && record[0] == 16) {
                            ++counts.placeholders;
                        }
                        ::close(fd);
                    }
                }
            }
        }
        path.resize(base);
    }
    ::closedir(folder);
}

}  // namespace

int main(int argc, char* argv[])
{
    if (argc != 2) {
        std::fprintf(stderr, "usage: floor_walker <folder>\n");
        return 1;
    }
    std::string path = argv[1];
    Counts counts;
    walk(path, counts);
    std::printf("files %lu, reparse points %lu, placeholders %lu\n", counts.files, counts.reparsePoints,
                counts.placeholders);
    return 0;
}
