// The Windows executable end to end under Wine: what Wine can show of it.
// Wine has no placeholders (its files are never reparse points), so this
// suite covers the command line, the error lines, the report file, the walk,
// ordinary files in both modes, the privilege calls, archive point markers
// read by Wine's MSXML 3, the usage table and the progress dots.
//
// Where a folder holds more than one entry, the order is Wine's: those
// reports are compared as sorted lines plus the exact summary.
#include <gtest/gtest.h>

#include <filesystem>
#include <regex>
#include <sstream>
#include <sys/stat.h>
#include <unistd.h>

#include "platform/unique_resource.h"
#include "tests/e2e/normal_mode_fixtures.h"
#include "tests/support/release_artefacts.h"
#include "tests/wine/wine_support.h"

using namespace testsupport;
using namespace winetest;
using normalmode::kCreatedText;
using normalmode::isReportNameFor;
using normalmode::namedFor;
using normalmode::RunWithReport;
using normalmode::runWithReport;
using normalmode::sorted;
using normalmode::splitReport;
using normalmode::SplitReport;
using normalmode::summary;

namespace {

const std::string kUsageLine = "Usage: Stubwarden [-v] [-d] [-fixphs] [-ArchiveUsage] <target>\r\n";
const std::string kEmptySummary = summary(0, 0, 0, 0, 0, 0, 0, 0);

// Text with LF line ends as the C runtime writes it to a console stream.
std::string withCrLfLineEnds(const std::string& text)
{
    std::string out;
    for (char c : text) {
        out += c == '\n' ? std::string("\r\n") : std::string(1, c);
    }
    return out;
}

// The Windows build run in a new working folder, with the report it left there.
RunWithReport windowsRun(const std::vector<std::string>& arguments, RunOptions options = {})
{
    TempDir work;
    options.workingDirectory = work.path();
    return runWithReport(work.path(), [&] { return runWindowsBuild(arguments, options); });
}

// Whether `text` is `lead`, then the report's name for `target` in one of
// the seconds from `first` to `last`, then a line end.
bool namesTheReport(const std::string& text, const std::string& lead, const std::string& target, std::time_t first,
                    std::time_t last)
{
    return text.size() >= lead.size() + 2 && text.starts_with(lead) && text.ends_with("\r\n") &&
           isReportNameFor(text.substr(lead.size(), text.size() - lead.size() - 2), target, first, last);
}

TEST(WindowsBuild, RejectedCommandLinesPrintTheUsageLineAndCreateNoReport)
{
    for (const auto& arguments : normalmode::kRejectedCommandLines) {
        SCOPED_TRACE(::testing::PrintToString(arguments));
        RunWithReport run = windowsRun(arguments);
        EXPECT_EQ(run.result.exitCode, 1);
        EXPECT_EQ(run.result.standardError, kUsageLine);
        EXPECT_EQ(run.result.standardOutput, "");
        EXPECT_TRUE(run.reports.empty());
    }
}

// --help, -h, -? and /? print the help, --version the version, on standard
// output, wherever they stand; exit code 0 and no report.
TEST(WindowsBuild, HelpAndVersionArePrintedAndNoReportIsMade)
{
    std::vector<std::pair<std::vector<std::string>, std::string>> cases;
    for (const auto& arguments : normalmode::kHelpCommandLines) {
        cases.emplace_back(arguments, normalmode::kHelpText);
    }
    for (const auto& arguments : normalmode::kVersionCommandLines) {
        cases.emplace_back(arguments, "stubwarden " + projectVersion() + "\n");
    }
    for (const auto& [arguments, output] : cases) {
        SCOPED_TRACE(::testing::PrintToString(arguments));
        TempDir work;
        RunResult run = runWindowsBuild(arguments, {.workingDirectory = work.path()});
        EXPECT_EQ(run.exitCode, 0);
        EXPECT_EQ(run.standardOutput, withCrLfLineEnds(output));
        EXPECT_EQ(run.standardError, "");
        EXPECT_TRUE(std::filesystem::is_empty(work.path()));
    }
}

// A target that cannot be read leaves an empty report; a report that cannot
// be opened leaves none. Windows forbids "|" in file names, and the ANSI code
// page (1252) has no CJK characters, which become "?", forbidden too.
TEST(WindowsBuild, FailuresThatEndTheRunPrintOneErrorLine)
{
    SharedFolder share;
    const std::string root = folder(share / "share");
    const struct {
        std::string target;
        std::string nameTarget;  // the target as the report name is made from it
        std::string error;       // without the report's name, when it has one
        bool reportMade;
    } cases[] = {
        {uncPath(root + "/missing"), uncPath(root + "/missing"),
         "Error:GetFileAttributes:2, path:" + reportPath(root + "/missing") + "\r\n", true},
        {uncPath(root + "/missing/deeper"), uncPath(root + "/missing/deeper"),
         "Error:GetFileAttributes:3, path:" + reportPath(root + "/missing/deeper") + "\r\n", true},
        // The whole line, in the ANSI code page: "Ł" becomes its best fit "L",
        // "ó" is the byte 0xF3, and nothing after them is lost.
        {uncPath(root + "/Łódź/x"), uncPath(root + "/Lódz/x"),
         "Error:GetFileAttributes:3, path:" + reportPath(root) + "\\L\xF3" "dz\\x\r\n", true},
        {uncPath(root + "/a|b"), uncPath(root + "/a|b"), "Error:Failed to open report file:", false},
        {uncPath(root + "/東京"), uncPath(root + "/??"), "Error:Failed to open report file:", false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.target);
        RunWithReport run = windowsRun({c.target});
        EXPECT_EQ(run.result.exitCode, 1);
        EXPECT_EQ(run.result.standardOutput, "");
        if (c.reportMade) {
            EXPECT_EQ(run.result.standardError, c.error);
            EXPECT_TRUE(namedFor(run, c.nameTarget)) << ::testing::PrintToString(run.reports);
            EXPECT_EQ(run.report, "");
            continue;
        }
        EXPECT_TRUE(run.reports.empty());
        EXPECT_TRUE(namesTheReport(run.result.standardError, c.error, c.nameTarget, run.first, run.last))
            << run.result.standardError;
    }
}

// A link planted under the report's name in the current folder is not
// written through: the report is opened on the link itself, and refused when
// it is a reparse point or has another name (a hard link) before anything of
// it is emptied. Wine shows a Linux hard link as a file of two links, and
// follows a Linux symbolic link to a file as Samba does (it is no reparse
// point there), so only the hard link can be shown here.
TEST(WindowsBuild, AHardLinkInThePlaceOfTheReportIsNotWrittenThrough)
{
    SharedFolder share;
    const std::string root = folder(share / "share");
    const std::string target = uncPath(root);
    const std::string precious = "precious data, not a report\n";
    TempDir elsewhere;
    TempDir work;
    std::time_t first = std::time(nullptr);
    std::vector<std::string> victims = normalmode::linkReportNames(target, first, 30, work.path(), elsewhere.path(),
                                                                   normalmode::ReportNameLink::Hard, precious);
    RunResult result = runWindowsBuild({target}, {.workingDirectory = work.path()});
    std::time_t last = std::time(nullptr);
    ASSERT_LT(last, first + 30);
    EXPECT_EQ(result.exitCode, 1);
    EXPECT_TRUE(namesTheReport(result.standardError, "Error:Failed to open report file:", target, first, last))
        << result.standardError;
    for (const std::string& victim : victims) {
        EXPECT_EQ(readFileBytes(victim), precious) << victim;
    }
}

// The name from the target as given and the start time, in the ANSI code
// page: "ü" and "ß" are in it, "Ł" and "ź" become their best fit. The report
// is UTF-16LE without a byte-order mark.
TEST(WindowsBuild, ReportFileNameAndBytes)
{
    SharedFolder share;
    const std::string base = share.path().substr(1);  // "tmp/stubwarden-test-XXXXXX"
    std::string dashed = base;
    std::replace(dashed.begin(), dashed.end(), '/', '-');
    const std::string grusse = folder(share / "Grüße");
    const std::string lodz = folder(share / "Łódź");
    const struct {
        std::string target;
        std::string nameWithoutTime;
    } cases[] = {
        {uncPath(grusse), dashed + "-Grüße"},
        {reportPath(grusse), dashed + "-Grüße"},
        {uncPath(lodz), dashed + "-Lódz"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.target);
        RunWithReport run = windowsRun({c.target});
        EXPECT_EQ(run.result.exitCode, 0);
        EXPECT_EQ(run.result.standardError, "");
        ASSERT_EQ(run.reports.size(), 1u);
        bool named = false;
        for (std::time_t second = run.first; second <= run.last; ++second) {
            named = named || run.reports.front() == c.nameWithoutTime + "-" + std::to_string(second) + ".txt";
        }
        EXPECT_TRUE(named) << run.reports.front();
        EXPECT_EQ(run.report, utf16le(kEmptySummary));
        EXPECT_EQ(run.report.substr(0, 4), std::string("\r\0\n\0", 4));
    }
}

// Ordinary files: no line of their own without -v in either mode, "Not a
// reparse point" or "Not an QM PH" with it; -d and -fixphs change nothing.
TEST(WindowsBuild, OrdinaryFilesInBothModes)
{
    SharedFolder share;
    const std::string root = folder(share / "share");
    file(root + "/a.txt", 3, "abc");
    file(folder(root + "/sub") + "/b", 0);
    file(folder(root + "/sub/deeper") + "/c", 1536);
    file(root + "/big", 6ULL << 30);  // a hole: takes no space
    folder(root + "/empty");
    alignFileTimes(root, normalmode::created());
    const std::string at = reportPath(root);
    auto line = [&](const std::string& relative, const std::string& size, const std::string& verdict) {
        return at + relative + "(Created:" + kCreatedText + ", Size:" + size + "):" + verdict + "\r\n";
    };
    const std::vector<std::string> verboseNormal = {
        line("\\a.txt", "3", "Not a reparse point"), line("\\sub\\b", "0", "Not a reparse point"),
        line("\\sub\\deeper\\c", "1536", "Not a reparse point"), line("\\big", "6442450944", "Not a reparse point")};
    const std::vector<std::string> verboseUsage = {
        at + "\\a.txt: Not inside an archive point\r\n", at + "\\sub\\b: Not inside an archive point\r\n",
        at + "\\sub\\deeper\\c: Not inside an archive point\r\n", at + "\\big: Not inside an archive point\r\n"};
    const struct {
        std::vector<std::string> options;
        std::vector<std::string> lines;
        std::string summary;
        std::string dots;
    } cases[] = {
        {{}, {}, summary(4, 0, 4, 0, 0, 0, 0, 0), ""},
        {{"-d", "-fixphs"}, {}, summary(4, 0, 4, 0, 0, 0, 0, 0), ""},
        {{"-v"}, verboseNormal, summary(4, 0, 4, 0, 0, 0, 0, 0), ""},
        {{"-fixphs", "-v", "-d"}, verboseNormal, summary(4, 0, 4, 0, 0, 0, 0, 0), ""},
        {{"-archiveusage"}, {}, kUsageHeading, "."},
        {{"-v", "-ArchiveUsage"}, verboseUsage, kUsageHeading, "."},
    };
    for (const auto& c : cases) {
        std::vector<std::string> arguments = c.options;
        arguments.push_back(uncPath(root));
        SCOPED_TRACE(::testing::PrintToString(arguments));
        RunWithReport run = windowsRun(arguments);
        EXPECT_EQ(run.result.exitCode, 0);
        EXPECT_EQ(run.result.standardError, "");
        EXPECT_EQ(run.result.standardOutput, c.dots);
        SplitReport split = splitReport(fromUtf16le(run.report));
        EXPECT_EQ(split.sortedLines, sorted(c.lines));
        EXPECT_EQ(split.summary, c.summary);
    }

    // A single file goes to the per-file check in either mode.
    const std::string single = uncPath(root + "/sub/deeper/c");
    RunWithReport verbose = windowsRun({"-v", single});
    EXPECT_EQ(verbose.result.exitCode, 0);
    EXPECT_EQ(verbose.report, utf16le(reportPath(root + "/sub/deeper/c") + "(Created:" + kCreatedText +
                                      ", Size:1536):Not a reparse point\r\n" + summary(1, 0, 1, 0, 0, 0, 0, 0)));
    RunWithReport usage = windowsRun({"-archiveusage", single});
    EXPECT_EQ(usage.result.exitCode, 0);
    EXPECT_EQ(usage.result.standardOutput, "");
    EXPECT_EQ(usage.report, utf16le(kUsageHeading));
}

// Wine shows a file's modification time as its creation time (it ignores
// Samba's user.DOSATTRIB); times before 1970 are not shown.
TEST(WindowsBuild, VerboseDescriptionsShowTheModificationTime)
{
    SharedFolder share;
    const struct {
        FILETIME modified;
        std::string shown;
    } cases[] = {
        {treebuilder::fileTimeUtc(1999, 12, 31, 23, 59, 59), "31/12/99 23:59:59 GMT"},
        {treebuilder::fileTimeUtc(1970, 1, 1), "01/01/70 00:00:00 GMT"},
        {treebuilder::fileTimeUtc(2100, 2, 28, 12), "28/02/00 12:00:00 GMT"},
        {treebuilder::fileTimeUtc(1960, 6, 1), ""},
    };
    int index = 0;
    for (const auto& c : cases) {
        const std::string path = share / ("file" + std::to_string(index++));
        // A creation time of its own in user.DOSATTRIB, which Wine does not read.
        treebuilder::FileSpec wanted;
        wanted.size = 10;
        wanted.created = treebuilder::fileTimeUtc(2005, 5, 5, 5, 5, 5);
        treebuilder::makeFile(wideUncPath(path), wanted);
        UniqueHandle handle(CreateFileW(wideUncPath(path).c_str(), GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0,
                                        nullptr));
        ASSERT_TRUE(handle && SetFileTime(handle.get(), nullptr, nullptr, &c.modified));
        handle.reset();

        RunWithReport run = windowsRun({"-v", uncPath(path)});
        EXPECT_EQ(run.result.exitCode, 0);
        EXPECT_EQ(run.report, utf16le(reportPath(path) + "(Created:" + c.shown +
                                      ", Size:10):Not a reparse point\r\n" + summary(1, 0, 1, 0, 0, 0, 0, 0)))
            << c.shown;
    }
}

// The walk's lines. A target with a trailing backslash gives the pattern
// "share\\*", which Wine (like Windows for a \\?\ path, which it does not
// tidy) refuses as an invalid name. Linux names with characters that Windows
// forbids are listed but cannot be opened. A folder link is entered, a link
// back to a folder being walked is not.
TEST(WindowsBuild, WalkLines)
{
    SharedFolder share;
    const std::string root = folder(share / "share");
    const std::string at = reportPath(root);

    RunWithReport trailing = windowsRun({uncPath(root) + "\\"});
    EXPECT_EQ(trailing.result.exitCode, 0);
    EXPECT_EQ(trailing.report, utf16le(at + "\\: skipped, Reason: FindFirstFileExW failed with error(123)\r\n" +
                                       kEmptySummary));

    for (const char* name : {"a<b", "q?m", "st*r", "pi|pe", "quo\"te", "back\\slash"}) {
        file(folder(root + "/" + name) + "/f", 1);
    }
    file(folder(share / "elsewhere") + "/e", 128);
    ASSERT_EQ(::symlink("../elsewhere", (root + "/link").c_str()), 0);
    ASSERT_EQ(::symlink("..", (folder(root + "/sub") + "/up").c_str()), 0);
    alignFileTimes(share.path(), normalmode::created());

    auto skipped = [&](const std::string& name, int error) {
        return at + "\\" + name + ": skipped, Reason: FindFirstFileExW failed with error(" + std::to_string(error) +
               ")\r\n";
    };
    RunWithReport run = windowsRun({"-v", uncPath(root)});
    EXPECT_EQ(run.result.exitCode, 0);
    EXPECT_EQ(run.result.standardError, "");
    SplitReport split = splitReport(fromUtf16le(run.report));
    EXPECT_EQ(split.sortedLines,
              sorted({skipped("a<b", 123), skipped("q?m", 123), skipped("st*r", 123), skipped("pi|pe", 123),
                      skipped("quo\"te", 123), skipped("back\\slash", 3),
                      at + "\\link\\e(Created:" + kCreatedText + ", Size:128):Not a reparse point\r\n",
                      at + "\\sub\\up: skipped, Reason: reparse point leads back to " + at + "\r\n"}));
    EXPECT_EQ(split.summary, summary(1, 0, 1, 0, 0, 0, 0, 0));
}

// The backup privilege: looked up by name on the local system and enabled
// for the run (token, LUID, no previous state asked for), disabled after it.
// Wine's own traces show the calls.
TEST(WindowsBuild, ThePrivilegeCallsEnableAndDisableTheBackupPrivilege)
{
    SharedFolder share;
    const std::string root = folder(share / "share");
    ::setenv("WINEDEBUG", "trace+advapi,trace+security", 1);
    RunWithReport run = windowsRun({uncPath(root)});
    ::setenv("WINEDEBUG", "-all", 1);
    EXPECT_EQ(run.result.exitCode, 0);
    EXPECT_EQ(run.report, utf16le(kEmptySummary));

    // Thread "0024:trace:advapi:LookupPrivilegeValueW (null),L"SeBackupPrivilege",..."
    const std::regex lookup(R"(^([0-9a-f]{4}):trace:advapi:LookupPrivilegeValueW \(null\),L"SeBackupPrivilege",)");
    const std::regex adjust(R"(^([0-9a-f]{4}):trace:security:AdjustTokenPrivileges \([0-9A-F]+ 0 [0-9A-F]+ 0 0+ 0+\))");
    std::vector<std::string> calls;
    std::string thread;
    std::istringstream lines(run.result.standardError);
    for (std::string text; std::getline(lines, text);) {
        std::smatch match;
        if (std::regex_search(text, match, lookup) && (thread.empty() || match[1] == thread)) {
            thread = match[1];
            calls.push_back("lookup");
        } else if (std::regex_search(text, match, adjust) && match[1] == thread) {
            calls.push_back("adjust");
        }
    }
    EXPECT_EQ(calls, (std::vector<std::string>{"lookup", "adjust", "lookup", "adjust"})) << run.result.standardError;
}

// Markers read by Wine's MSXML 3: each target is the archive point folder
// itself, its marker the Linux file beside it, so the marker file lies
// outside the walk. The folder holds one file of 1536 bytes.
TEST(WindowsBuild, ArchivePointMarkersReadByMsxml)
{
    SharedFolder share;
    const std::string kDocType =
        "<?xml version=\"1.0\"?><!DOCTYPE archivePoint [<!ENTITY e \"ID\">]>"
        "<archivePoint><archiveQEID>&e;</archiveQEID><name>Dept</name></archivePoint>";
    const std::string notLoaded = "CheckIsFolderAnArchivePoint failed, error(Failed to load archive point xml)";
    const struct {
        std::string folder;
        std::string marker;  // nothing: the marker is a folder
        std::string name;    // the row's name; empty with a skip text
        std::string skip;
        bool counted = true;  // the file adds to the row
    } cases[] = {
        {"valid", utf16Marker(markerXml("ID-1", "Dept")), "Dept", ""},
        {"other-root", utf16Marker("<other><archiveQEID>ID-1</archiveQEID><name>Dept</name></other>"), "other-root",
         ""},
        {"no-name", utf16Marker("<archivePoint><archiveQEID>ID-1</archiveQEID></archivePoint>"), "no-name", ""},
        // An empty identifier: the file lies outside every archive point.
        {"empty-elements", utf16Marker("<archivePoint><archiveQEID/><name></name></archivePoint>"), "", "", false},
        {"first-of-two",
         utf16Marker("<archivePoint><archiveQEID>1</archiveQEID><archiveQEID>2</archiveQEID><name>first</name>"
                     "<name>second</name></archivePoint>"),
         "first", ""},
        {"text-pieces",
         utf16Marker("<archivePoint><archiveQEID>T</archiveQEID><name>A&amp;B<![CDATA[<c>]]><b>d</b><!-- e -->f"
                     "</name></archivePoint>"),
         "A&B<c>df", ""},
        // MSXML's text drops white space at the ends; its XSLPattern query
        // matches elements of the default namespace by name.
        {"white-space", utf16Marker(markerXml("W", "\n  Dept  \n")), "Dept", ""},
        {"default-namespace",
         utf16Marker("<archivePoint xmlns=\"urn:x\"><archiveQEID>N</archiveQEID><name>Dept</name></archivePoint>"),
         "Dept", ""},
        {"not-well-formed", "<archivePoint><archiveQEID>ID-1</archivePoint>", "", notLoaded},
        {"empty", "", "", notLoaded},
        // Wine's MSXML ignores ProhibitDTD; the program refuses a DOCTYPE itself.
        {"doctype", utf16Marker(kDocType), "", notLoaded},
        {"folder", "", "",
         "CheckIsFolderAnArchivePoint failed, error(Failed to open archive point stream, error 0x80070005)"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.folder);
        const std::string point = folder(share / c.folder);
        file(point + "/f", 1536);
        if (c.folder == "folder") {
            folder(point + ":QMArchivePoint.xml");
        } else {
            marker(point, c.marker);
        }
        RunWithReport run = windowsRun({"-archiveusage", uncPath(point)});
        EXPECT_EQ(run.result.exitCode, 0);
        EXPECT_EQ(run.result.standardError, "");
        const std::string at = reportPath(point);
        if (!c.skip.empty()) {
            EXPECT_EQ(run.result.standardOutput, "");
            EXPECT_EQ(run.report, utf16le(at + ": skipped, Reason: " + c.skip + "\r\n" + kUsageHeading));
            continue;
        }
        EXPECT_EQ(run.result.standardOutput, ".");
        EXPECT_EQ(run.report,
                  utf16le(kUsageHeading + usageRow(c.name, at, "0.00", c.counted ? "1.50" : "0.00")));
    }
}

// A marker of more than 1 MiB is not read: its folder is skipped.
TEST(WindowsBuild, AMarkerOfMoreThanOneMebibyteIsNotRead)
{
    SharedFolder share;
    for (const normalmode::LargeMarker& c : normalmode::kLargeMarkers) {
        SCOPED_TRACE(c.folder);
        const std::string point = folder(share / c.folder);
        file(point + "/f", 1536);
        normalmode::writeLargeMarker(point + ":QMArchivePoint.xml", utf16Marker(markerXml("ID-1", "Dept")), c.size);
        RunWithReport run = windowsRun({"-archiveusage", uncPath(point)});
        EXPECT_EQ(run.result.exitCode, 0);
        EXPECT_EQ(run.result.standardError, "");
        const std::string at = reportPath(point);
        if (c.skip.empty()) {
            EXPECT_EQ(run.report, utf16le(kUsageHeading + usageRow("Dept", at, "0.00", "1.50")));
        } else {
            EXPECT_EQ(run.result.standardOutput, "");
            EXPECT_EQ(run.report, utf16le(at + ": skipped, Reason: " + c.skip + "\r\n" + kUsageHeading));
        }
    }
}

// Rows in identifier order, one per identifier; nested archive points; an
// empty identifier. The marker files are files of the folder they lie in:
// dept/inner's counts under dept.
TEST(WindowsBuild, TheUsageTable)
{
    SharedFolder share;
    const std::string root = folder(share / "share");
    file(root + "/top.txt", 100);
    const ArchivePoints points = plantArchivePoints(root);
    const std::string& dept = points.dept;
    const std::string& inner = points.inner;
    const std::string& zeta = points.zeta;
    const std::string& innerMarker = points.innerMarker;
    alignFileTimes(root, normalmode::created());

    const std::string table = kUsageHeading + usageRow("Zeta", reportPath(zeta), "0.00", "0.00") +
                              usageRow("Inner", reportPath(inner), "0.00", "0.13") +
                              usageRow("Dept", reportPath(dept), "0.00", kilobytes(1536 + innerMarker.size() + 1000));
    RunWithReport quiet = windowsRun({"-archiveusage", uncPath(root)});
    EXPECT_EQ(quiet.result.exitCode, 0);
    EXPECT_EQ(quiet.result.standardOutput, ".");
    EXPECT_EQ(quiet.report, utf16le(table));

    const std::string at = reportPath(root);
    auto outside = [&](const std::string& relative) { return at + relative + ": Not inside an archive point\r\n"; };
    auto inside = [&](const std::string& relative, std::size_t size) {
        return at + relative + "(Created:" + kCreatedText + ", Size:" + std::to_string(size) + "):Not an QM PH\r\n";
    };
    RunWithReport verbose = windowsRun({"-v", "-archiveusage", uncPath(root)});
    EXPECT_EQ(verbose.result.exitCode, 0);
    SplitReport split = splitReport(fromUtf16le(verbose.report));
    EXPECT_EQ(split.sortedLines,
              sorted({outside("\\top.txt"), outside("\\dept:QMArchivePoint.xml"), outside("\\other:QMArchivePoint.xml"),
                      outside("\\zeta:QMArchivePoint.xml"), outside("\\zeta\\z"), inside("\\dept\\a", 1536),
                      inside("\\dept\\inner:QMArchivePoint.xml", innerMarker.size()), inside("\\dept\\inner\\b", 128),
                      inside("\\other\\c", 1000)}));
    EXPECT_EQ(split.summary, table);
}

// A dot before the 1st and the 1001st file of an archive usage run.
TEST(WindowsBuild, ProgressDots)
{
    SharedFolder share;
    const std::string root = folder(share / "share");
    for (int i = 1; i <= 1000; ++i) {
        file(root + "/f" + std::to_string(i), 0);
    }
    EXPECT_EQ(windowsRun({"-archiveusage", uncPath(root)}).result.standardOutput, ".");
    file(root + "/f1001", 0);
    RunWithReport usage = windowsRun({"-archiveusage", uncPath(root)});
    EXPECT_EQ(usage.result.standardOutput, "..");
    EXPECT_EQ(usage.report, utf16le(kUsageHeading));
    RunWithReport normal = windowsRun({uncPath(root)});
    EXPECT_EQ(normal.result.standardOutput, "");
    EXPECT_EQ(normal.report, utf16le(summary(1001, 0, 1001, 0, 0, 0, 0, 0)));
}

}  // namespace

// What an administrator unpacks: the programs of the zip in dist/, run from
// the folder they were unpacked into.
TEST(WindowsBuild, TheProgramsOfTheZipRunFromWhereTheyAreUnpacked)
{
    TempDir unpacked;
    unpackWindowsZip(unpacked.path());
    const std::string folder = unpacked / windowsZipFolder();
    TempDir work;
    RunResult usage = runWindowsProgram(folder + "/stubwarden.exe", {}, {.workingDirectory = work.path()});
    EXPECT_EQ(usage.exitCode, 1);
    EXPECT_EQ(usage.standardError, kUsageLine);
    EXPECT_EQ(usage.standardOutput, "");
    EXPECT_TRUE(reportFiles(work.path()).empty());
    for (const std::string& name : companionPrograms()) {
        SCOPED_TRACE(name);
        RunResult version = runWindowsProgram(folder + "/" + name + ".exe", {"--version"}, {.workingDirectory = work.path()});
        EXPECT_EQ(version.exitCode, 0);
        EXPECT_EQ(version.standardOutput, name + " " + projectVersion() + "\r\n");
        EXPECT_EQ(version.standardError, "");
    }
}
