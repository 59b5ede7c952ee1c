// stubwarden-report: reads a Stubwarden report (any mode) and prints it as a
// machine wants it: one summary line for a log, JSON, CSV, or the text
// format of Prometheus' textfile collectors. See man/stubwarden-report.1.scd.
#include <filesystem>
#include <fstream>
#include <iostream>
#include <iterator>
#include <nlohmann/json.hpp>
#include <sstream>
#include <string>
#include <system_error>
#include <vector>

#ifdef _WIN32
#  include <fcntl.h>
#  include <io.h>
#endif

#include "platform/console.h"
#include "platform/text_conversion.h"
#include "platform/win32.h"
#include "tools/program_version.h"
#include "tools/report_reading.h"

using namespace reportreading;

namespace {

constexpr const char* kUsage = R"(Usage: stubwarden-report --summary|--json|--csv|--prometheus [-o <file>] <report>
       stubwarden-report -h | --help
       stubwarden-report --version

Reads a report that stubwarden wrote (UTF-16LE, named <target>-<seconds>.txt)
and prints it as UTF-8:

  --summary     one line of key=value pairs: the report, target, start time,
                exit code, mode, and the eight counters or the usage rows
  --json        the whole report as one JSON object: every file and folder
                line, the summary and the usage rows
  --csv         the file and folder lines, one a row, with a heading row
  --prometheus  gauges for Prometheus' textfile collector, labelled with the
                target: the counters or the usage totals, the start time and
                the exit code

  -o <file>     write to <file> instead of standard output: the whole text
                to <file>.tmp first, then renamed to <file>

The target and the start time come from the report's name, the exit code
from its summary (2 when it counts bad placeholders). Exit code 0 when the
report was read and written, 1 when the file is not a whole report or the
output cannot be written (the reason on standard error).
)";

enum class Format { Summary, Json, Csv, Prometheus };

const char* verdictName(Verdict verdict)
{
    switch (verdict) {
    case Verdict::NotReparsePoint: return "not-reparse-point";
    case Verdict::OtherReparsePoint: return "other-reparse-point";
    case Verdict::Good: return "good";
    case Verdict::Bad: return "bad";
    case Verdict::ReadFailed: return "read-failed";
    case Verdict::OutsideArchivePoint: return "outside-archive-point";
    case Verdict::NotArchived: return "not-archived";
    }
    return "";
}

const char* repairName(Repair repair)
{
    switch (repair) {
    case Repair::None: return "";
    case Repair::Fixed: return "fixed";
    case Repair::Failed: return "fix-failed";
    case Repair::CannotFix: return "cannot-fix";
    }
    return "";
}

const char* outcomeName(FolderOutcome outcome)
{
    return outcome == FolderOutcome::Skipped ? "skipped" : "partially-processed";
}

std::size_t folderCount(const Report& report, FolderOutcome outcome)
{
    std::size_t count = 0;
    for (const Entry& entry : report.entries) {
        count += entry.folder && entry.folder->outcome == outcome ? 1 : 0;
    }
    return count;
}

std::string hexBytes(const std::string& bytes)
{
    static const char* kDigits = "0123456789abcdef";
    std::string text;
    for (unsigned char byte : bytes) {
        text += kDigits[byte >> 4];
        text += kDigits[byte & 15];
    }
    return text;
}

// The sum of KB texts ("1.50"), exact to the hundredth.
std::string kbSum(const Report& report, std::string UsageRow::*column)
{
    __extension__ unsigned __int128 hundredths = 0;
    for (const UsageRow& row : report.usage) {
        const std::string& kb = row.*column;
        __extension__ unsigned __int128 value = 0;
        for (char c : kb) {
            if (c != '.') {
                value = value * 10 + static_cast<unsigned>(c - '0');
            }
        }
        hundredths += value;
    }
    std::string text;
    for (int digit = 0; digit < 3 || hundredths != 0; ++digit, hundredths /= 10) {
        if (digit == 2) {
            text.insert(text.begin(), '.');
        }
        text.insert(text.begin(), static_cast<char>('0' + static_cast<int>(hundredths % 10)));
    }
    return text;
}

