#include "platform/posix/samba_shares.h"

#include <cerrno>
#include <chrono>
#include <csignal>
#include <fcntl.h>
#include <iterator>
#include <netdb.h>
#include <poll.h>
#include <pwd.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include "platform/ascii_case.h"
#include "platform/posix/spawn_program.h"
#include "platform/posix/text_conversion.h"

namespace posix {
namespace {

// Where Samba's packages put testparm. Only these: the program runs with
// the backup privilege, so no PATH of the caller's chooses what it starts.
constexpr const char* kTestparmPaths[] = {"/usr/bin/testparm", "/usr/local/bin/testparm",
                                          "/usr/local/samba/bin/testparm"};
// --verbose prints every parameter, defaults too (the NetBIOS name is one);
// --skip-logic-checks keeps the exit code to whether the configuration
// loads at all, not whether it is advisable.
constexpr const char* kTestparmArguments[] = {"--suppress-prompt", "--verbose", "--skip-logic-checks"};
// testparm takes some 20 ms; one that hangs (a locked registry) is given up.
constexpr auto kTestparmTimeLimit = std::chrono::seconds(5);
constexpr std::size_t kTestparmOutputLimit = 64 << 20;

std::optional<bool> booleanValue(std::string_view value)
{
    // testparm prints Yes and No.
    return value == "Yes" ? std::optional<bool>(true) : value == "No" ? std::optional<bool>(false) : std::nullopt;
}

// A list parameter as Samba splits it: by blanks and commas, "..." holding
// blanks together.
std::vector<WString> listValue(std::string_view value)
{
    std::vector<WString> items;
    std::string item;
    bool quoted = false;
    for (char c : value) {
        if (c == '"') {
            quoted = !quoted;
        } else if (!quoted && (c == ' ' || c == '\t' || c == ',')) {
            if (!item.empty()) {
                items.push_back(decodeFileSystemBytes(item));
                item.clear();
            }
        } else {
            item += c;
        }
    }
    if (!item.empty()) {
        items.push_back(decodeFileSystemBytes(item));
    }
    return items;
}

// A path as smbd connects to it: no "//", no '/' at the end.
std::string connectPath(std::string_view path)
{
    std::string tidy;
    for (char c : path) {
        if (c != '/' || tidy.empty() || tidy.back() != '/') {
            tidy += c;
        }
    }
    if (!tidy.empty() && tidy.back() == '/') {
        tidy.pop_back();
    }
    return tidy;
}

// The [homes] share's path for one user: %S (the share, which is the user's
// name), %U and %u are the user, %H the home folder. Other substitutions
// stay, and make the path unusable.
std::string homesPath(std::string_view path, std::string_view user, std::string_view home)
{
    std::string result;
    for (std::size_t i = 0; i < path.size(); ++i) {
        char next = i + 1 < path.size() ? path[i + 1] : '\0';
        if (path[i] == '%' && (next == 'S' || next == 'U' || next == 'u' || next == 'H')) {
            result += next == 'H' ? home : user;
            ++i;
        } else {
            result += path[i];
        }
    }
    return result;
}

// A '%' before a letter or "$(": what Samba substitutes when a client
// connects (%U, %S, %m, %$(NAME), ...). Before anything else it stays a '%'.
bool holdsSubstitution(std::string_view path)
{
    for (std::size_t i = path.find('%'); i != std::string_view::npos && i + 1 < path.size(); i = path.find('%', i + 1)) {
        char next = path[i + 1];
        if ((next >= 'A' && next <= 'Z') || (next >= 'a' && next <= 'z') || path.substr(i + 1, 2) == "$(") {
            return true;
        }
    }
    return false;
}

// The account of a user named as a share, as Samba looks it up: the name as
// given, then in lower case.
std::optional<std::pair<std::string, std::string>> homesAccount(WStringView share)
{
    std::optional<std::string> name = encodeFileSystemBytes(share);
    if (!name || name->empty()) {
        return std::nullopt;
    }
    std::string lower = *name;
    for (char& c : lower) {
        c = c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
    }
    std::vector<char> buffer(16384);
    for (const std::string& candidate : {*name, lower}) {
        struct passwd account {};
        struct passwd* found = nullptr;
        if (::getpwnam_r(candidate.c_str(), &account, buffer.data(), buffer.size(), &found) == 0 &&
            found != nullptr && found->pw_dir != nullptr && found->pw_dir[0] != '\0') {
            return std::make_pair(std::string(found->pw_name), std::string(found->pw_dir));
        }
    }
    return std::nullopt;
}

using Clock = std::chrono::steady_clock;

// Reads `fd` to its end, no later than `deadline` and no more than the
// limit; whether it got to the end.
bool readToEnd(int fd, Clock::time_point deadline, std::string& output)
{
    while (output.size() <= kTestparmOutputLimit) {
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
        struct pollfd readable {fd, POLLIN, 0};
        int ready = left.count() > 0 ? ::poll(&readable, 1, static_cast<int>(left.count())) : 0;
        if (ready < 0 && errno == EINTR) {
            continue;
        }
        if (ready <= 0) {
            return false;
        }
        char buffer[16384];
        ssize_t got = ::read(fd, buffer, sizeof buffer);
        if (got < 0 && errno == EINTR) {
            continue;
        }
        if (got <= 0) {
            return got == 0;
        }
        output.append(buffer, static_cast<std::size_t>(got));
    }
    return false;
}

// Whether `child` ends by `deadline`; it is left unreaped. Its end of output
// is normally its exit, so this rarely waits.
bool endsBy(pid_t child, Clock::time_point deadline)
{
    for (;;) {
        siginfo_t info{};
        if (::waitid(P_PID, static_cast<id_t>(child), &info, WEXITED | WNOHANG | WNOWAIT) == 0 && info.si_pid == child) {
            return true;
        }
        if (Clock::now() >= deadline) {
            return false;
        }
        ::usleep(1000);
    }
}

// The output of testparm when it ends well within the time limit.
std::optional<std::string> testparmOutput(const char* program)
{
    int pipe[2];
    if (::pipe2(pipe, O_CLOEXEC) != 0) {
        return std::nullopt;
    }
    SpawnFileActions actions;
    int failed = ::posix_spawn_file_actions_addopen(actions.get(), 0, "/dev/null", O_RDONLY, 0);
    failed = failed ? failed : ::posix_spawn_file_actions_adddup2(actions.get(), pipe[1], 1);
    failed = failed ? failed : ::posix_spawn_file_actions_addopen(actions.get(), 2, "/dev/null", O_WRONLY, 0);
    failed = failed ? failed : ::posix_spawn_file_actions_addclosefrom_np(actions.get(), 3);
    std::vector<std::string> words{program};
    words.insert(words.end(), std::begin(kTestparmArguments), std::end(kTestparmArguments));
    // Nothing of the caller's environment: no locale, no Samba variables.
    char path[] = "PATH=/usr/sbin:/usr/bin:/sbin:/bin";
    char locale[] = "LC_ALL=C";
    char* environment[] = {path, locale, nullptr};
    pid_t child = -1;
    failed = failed ? failed : spawnProgram(child, words, actions, environment);
    ::close(pipe[1]);
    if (failed != 0) {
        ::close(pipe[0]);
        return std::nullopt;
    }
    std::string output;
    Clock::time_point deadline = Clock::now() + kTestparmTimeLimit;
    bool complete = readToEnd(pipe[0], deadline, output) && endsBy(child, deadline);
    ::close(pipe[0]);
    if (!complete) {
        ::kill(child, SIGKILL);  // not yet reaped, so the id is still its own
    }
    DWORD exitCode = 0;
    if (waitForExit(child, exitCode) != ERROR_SUCCESS || !complete || exitCode != 0) {
        return std::nullopt;
    }
    return output;
}

// The testparm that Samba's packages installed; nullptr when there is none.
const char* testparmProgram()
{
    static const char* const program = []() -> const char* {
        for (const char* candidate : kTestparmPaths) {
            struct stat status {};
            if (::stat(candidate, &status) == 0 && S_ISREG(status.st_mode) && ::access(candidate, X_OK) == 0) {
                return candidate;
            }
        }
        return nullptr;
    }();
    return program;
}

// testparm's view of this host, asked for once per process.
const std::optional<SambaConfiguration>& sambaConfiguration()
{
    static const std::optional<SambaConfiguration> configuration = []() -> std::optional<SambaConfiguration> {
        std::optional<std::string> output = testparmOutput(testparmProgram());
        return output ? SambaConfiguration::parse(*output) : std::nullopt;
    }();
    return configuration;
}

const WString& hostName()
{
    static const WString name = []() {
        char text[256] = {};
        return ::gethostname(text, sizeof text - 1) == 0 ? decodeFileSystemBytes(text) : WString();
    }();
    return name;
}

// The host's fully qualified name, from the resolver.
const WString& qualifiedHostName()
{
    static const WString name = []() {
        std::optional<std::string> host = encodeFileSystemBytes(hostName());
        struct addrinfo hints {};
        hints.ai_flags = AI_CANONNAME;
        struct addrinfo* found = nullptr;
        WString canonical;
        if (host && !host->empty() && ::getaddrinfo(host->c_str(), nullptr, &hints, &found) == 0) {
            if (found->ai_canonname != nullptr) {
                canonical = decodeFileSystemBytes(found->ai_canonname);
            }
            ::freeaddrinfo(found);
        }
        return canonical;
    }();
    return name;
}

// What needs no question to Samba: the host name, localhost, 127.0.0.1.
bool isLocalName(WStringView server)
{
    return (!hostName().empty() && equalsIgnoringAsciiCase(server, hostName())) ||
           equalsIgnoringAsciiCase(server, WSTR("localhost")) || server == WSTR("127.0.0.1");
}

// The fully qualified name is asked of the resolver only for a name that
// starts with the host name and a dot.
bool isQualifiedHostName(WStringView server)
{
    const WString& host = hostName();
    if (host.empty() || server.size() <= host.size() + 1 || server[host.size()] != u'.' ||
        !equalsIgnoringAsciiCase(server.substr(0, host.size()), host)) {
        return false;
    }
    return equalsIgnoringAsciiCase(server, qualifiedHostName());
}

// Whether the literal folder /server/share (or whatever is there) exists.
bool literalPathExists(WStringView server, WStringView share)
{
    std::optional<std::string> path = encodeFileSystemBytes(WString(WSTR("/")) + WString(server) + WSTR("/") +
                                                            WString(share));
    struct stat status {};
    return path && ::fstatat(AT_FDCWD, path->c_str(), &status, AT_SYMLINK_NOFOLLOW) == 0;
}

// The decision for one "server\share".
DWORD resolve(WStringView server, WStringView share, std::string& folder, bool& isShare)
{
    isShare = false;
    if (testparmProgram() == nullptr) {
        return ERROR_SUCCESS;
    }
    bool hostsOwnName = isLocalName(server) || isQualifiedHostName(server);
    // Only Samba knows its NetBIOS names, and asking costs a run of testparm.
    // A server that is none of the host's own names, whose literal path
    // /server/share exists, keeps that literal meaning unasked: an audit of
    // an ordinary Linux tree (\\tmp\x, a Linux path as the target) starts no
    // program. Only a NetBIOS name that is not the host name and is also a
    // top folder holding a folder of the share's name gives up its share.
    if (!hostsOwnName && literalPathExists(server, share)) {
        return ERROR_SUCCESS;
    }
    const std::optional<SambaConfiguration>& samba = sambaConfiguration();
    if (!samba || !(hostsOwnName || samba->isNetbiosName(server))) {
        return ERROR_SUCCESS;
    }
    isShare = true;
    return samba->shareFolder(share, folder);
}

}  // namespace

std::optional<SambaConfiguration> SambaConfiguration::parse(std::string_view text)
{
    SambaConfiguration configuration;
    Section* section = nullptr;
    bool global = false;
    while (!text.empty()) {
        std::string_view::size_type end = text.find('\n');
        std::string_view line = text.substr(0, end);
        text.remove_prefix(end == std::string_view::npos ? text.size() : end + 1);
        if (line.size() >= 2 && line.front() == '[' && line.back() == ']') {
            WString name = decodeFileSystemBytes(line.substr(1, line.size() - 2));
            if (equalsIgnoringAsciiCase(WStringView(name), WSTR("global"))) {
                section = &configuration.global_;
                global = true;
            } else {
                section = &configuration.shares_.emplace_back();
                section->name = std::move(name);
            }
            continue;
        }
        std::string_view::size_type equals = line.find(" = ");
        if (section == nullptr || line.empty() || line.front() != '\t' || equals == std::string_view::npos) {
            continue;
        }
        std::string_view key = line.substr(1, equals - 1);
        std::string_view value = line.substr(equals + 3);
        if (key == "path") {
            section->path = std::string(value);
        } else if (key == "printable") {
            section->printable = booleanValue(value);
        } else if (key == "available") {
            section->available = booleanValue(value);
        } else if (key == "msdfs proxy") {
            section->msdfsProxy = std::string(value);
        } else if (section == &configuration.global_ && (key == "netbios name" || key == "netbios aliases")) {
            std::vector<WString> names = listValue(value);
            configuration.netbiosNames_.insert(configuration.netbiosNames_.end(), names.begin(), names.end());
        }
    }
    if (!global) {
        return std::nullopt;
    }
    return configuration;
}

bool SambaConfiguration::isNetbiosName(WStringView server) const
{
    for (const WString& name : netbiosNames_) {
        if (equalsIgnoringAsciiCase(server, name)) {
            return true;
        }
    }
    return false;
}

const SambaConfiguration::Section* SambaConfiguration::find(WStringView name) const
{
    for (const Section& share : shares_) {
        if (equalsIgnoringAsciiCase(name, share.name)) {
            return &share;
        }
    }
    return nullptr;
}

DWORD SambaConfiguration::diskFolder(const Section& share, const HomesUser* user, std::string& folder) const
{
    bool printable = share.printable.value_or(global_.printable.value_or(false));
    bool available = share.available.value_or(global_.available.value_or(true));
    const std::string& proxy = share.msdfsProxy ? *share.msdfsProxy : global_.msdfsProxy.value_or(std::string());
    if (printable || !available || !proxy.empty()) {
        return ERROR_BAD_NET_NAME;
    }
    std::string path = share.path ? *share.path : global_.path.value_or(std::string());
    if (user != nullptr) {
        // Samba's own rule: [homes] without a path serves the home folder.
        path = path.empty() ? user->home : homesPath(path, user->name, user->home);
    }
    if (path.empty() || path.front() != '/' || holdsSubstitution(path)) {
        return ERROR_BAD_NET_NAME;
    }
    folder = connectPath(path);
    return ERROR_SUCCESS;
}

DWORD SambaConfiguration::shareFolder(WStringView share, std::string& folder) const
{
    if (const Section* defined = find(share)) {
        return diskFolder(*defined, nullptr, folder);
    }
    const Section* homes = find(WSTR("homes"));
    if (homes == nullptr) {
        return ERROR_BAD_NET_NAME;
    }
    std::optional<std::pair<std::string, std::string>> account = homesAccount(share);
    if (!account) {
        return ERROR_BAD_NET_NAME;
    }
    HomesUser user{account->first, account->second};
    return diskFolder(*homes, &user, folder);
}

DWORD mapSambaShare(WStringView unc, std::string& folder, std::size_t& consumed)
{
    WStringView::size_type serverEnd = unc.find(u'\\');
    WStringView::size_type shareEnd = unc.find_first_of(WSTR("\\:"), serverEnd + 1);
    WStringView prefix = unc.substr(0, shareEnd);
    // The last decision stands for every path of the same share: a walk
    // asks for thousands.
    thread_local struct {
        bool valid = false;
        WString prefix;
        DWORD error = ERROR_SUCCESS;
        bool isShare = false;
        std::string folder;
    } last;
    if (!last.valid || prefix != last.prefix) {
        last.prefix.assign(prefix);
        last.error = resolve(prefix.substr(0, serverEnd), prefix.substr(serverEnd + 1), last.folder, last.isShare);
        last.valid = true;
    }
    consumed = last.error == ERROR_SUCCESS && last.isShare ? prefix.size() : 0;
    if (consumed != 0) {
        folder = last.folder;
    }
    return last.error;
}

}  // namespace posix
