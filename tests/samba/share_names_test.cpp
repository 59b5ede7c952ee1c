// Stubwarden on the Samba server, given a share as Windows clients name it:
// \\<this host>\users\dept, where this host is Samba's NetBIOS name, an
// alias, the host name, localhost or 127.0.0.1, reads the folder dept of the
// share "users" that the suite's smbd serves. Each run happens in a mount
// namespace of its own in which /etc/samba is the suite's configuration
// folder, so that Samba's own tools read the suite's smb.conf; nothing is
// added to the program's command line or environment.
#include <gtest/gtest.h>

#include <algorithm>
#include <fstream>
#include <functional>
#include <regex>
#include <set>
#include <sstream>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include "tests/samba/interop_helpers.h"

using namespace sambatest;
using namespace testsupport;

namespace {

const char kUsersTree[] = R"(file dept/a.txt content="alpha" created=2019-04-17T18:40:00Z
placeholder dept/sub/q1.pdf size=2MiB created=2019-04-18T08:00:00Z
placeholder dept/sub/bad.pdf kind=bad-guid size=1MiB created=2019-04-18T08:00:00Z
file dept/sub/deeper/c.txt content="gamma" created=2020-01-02T03:04:05Z
file outside.txt content="not in dept" created=2020-01-02T03:04:05Z
)";

// The tree of the share "users", built once.
const std::string& usersDept()
{
    static const std::string dept = []() {
        TempDir local;
        writeLocalFile(local / "tree", kUsersTree);
        RunResult built = runProgram(STUBWARDEN_TREE_BINARY, {server().usersPath(), local / "tree"});
        EXPECT_EQ(built.exitCode, 0) << built.standardError;
        return server().usersPath() + "/dept";
    }();
    return dept;
}

struct ServerRun {
    int exitCode = -1;
    std::string standardError;
    std::string reportName;  // without its "-<seconds>.txt"
    std::string report;      // UTF-8
};

// The run's report, if it wrote exactly one.
void readReport(const std::string& folder, ServerRun& run)
{
    std::vector<std::string> names = reportFiles(folder);
    EXPECT_EQ(names.size(), 1u);
    if (names.size() == 1) {
        run.report = fromUtf16le(readFileBytes(folder + "/" + names.front()));
        run.reportName = std::regex_replace(names.front(), std::regex("-[0-9]+\\.txt$"), "");
    }
}

// Stubwarden run as on the server; `prepare` mounts what else a test needs
// in the namespace. Nothing when this machine gives no mount namespace.
std::optional<ServerRun> runOnServer(const std::vector<std::string>& arguments,
                                     const std::function<bool()>& prepare = {})
{
    TempDir work;
    TempDir results;
    int code = inOwnMountNamespace([&]() {
        if (::mount(server().configFolder().c_str(), "/etc/samba", nullptr, MS_BIND, nullptr) != 0 ||
            (prepare && !prepare())) {
            return 78;
        }
        RunResult run = runStubwarden(arguments, {.workingDirectory = work.path()});
        std::ofstream(results / "stderr", std::ios::binary) << run.standardError;
        return run.exitCode < 0 ? 79 : run.exitCode;
    });
    if (code == 77) {
        return std::nullopt;
    }
    EXPECT_NE(code, 78) << "the test's mounts failed (is there an /etc/samba?)";
    ServerRun run;
    run.exitCode = code;
    run.standardError = readFileBytes(results / "stderr");
    readReport(work.path(), run);
    return run;
}

// The same run outside any namespace, on the backing folder's literal UNC path.
ServerRun literalRun(const std::vector<std::string>& arguments)
{
    TempDir work;
    RunResult result = runStubwarden(arguments, {.workingDirectory = work.path()});
    ServerRun run;
    run.exitCode = result.exitCode;
    run.standardError = result.standardError;
    readReport(work.path(), run);
    return run;
}

std::string replacedAll(std::string text, const std::string& from, const std::string& to)
{
    for (std::size_t at = text.find(from); at != std::string::npos; at = text.find(from, at + to.size())) {
        text.replace(at, from.size(), to);
    }
    return text;
}

std::string hostName()
{
    char name[256] = {};
    EXPECT_EQ(::gethostname(name, sizeof name - 1), 0);
    return name;
}

// Mounts `file` over `target` (both files).
bool bindFile(const std::string& file, const std::string& target)
{
    return ::mount(file.c_str(), target.c_str(), nullptr, MS_BIND, nullptr) == 0;
}