// --summary: key=value, a value quoted (with \" \\ \n \r \t) when it is
// empty or holds a blank, a quote, "=" or a control character.
std::string pairValue(const std::string& value)
{
    bool plain = !value.empty();
    for (unsigned char c : value) {
        plain = plain && c > ' ' && c != '"' && c != '=' && c != 0x7F;
    }
    if (plain) {
        return value;
    }
    std::string quoted = "\"";
    for (char c : value) {
        switch (c) {
        case '"': quoted += "\\\""; break;
        case '\\': quoted += "\\\\"; break;
        case '\n': quoted += "\\n"; break;
        case '\r': quoted += "\\r"; break;
        case '\t': quoted += "\\t"; break;
        default: quoted += c;
        }
    }
    return quoted + "\"";
}

std::string summaryLine(const Report& report)
{
    std::vector<std::pair<std::string, std::string>> pairs = {
        {"report", report.fileName},
        {"target", report.target},
        {"start_time", std::to_string(report.startTime)},
        {"start_time_utc", utcTimeText(report.startTime)},
        {"exit_code", std::to_string(report.exitCode)},
        {"mode", report.archiveUsage ? "archive-usage" : "normal"},
    };
    if (!report.archiveUsage) {
        for (std::size_t i = 0; i < kCounterCount; ++i) {
            pairs.emplace_back(kCounterNames[i], std::to_string(report.counters[i]));
        }
    } else {
        pairs.emplace_back("archive_points", std::to_string(report.usage.size()));
        pairs.emplace_back("archived_kb", kbSum(report, &UsageRow::archivedKb));
        pairs.emplace_back("non_archived_kb", kbSum(report, &UsageRow::nonArchivedKb));
        for (std::size_t i = 0; i < report.usage.size(); ++i) {
            const std::string prefix = "archive_point_" + std::to_string(i + 1) + "_";
            pairs.emplace_back(prefix + "name", utf8(report.usage[i].archiveName));
            pairs.emplace_back(prefix + "root_path", utf8(report.usage[i].rootPath));
            pairs.emplace_back(prefix + "archived_kb", report.usage[i].archivedKb);
            pairs.emplace_back(prefix + "non_archived_kb", report.usage[i].nonArchivedKb);
        }
    }
    pairs.emplace_back("skipped_folders", std::to_string(folderCount(report, FolderOutcome::Skipped)));
    pairs.emplace_back("partially_processed_folders",
                       std::to_string(folderCount(report, FolderOutcome::PartiallyProcessed)));
    std::string line;
    for (const auto& [key, value] : pairs) {
        line += (line.empty() ? "" : " ") + key + "=" + pairValue(value);
    }
    return line + "\n";
}

nlohmann::ordered_json failureJson(const Failure& failure)
{
    return {{"operation", failure.operation}, {"code", failure.code}};
}

std::string jsonText(const Report& report)
{
    nlohmann::ordered_json json;
    json["report"] = report.fileName;
    json["target"] = report.target;
    json["start_time"] = report.startTime;
    json["start_time_utc"] = utcTimeText(report.startTime);
    json["exit_code"] = report.exitCode;
    json["mode"] = report.archiveUsage ? "archive-usage" : "normal";
    if (!report.archiveUsage) {
        nlohmann::ordered_json summary = nlohmann::ordered_json::object();
        for (std::size_t i = 0; i < kCounterCount; ++i) {
            summary[kCounterNames[i]] = report.counters[i];
        }
        json["summary"] = summary;
    } else {
        json["summary"] = nullptr;
    }
    json["usage"] = nlohmann::ordered_json::array();
    for (const UsageRow& row : report.usage) {
        json["usage"].push_back({{"archive_name", utf8(row.archiveName)},
                                 {"root_path", utf8(row.rootPath)},
                                 {"archived_kb", std::stod(row.archivedKb)},
                                 {"non_archived_kb", std::stod(row.nonArchivedKb)}});
    }
    json["files"] = nlohmann::ordered_json::array();
    json["folders"] = nlohmann::ordered_json::array();
    for (const Entry& entry : report.entries) {
        nlohmann::ordered_json item = {{"line", entry.line}};
        if (entry.folder) {
            const FolderLine& folder = *entry.folder;
            item["path"] = utf8(folder.path);
            item["outcome"] = outcomeName(folder.outcome);
            item["operation"] = folder.operation;
            if (folder.code) {
                item["code"] = *folder.code;
            } else {
                item["message"] = utf8(folder.message);
            }
            json["folders"].push_back(item);
            continue;
        }
        const FileLine& file = *entry.file;
        item["path"] = utf8(file.path);
        item["verdict"] = verdictName(file.verdict);
        if (!file.fault.empty()) {
            item["fault"] = file.fault;
        }
        if (file.description) {
            item["created"] = file.description->created;
            item["size"] = file.description->size;
            nlohmann::ordered_json attributes = nlohmann::ordered_json::array();
            for (auto [set, word] : {std::pair{file.description->reparsePoint, "reparse-point"},
                                     std::pair{file.description->sparse, "sparse"},
                                     std::pair{file.description->offline, "offline"}}) {
                if (set) {
                    attributes.push_back(word);
                }
            }
            item["attributes"] = attributes;
        }
        if (file.readFailure) {
            item["error"] = failureJson(*file.readFailure);
        }
        if (file.dump) {
            item["dump"] = {{"length", file.dump->length}, {"data", hexBytes(file.dump->bytes)}};
        }
        if (file.repair != Repair::None) {
            item["repair"] = repairName(file.repair);
        }
        if (file.repairFailure) {
            item["repair_error"] = failureJson(*file.repairFailure);
        }
        json["files"].push_back(item);
    }
    return json.dump(2) + "\n";
}

