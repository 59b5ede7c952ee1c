// Reparse points over SMB, with Samba's own Python client against the real
// smbd: a placeholder a client sets through Samba is what the Linux build
// judges, dumps and repairs on the server, the client reads the repair
// back, and every record stubwarden-tree writes is one Samba serves.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <map>
#include <set>
#include <sstream>
#include <vector>

#include "platform/reparse_data_buffer.h"
#include "tests/samba/interop_helpers.h"
#include "tools/tree_builder.h"

using namespace sambatest;
using namespace testsupport;

namespace {

const std::string kSampleShare = std::string(STUBWARDEN_SOURCE_DIR) + "/samples/sample-share.tree";
const std::string kClient = std::string(STUBWARDEN_SOURCE_DIR) + "/tests/samba/smb_reparse_client.py";

// NTSTATUS values Samba answers with.
const std::string kOk = "0x00000000";
const std::string kReparseDataInvalid = "0xc0000278";  // STATUS_IO_REPARSE_DATA_INVALID

struct Answer {
    std::string status;
    std::string record;  // what a "get" read
};

std::string hexOf(const std::string& bytes)
{
    static const char digits[] = "0123456789abcdef";
    std::string hex;
    for (unsigned char byte : bytes) {
        hex += digits[byte >> 4];
        hex += digits[byte & 15];
    }
    return hex;
}

std::string asString(const treebuilder::Bytes& bytes) { return std::string(bytes.begin(), bytes.end()); }
treebuilder::Bytes asBytes(const std::string& text) { return treebuilder::Bytes(text.begin(), text.end()); }

// A path relative to the share as a client names it.
std::string clientPath(std::string relative)
{
    for (char& c : relative) {
        if (c == '/') {
            c = '\\';
        }
    }
    return relative;
}

// Runs the steps (smb_reparse_client.py) through the share, one answer a step.
std::vector<Answer> overSmb(const std::vector<std::string>& steps)
{
    TempDir work;
    {
        std::ofstream out(work / "steps");
        for (const std::string& step : steps) {
            out << step << "\n";
        }
    }
    RunResult run = runProgram("/usr/bin/python3", {kClient, server().configFolder() + "/smb.conf", "share", work / "steps"});
    EXPECT_EQ(run.exitCode, 0) << run.standardError;
    std::vector<Answer> answers;
    std::istringstream lines(run.standardOutput);
    for (std::string line; std::getline(lines, line);) {
        std::istringstream fields(line);
        Answer answer;
        std::string hex;
        fields >> answer.status >> hex;
        answer.record = bytes(hex);
        answers.push_back(answer);
    }
    EXPECT_EQ(answers.size(), steps.size()) << run.standardOutput << run.standardError;
    answers.resize(steps.size());
    return answers;
}

// The records of the reparse points below `root` (links aside), by path
// relative to it, as stored.
std::map<std::string, std::string> storedRecords(const std::string& root)
{
    std::map<std::string, std::string> records;
    for (const auto& entry : std::filesystem::recursive_directory_iterator(root)) {
        if (entry.is_symlink() || !entry.is_regular_file()) {
            continue;
        }
        if (std::optional<std::string> record = xattr(entry.path(), "user.SmbReparse")) {
            records[std::filesystem::relative(entry.path(), root).string()] = *record;
        }
    }
    return records;
}

std::string built(const std::string& folder)
{
    std::string root = backing(folder);
    RunResult run = runProgram(STUBWARDEN_TREE_BINARY, {root, kSampleShare});
    EXPECT_EQ(run.exitCode, 0) << run.standardError;
    return root;
}

struct Audit {
    int exitCode;
    std::string report;  // UTF-8
};

Audit audit(const std::vector<std::string>& arguments)
{
    TempDir work;
    RunResult run = runStubwarden(arguments, {.workingDirectory = work.path()});
    return {run.exitCode, fromUtf16le(onlyReportBytes(work.path()))};
}

// The verdicts the sample share's bad placeholders get, as on NTFS.
const std::map<std::string, std::string> kFaults = {
    {"dept/reports/broken-guid.pdf", "Incorrect GUID"},
    {"dept/reports/broken-magic.pdf", "Incorrect magic value"},
    {"dept/reports/broken-signature.pdf", "Incorrect signature"},
    {"dept/reports/unended-signature.pdf", "Incorrect signature"},
    {"dept/reports/ftp-url.pdf", "Invalid URL"},
    {"dept/reports/empty-url.pdf", "Invalid URL"},
    {"dept/reports/2020-q1.pdf", "Invalid URL"},
    {"dept/reports/2020-q2.pdf", "Invalid URL"},
    {"dept/reports/2020-q3.pdf", "Invalid URL"},
};
const std::string kRepairable = "dept/reports/2020-q1.pdf";

std::string summaryText(unsigned total, unsigned failedToRead, unsigned notPlaceholders, unsigned good, unsigned bad,
                        unsigned unfixable, unsigned fixed)
{
    return "\r\nSummary\r\n-------\r\nTotal files:" + std::to_string(total) + "\r\nFailed to read:" +
           std::to_string(failedToRead) + "\r\nNot placeholders:" +
           std::to_string(notPlaceholders) + "\r\nGood placeholders:" + std::to_string(good) +
           "\r\nBad placeholders:" + std::to_string(bad) + "\r\nPlaceholders that can't be fixed:" +
           std::to_string(unfixable) + "\r\nFixed placeholders:" + std::to_string(fixed) +
           "\r\nFailed to fix placeholders:0\r\n";
}

// A report's file lines (each with its dump) in sorted order, then its
// summary: a listing's order is the file system's.
std::string sortedByFile(const std::string& report, const std::string& root)
{
    std::string::size_type summary = report.rfind("\r\nSummary\r\n");
    const std::string start = reportPath(root);
    std::vector<std::string> files;
    for (std::string::size_type at = 0; at < summary;) {
        std::string::size_type next = report.find("\r\n" + start, at);
        next = next == std::string::npos || next >= summary ? summary : next + 2;
        files.push_back(report.substr(at, next - at));
        at = next;
    }
    std::sort(files.begin(), files.end());
    std::string sorted;
    for (const std::string& file : files) {
        sorted += file;
    }
    return sorted + report.substr(summary == std::string::npos ? report.size() : summary);
}

}  // namespace

