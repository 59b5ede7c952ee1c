#include "platform/posix/samba_xattrs.h"

#include <cerrno>
#include <cstdlib>
#include <algorithm>
#include <cstring>
#include <sys/xattr.h>

#include "platform/little_endian.h"
#include "platform/posix/path_anchor.h"

namespace posix {
namespace {

constexpr std::uint32_t kAttribValid = 0x1;
constexpr std::uint32_t kCreateTimeValid = 0x10;

// Sequential little-endian reader with NDR alignment (relative to the start).
// The 64-bit fields of xattr_DOSATTRIB are udlong and NTTIME, which NDR
// aligns to 4, not 8.
class NdrReader {
public:
    explicit NdrReader(std::string_view data) : data_(data) {}

    bool align(std::size_t n)
    {
        pos_ = (pos_ + n - 1) / n * n;
        return pos_ <= data_.size();
    }
    template <typename T>
    bool read(T& value)
    {
        if (!align(std::min<std::size_t>(sizeof(T), 4)) || data_.size() - pos_ < sizeof(T)) {
            return false;
        }
        value = littleendian::read<T>(data_.data() + pos_);
        pos_ += sizeof(T);
        return true;
    }
    bool skipCString()
    {
        std::size_t nul = data_.find('\0', pos_);
        if (nul == std::string_view::npos) {
            return false;
        }
        pos_ = nul + 1;
        return true;
    }

private:
    std::string_view data_;
    std::size_t pos_ = 0;
};

std::optional<DosAttrib> decodeHexText(std::string_view value)
{
    if (!value.empty() && value.back() == '\0') {
        value.remove_suffix(1);
    }
    if (value.size() < 3 || value.size() > 10 || value[0] != '0' || (value[1] != 'x' && value[1] != 'X')) {
        return std::nullopt;
    }
    DWORD attrib = 0;
    for (char c : value.substr(2)) {
        int digit = (c >= '0' && c <= '9')   ? c - '0'
                    : (c >= 'a' && c <= 'f') ? c - 'a' + 10
                    : (c >= 'A' && c <= 'F') ? c - 'A' + 10
                                             : -1;
        if (digit < 0) {
            return std::nullopt;
        }
        attrib = (attrib << 4) | static_cast<DWORD>(digit);
    }
    return DosAttrib{attrib, std::nullopt};
}

std::optional<std::uint64_t> usableTime(std::uint64_t ticks)
{
    // Samba's "null" times.
    if (ticks == 0 || ticks == ~std::uint64_t{0}) {
        return std::nullopt;
    }
    return ticks;
}

std::optional<DosAttrib> decodeNdr(std::string_view value)
{
    NdrReader in(value);
    std::uint16_t version = 0;
    std::uint16_t level = 0;
    if (!in.skipCString() || !in.read(version) || !in.read(level) || level != version) {
        return std::nullopt;
    }
    std::uint32_t flags = 0;
    std::uint32_t attrib = 0;
    std::uint32_t eaSize = 0;
    std::uint64_t size = 0;
    std::uint64_t allocSize = 0;
    std::uint64_t createTime = 0;
    std::uint64_t changeTime = 0;
    std::uint64_t itime = 0;
    DosAttrib info;
    switch (version) {
    case 1:
    case 2:
        if ((version == 2 && !in.read(flags)) || !in.read(attrib) || !in.read(eaSize) || !in.read(size) ||
            !in.read(allocSize) || !in.read(createTime) || !in.read(changeTime)) {
            return std::nullopt;
        }
        info.attrib = attrib;
        info.createTime = usableTime(createTime);
        return info;
    case 3:
    case 4:
    case 5:
        if (!in.read(flags) || !in.read(attrib)) {
            return std::nullopt;
        }
        if (version == 3 &&
            (!in.read(eaSize) || !in.read(size) || !in.read(allocSize) || !in.read(createTime) || !in.read(changeTime))) {
            return std::nullopt;
        }
        if (version == 4 && (!in.read(itime) || !in.read(createTime))) {
            return std::nullopt;
        }
        if (version == 5 && !in.read(createTime)) {
            return std::nullopt;
        }
        // Samba reads the attrib whatever valid_flags says (4.17 serves 0x1620
        // for valid_flags 0x10); only the create time depends on its flag.
        info.attrib = attrib;
        if ((flags & kCreateTimeValid) != 0) {
            info.createTime = usableTime(createTime);
        }
        return info;
    default:
        return std::nullopt;
    }
}

}  // namespace

std::optional<DosAttrib> decodeDosAttrib(std::string_view value)
{
    // What Samba and this layer write, read straight from its fixed places:
    // an empty attrib_hex, version and level 5 at 2 and 4, valid_flags,
    // attrib and create_time at 8, 12 and 16. The same as the decoder below
    // gives for it, in the fewest steps: this runs for every value listed.
    if (value.size() >= 24 && value[0] == '\0' && littleendian::read<std::uint16_t>(value.data() + 2) == 5 &&
        littleendian::read<std::uint16_t>(value.data() + 4) == 5) {
        DosAttrib info;
        info.attrib = littleendian::read<std::uint32_t>(value.data() + 12);
        if ((littleendian::read<std::uint32_t>(value.data() + 8) & kCreateTimeValid) != 0) {
            info.createTime = usableTime(littleendian::read<std::uint64_t>(value.data() + 16));
        }
        return info;
    }
    if (std::optional<DosAttrib> info = decodeNdr(value)) {
        return info;
    }
    return decodeHexText(value);
}

std::string encodeDosAttrib(const DosAttrib& info)
{
    using littleendian::append;
    std::string out;
    out += '\0';                     // attrib_hex, empty
    out += '\0';                     // padding to 2
    append<std::uint16_t>(out, 5);   // version
    append<std::uint16_t>(out, 5);   // level
    append<std::uint16_t>(out, 0);   // padding to 4
    append<std::uint32_t>(out, kAttribValid | (info.createTime ? kCreateTimeValid : 0));
    append<std::uint32_t>(out, info.attrib);
    append<std::uint64_t>(out, info.createTime.value_or(0));
    return out;
}

std::string streamXattrName(std::string_view streamName)
{
    std::string name(kStreamXattrPrefix);
    name += streamName;
    name += kStreamXattrSuffix;
    return name;
}

namespace {

template <typename Get>
std::optional<std::string> readWhole(Get get)
{
    // Most values fit a stack buffer: one call. Larger ones: size
    // first, then read, again if the value grew in between.
    char small[4096];  // as much as ext4 stores in one value
    ssize_t read = get(small, sizeof small);
    if (read >= 0) {
        return std::string(small, static_cast<std::size_t>(read));
    }
    if (errno != ERANGE) {
        return std::nullopt;
    }
    for (int attempt = 0; attempt < 4; ++attempt) {
        ssize_t size = get(nullptr, 0);
        if (size < 0) {
            return std::nullopt;
        }
        std::string value(static_cast<std::size_t>(size), '\0');
        read = get(value.data(), value.size());
        if (read >= 0) {
            value.resize(static_cast<std::size_t>(read));
            return value;
        }
        if (errno != ERANGE) {
            return std::nullopt;
        }
    }
    return std::nullopt;
}

// A descriptor opened with O_PATH (an open without data access) takes no
// f*xattr call; its /proc/self/fd link names the same file (procFdPath).
}  // namespace

std::optional<std::string> readXattr(int fd, const char* name)
{
    std::optional<std::string> value =
        readWhole([&](char* buffer, std::size_t size) { return ::fgetxattr(fd, name, buffer, size); });
    if (!value && errno == EBADF) {
        std::string path = procFdPath(fd);
        value = readWhole([&](char* buffer, std::size_t size) { return ::getxattr(path.c_str(), name, buffer, size); });
    }
    return value;
}

ssize_t readXattrInto(int fd, const char* name, char* buffer, std::size_t size)
{
    ssize_t length = ::fgetxattr(fd, name, buffer, size);
    if (length < 0 && errno == EBADF) {
        length = ::getxattr(procFdPath(fd).c_str(), name, buffer, size);
    }
    return length;
}

bool writeXattr(int fd, const char* name, std::string_view value)
{
    if (::fsetxattr(fd, name, value.data(), value.size(), 0) == 0) {
        return true;
    }
    return errno == EBADF && ::setxattr(procFdPath(fd).c_str(), name, value.data(), value.size(), 0) == 0;
}

}  // namespace posix
