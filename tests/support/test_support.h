// What the suites share: temporary trees, the real binaries run as
// processes, and their UTF-16LE reports read back byte for byte.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <sys/types.h>
#include <vector>

#include "platform/win32.h"

namespace testsupport {

// A fresh folder under /tmp, removed with everything in it (permissions
// restored first) when the object goes.
class TempDir {
public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;

    [[nodiscard]] const std::string& path() const { return path_; }
    // path() + "/" + relative
    [[nodiscard]] std::string operator/(const std::string& relative) const;

private:
    std::string path_;
};

// The UNC form under which the program names a Linux path:
// "/tmp/x/share" -> "\\tmp\x\share".
std::string uncPath(const std::string& linuxPath);
// The same as a wide string, for the platform calls.
WString wideUncPath(const std::string& linuxPath);
// The path the program writes into its report for a UNC target:
// "/tmp/x/share" -> "\\?\UNC\tmp\x\share".
std::string reportPath(const std::string& linuxPath);

struct RunOptions {
    std::string workingDirectory = ".";
    // Added to the environment; TZ=UTC is there unless replaced.
    std::vector<std::string> environment;
    // Run as this user and group, without any capability (CI runs as root).
    std::optional<uid_t> user;
    std::optional<gid_t> group;
    // RLIMIT_FSIZE in bytes.
    std::optional<unsigned long long> fileSizeLimit;
};

struct RunResult {
    int exitCode = -1;  // -1: killed by a signal
    std::string standardOutput;
    std::string standardError;
};

// Runs `binary`; with `options.user`, through runnableByEveryone(binary).
RunResult runProgram(const std::string& binary, const std::vector<std::string>& arguments,
                     const RunOptions& options = {});
// `binary` itself when every account may reach and run it; otherwise a copy
// of it, made once per test process in a folder open to everyone (a checkout
// may lie below a private folder, such as root's home).
const std::string& runnableByEveryone(const std::string& binary);
// In a forked child: replaces it with `binary` run with these arguments and
// exactly this environment; exits 127, with the reason on standard error,
// when it cannot be run.
[[noreturn]] void execProgram(const std::string& binary, const std::vector<std::string>& arguments,
                              std::vector<std::string>& environment);

RunResult runStubwarden(const std::vector<std::string>& arguments, const RunOptions& options = {});

// The names of the report files (*.txt) in a folder, sorted.
std::vector<std::string> reportFiles(const std::string& folder);
// The bytes of the one report in the folder; fails the test if there is not
// exactly one.
std::string onlyReportBytes(const std::string& folder);

// Runs `work` in a child process with a mount namespace of its own, so that
// what it mounts vanishes with it. The child's exit code comes back; 77 when
// no namespace can be had here.
int inOwnMountNamespace(const std::function<int()>& work);

std::string readFileBytes(const std::string& path);
// An xattr's whole value (not following a final link); nullopt when absent
// or unreadable.
std::optional<std::string> xattr(const std::string& path, const std::string& name);
// Sets an xattr (not following a final link); fails the test if it cannot.
void setXattr(const std::string& path, const std::string& name, const std::string& value);
// "10 00 00 00" or "10000000" -> the four bytes.
std::string bytes(const std::string& hex);
// The lowest `width` bytes of an integer, little-endian: (0x1234, 2) -> "\x34\x12".
std::string littleEndianBytes(std::uint64_t value, std::size_t width);
// A user.DOSATTRIB value as Samba writes it: version 5, valid_flags 0x11
// with a create time (FILETIME ticks), 0x1 and a zero time without one.
std::string dosAttribValue(DWORD attrib, std::optional<std::uint64_t> createTime = std::nullopt);
// The archive usage summary's heading, and one of its rows.
extern const std::string kUsageHeading;
std::string usageRow(const std::string& name, const std::string& rootPath, const std::string& archived,
                     const std::string& nonArchived);
// UTF-8 text as UTF-16LE bytes, and back (lone surrogates as U+FFFD).
std::string utf16le(const std::string& utf8);

// The report's dump of a record read whole (UTF-16LE bytes, from the CR LF
// that breaks the file's line to the CR LF that ends the dump): the data
// after the 24-byte header, as rows of 16 bytes, a blank before each group
// of 8, the character column (graphic Latin-1 as itself, else '.').
std::string reparseDumpBytes(const std::string& record);

// What the repair makes of a record: 2,050 bytes from 604 (zeros past the
// record's end) at 84, the flag bytes 1, 0, 0, 0 at 80, the header and the
// length as they were.
std::string repairedRecord(const std::string& record);
std::string fromUtf16le(const std::string& bytes);

}  // namespace testsupport
