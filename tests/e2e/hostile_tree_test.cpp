// Hostile trees walked by the real program: names no Windows share has,
// a tree deeper than a path can name, symbolic link cycles and lattices, a
// file and a folder that vanish between being listed and being opened, a
// placeholder changed between its validation and its repair, and a folder
// that cannot be read in the middle of a tree. Every run must end, with
// each entry it could not handle named on its line, and the rest walked, in
// memory that grows with the depth of the tree, not its square.
//
// Where a folder holds more than one entry the file system orders them as
// it likes: those reports are compared as sorted records plus the summary.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <filesystem>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>

#include "platform/text_conversion.h"
#include "tests/e2e/normal_mode_fixtures.h"
#include "tests/hostile/hostile_support.h"

using namespace testsupport;
using hostile::Audit;
using hostile::audit;
using namespace normalmode;
using treebuilder::PlaceholderKind;

namespace {

// Report text as sorted records (split after each LF, as the report is
// read), the lines given in the same form.
std::vector<std::string> records(const std::vector<std::string>& lines)
{
    std::string text;
    for (const std::string& line : lines) {
        text += line;
    }
    return sorted(reportRecords(text));
}

// Names a Linux share may hold and Windows never has: bytes that are not
// UTF-8, line breaks, and the longest name there is, in bytes of one, two
// and four per character and ending in a byte that is not UTF-8. Each is a
// bad placeholder, named on its line with the bytes it has; a line break is
// U+F00A or U+F00D there, as NTFS names hold no control character.
TEST(HostileTree, NamesThatAreNotUtf8HoldLineBreaksOrAreTheLongest)
{
    TempDir share;
    const std::string root = makeFolder(share / "share");
    std::string e = "\xc3\xa9";       // U+00E9
    std::string face = "\xf0\x9f\x98\x80";  // U+1F600
    std::string twoByte;
    std::string fourByte;
    for (int i = 0; i < 127; ++i) {
        twoByte += e;
    }
    for (int i = 0; i < 63; ++i) {
        fourByte += face;
    }
    const std::vector<std::string> names = {
        "caf\xe9",                          // Latin-1
        "\x80",                             // a lone continuation byte
        "\xed\xa0\x80 encoded surrogate",   // UTF-8 of U+D800, which is not UTF-8
        "\xc0\xaf overlong slash",
        "line\nfeed",
        "carriage\rreturn",
        "\r\n",
        std::string(255, 'n'),
        twoByte + "x",
        fourByte + "abc",
        std::string(254, 'a') + "\xff",
    };
    std::vector<std::string> lines;
    for (const std::string& name : names) {
        ASSERT_LE(name.size(), 255u);
        placeholder(root + "/" + name, PlaceholderKind::WrongGuid);
        std::string shown;
        for (char c : name) {
            shown += c == '\n' ? "\xef\x80\x8a" : c == '\r' ? "\xef\x80\x8d" : std::string(1, c);
        }
        lines.push_back(reportPath(root) + "\\" + shown + ": Incorrect GUID\r\n");
    }
    Audit run = audit({uncPath(root)});
    EXPECT_EQ(run.run.exitCode, 2);
    SplitReport split = splitReport(fromUtf16le(run.report));
    EXPECT_EQ(split.sortedLines, records(lines));
    EXPECT_EQ(split.summary, summary(11, 0, 0, 0, 11, 11, 0, 0));
    // The byte that is not UTF-8 is the code unit 0xDCFF in the report.
    std::string escaped = utf16le("\\" + std::string(254, 'a')) + std::string("\xff\xdc", 2) +
                          utf16le(": Incorrect GUID\r\n");
    EXPECT_NE(run.report.find(escaped), std::string::npos);
}

// A chain of folders far deeper than the 32,767 code units a path may
// have: the first folder whose search pattern is too long gets its line; a
// placeholder in the deepest folder that can be reached is read under its
// full path; and the walk goes on beside the chain.
TEST(HostileTree, ATreeDeeperThanAPathCanNameIsWalkedAsFarAsItCanBeNamed)
{
    TempDir share;
    const std::string root = makeFolder(share / "root");
    placeholder(makeFolder(root + "/a") + "/bad.doc", PlaceholderKind::WrongGuid);
    placeholder(makeFolder(root + "/z") + "/bad.doc", PlaceholderKind::WrongGuid);
    const std::string name(250, 'd');
    const std::string record = [] {
        treebuilder::Bytes bytes = treebuilder::sambaForm(treebuilder::placeholderRecord({.kind = PlaceholderKind::WrongGuid}));
        return std::string(bytes.begin(), bytes.end());
    }();
    const std::string attributes =
        dosAttribValue(FILE_ATTRIBUTE_REPARSE_POINT | FILE_ATTRIBUTE_OFFLINE | FILE_ATTRIBUTE_SPARSE_FILE);
    std::string path = root + "/deep";
    ASSERT_EQ(::mkdir(path.c_str(), 0755), 0);
    int folder = ::open(path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    std::string deepest;
    std::string firstTooLong;
    for (int depth = 0; firstTooLong.empty() && depth < 200; ++depth) {
        ASSERT_EQ(::mkdirat(folder, name.c_str(), 0755), 0);
        int next = ::openat(folder, name.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        ASSERT_GE(next, 0);
        if ((reportPath(path + "/" + name) + "\\*").size() > 32767) {
            firstTooLong = path + "/" + name;
            deepest = path;
            // The placeholder "b" beside it: its path is as long as the search pattern.
            int file = ::openat(folder, "b", O_WRONLY | O_CREAT | O_CLOEXEC, 0644);
            ASSERT_EQ(::fsetxattr(file, "user.DOSATTRIB", attributes.data(), attributes.size(), 0), 0);
            ASSERT_EQ(::fsetxattr(file, "user.SmbReparse", record.data(), record.size(), 0), 0);
            ::close(file);
        }
        ::close(folder);
        folder = next;
        path += "/" + name;
    }
    ::close(folder);
    ASSERT_FALSE(firstTooLong.empty());
    ASSERT_GT(firstTooLong.size(), 32767u);

    Audit run = audit({uncPath(root)});
    EXPECT_EQ(run.run.exitCode, 2);
    SplitReport split = splitReport(fromUtf16le(run.report));
    EXPECT_EQ(split.sortedLines,
              sorted({reportPath(root) + "\\a\\bad.doc: Incorrect GUID\r\n",
                      reportPath(root) + "\\z\\bad.doc: Incorrect GUID\r\n",
                      reportPath(deepest) + "\\b: Incorrect GUID\r\n",
                      reportPath(firstTooLong) + ": skipped, Reason: FindFirstFileExW failed with error(206)\r\n"}));
    EXPECT_EQ(split.summary, summary(3, 0, 0, 0, 3, 3, 0, 0));
}

// Links that lead nowhere but round (to themselves, to each other) are
// files that are reparse points of another kind; a chain of folder links
// that leads back to the target is skipped where it closes. The run ends.
TEST(HostileTree, SymbolicLinkCyclesEnd)
{
    TempDir share;
    const std::string root = makeFolder(share / "root");
    placeholder(root + "/bad.doc", PlaceholderKind::WrongGuid);
    ASSERT_EQ(::symlink("self", (root + "/self").c_str()), 0);
    ASSERT_EQ(::symlink("pong", (root + "/ping").c_str()), 0);
    ASSERT_EQ(::symlink("ping", (root + "/pong").c_str()), 0);
    const std::string one = makeFolder(root + "/one");
    const std::string two = makeFolder(one + "/two");
    ASSERT_EQ(::symlink("../../three", (two + "/to-three").c_str()), 0);
    ASSERT_EQ(::symlink(root.c_str(), (root + "/three").c_str()), 0);  // three -> root: the chain closes

    Audit run = audit({uncPath(root)});
    EXPECT_EQ(run.run.exitCode, 2);
    SplitReport split = splitReport(fromUtf16le(run.report));
    EXPECT_EQ(split.sortedLines,
              sorted({reportPath(root) + "\\bad.doc: Incorrect GUID\r\n",
                      reportPath(root) + "\\three: skipped, Reason: reparse point leads back to " + reportPath(root) +
                          "\r\n",
                      reportPath(two) + "\\to-three: skipped, Reason: reparse point leads back to " +
                          reportPath(root) + "\r\n"}));
    EXPECT_EQ(split.summary, summary(4, 0, 3, 0, 1, 1, 0, 0));
}

// A placeholder and a folder removed after the walk has listed them, at the
// moment the program opens them: the file counts as one that could not be
// read, the folder is skipped with its line, and the walk goes on.
TEST(HostileTree, AFileAndAFolderThatVanishBetweenListingAndOpening)
{
    TempDir share;
    const std::string root = makeFolder(share / "root");
    const std::string file = root + "/vanishing.doc";
    const std::string folder = makeFolder(root + "/vanishing-folder");
    placeholder(file, PlaceholderKind::WrongGuid);
    placeholder(folder + "/inside.doc", PlaceholderKind::WrongGuid);
    placeholder(root + "/stays.doc", PlaceholderKind::WrongGuid);

    hostile::OpenStop fileStop{"vanishing.doc", false, [&] { ASSERT_EQ(::unlink(file.c_str()), 0); }};
    hostile::OpenStop folderStop{"vanishing-folder", false, [&] { std::filesystem::remove_all(folder); }};
    Audit run = audit({uncPath(root)}, {&fileStop, &folderStop});
    if (run.run.traceRefused) {
        GTEST_SKIP() << "this system does not let a test trace the program (ptrace)";
    }
    EXPECT_EQ(fileStop.seen, 1);
    EXPECT_EQ(folderStop.seen, 1);
    EXPECT_EQ(run.run.exitCode, 2);
    SplitReport split = splitReport(fromUtf16le(run.report));
    EXPECT_EQ(split.sortedLines,
              sorted({reportPath(file) + ", Failed to interogate file due to Error:CreateFile:2\n",
                      reportPath(folder) + ": skipped, Reason: FindFirstFileExW failed with error(3)\r\n",
                      reportPath(root) + "\\stays.doc: Incorrect GUID\r\n"}));
    EXPECT_EQ(split.summary, summary(2, 1, 0, 0, 1, 1, 0, 0));
}

// A placeholder swapped for a symbolic link at the moment the repair opens
// it for writing: the repair fails, and neither the link nor the file it
// points to is written, whatever that file holds.
TEST(HostileTree, APlaceholderSwappedForALinkBeforeItsRepairWritesNothingThroughIt)
{
    TempDir share;
    const std::string root = makeFolder(share / "root");
    const std::string file = root + "/misplaced.doc";
    const std::string victim = makeFolder(share / "elsewhere") + "/victim.doc";
    placeholder(file, PlaceholderKind::Misplaced);
    placeholder(victim, PlaceholderKind::Misplaced);
    auto record = [](const std::string& path) { return xattr(path, "user.SmbReparse").value_or(""); };
    const std::string victimRecord = record(victim);
    const std::string link = root + "/link";
    ASSERT_EQ(::symlink(victim.c_str(), link.c_str()), 0);
    hostile::OpenStop swap{"misplaced.doc", true, [&] { ASSERT_EQ(::rename(link.c_str(), file.c_str()), 0); }};
    Audit run = audit({"-fixphs", uncPath(file)}, {&swap});
    if (run.run.traceRefused) {
        GTEST_SKIP() << "this system does not let a test trace the program (ptrace)";
    }
    EXPECT_EQ(swap.seen, 1);
    EXPECT_EQ(run.run.exitCode, 2);
    // The open does not follow the link: ERROR_CANT_RESOLVE_FILENAME (ELOOP).
    EXPECT_EQ(run.report, utf16le(reportPath(file) + ": Invalid URL, Failed to fix:CreateFile:1921\r\n" +
                                  summary(1, 0, 0, 0, 1, 0, 0, 1)));
    EXPECT_EQ(record(victim), victimRecord);
    char target[4096] = {};
    EXPECT_EQ(std::string(target, static_cast<std::size_t>(::readlink(file.c_str(), target, sizeof target))), victim);
}

// Another placeholder renamed over the one being repaired, or its record
// set anew by another writer, between the validation and the repair's write:
// the repair writes nothing, and its line says so with ERROR_FILE_INVALID
// (1006), "the file has been externally altered", or with the error of the
// record that can no longer be read (a file that is no reparse point: 4390).
TEST(HostileTree, APlaceholderChangedBeforeItsRepairIsNotWritten)
{
    auto record = [](treebuilder::PlaceholderKind kind, const char* url) {
        treebuilder::Bytes bytes = treebuilder::sambaForm(treebuilder::placeholderRecord({.kind = kind, .url = wideText(url)}));
        return std::string(bytes.begin(), bytes.end());
    };
    const std::string validated = record(PlaceholderKind::Misplaced, "http://archive.example/vault/validated");
    const std::string other = record(PlaceholderKind::Misplaced, "http://archive.example/vault/other");
    enum class Change { RenamedOverSameRecord, RenamedOverOtherRecord, RenamedOverPlainFile, RecordSetAnew };
    const struct {
        const char* label;
        Change change;
        std::string outcome;
        std::optional<std::string> recordAfter;  // nullopt: none
    } cases[] = {
        {"another placeholder with the same record renamed over it", Change::RenamedOverSameRecord,
         ", Failed to fix:DeviceIoControl:1006", validated},
        {"another placeholder renamed over it", Change::RenamedOverOtherRecord, ", Failed to fix:DeviceIoControl:1006",
         other},
        {"a plain file renamed over it", Change::RenamedOverPlainFile, ", Failed to fix:DeviceIoControl:4390",
         std::nullopt},
        {"its record set anew by another writer", Change::RecordSetAnew, ", Failed to fix:DeviceIoControl:1006",
         other},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.label);
        TempDir share;
        const std::string root = makeFolder(share / "root");
        const std::string file = root + "/misplaced.doc";
        const std::string replacement = makeFolder(share / "elsewhere") + "/replacement.doc";
        placeholder(file, PlaceholderKind::Misplaced);
        setXattr(file, "user.SmbReparse", validated);
        if (c.change == Change::RenamedOverPlainFile) {
            makePlainFile(replacement, 1024);
        } else {
            placeholder(replacement, PlaceholderKind::Misplaced);
            setXattr(replacement, "user.SmbReparse", c.change == Change::RenamedOverSameRecord ? validated : other);
        }
        hostile::OpenStop change{"misplaced.doc", true, [&] {
                                     if (c.change == Change::RecordSetAnew) {
                                         setXattr(file, "user.SmbReparse", other);
                                     } else {
                                         ASSERT_EQ(::rename(replacement.c_str(), file.c_str()), 0);
                                     }
                                 }};
        Audit run = audit({"-fixphs", uncPath(file)}, {&change});
        if (run.run.traceRefused) {
            GTEST_SKIP() << "this system does not let a test trace the program (ptrace)";
        }
        EXPECT_EQ(change.seen, 1);
        EXPECT_EQ(run.run.exitCode, 2);
        EXPECT_EQ(run.report, utf16le(reportPath(file) + ": Invalid URL" + c.outcome + "\r\n" +
                                      summary(1, 0, 0, 0, 1, 0, 0, 1)));
        EXPECT_EQ(xattr(file, "user.SmbReparse"), c.recordAfter);
    }
}

// Folder links that form no cycle but a lattice, L_i/x and L_i/y both
// leading to L_i+1, reach the last folder by 2^40 paths. Each folder is
// entered once, by the path the walk meets first; the other link to it gets
// the line a cycle gets, naming that path.
TEST(HostileTree, AFolderLinkLatticeIsWalkedOncePerFolder)
{
    constexpr int kLevels = 40;
    TempDir share;
    std::vector<std::string> levels;
    for (int i = 0; i <= kLevels; ++i) {
        levels.push_back(makeFolder(share / ("L" + std::to_string(i))));
    }
    placeholder(levels.back() + "/bad.doc", PlaceholderKind::WrongGuid);
    for (int i = 0; i < kLevels; ++i) {
        for (const char* name : {"x", "y"}) {
            ASSERT_EQ(::symlink(levels[i + 1].c_str(), (levels[i] + "/" + name).c_str()), 0);
        }
    }
    std::vector<std::string> lines;
    std::string walked = reportPath(levels.front());  // the path L_i is walked by
    for (int i = 0; i < kLevels; ++i) {
        std::vector<std::string> names = listedNames(levels[i]);
        ASSERT_EQ(names.size(), 2u);
        lines.push_back(walked + "\\" + names[1] + ": skipped, Reason: reparse point leads back to " + walked +
                        "\\" + names[0] + "\r\n");
        walked += "\\" + names[0];
    }
    lines.push_back(walked + "\\bad.doc: Incorrect GUID\r\n");

    TempDir work;
    hostile::Run run = hostile::runProgram({uncPath(levels.front())}, work.path(), {}, std::chrono::seconds(30));
    EXPECT_EQ(run.exitCode, 2);
    EXPECT_EQ(run.standardError, "");
    if (run.timedOut) {
        return;  // the report may be of any size
    }
    SplitReport split = splitReport(fromUtf16le(onlyReportBytes(work.path())));
    EXPECT_EQ(split.sortedLines, sorted(lines));
    EXPECT_EQ(split.summary, summary(1, 0, 0, 0, 1, 1, 0, 0));
}

// A chain of folders "d/d/.../d" below `root` with one file at its bottom,
// on tmpfs (/dev/shm), where folders come and go fast; removed bottom up
// through "..", with no long path and two descriptors at a time.
class FolderChain {
public:
    FolderChain()
    {
        std::string pattern = "/dev/shm/stubwarden-test-XXXXXX";
        if (::access("/dev/shm", W_OK) == 0 && ::mkdtemp(pattern.data()) != nullptr) {
            share_ = pattern;
        }
    }
    ~FolderChain()
    {
        if (share_.empty()) {
            return;
        }
        int folder = ::open(share_.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        int depth = 0;
        for (int next; (next = ::openat(folder, "d", O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC)) >= 0; ++depth) {
            ::close(folder);
            folder = next;
        }
        ::unlinkat(folder, "bad.doc", 0);
        for (; depth > 0; --depth) {
            int parent = ::openat(folder, "..", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
            ::close(folder);
            ::unlinkat(parent, "d", AT_REMOVEDIR);
            folder = parent;
        }
        ::close(folder);
        ::rmdir(share_.c_str());
    }
    FolderChain(const FolderChain&) = delete;
    FolderChain& operator=(const FolderChain&) = delete;

    [[nodiscard]] const std::string& root() const { return share_; }

private:
    std::string share_;
};

// A chain of 16,000 folders, as deep as a path can name with one-letter
// names, walked to its end within 768 MiB of address space: 48 KiB per
// level. What a level does need is its enumeration, of which the C library's
// buffer takes 32 KiB (the whole run about 600 MB). Were each level to keep
// a copy of its path as well (16,000 code units on average here), each such
// copy would add 256 MB (512 MB as UTF-16), and the run would fail.
TEST(HostileTree, ATreeAsDeepAsAPathCanNameIsWalkedInMemoryLinearInItsDepth)
{
#if defined(__SANITIZE_ADDRESS__)
    GTEST_SKIP() << "AddressSanitizer reserves more address space than the limit this test sets";
#endif
    constexpr int kDepth = 16000;
    constexpr rlim_t kAddressSpace = rlim_t{768} << 20;
    struct rlimit descriptors {};
    ::getrlimit(RLIMIT_NOFILE, &descriptors);
    if (descriptors.rlim_max != RLIM_INFINITY && descriptors.rlim_max < kDepth + 64) {
        GTEST_SKIP() << "the walk holds a descriptor per level; this system allows " << descriptors.rlim_max;
    }
    FolderChain chain;
    if (chain.root().empty()) {
        GTEST_SKIP() << "no /dev/shm";
    }
    int folder = ::open(chain.root().c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    std::string deepest = chain.root();
    for (int depth = 0; depth < kDepth; ++depth) {
        ASSERT_EQ(::mkdirat(folder, "d", 0755), 0);
        int next = ::openat(folder, "d", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        ASSERT_GE(next, 0);
        ::close(folder);
        folder = next;
        deepest += "/d";
    }
    const std::string record = [] {
        treebuilder::Bytes bytes = treebuilder::sambaForm(treebuilder::placeholderRecord({.kind = PlaceholderKind::WrongGuid}));
        return std::string(bytes.begin(), bytes.end());
    }();
    const std::string attributes =
        dosAttribValue(FILE_ATTRIBUTE_REPARSE_POINT | FILE_ATTRIBUTE_OFFLINE | FILE_ATTRIBUTE_SPARSE_FILE);
    int file = ::openat(folder, "bad.doc", O_WRONLY | O_CREAT | O_CLOEXEC, 0644);
    ASSERT_EQ(::fsetxattr(file, "user.DOSATTRIB", attributes.data(), attributes.size(), 0), 0);
    ASSERT_EQ(::fsetxattr(file, "user.SmbReparse", record.data(), record.size(), 0), 0);
    ::close(file);
    ::close(folder);
    ASSERT_LT((reportPath(deepest) + "\\*").size(), 32767u);

    TempDir work;
    hostile::Run run = hostile::runProgram({uncPath(chain.root())}, work.path(), {}, std::chrono::seconds(300), [] {
        struct rlimit space {kAddressSpace, kAddressSpace};
        struct rlimit open {};
        ::getrlimit(RLIMIT_NOFILE, &open);
        open.rlim_cur = open.rlim_max;
        ::setrlimit(RLIMIT_NOFILE, &open);
        ::setrlimit(RLIMIT_AS, &space);
    });
    EXPECT_EQ(run.exitCode, 2);
    EXPECT_EQ(run.standardError, "");
    EXPECT_EQ(onlyReportBytes(work.path()),
              utf16le(reportPath(deepest) + "\\bad.doc: Incorrect GUID\r\n" + summary(1, 0, 0, 0, 1, 1, 0, 0)));
}

// Without the backup privilege, a folder of mode 0 in the middle of a tree
// is skipped with its line; the folders beside it, before and after it in
// any order, and below them, are walked.
TEST(HostileTree, AFolderThatCannotBeReadInTheMiddleOfATree)
{
    TempDir share;
    const std::string root = makeFolder(share / "root");
    std::vector<std::string> lines;
    for (const std::string name : {"a", "m", "z"}) {
        const std::string deeper = makeFolder(makeFolder(root + "/" + name) + "/deeper");
        placeholder(deeper + "/bad.doc", PlaceholderKind::WrongGuid);
        lines.push_back(reportPath(deeper) + "\\bad.doc: Incorrect GUID\r\n");
    }
    const std::string closed = makeFolder(root + "/m/closed");
    placeholder(closed + "/hidden.doc", PlaceholderKind::WrongGuid);
    ::chmod(closed.c_str(), 0);
    lines.push_back(reportPath(closed) + ": skipped, Reason: FindFirstFileExW failed with error(5)\r\n");

    TempDir work;
    ::chmod(work.path().c_str(), 0777);
    RunResult run = runAsNobody({uncPath(root)}, {.workingDirectory = work.path()});
    EXPECT_EQ(run.exitCode, 2);
    EXPECT_EQ(run.standardError, "");
    SplitReport split = splitReport(fromUtf16le(onlyReportBytes(work.path())));
    EXPECT_EQ(split.sortedLines, sorted(lines));
    EXPECT_EQ(split.summary, summary(3, 0, 0, 0, 3, 3, 0, 0));
}

// Every file and folder is let go once handled, on every path through the
// program: with no more than 20 descriptors a tree of 120 files of every
// outcome, and 10 archive points, is walked in both modes to its end.
TEST(HostileTree, NoDescriptorIsKeptOpenWhateverTheOutcome)
{
    TempDir share;
    const std::string root = makeFolder(share / "root");
    const std::string shortRecord = "\x10\x00\x00\x00\x02\x00";  // refused: shorter than its header
    std::vector<std::string> normalLines;
    std::vector<std::string> usageLines;
    std::string rows;
    for (int f = 0; f < 10; ++f) {
        const std::string folder = makeFolder(root + "/f" + std::to_string(f));
        treebuilder::makeArchivePoint(wideUncPath(folder), treebuilder::archivePointXml("F" + std::to_string(f), "F"));
        rows += "F\t" + reportPath(folder) + "\t3.00\t9.00\r\n";
        for (int i = 0; i < 3; ++i) {
            const std::string n = std::to_string(i);
            placeholder(folder + "/good" + n, PlaceholderKind::Good);
            placeholder(folder + "/guid" + n, PlaceholderKind::WrongGuid);
            placeholder(folder + "/misplaced" + n, PlaceholderKind::Misplaced);
            placeholder(folder + "/short" + n, PlaceholderKind::Good);
            ASSERT_EQ(::setxattr((folder + "/short" + n).c_str(), "user.SmbReparse", shortRecord.data(),
                                 shortRecord.size(), 0),
                      0);
            const std::string path = reportPath(folder) + "\\";
            normalLines.push_back(path + "guid" + n + ": Incorrect GUID, Can't fix\r\n");
            normalLines.push_back(path + "misplaced" + n + ": Invalid URL, Fixed\r\n");
            normalLines.push_back(path + "short" + n + ", Failed to interogate file due to Error:DeviceIoControl:4392\n");
            usageLines.push_back(path + "guid" + n + ": Incorrect GUID\r\n");
            usageLines.push_back(path + "misplaced" + n + ": Invalid URL\r\n");
            usageLines.push_back(path + "short" + n + ", Failed to determine QM ph due to Error:DeviceIoControl:4392\n");
            usageLines.push_back("\r\n");
        }
    }
    auto fewDescriptors = [] {
        struct rlimit limit {20, 20};
        ::setrlimit(RLIMIT_NOFILE, &limit);
    };
    const std::vector<std::pair<std::vector<std::string>, std::vector<std::string>*>> runs = {
        {{"-archiveusage", uncPath(root)}, &usageLines},
        {{"-fixphs", uncPath(root)}, &normalLines},
    };
    for (const auto& [arguments, lines] : runs) {
        SCOPED_TRACE(arguments.front());
        TempDir work;
        hostile::Run run = hostile::runProgram(arguments, work.path(), {}, std::chrono::seconds(120), fewDescriptors);
        EXPECT_EQ(run.exitCode, arguments.front() == "-fixphs" ? 2 : 0);
        EXPECT_EQ(run.standardError, "");
        SplitReport split = splitReport(fromUtf16le(onlyReportBytes(work.path())));
        EXPECT_EQ(split.sortedLines, records(*lines));
        EXPECT_EQ(split.summary, arguments.front() == "-fixphs" ? summary(120, 30, 0, 30, 60, 30, 30, 0)
                                                                : kUsageHeading + rows);
    }
}

}  // namespace
