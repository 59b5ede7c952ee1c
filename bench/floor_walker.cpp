// The floor: a walker that makes only the system calls no audit of a
// volume's convention can avoid per entry. It lists each folder, makes one
// status call and one read of the attributes per entry, and for a reparse
// point opens the file, takes the lock, reads the record and closes it.
// Samba's convention: user.DOSATTRIB and user.SmbReparse; with --ntfs,
// NTFS's through ntfs-3g: system.ntfs_attrib (4 bytes, little-endian) and
// system.ntfs_reparse_data.
//
//   floor_walker [--ntfs] <folder>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <string>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>

#include "platform/little_endian.h"
#include "platform/posix/samba_xattrs.h"

namespace {

bool ntfs = false;

// The attributes of the entry at `path`, if it has them.
std::optional<std::uint32_t> attributesOf(const std::string& path)
{
    char value[256];
    if (ntfs) {
        if (::lgetxattr(path.c_str(), "system.ntfs_attrib", value, 4) != 4) {
            return std::nullopt;
        }
        return littleendian::read<std::uint32_t>(value);
    }
    ssize_t length = ::lgetxattr(path.c_str(), posix::kDosAttribXattr, value, sizeof value);
    if (length <= 0) {
        return std::nullopt;
    }
    std::optional<posix::DosAttrib> decoded =
        posix::decodeDosAttrib(std::string_view(value, static_cast<std::size_t>(length)));
    return decoded ? std::optional<std::uint32_t>(decoded->attrib) : std::nullopt;
}

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
            std::optional<std::uint32_t> attributes = attributesOf(path);
            if (S_ISDIR(status.stx_mode)) {
                walk(path, counts);
            } else {
                ++counts.files;
                if (attributes && (*attributes & 0x400) != 0) {
                    ++counts.reparsePoints;
                    int fd = ::open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK);
                    if (fd >= 0) {
                        char record[16384];
                        if (::flock(fd, LOCK_EX | LOCK_NB) == 0 &&
                            ::fgetxattr(fd, ntfs ? "system.ntfs_reparse_data" : posix::kReparseXattr, record, sizeof record) >= 4 &&
                            record[0] == 16) {
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
    ntfs = argc == 3 && std::strcmp(argv[1], "--ntfs") == 0;
    if (argc != 2 && !ntfs) {
        std::fprintf(stderr, "usage: floor_walker [--ntfs] <folder>\n");
        return 1;
    }
    std::string path = argv[argc - 1];
    Counts counts;
    walk(path, counts);
    std::printf("files %lu, reparse points %lu, placeholders %lu\n", counts.files, counts.reparsePoints,
                counts.placeholders);
    return 0;
}
