// The backup privilege (CAP_DAC_READ_SEARCH here): with it an unprivileged
// account reads folders and files it otherwise may not; an account without it
// runs all the same; a privilege that cannot be enabled ends the run.
#include <gtest/gtest.h>

#include <cerrno>
#include <cstddef>
#include <fcntl.h>
#include <linux/filter.h>
#include <linux/seccomp.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include "tests/e2e/normal_mode_fixtures.h"

using namespace testsupport;
using namespace normalmode;
using treebuilder::PlaceholderKind;

namespace {

// A copy of the program given the capability in its permitted set, as an
// administrator grants it; empty when file capabilities cannot be set here.
std::string privilegedCopy(const TempDir& folder)
{
    const std::string copy = folder / "stubwarden";
    std::string command = "cp '" STUBWARDEN_BINARY "' '" + copy + "' && chmod 0755 '" + copy +
                          "' && setcap cap_dac_read_search+p '" + copy + "'";
    if (std::system(command.c_str()) != 0) {
        return {};
    }
    return copy;
}

struct Fixture {
    TempDir share;
    TempDir work;
    std::string root;
    std::string closedFolder;
    std::string closedFile;
};

// root/closed (mode 0) holds a bad placeholder; root/sealed is a misplaced
// placeholder of mode 0. The report folder is open to everyone.
void build(Fixture& f)
{
    ::chmod(f.work.path().c_str(), 0777);
    f.root = f.share / "root";
    ASSERT_EQ(::mkdir(f.root.c_str(), 0755), 0);
    f.closedFolder = f.root + "/closed";
    ASSERT_EQ(::mkdir(f.closedFolder.c_str(), 0755), 0);
    placeholder(f.closedFolder + "/bad", PlaceholderKind::WrongGuid);
    ASSERT_EQ(::chmod(f.closedFolder.c_str(), 0), 0);
    f.closedFile = f.share / "sealed";
    placeholder(f.closedFile, PlaceholderKind::Misplaced);
    ASSERT_EQ(::chmod(f.closedFile.c_str(), 0), 0);
}

TEST(FaultsPrivilege, WithTheBackupPrivilegeAnUnprivilegedAccountReadsEverything)
{
    Fixture f;
    build(f);
    TempDir binaries;
    const std::string copy = privilegedCopy(binaries);
    if (copy.empty()) {
        GTEST_SKIP() << "setcap (Debian package libcap2-bin) cannot give the copy its capability here";
    }
    RunOptions nobody{.workingDirectory = f.work.path(), .user = kNobody, .group = kNobody};

    RunResult folder = runProgram(copy, {uncPath(f.root)}, nobody);
    EXPECT_EQ(folder.exitCode, 2);
    EXPECT_EQ(folder.standardError, "");
    EXPECT_EQ(onlyReportBytes(f.work.path()), utf16le(reportPath(f.root) + "\\closed\\bad: Incorrect GUID\r\n" +
                                                      summary(1, 0, 0, 0, 1, 1, 0, 0)));
    for (const std::string& name : reportFiles(f.work.path())) {
        ::unlink((f.work / name).c_str());
    }

    // Reading is all the privilege gives: the repair may not write the file.
    RunResult file = runProgram(copy, {"-fixphs", uncPath(f.closedFile)}, nobody);
    EXPECT_EQ(file.exitCode, 2);
    EXPECT_EQ(onlyReportBytes(f.work.path()),
              utf16le(reportPath(f.closedFile) + ": Invalid URL, Failed to fix:CreateFile:5\r\n" +
                      summary(1, 0, 0, 0, 1, 0, 0, 1)));
}

// An account that does not hold the privilege gets no error for it; what it
// may not read gets its lines.
TEST(FaultsPrivilege, WithoutTheBackupPrivilegeTheRunGoesOnAndNamesWhatItCannotRead)
{
    Fixture f;
    build(f);
    RunOptions nobody{.workingDirectory = f.work.path()};

    RunResult folder = runAsNobody({uncPath(f.root)}, nobody);
    EXPECT_EQ(folder.exitCode, 0);
    EXPECT_EQ(folder.standardError, "");
    EXPECT_EQ(onlyReportBytes(f.work.path()),
              utf16le(reportPath(f.root) + "\\closed: skipped, Reason: FindFirstFileExW failed with error(5)\r\n" +
                      summary(0, 0, 0, 0, 0, 0, 0, 0)));
    for (const std::string& name : reportFiles(f.work.path())) {
        ::unlink((f.work / name).c_str());
    }

    // A file it may read but not write: the repair's open fails.
    const std::string readOnly = f.share / "read-only";
    placeholder(readOnly, PlaceholderKind::Misplaced);
    RunResult file = runAsNobody({"-v", "-fixphs", uncPath(readOnly)}, nobody);
    EXPECT_EQ(file.exitCode, 2);
    EXPECT_EQ(onlyReportBytes(f.work.path()),
              utf16le(reportPath(readOnly) +
                      "(Created:15/01/23 10:20:30 GMT, Size:1024, Reparse point, Sparse, Offline):"
                      "Invalid URL, Failed to fix:CreateFile:5\r\n" +
                      summary(1, 0, 0, 0, 1, 0, 0, 1)));
}

// The kernel refuses to change the process's capabilities (a seccomp filter
// makes capset fail with EPERM), so the privilege the account holds cannot be
// enabled: the run ends before the report is created. Runs as root, whose
// permitted set holds the capability.
TEST(FaultsPrivilege, APrivilegeThatCannotBeEnabledEndsTheRunWithoutAReport)
{
    TempDir share;
    TempDir work;
    int errorPipe[2];
    ASSERT_EQ(::pipe2(errorPipe, O_CLOEXEC), 0);
    pid_t child = ::fork();
    if (child == 0) {
        ::dup2(errorPipe[1], 2);
        struct sock_filter filter[] = {
            BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(struct seccomp_data, nr)),
            BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, SYS_capset, 0, 1),
            BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ERRNO | (EPERM & SECCOMP_RET_DATA)),
            BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ALLOW),
        };
        struct sock_fprog program = {static_cast<unsigned short>(std::size(filter)), filter};
        if (::chdir(work.path().c_str()) != 0 || ::prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) != 0 ||
            ::prctl(PR_SET_SECCOMP, SECCOMP_MODE_FILTER, &program) != 0) {
            ::_exit(125);
        }
        std::string target = uncPath(share.path());
        char* argv[] = {const_cast<char*>(STUBWARDEN_BINARY), target.data(), nullptr};
        ::execv(STUBWARDEN_BINARY, argv);
        ::_exit(127);
    }
    ::close(errorPipe[1]);
    std::string standardError;
    char buffer[512];
    ssize_t n;
    while ((n = ::read(errorPipe[0], buffer, sizeof buffer)) > 0) {
        standardError.append(buffer, static_cast<std::size_t>(n));
    }
    ::close(errorPipe[0]);
    int status = 0;
    ::waitpid(child, &status, 0);
    ASSERT_TRUE(WIFEXITED(status));
    if (WEXITSTATUS(status) == 125) {
        GTEST_SKIP() << "a seccomp filter cannot be installed here";
    }
    EXPECT_EQ(WEXITSTATUS(status), 1);
    EXPECT_EQ(standardError, "Error:Failed to set SE_BACKUP_NAME privilege\n");
    EXPECT_TRUE(reportFiles(work.path()).empty());
}

