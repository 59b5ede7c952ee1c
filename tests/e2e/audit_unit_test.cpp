// The Debian package's nightly audit: stubwarden-audit@.service and its
// timer, verified by systemd-analyze, and the service's command line run as
// the unit runs it (its user and group, the capability it hands in, no new
// privileges, its working folder and environment) on a real tree: the
// summary line for the journal, the metrics file and the kept report.
#include <gtest/gtest.h>

#include <fstream>
#include <map>
#include <sstream>
#include <sys/stat.h>
#include <utime.h>

#include "tests/e2e/normal_mode_fixtures.h"

using namespace testsupport;
using namespace normalmode;
using treebuilder::PlaceholderKind;

namespace {

const std::string kSource = STUBWARDEN_SOURCE_DIR;
const std::string kService = kSource + "/packaging/debian/systemd/stubwarden-audit@.service";
const std::string kTimer = kSource + "/packaging/debian/systemd/stubwarden-audit@.timer";
const std::string kAuditRun = kSource + "/packaging/debian/audit-run";
const std::string kBuildFolder = std::string(STUBWARDEN_BINARY).substr(0, std::string(STUBWARDEN_BINARY).rfind('/'));

// The [Service] settings of the unit, the last value of each key.
std::map<std::string, std::string> serviceSettings()
{
    std::map<std::string, std::string> settings;
    std::istringstream text(readFileBytes(kService));
    for (std::string line; std::getline(text, line);) {
        if (std::size_t equals = line.find('='); equals != std::string::npos && line[0] != '#') {
            settings[line.substr(0, equals)] = line.substr(equals + 1);
        }
    }
    return settings;
}

std::string instance(std::string text, const std::string& name)
{
    for (std::size_t at; (at = text.find("%i")) != std::string::npos;) {
        text.replace(at, 2, name);
    }
    return text;
}

TEST(AuditUnit, SystemdAnalyzeVerifiesTheServiceAndTheTimer)
{
    // A root that holds the system's units, the package's two and the
    // program they run, so that verify checks the command too.
    TempDir root;
    RunResult copied = runProgram("/bin/sh", {"-c", "mkdir -p \"$0/lib/systemd\" \"$0/etc/systemd/system\" "
                                                    "\"$0/usr/lib/stubwarden\" && cp -a /lib/systemd/system \"$0/lib/systemd/\" && "
                                                    "cp \"$1\" \"$2\" \"$0/lib/systemd/system/\" && cp \"$3\" \"$0/usr/lib/stubwarden/\"",
                                              root.path(), kService, kTimer, kAuditRun});
    ASSERT_EQ(copied.exitCode, 0) << copied.standardError;
    RunResult verify = runProgram("/usr/bin/systemd-analyze",
                                  {"verify", "--root=" + root.path(), "--man=no", "stubwarden-audit@dept.service",
                                   "stubwarden-audit@dept.timer"});
    EXPECT_EQ(verify.exitCode, 0) << verify.standardError;
    EXPECT_EQ(verify.standardOutput + verify.standardError, "");

    // The unit as it would run: a failed audit fails it, -fixphs is not
    // there unless the settings say so.
    std::map<std::string, std::string> service = serviceSettings();
    EXPECT_EQ(service["Type"], "oneshot");
    EXPECT_EQ(service.count("SuccessExitStatus"), 0u) << "exit code 2 must leave the unit failed";
    EXPECT_EQ(service["ExecStart"].find("fixphs"), std::string::npos);
    EXPECT_EQ(service["User"], "stubwarden-audit");
    EXPECT_EQ(service["Group"], "stubwarden");
}

// A tree the unit's account could not read without the capability: the
// sample share below a folder of mode 0700 that root owns.
struct AuditFixture {
    TempDir tree;
    TempDir state;
    TempDir settings;
    TempDir metrics;
    std::string share;
    std::string working;
    std::string metricsFile;
};

void writeSettings(const AuditFixture& f, const std::string& name, const std::string& text)
{
    std::ofstream(f.settings / (name + ".conf")) << text;
}

// audit-run <name> as the unit starts it: ExecStart with the instance, in
// WorkingDirectory, as User (the unprivileged account stands for
// stubwarden-audit) with the ambient capability, bounding set and
// no-new-privileges of the unit, in its environment (PATH with the build's
// programs first; STUBWARDEN_AUDITS points at the test's settings).
RunResult runAsTheUnit(const AuditFixture& f, const std::string& name)
{
    std::map<std::string, std::string> service = serviceSettings();
    std::istringstream command(instance(service["ExecStart"], name));
    std::string program, argument;
    command >> program >> argument;
    EXPECT_EQ(program, "/usr/lib/stubwarden/audit-run");
    EXPECT_EQ(instance(service["WorkingDirectory"], name), "/var/lib/stubwarden/" + name);
    EXPECT_EQ(service["AmbientCapabilities"], "CAP_DAC_READ_SEARCH");
    EXPECT_EQ(service["CapabilityBoundingSet"], "CAP_DAC_READ_SEARCH");
    EXPECT_EQ(service["NoNewPrivileges"], "yes");
    EXPECT_EQ(service["Environment"], "PATH=/usr/bin:/bin");
    return runProgram("/usr/bin/setpriv",
                      {"--reuid=" + std::to_string(kNobody), "--regid=" + std::to_string(kNobody), "--clear-groups",
                       "--inh-caps=-all,+dac_read_search", "--ambient-caps=-all,+dac_read_search",
                       "--bounding-set=-all,+dac_read_search", "--no-new-privs", kAuditRun, argument},
                      {.workingDirectory = f.working,
                       .environment = {"PATH=" + kBuildFolder + ":/usr/bin:/bin", "STUBWARDEN_AUDITS=" + f.settings.path()}});
}

void build(AuditFixture& f, const std::string& name)
{
    const std::string closed = makeFolder(f.tree / "closed", 0700);
    f.share = closed + "/share";
    RunResult built = runProgram(STUBWARDEN_TREE_BINARY, {f.share, kSource + "/samples/sample-share.tree"});
    ASSERT_EQ(built.exitCode, 0) << built.standardError;
    // The state folder as StateDirectory= makes it: the account's, 0750.
    f.working = makeFolder(f.state / name, 0750);
    ASSERT_EQ(::chown(f.working.c_str(), kNobody, kNobody), 0);
    ::chmod(f.state.path().c_str(), 0755);
    ::chmod(f.settings.path().c_str(), 0755);
    ::chmod(f.metrics.path().c_str(), 0777);
    f.metricsFile = f.metrics / ("stubwarden-" + name + ".prom");
}

void ageFile(const std::string& path, int days)
{
    std::ofstream(path) << "an old report";
    struct utimbuf times {};
    times.actime = times.modtime = std::time(nullptr) - days * 86400 - 60;
    ASSERT_EQ(::utime(path.c_str(), &times), 0);
}

TEST(AuditUnit, TheServiceWritesTheJournalLineTheMetricsAndKeepsTheReport)
{
    if (::geteuid() != 0) {
        GTEST_SKIP() << "runs the service's account with a capability, which needs root";
    }
    AuditFixture f;
    build(f, "dept");
    writeSettings(f, "dept", "# the department share\nTARGET=" + uncPath(f.share) + "\nMETRICS_FILE=" + f.metricsFile +
                                 "\nKEEP_DAYS=2\n");
    ageFile(f.working + "/tmp-old-share-1700000000.txt", 3);
    ageFile(f.working + "/tmp-recent-share-1700100000.txt", 1);
    ageFile(f.working + "/notes", 30);

    RunResult run = runAsTheUnit(f, "dept");
    EXPECT_EQ(run.exitCode, 2) << "bad placeholders leave the unit failed\n" << run.standardError;
    EXPECT_EQ(run.standardError, "");

    // The report, kept in the working folder under its own name; the one
    // older than two days is gone, the others stay, nothing else is left.
    std::vector<std::string> names = sorted(listedNames(f.working));
    std::vector<std::string> reports = reportFiles(f.working);
    ASSERT_EQ(reports.size(), 2u);
    const std::string report = reports.front() == "tmp-recent-share-1700100000.txt" ? reports.back() : reports.front();
    EXPECT_EQ(names, sorted({"notes", "tmp-recent-share-1700100000.txt", report}));
    const std::string text = fromUtf16le(readFileBytes(f.working + "/" + report));
    // Read with the capability: every file below the closed folder, and no
    // repair (-fixphs is never the default).
    EXPECT_NE(text.find("Total files:20\r\nFailed to read:0\r\n"), std::string::npos) << text;
    EXPECT_NE(text.find("Fixed placeholders:0\r\n"), std::string::npos) << text;
    struct stat status {};
    ASSERT_EQ(::stat((f.working + "/" + report).c_str(), &status), 0);
    EXPECT_EQ(status.st_uid, kNobody);

    // The journal line: the audit's name, then the report's summary.
    RunResult summaryLine = runProgram(STUBWARDEN_REPORT_BINARY, {"--summary", f.working + "/" + report});
    EXPECT_EQ(run.standardOutput, "audit=dept " + summaryLine.standardOutput);
    EXPECT_NE(run.standardOutput.find(" exit_code=2 "), std::string::npos);
    EXPECT_NE(run.standardOutput.find(" bad_placeholders=9 "), std::string::npos);

    // The metrics, whole, under their name alone.
    EXPECT_EQ(readFileBytes(f.metricsFile),
              runProgram(STUBWARDEN_REPORT_BINARY, {"--prometheus", f.working + "/" + report}).standardOutput);
    EXPECT_EQ(listedNames(f.metrics.path()), std::vector<std::string>{"stubwarden-dept.prom"});
}

TEST(AuditUnit, AFailedAuditAndBadSettingsEndWithExitCode1)
{
    if (::geteuid() != 0) {
        GTEST_SKIP() << "runs the service's account with a capability, which needs root";
    }
    AuditFixture f;
    build(f, "gone");
    writeSettings(f, "gone", "TARGET=" + uncPath(f.tree / "missing") + "\nMETRICS_FILE=" + f.metricsFile + "\n");
    RunResult failed = runAsTheUnit(f, "gone");
    EXPECT_EQ(failed.exitCode, 1);
    const std::string error = "Error:GetFileAttributes:2, path:" + reportPath(f.tree / "missing");
    EXPECT_EQ(failed.standardOutput, "audit=gone exit_code=1 error=\"" + error + "\"\n");
    EXPECT_EQ(failed.standardError, error + "\n");
    // The empty report stays as the run's trace; no metrics are made from it.
    EXPECT_EQ(reportFiles(f.working).size(), 1u);
    EXPECT_TRUE(listedNames(f.metrics.path()).empty());

    struct BadSetting {
        std::string text;
        std::string error;
    };
    for (const BadSetting& bad : std::vector<BadSetting>{
             {"OPTIONS=-v\n", "audit-run: " + f.settings / "gone.conf" + ": TARGET is missing"},
             {"TARGET=/srv/x\nOPTIONS=-x\n", "audit-run: " + f.settings / "gone.conf" + ": OPTIONS: -x is not an option of stubwarden"},
             {"TARGET=/srv/x\nKEEP_DAYS=ten\n", "audit-run: " + f.settings / "gone.conf" + ": KEEP_DAYS=ten is not a number of days"},
             {"TARGET=/srv/x\nTAGRET=/srv/y\n", "audit-run: " + f.settings / "gone.conf" + ":2: unknown setting TAGRET"},
         }) {
        SCOPED_TRACE(bad.text);
        writeSettings(f, "gone", bad.text);
        RunResult refused = runAsTheUnit(f, "gone");
        EXPECT_EQ(refused.exitCode, 1);
        EXPECT_EQ(refused.standardError, bad.error + "\n");
        EXPECT_EQ(refused.standardOutput, "");
    }
}

}  // namespace
