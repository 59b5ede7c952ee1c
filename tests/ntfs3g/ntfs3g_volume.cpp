#include "tests/ntfs3g/ntfs3g_volume.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <memory>
#include <sched.h>
#include <csignal>
#include <stdexcept>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include "tests/support/test_support.h"

using testsupport::runProgram;
using testsupport::RunResult;

namespace ntfs3gtest {
namespace {

// Where the package ntfs-3g puts its programs.
const char* const kNtfs3g = "/bin/ntfs-3g";
const char* const kMkntfs = "/sbin/mkntfs";

std::optional<std::string> unavailableReason;

std::string systemError(const std::string& what)
{
    return what + ": " + std::strerror(errno);
}

bool isFolder(const std::string& path)
{
    struct stat status {};
    return ::stat(path.c_str(), &status) == 0 && S_ISDIR(status.st_mode);
}

// Without the package installed the plugin folder does not exist, and a bind
// mount needs one to cover: the folder above it is shown, in this namespace
// only, through a read-only overlay whose upper layer adds an empty folder
// of that name. The layers stay for the life of the process.
std::optional<std::string> makePluginFolder()
{
    const std::string& folder = pluginFolder();
    if (isFolder(folder)) {
        return std::nullopt;
    }
    static testsupport::TempDir layer;
    const std::string parent = folder.substr(0, folder.rfind('/'));
    const std::string added = layer / folder.substr(folder.rfind('/') + 1);
    if (::mkdir(added.c_str(), 0755) != 0) {
        return systemError("mkdir " + added);
    }
    const std::string options = "lowerdir=" + layer.path() + ":" + parent;
    if (::mount("stubwarden-test", parent.c_str(), "overlay", MS_RDONLY, options.c_str()) != 0) {
        return systemError("an overlay to add " + folder);
    }
    return std::nullopt;
}

}  // namespace

std::optional<std::string> enterOwnMountNamespace()
{
    if (::geteuid() != 0) {
        unavailableReason = "not root: ntfs-3g is mounted through FUSE as root";
    } else if (::access("/dev/fuse", R_OK | W_OK) != 0) {
        unavailableReason = systemError("no FUSE here: /dev/fuse");
    } else if (::unshare(CLONE_NEWNS) != 0 || ::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0) {
        unavailableReason = systemError("no mount namespace of its own");
    } else if (::access(kNtfs3g, X_OK) == 0) {
        // (Without ntfs-3g, the tests fail and say what to install.)
        unavailableReason = makePluginFolder();
    }
    return unavailableReason;
}

const std::optional<std::string>& unavailable() { return unavailableReason; }

const std::string& pluginFolder()
{
    static const std::string folder = [] {
        // "Plugin path: /usr/lib/x86_64-linux-gnu/ntfs-3g", in its usage text.
        RunResult help = runProgram(kNtfs3g, {"--help"});
        const std::string text = help.standardOutput + help.standardError;
        const std::string label = "Plugin path: ";
        std::size_t start = text.find(label);
        if (start == std::string::npos) {
            throw std::runtime_error(std::string(kNtfs3g) + " --help names no plugin path (is ntfs-3g installed?):\n" +
                                     text);
        }
        start += label.size();
        return text.substr(start, text.find('\n', start) - start);
    }();
    return folder;
}

void makeImage(const std::string& image)
{
    if (::truncate(image.c_str(), 0) != 0 && errno != ENOENT) {
        throw std::runtime_error(systemError(image));
    }
    int fd = ::open(image.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0644);
    if (fd < 0 || ::ftruncate(fd, 16 << 20) != 0) {
        throw std::runtime_error(systemError(image));
    }
    ::close(fd);
    // -F: a file, not a device; -f: no zeroing; -q: the geometry warnings only.
    RunResult made = runProgram(kMkntfs, {"-F", "-f", "-q", "-L", "stubwarden", image});
    if (made.exitCode != 0) {
        throw std::runtime_error(std::string(kMkntfs) + " (package ntfs-3g) failed:\n" + made.standardOutput +
                                 made.standardError);
    }
}

Ntfs3gMount::Ntfs3gMount(const std::string& image, const std::string& mountPoint, const std::string& plugins,
                         const std::string& options)
    : mountPoint_(mountPoint)
{
    if (::mount(plugins.c_str(), pluginFolder().c_str(), nullptr, MS_BIND, nullptr) != 0) {
        throw std::runtime_error(systemError("bind " + plugins + " over " + pluginFolder()));
    }
    pluginsBound_ = true;
    int pipeFds[2];
    if (::pipe2(pipeFds, O_CLOEXEC) != 0) {
        throw std::runtime_error(systemError("pipe"));
    }
    // In the foreground (no_detach), so that its end can be waited for; it
    // then logs to standard error.
    std::vector<std::string> environment = {"PATH=/usr/sbin:/usr/bin:/sbin:/bin", "LC_ALL=C"};
    process_ = ::fork();
    if (process_ == 0) {
        ::dup2(pipeFds[1], 1);
        ::dup2(pipeFds[1], 2);
        testsupport::execProgram(kNtfs3g, {"-o", options.empty() ? "no_detach" : "no_detach," + options, image, mountPoint}, environment);
    }
    ::close(pipeFds[1]);
    output_ = pipeFds[0];
    // It logs "Mounted <image> (Read-Write, ...)" once the kernel has the
    // mount, and ends (closing the pipe) if it cannot mount.
    char buffer[4096];
    while (log_.find("\nMounted ") == std::string::npos && log_.rfind("Mounted ", 0) != 0) {
        ssize_t got = ::read(output_, buffer, sizeof buffer);
        if (got < 0 && errno == EINTR) {
            continue;
        }
        if (got <= 0) {
            unmount();
            throw std::runtime_error("ntfs-3g did not mount " + image + ":\n" + log_);
        }
        log_.append(buffer, static_cast<std::size_t>(got));
    }
}

Ntfs3gMount::~Ntfs3gMount() { unmount(); }

void Ntfs3gMount::unmount()
{
    if (process_ > 0) {
        // ntfs-3g ends when its mount goes: it then writes back and closes
        // the image, logs the rest and closes the pipe.
        // A file left open keeps the mount busy: ntfs-3g, told to end, then
        // unmounts it itself.
        if (::umount2(mountPoint_.c_str(), 0) != 0) {
            ::kill(process_, SIGTERM);
        }
        char buffer[4096];
        for (;;) {
            ssize_t got = ::read(output_, buffer, sizeof buffer);
            if (got < 0 && errno == EINTR) {
                continue;
            }
            if (got <= 0) {
                break;
            }
            log_.append(buffer, static_cast<std::size_t>(got));
        }
        int status = 0;
        ::waitpid(process_, &status, 0);
        process_ = -1;
    }
    if (output_ >= 0) {
        ::close(output_);
        output_ = -1;
    }
    if (pluginsBound_) {
        ::umount2(pluginFolder().c_str(), 0);
        pluginsBound_ = false;
    }
}

}  // namespace ntfs3gtest
