// stubwarden-report on real reports: the real stubwarden run on real trees
// in every mode and outcome, its report read by the real stubwarden-report
// in each format, and what that wrote read back by other readers: Python's
// json and csv modules, and promtool for Prometheus' text format. Broken
// input gets a clear error and exit code 1.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <functional>
#include <memory>
#include <nlohmann/json.hpp>
#include <regex>
#include <sys/file.h>
#include <unistd.h>

#include "tests/e2e/normal_mode_fixtures.h"

using namespace testsupport;
using namespace normalmode;
using treebuilder::PlaceholderKind;

namespace {

RunResult runReader(const std::vector<std::string>& arguments, const RunOptions& options = {})
{
    return runProgram(STUBWARDEN_REPORT_BINARY, arguments, options);
}

// The lines report_reader_readback.py prints for `text` read as `kind`.
std::vector<std::string> readBack(const std::string& kind, const std::string& text)
{
    TempDir folder;
    const std::string file = folder / ("output." + kind);
    std::ofstream(file, std::ios::binary) << text;
    RunResult read = runProgram("/usr/bin/python3", {std::string(STUBWARDEN_SOURCE_DIR) +
                                                         "/tests/e2e/report_reader_readback.py", kind, file});
    EXPECT_EQ(read.exitCode, 0) << read.standardError;
    std::vector<std::string> lines;
    std::istringstream stream(read.standardOutput);
    for (std::string line; std::getline(stream, line);) {
        lines.push_back(line);
    }
    return lines;
}

std::vector<std::string> withPrefix(const std::vector<std::string>& lines, const std::string& prefix)
{
    std::vector<std::string> kept;
    for (const std::string& line : lines) {
        if (line.rfind(prefix, 0) == 0) {
            kept.push_back(line);
        }
    }
    return kept;
}

// A record as the read-back prints it.
std::string fileRecord(const std::string& path, const std::string& verdict, const std::string& fault = "",
                       const std::string& repair = "", const std::string& error = "",
                       std::optional<unsigned> dumpLength = std::nullopt, std::optional<long long> size = std::nullopt)
{
    nlohmann::json record = {"file", path, verdict, fault, repair, error};
    record.push_back(dumpLength ? nlohmann::json(*dumpLength) : nlohmann::json(""));
    record.push_back(size ? nlohmann::json(*size) : nlohmann::json(""));
    return record.dump();
}

std::string folderRecord(const std::string& path, const std::string& outcome, const std::string& operation,
                         const nlohmann::json& detail)
{
    return nlohmann::json{"folder", path, outcome, operation, detail}.dump();
}

// The eight counters of a normal-mode summary, read from the report's text.
std::vector<unsigned> reportCounters(const std::string& utf8Report)
{
    std::vector<unsigned> counters;
    const std::regex counter(":([0-9]+)\r\n");
    std::string summaryText = splitReport(utf8Report).summary;
    for (std::sregex_iterator it(summaryText.begin(), summaryText.end(), counter), end; it != end; ++it) {
        counters.push_back(static_cast<unsigned>(std::stoul((*it)[1])));
    }
    return counters;
}

// A file this process holds with an exclusive lock, which keeps the
// program's open out (error 32).
class Locked {
public:
    explicit Locked(const std::string& path) : fd_(::open(path.c_str(), O_RDONLY | O_CLOEXEC))
    {
        EXPECT_EQ(::flock(fd_, LOCK_EX | LOCK_NB), 0) << path;
    }
    ~Locked() { ::close(fd_); }
    Locked(const Locked&) = delete;
    Locked& operator=(const Locked&) = delete;

private:
    int fd_;
};

struct Audited {
    std::vector<std::string> options;
    std::string target;  // a Linux path below the share
    std::vector<std::string> files;
    std::vector<std::string> usage;  // rows as the read-back prints them
    bool asNobody = false;
    std::string lockedFile;
};

struct Case {
    const char* name;
    std::function<Audited(const std::string& share)> build;
};

std::string usageRow(const std::string& name, const std::string& root, const char* archived, const char* nonArchived)
{
    return nlohmann::json{"usage", name, root, archived, nonArchived}.dump();
}

const std::vector<Case> kCases = {
    {"normal mode: only the bad placeholders",
     [](const std::string& share) {
         placeholder(share + "/good.doc", PlaceholderKind::Good);
         placeholder(share + "/guid.doc", PlaceholderKind::WrongGuid);
         placeholder(share + "/misplaced.doc", PlaceholderKind::Misplaced);
         makePlainFile(share + "/plain.txt", 10);
         return Audited{{}, share, {fileRecord(reportPath(share) + "\\guid.doc", "bad", "Incorrect GUID"),
                                  fileRecord(reportPath(share) + "\\misplaced.doc", "bad", "Invalid URL")}};
     }},
    {"-v: every file with its description",
     [](const std::string& share) {
         placeholder(share + "/good.doc", PlaceholderKind::Good, 4096);
         placeholder(share + "/magic.doc", PlaceholderKind::WrongMagic);
         makePlainFile(share + "/plain.txt", 10);
         treebuilder::makeFile(wideUncPath(share + "/huge.iso"), plainFile(5368709120));
         ::symlink("plain.txt", (share + "/link").c_str());
         const std::string p = reportPath(share);
         return Audited{{"-v"}, share, {fileRecord(p + "\\good.doc", "good", "", "", "", std::nullopt, 4096),
                                      fileRecord(p + "\\magic.doc", "bad", "Incorrect magic value", "", "", std::nullopt, 1024),
                                      fileRecord(p + "\\plain.txt", "not-reparse-point", "", "", "", std::nullopt, 10),
                                      fileRecord(p + "\\huge.iso", "not-reparse-point", "", "", "", std::nullopt, 5368709120),
                                      fileRecord(p + "\\link", "other-reparse-point", "", "", "", std::nullopt, 0)}};
     }},
    {"-v -d -fixphs: dumps, a repair and a record that cannot be fixed",
     [](const std::string& share) {
         treebuilder::makePlaceholder(wideUncPath(share + "/signature.doc"),
                                      {.kind = PlaceholderKind::WrongSignature, .dataLength = 17}, archivedFile());
         treebuilder::makePlaceholder(wideUncPath(share + "/empty.doc"),
                                      {.kind = PlaceholderKind::WrongGuid, .dataLength = 0}, archivedFile());
         treebuilder::makePlaceholder(wideUncPath(share + "/misplaced.doc"),
                                      {.kind = PlaceholderKind::Misplaced, .dataLength = 2630}, archivedFile());
         const std::string p = reportPath(share);
         return Audited{{"-v", "-d", "-fixphs"}, share,
                      {fileRecord(p + "\\signature.doc", "bad", "Incorrect signature", "cannot-fix", "", 17, 1024),
                       fileRecord(p + "\\empty.doc", "bad", "Incorrect GUID", "cannot-fix", "", 0, 1024),
                       fileRecord(p + "\\misplaced.doc", "bad", "Invalid URL", "fixed", "", 2630, 1024)}};
     }},
    {"-d without -fixphs: the dump leaves an empty line",
     [](const std::string& share) {
         treebuilder::makePlaceholder(wideUncPath(share + "/url.doc"), {.kind = PlaceholderKind::WrongUrl},
                                      archivedFile());
         makePlainFile(share + "/plain.txt", 1);
         return Audited{{"-d"}, share, {fileRecord(reportPath(share) + "\\url.doc", "bad", "Invalid URL", "", "", 126)}};
     }},
    {"an account without the privilege: a folder skipped, a repair refused",
     [](const std::string& share) {
         makeFolder(share + "/closed", 0);
         placeholder(share + "/misplaced.doc", PlaceholderKind::Misplaced);
         const std::string p = reportPath(share);
         Audited setup{{"-fixphs"}, share,
                     {fileRecord(p + "\\misplaced.doc", "bad", "Invalid URL", "fix-failed", "CreateFile:5"),
                      folderRecord(p + "\\closed", "skipped", "FindFirstFileExW", 5)}};
         setup.asNobody = true;
         return setup;
     }},
    {"a file held by another process: the failure line that ends in LF",
     [](const std::string& share) {
         placeholder(share + "/held.doc", PlaceholderKind::Good);
         placeholder(share + "/guid.doc", PlaceholderKind::WrongGuid);
         Audited setup{{"-v"}, share,
                     {fileRecord(reportPath(share) + "\\held.doc", "read-failed", "", "", "CreateFile:32", std::nullopt, 1024),
                      fileRecord(reportPath(share) + "\\guid.doc", "bad", "Incorrect GUID", "", "", std::nullopt, 1024)}};
         setup.lockedFile = share + "/held.doc";
         return setup;
     }},
    {"-archiveusage: rows, a held file's LF CR LF, a bad placeholder, an unreadable marker",
     [](const std::string& share) {
         makeFolder(share + "/finance");
         archivePoint(share + "/finance", "{F1}", "Finance");
         placeholder(share + "/finance/q1.pdf", PlaceholderKind::Good, 2048);
         placeholder(share + "/finance/q2.pdf", PlaceholderKind::Good, 1000);
         placeholder(share + "/finance/url.pdf", PlaceholderKind::WrongUrl, 512);
         makePlainFile(share + "/finance/notes.txt", 1536);
         makeFolder(share + "/broken");
         treebuilder::makeArchivePoint(wideUncPath(share + "/broken"), "not xml");
         makePlainFile(share + "/outside.txt", 5);
         const std::string p = reportPath(share);
         Audited setup{{"-archiveusage"}, share,
                     {fileRecord(p + "\\finance\\q2.pdf", "read-failed", "", "", "CreateFile:32"),
                      fileRecord(p + "\\finance\\url.pdf", "bad", "Invalid URL"),
                      folderRecord(p + "\\broken", "skipped", "CheckIsFolderAnArchivePoint",
                                   "Failed to load archive point xml")},
                     {usageRow("Finance", p + "\\finance", "2.00", "2.98")}};
         setup.lockedFile = share + "/finance/q2.pdf";
         return setup;
     }},
    {"-archiveusage -v: every verdict of the mode",
     [](const std::string& share) {
         makeFolder(share + "/a");
         archivePoint(share + "/a", "{A}", "Tab\tname");
         placeholder(share + "/a/good.pdf", PlaceholderKind::Good, 1024);
         placeholder(share + "/a/guid.pdf", PlaceholderKind::WrongGuid, 128);
         treebuilder::FileSpec online = archivedFile(256);
         online.attributes = FILE_ATTRIBUTE_REPARSE_POINT | FILE_ATTRIBUTE_SPARSE_FILE;
         treebuilder::makePlaceholder(wideUncPath(share + "/a/online.pdf"), {}, online);
         makePlainFile(share + "/outside.txt", 5);
         const std::string p = reportPath(share);
         return Audited{{"-ArchiveUsage", "-v"}, share,
                      {fileRecord(p + "\\a\\good.pdf", "good", "", "", "", std::nullopt, 1024),
                       fileRecord(p + "\\a\\guid.pdf", "bad", "Incorrect GUID", "", "", std::nullopt, 128),
                       fileRecord(p + "\\a\\online.pdf", "not-archived", "", "", "", std::nullopt, 256),
                       fileRecord(p + "\\outside.txt", "outside-archive-point")},
                      {usageRow("Tab\tname", p + "\\a", "1.00", "0.38")}};
     }},
    {"-archiveusage on one bad file: the normal check's line, exit code 2",
     [](const std::string& share) {
         placeholder(share + "/guid.doc", PlaceholderKind::WrongGuid);
         return Audited{{"-archiveusage", "-d"}, share + "/guid.doc",
                      {fileRecord(reportPath(share) + "\\guid.doc", "bad", "Incorrect GUID", "", "", 128)}};
     }},
    // The quotes and the line end of a Linux name are reported as the
    // private-use characters NTFS names hold in their place (U+F022, U+F00D,
    // U+F00A), so the comma and the verdict-like text are what is left to
    // quote.
    {"names with a comma, quotes, a line end and a byte that is not UTF-8",
     [](const std::string& share) {
         placeholder(share + "/odd, \"quoted\"\r\nname, Invalid URL", PlaceholderKind::WrongMagic);
         placeholder(share + "/latin-\xe9.doc", PlaceholderKind::WrongGuid);
         const std::string p = reportPath(share);
         return Audited{{"-fixphs"}, share,
                      {fileRecord(p + "\\odd, \xef\x80\xa2quoted\xef\x80\xa2\xef\x80\x8d\xef\x80\x8aname, Invalid URL", "bad",
                                  "Incorrect magic value", "cannot-fix"),
                       fileRecord(p + "\\latin-\xef\xbf\xbd.doc", "bad", "Incorrect GUID", "cannot-fix")}};
     }},
    {"an empty folder",
     [](const std::string& share) { return Audited{{}, share, {}}; }},
};

std::vector<std::string> sortedLines(std::vector<std::string> lines) { return sorted(std::move(lines)); }

TEST(ReportReader, ReadsEveryModeAndOutcomeInEachFormat)
{
    for (const Case& testCase : kCases) {
        SCOPED_TRACE(testCase.name);
        TempDir tree;
        TempDir work;
        ::chmod(work.path().c_str(), 0777);
        const std::string share = makeFolder(tree / "share");
        Audited setup = testCase.build(share);
        std::unique_ptr<Locked> locked;
        if (!setup.lockedFile.empty()) {
            locked = std::make_unique<Locked>(setup.lockedFile);
        }
        std::vector<std::string> arguments = setup.options;
        arguments.push_back(uncPath(setup.target));
        RunOptions options{.workingDirectory = work.path()};
        RunResult audit = setup.asNobody ? runAsNobody(arguments, options) : runStubwarden(arguments, options);
        locked.reset();
        ASSERT_EQ(audit.standardError, "");
        std::vector<std::string> reports = reportFiles(work.path());
        ASSERT_EQ(reports.size(), 1u);
        const std::string name = reports.front();
        const std::string reportFile = work / name;
        const std::string target = name.substr(0, name.rfind('-'));
        const std::string seconds = name.substr(name.rfind('-') + 1, name.size() - name.rfind('-') - 5);
        const std::string utf8Report = fromUtf16le(readFileBytes(reportFile));
        const bool usageMode = utf8Report.find("\r\nArchiveName\t") != std::string::npos;

        // JSON and CSV, read back by Python: the same lines, the ones expected.
        RunResult json = runReader({"--json", reportFile});
        ASSERT_EQ(json.exitCode, 0) << json.standardError;
        EXPECT_EQ(json.standardError, "");
        std::vector<std::string> fromJson = readBack("json", json.standardOutput);
        RunResult csv = runReader({"--csv", reportFile});
        ASSERT_EQ(csv.exitCode, 0) << csv.standardError;
        std::vector<std::string> fromCsv = readBack("csv", csv.standardOutput);
        std::vector<std::string> lines = withPrefix(fromJson, "[\"file\"");
        for (const std::string& folder : withPrefix(fromJson, "[\"folder\"")) {
            lines.push_back(folder);
        }
        EXPECT_EQ(sortedLines(lines), sortedLines(setup.files));
        EXPECT_EQ(sortedLines(fromCsv), sortedLines(lines));
        EXPECT_EQ(withPrefix(fromJson, "[\"usage\""), setup.usage);
        ASSERT_FALSE(fromJson.empty());
        // The exit code derived from the report is the one the run ended with.
        nlohmann::json facts = nlohmann::json::parse(fromJson.front());
        EXPECT_EQ(facts[1], name);
        EXPECT_EQ(facts[2], target);
        EXPECT_EQ(facts[3], std::stoll(seconds));
        EXPECT_EQ(facts[5], audit.exitCode);
        EXPECT_EQ(facts[6], usageMode ? "archive-usage" : "normal");
        if (!usageMode) {
            std::vector<unsigned> counters = reportCounters(utf8Report);
            ASSERT_EQ(counters.size(), 8u);
            nlohmann::json expected = nlohmann::json::array({"summary"});
            for (unsigned counter : counters) {
                expected.push_back(counter);
            }
            EXPECT_EQ(withPrefix(fromJson, "[\"summary\""), std::vector<std::string>{expected.dump()});
        }

        // The summary line: the facts first, and the counters of the report.
        RunResult summaryLine = runReader({"--summary", reportFile});
        ASSERT_EQ(summaryLine.exitCode, 0) << summaryLine.standardError;
        const std::string start = "report=" + name + " target=" + target + " start_time=" + seconds +
                                  " start_time_utc=" + facts[4].get<std::string>() +
                                  " exit_code=" + std::to_string(audit.exitCode) +
                                  (usageMode ? " mode=archive-usage " : " mode=normal ");
        EXPECT_EQ(summaryLine.standardOutput.rfind(start, 0), 0u) << summaryLine.standardOutput;
        EXPECT_EQ(std::count(summaryLine.standardOutput.begin(), summaryLine.standardOutput.end(), '\n'), 1);

        // Prometheus' own checker accepts the metrics, which carry the run.
        RunResult metrics = runReader({"--prometheus", reportFile});
        ASSERT_EQ(metrics.exitCode, 0) << metrics.standardError;
        TempDir checked;
        std::ofstream(checked / "metrics.prom", std::ios::binary) << metrics.standardOutput;
        RunResult promtool = runProgram("/bin/sh", {"-c", "promtool check metrics < \"$0\"", checked / "metrics.prom"});
        EXPECT_EQ(promtool.exitCode, 0) << promtool.standardOutput << promtool.standardError << metrics.standardOutput;
        EXPECT_EQ(promtool.standardOutput + promtool.standardError, "");
        const std::string label = "{target=\"" + target + "\"} ";
        EXPECT_NE(metrics.standardOutput.find("\nstubwarden_audit_exit_code" + label + std::to_string(audit.exitCode) + "\n"),
                  std::string::npos)
            << metrics.standardOutput;
        EXPECT_NE(metrics.standardOutput.find("\nstubwarden_audit_start_time_seconds" + label + seconds + "\n"),
                  std::string::npos);
    }
}

// The whole summary line and the metrics of one report, byte for byte.
TEST(ReportReader, TheSummaryLineAndTheMetricsOfAReportAreExact)
{
    TempDir tree;
    TempDir work;
    const std::string share = makeFolder(tree / "share");
    placeholder(share + "/guid.doc", PlaceholderKind::WrongGuid);
    placeholder(share + "/misplaced.doc", PlaceholderKind::Misplaced);
    placeholder(share + "/good.doc", PlaceholderKind::Good);
    RunResult audit = runStubwarden({"-fixphs", uncPath(share)}, {.workingDirectory = work.path()});
    ASSERT_EQ(audit.exitCode, 2);
    const std::string name = reportFiles(work.path()).front();
    // The report as if the run had started at 1765350000, under the name of
    // the target "\\fs01\users\ann".
    const std::string renamed = work / "fs01-users-ann-1765350000.txt";
    ASSERT_EQ(::rename((work / name).c_str(), renamed.c_str()), 0);

    RunResult summaryLine = runReader({"--summary", renamed});
    EXPECT_EQ(summaryLine.exitCode, 0);
    EXPECT_EQ(summaryLine.standardOutput,
              "report=fs01-users-ann-1765350000.txt target=fs01-users-ann start_time=1765350000 "
              "start_time_utc=2025-12-10T07:00:00Z exit_code=2 mode=normal total_files=3 failed_to_read=0 "
              "not_placeholders=0 good_placeholders=1 bad_placeholders=2 unfixable_placeholders=1 "
              "fixed_placeholders=1 failed_fixes=0 skipped_folders=0 partially_processed_folders=0\n");

    RunResult metrics = runReader({"--prometheus", renamed});
    EXPECT_EQ(metrics.exitCode, 0);
    std::string samples;
    std::istringstream stream(metrics.standardOutput);
    for (std::string line; std::getline(stream, line);) {
        if (line.rfind("#", 0) != 0) {
            samples += line + "\n";
        }
    }
    EXPECT_EQ(samples, "stubwarden_audit_start_time_seconds{target=\"fs01-users-ann\"} 1765350000\n"
                       "stubwarden_audit_exit_code{target=\"fs01-users-ann\"} 2\n"
                       "stubwarden_audit_archive_usage{target=\"fs01-users-ann\"} 0\n"
                       "stubwarden_audit_total_files{target=\"fs01-users-ann\"} 3\n"
                       "stubwarden_audit_failed_to_read{target=\"fs01-users-ann\"} 0\n"
                       "stubwarden_audit_not_placeholders{target=\"fs01-users-ann\"} 0\n"
                       "stubwarden_audit_good_placeholders{target=\"fs01-users-ann\"} 1\n"
                       "stubwarden_audit_bad_placeholders{target=\"fs01-users-ann\"} 2\n"
                       "stubwarden_audit_unfixable_placeholders{target=\"fs01-users-ann\"} 1\n"
                       "stubwarden_audit_fixed_placeholders{target=\"fs01-users-ann\"} 1\n"
                       "stubwarden_audit_failed_fixes{target=\"fs01-users-ann\"} 0\n"
                       "stubwarden_audit_skipped_folders{target=\"fs01-users-ann\"} 0\n"
                       "stubwarden_audit_partially_processed_folders{target=\"fs01-users-ann\"} 0\n");
}

// Archive usage totals: KB as the report writes them, bytes as the metrics
// give them (KB times 1024, exact to the hundredth of a KB).
TEST(ReportReader, UsageTotalsAreTheReportsKbInBytes)
{
    TempDir tree;
    TempDir work;
    const std::string share = makeFolder(tree / "share");
    for (const char* folder : {"a", "b"}) {
        makeFolder(share + "/" + folder);
        archivePoint(share + "/" + folder, std::string("{") + folder + "}", std::string("Archive \"") + folder + "\"");
    }
    placeholder(share + "/a/big.iso", PlaceholderKind::Good, 5368709120);
    makePlainFile(share + "/a/small.txt", 128);
    makePlainFile(share + "/b/half.txt", 1536);
    RunResult audit = runStubwarden({"-archiveusage", uncPath(share)}, {.workingDirectory = work.path()});
    ASSERT_EQ(audit.exitCode, 0);
    const std::string report = work / reportFiles(work.path()).front();
    RunResult summaryLine = runReader({"--summary", report});
    const std::string p = reportPath(share);
    EXPECT_NE(summaryLine.standardOutput.find(
                  " mode=archive-usage archive_points=2 archived_kb=5242880.00 non_archived_kb=1.63 "
                  "archive_point_1_name=\"Archive \\\"a\\\"\" archive_point_1_root_path=" + p + "\\a "
                  "archive_point_1_archived_kb=5242880.00 archive_point_1_non_archived_kb=0.13 "
                  "archive_point_2_name=\"Archive \\\"b\\\"\" archive_point_2_root_path=" + p + "\\b "
                  "archive_point_2_archived_kb=0.00 archive_point_2_non_archived_kb=1.50 skipped_folders=0"),
              std::string::npos)
        << summaryLine.standardOutput;
    RunResult metrics = runReader({"--prometheus", report});
    const std::string name = reportFiles(work.path()).front();
    const std::string target = name.substr(0, name.rfind('-'));
    std::string rootLabel = p + "\\a";
    std::string escaped;
    for (char c : rootLabel) {
        escaped += c == '\\' ? "\\\\" : std::string(1, c);
    }
    for (const std::string& sample :
         {"stubwarden_audit_archived_bytes{target=\"" + target + "\"} 5368709120.00\n",
          "stubwarden_archive_point_non_archived_bytes{target=\"" + target + "\",archive_point=\"Archive \\\"a\\\"\",root_path=\"" + escaped + "\"} 133.12\n"}) {
        EXPECT_NE(metrics.standardOutput.find(sample), std::string::npos) << sample << " in\n" << metrics.standardOutput;
    }
}

TEST(ReportReader, OutputGoesWholeToTheFileNamedAndIsRenamedIntoPlace)
{
    TempDir tree;
    TempDir work;
    const std::string share = makeFolder(tree / "share");
    placeholder(share + "/guid.doc", PlaceholderKind::WrongGuid);
    runStubwarden({uncPath(share)}, {.workingDirectory = work.path()});
    const std::string report = work / reportFiles(work.path()).front();
    TempDir metrics;
    const std::string prom = metrics / "stubwarden-share.prom";
    std::ofstream(prom) << "old\n";
    RunResult written = runReader({"--prometheus", "-o", prom, report});
    EXPECT_EQ(written.exitCode, 0) << written.standardError;
    EXPECT_EQ(written.standardOutput, "");
    EXPECT_EQ(readFileBytes(prom), runReader({"--prometheus", report}).standardOutput);
    EXPECT_EQ(std::vector<std::string>{"stubwarden-share.prom"}, listedNames(metrics.path()));

    // A folder that cannot be written: exit 1, and the old file stays.
    RunResult refused = runReader({"--json", "-o", metrics / "missing/out.json", report});
    EXPECT_EQ(refused.exitCode, 1);
    EXPECT_NE(refused.standardError.find("stubwarden-report: cannot write "), std::string::npos) << refused.standardError;
}

// Files that are not a whole report: one line on standard error naming the
// file and the reason, nothing on standard output, exit code 1.
TEST(ReportReader, BrokenInputIsRefusedWithAClearError)
{
    TempDir tree;
    TempDir work;
    const std::string share = makeFolder(tree / "share");
    placeholder(share + "/guid.doc", PlaceholderKind::WrongGuid);
    runStubwarden({"-v", uncPath(share)}, {.workingDirectory = work.path()});
    const std::string report = readFileBytes(work / reportFiles(work.path()).front());
    const std::string elf = readFileBytes(STUBWARDEN_REPORT_BINARY).substr(0, 4096);
    const std::string lines = utf16le(reportPath(share) + "\\guid.doc: Incorrect GUID\r\n");
    struct Broken {
        const char* name;
        std::string file;
        std::string bytes;
        std::string reason;
    };
    const std::vector<Broken> broken = {
        {"cut inside a character", "srv-share-1765350000.txt", report.substr(0, report.size() - 1),
         "its length is an odd number of bytes: not UTF-16LE text, or cut short"},
        {"cut inside the summary", "srv-share-1765350000.txt", report.substr(0, report.size() - 40),
         "it has no summary at its end: the run did not finish (it failed, or is still running), the file is cut "
         "short, or it is no report"},
        {"cut before the summary", "srv-share-1765350000.txt", lines,
         "it has no summary at its end: the run did not finish (it failed, or is still running), the file is cut "
         "short, or it is no report"},
        {"UTF-8 text", "srv-share-1765350000.txt", "Total files:1\r\nSummary\r\n",
         "it has no summary at its end: the run did not finish (it failed, or is still running), the file is cut "
         "short, or it is no report"},
        {"a program", "srv-share-1765350000.txt", elf, "it holds a NUL character: not UTF-16LE text"},
        {"empty: a run that failed", "srv-share-1765350000.txt", "",
         "it is empty: the run failed before it wrote anything (its reason went to standard error)"},
        {"a byte-order mark", "srv-share-1765350000.txt", "\xff\xfe" + report, "it begins with a byte-order mark, which a report never has"},
        {"a line the program never writes", "srv-share-1765350000.txt", utf16le("Hello\r\n") + report,
         "line 1 is not a line the program writes: \"Hello\""},
        {"a report under another name", "report.txt", report, "its name is not a report's name, <target>-<seconds>.txt"},
        {"no seconds in the name", "srv-share-x.txt", report, "its name is not a report's name, <target>-<seconds>.txt"},
    };
    TempDir files;
    for (const Broken& file : broken) {
        SCOPED_TRACE(file.name);
        const std::string path = files / file.file;
        std::ofstream(path, std::ios::binary | std::ios::trunc) << file.bytes;
        for (const char* format : {"--summary", "--json", "--csv", "--prometheus"}) {
            RunResult read = runReader({format, path});
            EXPECT_EQ(read.exitCode, 1);
            EXPECT_EQ(read.standardOutput, "");
            EXPECT_EQ(read.standardError, "stubwarden-report: " + path + ": not a report: " + file.reason + "\n");
        }
    }
    RunResult missing = runReader({"--json", files / "gone-1765350000.txt"});
    EXPECT_EQ(missing.exitCode, 1);
    EXPECT_EQ(missing.standardError, "stubwarden-report: " + files / "gone-1765350000.txt" + ": cannot read it: No such file or directory\n");
    RunResult folder = runReader({"--json", files.path()});
    EXPECT_EQ(folder.exitCode, 1);
    EXPECT_EQ(folder.standardError, "stubwarden-report: " + files.path() + ": it is not a file\n");
}

TEST(ReportReader, ABadCommandLineGetsTheUsageAndExitCode1)
{
    for (const std::vector<std::string>& arguments :
         std::vector<std::vector<std::string>>{{}, {"--json"}, {"x-1.txt"}, {"--json", "--csv", "x-1.txt"},
                                               {"--xml", "x-1.txt"}, {"--json", "x-1.txt", "y-1.txt"},
                                               {"--json", "x-1.txt", "-o"}}) {
        RunResult read = runReader(arguments);
        EXPECT_EQ(read.exitCode, 1);
        EXPECT_EQ(read.standardOutput, "");
        EXPECT_NE(read.standardError.find("\nUsage: stubwarden-report "), std::string::npos) << read.standardError;
    }
    RunResult help = runReader({"--help"});
    EXPECT_EQ(help.exitCode, 0);
    EXPECT_EQ(help.standardOutput.rfind("Usage: stubwarden-report ", 0), 0u);
}

}  // namespace
