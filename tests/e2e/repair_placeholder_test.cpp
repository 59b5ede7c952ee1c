// The repair of misplaced records, on real files: the record on disk after a
// repair, the second run that finds it good, the failures of the write open
// and of the file system, and runs that must write nothing at all.
#include <gtest/gtest.h>

#include <cstring>
#include <fcntl.h>
#include <fstream>
#include <functional>
#include <map>
#include <sched.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <sys/xattr.h>
#include <unistd.h>

#include "platform/text_conversion.h"
#include "tests/e2e/normal_mode_fixtures.h"

using namespace testsupport;
using namespace normalmode;
using treebuilder::Bytes;
using treebuilder::PlaceholderKind;

namespace {

const std::string kUrl = "http://archive.example/vault/0042";

// A misplaced record of 2,900 data bytes: the URL at 604, and from 2134 to
// its end bytes that are neither zero nor each other's copies, so that a move
// of the wrong length or from the wrong place shows.
Bytes misplacedRecord()
{
    Bytes record = treebuilder::placeholderRecord(
        {.kind = PlaceholderKind::Misplaced, .url = wideText(kUrl), .dataLength = 2900});
    for (std::size_t i = 1800; i < record.size(); ++i) {
        record[i] = static_cast<BYTE>(i * 7 + 3);
    }
    return record;
}

// The file's data, size and times along with the record: nothing of it but
// the record may change.
struct FileState {
    std::map<std::string, std::string> xattrs;
    std::string data;
    struct timespec modified {};
    struct timespec changed {};
};

FileState stateOf(const std::string& path)
{
    FileState state;
    char names[4096];
    ssize_t length = ::llistxattr(path.c_str(), names, sizeof names);
    for (ssize_t at = 0; at < length; at += static_cast<ssize_t>(std::strlen(names + at)) + 1) {
        state.xattrs[names + at] = xattr(path, names + at).value_or("");
    }
    state.data = readFileBytes(path);
    struct stat status {};
    ::lstat(path.c_str(), &status);
    state.modified = status.st_mtim;
    state.changed = status.st_ctim;
    return state;
}

void expectUnchanged(const FileState& before, const FileState& after, const std::string& what)
{
    SCOPED_TRACE(what);
    EXPECT_EQ(after.xattrs, before.xattrs);
    EXPECT_EQ(after.data, before.data);
    EXPECT_EQ(after.modified.tv_sec, before.modified.tv_sec);
    EXPECT_EQ(after.modified.tv_nsec, before.modified.tv_nsec);
    // Any xattr write, even of the same value, moves the change time.
    EXPECT_EQ(after.changed.tv_sec, before.changed.tv_sec);
    EXPECT_EQ(after.changed.tv_nsec, before.changed.tv_nsec);
}

treebuilder::FileSpec archivedWithData()
{
    treebuilder::FileSpec wanted = archivedFile(1 << 20);
    wanted.content = "the first bytes of the file";
    return wanted;
}

const std::string kArchivedDescription =
    "(Created:15/01/23 10:20:30 GMT, Size:1048576, Reparse point, Sparse, Offline):";

TEST(RepairPlaceholder, ARepairedRecordIsGoodOnTheNextRunWithItsUrlAt84)
{
    TempDir share;
    const std::string file = share / "misplaced.doc";
    const Bytes record = misplacedRecord();
    treebuilder::makeReparsePoint(wideUncPath(file), archivedWithData(), record);
    const FileState before = stateOf(file);

    TempDir work;
    RunResult run = runStubwarden({"-fixphs", uncPath(file)}, {.workingDirectory = work.path()});
    EXPECT_EQ(run.exitCode, 2) << "a repaired placeholder was still a bad one";
    EXPECT_EQ(onlyReportBytes(work.path()),
              utf16le(reportPath(file) + ": Invalid URL, Fixed\r\n" + summary(1, 0, 0, 0, 1, 0, 1, 0)));

    std::optional<std::string> repaired = xattr(file, "user.SmbReparse");
    ASSERT_TRUE(repaired.has_value());
    ASSERT_EQ(repaired->size(), 2924u) << "the record keeps its length";
    const std::string old(record.begin(), record.end());
    // Tag, length (Samba's: 2,900 data bytes and the GUID), reserved, GUID,
    // magic value and signature as they were.
    EXPECT_EQ(repaired->substr(0, 62), bytes("10 00 00 00 64 0b 00 00 cd 8a d5 9d e7 4b 36 4f 9c e3 b7 73 8e e3 c7 02"
                                             "61 1e 00 00") +
                                           utf16le("Q-MARLO012345678") + bytes("00 00"));
    EXPECT_EQ(repaired->substr(62, 18), old.substr(62, 18));
    EXPECT_EQ(repaired->substr(80, 4), bytes("01 00 00 00"));
    EXPECT_EQ(repaired->substr(84, 2 * kUrl.size() + 2), utf16le(kUrl) + bytes("00 00"));
    EXPECT_EQ(repaired->substr(84, 2050), old.substr(604, 2050)) << "byte 84 + k is the old byte 604 + k";
    EXPECT_EQ(repaired->substr(2134), old.substr(2134)) << "the bytes from 2134 on keep their content";

    const FileState after = stateOf(file);
    EXPECT_EQ(after.data, before.data);
    EXPECT_EQ(after.xattrs.at("user.DOSATTRIB"), before.xattrs.at("user.DOSATTRIB"));
    EXPECT_EQ(after.modified.tv_nsec, before.modified.tv_nsec);

    TempDir second;
    RunResult again = runStubwarden({"-v", "-fixphs", uncPath(file)}, {.workingDirectory = second.path()});
    EXPECT_EQ(again.exitCode, 0);
    EXPECT_EQ(onlyReportBytes(second.path()),
              utf16le(reportPath(file) + kArchivedDescription + "Valid QM PH\r\n" + summary(1, 0, 0, 1, 0, 0, 0, 0)));
}

// A folder in which every bad placeholder is repaired still ends with 2.
TEST(RepairPlaceholder, EveryRepairableRecordOfAFolderIsRepairedOnce)
{
    TempDir share;
    const std::string root = share / "root";
    ASSERT_EQ(::mkdir(root.c_str(), 0755), 0);
    for (const char* name : {"one.doc", "two.doc"}) {
        placeholder(root + "/" + name, PlaceholderKind::Misplaced);
    }
    placeholder(root + "/good.doc", PlaceholderKind::Good);

    TempDir work;
    RunResult run = runStubwarden({"-fixphs", uncPath(root)}, {.workingDirectory = work.path()});
    EXPECT_EQ(run.exitCode, 2);
    SplitReport report = splitReport(fromUtf16le(onlyReportBytes(work.path())));
    EXPECT_EQ(report.sortedLines, sorted({reportPath(root) + "\\one.doc: Invalid URL, Fixed\r\n",
                                          reportPath(root) + "\\two.doc: Invalid URL, Fixed\r\n"}));
    EXPECT_EQ(report.summary, summary(3, 0, 0, 1, 2, 0, 2, 0));

    TempDir second;
    RunResult again = runStubwarden({"-fixphs", uncPath(root)}, {.workingDirectory = second.path()});
    EXPECT_EQ(again.exitCode, 0);
    EXPECT_EQ(onlyReportBytes(second.path()), utf16le(summary(3, 0, 0, 3, 0, 0, 0, 0)));
}

// An account that may read the file but not write it: the read open
// succeeds and is closed, the write open of the repair is refused.
TEST(RepairPlaceholder, AFileThatCannotBeOpenedForWritingIsLeftAsItWas)
{
    TempDir share;
    TempDir work;
    ::chmod(work.path().c_str(), 0777);
    const std::string file = share / "read-only-to-nobody.doc";
    treebuilder::makeReparsePoint(wideUncPath(file), archivedWithData(), misplacedRecord());
    ASSERT_EQ(::chmod(file.c_str(), 0644), 0);
    const FileState before = stateOf(file);

    RunResult run = runAsNobody({"-fixphs", uncPath(file)}, {.workingDirectory = work.path()});
    EXPECT_EQ(run.exitCode, 2);
    EXPECT_EQ(run.standardError, "");
    EXPECT_EQ(onlyReportBytes(work.path()), utf16le(reportPath(file) + ": Invalid URL, Failed to fix:CreateFile:5\r\n" +
                                                    summary(1, 0, 0, 0, 1, 0, 0, 1)));
    expectUnchanged(before, stateOf(file), "after the failed repair");
}

// A file system out of space refuses the new record: tmpfs charges an xattr
// that is replaced for its new value before it frees the old one, so once
// the space is used up the repair's one setxattr fails (ENOSPC, 112) and the
// old record stays whole.
TEST(RepairPlaceholder, ARecordTheFileSystemRefusesIsNamedAndLeftWhole)
{
    TempDir outside;
    TempDir work;
    const std::string volume = outside / "volume";
    ASSERT_EQ(::mkdir(volume.c_str(), 0755), 0);
    const std::string file = volume + "/full.doc";
    const Bytes record = misplacedRecord();
    const Bytes kept = treebuilder::sambaForm(record);  // as the volume keeps it
    const std::string recordBytes(kept.begin(), kept.end());
    std::string after;

    int result = inOwnMountNamespace([&]() {
        if (::mount("stubwarden-test", volume.c_str(), "tmpfs", 0, "size=4m,nr_inodes=16") != 0) {
            return 77;
        }
        try {
            treebuilder::makeReparsePoint(wideUncPath(file), archivedWithData(), record);
        } catch (const treebuilder::BuildError&) {
            return 78;  // a tmpfs that keeps no user xattrs
        }
        // Use up the space that is left, down to the last byte an xattr can take.
        int filler = 0;
        for (std::size_t size = 8192; size > 0; size /= 2) {
            std::string value(size, 'x');
            while (::setxattr(volume.c_str(), ("user.filler" + std::to_string(filler)).c_str(), value.data(),
                              value.size(), 0) == 0) {
                ++filler;
            }
        }
        RunResult run = runStubwarden({"-fixphs", uncPath(file)}, {.workingDirectory = work.path()});
        std::ofstream(outside / "after", std::ios::binary) << xattr(file, "user.SmbReparse").value_or("absent");
        return run.exitCode;
    });
    if (result == 77 || result == 78) {
        GTEST_SKIP() << (result == 77 ? "no mount namespace or tmpfs here" : "tmpfs keeps no user xattrs here");
    }
    EXPECT_EQ(result, 2);
    EXPECT_EQ(onlyReportBytes(work.path()),
              utf16le(reportPath(file) + ": Invalid URL, Failed to fix:DeviceIoControl:112\r\n" +
                      summary(1, 0, 0, 0, 1, 0, 0, 1)));
    EXPECT_EQ(readFileBytes(outside / "after"), recordBytes) << "the old record, whole";
}

// Without -fixphs nothing is written, whatever the record; with it, only
// the repairable record changes.
TEST(RepairPlaceholder, OnlyARepairWritesAndOnlyToTheRepairableRecord)
{
    TempDir share;
    const std::string root = share / "root";
    ASSERT_EQ(::mkdir(root.c_str(), 0755), 0);
    const std::map<std::string, PlaceholderKind> kinds = {
        {"misplaced.doc", PlaceholderKind::Misplaced},     {"capital.doc", PlaceholderKind::MisplacedCapitalHttp},
        {"guid.doc", PlaceholderKind::WrongGuid},          {"url.doc", PlaceholderKind::WrongUrl},
        {"good.doc", PlaceholderKind::Good},
    };
    std::map<std::string, FileState> before;
    for (const auto& [name, kind] : kinds) {
        treebuilder::makePlaceholder(wideUncPath(root + "/" + name), {.kind = kind}, archivedWithData());
        before[name] = stateOf(root + "/" + name);
    }
    for (const std::vector<std::string>& options :
         std::vector<std::vector<std::string>>{{}, {"-v"}, {"-d"}, {"-v", "-d"}}) {
        TempDir work;
        std::vector<std::string> arguments = options;
        arguments.push_back(uncPath(root));
        EXPECT_EQ(runStubwarden(arguments, {.workingDirectory = work.path()}).exitCode, 2);
        for (const auto& [name, state] : before) {
            expectUnchanged(state, stateOf(root + "/" + name), name + " without -fixphs");
        }
    }
    TempDir work;
    EXPECT_EQ(runStubwarden({"-d", "-fixphs", uncPath(root)}, {.workingDirectory = work.path()}).exitCode, 2);
    for (const auto& [name, state] : before) {
        if (name != "misplaced.doc") {
            expectUnchanged(state, stateOf(root + "/" + name), name + " with -fixphs");
        }
    }
    EXPECT_NE(stateOf(root + "/misplaced.doc").xattrs.at("user.SmbReparse"),
              before.at("misplaced.doc").xattrs.at("user.SmbReparse"));
}

}  // namespace