// A client sets each record of the sample share over SMB, in the form
// Samba takes (NTFS's form is refused); the program on the backing folder
// gives each the verdict it gets on NTFS, dumps exactly the data the
// client set, repairs the repairable one, and the client reads the
// repaired record back.
TEST(SambaReparse, PlaceholdersSetByAClientAreJudgedDumpedAndRepairedOnTheServer)
{
    if (!server().onStandardPort()) {
        GTEST_SKIP() << "no network namespace of its own here: Samba's Python client reaches port 445 only";
    }
    const std::map<std::string, std::string> records = storedRecords(built("rp-built"));
    ASSERT_EQ(records.size(), 15u);

    std::set<std::string> folders;
    for (const auto& [path, record] : records) {
        for (auto parent = std::filesystem::path(path).parent_path(); !parent.empty(); parent = parent.parent_path()) {
            folders.insert(parent.string());
        }
    }
    std::vector<std::string> steps = {"mkdir rp-client"};
    for (const std::string& folder : folders) {  // sorted: a parent before its children
        steps.push_back("mkdir " + clientPath("rp-client/" + folder));
    }
    for (const auto& [path, record] : records) {
        std::string name = clientPath("rp-client/" + path);
        steps.push_back("set " + name + " " + hexOf(asString(treebuilder::ntfsForm(asBytes(record)))));
        steps.push_back("set " + name + " " + hexOf(record));
        steps.push_back("get " + name);
    }
    std::vector<Answer> answers = overSmb(steps);
    std::size_t at = 1 + folders.size();
    for (std::size_t i = 0; i < at; ++i) {
        EXPECT_EQ(answers[i].status, kOk) << steps[i];
    }
    for (const auto& [path, record] : records) {
        SCOPED_TRACE(path);
        bool hasGuid = !reparse::isMicrosoftTag(reparse::tagOf(record.data()));
        EXPECT_EQ(answers[at].status, hasGuid ? kReparseDataInvalid : kOk) << "NTFS's form";
        EXPECT_EQ(answers[at + 1].status, kOk) << "Samba's form";
        EXPECT_EQ(answers[at + 2].status, kOk);
        EXPECT_EQ(answers[at + 2].record, record);
        EXPECT_EQ(xattr(backing("rp-client/" + path), "user.SmbReparse"), record) << "stored byte for byte";
        at += 3;
    }

    // The verdicts, and the dump of the data the client set.
    const std::string root = backing("rp-client");
    Audit dumped = audit({"-d", uncPath(root)});
    EXPECT_EQ(dumped.exitCode, 2);
    std::string expected;
    for (const auto& [path, fault] : kFaults) {
        const std::string& record = records.at(path);
        expected += reportPath(root + "/" + path) + ": " + fault + fromUtf16le(reparseDumpBytes(record)) + "\r\n";
    }
    expected += summaryText(15, 0, 1, 5, 9, 8, 0);
    EXPECT_EQ(sortedByFile(dumped.report, root), expected);
    // The full-size misplaced record dumps the 2,630 data bytes its NTFS
    // header gives, not the 2,646 its Samba header says.
    EXPECT_NE(dumped.report.find(reportPath(root + "/" + kRepairable) + ": Invalid URL\r\nReparse Data Length: 0xa46\r\n"),
              std::string::npos);

    Audit repaired = audit({"-fixphs", uncPath(root)});
    EXPECT_EQ(repaired.exitCode, 2);
    expected.clear();
    for (const auto& [path, fault] : kFaults) {
        expected += reportPath(root + "/" + path) + ": " + fault + (path == kRepairable ? ", Fixed" : ", Can't fix") + "\r\n";
    }
    EXPECT_EQ(sortedByFile(repaired.report, root), expected + summaryText(15, 0, 1, 5, 9, 8, 1));

    // The client reads the repaired record over SMB, byte for byte.
    std::vector<Answer> back = overSmb({"get " + clientPath("rp-client/" + kRepairable)});
    EXPECT_EQ(back[0].status, kOk);
    EXPECT_EQ(back[0].record, repairedRecord(records.at(kRepairable)));
    Audit again = audit({uncPath(root + "/" + kRepairable)});
    EXPECT_EQ(again.exitCode, 0);
}

