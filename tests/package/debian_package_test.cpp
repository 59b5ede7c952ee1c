// The Debian package in dist/ as dpkg and lintian see it: every file it must
// hold and nothing else, its control data and maintainer scripts, manual
// pages that man shows without a warning, and no lintian error or warning.
#include <gtest/gtest.h>

#include <filesystem>
#include <map>
#include <regex>
#include <set>
#include <sstream>
#include <sys/stat.h>

#include "tests/support/release_artefacts.h"
#include "tests/support/document_links.h"
#include "tests/support/test_support.h"

using namespace testsupport;

namespace {

// dpkg-deb <action> <package> [<folder>]
RunResult dpkgDeb(const std::string& action, const std::string& folder = "")
{
    std::vector<std::string> command = {action, debianPackagePath()};
    if (!folder.empty()) {
        command.push_back(folder);
    }
    RunResult result = runProgram("/usr/bin/dpkg-deb", command);
    EXPECT_EQ(result.exitCode, 0) << "dpkg-deb on " << debianPackagePath()
                                  << " (scripts/build-packages.sh makes it):\n"
                                  << result.standardError;
    return result;
}

std::vector<std::string> lines(const std::string& text)
{
    std::vector<std::string> result;
    std::istringstream stream(text);
    for (std::string line; std::getline(stream, line);) {
        result.push_back(line);
    }
    return result;
}

// "-rwxr-xr-x root/root 162888 2026-12-10 19:30 ./usr/bin/stubwarden"
// -> "-rwxr-xr-x root/root ./usr/bin/stubwarden"
std::string withoutSizeAndTime(const std::string& line)
{
    std::istringstream fields(line);
    std::string mode, owner, size, date, time, path;
    fields >> mode >> owner >> size >> date >> time >> path;
    return mode + " " + owner + " " + path;
}

std::string folder(const std::string& path) { return "drwxr-xr-x root/root ./" + path + "/"; }
std::string program(const std::string& path) { return "-rwxr-xr-x root/root ./" + path; }
std::string file(const std::string& path) { return "-rw-r--r-- root/root ./" + path; }

// A set's members that the other lacks, one a line.
std::string missingFrom(const std::set<std::string>& from, const std::set<std::string>& wanted)
{
    std::string text;
    for (const std::string& entry : wanted) {
        if (from.count(entry) == 0) {
            text += "  " + entry + "\n";
        }
    }
    return text;
}

}  // namespace

TEST(DebianPackage, HoldsEveryFileOfTheReleaseAndNothingElse)
{
    const std::string doc = "usr/share/doc/stubwarden";
    std::set<std::string> expected = {
        folder("usr"),
        folder("usr/bin"),
        folder("usr/share"),
        folder("usr/share/doc"),
        folder(doc),
        file(doc + "/README.md"),
        file(doc + "/changelog.gz"),
        file(doc + "/copyright"),
        folder(doc + "/docs"),
        file(doc + "/docs/building.md"),
        file(doc + "/docs/nightly-audits.md"),
        file(doc + "/docs/ntfs-volumes.md"),
        file(doc + "/docs/performance.md"),
        file(doc + "/docs/platform-differences.md"),
        file(doc + "/docs/rehearsal-trees.md"),
        file(doc + "/docs/tests.md"),
        folder(doc + "/samples"),
        file(doc + "/samples/sample-share.tree"),
        folder("usr/share/man"),
        folder("usr/share/man/man1"),
        // The nightly audit: its units, the script they run, its settings' page.
        folder("lib"),
        folder("lib/systemd"),
        folder("lib/systemd/system"),
        file("lib/systemd/system/stubwarden-audit@.service"),
        file("lib/systemd/system/stubwarden-audit@.timer"),
        folder("usr/lib"),
        folder("usr/lib/stubwarden"),
        program("usr/lib/stubwarden/audit-run"),
        folder("usr/share/man/man5"),
        file("usr/share/man/man5/stubwarden-audit.5.gz"),
    };
    for (const std::string& name : releasePrograms()) {
        expected.insert(program("usr/bin/" + name));
        expected.insert(file("usr/share/man/man1/" + name + ".1.gz"));
    }
#ifdef STUBWARDEN_NTFS3G_PLUGIN_FOLDER
    // ntfs-3g's plugin for tag 16, in ntfs-3g's plugin folder, and its notes.
    const std::string plugins = "usr/" STUBWARDEN_NTFS3G_PLUGIN_FOLDER;
    for (std::string folderPath = plugins; folderPath != "usr"; folderPath.erase(folderPath.rfind('/'))) {
        expected.insert(folder(folderPath));
    }
    expected.insert(file(plugins + "/ntfs-plugin-00000010.so"));
    expected.insert(file(doc + "/docs/ntfs-3g-plugin.md"));
#endif

    RunResult contents = dpkgDeb("--contents");
    std::set<std::string> actual;
    for (const std::string& line : lines(contents.standardOutput)) {
        actual.insert(withoutSizeAndTime(line));
    }
    EXPECT_EQ(actual, expected) << "missing:\n"
                                << missingFrom(actual, expected) << "unexpected:\n"
                                << missingFrom(expected, actual) << "dpkg-deb --contents:\n"
                                << contents.standardOutput;
}

