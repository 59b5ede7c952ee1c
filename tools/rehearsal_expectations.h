// What the sample share must give: each file's verdict, worked out from the
// description that built it, and from that the report each run must write.
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <vector>

#include "platform/win32.h"
#include "tools/tree_builder.h"
#include "tools/tree_description.h"

namespace rehearsal {

// What Stubwarden must say about one file of the share.
struct ExpectedFile {
    enum class Verdict { NotReparsePoint, OtherReparsePoint, Good, Bad };
    WString path;  // below the share's root, names joined by '\'
    std::uint64_t size = 0;
    DWORD attributes = 0;  // FILE_ATTRIBUTE_REPARSE_POINT, _SPARSE_FILE and _OFFLINE, as built
    Verdict verdict = Verdict::NotReparsePoint;
    WString fault;  // Bad: "Incorrect GUID", "Invalid URL", ...
    bool canFix = false;
    treebuilder::Bytes record;    // a reparse point's record as built (none for a link)
    treebuilder::Bytes repaired;  // canFix: the good placeholder the repair must give back
    WString archivePoint;         // the innermost enclosing archive point's identifier; empty outside
};

struct ExpectedArchivePoint {
    WString name;
    WString path;  // below the share's root; empty for the root
};

struct ShareExpectations {
    std::vector<ExpectedFile> files;
    std::map<WString, ExpectedArchivePoint> archivePoints;  // by identifier, in the summary's order
};

// Throws std::runtime_error naming the first line whose outcome cannot be
// worked out beforehand (a marker given as raw XML, a link to a folder, ...).
ShareExpectations expectationsOf(const std::vector<treebuilder::Entry>& entries);

// On a volume that shows no size for reparse points of other kinds
// (keepsSizeOfOtherReparsePoints), Stubwarden lists them at size 0.
void withoutSizesOfOtherReparsePoints(ShareExpectations& share);

// How a run is made, and whether the -fixphs run came before it.
struct RunMode {
    bool verbose = false;
    bool dump = false;
    bool archiveUsage = false;
    bool fix = false;
    bool afterFix = false;
};

// The report a run must write: one text per file that gets a line, by the
// path the report begins it with, with "*" for its creation time; the
// summary block; the exit code.
struct ExpectedReport {
    std::map<WString, WString> lines;
    WString summary;
    std::size_t usageRows = 0;  // archive usage: the rows of the summary
    DWORD exitCode = 0;
};

// `root` is the share's root as the report writes it: \\?\UNC\server\share\...
ExpectedReport expectedReport(const ShareExpectations& share, const RunMode& mode, const WString& root);

// The report's summary heading, which every summary begins with.
extern const WStringView kSummaryHeading;
// The creation time of a file line, "(Created:" up to ", Size:", as "*".
WString withoutCreationTime(const WString& line);

}  // namespace rehearsal
