// A Stubwarden report read back: every file line, folder line and the
// summary, parsed exactly as the program writes them, for stubwarden-report.
// Text is kept as the report's UTF-16 code units; utf8() turns it into UTF-8
// for output, with U+FFFD for a code unit that is not part of a valid pair.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

namespace reportreading {

// A file that is not a report (or not a whole one); the message says why.
class NotAReport : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// A failed Windows call as the report names it: "CreateFile:32".
struct Failure {
    std::string operation;
    std::uint32_t code = 0;
};

// The verbose description: "(Created:<time>, Size:<n>[, Reparse point][, Sparse][, Offline]):".
struct Description {
    std::string created;  // as written, "15/01/23 10:20:30 GMT"; empty when the program could not format it
    std::int64_t size = 0;
    bool reparsePoint = false;
    bool sparse = false;
    bool offline = false;
};

struct Dump {
    unsigned length = 0;  // ReparseDataLength
    std::string bytes;    // the dumped data area, as raw bytes
};

enum class Verdict {
    NotReparsePoint,     // "Not a reparse point"
    OtherReparsePoint,   // "None QM"
    Good,                // "Valid QM PH"
    Bad,                 // a fault text
    ReadFailed,          // "Failed to interogate file" / "Failed to determine QM ph"
    OutsideArchivePoint, // archive usage: ": Not inside an archive point"
    NotArchived,         // archive usage: "Not an QM PH"
};

enum class Repair { None, Fixed, Failed, CannotFix };

struct FileLine {
    std::u16string path;
    Verdict verdict = Verdict::Good;
    std::optional<Description> description;  // verbose lines only
    std::string fault;                        // Bad: "Invalid URL", ...
    std::optional<Dump> dump;                 // Bad with -d
    Repair repair = Repair::None;             // Bad with -fixphs
    std::optional<Failure> repairFailure;     // Repair::Failed
    std::optional<Failure> readFailure;       // ReadFailed
};

enum class FolderOutcome { Skipped, PartiallyProcessed };

struct FolderLine {
    std::u16string path;
    FolderOutcome outcome = FolderOutcome::Skipped;
    std::string operation;                // FindFirstFileExW, FindNextFile, CheckIsFolderAnArchivePoint
    std::optional<std::uint32_t> code;    // the two enumeration failures
    std::u16string message;               // the marker failure's message
};

struct Entry {
    std::size_t line = 0;  // the report line it begins on, from 1
    std::optional<FileLine> file;
    std::optional<FolderLine> folder;
};

struct UsageRow {
    std::u16string archiveName;
    std::u16string rootPath;
    std::string archivedKb;     // as written, "1.50"
    std::string nonArchivedKb;
};

inline constexpr std::size_t kCounterCount = 8;
// The counters' names in the order of the summary.
extern const std::array<const char*, kCounterCount> kCounterNames;

struct Report {
    std::string fileName;  // UTF-8
    std::string target;    // the name before "-<seconds>.txt"
    std::int64_t startTime = 0;
    bool archiveUsage = false;
    std::array<std::uint32_t, kCounterCount> counters{};  // normal mode
    std::vector<UsageRow> usage;                          // archive usage mode
    std::vector<Entry> entries;
    int exitCode = 0;
};

// Parses a report's bytes; `fileName` is its name without any folder.
// Throws NotAReport.
Report parseReport(const std::string& fileName, const std::string& bytes);

std::string utf8(const std::u16string& text);
// "2023-11-14T22:13:20Z"
std::string utcTimeText(std::int64_t seconds);
// "1.50" KB -> "1536.00" bytes, exactly.
std::string kbToBytes(const std::string& kb);

}  // namespace reportreading
