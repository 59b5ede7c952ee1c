#include "platform/posix/disk_convention.h"

#include <cerrno>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <utility>
#include <vector>

#include "platform/posix/handle_objects.h"
#include "platform/posix/samba_xattrs.h"

namespace posix {

ssize_t XattrSource::get(const char* name, char* buffer, std::size_t size) const
{
    return fd >= 0 ? readXattrInto(fd, name, buffer, size) : ::lgetxattr(path, name, buffer, size);
}

std::optional<std::string> XattrSource::whole(const char* name) const
{
    if (fd >= 0) {
        return readXattr(fd, name);
    }
    char small[4096];
    ssize_t length = ::lgetxattr(path, name, small, sizeof small);
    if (length >= 0) {
        return std::string(small, static_cast<std::size_t>(length));
    }
    if (errno != ERANGE) {
        return std::nullopt;
    }
    length = ::lgetxattr(path, name, nullptr, 0);
    if (length < 0) {
        return std::nullopt;
    }
    std::string value(static_cast<std::size_t>(length), '\0');
    length = ::lgetxattr(path, name, value.data(), value.size());
    if (length < 0) {
        return std::nullopt;
    }
    value.resize(static_cast<std::size_t>(length));
    return value;
}

const DiskConvention& conventionOf(dev_t device, const XattrSource& entry)
{
    // The volumes met so far. A walk stays on one volume, so the last one is
    // asked first; the program lists and opens on one thread.
    static std::vector<std::pair<dev_t, const DiskConvention*>> volumes;
    static std::size_t last = 0;
    if (last < volumes.size() && volumes[last].first == device) {
        return *volumes[last].second;
    }
    for (std::size_t i = 0; i < volumes.size(); ++i) {
        if (volumes[i].first == device) {
            last = i;
            return *volumes[i].second;
        }
    }
    int saved = errno;
    const DiskConvention* convention = showsNtfs3gXattrs(entry) ? &ntfs3gConvention() : &sambaConvention();
    errno = saved;
    volumes.emplace_back(device, convention);
    last = volumes.size() - 1;
    return *convention;
}

const DiskConvention& conventionOf(FileObject& file)
{
    if (!file.deviceKnown) {
        struct stat status {};
        if (::fstat(file.fd, &status) != 0) {
            return sambaConvention();  // the next call on the handle says why
        }
        file.device = status.st_dev;
        file.deviceKnown = true;
        if (!file.typeKnown) {
            file.isDirectory = S_ISDIR(status.st_mode);
            file.typeKnown = true;
        }
    }
    return conventionOf(file.device, XattrSource{file.fd, nullptr});
}

}  // namespace posix
