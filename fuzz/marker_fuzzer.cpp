// The archive point marker: the bytes of a folder's marker stream, whatever
// they are, to an identifier and a name.
//
// A marker either makes the folder an archive point, with an identifier and
// a name, or is a std::runtime_error the walk reports; nothing else may come
// out of it.
#include <cstdint>
#include <stdexcept>
#include <sys/stat.h>

#include "fuzz/fuzz_support.h"
#include "tools/tree_builder.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    static ScanSession& run = fuzzsupport::session({"-ArchiveUsage"});
    static const std::string folder = [] {
        std::string path = fuzzsupport::scratchFolder() + "/archive point";
        FUZZ_CHECK(::mkdir(path.c_str(), 0755) == 0);
        return path;
    }();
    static const WString folderName = fuzzsupport::uncName(folder);

    // Written through the platform layer, as the tree builder writes a marker.
    try {
        treebuilder::makeArchivePoint(folderName, std::string(reinterpret_cast<const char*>(data), size));
    } catch (const treebuilder::BuildError&) {
        return 0;  // more than the file system keeps in one xattr
    }
    WString identifier = WSTR("unset");
    WString name = WSTR("unset");
    try {
        bool isArchivePoint = run.CheckIsFolderAnArchivePoint(folderName, identifier, name);
        FUZZ_CHECK(isArchivePoint);
        FUZZ_CHECK(identifier != WSTR("unset") && name != WSTR("unset"));
    } catch (const std::runtime_error&) {
    }
    return 0;
}
