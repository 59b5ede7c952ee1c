#include "tests/samba/samba_server.h"

#include <arpa/inet.h>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <fstream>
#include <gtest/gtest.h>
#include <net/if.h>
#include <netinet/in.h>
#include <sched.h>
#include <sys/ioctl.h>
#include <sstream>
#include <stdexcept>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace sambatest {
namespace {

using Clock = std::chrono::steady_clock;

constexpr auto kStartTimeout = std::chrono::seconds(20);
constexpr auto kStopTimeout = std::chrono::seconds(5);
constexpr int kStartAttempts = 3;

SambaServer* theServer = nullptr;

// A port of 127.0.0.1 that nobody listens on now: the kernel's choice for
// an ephemeral bind. smbd may still lose it to another process before it
// binds; the start is then tried again.
int freeLoopbackPort()
{
    int socket = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    if (socket < 0 || ::bind(socket, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
        ::getsockname(socket, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
        int error = errno;
        if (socket >= 0) {
            ::close(socket);
        }
        throw std::runtime_error(std::string("no free port on 127.0.0.1: ") + std::strerror(error));
    }
    ::close(socket);
    return ntohs(address.sin_port);
}

bool acceptsConnections(int port)
{
    int socket = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = htons(static_cast<std::uint16_t>(port));
    bool connected = socket >= 0 && ::connect(socket, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
    if (socket >= 0) {
        ::close(socket);
    }
    return connected;
}

void makeFolder(const std::string& path)
{
    if (::mkdir(path.c_str(), 0755) != 0) {
        throw std::runtime_error("cannot make " + path + ": " + std::strerror(errno));
    }
}

std::string exitText(int status)
{
    return WIFEXITED(status) ? "exit code " + std::to_string(WEXITSTATUS(status))
                             : "signal " + std::to_string(WTERMSIG(status));
}

}  // namespace

std::string findProgram(const std::string& name)
{
    std::vector<std::string> folders;
    std::istringstream path(std::getenv("PATH") != nullptr ? std::getenv("PATH") : "");
    for (std::string folder; std::getline(path, folder, ':');) {
        folders.push_back(folder);
    }
    // smbd lives in /usr/sbin, which an ordinary user's PATH may lack.
    folders.insert(folders.end(), {"/usr/sbin", "/usr/bin", "/sbin", "/bin"});
    for (const std::string& folder : folders) {
        std::string candidate = folder + "/" + name;
        if (!folder.empty() && ::access(candidate.c_str(), X_OK) == 0) {
            return candidate;
        }
    }
    throw std::runtime_error(name + " is not installed: the Samba suite needs the Debian packages samba, "
                                    "samba-vfs-modules and smbclient (scripts/run-tests.sh installs them)");
}

bool enterOwnNetwork()
{
    if (::unshare(CLONE_NEWNET) != 0) {
        return false;
    }
    // A new namespace has its loopback interface down.
    int socket = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    ifreq request{};
    std::strncpy(request.ifr_name, "lo", IFNAMSIZ - 1);
    bool up = socket >= 0 && ::ioctl(socket, SIOCGIFFLAGS, &request) == 0 &&
              (request.ifr_flags |= IFF_UP, ::ioctl(socket, SIOCSIFFLAGS, &request) == 0);
    if (socket >= 0) {
        ::close(socket);
    }
    if (!up) {
        throw std::runtime_error(std::string("cannot bring up the loopback interface: ") + std::strerror(errno));
    }
    return true;
}

SambaServer::SambaServer(bool standardPort)
{
    // smbd's helpers (notifyd, cleanupd) outlive smbd by a moment; as their
    // subreaper this process can reap them when it stops the server.
    ::prctl(PR_SET_CHILD_SUBREAPER, 1);
    std::string smbd = findProgram("smbd");
    smbclient_ = findProgram("smbclient");
    sharePath_ = root_ / "share";
    usersPath_ = root_ / "users";
    configFolder_ = root_ / "etc";
    configPath_ = configFolder_ + "/smb.conf";
    logPath_ = root_ / "smbd.log";
    for (const char* folder : {"share", "users", "pers", "etc", "lock", "state", "cache", "pid", "private", "ncalrpc"}) {
        makeFolder(root_ / folder);
    }
    std::string failure;
    for (int attempt = 1; attempt <= kStartAttempts; ++attempt) {
        port_ = standardPort ? kStandardPort : freeLoopbackPort();
        std::ofstream config(configPath_, std::ios::trunc);
        config << "[global]\n"
                  "  netbios name = " << kNetbiosName << "\n"
                  "  netbios aliases = " << kNetbiosAlias << "\n"
                  "  server role = standalone server\n"
                  "  smb ports = " << port_ << "\n"
                  "  interfaces = 127.0.0.1\n"
                  "  bind interfaces only = yes\n"
                  "  disable netbios = yes\n"
                  "  lock directory = " << (root_ / "lock") << "\n"
                  "  state directory = " << (root_ / "state") << "\n"
                  "  cache directory = " << (root_ / "cache") << "\n"
                  "  pid directory = " << (root_ / "pid") << "\n"
                  "  private dir = " << (root_ / "private") << "\n"
                  "  ncalrpc dir = " << (root_ / "ncalrpc") << "\n"
                  "  usershare max shares = 0\n"
                  "  load printers = no\n"
                  "  printing = bsd\n"
                  "  printcap name = /dev/null\n"
                  "  disable spoolss = yes\n"
                  "  map to guest = Bad User\n"
                  "  guest account = nobody\n"
                  "  log level = 1\n"
                  "[share]\n"
                  "  path = " << sharePath_ << "\n"
                  "  read only = no\n"
                  "  guest ok = yes\n"
                  "  guest only = yes\n"
                  "  force user = root\n"
                  "  force group = root\n"
                  "  vfs objects = streams_xattr\n"
                  "  store dos attributes = yes\n"
                  "  ea support = yes\n"
                  // Samba's default, stated because the suite checks it.
                  "  hide dot files = yes\n"
                  "[users]\n"
                  "  path = " << usersPath_ << "\n"
                  "  guest ok = yes\n"
                  "  guest only = yes\n"
                  "  force user = root\n"
                  "  vfs objects = streams_xattr\n"
                  "  store dos attributes = yes\n"
                  "[pers]\n"
                  "  path = " << (root_ / "pers") << "/%U\n"
                  "[homes]\n"
                  "  browseable = no\n";
        config.close();
        if (!config) {
            throw std::runtime_error("cannot write " + configPath_);
        }
        std::ofstream(logPath_, std::ios::trunc).close();

        pid_t parent = ::getpid();
        pid_ = ::fork();
        if (pid_ < 0) {
            throw std::runtime_error(std::string("fork: ") + std::strerror(errno));
        }
        if (pid_ == 0) {
            // Its own process group, so that stopping reaches every helper;
            // and it goes when this process goes, even on a crash.
            ::setpgid(0, 0);
            ::prctl(PR_SET_PDEATHSIG, SIGTERM);
            struct rlimit noCore {0, 0};  // a panicking smbd dumps no core
            ::setrlimit(RLIMIT_CORE, &noCore);
            if (::getppid() != parent) {
                ::_exit(127);
            }
            int log = ::open(logPath_.c_str(), O_WRONLY | O_APPEND | O_CLOEXEC);
            int nothing = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
            if (log < 0 || nothing < 0 || ::dup2(nothing, 0) < 0 || ::dup2(log, 1) < 0 || ::dup2(log, 2) < 0) {
                ::_exit(127);
            }
            std::string configOption = "--configfile=" + configPath_;
            ::execl(smbd.c_str(), smbd.c_str(), "--foreground", "--no-process-group", "--debug-stdout",
                    configOption.c_str(), static_cast<char*>(nullptr));
            ::_exit(127);
        }
        ::setpgid(pid_, pid_);
        if (startOnce(failure)) {
            return;
        }
        stop();
        if (failure.find("exited") == std::string::npos) {
            break;  // only an early exit (a port taken meanwhile) is worth another try
        }
    }
    std::string message = "the Samba suite cannot start its peer smbd (" + smbd + "): " + failure +
                          "\n--- smbd log ---\n" + log();
    if (message.find("streams_xattr") != std::string::npos) {
        message += "\n(the module streams_xattr comes with the Debian package samba-vfs-modules)";
    }
    throw std::runtime_error(message);
}

bool SambaServer::startOnce(std::string& failure)
{
    Clock::time_point deadline = Clock::now() + kStartTimeout;
    while (Clock::now() < deadline) {
        int status = 0;
        if (::waitpid(pid_, &status, WNOHANG) == pid_) {
            exited_ = true;
            failure = "smbd exited (" + exitText(status) + ") before it accepted connections on 127.0.0.1:" +
                      std::to_string(port_);
            return false;
        }
        if (acceptsConnections(port_)) {
            testsupport::RunResult probe = client("ls");
            if (probe.exitCode == 0) {
                return true;
            }
            failure = "smbd accepts connections on 127.0.0.1:" + std::to_string(port_) +
                      " but the share does not answer smbclient (" + std::to_string(probe.exitCode) +
                      "):\n" + probe.standardOutput + probe.standardError;
            return false;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    failure = "smbd did not accept connections on 127.0.0.1:" + std::to_string(port_) + " within " +
              std::to_string(kStartTimeout.count()) + " s";
    return false;
}

void SambaServer::stop()
{
    if (pid_ <= 0) {
        return;
    }
    ::kill(-pid_, SIGTERM);
    // Wait for smbd to end but leave it unreaped, so that its pid (the
    // group's id) cannot be taken by another process yet.
    Clock::time_point deadline = Clock::now() + kStopTimeout;
    siginfo_t info{};
    while (!exited_ && Clock::now() < deadline) {
        info.si_pid = 0;
        if (::waitid(P_PID, static_cast<id_t>(pid_), &info, WEXITED | WNOHANG | WNOWAIT) != 0 || info.si_pid != 0) {
            break;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    ::kill(-pid_, SIGKILL);  // whatever is left of the group
    while (::waitpid(-pid_, nullptr, 0) > 0 || errno == EINTR) {
    }
    pid_ = -1;
    exited_ = false;
}

SambaServer::~SambaServer() { stop(); }

std::string SambaServer::log() const { return testsupport::readFileBytes(logPath_); }

testsupport::RunResult SambaServer::client(const std::string& commands, const std::string& shareName) const
{
    return testsupport::runProgram(smbclient_, {"--configfile=" + configPath_, "-N", "-p", std::to_string(port_),
                                                "//127.0.0.1/" + shareName, "-c", commands});
}

SambaServer& server() { return *theServer; }

void setServer(SambaServer* server) { theServer = server; }

namespace {

// smbclient 4.22's allinfo also asks for the file's shadow copies, which a
// share without snapshots refuses; that line is no error of the file's.
bool isShadowCopyLine(const std::string& line)
{
    return line.find("NT_STATUS_INVALID_DEVICE_REQUEST getting shadow copy data") != std::string::npos;
}

bool reportsAnError(const testsupport::RunResult& result)
{
    if (result.exitCode != 0) {
        return true;
    }
    std::istringstream lines(result.standardOutput + "\n" + result.standardError);
    for (std::string line; std::getline(lines, line);) {
        if (line.find("NT_STATUS_") != std::string::npos && !isShadowCopyLine(line)) {
            return true;
        }
    }
    return false;
}

std::string trimmed(const std::string& text)
{
    std::size_t first = text.find_first_not_of(" \t");
    std::size_t last = text.find_last_not_of(" \t\r");
    return first == std::string::npos ? std::string() : text.substr(first, last - first + 1);
}

}  // namespace

void smbclient(const std::string& commands)
{
    testsupport::RunResult result = server().client(commands);
    if (reportsAnError(result)) {
        ADD_FAILURE() << "smbclient -c '" << commands << "' failed (" << result.exitCode << "):\n"
                      << result.standardOutput << result.standardError;
    }
}

std::optional<AllInfo> allinfo(const std::string& relativePath)
{
    testsupport::RunResult result = server().client("allinfo \"" + relativePath + "\"");
    if (reportsAnError(result)) {
        ADD_FAILURE() << "smbclient allinfo " << relativePath << " failed (" << result.exitCode << "):\n"
                      << result.standardOutput << result.standardError;
        return std::nullopt;
    }
    AllInfo info;
    bool sawAttributes = false;
    bool sawCreateTime = false;
    std::istringstream lines(result.standardOutput);
    for (std::string line; std::getline(lines, line);) {
        std::size_t colon = line.find(':');
        if (colon == std::string::npos) {
            continue;
        }
        std::string key = line.substr(0, colon);
        std::string value = trimmed(line.substr(colon + 1));
        if (key == "create_time") {
            // "Thu Dec 10 03:23:09 2026 UTC" (smbclient runs in TZ=UTC).
            std::tm parts{};
            const char* end = ::strptime(value.c_str(), "%a %b %d %H:%M:%S %Y", &parts);
            EXPECT_NE(end, nullptr) << line;
            info.createSeconds = ::timegm(&parts);
            sawCreateTime = true;
        } else if (key == "attributes") {
            // "RHA (23)"
            std::size_t open = value.rfind('(');
            info.attributes = static_cast<std::uint32_t>(std::stoul(value.substr(open + 1), nullptr, 16));
            sawAttributes = true;
        } else if (key == "stream") {
            // "[:notes:$DATA], 10 bytes"; the data stream is "[::$DATA]".
            std::size_t close = value.find(":$DATA]");
            std::string name = value.substr(2, close - 2);
            std::uint64_t bytes = std::stoull(value.substr(value.find("], ") + 3));
            if (name.empty()) {
                info.size = bytes;
            } else {
                info.streams[name] = bytes;
            }
        }
    }
    EXPECT_TRUE(sawAttributes && sawCreateTime) << "allinfo " << relativePath << ":\n" << result.standardOutput;
    return info;
}

}  // namespace sambatest