TEST(DebianPackage, ControlDataCarriesTheProjectVersionAndEveryDependency)
{
    RunResult fields = dpkgDeb("--field");
    std::map<std::string, std::string> control;
    for (const std::string& line : lines(fields.standardOutput)) {
        if (std::size_t colon = line.find(": "); colon != std::string::npos && line[0] != ' ') {
            control[line.substr(0, colon)] = line.substr(colon + 2);
        }
    }
    EXPECT_EQ(control["Package"], "stubwarden");
    EXPECT_EQ(control["Version"], projectVersion());
    EXPECT_EQ(control["Architecture"], "amd64");
    EXPECT_EQ(control["Section"], "admin");

    // The shared libraries the programs link (found by dpkg-shlibdeps), and
    // what the maintainer scripts call.
    std::set<std::string> depends;
    std::istringstream list(control["Depends"]);
    for (std::string entry; std::getline(list, entry, ',');) {
        std::istringstream words(entry);
        std::string name;
        words >> name;
        depends.insert(name);
    }
    EXPECT_EQ(depends, (std::set<std::string>{"adduser", "libcap2-bin", "libc6", "libcap2", "libgcc-s1",
                                               "libstdc++6", "libxml2"}))
        << control["Depends"];
#ifdef STUBWARDEN_NTFS3G_PLUGIN_FOLDER
    // The plugin serves ntfs-3g; the programs do without it.
    EXPECT_EQ(control["Recommends"], "ntfs-3g");
#endif
}

TEST(DebianPackage, MaintainerScriptsAreTheProjectsOwn)
{
    TempDir control;
    dpkgDeb("--control", control.path());
    std::set<std::string> files;
    for (const auto& entry : std::filesystem::directory_iterator(control.path())) {
        files.insert(entry.path().filename());
    }
    EXPECT_EQ(files, (std::set<std::string>{"control", "md5sums", "postinst", "prerm", "postrm"}));
    for (const char* script : {"postinst", "prerm", "postrm"}) {
        SCOPED_TRACE(script);
        struct stat status {};
        ASSERT_EQ(::stat((control / script).c_str(), &status), 0);
        EXPECT_EQ(status.st_mode & 07777, 0755u);
        EXPECT_EQ(readFileBytes(control / script),
                  readFileBytes(std::string(STUBWARDEN_SOURCE_DIR) + "/packaging/debian/" + script));
    }
}

TEST(DebianPackage, ManualPagesShowWithoutWarningsAndCoverWhatAnAdministratorNeeds)
{
    TempDir unpacked;
    dpkgDeb("--extract", unpacked.path());
    const std::vector<std::string> sections = {"NAME",        "SYNOPSIS",  "DESCRIPTION", "OPTIONS",  "TARGET",
                                               "REPORT",      "EXIT STATUS", "PRIVILEGE", "EXAMPLES", "FILES"};
    for (const std::string& name : releasePrograms()) {
        SCOPED_TRACE(name);
        const std::string page = unpacked / ("usr/share/man/man1/" + name + ".1.gz");
        // As lintian checks them: groff's warnings on, the output thrown away.
        RunResult check = runProgram("/usr/bin/man", {"--warnings", "-E", "UTF-8", "-l", "-Tutf8", "-Z", page},
                                     {.environment = {"LC_ALL=C.UTF-8", "MANROFFSEQ="}});
        EXPECT_EQ(check.exitCode, 0);
        EXPECT_EQ(check.standardError, "");

        RunResult shown = runProgram("/usr/bin/man", {"-E", "UTF-8", "-l", page},
                                     {.environment = {"LC_ALL=C.UTF-8", "MANWIDTH=80"}});
        ASSERT_EQ(shown.exitCode, 0) << shown.standardError;
        const std::string& text = shown.standardOutput;
        EXPECT_EQ(text.rfind(name + "(1)", 0), 0u) << text;
        for (const std::string& section : sections) {
            EXPECT_NE(text.find("\n" + section + "\n"), std::string::npos) << section << " in\n" << text;
        }
        EXPECT_NE(text.find("Stubwarden " + projectVersion()), std::string::npos) << "the version in\n" << text;
        if (name != "stubwarden") {
            EXPECT_NE(text.find("--version"), std::string::npos) << text;
        }
    }
}