// With the capability the process runs in secure-execution mode, and the
// environment is the caller's while the privilege is not: nothing of it but
// TZ may reach a library. ICU, below the XML parser, looks for the
// converter of a marker's encoding under ICU_DATA; run under strace (as
// root, which lets the copy keep its capability while traced), the
// privileged copy never looks there, while the same program without the
// capability does: the trace would show it.
TEST(FaultsPrivilege, WithTheCapabilityTheCallersIcuDataReachesNoLibrary)
{
#if defined(__SANITIZE_ADDRESS__)
    // The leak check of an instrumented build cannot run under strace, and a
    // process in secure-execution mode reads no options that would turn it
    // off; the uninstrumented build runs this test.
    GTEST_SKIP() << "LeakSanitizer does not work under strace";
#endif
    if (::access("/usr/bin/strace", X_OK) != 0) {
        GTEST_SKIP() << "no strace (Debian package strace)";
    }
    TempDir binaries;
    const std::string privileged = privilegedCopy(binaries);
    if (privileged.empty()) {
        GTEST_SKIP() << "setcap (Debian package libcap2-bin) cannot give the copy its capability here";
    }
    const std::string plain = binaries / "stubwarden-plain";
    ASSERT_EQ(std::system(("cp '" STUBWARDEN_BINARY "' '" + plain + "' && chmod 0755 '" + plain + "'").c_str()), 0);

    TempDir share;
    TempDir icuData;
    const std::string point = makeFolder(share / "point");
    treebuilder::makeArchivePoint(wideUncPath(point), "<?xml version=\"1.0\" encoding=\"ibm-33722\"?>"
                                                      "<archivePoint><archiveQEID>ID-1</archiveQEID>"
                                                      "<name>Point</name></archivePoint>");
    const struct {
        const char* what;
        std::string binary;
        bool looksUnderIcuData;
    } cases[] = {{"with the capability", privileged, false}, {"without it", plain, true}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        TempDir work;
        ::chmod(work.path().c_str(), 0777);
        const std::string trace = work / "trace";
        RunResult result =
            runProgram("/usr/bin/strace", {"-f", "-qq", "-o", trace, "-u", "nobody", c.binary, "-archiveusage",
                                           uncPath(share.path())},
                       {.workingDirectory = work.path(), .environment = {"ICU_DATA=" + icuData.path()}});
        EXPECT_EQ(result.exitCode, 0) << result.standardError;
        EXPECT_EQ(onlyReportBytes(work.path()), utf16le(kUsageHeading + usageRow("Point", reportPath(point), "0.00",
                                                                                 "0.00")));
        EXPECT_EQ(readFileBytes(trace).find(icuData.path()) != std::string::npos, c.looksUnderIcuData);
    }
}

}  // namespace
