// A folder's full path and UNC path on Linux: \\srv\share\x names /srv/share/x.
#include "platform/path_forms.h"

#include <cerrno>
#include <climits>
#include <filesystem>
#include <optional>
#include <unistd.h>

#include "platform/posix/last_error.h"
#include "platform/posix/path_mapping.h"
#include "platform/posix/text_conversion.h"

WString fullPath(const WString& path)
{
    std::string fsPath;
    if (DWORD mapped = posix::mapPath(path.c_str(), fsPath); mapped != ERROR_SUCCESS) {
        SetLastError(mapped);
        return {};
    }
    std::filesystem::path full(fsPath);
    if (full.is_relative()) {
        std::string current(PATH_MAX, '\0');
        if (::getcwd(current.data(), current.size()) == nullptr) {
            SetLastError(posix::win32ErrorFromErrno(errno));
            return {};
        }
        current.resize(current.find('\0'));
        full = std::filesystem::path(current) / full;
    }
    std::string text = full.lexically_normal().string();
    if (text.size() > 1 && text.back() == '/') {
        text.pop_back();
    }
    return posix::decodeFileSystemBytes(text);
}

WString uncPath(const WString& full)
{
    if (full.empty() || full.front() != WSTR('/') || full.find(WSTR('\\')) != WString::npos) {
        SetLastError(ERROR_BAD_PATHNAME);
        return {};
    }
    WString unc = WSTR("\\");
    for (WCHAR unit : full) {
        unc += unit == WSTR('/') ? WSTR('\\') : unit;
    }
    return unc;
}