// The suite's share table as the real testparm prints it, in the file
// `folder`/table; returns that file's path.
std::string suiteTable(const std::string& testparm, const TempDir& folder)
{
    RunResult table = runProgram(testparm, {"--suppress-prompt", "--verbose", "--skip-logic-checks",
                                            server().configFolder() + "/smb.conf"});
    EXPECT_EQ(table.exitCode, 0) << table.standardError;
    std::ofstream(folder / "table") << table.standardOutput;
    return folder / "table";
}

}  // namespace

TEST(ShareNames, AShareOfThisHostIsReadFromItsFolderAndNamedAsTheShare)
{
    const std::string dept = usersDept();
    const ServerRun literal = literalRun({"-v", uncPath(dept)});
    ASSERT_EQ(literal.exitCode, 2) << literal.standardError;
    for (const char* name : {"a.txt(", "q1.pdf(", "bad.pdf(", "c.txt("}) {
        ASSERT_NE(literal.report.find(name), std::string::npos) << name << " in\n" << literal.report;
    }
    std::string lowerName = kNetbiosName;
    std::transform(lowerName.begin(), lowerName.end(), lowerName.begin(), ::tolower);
    const struct {
        std::string target;
        std::string named;  // what the report calls the folder
    } cases[] = {
        {std::string("\\\\") + kNetbiosName + "\\users\\dept", std::string(kNetbiosName) + "\\users\\dept"},
        {"\\\\" + lowerName + "\\users\\dept", lowerName + "\\users\\dept"},
        {std::string("\\\\") + kNetbiosAlias + "\\users\\dept", std::string(kNetbiosAlias) + "\\users\\dept"},
        {"\\\\" + hostName() + "\\users\\dept", hostName() + "\\users\\dept"},
        {"\\\\localhost\\users\\dept", "localhost\\users\\dept"},
        {"\\\\127.0.0.1\\users\\dept", "127.0.0.1\\users\\dept"},
        {"\\\\?\\UNC\\localhost\\users\\dept", "localhost\\users\\dept"},
        // Share names are Samba's: without regard to case.
        {std::string("\\\\") + kNetbiosName + "\\USERS\\dept", std::string(kNetbiosName) + "\\USERS\\dept"},
        // A Linux path whose first folder has this host's name is its UNC path.
        {"/localhost/users/dept", "localhost\\users\\dept"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.target);
        std::optional<ServerRun> run = runOnServer({"-v", c.target});
        if (!run) {
            GTEST_SKIP() << "no mount namespace here";
        }
        EXPECT_EQ(run->exitCode, literal.exitCode);
        EXPECT_EQ(run->standardError, "");
        EXPECT_EQ(run->report, replacedAll(literal.report, reportPath(dept), "\\\\?\\UNC\\" + c.named));
        EXPECT_EQ(run->report.find(server().usersPath()), std::string::npos) << "no backing path in the report";
        EXPECT_EQ(run->reportName, replacedAll(c.named, "\\", "-"));
    }
}

// The fully qualified name is this host's too; the resolver gives it from
// the namespace's own /etc/hosts. A longer name with another domain is not.
TEST(ShareNames, TheFullyQualifiedNameIsThisHost)
{
    const std::string dept = usersDept();
    const ServerRun literal = literalRun({uncPath(dept)});
    ASSERT_EQ(literal.exitCode, 2) << literal.standardError;
    TempDir folder;
    const std::string qualified = hostName() + ".stubwarden.test";
    const std::string hosts = folder / "hosts";
    std::ofstream(hosts) << "127.0.1.1 " << qualified << " " << hostName() << "\n" << readFileBytes("/etc/hosts");
    auto withHosts = [&]() { return bindFile(hosts, "/etc/hosts"); };

    std::optional<ServerRun> run = runOnServer({"\\\\" + qualified + "\\users\\dept"}, withHosts);
    if (!run) {
        GTEST_SKIP() << "no mount namespace here";
    }
    EXPECT_EQ(run->exitCode, literal.exitCode) << run->standardError;
    EXPECT_EQ(run->report, replacedAll(literal.report, reportPath(dept), "\\\\?\\UNC\\" + qualified + "\\users\\dept"));

    const std::string other = hostName() + ".elsewhere.test";
    run = runOnServer({"\\\\" + other + "\\users\\dept"}, withHosts);
    ASSERT_TRUE(run);
    EXPECT_EQ(run->exitCode, 1);
    EXPECT_EQ(run->standardError, "Error:GetFileAttributes:3, path:\\\\?\\UNC\\" + other + "\\users\\dept\n");
}

