// What the end-to-end suites of the normal-mode audit share: fixture paths,
// the fixed creation time, report names and lines.
#pragma once

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <ctime>
#include <dirent.h>
#include <fstream>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

#include "platform/text_conversion.h"
#include "report/report_file.h"
#include "tests/support/test_support.h"
#include "tools/tree_builder.h"

namespace normalmode {

using testsupport::reportPath;
using testsupport::utf16le;
using testsupport::wideUncPath;

// The unprivileged account the tests run the program as.
inline constexpr uid_t kNobody = 65534;

// The program run as the unprivileged account, without any capability.
inline testsupport::RunResult runAsNobody(const std::vector<std::string>& arguments,
                                          testsupport::RunOptions options)
{
    options.user = kNobody;
    options.group = kNobody;
    return testsupport::runStubwarden(arguments, options);
}

// Command lines the program refuses with its usage line: no target, an
// unknown or wrongly cased option, an option after the target, too many.
inline const std::vector<std::vector<std::string>> kRejectedCommandLines = {
    {},
    {"-x", "\\\\srv\\share"},
    {"-V", "\\\\srv\\share"},
    {"-FIXPHS", "\\\\srv\\share"},
    {"\\\\srv\\share", "-v"},
    {"-v", "-v", "-v", "-v", "-v", "-v", "\\\\srv\\share"},
};

// Command lines that ask for the help (--help, -h, -? or /?, wherever it
// stands) and the help the program prints for them, line ends as on Linux.
inline const std::vector<std::vector<std::string>> kHelpCommandLines = {
    {"--help"}, {"-h"}, {"-?"}, {"/?"}, {"-v", "--help"}, {"-h", "\\\\srv\\share"}, {"-x", "-d", "/?"},
};
inline const std::string kHelpText =
    "Usage: Stubwarden [-v] [-d] [-fixphs] [-ArchiveUsage] <target>\n"
    "       stubwarden --help | --version\n"
    "\n"
    "Audits the archive placeholders below <target>, a folder or one file of a\n"
    "share, given as a UNC path (\\\\server\\share\\folder; on Linux also an absolute\n"
    "path, /srv/share/folder; quote a UNC path in a Linux shell). It reads every\n"
    "file's reparse data without recalling anything and writes what it finds to a\n"
    "report file in the current folder, named from the target and the start time.\n"
    "\n"
    "  -v             a line for every file, with its creation time, size and\n"
    "                 attributes\n"
    "  -d             the raw reparse data of every bad placeholder\n"
    "  -fixphs        repair the misplaced placeholder records (this writes to the\n"
    "                 share, with the account's own rights: rehearse first, with\n"
    "                 stubwarden-rehearse)\n"
    "  -ArchiveUsage  (any letter case) per archive point, the archived and the\n"
    "                 non-archived sizes in KB\n"
    "\n"
    "The options come before the target. Exit code 0: no bad placeholder; 2: bad\n"
    "placeholders found; 1: the run failed (the reason on standard error).\n"
    "See the manual page stubwarden(1); in the Windows zip, man\\stubwarden.1.txt.\n";
// Command lines that ask for the version, and what it prints.
inline const std::vector<std::vector<std::string>> kVersionCommandLines = {
    {"--version"}, {"--version", "\\\\srv\\share"}, {"-v", "--version"},
};

// The creation time given to every fixture file, and how a run in UTC shows it.
inline FILETIME created() { return treebuilder::fileTimeUtc(2023, 1, 15, 10, 20, 30); }
inline const std::string kCreatedText = "15/01/23 10:20:30 GMT";

// An archived file as the product leaves it (offline, sparse) with the fixed
// creation time.
inline treebuilder::FileSpec archivedFile(std::uint64_t size = 1024)
{
    treebuilder::FileSpec wanted = treebuilder::placeholderFile(size);
    wanted.created = created();
    return wanted;
}

inline treebuilder::FileSpec plainFile(std::uint64_t size = 0)
{
    treebuilder::FileSpec wanted;
    wanted.size = size;
    wanted.created = created();
    return wanted;
}

// A folder below an existing one; returns its path.
inline std::string makeFolder(const std::string& linuxPath, mode_t mode = 0755)
{
    EXPECT_EQ(::mkdir(linuxPath.c_str(), mode), 0) << linuxPath;
    return linuxPath;
}

// An ordinary file of `size` bytes (a hole) with the fixed creation time.
inline void makePlainFile(const std::string& linuxPath, std::uint64_t size)
{
    treebuilder::makeFile(wideUncPath(linuxPath), plainFile(size));
}

// The folder's archive point marker with this identifier and name.
inline void archivePoint(const std::string& linuxFolder, const std::string& identifier, const std::string& name)
{
    treebuilder::makeArchivePoint(wideUncPath(linuxFolder), treebuilder::archivePointXml(identifier, name));
}

inline void placeholder(const std::string& linuxPath, treebuilder::PlaceholderKind kind, std::uint64_t size = 1024)
{
    treebuilder::makePlaceholder(wideUncPath(linuxPath), {.kind = kind}, archivedFile(size));
}

// The normal-mode summary with its eight counters, in their order.
inline std::string summary(unsigned total, unsigned failedToRead, unsigned notPlaceholders, unsigned good,
                           unsigned bad, unsigned unfixable, unsigned fixed, unsigned failedFixes)
{
    return "\r\nSummary\r\n-------\r\n"
           "Total files:" + std::to_string(total) + "\r\n"
           "Failed to read:" + std::to_string(failedToRead) + "\r\n"
           "Not placeholders:" + std::to_string(notPlaceholders) + "\r\n"
           "Good placeholders:" + std::to_string(good) + "\r\n"
           "Bad placeholders:" + std::to_string(bad) + "\r\n"
           "Placeholders that can't be fixed:" + std::to_string(unfixable) + "\r\n"
           "Fixed placeholders:" + std::to_string(fixed) + "\r\n"
           "Failed to fix placeholders:" + std::to_string(failedFixes) + "\r\n";
}

// The report's name for a target at a given second: the program's own
// reportFileName, whose rules tests/unit/report_file_name_test.cpp checks
// against names written out.
inline std::string reportName(const std::string& target, std::time_t seconds)
{
    return reportFileName(wideText(target), seconds);
}

// Whether `name` is the report's name for `target` in one of the seconds
// from `first` to `last`: those a run lasted.
inline bool isReportNameFor(const std::string& name, const std::string& target, std::time_t first, std::time_t last)
{
    for (std::time_t second = first; second <= last; ++second) {
        if (name == reportName(target, second)) {
            return true;
        }
    }
    return false;
}

// A run made in `folder` by `start` (which returns its RunResult), with what
// it left there: the report files' names, the bytes of the one report if
// there is one, and the seconds the run lasted.
struct RunWithReport {
    testsupport::RunResult result;
    std::vector<std::string> reports;
    std::string report;
    std::time_t first = 0;
    std::time_t last = 0;
};

template <typename Start>
RunWithReport runWithReport(const std::string& folder, Start start)
{
    RunWithReport run;
    run.first = std::time(nullptr);
    run.result = start();
    run.last = std::time(nullptr);
    run.reports = testsupport::reportFiles(folder);
    if (run.reports.size() == 1) {
        run.report = testsupport::readFileBytes(folder + "/" + run.reports.front());
    }
    return run;
}

// Whether the run left one report, named for `target` in a second it lasted.
inline bool namedFor(const RunWithReport& run, const std::string& target)
{
    return run.reports.size() == 1 && isReportNameFor(run.reports.front(), target, run.first, run.last);
}

// How a file outside the current folder is planted under a report's name.
enum class ReportNameLink { Symbolic, Dangling, Hard };

// Under each name the report of `target` may get in `seconds` seconds from
// `first` on, a link in `work` to a file of that name in `elsewhere`, which
// holds `content` (or is not there, for a dangling link). Returns those
// files.
inline std::vector<std::string> linkReportNames(const std::string& target, std::time_t first, int seconds,
                                                const std::string& work, const std::string& elsewhere,
                                                ReportNameLink kind, const std::string& content)
{
    std::vector<std::string> linked;
    for (std::time_t second = first; second < first + seconds; ++second) {
        const std::string name = reportName(target, second);
        linked.push_back(elsewhere + "/" + name);
        if (kind != ReportNameLink::Dangling) {
            std::ofstream(linked.back(), std::ios::binary) << content;
        }
        const std::string link = work + "/" + name;
        EXPECT_EQ(kind == ReportNameLink::Hard ? ::link(linked.back().c_str(), link.c_str())
                                               : ::symlink(linked.back().c_str(), link.c_str()),
                  0)
            << name;
    }
    return linked;
}

// The report as records in the order written: lines ended by CR LF, and the
// failure texts that end with a lone LF. For folders whose entries the file
// system orders as it likes, tests compare these sorted.
inline std::vector<std::string> reportRecords(const std::string& text)
{
    std::vector<std::string> records;
    std::string current;
    for (std::size_t i = 0; i < text.size(); ++i) {
        current += text[i];
        if (text[i] == '\n') {
            records.push_back(current);
            current.clear();
        }
    }
    if (!current.empty()) {
        records.push_back(current);
    }
    return records;
}

// The report text before the summary, as sorted records, and the summary.
struct SplitReport {
    std::vector<std::string> sortedLines;
    std::string summary;
};

inline SplitReport splitReport(const std::string& utf8Report)
{
    SplitReport split;
    std::string::size_type at = utf8Report.rfind("\r\nSummary\r\n-------\r\n");
    if (at == std::string::npos) {
        at = utf8Report.size();
    }
    split.sortedLines = reportRecords(utf8Report.substr(0, at));
    std::sort(split.sortedLines.begin(), split.sortedLines.end());
    split.summary = utf8Report.substr(at);
    return split;
}

// Markers of and above the 1 MiB a run reads. The one of 4 GiB and 1,000
// bytes holds a valid document in its first 1,000 bytes, so reading the
// size's low 32 bits would make its folder an archive point.
struct LargeMarker {
    std::string folder;
    std::uint64_t size;
    std::string skip;  // the skip line's reason; empty: the folder is an archive point
};
inline const std::vector<LargeMarker> kLargeMarkers = {
    {"one-mebibyte", 1048576, ""},
    {"one-byte-more", 1048577,
     "CheckIsFolderAnArchivePoint failed, error(Archive point stream too large, 1048577 bytes (at most 1048576 are "
     "read))"},
    {"four-gibibytes-more", 4294968296,
     "CheckIsFolderAnArchivePoint failed, error(Archive point stream too large, 4294968296 bytes (at most 1048576 "
     "are read))"},
};

// The Linux file `path` of `size` bytes: `document` (UTF-16LE), then UTF-16
// blanks (white space after the root element) up to the size's low 32 bits,
// then a hole.
inline void writeLargeMarker(const std::string& path, const std::string& document, std::uint64_t size)
{
    std::string bytes = document;
    bytes.resize((size & 0xFFFFFFFF) & ~std::uint64_t{1}, '\0');
    for (std::size_t i = document.size(); i + 1 < bytes.size(); i += 2) {
        bytes[i] = ' ';
    }
    FILE* out = std::fopen(path.c_str(), "wb");
    ASSERT_NE(out, nullptr) << path;
    EXPECT_EQ(std::fwrite(bytes.data(), 1, bytes.size(), out), bytes.size());
    EXPECT_EQ(::ftruncate(::fileno(out), static_cast<off_t>(size)), 0);
    std::fclose(out);
}

// The names in a folder (without "." and "..") in the order the kernel
// lists them, which is the order the walk meets them in.
inline std::vector<std::string> listedNames(const std::string& folder)
{
    std::vector<std::string> names;
    DIR* listing = ::opendir(folder.c_str());
    while (struct dirent* entry = listing != nullptr ? ::readdir(listing) : nullptr) {
        if (std::string(entry->d_name) != "." && std::string(entry->d_name) != "..") {
            names.push_back(entry->d_name);
        }
    }
    if (listing != nullptr) {
        ::closedir(listing);
    }
    return names;
}

inline std::vector<std::string> sorted(std::vector<std::string> lines)
{
    std::sort(lines.begin(), lines.end());
    return lines;
}

}  // namespace normalmode