// RFC 4180: a field with a comma, a quote or a line end is quoted, its
// quotes doubled; records end with CR LF.
std::string csvField(const std::string& field)
{
    if (field.find_first_of(",\"\r\n") == std::string::npos) {
        return field;
    }
    std::string quoted = "\"";
    for (char c : field) {
        quoted += c == '"' ? "\"\"" : std::string(1, c);
    }
    return quoted + "\"";
}

std::string csvText(const Report& report)
{
    std::vector<std::vector<std::string>> rows = {{"line", "kind", "path", "verdict", "fault", "created", "size",
                                                   "reparse_point", "sparse", "offline", "dump_length", "repair",
                                                   "error_operation", "error_code", "message"}};
    for (const Entry& entry : report.entries) {
        std::vector<std::string> row(rows.front().size());
        row[0] = std::to_string(entry.line);
        if (entry.folder) {
            row[1] = "folder";
            row[2] = utf8(entry.folder->path);
            row[3] = outcomeName(entry.folder->outcome);
            row[12] = entry.folder->operation;
            row[13] = entry.folder->code ? std::to_string(*entry.folder->code) : "";
            row[14] = utf8(entry.folder->message);
        } else {
            const FileLine& file = *entry.file;
            row[1] = "file";
            row[2] = utf8(file.path);
            row[3] = verdictName(file.verdict);
            row[4] = file.fault;
            if (file.description) {
                row[5] = file.description->created;
                row[6] = std::to_string(file.description->size);
                row[7] = file.description->reparsePoint ? "1" : "0";
                row[8] = file.description->sparse ? "1" : "0";
                row[9] = file.description->offline ? "1" : "0";
            }
            row[10] = file.dump ? std::to_string(file.dump->length) : "";
            row[11] = repairName(file.repair);
            if (const std::optional<Failure>& failure = file.readFailure ? file.readFailure : file.repairFailure) {
                row[12] = failure->operation;
                row[13] = std::to_string(failure->code);
            }
        }
        rows.push_back(row);
    }
    std::string text;
    for (const std::vector<std::string>& row : rows) {
        for (std::size_t i = 0; i < row.size(); ++i) {
            text += (i == 0 ? "" : ",") + csvField(row[i]);
        }
        text += "\r\n";
    }
    return text;
}

// A label value of the text format: \\, \" and \n escaped.
std::string labelValue(const std::string& value)
{
    std::string escaped;
    for (char c : value) {
        switch (c) {
        case '\\': escaped += "\\\\"; break;
        case '"': escaped += "\\\""; break;
        case '\n': escaped += "\\n"; break;
        default: escaped += c;
        }
    }
    return "\"" + escaped + "\"";
}

