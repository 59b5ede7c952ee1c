// The depth-first walk of a folder tree.
//
// Entries are handled one at a time as the enumeration returns them, and a
// subfolder is finished when it is met: one open enumeration per level of
// depth, nothing collected. The levels live on an explicit stack rather than
// the call stack, so a tree as deep as a path can name cannot exhaust it.
//
// Folders that are reparse points (junctions, symbolic links) are entered
// like any other, unless they lead back to a folder that is being walked
// above them: a cycle is walked once, not until the path is too long.
#include <optional>
#include <stdexcept>
#include <vector>

#include "platform/console.h"
#include "platform/unique_resource.h"
#include "report/text_format.h"
#include "runcontrol/scan_session.h"

namespace {

// Volume and file index: the same folder, whatever path reaches it.
struct FolderIdentity {
    DWORD volume;
    DWORD indexHigh;
    DWORD indexLow;
    bool operator==(const FolderIdentity&) const = default;
};

std::optional<FolderIdentity> folderIdentity(const WString& folderPath)
{
    UniqueHandle folder(CreateFileW(folderPath.c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                    nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr));
    BY_HANDLE_FILE_INFORMATION information{};
    if (!folder || !GetFileInformationByHandle(folder.get(), &information)) {
        return std::nullopt;
    }
    return FolderIdentity{information.dwVolumeSerialNumber, information.nFileIndexHigh, information.nFileIndexLow};
}

struct WalkLevel {
    WString folderPath;
    WString archivePointId;
    UniqueFindHandle find;
    WIN32_FIND_DATAW entry{};
    WString childPath;  // reused for each entry of the folder
    bool entryPending = true;  // the entry that FindFirstFileW returned
    bool identityKnown = false;
    std::optional<FolderIdentity> identity;
};

bool isDotOrDotDot(const WCHAR* name)
{
    return name[0] == WSTR('.') && (name[1] == 0 || (name[1] == WSTR('.') && name[2] == 0));
}

// The folder being walked that `target` is, if any.
const WalkLevel* enclosingSameFolder(std::vector<WalkLevel>& levels, const FolderIdentity& target)
{
    for (WalkLevel& level : levels) {
        if (!level.identityKnown) {
            level.identity = folderIdentity(level.folderPath);
            level.identityKnown = true;
        }
        if (level.identity == target) {
            return &level;
        }
    }
    return nullptr;
}

}  // namespace

void ScanSession::walkFolder(WString folderPath, WString archivePointId)
{
    std::vector<WalkLevel> levels;

    // The archive point step, then the enumeration; on success the folder
    // becomes the deepest level.
    auto enterFolder = [&](WString path, WString pointId) {
        if (archiveUsage) {
            WString foundId;
            WString foundName;
            bool isArchivePoint = false;
            try {
                isArchivePoint = CheckIsFolderAnArchivePoint(path, foundId, foundName);
            } catch (const std::runtime_error& failure) {
                writeLine(path + WSTR(": skipped, Reason: CheckIsFolderAnArchivePoint failed, error(") +
                          widenText(failure.what()) + WSTR(")"));
                return;
            }
            if (isArchivePoint) {
                pointId = foundId;
                usageTable.try_emplace(foundId, path, foundName);
            }
        }
        WalkLevel level;
        WString pattern = path + WSTR("\\*");
        level.find.reset(FindFirstFileW(pattern.c_str(), &level.entry));
        if (!level.find) {
            DWORD error = GetLastError();
            writeLine(path + WSTR(": skipped, Reason: FindFirstFileExW failed with error(") + decimalText(error) +
                      WSTR(")"));
            return;
        }
        level.folderPath = std::move(path);
        level.archivePointId = std::move(pointId);
        levels.push_back(std::move(level));
    };

    enterFolder(std::move(folderPath), std::move(archivePointId));
    while (!levels.empty()) {
        WalkLevel& level = levels.back();
        if (!level.entryPending && !FindNextFileW(level.find.get(), &level.entry)) {
            DWORD error = GetLastError();
            if (error != ERROR_NO_MORE_FILES) {
                writeLine(level.folderPath + WSTR(": partially processed, Reason: FindNextFile failed with error(") +
                          decimalText(error) + WSTR(")"));
            }
            levels.pop_back();
            continue;
        }
        level.entryPending = false;
        const WIN32_FIND_DATAW& entry = level.entry;
        if ((entry.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
            if (isDotOrDotDot(entry.cFileName)) {
                continue;
            }
            WString childPath = level.folderPath + WSTR("\\") + entry.cFileName;
            if ((entry.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0) {
                if (std::optional<FolderIdentity> target = folderIdentity(childPath)) {
                    if (const WalkLevel* same = enclosingSameFolder(levels, *target)) {
                        writeLine(childPath + WSTR(": skipped, Reason: reparse point leads back to ") +
                                  same->folderPath);
                        continue;
                    }
                }
            }
            enterFolder(std::move(childPath), level.archivePointId);  // may move `level`
            continue;
        }
        WString& childPath = level.childPath;
        childPath.assign(level.folderPath).append(WSTR("\\")).append(entry.cFileName);
        if (archiveUsage) {
            if (totalFiles % 1000 == 0) {
                writeProgress(".");
            }
            accountArchiveUsage(childPath, entry, level.archivePointId);
        } else {
            checkFile(childPath, entry);
        }
    }
}
