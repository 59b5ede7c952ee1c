// What the Wine suites share: the Wine prefix of the test process, folders
// that both builds reach under the same UNC path, and the Windows build run
// under Wine as a process.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "tests/support/test_support.h"

namespace winetest {

// The one Wine prefix of a test process: made before the first test, kept
// running (server and services) for the whole process, and removed with
// everything running in it after the last test.
class WinePrefix {
public:
    // Finds Wine and the Windows executable, makes the prefix and checks that
    // the executable starts in it. Throws std::runtime_error with a message
    // that says what is missing and how to get it.
    static void create();
    static void remove();

    // The prefix; also in this process's WINEPREFIX, with WINEDEBUG=-all,
    // so that every process the suite starts runs in it.
    static const std::string& path();
};

// A temporary folder /tmp/stubwarden-test-XXXXXX that the Windows build also
// reaches as \\tmp\stubwarden-test-XXXXXX: the prefix's
// dosdevices/unc/tmp/<name> links to it while it exists. The Linux build
// maps the same UNC path to the same folder.
class SharedFolder {
public:
    SharedFolder();
    ~SharedFolder();
    SharedFolder(const SharedFolder&) = delete;
    SharedFolder& operator=(const SharedFolder&) = delete;

    [[nodiscard]] const std::string& path() const { return folder_.path(); }
    [[nodiscard]] std::string operator/(const std::string& relative) const { return folder_ / relative; }

private:
    testsupport::TempDir folder_;
    std::string link_;
};

// The Windows executable run under Wine in the prefix, with TZ=UTC unless
// the options say otherwise (only the working folder and the environment
// can be set). Its standard error comes as the C runtime writes it: lines
// end in CR LF. A run that does not end within two minutes is stopped and
// fails the test.
testsupport::RunResult runWindowsBuild(const std::vector<std::string>& arguments,
                                       testsupport::RunOptions options = {});
// The same for another Windows program: one of the Windows build
// (stubwarden-rehearse.exe), or one unpacked from the zip.
testsupport::RunResult runWindowsProgram(const std::string& program, const std::vector<std::string>& arguments,
                                         testsupport::RunOptions options = {});

// Every regular file below `linuxFolder` (links not followed) gets the same
// modification time and, in user.DOSATTRIB, the same creation time. Wine
// shows a file's modification time as its creation time, the Linux build
// the creation time that Samba keeps; aligned, both show `time`.
void alignFileTimes(const std::string& linuxFolder, const FILETIME& time);

// Writes a Linux file of exactly this name and content, e.g. the marker
// "dept:QMArchivePoint.xml" beside the folder "dept": Wine opens that file
// for the stream "dept:QMArchivePoint.xml". The Linux build never does: to
// it that is a file like any other.
void writeLinuxFile(const std::string& linuxPath, const std::string& bytes);
// A folder and its parents; returns its path.
std::string folder(const std::string& linuxPath);
// A file of `size` bytes: the content, then a hole.
void file(const std::string& linuxPath, std::uint64_t size, const std::string& content = "");
// The archive point marker of a folder, planted both ways: the file beside
// it that Wine opens, and the stream xattr the Linux build reads.
void marker(const std::string& linuxFolder, const std::string& bytes);

// A marker document as UTF-16LE with a byte-order mark. Wine's MSXML 3 reads
// one byte past an array whose lower bound is 1 (it takes the upper bound for
// the last index), so a UTF-8 document parses or not by whatever byte lies
// after it in memory; in UTF-16 that stray byte is half a code unit, which
// the parser drops. Markers that must load are therefore written in UTF-16.
std::string utf16Marker(const std::string& utf8Xml);
// <archivePoint><archiveQEID>identifier</archiveQEID><name>name</name></archivePoint>
std::string markerXml(const std::string& identifier, const std::string& name);

// Archive points below `root`, each holding one file: "Dept" (B-2, a of
// 1,536 bytes) with "Inner" (A-1, b of 128) nested in it, "Other" with
// Dept's identifier (c of 1,000), "Zeta" with an empty identifier (z of 50).
struct ArchivePoints {
    std::string dept, inner, other, zeta;
    std::string innerMarker;  // its bytes
};
ArchivePoints plantArchivePoints(const std::string& root);

// A byte total in KB as the archive usage summary shows it (two decimals,
// halves rounded up).
std::string kilobytes(unsigned long long bytes);

// The C runtime's line ends (CR LF) as the Linux build writes them (LF).
std::string withLfLineEnds(std::string text);

}  // namespace winetest
