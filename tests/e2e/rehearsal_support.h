// What the suites of stubwarden-rehearse share: the output a rehearsal on
// a volume that keeps placeholders gives, and the files they make and read.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <string>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <vector>

#include "tests/support/test_support.h"

namespace rehearsal {

// The Stubwarden beside the rehearsal, as it names it (its own path resolved).
inline std::string stubwardenBeside() { return std::filesystem::canonical(STUBWARDEN_BINARY).string(); }

// The checks of a rehearsal on the sample share, in order.
inline const std::vector<std::string> kChecks = {
    "the sample share is built (22 entries)",
    "normal: exit code 2",
    "normal: the eight counters",
    "normal: the file lines (9)",
    "-v -d: exit code 2",
    "-v -d: the eight counters",
    "-v -d: the file lines (20)",
    "-archiveusage: exit code 0",
    "-archiveusage: the usage rows (2)",
    "-archiveusage: the file lines (9)",
    "-fixphs: exit code 2",
    "-fixphs: the eight counters",
    "-fixphs: the file lines (9)",
    "-fixphs: the repaired record of dept\\reports\\2020-q1.pdf is the good placeholder it was made from",
    "-fixphs: the other 14 records are as built",
    "normal after -fixphs: exit code 2",
    "normal after -fixphs: the eight counters (no bad placeholder left that -fixphs can fix)",
    "normal after -fixphs: the file lines (8)",
};

using Failures = std::map<std::string, std::vector<std::string>>;

// The rehearsal's output up to the share's checks, as every run on ext4 begins.
inline std::string rehearsalStart(const std::string& program, const std::string& folder)
{
    return "Rehearsing " + program + " in " + folder +
           "\n"
           "\n"
           "The volume:\n"
           "  pass  a file keeps a reparse point with tag 16 and its GUID\n"
           "  pass  a file keeps the sparse attribute\n"
           "  pass  a file keeps the offline attribute\n"
           "  pass  a folder keeps an alternate data stream\n"
           "  pass  a file is 6 GiB long without taking the space\n"
           "\n"
           "Stubwarden on the sample share, " +
           testsupport::uncPath(folder + "/share") + ":\n";
}

// The whole output of a rehearsal in `folder` whose probe finds everything:
// every check passes but those in `failures`, with their detail lines.
inline std::string rehearsalOutput(const std::string& program, const std::string& folder, const Failures& failures,
                                   const std::string& ending)
{
    std::string text = rehearsalStart(program, folder);
    for (const std::string& check : kChecks) {
        auto failure = failures.find(check);
        text += (failure == failures.end() ? "  pass  " : "  FAIL  ") + check + "\n";
        if (failure != failures.end()) {
            for (const std::string& detail : failure->second) {
                text += "          " + detail + "\n";
            }
        }
    }
    text += "\n";
    text += failures.empty() ? "Verdict: Stubwarden reads and repairs placeholders correctly on this volume: all 18 "
                               "checks hold.\n"
                             : "Verdict: Stubwarden does not work as it must on this volume: " +
                                   std::to_string(failures.size()) + " of 18 checks fail.\n";
    return text + ending;
}

// A path's xattrs (of the path itself, not where a link leads), by name:
// "; name=value" each.
inline std::string xattrsOf(const std::string& path)
{
    char names[4096];
    ssize_t length = ::llistxattr(path.c_str(), names, sizeof names);
    std::vector<std::string> sorted;
    for (ssize_t at = 0; at < length; at += static_cast<ssize_t>(std::strlen(names + at)) + 1) {
        sorted.push_back(names + at);
    }
    std::sort(sorted.begin(), sorted.end());
    std::string text;
    for (const std::string& name : sorted) {
        text += "; " + name + "=" + testsupport::xattr(path, name).value_or("?");
    }
    return text;
}

inline void writeFile(const std::string& path, const std::string& bytes, mode_t mode = 0644)
{
    std::ofstream(path, std::ios::binary) << bytes;
    ASSERT_EQ(::chmod(path.c_str(), mode), 0) << path;
}

}  // namespace rehearsal
