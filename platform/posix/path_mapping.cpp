#include "platform/posix/path_mapping.h"

#include <sys/stat.h>

#include "platform/ascii_case.h"
#include "platform/posix/last_error.h"
#include "platform/posix/path_anchor.h"
#include "platform/posix/samba_shares.h"
#include "platform/posix/text_conversion.h"

namespace posix {
namespace {

constexpr WStringView kUncPrefix = WSTR("\\\\?\\UNC\\");
constexpr WStringView kUncShortPrefix = WSTR("\\\\");
constexpr WStringView kLocalPrefix = WSTR("\\\\?\\");
constexpr WStringView kDevicePrefix = WSTR("\\\\.\\");

// The stream part of the last component, split off fsPath.
std::string splitStream(std::string& fsPath)
{
    std::string::size_type slash = fsPath.rfind('/');
    std::string::size_type colon = fsPath.find(':', slash == std::string::npos ? 0 : slash + 1);
    if (colon == std::string::npos) {
        return {};
    }
    // As on Windows, "name:stream" is a stream of "name" whenever that
    // exists: a file called "dept:QMArchivePoint.xml" beside the folder
    // "dept" must never pass for its marker. Only a Linux name that holds a
    // ':' and has nothing named like its part before the ':' is that entry.
    struct stat status {};
    std::string base = fsPath.substr(0, colon);
    if (statPath(base.empty() ? std::string(".") : base, status, false) != 0 &&
        statPath(fsPath, status, false) == 0) {
        return {};
    }
    std::string stream = fsPath.substr(colon + 1);
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

}  // namespace

std::optional<MappedPath> mapPath(LPCWSTR path, bool withStreams)
{
    if (path == nullptr) {
        return fail(ERROR_INVALID_PARAMETER, std::nullopt);
    }
    WStringView text(path);
    if (text.size() > kMaxPathUnits) {
        return fail(ERROR_FILENAME_EXCED_RANGE, std::nullopt);
    }
    // The prefixes compare without regard to ASCII case, as on Windows ("unc").
    bool unc = false;
    if (startsWithIgnoringAsciiCase(text, kUncPrefix)) {
        text.remove_prefix(kUncPrefix.size());
        unc = true;
    } else if (startsWithIgnoringAsciiCase(text, kLocalPrefix) || startsWithIgnoringAsciiCase(text, kDevicePrefix)) {
        // \\?\C:\... or \\.\...: a drive or device, of which Linux has none.
        return fail(ERROR_PATH_NOT_FOUND, std::nullopt);
    } else if (startsWithIgnoringAsciiCase(text, kUncShortPrefix)) {
        text.remove_prefix(kUncShortPrefix.size());
        unc = true;
    }
    MappedPath mapped;
    std::size_t share = 0;
    if (unc) {
        WStringView::size_type serverEnd = text.find(u'\\');
        if (serverEnd == 0 || serverEnd == WStringView::npos || serverEnd + 1 >= text.size() ||
            text[serverEnd + 1] == u'\\') {
            return fail(ERROR_BAD_PATHNAME, std::nullopt);
        }
        // A share of this host is its folder in Samba's share table.
        if (DWORD error = mapSambaShare(text, mapped.fsPath, share); error != ERROR_SUCCESS) {
            return fail(error, std::nullopt);
        }
        text.remove_prefix(share);
    }
    std::optional<std::string> bytes = encodeFileSystemBytes(text);
    if (!bytes || (bytes->empty() && !unc)) {
        return fail(bytes ? ERROR_PATH_NOT_FOUND : ERROR_INVALID_NAME, std::nullopt);
    }
    mapped.fsPath.reserve(mapped.fsPath.size() + bytes->size() + 1);
    if (unc && mapped.fsPath.empty() && (share == 0 || bytes->empty() || bytes->front() != '\\')) {
        mapped.fsPath += '/';  // literally /server/..., or a share whose folder is the root
    }
    for (char c : *bytes) {
        mapped.fsPath += c == '\\' ? '/' : c;
    }
    if (withStreams) {
        mapped.streamName = splitStream(mapped.fsPath);
    }
    return mapped;
}

std::optional<std::string> mapNarrowPath(LPCSTR path)
{
    if (path == nullptr || *path == '\0') {
        return fail(path == nullptr ? ERROR_INVALID_PARAMETER : ERROR_PATH_NOT_FOUND, std::nullopt);
    }
    std::string fsPath(path);
    if (fsPath.size() > kMaxPathUnits) {
        return fail(ERROR_FILENAME_EXCED_RANGE, std::nullopt);
    }
    for (char& c : fsPath) {
        if (c == '\\') {
            c = '/';
        }
    }
    return fsPath;
}

}  // namespace posix