// Every record stubwarden-tree writes is served: FSCTL_GET_REPARSE_POINT
// gives it, allinfo opens the file, and the client sees the attributes the
// layer lists.
TEST(SambaReparse, EveryRecordTheTreeBuilderWritesIsServed)
{
    if (!server().onStandardPort()) {
        GTEST_SKIP() << "no network namespace of its own here: Samba's Python client reaches port 445 only";
    }
    const std::string root = built("rp-served");
    const std::map<std::string, std::string> records = storedRecords(root);
    ASSERT_EQ(records.size(), 15u);
    std::vector<std::string> steps;
    for (const auto& [path, record] : records) {
        steps.push_back("get " + clientPath("rp-served/" + path));
    }
    std::vector<Answer> answers = overSmb(steps);
    constexpr DWORD kArchived = FILE_ATTRIBUTE_REPARSE_POINT | FILE_ATTRIBUTE_SPARSE_FILE | FILE_ATTRIBUTE_OFFLINE;
    std::size_t i = 0;
    for (const auto& [path, record] : records) {
        SCOPED_TRACE(path);
        EXPECT_EQ(answers[i].status, kOk);
        EXPECT_EQ(answers[i].record, record);
        ++i;
        std::optional<AllInfo> samba = allinfo("rp-served/" + path);
        std::optional<WIN32_FIND_DATAW> layer = layerEntry(root + "/" + path);
        ASSERT_TRUE(samba && layer);
        // What the sample share asks for: archived placeholders, one only
        // sparse, and a reparse point of another kind.
        const std::map<std::string, DWORD> others = {
            {"dept/dedup-chunk.dat", FILE_ATTRIBUTE_REPARSE_POINT | FILE_ATTRIBUTE_ARCHIVE},
            {"dept/reports/2019-q3.pdf",
             FILE_ATTRIBUTE_REPARSE_POINT | FILE_ATTRIBUTE_SPARSE_FILE | FILE_ATTRIBUTE_ARCHIVE},
        };
        DWORD expected = others.count(path) != 0 ? others.at(path) : kArchived;
        EXPECT_EQ(samba->attributes, expected);
        EXPECT_EQ(layer->dwFileAttributes, expected);
    }
}

// A record in NTFS's form in user.SmbReparse (what an earlier
// stubwarden-tree wrote): Samba refuses to serve it, and the program
// reports the file as one it cannot read, with the error a Windows client
// of that server gets.
TEST(SambaReparse, ARecordInNtfsFormIsRefusedByBothSides)
{
    ASSERT_EQ(::mkdir(backing("rp-ntfs").c_str(), 0755), 0);
    const std::string file = backing("rp-ntfs/misplaced.pdf");
    treebuilder::makePlaceholder(wideUncPath(file), {.kind = treebuilder::PlaceholderKind::Misplaced},
                                 treebuilder::placeholderFile(4096));
    const std::string ntfsForm = asString(treebuilder::ntfsForm(asBytes(xattr(file, "user.SmbReparse").value())));
    setXattr(file, "user.SmbReparse", ntfsForm);

    RunResult info = server().client("allinfo rp-ntfs/misplaced.pdf");
    EXPECT_NE((info.standardOutput + info.standardError).find("NT_STATUS_IO_REPARSE_DATA_INVALID"), std::string::npos)
        << info.standardOutput << info.standardError;
    if (server().onStandardPort()) {
        std::vector<Answer> answers = overSmb({"get rp-ntfs\\misplaced.pdf"});
        EXPECT_EQ(answers[0].status, kReparseDataInvalid);
    }

    Audit run = audit({"-fixphs", uncPath(file)});
    EXPECT_EQ(run.exitCode, 0);
    EXPECT_EQ(run.report, reportPath(file) + ", Failed to interogate file due to Error:DeviceIoControl:4392\n" +
                              summaryText(1, 1, 0, 0, 0, 0, 0));
    EXPECT_EQ(xattr(file, "user.SmbReparse"), ntfsForm) << "nothing written";
}