// From the client's side smbclient lists the share's folder: the same files.
TEST(ShareNames, SmbclientListsTheFilesTheReportNames)
{
    const std::string dept = usersDept();
    const std::string prefix = std::string("\\\\?\\UNC\\") + kNetbiosName + "\\users\\";
    std::optional<ServerRun> run = runOnServer({"-v", std::string("\\\\") + kNetbiosName + "\\users\\dept"});
    if (!run) {
        GTEST_SKIP() << "no mount namespace here";
    }
    std::set<std::string> reported;
    std::istringstream lines(run->report);
    for (std::string line; std::getline(lines, line);) {
        std::string::size_type description = line.find("(Created:");
        if (line.rfind(prefix, 0) == 0 && description != std::string::npos) {
            reported.insert(replacedAll(line.substr(prefix.size(), description - prefix.size()), "\\", "/"));
        }
    }

    RunResult listing = server().client("recurse ON; ls dept/*", "users");
    ASSERT_EQ(listing.exitCode, 0) << listing.standardOutput << listing.standardError;
    // "\dept\sub" heads the entries of a folder below; each entry is "  name  attributes  size  date".
    const std::regex entry(R"(^  (.+?) +([A-Za-z]*) +[0-9]+  [A-Z][a-z]{2} [A-Z][a-z]{2} [ 0-9]{2} [0-9:]{8} [0-9]{4}$)");
    std::set<std::string> listed;
    std::string folder = "dept";
    std::istringstream output(listing.standardOutput);
    for (std::string line; std::getline(output, line);) {
        std::smatch parts;
        if (!line.empty() && line.front() == '\\') {
            folder = replacedAll(line.substr(1), "\\", "/");
        } else if (std::regex_match(line, parts, entry) && parts[2].str().find('D') == std::string::npos) {
            listed.insert(folder + "/" + parts[1].str());
        }
    }
    EXPECT_EQ(reported, (std::set<std::string>{"dept/a.txt", "dept/sub/q1.pdf", "dept/sub/bad.pdf",
                                               "dept/sub/deeper/c.txt"}));
    EXPECT_EQ(listed, reported) << listing.standardOutput;
}

// What is no disk share of this host is ERROR_BAD_NET_NAME, as from a
// Windows client: a share Samba does not define, one whose path only a
// client's connection decides (%U), [homes] itself, the IPC share.
TEST(ShareNames, WhatIsNoDiskShareOfThisHostIsBadNetName)
{
    const std::string server = std::string("\\\\") + kNetbiosName;
    for (const std::string& target : {server + "\\nosuch", server + "\\nosuch\\dept", std::string("\\\\localhost\\nosuch"),
                                      server + "\\pers", server + "\\pers\\dept", server + "\\homes",
                                      server + "\\IPC$"}) {
        SCOPED_TRACE(target);
        std::optional<ServerRun> run = runOnServer({target});
        if (!run) {
            GTEST_SKIP() << "no mount namespace here";
        }
        EXPECT_EQ(run->exitCode, 1);
        EXPECT_EQ(run->standardError, "Error:GetFileAttributes:67, path:\\\\?\\UNC\\" + target.substr(2) + "\n");
        EXPECT_EQ(run->report, "");
    }
}

// [homes] serves the home folder of the user named as the share; the user
// here is an account added in the namespace's own /etc/passwd.
TEST(ShareNames, HomesServesTheUserNamedAsTheShare)
{
    TempDir accounts;
    TempDir home;
    writeLocalFile(home / "tree", "file notes.txt content=\"ann's\" created=2021-02-03T04:05:06Z\n");
    RunResult built = runProgram(STUBWARDEN_TREE_BINARY, {home / "files", home / "tree"});
    ASSERT_EQ(built.exitCode, 0) << built.standardError;
    const std::string passwd = accounts / "passwd";
    std::ofstream(passwd) << readFileBytes("/etc/passwd")
                          << "stubwarden-ann:x:4242:4242:Ann:" << home / "files" << ":/usr/sbin/nologin\n";
    const ServerRun literal = literalRun({"-v", uncPath(home / "files")});
    ASSERT_EQ(literal.exitCode, 0) << literal.standardError;

    const std::string target = std::string("\\\\") + kNetbiosName + "\\stubwarden-ann";
    std::optional<ServerRun> run = runOnServer({"-v", target}, [&]() { return bindFile(passwd, "/etc/passwd"); });
    if (!run) {
        GTEST_SKIP() << "no mount namespace here";
    }
    EXPECT_EQ(run->exitCode, 0);
    EXPECT_EQ(run->standardError, "");
    EXPECT_EQ(run->report, replacedAll(literal.report, reportPath(home / "files"), "\\\\?\\UNC\\" + target.substr(2)));
    EXPECT_NE(run->report.find("stubwarden-ann\\notes.txt("), std::string::npos) << run->report;
}

