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

std::string commandLinePathProblem(WStringView path)
{
    if (path.substr(0, 2) == WSTR("\\\\") || path.substr(0, 1) == WSTR("/")) {
        return {};
    }
    const std::string shown = path.empty() ? "''" : posix::toDisplayBytes(path);
    if (path.substr(0, 1) == WSTR("\\")) {
        return shown + " is not a UNC path, which begins with two backslashes: quote a UNC path, as in "
                       "'\\\\server\\share\\folder', since a shell takes away backslashes that are not quoted";
    }
    return shown + " is neither a UNC path nor an absolute path: give an absolute path, as in /srv/share/folder, "
                   "or quote a UNC path, as in '\\\\server\\share\\folder'";
}
