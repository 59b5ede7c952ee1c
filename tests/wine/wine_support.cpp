#include "tests/wine/wine_support.h"

#include <chrono>
#include <csignal>
#include <cstdlib>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <ftw.h>
#include <gtest/gtest.h>
#include <stdexcept>
#include <utility>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include <utility>

#include "archivepoint/archive_point_marker.h"
#include "platform/text_conversion.h"
#include "platform/unique_resource.h"
#include "tools/tree_builder.h"

extern char** environ;

namespace fs = std::filesystem;

namespace winetest {
namespace {

struct PrefixState {
    std::string loader;   // the Wine loader (wine64, or the wine wrapper)
    std::string server;   // wineserver of the same installation
    std::string path;     // the prefix
    pid_t keeper = -1;    // cmd.exe waiting on `keeperInput`
    int keeperInput = -1;
};

PrefixState& state()
{
    static PrefixState prefix;
    return prefix;
}

bool isExecutable(const std::string& path) { return !path.empty() && ::access(path.c_str(), X_OK) == 0; }

std::string onPath(const std::string& name)
{
    const char* path = std::getenv("PATH");
    std::string folders = path != nullptr ? path : "/usr/bin:/bin";
    std::size_t start = 0;
    while (start <= folders.size()) {
        std::size_t end = folders.find(':', start);
        std::string folder = folders.substr(start, end == std::string::npos ? std::string::npos : end - start);
        if (!folder.empty() && isExecutable(folder + "/" + name)) {
            return folder + "/" + name;
        }
        if (end == std::string::npos) {
            break;
        }
        start = end + 1;
    }
    return {};
}

// Debian's wine64 package puts the loader and server in /usr/lib/wine;
// other installations have them on the PATH.
void findWine(PrefixState& prefix)
{
    for (const std::string& candidate : {std::string("/usr/lib/wine/wine64"), onPath("wine64"), onPath("wine")}) {
        if (isExecutable(candidate)) {
            prefix.loader = candidate;
            break;
        }
    }
    if (prefix.loader.empty()) {
        throw std::runtime_error(
            "Wine is not installed: neither /usr/lib/wine/wine64 nor wine64 or wine on the PATH. The Debian package "
            "wine64 provides it; scripts/run-tests.sh installs it (scripts/install-packages.sh wine64).");
    }
    std::string folder = fs::path(prefix.loader).parent_path();
    for (const std::string& candidate :
         {folder + "/wineserver64", folder + "/wineserver", onPath("wineserver64"), onPath("wineserver")}) {
        if (isExecutable(candidate)) {
            prefix.server = candidate;
            break;
        }
    }
    if (prefix.server.empty()) {
        throw std::runtime_error("Wine's server (wineserver) was not found beside " + prefix.loader +
                                 " or on the PATH: the Wine installation is incomplete.");
    }
}

// Starts a set-up command with its output in `log` and its input from
// `input` (-1: nothing).
pid_t startQuietly(const std::vector<std::string>& command, const std::string& log, int input = -1)
{
    pid_t child = ::fork();
    if (child == 0) {
        int in = input >= 0 ? input : ::open("/dev/null", O_RDONLY);
        int out = ::open(log.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
        if (in < 0 || out < 0) {
            ::_exit(126);
        }
        ::dup2(in, 0);
        ::dup2(out, 1);
        ::dup2(out, 2);
        std::vector<char*> argv;
        for (const std::string& word : command) {
            argv.push_back(const_cast<char*>(word.c_str()));
        }
        argv.push_back(nullptr);
        ::execv(argv[0], argv.data());
        ::_exit(127);
    }
    return child;
}

int waitFor(pid_t child)
{
    int status = 0;
    if (child < 0 || ::waitpid(child, &status, 0) != child) {
        return -1;
    }
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

// Runs a set-up command to its end; its exit code.
int runQuietly(const std::vector<std::string>& command, const std::string& log)
{
    return waitFor(startQuietly(command, log));
}

}  // namespace

void WinePrefix::create()
{
    PrefixState& prefix = state();
    findWine(prefix);
    const std::string binary = STUBWARDEN_WINDOWS_BINARY;
    if (!fs::is_regular_file(binary)) {
        throw std::runtime_error("The Windows executable " + binary +
                                 " does not exist: build it with scripts/build-windows.sh, or point the CMake "
                                 "cache variable STUBWARDEN_WINDOWS_BINARY at one.");
    }

    std::string pattern = "/tmp/stubwarden-wine-XXXXXX";
    if (::mkdtemp(pattern.data()) == nullptr) {
        throw std::runtime_error("Cannot make a Wine prefix under /tmp");
    }
    prefix.path = pattern;
    // Every process of the suite, Wine's own included, runs in this prefix:
    // no Mono or Gecko installer (the program needs neither), no debug
    // output, and one locale whatever the machine has, so that the ANSI code
    // page is 1252.
    ::setenv("WINEPREFIX", prefix.path.c_str(), 1);
    ::setenv("WINEDEBUG", "-all", 1);
    ::setenv("WINEDLLOVERRIDES", "mscoree,mshtml=", 1);
    ::setenv("LC_ALL", "C.UTF-8", 1);

    const std::string log = prefix.path + ".log";
    auto setUpLog = [&log] {
        std::string text = testsupport::readFileBytes(log);
        ::unlink(log.c_str());
        return text;
    };
    // A new prefix is made and set up before the command runs.
    if (runQuietly({prefix.loader, "wineboot", "--init"}, log) != 0) {
        throw std::runtime_error("Wine could not make the prefix " + prefix.path + " (" + prefix.loader +
                                 " wineboot --init):\n" + setUpLog());
    }
    setUpLog();
    fs::create_directories(prefix.path + "/dosdevices/unc/tmp");

    // A Windows process that waits on its input for the whole test process
    // keeps the server and Wine's own services (explorer.exe, services.exe,
    // rpcss.exe, ...) running: without one, they stop after every run and
    // start again with the next.
    int input[2];
    if (::pipe2(input, O_CLOEXEC) != 0) {
        throw std::runtime_error("pipe failed");
    }
    int keeperInput = ::dup(input[0]);  // inherited without O_CLOEXEC
    prefix.keeper = startQuietly({prefix.loader, "cmd.exe"}, log, keeperInput);
    ::close(keeperInput);
    ::close(input[0]);
    prefix.keeperInput = input[1];

    testsupport::TempDir work;
    testsupport::RunResult probe = runWindowsBuild({}, {.workingDirectory = work.path()});
    const std::string usage = "Usage: Stubwarden [-v] [-d] [-fixphs] [-ArchiveUsage] <target>\r\n";
    if (probe.exitCode != 1 || probe.standardError != usage) {
        throw std::runtime_error("Wine (" + prefix.loader + ") could not run " + binary + ": exit code " +
                                 std::to_string(probe.exitCode) + ", standard error:\n" + probe.standardError);
    }
}

void WinePrefix::remove()
{
    PrefixState& prefix = state();
    if (prefix.path.empty()) {
        return;
    }
    const std::string log = prefix.path + ".log";
    // The keeper ends at the end of its input; then the server of this
    // prefix and every process still in it.
    if (prefix.keeperInput >= 0) {
        ::close(prefix.keeperInput);
        prefix.keeperInput = -1;
    }
    runQuietly({prefix.server, "-k"}, log);
    runQuietly({prefix.server, "-w"}, log);
    if (prefix.keeper > 0) {
        waitFor(prefix.keeper);
        prefix.keeper = -1;
    }
    ::unlink(log.c_str());
    // Debian's Wine keeps the server's socket in the folder named here.
    std::string serverFolder = testsupport::readFileBytes(prefix.path + "/wineserver");
    if (serverFolder.rfind("wine-", 0) == 0 && serverFolder.find('/') == std::string::npos) {
        std::error_code ignored;
        fs::remove_all("/tmp/" + serverFolder, ignored);
    }
    // The drive links (z: is /) are removed as links, never followed.
    std::error_code ignored;
    fs::remove_all(prefix.path, ignored);
    prefix.path.clear();
}

const std::string& WinePrefix::path() { return state().path; }

SharedFolder::SharedFolder()
{
    std::string name = fs::path(folder_.path()).filename();
    link_ = WinePrefix::path() + "/dosdevices/unc/tmp/" + name;
    if (::symlink(folder_.path().c_str(), link_.c_str()) != 0) {
        throw std::runtime_error("Cannot link " + link_ + " to " + folder_.path());
    }
}

SharedFolder::~SharedFolder() { ::unlink(link_.c_str()); }

// The output goes to files, and the run ends when the process does: a
// process that Wine starts on the way (explorer.exe, services) inherits the
// output and lives on, so the end of a pipe would never come.
testsupport::RunResult runWindowsBuild(const std::vector<std::string>& arguments, testsupport::RunOptions options)
{
    return runWindowsProgram(STUBWARDEN_WINDOWS_BINARY, arguments, std::move(options));
}

testsupport::RunResult runWindowsProgram(const std::string& program, const std::vector<std::string>& arguments,
                                         testsupport::RunOptions options)
{
    if (options.user || options.group || options.fileSizeLimit) {
        throw std::logic_error("runWindowsProgram: only the working folder and the environment can be set");
    }
    std::vector<std::string> command = {state().loader, program};
    command.insert(command.end(), arguments.begin(), arguments.end());
    std::vector<std::string> environment;
    bool hasTz = false;
    for (const std::string& entry : options.environment) {
        hasTz = hasTz || entry.rfind("TZ=", 0) == 0;
    }
    for (char** entry = environ; *entry != nullptr; ++entry) {
        if (std::string_view(*entry).rfind("TZ=", 0) != 0) {
            environment.emplace_back(*entry);
        }
    }
    if (!hasTz) {
        environment.emplace_back("TZ=UTC");
    }
    environment.insert(environment.end(), options.environment.begin(), options.environment.end());

    testsupport::TempDir output;
    const std::string out = output / "stdout";
    const std::string err = output / "stderr";
    pid_t child = ::fork();
    if (child == 0) {
        int in = ::open("/dev/null", O_RDONLY);
        int outFd = ::open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        int errFd = ::open(err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        if (in < 0 || outFd < 0 || errFd < 0 || ::chdir(options.workingDirectory.c_str()) != 0) {
            ::_exit(126);
        }
        ::dup2(in, 0);
        ::dup2(outFd, 1);
        ::dup2(errFd, 2);
        std::vector<char*> argv;
        for (std::string& word : command) {
            argv.push_back(word.data());
        }
        argv.push_back(nullptr);
        std::vector<char*> envp;
        for (std::string& entry : environment) {
            envp.push_back(entry.data());
        }
        envp.push_back(nullptr);
        ::execve(argv[0], argv.data(), envp.data());
        ::_exit(127);
    }
    testsupport::RunResult result;
    // A run that has not ended after two minutes is stopped and fails.
    int status = 0;
    auto deadline = std::chrono::steady_clock::now() + std::chrono::minutes(2);
    while (::waitpid(child, &status, WNOHANG) == 0) {
        if (std::chrono::steady_clock::now() > deadline) {
            ::kill(child, SIGKILL);
            ::waitpid(child, &status, 0);
            ADD_FAILURE() << "The Windows build under Wine did not end within two minutes";
            break;
        }
        ::usleep(2000);
    }
    result.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    result.standardOutput = testsupport::readFileBytes(out);
    result.standardError = testsupport::readFileBytes(err);
    return result;
}

namespace {

FILETIME alignedTime;

int alignOne(const char* path, const struct stat* status, int type, struct FTW*)
{
    // A Linux name with a backslash cannot be named through the platform
    // layer; neither build shows such a file (its folder cannot be listed).
    if (type != FTW_F || !S_ISREG(status->st_mode) || std::string_view(path).find('\\') != std::string_view::npos) {
        return 0;
    }
    // The platform layer takes "dept:QMArchivePoint.xml" beside the folder
    // "dept" for that folder's stream, as Windows would: such a file (the
    // marker Wine reads) is reached through a second name of its own.
    std::string name = path;
    std::string::size_type slash = name.rfind('/');
    bool secondName = name.find(':', slash + 1) != std::string::npos;
    if (secondName) {
        name = name.substr(0, slash + 1) + "aligning-" + std::to_string(::getpid());
        EXPECT_EQ(::link(path, name.c_str()), 0) << path;
    }
    WString wide = testsupport::wideUncPath(name);
    UniqueHandle file(CreateFileW(wide.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                  OPEN_EXISTING, FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
    EXPECT_TRUE(file && SetFileTime(file.get(), &alignedTime, nullptr, &alignedTime)) << path;
    file.reset();
    if (secondName) {
        ::unlink(name.c_str());
    }
    return 0;
}

}  // namespace

void alignFileTimes(const std::string& linuxFolder, const FILETIME& time)
{
    alignedTime = time;
    ASSERT_EQ(::nftw(linuxFolder.c_str(), alignOne, 16, FTW_PHYS), 0) << linuxFolder;
}

void writeLinuxFile(const std::string& linuxPath, const std::string& bytes)
{
    std::ofstream out(linuxPath, std::ios::binary);
    out << bytes;
    ASSERT_TRUE(out.good()) << linuxPath;
}

std::string folder(const std::string& linuxPath)
{
    fs::create_directories(linuxPath);
    return linuxPath;
}

void file(const std::string& linuxPath, std::uint64_t size, const std::string& content)
{
    writeLinuxFile(linuxPath, content);
    ASSERT_EQ(::truncate(linuxPath.c_str(), static_cast<off_t>(size)), 0) << linuxPath;
}

void marker(const std::string& linuxFolder, const std::string& bytes)
{
    treebuilder::makeArchivePoint(testsupport::wideUncPath(linuxFolder), bytes);
    writeLinuxFile(linuxFolder + ":" + utf8Text(kMarkerStreamName), bytes);
}

ArchivePoints plantArchivePoints(const std::string& root)
{
    ArchivePoints points;
    points.dept = folder(root + "/dept");
    marker(points.dept, utf16Marker(markerXml("B-2", "Dept")));
    file(points.dept + "/a", 1536);
    points.inner = folder(points.dept + "/inner");
    points.innerMarker = utf16Marker(markerXml("A-1", "Inner"));
    marker(points.inner, points.innerMarker);
    file(points.inner + "/b", 128);
    points.other = folder(root + "/other");
    marker(points.other, utf16Marker(markerXml("B-2", "Other")));
    file(points.other + "/c", 1000);
    points.zeta = folder(root + "/zeta");
    marker(points.zeta, utf16Marker(markerXml("", "Zeta")));
    file(points.zeta + "/z", 50);
    return points;
}

std::string utf16Marker(const std::string& utf8Xml) { return "\xFF\xFE" + testsupport::utf16le(utf8Xml); }

std::string markerXml(const std::string& identifier, const std::string& name)
{
    return "<archivePoint><archiveQEID>" + identifier + "</archiveQEID><name>" + name + "</name></archivePoint>";
}

std::string kilobytes(unsigned long long bytes)
{
    unsigned long long hundredths = (bytes * 100 + 512) / 1024;
    std::string fraction = std::to_string(hundredths % 100);
    return std::to_string(hundredths / 100) + "." + (fraction.size() < 2 ? "0" : "") + fraction;
}

std::string withLfLineEnds(std::string text)
{
    std::string::size_type at = 0;
    while ((at = text.find("\r\n", at)) != std::string::npos) {
        text.erase(at, 1);
    }
    return text;
}

}  // namespace winetest