// A testparm that fails, cannot be run, prints something else or never
// ends means no Samba here: every UNC path keeps its literal meaning, so
// \\localhost\users\dept is /localhost/users/dept, which does not exist. The
// same fake that prints the suite's table and ends well is believed.
TEST(ShareNames, WithoutAWorkingTestparmEveryPathIsLiteral)
{
    const std::string testparm = findProgram("testparm");
    ASSERT_EQ(testparm, "/usr/bin/testparm") << "where Debian's samba-common-bin puts it, and the layer looks first";
    TempDir folder;
    const std::string printTable = "#!/bin/sh\ncat " + suiteTable(testparm, folder) + "\n";
    const struct {
        const char* what;
        std::string script;
        mode_t mode;
        bool believed;
    } fakes[] = {
        {"prints the table", printTable + "exit 0\n", 0755, true},
        {"prints the table and fails", printTable + "exit 1\n", 0755, false},
        {"fails", "#!/bin/sh\nexit 1\n", 0755, false},
        {"cannot be run", printTable + "exit 0\n", 0644, false},
        {"prints no configuration", "#!/bin/sh\necho 'Load smb config files from /etc/samba/smb.conf'\n", 0755, false},
        // These two are given up after the layer's time limit.
        {"never ends", printTable + "exec sleep 60\n", 0755, false},
        {"closes its output and lingers", printTable + "exec >&-\nexec sleep 60\n", 0755, false},
    };
    usersDept();
    for (const auto& fake : fakes) {
        SCOPED_TRACE(fake.what);
        const std::string script = folder / "testparm";
        std::ofstream(script, std::ios::trunc) << fake.script;
        ASSERT_EQ(::chmod(script.c_str(), fake.mode), 0);
        std::optional<ServerRun> run =
            runOnServer({"\\\\localhost\\users\\dept"}, [&]() { return bindFile(script, testparm); });
        if (!run) {
            GTEST_SKIP() << "no mount namespace here";
        }
        if (fake.believed) {
            EXPECT_EQ(run->exitCode, 2) << run->standardError;
        } else {
            EXPECT_EQ(run->exitCode, 1);
            EXPECT_EQ(run->standardError, "Error:GetFileAttributes:3, path:\\\\?\\UNC\\localhost\\users\\dept\n");
        }
    }
}

// Asking Samba costs a run of testparm, so a server that is none of the
// host's own names and whose literal folder /server/share exists keeps its
// literal meaning unasked: an audit of an ordinary Linux tree starts no
// program. A NetBIOS name without such a folder is asked for, and so is every
// server when the literal folder is not there. The testparm here is a
// stand-in that notes each run and prints the suite's real table.
TEST(ShareNames, OnlyAServerThatMayBeThisHostStartsTestparm)
{
    const std::string testparm = findProgram("testparm");
    TempDir folder;
    const std::string runs = folder / "runs";
    const std::string script = folder / "testparm";
    std::ofstream(script) << "#!/bin/sh\necho run >> " << runs << "\ncat " << suiteTable(testparm, folder) << "\n";
    ASSERT_EQ(::chmod(script.c_str(), 0755), 0);
    const std::string dept = usersDept();
    const ServerRun literal = literalRun({uncPath(dept)});
    ASSERT_EQ(literal.exitCode, 2) << literal.standardError;
    const struct {
        std::string target;
        bool asksSamba;
        int exitCode;
    } cases[] = {
        {uncPath(dept), false, 2},
        {dept, false, 2},
        {std::string("\\\\") + kNetbiosName + "\\users\\dept", true, 2},
        // /tmp/nosuch-share does not exist: tmp might be a NetBIOS alias.
        {"\\\\tmp\\nosuch-share", true, 1},
        // The host's own names decide without Samba's word on its names,
        // but the share table is still Samba's.
        {"\\\\localhost\\users\\dept", true, 2},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.target);
        ::unlink(runs.c_str());
        std::optional<ServerRun> run = runOnServer({c.target}, [&]() { return bindFile(script, testparm); });
        if (!run) {
            GTEST_SKIP() << "no mount namespace here";
        }
        EXPECT_EQ(run->exitCode, c.exitCode) << run->standardError;
        EXPECT_EQ(readFileBytes(runs), c.asksSamba ? "run\n" : "");
    }
}

