// The depth-first walk of a folder tree.
//
// Entries are handled one at a time as the enumeration returns them, and a
// subfolder is finished when it is met: one open enumeration per level of
// depth, nothing collected. The levels live on an explicit stack rather than
// the call stack, so a tree as deep as a path can name cannot exhaust it.
// Memory grows with the depth, not with its square: the levels share one
// path, of which each keeps only its length.
//
// Folders that are reparse points (junctions, symbolic links) are entered
// like any other, but each real folder (volume and file index) at most once
// in a run, whatever path reaches it: a cycle is walked once, not until the
// path is too long, and a lattice of links (L1\x and L1\y both leading to
// L2, and so on) once per folder, not once per path. A folder met again gets
// a line naming the path by which it was walked.
#include <optional>
#include <stdexcept>
#include <unordered_map>
#include <vector>

#include "platform/console.h"
#include "platform/unique_resource.h"
#include "report/file_identity.h"
#include "report/text_format.h"
#include "runcontrol/scan_session.h"

namespace {

constexpr std::size_t kNone = static_cast<std::size_t>(-1);

// A folder opened to know it by its identity, and held while its marker is
// read and its listing opened. It is opened without FILE_SHARE_DELETE, so
// that meanwhile it cannot be renamed or removed (the Linux layer keeps its
// path to it likewise): its path names this folder for both, never another
// put in its place.
struct HeldFolder {
    UniqueHandle handle;
    std::optional<FileIdentity> identity;
};

HeldFolder holdFolder(const WString& folderPath)
{
    HeldFolder folder{UniqueHandle(CreateFileW(folderPath.c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                               OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr)),
                      std::nullopt};
    if (folder.handle) {
        folder.identity = fileIdentity(folder.handle.get());
    }
    return folder;
}

// Every folder entered in the run, with the path it was entered by, kept as
// the folder it was met in and its name: a path per folder would make a deep
// tree cost the square of its depth.
class WalkedFolders {
public:
    // The folder entered by `path`, met as `name` in the walked folder
    // `parent` (kNone: `path` is the target); its identity, if known. Returns
    // its number.
    std::size_t add(std::size_t parent, WString name, const std::optional<FileIdentity>& identity)
    {
        folders_.push_back({parent, std::move(name)});
        if (identity) {
            byIdentity_.emplace(*identity, folders_.size() - 1);
        }
        return folders_.size() - 1;
    }

    [[nodiscard]] std::optional<std::size_t> find(const FileIdentity& identity) const
    {
        auto found = byIdentity_.find(identity);
        return found == byIdentity_.end() ? std::nullopt : std::optional<std::size_t>(found->second);
    }

    [[nodiscard]] WString pathOf(std::size_t folder) const
    {
        std::vector<const WString*> names;
        for (std::size_t at = folder; at != kNone; at = folders_[at].parent) {
            names.push_back(&folders_[at].name);
        }
        WString path = *names.back();
        for (auto name = names.rbegin() + 1; name != names.rend(); ++name) {
            path.append(WSTR("\\")).append(**name);
        }
        return path;
    }

private:
    struct Folder {
        std::size_t parent;
        WString name;
    };
    std::vector<Folder> folders_;
    std::unordered_map<FileIdentity, std::size_t, FileIdentityHash> byIdentity_;
};

struct WalkLevel {
    std::size_t pathLength;    // of the folder's path, at the start of the walk's path
    std::size_t walkedFolder;  // its number among the walked folders
    std::size_t archivePoint;  // the index of its archivePointId
    bool ownsArchivePoint;     // the folder is an archive point: its identifier goes with it
    UniqueFindHandle find;
    WIN32_FIND_DATAW entry{};
    bool entryPending = true;  // the entry that FindFirstFileW returned
};

bool isDotOrDotDot(const WCHAR* name)
{
    return name[0] == WSTR('.') && (name[1] == 0 || (name[1] == WSTR('.') && name[2] == 0));
}

}  // namespace

void ScanSession::walkFolder(WString folderPath, WString archivePointId)
{
    WString& path = folderPath;  // the folder at hand, or its entry at hand
    std::vector<WString> archivePointIds{std::move(archivePointId)};
    std::vector<WalkLevel> levels;
    WalkedFolders walked;

    // The folder `path` (`name` met in the walked folder `parent`): skipped
    // when it was entered before; else the archive point step, then the
    // enumeration, and on success the folder becomes the deepest level.
    auto enterFolder = [&](std::size_t parent, WStringView name, bool isReparsePoint) {
        HeldFolder held = holdFolder(path);
        const std::optional<FileIdentity>& identity = held.identity;
        if (std::optional<std::size_t> first = identity ? walked.find(*identity) : std::nullopt) {
            writeLine(path + (isReparsePoint ? WSTR(": skipped, Reason: reparse point leads back to ")
                                             : WSTR(": skipped, Reason: folder leads back to ")) +
                      walked.pathOf(*first));
            return;
        }
        std::size_t walkedFolder = walked.add(parent, WString(name), identity);
        std::size_t archivePoint = archivePointIds.size() - 1;
        if (!levels.empty()) {
            archivePoint = levels.back().archivePoint;
        }
        bool ownsArchivePoint = false;
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
                usageTable.try_emplace(foundId, path, foundName);
                archivePointIds.push_back(std::move(foundId));
                archivePoint = archivePointIds.size() - 1;
                ownsArchivePoint = true;
            }
        }
        std::size_t pathLength = path.size();
        WalkLevel level{pathLength, walkedFolder, archivePoint, ownsArchivePoint, {}, {}, true};
        path.append(WSTR("\\*"));
        level.find.reset(FindFirstFileW(path.c_str(), &level.entry));
        path.resize(pathLength);
        held.handle.reset();
        if (!level.find) {
            DWORD error = GetLastError();
            writeLine(path + WSTR(": skipped, Reason: FindFirstFileExW failed with error(") + decimalText(error) +
                      WSTR(")"));
            if (ownsArchivePoint) {
                archivePointIds.pop_back();
            }
            return;
        }
        levels.push_back(std::move(level));
    };

    enterFolder(kNone, path, false);
    while (!levels.empty()) {
        WalkLevel& level = levels.back();
        path.resize(level.pathLength);
        if (!level.entryPending && !FindNextFileW(level.find.get(), &level.entry)) {
            DWORD error = GetLastError();
            if (error != ERROR_NO_MORE_FILES) {
                writeLine(path + WSTR(": partially processed, Reason: FindNextFile failed with error(") +
                          decimalText(error) + WSTR(")"));
            }
            if (level.ownsArchivePoint) {
                archivePointIds.pop_back();
            }
            levels.pop_back();
            continue;
        }
        level.entryPending = false;
        const WIN32_FIND_DATAW& entry = level.entry;
        bool isFolder = (entry.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
        if (isFolder && isDotOrDotDot(entry.cFileName)) {
            continue;
        }
        path.append(WSTR("\\")).append(entry.cFileName);
        if (isFolder) {
            bool isReparsePoint = (entry.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0;
            enterFolder(level.walkedFolder, entry.cFileName, isReparsePoint);  // may move `level`
        } else if (archiveUsage) {
            if (totalFiles % 1000 == 0) {
                writeProgress(".");
            }
            accountArchiveUsage(path, entry, archivePointIds[level.archivePoint]);
        } else {
            checkFile(path, entry);
        }
    }
}
