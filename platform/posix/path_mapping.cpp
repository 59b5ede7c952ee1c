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

// Both separate components once mapped: '\' here, '/' by Linux.
bool isSeparator(WCHAR unit) { return unit == u'\\' || unit == u'/'; }

// The names of a UNC path, from its server or after its share: none may be
// "." or ".." (a server refuses such a name, ERROR_INVALID_NAME; here it
// would climb out of the share), and only the last holds a ':', its
// stream's, which has been cut off before.
bool uncNamesAreValid(WStringView names)
{
    for (;;) {
        WStringView::size_type end = 0;
        while (end < names.size() && !isSeparator(names[end])) {
            ++end;
        }
        WStringView name = names.substr(0, end);
        if (name == WSTR(".") || name == WSTR("..") || name.find(u':') != WStringView::npos) {
            return false;
        }
        if (end == names.size()) {
            return true;
        }
        names.remove_prefix(end + 1);
    }
}

}  // namespace

DWORD mapPath(LPCWSTR path, std::string& fsPath, std::string* stream)
{
    if (path == nullptr) {
        return ERROR_INVALID_PARAMETER;
    }
    // One pass finds the length, whether every unit is ASCII, as most paths
    // are (those are then copied unit for unit below), and where the last
    // component starts.
    std::size_t length = 0;
    std::size_t lastName = 0;
    WCHAR seen = 0;
    for (WCHAR unit = path[0]; unit != 0; unit = path[++length]) {
        seen |= unit;
        if (isSeparator(unit)) {
            lastName = length + 1;
        }
    }
    WStringView text(path, length);
    if (text.size() > kMaxPathUnits) {
        return ERROR_FILENAME_EXCED_RANGE;
    }
    // A ':' in the last component, and only a real one, parts a file from
    // its stream: a listed name holds none (decodeFileName), so "x:y" is the
    // stream y of x, never a Linux entry of that whole name.
    WStringView::size_type colon = text.find(u':', lastName);
    WStringView streamText;
    if (colon != WStringView::npos) {
        if (stream == nullptr) {
            return ERROR_INVALID_NAME;  // a call that takes no stream
        }
        streamText = text.substr(colon + 1);
        text = text.substr(0, colon);
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
        // The literal /server/share/... has the server and share among its names.
        if (!uncNamesAreValid(share == 0 ? text : text.substr(std::min(text.size(), share + 1)))) {
            return ERROR_INVALID_NAME;
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
    } else if (!appendPathBytes(text, fsPath)) {
        return ERROR_INVALID_NAME;
    }
    if (stream != nullptr) {
        stream->clear();
    }
    if (colon != WStringView::npos) {
        if (!appendPathBytes(streamText, *stream)) {
            return ERROR_INVALID_NAME;
        }
        constexpr std::string_view kDataType = ":$DATA";
        if (endsWithIgnoringAsciiCase(std::string_view(*stream), kDataType)) {
            stream->erase(stream->size() - kDataType.size());  // "file::$DATA" is the file itself
        }
        if (fsPath.empty()) {
            fsPath.assign(1, '.');  // ":name": a stream of the current folder
        }
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

DWORD anchorPath(LPCWSTR path, std::string& fsPath, Anchor& entry, std::string* stream)
{
    if (path != nullptr && ListedFolders::reach(path, fsPath, entry)) {
        if (stream != nullptr) {
            stream->clear();
        }
        return ERROR_SUCCESS;
    }
    DWORD mapped = mapPath(path, fsPath, stream);
    return mapped != ERROR_SUCCESS ? mapped : entry.resolve(fsPath);
}

}  // namespace posix
