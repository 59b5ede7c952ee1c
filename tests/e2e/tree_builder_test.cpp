// stubwarden-tree, the real binary: what each description line leaves on
// disk (the xattrs of Samba's convention byte for byte, sizes, holes, times,
// links), what Stubwarden then makes of it, and the messages for
// descriptions and command lines it cannot take.
#include <gtest/gtest.h>

#include <fstream>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>

#include "tests/e2e/normal_mode_fixtures.h"

using namespace testsupport;
using normalmode::summary;

namespace {

const std::string kTreeBinary = STUBWARDEN_TREE_BINARY;

void writeFile(const std::string& path, const std::string& bytes)
{
    std::ofstream out(path, std::ios::binary);
    out << bytes;
}

// Runs stubwarden-tree on a description written to a file beside the root.
RunResult buildTree(const std::string& root, const std::string& description)
{
    const std::string file = root + ".tree";
    writeFile(file, description);
    return runProgram(kTreeBinary, {root, file});
}

void buildTreeOrFail(const std::string& root, const std::string& description)
{
    RunResult result = buildTree(root, description);
    ASSERT_EQ(result.exitCode, 0) << result.standardError;
    ASSERT_EQ(result.standardError, "");
}

std::string zeros(std::size_t count) { return std::string(count, '\0'); }

// The parts of a placeholder record, written out.
const std::string kTag16 = bytes("10 00 00 00");
const std::string kGuid = bytes("cd 8a d5 9d e7 4b 36 4f 9c e3 b7 73 8e e3 c7 02");
const std::string kMagic = bytes("61 1e 00 00");
const std::string kSignature = utf16le("Q-MARLO012345678") + zeros(2);
const std::string kFlags = bytes("01 00 00 00");

std::string text(const std::string& ascii) { return utf16le(ascii) + zeros(2); }

// 2019-04-17T18:40:00Z as a FILETIME, little-endian.
const std::string kCreated = bytes("00 00 5a f6 4c f5 d4 01");

// user.DOSATTRIB as the platform writes it: version 5, attrib and create time valid.
std::string dosAttrib(const std::string& attribHex) { return bytes("00 00 05 00 05 00 00 00 11 00 00 00") + bytes(attribHex) + kCreated; }

TEST(TreeBuilder, EveryPlaceholderKindAndReparseRecordIsWrittenByteForByte)
{
    const std::string created = " created=2019-04-17T18:40:00Z";
    const std::string head = kMagic + kSignature + zeros(18);
    const std::string misplaced = head + zeros(4) + zeros(520);
    const struct {
        std::string line;
        std::string record;
    } cases[] = {
        {"placeholder good url=http://a/b", kTag16 + bytes("52 00 00 00") + kGuid + head + kFlags + text("http://a/b")},
        {"placeholder bad-guid kind=bad-guid url=http://a/b",
         kTag16 + bytes("52 00 00 00 32 8a d5 9d e7 4b 36 4f 9c e3 b7 73 8e e3 c7 02") + head + kFlags +
             text("http://a/b")},
        {"placeholder bad-magic kind=bad-magic url=http://a/b",
         kTag16 + bytes("52 00 00 00") + kGuid + bytes("62 1e 00 00") + kSignature + zeros(18) + kFlags +
             text("http://a/b")},
        {"placeholder bad-signature kind=bad-signature url=http://a/b",
         kTag16 + bytes("52 00 00 00") + kGuid + kMagic + text("q-marlo012345678") + zeros(18) + kFlags +
             text("http://a/b")},
        {"placeholder unended kind=unended-signature url=http://a/b",
         kTag16 + bytes("52 00 00 00") + kGuid + kMagic + utf16le("Q-MARLO012345678X") + zeros(18) + kFlags +
             text("http://a/b")},
        {"placeholder bad-url kind=bad-url",
         kTag16 + bytes("7e 00 00 00") + kGuid + head + zeros(4) + text("ftp://archive.example/vault/0001")},
        {"placeholder empty-url kind=empty-url", kTag16 + bytes("3e 00 00 00") + kGuid + head + zeros(4) + zeros(2)},
        {"placeholder misplaced kind=misplaced url=http://a/b",
         kTag16 + bytes("5a 02 00 00") + kGuid + misplaced + text("http://a/b")},
        {"placeholder capital kind=misplaced-capital-http url=http://a/b",
         kTag16 + bytes("5a 02 00 00") + kGuid + misplaced + text("HTTP://a/b")},
        {"placeholder length-325 kind=misplaced url=http://a/b length=325",
         kTag16 + bytes("45 01 00 00") + kGuid + misplaced.substr(0, 325)},
        {"placeholder length-326 kind=misplaced url=http://a/b length=326",
         kTag16 + bytes("46 01 00 00") + kGuid + misplaced.substr(0, 326)},
        {"placeholder full-size kind=misplaced url=http://a/b length=2630",
         kTag16 + bytes("46 0a 00 00") + kGuid + misplaced + text("http://a/b") + zeros(2630 - 602)},
        {"reparse dedup tag=0x80000013 data=\"01 02 03\"", bytes("13 00 00 80 03 00 00 00 01 02 03")},
        {"reparse vendor tag=4660 data=ff", bytes("34 12 00 00 01 00 00 00") + zeros(16) + bytes("ff")},
        {"reparse handmade tag=16 guid=placeholder data=\"61 1E 00 00\"", kTag16 + bytes("04 00 00 00") + kGuid + kMagic},
        {"reparse guid tag=0x1234 guid={01234567-89AB-CDEF-0123-456789ABCDEF}",
         bytes("34 12 00 00 00 00 00 00 67 45 23 01 ab 89 ef cd 01 23 45 67 89 ab cd ef")},
    };
    TempDir share;
    std::string description;
    for (const auto& entry : cases) {
        description += entry.line + created + "\n";
    }
    buildTreeOrFail(share / "root", description);
    for (const auto& entry : cases) {
        SCOPED_TRACE(entry.line);
        std::string name = entry.line.substr(entry.line.find(' ') + 1);
        name = name.substr(0, name.find(' '));
        // Kept in Samba's form, which counts a GUID in ReparseDataLength.
        std::optional<std::string> record = xattr(share / "root/" + name, "user.SmbReparse");
        ASSERT_TRUE(record.has_value());
        treebuilder::Bytes kept = treebuilder::sambaForm(treebuilder::Bytes(entry.record.begin(), entry.record.end()));
        EXPECT_EQ(*record, std::string(kept.begin(), kept.end()));
    }
}

// The attributes of user.DOSATTRIB: a placeholder is offline and sparse
// unless told otherwise; attributes= replaces what the platform would set.
TEST(TreeBuilder, AttributesAndCreationTimesAreWrittenIntoDosAttrib)
{
    const struct {
        std::string line;
        std::string attrib;  // little-endian
    } cases[] = {
        {"file plain", "20 00 00 00"},
        {"file sparse-file sparse", "20 02 00 00"},
        {"file marked attributes=hidden,readonly,system,archive", "27 00 00 00"},
        {"file offline-file attributes=offline", "00 10 00 00"},
        {"placeholder archived", "00 16 00 00"},
        {"placeholder neither attributes=none", "20 04 00 00"},
        {"placeholder offline-only attributes=offline", "00 14 00 00"},
        {"placeholder sparse-only attributes=sparse", "20 06 00 00"},
        {"placeholder hidden attributes=hidden,offline sparse", "02 16 00 00"},
        {"reparse other tag=0x80000013", "20 04 00 00"},
    };
    TempDir share;
    std::string description;
    for (const auto& entry : cases) {
        description += entry.line + " created=2019-04-17T18:40:00Z\n";
    }
    buildTreeOrFail(share / "root", description);
    for (const auto& entry : cases) {
        SCOPED_TRACE(entry.line);
        std::string name = entry.line.substr(entry.line.find(' ') + 1);
        name = name.substr(0, name.find(' '));
        EXPECT_EQ(xattr(share / "root/" + name, "user.DOSATTRIB"), dosAttrib(entry.attrib));
    }
}

TEST(TreeBuilder, SizesBeyondTheContentAreHoles)
{
    TempDir share;
    buildTreeOrFail(share / "root",
                    "file huge size=5GiB sparse\n"
                    "file greeting content=\"hello, world\" size=1KiB\n"
                    "file exact content=abc\n"
                    "file counted size=4097\n"
                    "placeholder archived size=6GiB\n");
    const struct {
        const char* name;
        off_t size;
    } cases[] = {{"huge", 5LL << 30}, {"greeting", 1024}, {"exact", 3}, {"counted", 4097}, {"archived", 6LL << 30}};
    for (const auto& entry : cases) {
        SCOPED_TRACE(entry.name);
        struct stat status {};
        ASSERT_EQ(::stat((share / "root/" + entry.name).c_str(), &status), 0);
        EXPECT_EQ(status.st_size, entry.size);
        EXPECT_LE(status.st_blocks * 512, 64 * 1024) << "the unwritten part takes no space";
    }
    EXPECT_EQ(readFileBytes(share / "root/greeting"), "hello, world" + zeros(1024 - 12));
    EXPECT_EQ(readFileBytes(share / "root/exact"), "abc");
}

TEST(TreeBuilder, LinksMarkersAndStreams)
{
    TempDir share;
    writeFile(share / "marker.xml", "<archivePoint><archiveQEID>from-file</archiveQEID></archivePoint>");
    writeFile(share / "stream.bin", std::string("\x00\x01\xff", 3));
    const std::string root = share / "root";
    buildTreeOrFail(root,
                    "folder docs\\old/older\n"
                    "file docs/a.txt\n"
                    "symlink docs/to-a target=a.txt\n"
                    "symlink up/to-docs target=..\\docs folder\n"
                    "symlink absolute target=" + share.path() + "/root/docs/a.txt\n"
                    "marker . id=ROOT name=\"Whole share\"\n"
                    "marker docs id=\"A&B\" name=\"R<D> \"\"quoted\"\"\"\n"
                    "marker docs/old xml=\"<archivePoint version=\"\"2\"\"/>\"\n"
                    "marker docs/old/older xml-file=" + share.path() + "/marker.xml\n"
                    "marker new/point id=N name=New\n"
                    "stream docs/a.txt name=note text=\"two words\"\n"
                    "stream docs name=bytes hex=\"00 7f ff\"\n"
                    "stream docs/a.txt name=copied file=" + share.path() + "/stream.bin\n");
    char target[256] = {};
    ASSERT_GT(::readlink((root + "/docs/to-a").c_str(), target, sizeof target - 1), 0);
    EXPECT_STREQ(target, "a.txt");
    std::fill(std::begin(target), std::end(target), '\0');
    ASSERT_GT(::readlink((root + "/up/to-docs").c_str(), target, sizeof target - 1), 0);
    EXPECT_STREQ(target, "../docs");
    std::fill(std::begin(target), std::end(target), '\0');
    ASSERT_GT(::readlink((root + "/absolute").c_str(), target, sizeof target - 1), 0);
    EXPECT_EQ(std::string(target), share.path() + "/root/docs/a.txt");

    const std::string marker = "user.DosStream.QMArchivePoint.xml:$DATA";
    auto standardXml = [](const std::string& id, const std::string& name) {
        return "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<archivePoint><archiveQEID>" + id +
               "</archiveQEID><name>" + name + "</name></archivePoint>\n" + std::string(1, '\0');
    };
    EXPECT_EQ(xattr(root, marker), standardXml("ROOT", "Whole share"));
    EXPECT_EQ(xattr(root + "/docs", marker), standardXml("A&amp;B", "R&lt;D&gt; &quot;quoted&quot;"));
    EXPECT_EQ(xattr(root + "/docs/old", marker), std::string("<archivePoint version=\"2\"/>") + '\0');
    EXPECT_EQ(xattr(root + "/docs/old/older", marker),
              std::string("<archivePoint><archiveQEID>from-file</archiveQEID></archivePoint>") + '\0');
    EXPECT_EQ(xattr(root + "/new/point", marker), standardXml("N", "New"));
    EXPECT_EQ(xattr(root + "/docs/a.txt", "user.DosStream.note:$DATA"), std::string("two words") + '\0');
    EXPECT_EQ(xattr(root + "/docs", "user.DosStream.bytes:$DATA"), std::string("\x00\x7f\xff\x00", 4));
    EXPECT_EQ(xattr(root + "/docs/a.txt", "user.DosStream.copied:$DATA"), std::string("\x00\x01\xff\x00", 4));
}

// Each kind the description names is what Stubwarden finds: one file a run,
// so the whole report is fixed.
TEST(TreeBuilder, StubwardenClassifiesEachKindAsDescribed)
{
    const std::string archived = "(Created:17/04/19 18:40:00 GMT, Size:1048576, Reparse point, Sparse, Offline):";
    const struct {
        std::string line;
        std::string verdict;
        std::string summary;
    } cases[] = {
        {"placeholder f kind=good", archived + "Valid QM PH\r\n", summary(1, 0, 0, 1, 0, 0, 0, 0)},
        {"placeholder f kind=bad-guid", archived + "Incorrect GUID\r\n", summary(1, 0, 0, 0, 1, 1, 0, 0)},
        {"placeholder f kind=bad-magic", archived + "Incorrect magic value\r\n", summary(1, 0, 0, 0, 1, 1, 0, 0)},
        {"placeholder f kind=bad-signature", archived + "Incorrect signature\r\n", summary(1, 0, 0, 0, 1, 1, 0, 0)},
        {"placeholder f kind=unended-signature", archived + "Incorrect signature\r\n",
         summary(1, 0, 0, 0, 1, 1, 0, 0)},
        {"placeholder f kind=bad-url", archived + "Invalid URL\r\n", summary(1, 0, 0, 0, 1, 1, 0, 0)},
        {"placeholder f kind=empty-url", archived + "Invalid URL\r\n", summary(1, 0, 0, 0, 1, 1, 0, 0)},
        {"placeholder f kind=misplaced", archived + "Invalid URL\r\n", summary(1, 0, 0, 0, 1, 0, 0, 0)},
        {"placeholder f kind=misplaced length=2630", archived + "Invalid URL\r\n", summary(1, 0, 0, 0, 1, 0, 0, 0)},
        {"placeholder f kind=misplaced-capital-http", archived + "Invalid URL\r\n",
         summary(1, 0, 0, 0, 1, 1, 0, 0)},
        // 325: not long enough by the threshold. 326: long enough, but the
        // record ends long before 604, so no "http" is found there.
        {"placeholder f kind=misplaced length=325", archived + "Invalid URL\r\n", summary(1, 0, 0, 0, 1, 1, 0, 0)},
        {"placeholder f kind=misplaced length=326", archived + "Invalid URL\r\n", summary(1, 0, 0, 0, 1, 1, 0, 0)},
        {"placeholder f url=HtTpS://x attributes=none",
         "(Created:17/04/19 18:40:00 GMT, Size:1048576, Reparse point):Valid QM PH\r\n",
         summary(1, 0, 0, 1, 0, 0, 0, 0)},
        {"reparse f tag=0x80000013 data=0102 sparse",
         "(Created:17/04/19 18:40:00 GMT, Size:1048576, Reparse point, Sparse):None QM\r\n",
         summary(1, 0, 1, 0, 0, 0, 0, 0)},
        {"file f attributes=hidden,offline", "(Created:17/04/19 18:40:00 GMT, Size:1048576, Offline):Not a reparse point\r\n",
         summary(1, 0, 1, 0, 0, 0, 0, 0)},
    };
    for (const auto& entry : cases) {
        SCOPED_TRACE(entry.line);
        TempDir share;
        TempDir work;
        buildTreeOrFail(share / "root", entry.line + " size=1MiB created=2019-04-17T18:40:00Z\n");
        RunResult run = runStubwarden({"-v", uncPath(share / "root/f")}, {.workingDirectory = work.path()});
        bool bad = entry.summary.find("Bad placeholders:1") != std::string::npos;
        EXPECT_EQ(run.exitCode, bad ? 2 : 0);
        EXPECT_EQ(onlyReportBytes(work.path()), utf16le(reportPath(share / "root/f") + entry.verdict + entry.summary));
    }
}

// A symbolic link's creation time is the moment it was made, so it is
// audited without -v.
TEST(TreeBuilder, StubwardenSeesALinkAsAnotherKindOfReparsePoint)
{
    TempDir share;
    TempDir work;
    buildTreeOrFail(share / "root", "file target.txt\nsymlink link target=target.txt\n");
    RunResult run = runStubwarden({uncPath(share / "root/link")}, {.workingDirectory = work.path()});
    EXPECT_EQ(run.exitCode, 0);
    EXPECT_EQ(onlyReportBytes(work.path()), utf16le(summary(1, 0, 1, 0, 0, 0, 0, 0)));
}

// Nested markers are two archive points: the inner one takes its own files.
TEST(TreeBuilder, StubwardenTotalsTheArchivePointsOfTheMarkers)
{
    TempDir share;
    TempDir work;
    buildTreeOrFail(share / "root",
                    "marker outer id=AP-1 name=Outer\n"
                    "placeholder outer/a.doc size=2KiB\n"
                    "file outer/b.txt size=1KiB\n"
                    "marker outer/inner id=AP-2 name=\"Inner point\"\n"
                    "placeholder outer/inner/c.doc size=5GiB\n"
                    "placeholder outer/inner/d.doc size=1KiB attributes=offline\n");
    RunResult run = runStubwarden({"-archiveusage", uncPath(share / "root")}, {.workingDirectory = work.path()});
    EXPECT_EQ(run.exitCode, 0);
    EXPECT_EQ(onlyReportBytes(work.path()),
              utf16le("\r\nSummary\r\n-------\r\n"
                      "\r\nArchiveName\tArchivePointRootPath\tArchived Files Original Size (KB)\t"
                      "Non-Archived File Original Size (KB)\r\n"
                      "Outer\t" + reportPath(share / "root") + "\\outer\t2.00\t1.00\r\n"
                      "Inner point\t" + reportPath(share / "root") + "\\outer\\inner\t5242880.00\t1.00\r\n"));
}

TEST(TreeBuilder, TheDescriptionMayComeFromStandardInputAndTheRootMayBeUnc)
{
    TempDir share;
    writeFile(share / "description", "# a comment\r\n\r\n   \t\r\nfile a/b.txt content=x\r\n");
    RunResult result = runProgram("/bin/sh", {"-c", "\"$0\" \"$1\" < \"$2\"", kTreeBinary, uncPath(share / "root"),
                                              share / "description"});
    EXPECT_EQ(result.exitCode, 0);
    EXPECT_EQ(result.standardError, "");
    EXPECT_EQ(result.standardOutput, "Built 1 entry below " + uncPath(share / "root") + "\n");
    EXPECT_EQ(readFileBytes(share / "root/a/b.txt"), "x");

    result = runProgram("/bin/sh", {"-c", "printf 'folder c\\nfolder d\\n' | \"$0\" \"$1\" -", kTreeBinary,
                                    share / "root"});
    EXPECT_EQ(result.exitCode, 0);
    EXPECT_EQ(result.standardOutput, "Built 2 entries below " + share / "root" + "\n");
    struct stat status {};
    EXPECT_EQ(::stat((share / "root/d").c_str(), &status), 0);
}

// Every fault of a description is named with its line, and nothing is built.
TEST(TreeBuilder, ABadDescriptionNamesEachFaultyLineAndBuildsNothing)
{
    const struct {
        std::string description;
        std::string errors;
    } cases[] = {
        {"sparkle a\n",
         "line 1: unknown entry \"sparkle\"; the entries are folder, file, placeholder, reparse, symlink, marker and "
         "stream\n"},
        {"# comment\n\nfile\n", "line 3: file needs a path\n"},
        {"placeholder p kind=weird\n",
         "line 1: unknown placeholder kind \"weird\"; the kinds are good, bad-guid, bad-magic, bad-signature, "
         "unended-signature, bad-url, empty-url, misplaced, misplaced-capital-http\n"},
        {"file a size=12XB\n", "line 1: the size \"12XB\" is not a number of bytes or of KiB, MiB or GiB\n"},
        {"file a size=9000000000GiB\n", "line 1: the size \"9000000000\" is too large (at most 8589934591)\n"},
        {"file a size=2 content=abc\n", "line 1: size=2 is smaller than the content (3 bytes)\n"},
        {"file a created=2019-02-29T00:00:00Z\n",
         "line 1: the time \"2019-02-29T00:00:00Z\" is not a valid date and time from 1601 on\n"},
        {"file a created=2019-04-17\n",
         "line 1: the time \"2019-04-17\" is not of the form 2019-04-17T18:40:00Z (UTC)\n"},
        {"file a content=\"unclosed\n", "line 1: a double quote is not closed\n"},
        {"file ../a\n", "line 1: the path \"../a\" leads out of the root\n"},
        {"file /etc/a\n",
         "line 1: the path \"/etc/a\" must be relative to the root and hold no ':' (streams have a line of their "
         "own)\n"},
        {"file .\n", "line 1: the path \".\" names the root itself\n"},
        {"file a colour=red\n",
         "line 1: unknown option \"colour=\" in a file line; a file takes attributes=, content=, created=, size=, "
         "sparse\n"},
        {"file a loud\n",
         "line 1: unexpected word \"loud\" in a file line; a file takes attributes=, content=, created=, size=, "
         "sparse\n"},
        {"folder a sparse\n", "line 1: unexpected word \"sparse\" in a folder line; it takes no options\n"},
        {"file a size=1 size=2\n", "line 1: size= is given twice\n"},
        {"file a attributes=hidden,shiny\n",
         "line 1: unknown attribute \"shiny\"; the attributes are readonly, hidden, system, archive, offline and "
         "sparse, or none\n"},
        {"placeholder p length=16361\n", "line 1: the length \"16361\" is too large (at most 16360)\n"},
        {"placeholder p kind=bad-url url=http://x\n",
         "line 1: url= does not go with kind=bad-url, which writes a URL of its own\n"},
        {"reparse r data=00\n", "line 1: tag= is missing\n"},
        {"reparse r tag=0\n", "line 1: the tag must not be 0\n"},
        {"reparse r tag=0x80000013 guid=placeholder\n",
         "line 1: guid= goes only with a tag without the Microsoft bit (0x80000000): such tags have no GUID\n"},
        {"reparse r tag=0x1234 guid=9DD58ACD\n",
         "line 1: the GUID \"9DD58ACD\" is not of the form {9DD58ACD-4BE7-4F36-9CE3-B7738EE3C702}\n"},
        {"reparse r tag=0x10 data=\"61 1\"\n", "line 1: data= has an odd number of hexadecimal digits\n"},
        {"reparse r tag=0x10 data=6g\n", "line 1: data= holds \"g\", which is not a hexadecimal digit\n"},
        {"symlink l\n", "line 1: target= is missing\n"},
        {"marker m\n", "line 1: a marker takes either id= and name=, or xml=, or xml-file=\n"},
        {"marker m id=1 name=n xml=<a/>\n", "line 1: a marker takes either id= and name=, or xml=, or xml-file=\n"},
        {"stream f name=s\n", "line 1: a stream takes one of text=, hex= and file=\n"},
        {"stream f name=a:b text=x\n", "line 1: the stream name \"a:b\" must not be empty nor hold ':', '/' or '\\'\n"},
        {"file a\nfile b bad=1\nfolder c\nmystery\n",
         "line 2: unknown option \"bad=\" in a file line; a file takes attributes=, content=, created=, size=, "
         "sparse\nline 4: unknown entry \"mystery\"; the entries are folder, file, placeholder, reparse, symlink, "
         "marker and stream\n"},
    };
    for (const auto& entry : cases) {
        SCOPED_TRACE(entry.description);
        TempDir share;
        RunResult result = buildTree(share / "root", entry.description);
        EXPECT_EQ(result.exitCode, 1);
        std::string expected;
        for (std::size_t start = 0; start < entry.errors.size();) {
            std::size_t end = entry.errors.find('\n', start);
            expected += "stubwarden-tree: " + entry.errors.substr(start, end + 1 - start);
            start = end + 1;
        }
        EXPECT_EQ(result.standardError, expected);
        EXPECT_EQ(result.standardOutput, "");
        struct stat status {};
        EXPECT_NE(::stat((share / "root").c_str(), &status), 0) << "nothing is built";
    }
}

// A file named by xml-file= or file= is read with the description.
TEST(TreeBuilder, AMissingContentFileIsAFaultOfTheDescription)
{
    TempDir share;
    RunResult result = buildTree(share / "root", "marker m xml-file=" + share / "absent.xml" + "\n");
    EXPECT_EQ(result.exitCode, 1);
    EXPECT_EQ(result.standardError, "stubwarden-tree: line 1: cannot open " + share / "absent.xml" + ": error 2\n");
}

// What fails while building names its line; what came before stays.
TEST(TreeBuilder, AnEntryThatCannotBeMadeStopsTheBuildAtItsLine)
{
    const struct {
        std::string description;
        std::string error;
    } cases[] = {
        {"file a\nfile a\n",
         "line 2: CreateFileW failed for ROOT/a: error 80 (it exists already; entries are never overwritten)"},
        {"file a\nfile a/b\n",
         "line 2: CreateFileW failed for ROOT/a/b: error 3 (a folder on the way is missing or is a file)"},
        {"folder a\nstream a/missing name=s text=x\n",
         "line 2: \"a/missing\" does not exist: make it with a line above this one"},
    };
    for (const auto& entry : cases) {
        SCOPED_TRACE(entry.description);
        TempDir share;
        const std::string root = share / "root";
        RunResult result = buildTree(root, entry.description);
        EXPECT_EQ(result.exitCode, 1);
        std::string expected = entry.error;
        if (std::size_t at = expected.find("ROOT"); at != std::string::npos) {
            expected.replace(at, 4, root);
        }
        EXPECT_EQ(result.standardError, "stubwarden-tree: " + expected + "\n");
        struct stat status {};
        EXPECT_EQ(::stat((root + "/a").c_str(), &status), 0) << "the first line was built";
    }
}

TEST(TreeBuilder, TheCommandLineAndTheUsageText)
{
    const std::string usageStart = "Usage: stubwarden-tree <root-folder> [<description-file>]\n";
    RunResult help = runProgram(kTreeBinary, {"--help"});
    EXPECT_EQ(help.exitCode, 0);
    EXPECT_EQ(help.standardOutput.substr(0, usageStart.size()), usageStart);
    EXPECT_EQ(help.standardError, "");
    for (const char* entry : {"folder ", "file ", "placeholder ", "reparse ", "symlink ", "marker ", "stream "}) {
        EXPECT_NE(help.standardOutput.find(std::string("\n  ") + entry), std::string::npos) << entry;
    }
    EXPECT_EQ(runProgram(kTreeBinary, {"-h"}).standardOutput, help.standardOutput);

    TempDir share;
    const struct {
        std::vector<std::string> arguments;
        std::string problem;
    } rejected[] = {
        {{}, "the root folder is missing"},
        {{"-"}, "the root folder is missing"},
        {{share / "root", "a", "b"}, "too many arguments"},
        {{"-x", share / "root"}, "unknown option -x"},
    };
    for (const auto& entry : rejected) {
        SCOPED_TRACE(entry.problem);
        RunResult result = runProgram(kTreeBinary, entry.arguments);
        EXPECT_EQ(result.exitCode, 1);
        EXPECT_EQ(result.standardOutput, "");
        EXPECT_EQ(result.standardError, "stubwarden-tree: " + entry.problem + "\n" + help.standardOutput);
    }

    RunResult missing = runProgram(kTreeBinary, {share / "root", share / "no-such.tree"});
    EXPECT_EQ(missing.exitCode, 1);
    EXPECT_EQ(missing.standardError, "stubwarden-tree: cannot open " + share / "no-such.tree" + ": error 2\n");

    writeFile(share / "file", "");
    RunResult notFolder = buildTree(share / "file", "folder a\n");
    EXPECT_EQ(notFolder.exitCode, 1);
    EXPECT_EQ(notFolder.standardError, "stubwarden-tree: the root " + share / "file" + " is not a folder\n");
}

// The bundled sample builds, and holds what the README promises.
TEST(TreeBuilder, TheSampleShareBuildsWithEveryKind)
{
    TempDir share;
    TempDir work;
    const std::string sample = std::string(STUBWARDEN_SOURCE_DIR) + "/samples/sample-share.tree";
    RunResult result = runProgram(kTreeBinary, {share / "root", sample});
    ASSERT_EQ(result.exitCode, 0) << result.standardError;
    const std::string text = readFileBytes(sample);
    for (const char* kind : {"kind=bad-guid", "kind=bad-magic", "kind=bad-signature", "kind=unended-signature",
                             "kind=bad-url", "kind=empty-url", "kind=misplaced ", "kind=misplaced-capital-http",
                             "\nsymlink ", "\nreparse ", "\nfile "}) {
        EXPECT_NE(text.find(kind), std::string::npos) << kind;
    }
    RunResult run = runStubwarden({uncPath(share / "root")}, {.workingDirectory = work.path()});
    EXPECT_EQ(run.exitCode, 2);
    normalmode::SplitReport report = normalmode::splitReport(fromUtf16le(onlyReportBytes(work.path())));
    EXPECT_EQ(report.summary, summary(20, 0, 6, 5, 9, 8, 0, 0));

    TempDir usage;
    RunResult usageRun = runStubwarden({"-archiveusage", uncPath(share / "root")}, {.workingDirectory = usage.path()});
    EXPECT_EQ(usageRun.exitCode, 0);
    std::string usageReport = fromUtf16le(onlyReportBytes(usage.path()));
    EXPECT_NE(usageReport.find("Department archive\t" + reportPath(share / "root") + "\\dept\t"), std::string::npos);
    EXPECT_NE(usageReport.find("Projects archive\t" + reportPath(share / "root") + "\\dept\\projects\t"),
              std::string::npos);
}

}  // namespace