std::string prometheusText(const Report& report)
{
    std::string text;
    const std::string target = "target=" + labelValue(report.target);
    auto gauge = [&](const std::string& name, const std::string& help,
                     const std::vector<std::pair<std::string, std::string>>& samples) {
        text += "# HELP " + name + " " + help + "\n# TYPE " + name + " gauge\n";
        for (const auto& [labels, value] : samples) {
            text += name + "{" + labels + "} " + value + "\n";
        }
    };
    gauge("stubwarden_audit_start_time_seconds", "When the audit started, in seconds since 1970 (UTC).",
          {{target, std::to_string(report.startTime)}});
    gauge("stubwarden_audit_exit_code", "The audit's exit code: 0 no bad placeholder, 2 bad placeholders found.",
          {{target, std::to_string(report.exitCode)}});
    gauge("stubwarden_audit_archive_usage", "1 for an audit in archive usage mode, 0 for the normal mode.",
          {{target, report.archiveUsage ? "1" : "0"}});
    if (!report.archiveUsage) {
        const char* helps[kCounterCount] = {
            "Files the audit examined.",
            "Files whose reparse data could not be read.",
            "Files that are no placeholder (no reparse point, or one of another kind).",
            "Placeholders whose record is valid.",
            "Placeholders whose record is not valid (repaired ones included).",
            "Bad placeholders that cannot be repaired.",
            "Bad placeholders repaired (-fixphs).",
            "Bad placeholders whose repair failed.",
        };
        for (std::size_t i = 0; i < kCounterCount; ++i) {
            gauge(std::string("stubwarden_audit_") + kCounterNames[i], helps[i],
                  {{target, std::to_string(report.counters[i])}});
        }
    } else {
        gauge("stubwarden_audit_archive_points", "Archive points the audit found.",
              {{target, std::to_string(report.usage.size())}});
        gauge("stubwarden_audit_archived_bytes", "Original size of the archived files of every archive point.",
              {{target, kbToBytes(kbSum(report, &UsageRow::archivedKb))}});
        gauge("stubwarden_audit_non_archived_bytes", "Original size of the other files of every archive point.",
              {{target, kbToBytes(kbSum(report, &UsageRow::nonArchivedKb))}});
        std::vector<std::pair<std::string, std::string>> archived;
        std::vector<std::pair<std::string, std::string>> nonArchived;
        for (const UsageRow& row : report.usage) {
            std::string labels = target + ",archive_point=" + labelValue(utf8(row.archiveName)) +
                                 ",root_path=" + labelValue(utf8(row.rootPath));
            archived.emplace_back(labels, kbToBytes(row.archivedKb));
            nonArchived.emplace_back(labels, kbToBytes(row.nonArchivedKb));
        }
        if (!report.usage.empty()) {
            gauge("stubwarden_archive_point_archived_bytes", "Original size of an archive point's archived files.",
                  archived);
            gauge("stubwarden_archive_point_non_archived_bytes", "Original size of an archive point's other files.",
                  nonArchived);
        }
    }
    gauge("stubwarden_audit_skipped_folders", "Folders the audit could not list, or whose marker it could not read.",
          {{target, std::to_string(folderCount(report, FolderOutcome::Skipped))}});
    gauge("stubwarden_audit_partially_processed_folders", "Folders whose listing failed part way.",
          {{target, std::to_string(folderCount(report, FolderOutcome::PartiallyProcessed))}});
    return text;
}

std::filesystem::path fileSystemPath(const WString& argument)
{
#ifdef _WIN32
    return std::filesystem::path(argument);
#else
    return std::filesystem::path(utf8Text(argument));
#endif
}

// The name of the file without its folders, as UTF-8.
std::string baseName(const WString& argument)
{
    std::u16string name(argument.begin(), argument.end());
#ifdef _WIN32
    std::size_t separator = name.find_last_of(u"\\/:");
#else
    std::size_t separator = name.rfind(u'/');
#endif
    return utf8(separator == std::u16string::npos ? name : name.substr(separator + 1));
}

std::string readReport(const WString& argument)
{
    std::filesystem::path path = fileSystemPath(argument);
    std::error_code error;
    if (!std::filesystem::is_regular_file(path, error)) {
        throw std::runtime_error(error ? "cannot read it: " + error.message() : "it is not a file");
    }
    std::ifstream in(path, std::ios::binary);
    std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    if (!in.good() && !in.eof()) {
        throw std::runtime_error("cannot read it");
    }
    return bytes;
}

