#include "tools/volume_probe.h"

#include <cstdint>
#include <optional>

#include "platform/text_conversion.h"
#include "platform/unique_resource.h"
#include "tools/rehearsal_files.h"
#include "tools/tree_builder.h"
#include "tools/tree_description.h"

namespace rehearsal {
namespace {

using treebuilder::BuildError;

// The sample share's largest placeholder, a 6 GiB file that takes no space.
constexpr std::uint64_t kLargeSize = 6ULL << 30;
// What such a file may take on disk and still count as taking none.
constexpr std::uint64_t kMostAllocated = 1ULL << 20;

// What a failed call says: a refusal is the account's, anything else the
// volume's.
std::string lacking(const std::string& volumeLacks, const std::string& accountMayNot, const std::string& call,
                    DWORD code)
{
    bool refused = code == ERROR_ACCESS_DENIED || code == ERROR_PRIVILEGE_NOT_HELD;
    return (refused ? "this account may not " + accountMayNot + " here" : "this volume keeps no " + volumeLacks) +
           " (error " + std::to_string(code) + " from " + call + ")";
}

Capability reparsePoints(const WString& folder)
{
    Capability reparse{"a file keeps a reparse point with tag 16 and its GUID"};
    const std::string lacks = "reparse points";
    // The full-size record the archiving product writes.
    treebuilder::PlaceholderSpec wanted;
    wanted.dataLength = 2630;
    treebuilder::Bytes record = treebuilder::placeholderRecord(wanted);
    WString path = pathInside(folder, WSTR("placeholder"));
    try {
        treebuilder::makeReparsePoint(path, treebuilder::FileSpec{}, record);
    } catch (const BuildError& failure) {
        reparse.missing = lacking(lacks, "set reparse points", failure.call, failure.code);
        return reparse;
    }
    std::optional<treebuilder::Bytes> back = readReparseRecord(path);
    if (!back) {
        reparse.missing = lacking(lacks, "read reparse points", "DeviceIoControl(FSCTL_GET_REPARSE_POINT)", GetLastError());
    } else if (*back != record) {
        reparse.missing = "this volume keeps no reparse points (the record read back is not the one written)";
    } else if ((GetFileAttributesW(path.c_str()) & FILE_ATTRIBUTE_REPARSE_POINT) == 0) {
        reparse.missing = "this volume keeps no reparse points (the file does not show the reparse point attribute)";
    } else {
        reparse.kept = true;
    }
    return reparse;
}

// A file made with `wanted` shows `attribute`.
Capability attribute(const WString& folder, const char* name, const treebuilder::FileSpec& wanted, DWORD shown,
                     const std::string& lacks, const std::string& accountMayNot)
{
    Capability capability{std::string("a file keeps the ") + name + " attribute"};
    WString path = pathInside(folder, wideText(name));
    try {
        treebuilder::makeFile(path, wanted);
    } catch (const BuildError& failure) {
        capability.missing = lacking(lacks, accountMayNot, failure.call, failure.code);
        return capability;
    }
    DWORD attributes = GetFileAttributesW(path.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES) {
        capability.missing = lacking(lacks, accountMayNot, "GetFileAttributesW", GetLastError());
    } else if ((attributes & shown) == 0) {
        capability.missing = "this volume keeps no " + lacks + " (the call succeeded, but the attribute did not stay)";
    } else {
        capability.kept = true;
    }
    return capability;
}

Capability folderStreams(const WString& folder)
{
    Capability stream{"a folder keeps an alternate data stream"};
    const std::string lacks = "streams on folders, so no archive point markers";
    const std::string content = "<archivePoint/>";
    WString marked = pathInside(folder, WSTR("folder"));
    try {
        treebuilder::makeFolder(marked);
        treebuilder::writeStream(marked, WSTR("probe.xml"), content);
    } catch (const BuildError& failure) {
        stream.missing = lacking(lacks, "write streams", failure.call, failure.code);
        return stream;
    }
    std::string back;
    try {
        back = treebuilder::readWholeFile(marked + WSTR(":probe.xml"));
    } catch (const std::runtime_error& failure) {
        stream.missing = "this volume keeps no " + lacks + " (" + failure.what() + ")";
        return stream;
    }
    // A file system without streams may take "folder:probe.xml" for the name
    // of a file of its own beside the folder (Wine does): NTFS names hold no ':'.
    bool stray = false;
    if (std::optional<std::vector<WIN32_FIND_DATAW>> entries = folderEntries(folder)) {
        for (const WIN32_FIND_DATAW& entry : *entries) {
            stray = stray || WStringView(entry.cFileName).find(WSTR(':')) != WStringView::npos;
        }
    }
    if (back != content) {
        stream.missing = "this volume keeps no " + lacks + " (the stream read back is not the one written)";
    } else if (stray) {
        stream.missing = "this volume keeps no " + lacks + " (the stream became a file of its own beside the folder)";
    } else {
        stream.kept = true;
    }
    return stream;
}

Capability largeFiles(const WString& folder, bool sparseKept)
{
    Capability large{"a file is 6 GiB long without taking the space"};
    const std::string lacks = "file above 4 GiB without allocating it";
    if (!sparseKept) {
        large.tried = false;
        large.missing = "not tried: without sparse files the space would be taken";
        return large;
    }
    WString path = pathInside(folder, WSTR("large"));
    treebuilder::FileSpec wanted;
    wanted.size = kLargeSize;
    wanted.sparse = true;
    try {
        treebuilder::makeFile(path, wanted);
    } catch (const BuildError& failure) {
        large.missing = lacking(lacks, "make such a file", failure.call, failure.code);
        return large;
    }
    // The size as the walk sees it, in the folder's entry.
    WIN32_FIND_DATAW entry{};
    if (!UniqueFindHandle(FindFirstFileW(path.c_str(), &entry))) {
        large.missing = lacking(lacks, "list files", "FindFirstFileW", GetLastError());
        return large;
    }
    std::uint64_t size = (static_cast<std::uint64_t>(entry.nFileSizeHigh) << 32) | entry.nFileSizeLow;
    DWORD high = 0;
    SetLastError(ERROR_SUCCESS);
    DWORD low = GetCompressedFileSizeW(path.c_str(), &high);
    std::uint64_t allocated = (static_cast<std::uint64_t>(high) << 32) | low;
    if (low == INVALID_FILE_SIZE && GetLastError() != ERROR_SUCCESS) {
        large.missing = lacking(lacks, "read a file's size on disk", "GetCompressedFileSizeW", GetLastError());
    } else if (size != kLargeSize) {
        large.missing = "this volume keeps no " + lacks + " (its size reads back as " + std::to_string(size) + ")";
    } else if (allocated > kMostAllocated) {
        large.missing = "this volume keeps no " + lacks + " (it takes " + std::to_string(allocated) + " bytes)";
    } else {
        large.kept = true;
    }
    return large;
}

}  // namespace

bool keepsSizeOfOtherReparsePoints(const WString& folder)
{
    // The sample share's reparse point of another vendor: a deduplicated file.
    constexpr DWORD kDedupTag = 0x80000013;
    constexpr std::uint64_t kSize = 65536;
    WString path = pathInside(folder, WSTR("other-reparse-point"));
    treebuilder::FileSpec wanted;
    wanted.size = kSize;
    try {
        treebuilder::makeReparsePoint(path, wanted, treebuilder::reparseRecord(kDedupTag, treebuilder::Bytes{1, 0, 0, 0}));
    } catch (const BuildError&) {
        return true;  // no reparse points here: the capabilities say so
    }
    // Through FUSE the first look at an entry whose record made it a link
    // can fail once (EIO); the next one sees what the volume shows.
    WIN32_FIND_DATAW entry{};
    bool listed = UniqueFindHandle(FindFirstFileW(path.c_str(), &entry)) ||
                  UniqueFindHandle(FindFirstFileW(path.c_str(), &entry));
    return !listed || ((static_cast<std::uint64_t>(entry.nFileSizeHigh) << 32) | entry.nFileSizeLow) == kSize;
}

std::vector<Capability> probeVolume(const WString& folder)
{
    std::vector<Capability> capabilities;
    capabilities.push_back(reparsePoints(folder));
    // With a hole: NTFS through ntfs-3g marks sparse only a file that has
    // one, and a placeholder always has.
    treebuilder::FileSpec sparse;
    sparse.sparse = true;
    sparse.size = 1 << 20;
    capabilities.push_back(attribute(folder, "sparse", sparse, FILE_ATTRIBUTE_SPARSE_FILE, "sparse files", "make sparse files"));
    bool sparseKept = capabilities.back().kept;
    treebuilder::FileSpec offline;
    offline.attributes = FILE_ATTRIBUTE_OFFLINE;
    capabilities.push_back(attribute(folder, "offline", offline, FILE_ATTRIBUTE_OFFLINE, "offline attribute",
                                     "set the offline attribute"));
    capabilities.push_back(folderStreams(folder));
    capabilities.push_back(largeFiles(folder, sparseKept));
    return capabilities;
}

}  // namespace rehearsal
