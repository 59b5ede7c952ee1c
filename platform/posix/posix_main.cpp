// The process entry on Linux: the arguments become UTF-16 (bytes that are not
// UTF-8 escaped, so every name round-trips), and the program's wmain runs as
// it does on Windows. Built with STUBWARDEN_LINUX_PATH_TARGET (Stubwarden
// itself, not its companions, which take Linux paths as they are), a Linux
// path as the target becomes the UNC path that names it.
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <optional>
#include <sys/auxv.h>
#include <unistd.h>
#include <vector>

#include "platform/posix/text_conversion.h"
#include "platform/win32.h"

int wmain(int argc, WCHAR* argv[]);

namespace {

// Run with a file capability (the Debian package gives Stubwarden
// cap_dac_read_search) or set-user-ID, the process is in secure-execution
// mode, and its environment is the caller's to choose while its privilege is
// not. The C library drops the variables it knows to be unsafe then; the
// other libraries do not (ICU, below libxml2, reads ICU_DATA and maps the
// converter tables it names for a marker's encoding). So every variable but
// these goes, before any library's initialisation can read one: TZ gives
// the report's local times (the C library refuses a zone file outside its
// own folder in this mode).
constexpr const char* kKeptInSecureMode[] = {"TZ="};

void dropEnvironmentInSecureMode(int, char**, char** environment)
{
    if (::getauxval(AT_SECURE) == 0 || environment == nullptr) {
        return;
    }
    char** kept = environment;
    for (char** entry = environment; *entry != nullptr; ++entry) {
        for (const char* prefix : kKeptInSecureMode) {
            if (std::strncmp(*entry, prefix, std::strlen(prefix)) == 0) {
                *kept++ = *entry;
                break;
            }
        }
    }
    *kept = nullptr;
}

// The executable's pre-initialisation functions run before those of every
// shared library it loads, and are given the environment the process
// started with (the very array `environ` points to).
[[gnu::section(".preinit_array"), gnu::used]] void (*const dropEnvironment)(int, char**, char**) =
    dropEnvironmentInSecureMode;

}  // namespace

#ifdef STUBWARDEN_LINUX_PATH_TARGET
namespace {

// The UNC path under which the platform layer reaches a Linux path:
// /srv/samba/users is \\srv\samba\users. Empty names ("//", a '/' at the end)
// are dropped. Nothing when there is no such path: "/" or one folder alone
// (a server without a share), "." or ".." (which a UNC target keeps as they
// are), a name holding '\'.
std::optional<WString> uncTarget(WStringView linuxPath)
{
    WString unc = WSTR("\\");
    int names = 0;
    while (!linuxPath.empty()) {
        WStringView::size_type slash = linuxPath.find(u'/');
        WStringView name = linuxPath.substr(0, slash);
        linuxPath.remove_prefix(slash == WStringView::npos ? linuxPath.size() : slash + 1);
        if (name == WSTR(".") || name == WSTR("..") || name.find(u'\\') != WStringView::npos) {
            return std::nullopt;
        }
        if (!name.empty()) {
            unc.append(WSTR("\\")).append(name);
            ++names;
        }
    }
    return names >= 2 ? std::optional<WString>(unc) : std::nullopt;
}

}  // namespace
#endif

int main(int argc, char* argv[])
{
    // Started with a standard stream closed (">&-", as cron and service
    // managers may), the report would be opened on that descriptor, and the
    // progress dots or the error line written into it. Each closed one is
    // opened on /dev/null first (open takes the lowest free descriptor).
    for (int fd = 0; fd <= 2; ++fd) {
        if (::fcntl(fd, F_GETFD) < 0 && ::open("/dev/null", O_RDWR) != fd) {
            constexpr char kFailure[] = "Error:Failed to open /dev/null for a closed standard stream\n";
            [[maybe_unused]] ssize_t written = ::write(2, kFailure, sizeof kFailure - 1);
            return 1;
        }
    }
    // Windows has neither: a write past a file size limit or into a closed
    // pipe fails, it does not end the process.
    std::signal(SIGXFSZ, SIG_IGN);
    std::signal(SIGPIPE, SIG_IGN);

    std::vector<WString> arguments;
    arguments.reserve(static_cast<std::size_t>(argc));
    for (int i = 0; i < argc; ++i) {
        arguments.push_back(posix::decodeFileSystemBytes(argv[i]));
    }
#ifdef STUBWARDEN_LINUX_PATH_TARGET
    // The target is the last argument; the options before it, and a target
    // that starts with a backslash (or with "//"), stay as they are. A
    // process may be started with no arguments at all, not even its name.
    if (argc >= 2) {
        WString& target = arguments.back();
        // "/?" asks for the help, as on Windows.
        if (!target.empty() && target[0] == u'/' && (target.size() == 1 || target[1] != u'/') &&
            target != WSTR("/?")) {
            if (std::optional<WString> unc = uncTarget(target)) {
                target = *unc;
            } else {
                // Refused as every command line the program cannot take:
                // given no target, wmain prints its usage line, writes
                // nothing else and ends with 1.
                argc = 1;
            }
        }
    }
#endif
    std::vector<WCHAR*> pointers;
    for (WString& argument : arguments) {
        pointers.push_back(argument.data());
    }
    pointers.push_back(nullptr);
    return wmain(argc, pointers.data());
}