// Every page a manual page's SEE ALSO names is there: the release's own in
// the package, the system's on this machine (man -w finds it).
TEST(DebianPackage, EveryPageThatSeeAlsoNamesExists)
{
    TempDir unpacked;
    dpkgDeb("--extract", unpacked.path());
    const std::regex reference(R"(([A-Za-z][-A-Za-z0-9_.]*)\((\d)\))");
    for (const std::string& name : releasePrograms()) {
        SCOPED_TRACE(name);
        RunResult shown = runProgram("/usr/bin/man", {"-E", "UTF-8", "-l", unpacked / ("usr/share/man/man1/" + name + ".1.gz")},
                                     {.environment = {"LC_ALL=C.UTF-8", "MANWIDTH=200"}});
        ASSERT_EQ(shown.exitCode, 0) << shown.standardError;
        const std::string& text = shown.standardOutput;
        std::size_t start = text.find("\nSEE ALSO\n");
        ASSERT_NE(start, std::string::npos) << text;
        std::size_t end = text.find("\n\n", start + 10);
        while (end != std::string::npos && end + 2 < text.size() && text[end + 2] == ' ') {
            end = text.find("\n\n", end + 2);
        }
        const std::string seeAlso = text.substr(start, end == std::string::npos ? std::string::npos : end - start);
        std::set<std::string> named;
        for (std::sregex_iterator match(seeAlso.begin(), seeAlso.end(), reference), last; match != last; ++match) {
            named.insert((*match)[1].str() + "." + (*match)[2].str());
        }
        EXPECT_FALSE(named.empty()) << seeAlso;
        if (name != "stubwarden") {
            EXPECT_EQ(named.count("stubwarden.1"), 1u) << seeAlso;
        }
        for (const std::string& page : named) {
            SCOPED_TRACE(page);
            const std::string program = page.substr(0, page.rfind('.'));
            const std::string section = page.substr(page.rfind('.') + 1);
            if (program.rfind("stubwarden", 0) == 0) {
                EXPECT_TRUE(std::filesystem::exists(unpacked / ("usr/share/man/man" + section + "/" + page + ".gz")));
                continue;
            }
            RunResult where = runProgram("/usr/bin/man", {"-w", section, program});
            EXPECT_EQ(where.exitCode, 0) << where.standardError;
        }
    }
}

TEST(DebianPackage, TheMainProgramsManualPageGivesItsUsageLineOptionsAndExitCodes)
{
    TempDir unpacked;
    dpkgDeb("--extract", unpacked.path());
    RunResult shown = runProgram("/usr/bin/man", {"-E", "UTF-8", "-l", unpacked / "usr/share/man/man1/stubwarden.1.gz"},
                                 {.environment = {"LC_ALL=C.UTF-8", "MANWIDTH=200"}});
    ASSERT_EQ(shown.exitCode, 0) << shown.standardError;
    const std::string& text = shown.standardOutput;
    for (const char* expected :
         {"Usage: Stubwarden [-v] [-d] [-fixphs] [-ArchiveUsage] <target>", "\n       -v\n", "\n       -d\n",
          "\n       -fixphs\n", "\n       -archiveusage\n", "\n       0\n", "\n       1\n", "\n       2\n",
          "CAP_DAC_READ_SEARCH", "adduser admin1 stubwarden", "iconv -f UTF-16LE -t UTF-8"}) {
        EXPECT_NE(text.find(expected), std::string::npos) << '"' << expected << "\" in\n" << text;
    }
}

// The README's links, and those of the documents in docs/, lead to files
// that the package holds beside them.
TEST(DebianPackage, TheDocumentsLinksResolveInsideThePackage)
{
    TempDir unpacked;
    dpkgDeb("--extract", unpacked.path());
    expectLinksResolve(unpacked / "usr/share/doc/stubwarden");
}

TEST(DebianPackage, LintianFindsNoErrorAndNoWarning)
{
    // Informational tags are shown too; the README explains those it keeps.
    RunResult lintian = runProgram("/usr/bin/lintian", {"--allow-root", "--display-info", "--pedantic", debianPackagePath()});
    const std::string output = lintian.standardOutput + lintian.standardError;
    EXPECT_EQ(lintian.exitCode, 0) << output;
    for (const std::string& line : lines(output)) {
        EXPECT_NE(line.rfind("E: ", 0), 0u) << output;
        EXPECT_NE(line.rfind("W: ", 0), 0u) << output;
    }
}
