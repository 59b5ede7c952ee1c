// Judging one run of Stubwarden against the report it must write.
#pragma once

#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "platform/child_process.h"
#include "platform/win32.h"
#include "tools/rehearsal_expectations.h"

namespace rehearsal {

struct Check {
    explicit Check(std::string checkName = {}) : name(std::move(checkName)) {}
    std::string name;
    bool holds = false;
    std::vector<std::string> details;  // what does not hold, a line each
};

// What a run left behind.
struct RunOutput {
    ChildOutcome outcome;
    std::string errorOutput;        // its standard error
    std::optional<WString> report;  // the report's text
    std::string noReport;           // why there is none
};

// Three checks: the exit code (with nothing on standard error), the summary
// (the eight counters, or the usage rows), and the file lines, each compared
// whole except for its creation time. `root` is the share's root as the
// report writes it.
std::vector<Check> judgeRun(const std::string& run, const RunMode& mode, const ExpectedReport& expected,
                            const RunOutput& actual, const WString& root);

// A record read back from the share against the one it must be.
Check judgeRecord(const std::string& name, const std::optional<treebuilder::Bytes>& actual, DWORD readError,
                  const treebuilder::Bytes& expected);

// Text as the console shows it, line ends as \r and \n.
std::string shown(WStringView text);

}  // namespace rehearsal
