#include "tests/support/test_support.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <filesystem>
#include <map>
#include <grp.h>
#include <fcntl.h>
#include <fstream>
#include <gtest/gtest.h>
#include <poll.h>
#include <sstream>
#include <sched.h>
#include <sys/mount.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <sys/xattr.h>
#include <unistd.h>

#include "platform/little_endian.h"
#include "platform/text_conversion.h"

extern char** environ;

namespace testsupport {
namespace {

// Relative to open folders, so trees deeper than PATH_MAX go too.
void removeEntry(int parent, const char* name)
{
    struct stat status {};
    if (::fstatat(parent, name, &status, AT_SYMLINK_NOFOLLOW) != 0) {
        return;
    }
    if (S_ISDIR(status.st_mode)) {
        ::fchmodat(parent, name, 0700, 0);
        int fd = ::openat(parent, name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
        if (fd >= 0) {
            if (DIR* folder = ::fdopendir(fd)) {
                std::vector<std::string> names;
                while (struct dirent* entry = ::readdir(folder)) {
                    std::string entryName = entry->d_name;
                    if (entryName != "." && entryName != "..") {
                        names.push_back(entryName);
                    }
                }
                for (const std::string& entryName : names) {
                    removeEntry(::dirfd(folder), entryName.c_str());
                }
                ::closedir(folder);
            } else {
                ::close(fd);
            }
        }
        ::unlinkat(parent, name, AT_REMOVEDIR);
    } else {
        ::unlinkat(parent, name, 0);
    }
}

void removeTree(const std::string& path) { removeEntry(AT_FDCWD, path.c_str()); }

}  // namespace

TempDir::TempDir()
{
    std::string pattern = "/tmp/stubwarden-test-XXXXXX";
    if (::mkdtemp(pattern.data()) == nullptr) {
        throw std::runtime_error("mkdtemp failed");
    }
    path_ = pattern;
    ::chmod(path_.c_str(), 0755);
}

TempDir::~TempDir() { removeTree(path_); }

std::string TempDir::operator/(const std::string& relative) const { return path_ + "/" + relative; }

std::string uncPath(const std::string& linuxPath)
{
    std::string unc = "\\";
    for (char c : linuxPath) {
        unc += c == '/' ? '\\' : c;
    }
    return unc;
}

WString wideUncPath(const std::string& linuxPath) { return wideText(uncPath(linuxPath)); }

std::string reportPath(const std::string& linuxPath) { return "\\\\?\\UNC" + uncPath(linuxPath).substr(1); }

void execProgram(const std::string& binary, const std::vector<std::string>& arguments,
                 std::vector<std::string>& environment)
{
    std::vector<char*> argv{const_cast<char*>(binary.c_str())};
    for (const std::string& argument : arguments) {
        argv.push_back(const_cast<char*>(argument.c_str()));
    }
    argv.push_back(nullptr);
    std::vector<char*> envp;
    for (std::string& entry : environment) {
        envp.push_back(entry.data());
    }
    envp.push_back(nullptr);
    ::execve(binary.c_str(), argv.data(), envp.data());
    std::string reason = "cannot run " + binary + ": " + std::strerror(errno) + "\n";
    [[maybe_unused]] ssize_t written = ::write(2, reason.data(), reason.size());
    ::_exit(127);
}

namespace {

// Every folder on the way and the file itself let others through.
bool everyAccountMayRun(const std::string& binary)
{
    std::filesystem::path path = std::filesystem::absolute(binary);
    for (std::filesystem::path step = path; !step.empty(); step = step.parent_path()) {
        struct stat status {};
        if (::stat(step.c_str(), &status) != 0 || (status.st_mode & S_IXOTH) == 0) {
            return false;
        }
        if (step == step.root_path()) {
            break;
        }
    }
    return true;
}

}  // namespace

const std::string& runnableByEveryone(const std::string& binary)
{
    static std::map<std::string, std::string> copies;
    static TempDir folder;
    auto [entry, added] = copies.try_emplace(binary, binary);
    if (added && !everyAccountMayRun(binary)) {
        std::string copy = folder / std::to_string(copies.size());
        ::mkdir(copy.c_str(), 0755);
        copy += "/" + std::filesystem::path(binary).filename().string();
        std::filesystem::copy_file(binary, copy);
        std::filesystem::permissions(copy, std::filesystem::perms(0755));
        entry->second = copy;
    }
    return entry->second;
}

RunResult runProgram(const std::string& givenBinary, const std::vector<std::string>& arguments,
                     const RunOptions& options)
{
    const std::string& binary = options.user ? runnableByEveryone(givenBinary) : givenBinary;
    int outPipe[2];
    int errPipe[2];
    if (::pipe2(outPipe, O_CLOEXEC) != 0 || ::pipe2(errPipe, O_CLOEXEC) != 0) {
        throw std::runtime_error("pipe failed");
    }
    std::vector<std::string> environment;
    bool hasTz = false;
    for (const std::string& entry : options.environment) {
        hasTz = hasTz || entry.rfind("TZ=", 0) == 0;
    }
    for (char** entry = environ; *entry != nullptr; ++entry) {
        std::string text = *entry;
        if (text.rfind("TZ=", 0) != 0) {
            environment.push_back(text);
        }
    }
    if (!hasTz) {
        environment.emplace_back("TZ=UTC");
    }
    environment.insert(environment.end(), options.environment.begin(), options.environment.end());

    pid_t child = ::fork();
    if (child == 0) {
        ::dup2(outPipe[1], 1);
        ::dup2(errPipe[1], 2);
        if (::chdir(options.workingDirectory.c_str()) != 0) {
            ::_exit(126);
        }
        if (options.fileSizeLimit) {
            struct rlimit limit {static_cast<rlim_t>(*options.fileSizeLimit), static_cast<rlim_t>(*options.fileSizeLimit)};
            ::setrlimit(RLIMIT_FSIZE, &limit);
        }
        if (options.group && ::setresgid(*options.group, *options.group, *options.group) != 0) {
            ::_exit(126);
        }
        if (options.user) {
            ::setgroups(0, nullptr);
            if (::setresuid(*options.user, *options.user, *options.user) != 0) {
                ::_exit(126);
            }
        }
        execProgram(binary, arguments, environment);
    }
    ::close(outPipe[1]);
    ::close(errPipe[1]);
    RunResult result;
    struct pollfd fds[2] = {{outPipe[0], POLLIN, 0}, {errPipe[0], POLLIN, 0}};
    std::string* sinks[2] = {&result.standardOutput, &result.standardError};
    int open = 2;
    while (open > 0) {
        if (::poll(fds, 2, -1) < 0) {
            if (errno == EINTR) {
                continue;
            }
            break;
        }
        for (int i = 0; i < 2; ++i) {
            if (fds[i].fd >= 0 && (fds[i].revents & (POLLIN | POLLHUP | POLLERR)) != 0) {
                char buffer[4096];
                ssize_t n = ::read(fds[i].fd, buffer, sizeof buffer);
                if (n > 0) {
                    sinks[i]->append(buffer, static_cast<std::size_t>(n));
                } else {
                    ::close(fds[i].fd);
                    fds[i].fd = -1;
                    --open;
                }
            }
        }
    }
    int status = 0;
    ::waitpid(child, &status, 0);
    result.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return result;
}

RunResult runStubwarden(const std::vector<std::string>& arguments, const RunOptions& options)
{
    return runProgram(STUBWARDEN_BINARY, arguments, options);
}

std::vector<std::string> reportFiles(const std::string& folder)
{
    std::vector<std::string> names;
    if (DIR* dir = ::opendir(folder.c_str())) {
        while (struct dirent* entry = ::readdir(dir)) {
            std::string name = entry->d_name;
            if (name.size() > 4 && name.compare(name.size() - 4, 4, ".txt") == 0) {
                names.push_back(name);
            }
        }
        ::closedir(dir);
    }
    std::sort(names.begin(), names.end());
    return names;
}

std::string onlyReportBytes(const std::string& folder)
{
    std::vector<std::string> names = reportFiles(folder);
    EXPECT_EQ(names.size(), 1u) << "report files in " << folder;
    if (names.size() != 1) {
        return {};
    }
    return readFileBytes(folder + "/" + names.front());
}

int inOwnMountNamespace(const std::function<int()>& work)
{
    pid_t child = ::fork();
    if (child == 0) {
        if (::unshare(CLONE_NEWNS) != 0 || ::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0) {
            ::_exit(77);
        }
        ::_exit(work());
    }
    int status = 0;
    ::waitpid(child, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

std::string readFileBytes(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    std::ostringstream bytes;
    bytes << in.rdbuf();
    return bytes.str();
}

std::optional<std::string> xattr(const std::string& path, const std::string& name)
{
    char value[65536];
    ssize_t size = ::lgetxattr(path.c_str(), name.c_str(), value, sizeof value);
    if (size < 0) {
        return std::nullopt;
    }
    return std::string(value, static_cast<std::size_t>(size));
}

void setXattr(const std::string& path, const std::string& name, const std::string& value)
{
    ASSERT_EQ(::lsetxattr(path.c_str(), name.c_str(), value.data(), value.size(), 0), 0)
        << path << " " << name << ": " << std::strerror(errno);
}

namespace {

std::string littleEndianText(const std::u16string& text)
{
    std::string bytes;
    for (char16_t unit : text) {
        bytes += littleEndianBytes(unit, 2);
    }
    return bytes;
}

std::u16string ascii(const std::string& text) { return std::u16string(text.begin(), text.end()); }

std::string hexDigits(std::size_t value, int digits)
{
    char text[32];
    std::snprintf(text, sizeof text, "%0*zx", digits, value);
    return text;
}

}  // namespace

std::string reparseDumpBytes(const std::string& record)
{
    std::size_t length = record.size() > 24 ? record.size() - 24 : 0;
    std::u16string text = ascii("\r\nReparse Data Length: " + (length == 0 ? "0" : "0x" + hexDigits(length, 1)) +
                                "\r\nReparse Data:\r\n");
    for (std::size_t row = 0; row < length; row += 16) {
        text += ascii(hexDigits(row, 4) + ": ");
        std::u16string characters;
        for (std::size_t i = row; i < std::min(row + 16, length); ++i) {
            auto byte = static_cast<unsigned char>(record[24 + i]);
            text += ascii((i % 8 == 0 ? " " : "") + hexDigits(byte, 2) + " ");
            characters += (byte >= 0x21 && byte <= 0x7E) || byte >= 0xA1 ? static_cast<char16_t>(byte) : u'.';
        }
        text += u" " + characters + (row + 16 < length ? u"\r\n" : u"");
    }
    return littleEndianText(text + u"\r\n");
}

std::string repairedRecord(const std::string& record)
{
    std::string padded = record + std::string(2654 > record.size() ? 2654 - record.size() : 0, '\0');
    padded.replace(84, 2050, padded, 604, 2050);
    padded.replace(80, 4, std::string("\x01\x00\x00\x00", 4));
    return padded.substr(0, record.size());
}

std::string bytes(const std::string& hex)
{
    std::string out;
    std::string digits;
    for (char c : hex) {
        if (c != ' ') {
            digits += c;
        }
    }
    for (std::size_t i = 0; i + 1 < digits.size(); i += 2) {
        out += static_cast<char>(std::stoi(digits.substr(i, 2), nullptr, 16));
    }
    return out;
}

std::string littleEndianBytes(std::uint64_t value, std::size_t width)
{
    std::string out;
    littleendian::append(out, value);
    out.resize(width);
    return out;
}

std::string dosAttribValue(DWORD attrib, std::optional<std::uint64_t> createTime)
{
    return bytes("0000 0500 0500 0000") + littleEndianBytes(createTime ? 0x11 : 0x1, 4) + littleEndianBytes(attrib, 4) +
           littleEndianBytes(createTime.value_or(0), 8);
}

const std::string kUsageHeading =
    "\r\nSummary\r\n-------\r\n"
    "\r\nArchiveName\tArchivePointRootPath\tArchived Files Original Size (KB)\tNon-Archived File Original Size (KB)"
    "\r\n";

std::string usageRow(const std::string& name, const std::string& rootPath, const std::string& archived,
                     const std::string& nonArchived)
{
    return name + "\t" + rootPath + "\t" + archived + "\t" + nonArchived + "\r\n";
}

std::string utf16le(const std::string& utf8)
{
    WString wide = wideText(utf8);
    std::string bytes;
    for (WCHAR unit : wide) {
        littleendian::append<std::uint16_t>(bytes, unit);
    }
    return bytes;
}

std::string fromUtf16le(const std::string& bytes)
{
    WString wide;
    for (std::size_t i = 0; i + 1 < bytes.size(); i += 2) {
        wide += static_cast<WCHAR>(littleendian::read<std::uint16_t>(bytes.data() + i));
    }
    return utf8Text(wide);
}

}  // namespace testsupport
