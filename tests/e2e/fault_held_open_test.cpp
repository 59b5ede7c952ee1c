// Another process holds files open while the program scans and repairs.
//
// The program opens each record without sharing. On Linux that is an
// exclusive flock: a process that holds a flock on the file (as the
// program itself, or Samba's share modes where they are kernel-enforced,
// would) keeps it out with ERROR_SHARING_VIOLATION (32); a process that
// merely has the file open keeps nothing out.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/file.h>
#include <sys/xattr.h>
#include <unistd.h>

#include "tests/e2e/normal_mode_fixtures.h"
#include "tests/hostile/hostile_support.h"

using namespace testsupport;
using hostile::Audit;
using hostile::audit;
using namespace normalmode;
using treebuilder::PlaceholderKind;

namespace {

std::string storedRecord(const std::string& path) { return xattr(path, "user.SmbReparse").value_or(""); }

// An open file of this process, the other process to the program.
class Holder {
public:
    Holder(const std::string& path, int lock) : fd_(::open(path.c_str(), O_RDONLY | O_CLOEXEC))
    {
        EXPECT_GE(fd_, 0) << path;
        if (lock != 0) {
            EXPECT_EQ(::flock(fd_, lock | LOCK_NB), 0) << path;
        }
    }
    ~Holder() { ::close(fd_); }
    Holder(const Holder&) = delete;
    Holder& operator=(const Holder&) = delete;

private:
    int fd_;
};

// During a scan: a file held with a lock, shared or exclusive, cannot be
// read and is named with the sharing violation; the rest of the folder is
// read; once it is let go, it reads as usual.
TEST(FaultHeldOpen, AFileLockedByAnotherProcessDuringAScanIsNamedAndTheScanGoesOn)
{
    TempDir share;
    const std::string root = share / "root";
    treebuilder::makeFolder(wideUncPath(root));
    placeholder(root + "/held.doc", PlaceholderKind::Good);
    placeholder(root + "/bad.doc", PlaceholderKind::WrongGuid);
    placeholder(root + "/good.doc", PlaceholderKind::Good);
    for (int lock : {LOCK_SH, LOCK_EX}) {
        SCOPED_TRACE(lock == LOCK_SH ? "shared lock" : "exclusive lock");
        Holder holder(root + "/held.doc", lock);
        Audit run = audit({uncPath(root)});
        EXPECT_EQ(run.run.exitCode, 2);
        SplitReport split = splitReport(fromUtf16le(run.report));
        EXPECT_EQ(split.sortedLines,
                  sorted({reportPath(root) + "\\held.doc, Failed to interogate file due to Error:CreateFile:32\n",
                          reportPath(root) + "\\bad.doc: Incorrect GUID\r\n"}));
        EXPECT_EQ(split.summary, summary(3, 1, 0, 1, 1, 1, 0, 0));
    }
    Audit released = audit({uncPath(root + "/held.doc")});
    EXPECT_EQ(released.run.exitCode, 0);
    EXPECT_EQ(released.report, utf16le(summary(1, 0, 0, 1, 0, 0, 0, 0)));
}

// A file that another process merely has open, without a lock, is read
// and repaired as usual; the holder's open file is not disturbed.
TEST(FaultHeldOpen, AFileOpenWithoutALockIsReadAndRepaired)
{
    TempDir share;
    const std::string file = share / "misplaced.doc";
    placeholder(file, PlaceholderKind::Misplaced);
    Holder holder(file, 0);
    Audit run = audit({"-fixphs", uncPath(file)});
    EXPECT_EQ(run.run.exitCode, 2);
    EXPECT_EQ(run.report, utf16le(reportPath(file) + ": Invalid URL, Fixed\r\n" + summary(1, 0, 0, 0, 1, 0, 1, 0)));
    Audit again = audit({uncPath(file)});
    EXPECT_EQ(again.report, utf16le(summary(1, 0, 0, 1, 0, 0, 0, 0)));
}

// During a repair: another process takes the file after the program has
// read its record and before it opens it for writing. The repair fails
// with the sharing violation, the record stays as it was, and the next run,
// once the file is let go, repairs it.
TEST(FaultHeldOpen, AFileTakenByAnotherProcessBetweenTheReadAndTheRepairIsLeftWhole)
{
    TempDir share;
    const std::string file = share / "misplaced.doc";
    placeholder(file, PlaceholderKind::Misplaced);
    const std::string before = storedRecord(file);
    std::unique_ptr<Holder> holder;
    hostile::OpenStop takeIt{"misplaced.doc", true, [&] { holder = std::make_unique<Holder>(file, LOCK_SH); }};
    Audit run = audit({"-fixphs", uncPath(file)}, {&takeIt});
    if (run.run.traceRefused) {
        GTEST_SKIP() << "this system does not let a test trace the program (ptrace)";
    }
    EXPECT_EQ(takeIt.seen, 1);
    EXPECT_EQ(run.run.exitCode, 2);
    EXPECT_EQ(run.report, utf16le(reportPath(file) + ": Invalid URL, Failed to fix:CreateFile:32\r\n" +
                                  summary(1, 0, 0, 0, 1, 0, 0, 1)));
    EXPECT_EQ(storedRecord(file), before);

    holder.reset();
    Audit again = audit({"-fixphs", uncPath(file)});
    EXPECT_EQ(again.run.exitCode, 2);
    EXPECT_EQ(again.report, utf16le(reportPath(file) + ": Invalid URL, Fixed\r\n" + summary(1, 0, 0, 0, 1, 0, 1, 0)));
    EXPECT_NE(storedRecord(file), before);
}

}  // namespace
