#include "platform/posix/path_mapping.h"

#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>

#include "platform/ascii_case.h"
#include "platform/posix/path_anchor.h"
#include "platform/posix/samba_shares.h"
#include "platform/posix/text_conversion.h"

namespace posix {
namespace {

constexpr WStringView kUncPrefix = WSTR("\\\\?\\UNC\\");
constexpr WStringView kUncShortPrefix = WSTR("\\\\");
constexpr WStringView kLocalPrefix = WSTR("\\\\?\\");
constexpr WStringView kDevicePrefix = WSTR("\\\\.\\");

// Every '\' becomes '/'.
void toSlashes(std::string& path)
{
    for (char& c : path) {
        c = c == '\\' ? '/' : c;
    }
}

}  // namespace

DWORD mapPath(LPCWSTR path, std::string& fsPath)
{
    if (path == nullptr) {
        return ERROR_INVALID_PARAMETER;
    }
    // One pass finds the length and whether every unit is ASCII, as most
    // paths are: those are then copied unit for unit below.
    std::size_t length = 0;
    WCHAR seen = 0;
    while (path[length] != 0) {
        seen |= path[length];
        ++length;
    }
    WStringView text(path, length);
    if (text.size() > kMaxPathUnits) {
        return ERROR_FILENAME_EXCED_RANGE;
    }
    // The prefixes compare without regard to ASCII case, as on Windows ("unc").
    bool unc = false;
    if (startsWithIgnoringAsciiCase(text, kUncPrefix)) {
        text.remove_prefix(kUncPrefix.size());
        unc = true;
    } else if (startsWithIgnoringAsciiCase(text, kLocalPrefix) || startsWithIgnoringAsciiCase(text, kDevicePrefix)) {
        // \\?\C:\... or \\.\...: a drive or device, of which Linux has none.
        return ERROR_PATH_NOT_FOUND;
    } else if (startsWithIgnoringAsciiCase(text, kUncShortPrefix)) {
        text.remove_prefix(kUncShortPrefix.size());
        unc = true;
    }
    fsPath.clear();
    if (unc) {
        WStringView::size_type serverEnd = text.find(u'\\');
        if (serverEnd == 0 || serverEnd == WStringView::npos || serverEnd + 1 >= text.size() ||
            text[serverEnd + 1] == u'\\') {
            return ERROR_BAD_PATHNAME;
        }
        // A share of this host is its folder in Samba's share table.
        std::size_t share = 0;
        if (DWORD error = mapSambaShare(text, fsPath, share); error != ERROR_SUCCESS) {
            return error;
        }
        text.remove_prefix(share);
        if (fsPath.empty() && (share == 0 || text.empty() || text.front() != u'\\')) {
            fsPath += '/';  // literally /server/..., or a share whose folder is the root
        }
    }
    if (seen < 0x80) {
        std::size_t start = fsPath.size();
        fsPath.resize(start + text.size());
        for (std::size_t i = 0; i < text.size(); ++i) {
            fsPath[start + i] = text[i] == u'\\' ? '/' : static_cast<char>(text[i]);
        }
    } else {
        if (!appendFileSystemBytes(text, fsPath)) {
            return ERROR_INVALID_NAME;
        }
        toSlashes(fsPath);
    }
    return fsPath.empty() ? ERROR_PATH_NOT_FOUND : ERROR_SUCCESS;
}

DWORD mapNarrowPath(LPCSTR path, std::string& fsPath)
{
    if (path == nullptr || *path == '\0') {
        return path == nullptr ? ERROR_INVALID_PARAMETER : ERROR_PATH_NOT_FOUND;
    }
    fsPath.assign(path);
    if (fsPath.size() > kMaxPathUnits) {
        return ERROR_FILENAME_EXCED_RANGE;
    }
    toSlashes(fsPath);
    return ERROR_SUCCESS;
}

DWORD anchorPath(LPCWSTR path, std::string& fsPath, Anchor& entry)
{
    if (path != nullptr && ListedFolders::reach(path, fsPath, entry)) {
        return ERROR_SUCCESS;
    }
    DWORD mapped = mapPath(path, fsPath);
    return mapped != ERROR_SUCCESS ? mapped : entry.resolve(fsPath);
}

std::string splitStream(std::string& fsPath, Anchor& entry)
{
    // Most paths name no stream. The anchor's name ends with the path's last
    // component, so a name whose last component holds no ':' settles it
    // without a scan of the whole path.
    const char* name = entry.name();
    const char* lastSlash = std::strrchr(name, '/');
    if (std::strchr(lastSlash != nullptr ? lastSlash + 1 : name, ':') == nullptr) {
        return {};
    }
    std::string::size_type slash = fsPath.rfind('/');
    std::string::size_type colon = fsPath.find(':', slash == std::string::npos ? 0 : slash + 1);
    if (colon == std::string::npos) {
        return {};
    }
    // The colon lies in the last component, which ends the anchor's name too.
    std::size_t cut = std::strlen(entry.name()) - (fsPath.size() - colon);
    // As on Windows, "name:stream" is a stream of "name" whenever that
    // exists: a file called "dept:QMArchivePoint.xml" beside the folder
    // "dept" must never pass for its marker. Only a Linux name that holds a
    // ':' and has nothing named like its part before the ':' is that entry.
    struct stat status {};
    std::string base(entry.name(), cut);
    if (::fstatat(entry.folder(), base.empty() ? "." : base.c_str(), &status, AT_SYMLINK_NOFOLLOW) != 0 &&
        entry.stat(status, false) == 0) {
        return {};
    }
    std::string stream = fsPath.substr(colon + 1);
    entry.cutName(cut);
    fsPath.erase(colon);
    constexpr std::string_view kDataType = ":$DATA";
    if (endsWithIgnoringAsciiCase(std::string_view(stream), kDataType)) {
        stream.erase(stream.size() - kDataType.size());  // "file::$DATA" is the file itself
    }
    if (fsPath.empty()) {
        fsPath.assign(1, '.');
    }
    return stream;
}

}  // namespace posix
