#include "tools/rehearsal_judge.h"

#include <algorithm>
#include <cstdio>
#include <map>

#include "platform/text_conversion.h"

namespace rehearsal {
namespace {

// At most this many file lines are shown for one check.
constexpr std::size_t kShownLines = 5;

// A line in double quotes; its line end is shown only when it is not CR LF.
std::string quoted(WStringView line)
{
    if (line.size() >= 2 && line.substr(line.size() - 2) == WSTR("\r\n")) {
        line.remove_suffix(2);
    }
    return '"' + shown(line) + '"';
}

void addDetail(Check& check, const std::string& detail) { check.details.push_back(detail); }

// The lines of a text, each with its own line end (CR LF, or a lone LF).
std::vector<WString> linesOf(WStringView text)
{
    std::vector<WString> lines;
    std::size_t start = 0;
    while (start < text.size()) {
        std::size_t end = std::min(text.find(WSTR('\n'), start), text.size() - 1) + 1;
        lines.emplace_back(text.substr(start, end - start));
        start = end;
    }
    return lines;
}

// The first line where a file's text differs from the expected one, side by
// side; both begin with the file's path, which is left out.
std::string difference(WStringView actual, WStringView expected, std::size_t pathLength)
{
    std::vector<WString> got = linesOf(actual);
    std::vector<WString> wanted = linesOf(expected);
    got.front().erase(0, pathLength);
    wanted.front().erase(0, pathLength);
    for (std::size_t i = 0; i < std::max(got.size(), wanted.size()); ++i) {
        WString one = i < got.size() ? got[i] : WString();
        WString other = i < wanted.size() ? wanted[i] : WString();
        if (one != other) {
            std::string where = i == 0 ? "after the path " : "line " + std::to_string(i + 1) + " ";
            return where + (one.empty() ? "is missing" : quoted(one)) + ", expected " +
                   (other.empty() ? "none" : quoted(other));
        }
    }
    return "";
}

Check exitCheck(const std::string& run, const ExpectedReport& expected, const RunOutput& actual)
{
    Check check{run + ": exit code " + std::to_string(expected.exitCode)};
    if (!actual.outcome.started) {
        addDetail(check, "Stubwarden did not start: error " + std::to_string(actual.outcome.error));
        return check;
    }
    if (actual.outcome.exitCode != expected.exitCode) {
        addDetail(check, "it ended with " + std::to_string(actual.outcome.exitCode));
    }
    for (const WString& line : linesOf(wideText(actual.errorOutput))) {
        addDetail(check, "standard error: " + quoted(line));
    }
    check.holds = check.details.empty();
    return check;
}

}  // namespace

std::string shown(WStringView text)
{
    std::string out;
    for (char c : utf8Text(text)) {
        out += c == '\r' ? std::string("\\r") : c == '\n' ? std::string("\\n") : std::string(1, c);
    }
    return out;
}

std::vector<Check> judgeRun(const std::string& run, const RunMode& mode, const ExpectedReport& expected,
                            const RunOutput& actual, const WString& root)
{
    std::vector<Check> checks{exitCheck(run, expected, actual)};
    Check summary(run + (mode.archiveUsage ? ": the usage rows (" + std::to_string(expected.usageRows) + ")"
                         : mode.afterFix   ? ": the eight counters (no bad placeholder left that -fixphs can fix)"
                                           : ": the eight counters"));
    Check lines{run + ": the file lines (" + std::to_string(expected.lines.size()) + ")"};
    if (!actual.report) {
        addDetail(summary, actual.noReport);
        addDetail(lines, actual.noReport);
        checks.push_back(summary);
        checks.push_back(lines);
        return checks;
    }

    const WString& report = *actual.report;
    std::size_t summaryAt = report.rfind(kSummaryHeading);
    if (summaryAt == WString::npos) {
        addDetail(summary, "the report has no summary");
        summaryAt = report.size();
    } else if (WStringView actualSummary = WStringView(report).substr(summaryAt); actualSummary != expected.summary) {
        std::vector<WString> got = linesOf(actualSummary);
        std::vector<WString> wanted = linesOf(expected.summary);
        for (std::size_t i = 0; i < std::max(got.size(), wanted.size()); ++i) {
            WString one = i < got.size() ? got[i] : WString();
            WString other = i < wanted.size() ? wanted[i] : WString();
            if (one != other) {
                addDetail(summary, (one.empty() ? "nothing" : quoted(one)) + ", expected " +
                                       (other.empty() ? "nothing" : quoted(other)));
            }
        }
    }
    summary.holds = summary.details.empty();

    // Each file's text begins with a line that begins with its path; the
    // lines of a dump belong to the file before them. Lines come in the file
    // system's order, so files are matched by path.
    std::vector<WString> texts;
    const WString filePrefix = root + WSTR("\\");
    for (WString& line : linesOf(WStringView(report).substr(0, summaryAt))) {
        if (texts.empty() || line.compare(0, filePrefix.size(), filePrefix) == 0) {
            texts.push_back(withoutCreationTime(line));
        } else {
            texts.back() += line;
        }
    }
    std::map<WString, bool> seen;
    std::vector<std::string> problems;  // sorted, so that they do not come in the file system's order
    for (const WString& text : texts) {
        const WString* path = nullptr;
        for (const auto& [expectedPath, expectedText] : expected.lines) {
            bool begins = text.size() > expectedPath.size() && text.compare(0, expectedPath.size(), expectedPath) == 0 &&
                          WStringView(WSTR("(:,")).find(text[expectedPath.size()]) != WStringView::npos;
            if (begins && (path == nullptr || expectedPath.size() > path->size())) {
                path = &expectedPath;
            }
        }
        // Paths are shown from the share's root on.
        WString first = linesOf(text).front();
        if (first.compare(0, filePrefix.size(), filePrefix) == 0) {
            first.erase(0, filePrefix.size());
        }
        if (path == nullptr) {
            problems.push_back("a line that should not be there: " + quoted(first));
        } else if (seen[*path]) {
            problems.push_back("a second line: " + quoted(first));
        } else {
            seen[*path] = true;
            const WString& wanted = expected.lines.at(*path);
            if (text != wanted) {
                problems.push_back(shown(path->substr(filePrefix.size())) + ": " + difference(text, wanted, path->size()));
            }
        }
    }
    for (const auto& [expectedPath, expectedText] : expected.lines) {
        if (!seen[expectedPath]) {
            problems.push_back("no line for " + shown(expectedPath.substr(filePrefix.size())) + ", expected " +
                                 quoted(linesOf(expectedText).front()));
        }
    }
    std::sort(problems.begin(), problems.end());
    for (std::size_t i = 0; i < std::min(problems.size(), kShownLines); ++i) {
        addDetail(lines, problems[i]);
    }
    if (problems.size() > kShownLines) {
        addDetail(lines, "and " + std::to_string(problems.size() - kShownLines) + " more");
    }
    lines.holds = lines.details.empty();
    checks.push_back(summary);
    checks.push_back(lines);
    return checks;
}

Check judgeRecord(const std::string& name, const std::optional<treebuilder::Bytes>& actual, DWORD readError,
                  const treebuilder::Bytes& expected)
{
    Check check{name};
    if (!actual) {
        addDetail(check, "it cannot be read: error " + std::to_string(readError) +
                             " from DeviceIoControl(FSCTL_GET_REPARSE_POINT)");
        return check;
    }
    auto mismatch = std::mismatch(actual->begin(), actual->end(), expected.begin(), expected.end());
    std::string sizes = actual->size() == expected.size() ? ""
                        : std::to_string(actual->size()) + " bytes, expected " + std::to_string(expected.size()) + "; ";
    if (mismatch.first != actual->end() && mismatch.second != expected.end()) {
        auto at = static_cast<std::size_t>(mismatch.first - actual->begin());
        char bytes[64];
        std::snprintf(bytes, sizeof bytes, "byte %zu is 0x%02x, expected 0x%02x", at, *mismatch.first, *mismatch.second);
        addDetail(check, sizes + "the first difference: " + bytes);
    } else if (!sizes.empty()) {
        addDetail(check, sizes + "the one is the start of the other");
    }
    check.holds = check.details.empty();
    return check;
}

}  // namespace rehearsal
