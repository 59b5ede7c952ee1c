// stubwarden-tree: builds a rehearsal tree from a text description, so that
// Stubwarden can be tried on placeholders of every kind before it meets a
// production share. The format is in docs/rehearsal-trees.md and in the
// usage text below.
#include <algorithm>
#include <iostream>
#include <iterator>
#include <string>
#include <vector>

#include "platform/console.h"
#include "platform/text_conversion.h"
#include "platform/win32.h"
#include "tools/program_version.h"
#include "tools/tree_builder.h"
#include "tools/tree_description.h"

namespace {

constexpr const char* kUsage = R"(Usage: stubwarden-tree <root-folder> [<description-file>]
       stubwarden-tree -h | --help
       stubwarden-tree --version

Builds a tree of folders, files, placeholders, other reparse points, symbolic
links, archive point markers and streams below <root-folder> (made if missing;
a Linux path or a UNC path) from a description: the file, or standard input
when it is missing or "-". Nothing is built when a line is wrong; existing
files are never overwritten.

One entry a line; '#' starts a comment line; blank lines are ignored. Paths
are relative to the root, with '/' or '\' between names; folders on the way
are made. A value with blanks goes in double quotes ("" for a quote in it).

  folder       <path>
  file         <path> [size=<n>|<n>KiB|<n>MiB|<n>GiB] [content="text"]
               [created=2019-04-17T18:40:00Z] [attributes=<list>] [sparse]
  placeholder  <path> [kind=<kind>] [url=<url>] [length=<ReparseDataLength>]
               [size=...] [created=...] [attributes=<list>] [sparse]
  reparse      <path> tag=<tag> [guid=<GUID>|placeholder] [data=<hex bytes>]
               [size=...] [created=...] [attributes=<list>] [sparse]
  symlink      <path> target=<relative or absolute target> [folder]
  marker       <folder> id=<identifier> name=<name>
  marker       <folder> xml="<archivePoint>...</archivePoint>" | xml-file=<file>
  stream       <path> name=<stream name> text="..." | hex=<hex bytes> | file=<file>

kind: good (the default), bad-guid, bad-magic, bad-signature,
  unended-signature, bad-url, empty-url, misplaced (repairable),
  misplaced-capital-http (not repairable).
attributes: none, or a comma list of readonly, hidden, system, archive,
  offline, sparse. A placeholder is offline and sparse unless attributes=
  says otherwise.
length=2630 gives the full-size record the archiving product writes.
Files named by xml-file= and file= are read relative to the current folder:
regular files of at most 64 KiB only, and on Linux only those that every
account may read. Nothing is made or written through a link, and no name
may hold a control character.

Exit code 0 when the tree is built, 1 otherwise (the reason on standard error).
)";

int usageError(const std::string& problem)
{
    writeErrorLine("stubwarden-tree: " + problem);
    std::cerr << kUsage << std::flush;
    return 1;
}

}  // namespace

int wmain(int argc, WCHAR* argv[])
{
    std::vector<WString> arguments(argv + 1, argv + argc);
    for (const WString& argument : arguments) {
        if (argument == WSTR("-h") || argument == WSTR("--help")) {
            std::cout << kUsage << std::flush;
            return 0;
        }
        if (argument == WSTR("--version")) {
            return printVersion("stubwarden-tree");
        }
    }
    if (arguments.empty()) {
        return usageError("the root folder is missing");
    }
    if (arguments.size() > 2) {
        return usageError("too many arguments");
    }
    for (const WString& argument : arguments) {
        if (argument.size() > 1 && argument[0] == WSTR('-')) {
            return usageError("unknown option " + utf8Text(argument));
        }
    }
    if (arguments[0].empty() || arguments[0] == WSTR("-")) {
        return usageError("the root folder is missing");
    }

    try {
        std::string text;
        if (arguments.size() == 1 || arguments[1] == WSTR("-")) {
            text.assign(std::istreambuf_iterator<char>(std::cin), std::istreambuf_iterator<char>());
        } else {
            text = treebuilder::readWholeFile(arguments[1]);
        }
        treebuilder::TreeDescription description = treebuilder::TreeDescription::read(text);
        description.build(arguments[0]);
        std::cout << "Built " << description.size() << (description.size() == 1 ? " entry" : " entries")
                  << " below " << utf8Text(arguments[0]) << std::endl;
        return 0;
    } catch (const treebuilder::DescriptionError& faults) {
        // One line for each fault found.
        std::string text = faults.what();
        for (std::size_t start = 0; start <= text.size();) {
            std::size_t end = std::min(text.find('\n', start), text.size());
            writeErrorLine("stubwarden-tree: " + text.substr(start, end - start));
            start = end + 1;
        }
    } catch (const std::exception& failure) {
        writeErrorLine(std::string("stubwarden-tree: ") + failure.what());
    }
    return 1;
}
