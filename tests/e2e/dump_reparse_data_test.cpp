// The dump of a bad placeholder's data area (-d), on records made by
// stubwarden-tree: the length line, full and short rows, the two ranges of
// bytes the character column shows, and where the dump sits in the file's
// line. Each case is a single-file target, so the whole report is fixed.
#include <gtest/gtest.h>

#include <fstream>

#include "tests/e2e/normal_mode_fixtures.h"

using namespace testsupport;
using normalmode::summary;

namespace {

struct Audit {
    std::string path;  // as the report names the file
    int exitCode;
    std::string report;  // UTF-16LE
};

// Builds root/f from one description line and audits it.
Audit auditOne(const std::string& line, const std::vector<std::string>& options)
{
    TempDir share;
    TempDir work;
    const std::string description = share / "f.tree";
    std::ofstream(description, std::ios::binary) << line << " created=2019-04-17T18:40:00Z\n";
    RunResult built = runProgram(STUBWARDEN_TREE_BINARY, {share / "root", description});
    EXPECT_EQ(built.exitCode, 0) << built.standardError;
    std::vector<std::string> arguments = options;
    arguments.push_back(uncPath(share / "root/f"));
    RunResult run = runStubwarden(arguments, {.workingDirectory = work.path()});
    EXPECT_EQ(run.standardError, "");
    return {reportPath(share / "root/f"), run.exitCode, onlyReportBytes(work.path())};
}

// A record of tag 16 with the placeholder's GUID and the given data area.
// Its first bytes are no magic value, so the validation stops there.
std::string handmade(const std::string& hex) { return "reparse f tag=16 guid=placeholder data=\"" + hex + "\""; }

const std::string kSixteen = "00 1f 20 21 41 7e 7f 80 9f a0 a1 c0 e9 ff 2e 61";

TEST(ReparseDump, ShortRecordsRowByRow)
{
    const struct {
        std::string data;
        std::string dump;
    } cases[] = {
        {"", "\r\nReparse Data Length: 0\r\nReparse Data:\r\n\r\n"},
        {"7f", "\r\nReparse Data Length: 0x1\r\nReparse Data:\r\n0000:  7f  .\r\n"},
        // 0x00-0x20 and 0x7f-0xa0 are dots; 0x21-0x7e and 0xa1-0xff are the
        // Latin-1 characters themselves.
        {kSixteen,
         "\r\nReparse Data Length: 0x10\r\nReparse Data:\r\n"
         "0000:  00 1f 20 21 41 7e 7f 80  9f a0 a1 c0 e9 ff 2e 61  ...!A~....¡Àéÿ.a\r\n"},
        {kSixteen + " b5",
         "\r\nReparse Data Length: 0x11\r\nReparse Data:\r\n"
         "0000:  00 1f 20 21 41 7e 7f 80  9f a0 a1 c0 e9 ff 2e 61  ...!A~....¡Àéÿ.a\r\n"
         "0010:  b5  µ\r\n"},
        // The group separator comes before the ninth byte only.
        {"21 22 23 24 25 26 27 28 29",
         "\r\nReparse Data Length: 0x9\r\nReparse Data:\r\n0000:  21 22 23 24 25 26 27 28  29  !\"#$%&'()\r\n"},
    };
    for (const auto& entry : cases) {
        SCOPED_TRACE(entry.data);
        Audit quiet = auditOne(handmade(entry.data), {"-d"});
        EXPECT_EQ(quiet.exitCode, 2);
        // Without -fixphs the file's own line end follows the dump and leaves an empty line.
        EXPECT_EQ(quiet.report, utf16le(quiet.path + ": Incorrect magic value" + entry.dump + "\r\n" +
                                        summary(1, 0, 0, 0, 1, 1, 0, 0)));

        Audit verbose = auditOne(handmade(entry.data), {"-v", "-d", "-fixphs"});
        EXPECT_EQ(verbose.report,
                  utf16le(verbose.path + "(Created:17/04/19 18:40:00 GMT, Size:0, Reparse point):Incorrect magic value" +
                          entry.dump + ", Can't fix\r\n" + summary(1, 0, 0, 0, 1, 1, 0, 0)));
    }
}

// Rows of zeros from one dump offset up to (not including) another.
std::string zeroRows(unsigned from, unsigned to)
{
    static const char kDigits[] = "0123456789abcdef";
    std::string rows;
    for (unsigned offset = from; offset < to; offset += 16) {
        for (int shift = 12; shift >= 0; shift -= 4) {
            rows += kDigits[(offset >> shift) & 0xF];
        }
        rows += ":  00 00 00 00 00 00 00 00  00 00 00 00 00 00 00 00  ................\r\n";
    }
    return rows;
}

// The product's full-size misplaced record, 2,630 bytes of data: 165 rows,
// the last of six bytes. Its URL lies at dump offset 0x244 and holds
// characters of both shown ranges and of the ones shown as dots.
TEST(ReparseDump, AFullSizeMisplacedRecordBeforeItsRepair)
{
    Audit audit = auditOne("placeholder f kind=misplaced length=2630 url=\"http://h/caf\xC3\xA9\xC2\xA0\xC3\xBF\xC2\x80"
                           "\xC2\xA1~\xE2\x82\xAC\"",
                           {"-v", "-d", "-fixphs"});
    const std::string dump =
        "\r\nReparse Data Length: 0xa46\r\n"
        "Reparse Data:\r\n"
        "0000:  61 1e 00 00 51 00 2d 00  4d 00 41 00 52 00 4c 00  a...Q.-.M.A.R.L.\r\n"
        "0010:  4f 00 30 00 31 00 32 00  33 00 34 00 35 00 36 00  O.0.1.2.3.4.5.6.\r\n"
        "0020:  37 00 38 00 00 00 00 00  00 00 00 00 00 00 00 00  7.8.............\r\n" +
        zeroRows(0x30, 0x240) +
        "0240:  00 00 00 00 68 00 74 00  74 00 70 00 3a 00 2f 00  ....h.t.t.p.:./.\r\n"
        "0250:  2f 00 68 00 2f 00 63 00  61 00 66 00 e9 00 a0 00  /.h./.c.a.f.é...\r\n"
        "0260:  ff 00 80 00 a1 00 7e 00  ac 20 00 00 00 00 00 00  ÿ...¡.~.¬.......\r\n" +
        zeroRows(0x270, 0xa40) +
        "0a40:  00 00 00 00 00 00  ......\r\n";
    EXPECT_EQ(audit.exitCode, 2);
    EXPECT_EQ(audit.report, utf16le(audit.path +
                                    "(Created:17/04/19 18:40:00 GMT, Size:0, Reparse point, Sparse, Offline):"
                                    "Invalid URL" +
                                    dump + ", Fixed\r\n" + summary(1, 0, 0, 0, 1, 0, 1, 0)));
}

}  // namespace
