// Names a Linux share may hold and an NTFS name may not, made by another
// account to lead the walk out of its target: a folder named
// "..\outside-target", a folder "x:y" beside a link "x:y:QMArchivePoint.xml",
// and a folder swapped for a link while the walk enters it. A name holding
// such a character is listed with it at U+F000 plus the character (as
// Samba's vfs_catia shows it), so it stays one name of its folder: every
// such name is listed, opened, repaired and reported as the one file it is,
// and nothing outside the target changes or shows.
#include <gtest/gtest.h>

#include <filesystem>
#include <functional>
#include <grp.h>
#include <map>
#include <sys/stat.h>
#include <sys/wait.h>
#include <sys/xattr.h>
#include <unistd.h>

#include "platform/little_endian.h"
#include "tests/e2e/normal_mode_fixtures.h"
#include "tests/hostile/hostile_support.h"

using namespace testsupport;
using namespace normalmode;
using treebuilder::PlaceholderKind;

namespace {

constexpr uid_t kVictim = 65533;  // another account, whose folder lies beside the share

// A name as the Linux bytes it has and the code units the program shows.
struct Name {
    std::string bytes;
    WString units;
};

WString widened(const std::string& ascii) { return WString(ascii.begin(), ascii.end()); }
Name text(const std::string& ascii) { return {ascii, widened(ascii)}; }
// A character NTFS names cannot hold, shown at U+F000 plus it.
Name mapped(char c) { return {std::string(1, c), WString(1, static_cast<WCHAR>(0xF000 + static_cast<unsigned char>(c)))}; }
// Bytes shown as the escapes U+DC00 plus each byte.
Name escaped(const std::string& bytes)
{
    Name name{bytes, {}};
    for (char c : bytes) {
        name.units += static_cast<WCHAR>(0xDC00 + static_cast<unsigned char>(c));
    }
    return name;
}
Name joined(std::initializer_list<Name> pieces)
{
    Name name;
    for (const Name& piece : pieces) {
        name.bytes += piece.bytes;
        name.units += piece.units;
    }
    return name;
}

std::string le(const WString& text)
{
    std::string bytes;
    for (WCHAR unit : text) {
        littleendian::append<std::uint16_t>(bytes, unit);
    }
    return bytes;
}

// The report's lines before its summary, sorted (the file system lists in
// an order of its own), and the summary.
struct Lines {
    std::vector<WString> sorted;
    WString summary;
    bool operator==(const Lines&) const = default;
};
Lines linesOf(const std::string& report)
{
    WString text;
    for (std::size_t i = 0; i + 1 < report.size(); i += 2) {
        text += static_cast<WCHAR>(littleendian::read<std::uint16_t>(report.data() + i));
    }
    Lines lines;
    WString::size_type summary = text.find(WSTR("\r\nSummary\r\n"));
    lines.summary = summary == WString::npos ? WString() : text.substr(summary);
    WStringView body = WStringView(text).substr(0, summary == WString::npos ? text.size() : summary);
    while (!body.empty()) {
        WStringView::size_type end = body.find(WSTR("\r\n"));
        end = end == WStringView::npos ? body.size() : end + 2;
        lines.sorted.emplace_back(body.substr(0, end));
        body.remove_prefix(end);
    }
    std::sort(lines.sorted.begin(), lines.sorted.end());
    return lines;
}
Lines expectedLines(std::vector<WString> lines, const std::string& summary)
{
    std::sort(lines.begin(), lines.end());
    return {lines, widened(summary)};
}

// Runs `work` in a child as the account `uid` (its own group, no other, no
// capability); whether it returned true.
bool asAccount(uid_t uid, const std::function<bool()>& work)
{
    pid_t child = ::fork();
    if (child == 0) {
        bool done = ::setgroups(0, nullptr) == 0 && ::setgid(uid) == 0 && ::setuid(uid) == 0 && work();
        ::_exit(done ? 0 : 1);
    }
    int status = 0;
    return ::waitpid(child, &status, 0) == child && WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

// Every entry below `folder`, by its path, with its type, mode, owner, its
// content or link target, and its xattrs: a change anywhere shows.
std::map<std::string, std::string> snapshot(const std::string& folder)
{
    std::map<std::string, std::string> entries;
    for (const auto& entry : std::filesystem::recursive_directory_iterator(folder)) {
        const std::string path = entry.path().string();
        struct stat status {};
        if (::lstat(path.c_str(), &status) != 0) {
            continue;
        }
        std::string state = std::to_string(status.st_mode) + " " + std::to_string(status.st_uid) + "\n";
        if (S_ISREG(status.st_mode)) {
            state += readFileBytes(path);
        } else if (S_ISLNK(status.st_mode)) {
            state += std::filesystem::read_symlink(entry.path()).string();
        }
        char names[4096];
        ssize_t length = ::llistxattr(path.c_str(), names, sizeof names);
        for (ssize_t at = 0; at < length; at += static_cast<ssize_t>(std::strlen(names + at)) + 1) {
            state += std::string("\n") + (names + at) + "=" + xattr(path, names + at).value_or("?");
        }
        entries[path] = state;
    }
    return entries;
}

// A copy of the program with the backup privilege in its permitted set, as
// the package grants it, that every account may run; empty when file
// capabilities cannot be set here.
std::string privilegedCopy(const TempDir& folder)
{
    const std::string copy = folder / "stubwarden";
    std::string command = "cp '" STUBWARDEN_BINARY "' '" + copy + "' && chmod 0755 '" + copy +
                          "' && setcap cap_dac_read_search+p '" + copy + "'";
    return std::system(command.c_str()) == 0 ? copy : std::string();
}

const std::string kSecretMarker = treebuilder::archivePointXml("SECRET", "root only");

// A folder only root may read, outside every target, that is an archive
// point holding a file of 4 KiB.
std::string privateArchivePoint(const std::string& path)
{
    makeFolder(path, 0700);
    archivePoint(path, "SECRET", "root only");
    makePlainFile(path + "/private.doc", 4096);
    return path;
}

// A user who may write the share makes a folder "..\outside-target" in it,
// holding a misplaced placeholder of hers. Root's -fixphs repairs hers, in
// the share, named as she named it; the victim's 0700 folder of that name
// beside the share is not touched.
TEST(HostileNames, AFolderNamedWithABackslashStaysInTheShare)
{
    TempDir top;
    const std::string share = makeFolder(top / "share");
    ASSERT_EQ(::chmod(share.c_str(), 01777), 0);
    const std::string victimFolder = makeFolder(top / "outside-target");
    placeholder(victimFolder + "/victim.pdf", PlaceholderKind::Misplaced);
    ASSERT_EQ(::chown((victimFolder + "/victim.pdf").c_str(), kVictim, kVictim), 0);
    ASSERT_EQ(::chown(victimFolder.c_str(), kVictim, kVictim), 0);
    ASSERT_EQ(::chmod(victimFolder.c_str(), 0700), 0);
    ASSERT_TRUE(asAccount(kNobody, [&] {
        const std::string made = share + "/made";
        if (::mkdir(made.c_str(), 0755) != 0) {
            return false;
        }
        placeholder(made + "/victim.pdf", PlaceholderKind::Misplaced);
        return ::rename(made.c_str(), (share + "/..\\outside-target").c_str()) == 0;
    }));
    const std::map<std::string, std::string> outside = snapshot(victimFolder);

    hostile::Audit fixed = hostile::audit({"-fixphs", uncPath(share)});
    EXPECT_EQ(fixed.run.exitCode, 2);
    const WString hers = widened(reportPath(share)) + WSTR("\\..\uF05Coutside-target\\victim.pdf");
    EXPECT_EQ(fixed.report, le(hers + WSTR(": Invalid URL, Fixed\r\n")) + utf16le(summary(1, 0, 0, 0, 1, 0, 1, 0)));
    EXPECT_EQ(snapshot(victimFolder), outside);
    // Hers is the one repaired.
    hostile::Audit again = hostile::audit({uncPath(share)});
    EXPECT_EQ(again.run.exitCode, 0);
    EXPECT_EQ(again.report, utf16le(summary(1, 0, 0, 1, 0, 0, 0, 0)));
}

// A group member (the unprivileged account with the backup privilege) makes
// a folder "x:y" and beside it a link "x:y:QMArchivePoint.xml" to a marker
// only root may read. The folder is "x\uF03Ay", its marker would be its own
// stream, which it lacks, and the link is a file of the share like any
// other: the secret's name is nowhere in the report.
TEST(HostileNames, AFolderNamedWithAColonLeaksNoMarker)
{
    TempDir top;
    TempDir binaries;
    const std::string copy = privilegedCopy(binaries);
    if (copy.empty()) {
        GTEST_SKIP() << "setcap (Debian package libcap2-bin) cannot give the copy its capability here";
    }
    const std::string secrets = makeFolder(top / "root-only", 0700);
    const std::string secret = secrets + "/secret.xml";
    std::ofstream(secret, std::ios::binary) << kSecretMarker;
    ASSERT_EQ(::chmod(secret.c_str(), 0600), 0);
    const std::string share = makeFolder(top / "share");
    ASSERT_EQ(::chmod(share.c_str(), 01777), 0);
    const std::string dept = makeFolder(share + "/dept");
    archivePoint(dept, "DEPT", "Dept");
    makePlainFile(dept + "/report.doc", 1536);
    ASSERT_TRUE(asAccount(kNobody, [&] {
        return ::mkdir((share + "/x:y").c_str(), 0755) == 0 &&
               ::symlink(secret.c_str(), (share + "/x:y:QMArchivePoint.xml").c_str()) == 0;
    }));
    const std::map<std::string, std::string> outside = snapshot(secrets);

    TempDir work;
    ASSERT_EQ(::chmod(work.path().c_str(), 0777), 0);
    RunResult run = runProgram(copy, {"-archiveusage", uncPath(share)},
                               {.workingDirectory = work.path(), .user = kNobody, .group = kNobody});
    EXPECT_EQ(run.exitCode, 0);
    EXPECT_EQ(run.standardError, "");
    EXPECT_EQ(onlyReportBytes(work.path()),
              utf16le(kUsageHeading + usageRow("Dept", reportPath(dept), "0.00", "1.50")));
    EXPECT_EQ(snapshot(secrets), outside);
}

// The walk has opened the folder "dept" to enter it; just then its owner
// renames it away and puts in its place a link to a folder only root may
// read, which is an archive point. The walk reads the marker of, and lists,
// the folder it entered, as on Windows, where a folder the walk holds open
// cannot be renamed: the private folder is neither shown nor walked.
TEST(HostileNames, AFolderSwappedForALinkAsItIsEnteredIsStillTheFolderWalked)
{
    TempDir top;
    const std::string secrets = privateArchivePoint(top / "root-only");
    const std::string share = makeFolder(top / "share");
    const std::string dept = makeFolder(share + "/dept");
    archivePoint(dept, "DEPT", "Dept");
    makePlainFile(dept + "/report.doc", 1536);
    const std::string swapIn = makeFolder(top / "hers") + "/dept";
    ASSERT_EQ(::symlink(secrets.c_str(), swapIn.c_str()), 0);
    const std::map<std::string, std::string> outside = snapshot(secrets);

    hostile::OpenStop entered{.name = "dept",
                              .action =
                                  [&] {
                                      EXPECT_EQ(::rename(dept.c_str(), (top / "renamed-away").c_str()), 0);
                                      EXPECT_EQ(::rename(swapIn.c_str(), dept.c_str()), 0);
                                  },
                              .whenReturned = true};
    hostile::Audit usage = hostile::audit({"-archiveusage", uncPath(share)}, {&entered});
    if (usage.run.traceRefused) {
        GTEST_SKIP() << "this system does not let the test trace the program";
    }
    EXPECT_EQ(entered.seen, 1);
    EXPECT_EQ(usage.run.exitCode, 0);
    EXPECT_EQ(usage.report, utf16le(kUsageHeading + usageRow("Dept", reportPath(dept), "0.00", "1.50")));
    EXPECT_EQ(snapshot(secrets), outside);
}

// Every name NTFS cannot hold, each a folder holding a misplaced placeholder
// of the same name, which is an archive point of its own: each is listed
// under its mapped name, repaired, checked again and accounted under its own
// marker, as the one file or folder it is. Names that already hold a
// character of U+F000-U+F0FF: those that a mapped character gives show
// their bytes as escapes, so "x:y" and "x\uF03Ay" stay two names for two
// files; the others show as themselves. Bytes that are not UTF-8 show as
// escapes too.
TEST(HostileNames, EveryNameRoundTripsAsTheSameFile)
{
    TempDir top;
    const std::string root = makeFolder(top / "share");
    std::vector<Name> names;
    for (char c : std::string("\\:*?\"<>|")) {
        names.push_back(joined({text("a"), mapped(c), text("b")}));
    }
    for (char c = 1; c < 0x20; ++c) {
        names.push_back(joined({text("c"), mapped(c)}));
    }
    names.push_back(joined({text(".."), mapped('\\'), text("..")}));
    names.push_back(joined({text("dept"), mapped(':'), text("QMArchivePoint.xml")}));
    names.push_back(joined({text("x"), mapped(':'), text("y")}));
    names.push_back(joined({text("x"), escaped("\xEF\x80\xBA"), text("y")}));  // U+F03A itself
    names.push_back(joined({text("x"), escaped("\xEF\x80\x9C"), text("y")}));  // U+F05C itself
    names.push_back(joined({text("x"), escaped("\xEF\x80\x81"), text("y")}));  // U+F001 itself
    names.push_back(joined({text("x"), {"\xEF\x80\xAF", WSTR("\uF02F")}, text("y")}));  // '/' is mapped by no one
    names.push_back(joined({text("x"), {"\xEF\x81\x81", WSTR("\uF041")}, text("y")}));  // nor 'A'
    names.push_back(joined({text("caf"), escaped("\xE9")}));
    names.push_back(joined({escaped("\xFF\xFE"), mapped(':'), escaped("\x80")}));

    // Beside the share, what a name split into components could reach.
    const std::string beside = makeFolder(top / "outside");
    placeholder(beside + "/b", PlaceholderKind::Misplaced);
    placeholder(beside + "/y", PlaceholderKind::Misplaced);
    const std::map<std::string, std::string> outside = snapshot(beside);

    std::vector<WString> fixedLines;
    WString usageRows;
    for (std::size_t i = 0; i < names.size(); ++i) {
        const Name& name = names[i];
        const std::string number = (i < 10 ? "0" : "") + std::to_string(i);
        const std::string made = makeFolder(root + "/made" + number);
        placeholder(made + "/file", PlaceholderKind::Misplaced);
        archivePoint(made, std::string("ID") + number, std::string("N") + number);
        ASSERT_EQ(::rename((made + "/file").c_str(), (made + "/" + name.bytes).c_str()), 0);
        ASSERT_EQ(::rename(made.c_str(), (root + "/" + name.bytes).c_str()), 0);
        const WString folder = widened(reportPath(root)) + WSTR("\\") + name.units;
        fixedLines.push_back(folder + WSTR("\\") + name.units + WSTR(": Invalid URL, Fixed\r\n"));
        usageRows += widened(std::string("N") + number) + WSTR("\t") + folder + WSTR("\t1.00\t0.00\r\n");
    }
    const unsigned count = static_cast<unsigned>(names.size());

    hostile::Audit fixed = hostile::audit({"-fixphs", uncPath(root)});
    EXPECT_EQ(fixed.run.exitCode, 2);
    EXPECT_EQ(linesOf(fixed.report), expectedLines(fixedLines, summary(count, 0, 0, 0, count, 0, count, 0)));
    hostile::Audit again = hostile::audit({uncPath(root)});
    EXPECT_EQ(again.run.exitCode, 0);
    EXPECT_EQ(again.report, utf16le(summary(count, 0, 0, count, 0, 0, 0, 0)));
    hostile::Audit usage = hostile::audit({"-archiveusage", uncPath(root)});
    EXPECT_EQ(usage.run.exitCode, 0);
    EXPECT_EQ(usage.report, utf16le(kUsageHeading) + le(usageRows));
    EXPECT_EQ(snapshot(beside), outside);
}

}  // namespace
