// Builds the benchmark trees once, through the same platform calls as the
// companion tree builder, and marks each one complete so later runs reuse it.
//
//   make_bench_tree <root> balanced|placeholders|placeholders-50k|flat|flat-small|chain
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>
#include <sys/stat.h>

#include "platform/text_conversion.h"
#include "tools/tree_builder.h"

using namespace treebuilder;

namespace {

WString wide(const std::string& path) { return wideText(path); }

std::string numbered(const char* prefix, int number, const char* suffix = "")
{
    char name[64];
    std::snprintf(name, sizeof name, "%s%05d%s", prefix, number, suffix);
    return name;
}

// Every tenth file a placeholder: good, bad, repairable in turn.
void makeEntry(const std::string& path, int number, bool withPlaceholders)
{
    if (withPlaceholders && number % 10 == 0) {
        static const PlaceholderKind kinds[] = {PlaceholderKind::Good, PlaceholderKind::WrongMagic,
                                                PlaceholderKind::Misplaced};
        PlaceholderSpec record;
        record.kind = kinds[(number / 10) % 3];
        makePlaceholder(wide(path), record, placeholderFile(40960));
        return;
    }
    FileSpec ordinary;
    ordinary.size = 4096;  // a hole: no space taken
    makeFile(wide(path), ordinary);
}

// Folders of folders of files, an archive point on each top folder.
void makeBalanced(const std::string& root, int top, int middle, int files, bool withPlaceholders)
{
    makeFolder(wide(root));
    int number = 0;
    for (int t = 0; t < top; ++t) {
        std::string topFolder = root + "/" + numbered("dept", t);
        makeFolder(wide(topFolder));
        makeArchivePoint(wide(topFolder), archivePointXml(numbered("AP", t), numbered("Dept ", t)));
        for (int m = 0; m < middle; ++m) {
            std::string folder = topFolder + "/" + numbered("project", m);
            makeFolder(wide(folder));
            for (int f = 0; f < files; ++f) {
                makeEntry(folder + "/" + numbered("file", f, ".dat"), number++, withPlaceholders);
            }
        }
    }
}

void makeFlat(const std::string& root, int files)
{
    makeFolder(wide(root));
    for (int f = 0; f < files; ++f) {
        makeEntry(root + "/" + numbered("file", f, ".dat"), f, true);
    }
}

void makeChain(const std::string& root, int depth)
{
    std::string folder = root;
    makeFolder(wide(folder));
    for (int d = 0; d < depth; ++d) {
        folder += "/" + numbered("level", d);
        makeFolder(wide(folder));
        makeEntry(folder + "/file.dat", d, true);
    }
}

}  // namespace

int main(int argc, char* argv[])
{
    if (argc != 3) {
        std::fprintf(stderr, "usage: make_bench_tree <root> balanced|placeholders|placeholders-50k|flat|flat-small|chain\n");
        return 1;
    }
    std::string root = argv[1];
    std::string kind = argv[2];
    std::string stamp = root + ".complete";
    struct stat status {};
    if (::stat(stamp.c_str(), &status) == 0) {
        return 0;  // made by an earlier run
    }
    std::string command = "rm -rf '" + root + "'";
    if (std::system(command.c_str()) != 0) {
        return 1;
    }
    try {
        if (kind == "balanced") {
            makeBalanced(root, 20, 20, 500, false);
        } else if (kind == "placeholders") {
            makeBalanced(root, 20, 20, 500, true);
        } else if (kind == "placeholders-50k") {
            makeBalanced(root, 5, 20, 500, true);
        } else if (kind == "flat") {
            makeFlat(root, 100000);
        } else if (kind == "flat-small") {
            makeFlat(root, 1000);
        } else if (kind == "chain") {
            makeChain(root, 400);
        } else {
            std::fprintf(stderr, "unknown tree kind %s\n", kind.c_str());
            return 1;
        }
    } catch (const std::exception& failure) {
        std::fprintf(stderr, "%s\n", failure.what());
        return 1;
    }
    std::ofstream(stamp) << kind << "\n";
    return 0;
}
