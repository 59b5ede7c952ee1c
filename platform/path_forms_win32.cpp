// A folder's full path and UNC path on Windows.
#include "platform/path_forms.h"

namespace {

bool startsWith(WStringView text, WStringView prefix) { return text.substr(0, prefix.size()) == prefix; }

bool isDrivePath(WStringView path)
{
    return path.size() >= 3 && ((path[0] >= L'A' && path[0] <= L'Z') || (path[0] >= L'a' && path[0] <= L'z')) &&
           path[1] == L':' && path[2] == L'\\';
}

}  // namespace

WString fullPath(const WString& path)
{
    DWORD needed = GetFullPathNameW(path.c_str(), 0, nullptr, nullptr);
    if (needed == 0) {
        return {};
    }
    WString full(needed, L'\0');
    DWORD length = GetFullPathNameW(path.c_str(), needed, full.data(), nullptr);
    if (length == 0 || length >= needed) {
        return {};
    }
    full.resize(length);
    if (full.size() > 3 && full.back() == L'\\') {
        full.pop_back();
    }
    return full;
}

WString uncPath(const WString& full)
{
    WStringView path(full);
    if (startsWith(path, L"\\\\?\\UNC\\")) {
        return L"\\" + WString(path.substr(7));
    }
    if (startsWith(path, L"\\\\?\\")) {
        path.remove_prefix(4);
    }
    if (isDrivePath(path)) {
        return L"\\\\localhost\\" + WString(1, path[0]) + L"$" + WString(path.substr(2));
    }
    if (startsWith(path, L"\\\\") && !startsWith(path, L"\\\\.\\")) {
        return WString(path);
    }
    SetLastError(ERROR_BAD_PATHNAME);
    return {};
}

std::string commandLinePathProblem(WStringView) { return {}; }
