#include "tools/rehearsal_files.h"

#include "platform/unique_resource.h"

namespace rehearsal {

WString pathInside(const WString& folder, WStringView relative)
{
    bool linuxPath = folder.find(WSTR('\\')) == WString::npos && folder.find(WSTR('/')) != WString::npos;
    WCHAR separator = linuxPath ? WSTR('/') : WSTR('\\');
    WString path = folder;
    if (path.empty() || path.back() != separator) {
        path += separator;
    }
    for (WCHAR unit : relative) {
        path += unit == WSTR('\\') ? separator : unit;
    }
    return path;
}

std::optional<std::vector<WIN32_FIND_DATAW>> folderEntries(const WString& folder)
{
    WIN32_FIND_DATAW entry{};
    UniqueFindHandle find(FindFirstFileW(pathInside(folder, WSTR("*")).c_str(), &entry));
    if (!find) {
        return std::nullopt;
    }
    std::vector<WIN32_FIND_DATAW> entries;
    do {
        WStringView name(entry.cFileName);
        if (name != WSTR(".") && name != WSTR("..")) {
            entries.push_back(entry);
        }
    } while (FindNextFileW(find.get(), &entry));
    if (GetLastError() != ERROR_NO_MORE_FILES) {
        return std::nullopt;
    }
    return entries;
}

bool removeTree(const WString& path, WString& failed)
{
    DWORD attributes = GetFileAttributesW(path.c_str());
    bool removed = false;
    if (attributes == INVALID_FILE_ATTRIBUTES) {
        removed = false;
    } else if ((attributes & FILE_ATTRIBUTE_DIRECTORY) == 0) {
        if ((attributes & FILE_ATTRIBUTE_READONLY) != 0) {
            SetFileAttributesW(path.c_str(), attributes & ~FILE_ATTRIBUTE_READONLY);
        }
        removed = DeleteFileW(path.c_str());
    } else if ((attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0) {
        removed = RemoveDirectoryW(path.c_str());  // a link to a folder, or a junction: itself only
    } else {
        std::optional<std::vector<WIN32_FIND_DATAW>> entries = folderEntries(path);
        if (!entries) {
            failed = path;
            return false;
        }
        for (const WIN32_FIND_DATAW& entry : *entries) {
            if (!removeTree(pathInside(path, entry.cFileName), failed)) {
                return false;
            }
        }
        removed = RemoveDirectoryW(path.c_str());
    }
    if (!removed) {
        failed = path;
    }
    return removed;
}

std::optional<treebuilder::Bytes> readReparseRecord(const WString& path)
{
    UniqueHandle file(CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                  FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
    treebuilder::Bytes record(MAXIMUM_REPARSE_DATA_BUFFER_SIZE);
    DWORD returned = 0;
    bool read = file && DeviceIoControl(file.get(), FSCTL_GET_REPARSE_POINT, nullptr, 0, record.data(),
                                        static_cast<DWORD>(record.size()), &returned, nullptr);
    DWORD error = GetLastError();
    file.reset();
    if (!read) {
        SetLastError(error);  // closing the handle keeps no error of its own
        return std::nullopt;
    }
    record.resize(returned);
    // In NTFS's form, as the rehearsal builds its records, whatever form the
    // volume keeps them in.
    return treebuilder::ntfsForm(std::move(record));
}

}  // namespace rehearsal
