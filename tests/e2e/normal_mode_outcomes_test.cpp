// The normal mode's verdicts, one file at a time: each case is a single-file
// target, so the whole report (line and summary) is fixed byte for byte.
#include <gtest/gtest.h>

#include "tests/e2e/normal_mode_fixtures.h"

using namespace testsupport;
using namespace normalmode;
using treebuilder::PlaceholderKind;

namespace {

const std::string kArchivedDescription =
    "(Created:15/01/23 10:20:30 GMT, Size:1024, Reparse point, Sparse, Offline):";

struct Verdict {
    const char* name;
    PlaceholderKind kind;
    const char* fault;  // nullptr: a good placeholder
    bool canFix;
};

const Verdict kVerdicts[] = {
    {"good", PlaceholderKind::Good, nullptr, false},
    {"guid", PlaceholderKind::WrongGuid, "Incorrect GUID", false},
    {"magic", PlaceholderKind::WrongMagic, "Incorrect magic value", false},
    {"signature", PlaceholderKind::WrongSignature, "Incorrect signature", false},
    {"unended", PlaceholderKind::UnendedSignature, "Incorrect signature", false},
    {"ftp", PlaceholderKind::WrongUrl, "Invalid URL", false},
    {"empty-url", PlaceholderKind::EmptyUrl, "Invalid URL", false},
    {"misplaced", PlaceholderKind::Misplaced, "Invalid URL", true},
    {"capital-http", PlaceholderKind::MisplacedCapitalHttp, "Invalid URL", false},
};

// One placeholder as the whole target, audited with the given options.
struct SingleRun {
    std::string report;
    int exitCode;
    std::string path;  // as the report names the file
};

SingleRun auditOne(const Verdict& verdict, std::vector<std::string> options)
{
    TempDir share;
    TempDir work;
    placeholder(share / verdict.name, verdict.kind);
    options.push_back(uncPath(share / verdict.name));
    RunResult result = runStubwarden(options, {.workingDirectory = work.path()});
    EXPECT_EQ(result.standardError, "");
    EXPECT_EQ(result.standardOutput, "");
    return {onlyReportBytes(work.path()), result.exitCode, reportPath(share / verdict.name)};
}

TEST(NormalModeVerdicts, NotVerboseOnlyBadPlaceholdersGetALine)
{
    for (const Verdict& verdict : kVerdicts) {
        SCOPED_TRACE(verdict.name);
        SingleRun run = auditOne(verdict, {});
        if (verdict.fault == nullptr) {
            EXPECT_EQ(run.report, utf16le(summary(1, 0, 0, 1, 0, 0, 0, 0)));
            EXPECT_EQ(run.exitCode, 0);
        } else {
            EXPECT_EQ(run.report, utf16le(run.path + ": " + verdict.fault + "\r\n" +
                                          summary(1, 0, 0, 0, 1, verdict.canFix ? 0 : 1, 0, 0)));
            EXPECT_EQ(run.exitCode, 2);
        }
    }
}

TEST(NormalModeVerdicts, VerboseGivesEveryFileItsDescriptionAndVerdict)
{
    for (const Verdict& verdict : kVerdicts) {
        SCOPED_TRACE(verdict.name);
        SingleRun run = auditOne(verdict, {"-v"});
        bool good = verdict.fault == nullptr;
        EXPECT_EQ(run.report, utf16le(run.path + kArchivedDescription + (good ? "Valid QM PH" : verdict.fault) +
                                      "\r\n" +
                                      summary(1, 0, 0, good ? 1 : 0, good ? 0 : 1,
                                              good || verdict.canFix ? 0 : 1, 0, 0)));
        EXPECT_EQ(run.exitCode, good ? 0 : 2);
    }
}

// A repaired placeholder still counts as bad, so the exit code stays 2.
TEST(NormalModeVerdicts, FixphsRepairsOnlyTheMisplacedRecord)
{
    for (const Verdict& verdict : kVerdicts) {
        SCOPED_TRACE(verdict.name);
        SingleRun run = auditOne(verdict, {"-fixphs"});
        if (verdict.fault == nullptr) {
            EXPECT_EQ(run.report, utf16le(summary(1, 0, 0, 1, 0, 0, 0, 0)));
            EXPECT_EQ(run.exitCode, 0);
        } else if (verdict.canFix) {
            EXPECT_EQ(run.report, utf16le(run.path + ": Invalid URL, Fixed\r\n" + summary(1, 0, 0, 0, 1, 0, 1, 0)));
            EXPECT_EQ(run.exitCode, 2);
        } else {
            EXPECT_EQ(run.report, utf16le(run.path + ": " + verdict.fault + ", Can't fix\r\n" +
                                          summary(1, 0, 0, 0, 1, 1, 0, 0)));
            EXPECT_EQ(run.exitCode, 2);
        }
    }
}

TEST(NormalModeVerdicts, VerboseRepairAndCantFixFollowTheFault)
{
    SingleRun fixed = auditOne(kVerdicts[7], {"-v", "-fixphs"});
    EXPECT_EQ(fixed.report, utf16le(fixed.path + kArchivedDescription + "Invalid URL, Fixed\r\n" +
                                    summary(1, 0, 0, 0, 1, 0, 1, 0)));
    SingleRun unfixable = auditOne(kVerdicts[1], {"-v", "-fixphs"});
    EXPECT_EQ(unfixable.report, utf16le(unfixable.path + kArchivedDescription + "Incorrect GUID, Can't fix\r\n" +
                                        summary(1, 0, 0, 0, 1, 1, 0, 0)));
}

TEST(NormalModeVerdicts, AGoodPlaceholderIsNeitherDumpedNorRepaired)
{
    SingleRun quiet = auditOne(kVerdicts[0], {"-d", "-fixphs"});
    EXPECT_EQ(quiet.report, utf16le(summary(1, 0, 0, 1, 0, 0, 0, 0)));
    SingleRun verbose = auditOne(kVerdicts[0], {"-v", "-d", "-fixphs"});
    EXPECT_EQ(verbose.report, utf16le(verbose.path + kArchivedDescription + "Valid QM PH\r\n" +
                                      summary(1, 0, 0, 1, 0, 0, 0, 0)));
}

// A record cut to 16 bytes of data: the magic value and six characters of
// the signature, so the dump is one row.
TEST(NormalModeVerdicts, TheDumpBreaksTheLineAndTheRepairOutcomeFollowsIt)
{
    const std::string dump =
        "\r\nReparse Data Length: 0x10\r\n"
        "Reparse Data:\r\n"
        "0000:  62 1e 00 00 51 00 2d 00  4d 00 41 00 52 00 4c 00  b...Q.-.M.A.R.L.\r\n";
    for (bool fix : {false, true}) {
        SCOPED_TRACE(fix ? "-d -fixphs" : "-d");
        TempDir share;
        TempDir work;
        treebuilder::makePlaceholder(wideUncPath(share / "cut"),
                                     {.kind = PlaceholderKind::WrongMagic, .dataLength = 16}, archivedFile());
        std::vector<std::string> arguments = {"-d"};
        if (fix) {
            arguments.push_back("-fixphs");
        }
        arguments.push_back(uncPath(share / "cut"));
        RunResult result = runStubwarden(arguments, {.workingDirectory = work.path()});
        EXPECT_EQ(result.exitCode, 2);
        EXPECT_EQ(onlyReportBytes(work.path()),
                  utf16le(reportPath(share / "cut") + ": Incorrect magic value" + dump + (fix ? ", Can't fix" : "") +
                          "\r\n" + summary(1, 0, 0, 0, 1, 1, 0, 0)));
    }
}

// The record's length decides nothing below 326 bytes of data: a misplaced
// record cut to 325 bytes holds nothing at 604 and cannot be repaired.
TEST(NormalModeVerdicts, AMisplacedRecordTooShortToHoldItsUrlCannotBeFixed)
{
    TempDir share;
    TempDir work;
    treebuilder::makePlaceholder(wideUncPath(share / "short"),
                                 {.kind = PlaceholderKind::Misplaced, .dataLength = 325}, archivedFile());
    RunResult result = runStubwarden({"-fixphs", uncPath(share / "short")}, {.workingDirectory = work.path()});
    EXPECT_EQ(result.exitCode, 2);
    EXPECT_EQ(onlyReportBytes(work.path()), utf16le(reportPath(share / "short") + ": Invalid URL, Can't fix\r\n" +
                                                    summary(1, 0, 0, 0, 1, 1, 0, 0)));
}

}  // namespace