// The whole text to <file>.tmp, then renamed to <file>, so that a collector
// reading the folder never sees half a file.
void writeWhole(const WString& argument, const std::string& text)
{
    std::filesystem::path path = fileSystemPath(argument);
    std::filesystem::path temporary = path;
    temporary += ".tmp";
    {
        std::ofstream out(temporary, std::ios::binary | std::ios::trunc);
        out << text;
        out.flush();
        if (!out) {
            std::error_code ignored;
            std::filesystem::remove(temporary, ignored);
            throw std::runtime_error("cannot write " + utf8(std::u16string(argument.begin(), argument.end())) + ".tmp");
        }
    }
    std::error_code error;
    std::filesystem::rename(temporary, path, error);
    if (error) {
        std::error_code ignored;
        std::filesystem::remove(temporary, ignored);
        throw std::runtime_error("cannot rename " + utf8(std::u16string(argument.begin(), argument.end())) +
                                 ".tmp into place: " + error.message());
    }
}

int usageError(const std::string& problem)
{
    writeErrorLine("stubwarden-report: " + problem);
    std::cerr << kUsage << std::flush;
    return 1;
}

}  // namespace

int wmain(int argc, WCHAR* argv[])
{
    std::vector<WString> arguments(argv + 1, argv + argc);
    std::optional<Format> format;
    std::optional<WString> output;
    std::optional<WString> reportArgument;
    for (std::size_t i = 0; i < arguments.size(); ++i) {
        const WString& argument = arguments[i];
        if (argument == WSTR("-h") || argument == WSTR("--help")) {
            std::cout << kUsage << std::flush;
            return 0;
        }
        if (argument == WSTR("--version")) {
            return printVersion("stubwarden-report");
        }
        std::optional<Format> named;
        if (argument == WSTR("--summary")) {
            named = Format::Summary;
        } else if (argument == WSTR("--json")) {
            named = Format::Json;
        } else if (argument == WSTR("--csv")) {
            named = Format::Csv;
        } else if (argument == WSTR("--prometheus")) {
            named = Format::Prometheus;
        }
        if (named) {
            if (format && *format != *named) {
                return usageError("give one of --summary, --json, --csv, --prometheus");
            }
            format = named;
        } else if (argument == WSTR("-o") || argument == WSTR("--output")) {
            if (i + 1 == arguments.size() || arguments[i + 1].empty()) {
                return usageError("-o needs a file");
            }
            output = arguments[++i];
        } else if (argument.size() > 1 && argument[0] == WSTR('-')) {
            return usageError("unknown option " + utf8Text(argument));
        } else if (reportArgument) {
            return usageError("give one report");
        } else {
            reportArgument = argument;
        }
    }
    if (!format) {
        return usageError("give one of --summary, --json, --csv, --prometheus");
    }
    if (!reportArgument || reportArgument->empty()) {
        return usageError("the report is missing");
    }

    const std::string shownName = utf8(std::u16string(reportArgument->begin(), reportArgument->end()));
    Report report;
    try {
        report = parseReport(baseName(*reportArgument), readReport(*reportArgument));
    } catch (const NotAReport& problem) {
        writeErrorLine("stubwarden-report: " + shownName + ": not a report: " + problem.what());
        return 1;
    } catch (const std::exception& problem) {
        writeErrorLine("stubwarden-report: " + shownName + ": " + problem.what());
        return 1;
    }
    try {
        std::string text;
        switch (*format) {
        case Format::Summary: text = summaryLine(report); break;
        case Format::Json: text = jsonText(report); break;
        case Format::Csv: text = csvText(report); break;
        case Format::Prometheus: text = prometheusText(report); break;
        }
        if (output) {
            writeWhole(*output, text);
        } else {
#ifdef _WIN32
            // The same bytes as on Linux: LF, not CR LF. The usage text and
            // the version stay console text, as the other programs write it.
            _setmode(_fileno(stdout), _O_BINARY);
#endif
            std::cout << text << std::flush;
            if (!std::cout) {
                throw std::runtime_error("cannot write to standard output");
            }
        }
    } catch (const std::exception& problem) {
        writeErrorLine(std::string("stubwarden-report: ") + problem.what());
        return 1;
    }
    return 0;
}
