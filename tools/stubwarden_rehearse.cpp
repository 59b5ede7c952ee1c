// stubwarden-rehearse: answers, on the volume where it runs, whether
// Stubwarden reads and repairs placeholders correctly there. It probes the
// volume, builds the sample share in an empty folder, runs the real
// Stubwarden on it the ways an administrator will, judges every run against
// what the share must give, and removes what it made.
#include <iostream>
#include <stdexcept>
#include <string>
#include <vector>

#include "platform/account_rights.h"
#include "platform/child_process.h"
#include "platform/console.h"
#include "platform/little_endian.h"
#include "platform/path_forms.h"
#include "platform/win32.h"
#include "tools/program_version.h"
#include "tools/rehearsal_expectations.h"
#include "tools/rehearsal_files.h"
#include "tools/rehearsal_judge.h"
#include "tools/sample_share.h"
#include "tools/tree_builder.h"
#include "tools/tree_description.h"
#include "tools/volume_probe.h"

namespace {

using namespace rehearsal;

constexpr const char* kUsage = R"(Usage: stubwarden-rehearse [--keep] [--stubwarden <program>] <folder>
       stubwarden-rehearse -h | --help
       stubwarden-rehearse --version

Answers, on the volume that holds <folder>, whether Stubwarden reads and
repairs placeholders correctly there. <folder> must be empty or new: the
rehearsal works only inside it, never follows a link, and removes what it
made. Run it from the account and the prompt the real audit will run from.

1. The volume: can a file keep a placeholder's reparse point (tag 16 with
   its GUID), the sparse and the offline attribute, a folder an alternate
   data stream, a file a size above 4 GiB without taking the space? Each
   missing capability gets a line with its Win32 error code. Without them
   placeholders cannot exist there, and the rehearsal stops.
2. The sample share (samples/sample-share.tree, built into this program) is
   made in the folder "share" inside <folder>.
3. Stubwarden audits it, each run in a folder of its own inside "runs":
   normal, -v -d, -archiveusage, -fixphs, then normal again. Each run's exit
   code, its eight counters or usage rows and its file lines are judged
   (creation times left out: they depend on the time zone), and so are the
   records -fixphs must repair and those it must leave alone.

One line per check, then the verdict.

  --keep                  keep the share and the runs' reports, and say where
  --stubwarden <program>  the Stubwarden to rehearse; by default the one
                          installed beside this program

Exit code 0 when every check holds; 1 when the rehearsal cannot be made (a
bad command line, a folder that is not empty, no Stubwarden); 2 when the
volume cannot hold placeholders; 3 when a check fails.
)";

enum ExitCode { kWorks = 0, kNotRehearsed = 1, kNoPlaceholders = 2, kCheckFailed = 3 };

// The rehearsal is not made; the message says why.
class Refusal : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

struct Options {
    bool keep = false;
    WString program;
    WString folder;
};

void say(const std::string& line) { std::cout << line << '\n'; }

std::string errorText(DWORD code) { return "error " + std::to_string(code); }

void print(const Check& check)
{
    say(std::string(check.holds ? "  pass  " : "  FAIL  ") + check.name);
    for (const std::string& detail : check.details) {
        say("          " + detail);
    }
}

// True when the rehearsal made the folder. A folder that holds anything, a
// link and a file are refused: a typo must never lead the rehearsal into a
// production folder.
bool prepareFolder(const WString& folder)
{
    const std::string name = shown(folder);
    DWORD attributes = GetFileAttributesW(folder.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES) {
        DWORD error = GetLastError();
        if (error != ERROR_FILE_NOT_FOUND) {
            throw Refusal(name + " cannot be reached (" + errorText(error) +
                          (error == ERROR_PATH_NOT_FOUND ? ": the folder it would lie in does not exist)" : ")"));
        }
        if (!CreateDirectoryW(folder.c_str(), nullptr)) {
            throw Refusal("cannot make the folder " + name + " (" + errorText(GetLastError()) + ")");
        }
        return true;
    }
    if ((attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0) {
        throw Refusal(name + " is a link (or another reparse point), which the rehearsal never follows: name an "
                             "empty or new folder itself");
    }
    if ((attributes & FILE_ATTRIBUTE_DIRECTORY) == 0) {
        throw Refusal(name + " is a file: name an empty or new folder");
    }
    std::optional<std::vector<WIN32_FIND_DATAW>> entries = folderEntries(folder);
    if (!entries) {
        throw Refusal(name + " cannot be listed (" + errorText(GetLastError()) + ")");
    }
    if (!entries->empty()) {
        throw Refusal(name + " is not empty (it holds " + shown(entries->front().cFileName) +
                      "): the rehearsal makes and removes files, so it runs only in an empty or new folder");
    }
    return false;
}

// Runs Stubwarden in `folder` (made here), with its standard output and
// error in files there, and collects what it left.
RunOutput runStubwarden(const WString& program, const std::vector<WString>& arguments, const WString& folder)
{
    treebuilder::makeFolder(folder);
    RunOutput output;
    WString errorFile = pathInside(folder, WSTR("standard-error.log"));
    output.outcome = runChildProcess(program, arguments, folder, pathInside(folder, WSTR("standard-output.log")),
                                     errorFile);
    if (!output.outcome.started) {
        output.noReport = "Stubwarden did not run";
        return output;
    }
    try {
        output.errorOutput = treebuilder::readWholeFile(errorFile);
    } catch (const std::runtime_error& failure) {
        output.errorOutput = failure.what();
    }
    std::vector<WString> reports;
    for (const WIN32_FIND_DATAW& entry : folderEntries(folder).value_or(std::vector<WIN32_FIND_DATAW>{})) {
        WStringView name(entry.cFileName);
        if (name.size() > 4 && name.substr(name.size() - 4) == WSTR(".txt")) {
            reports.push_back(pathInside(folder, name));
        }
    }
    if (reports.size() != 1) {
        output.noReport = std::to_string(reports.size()) + " report files, expected one";
        return output;
    }
    std::string bytes;
    try {
        bytes = treebuilder::readWholeFile(reports.front());
    } catch (const std::runtime_error& failure) {
        output.noReport = std::string("the report cannot be read: ") + failure.what();
        return output;
    }
    if (bytes.size() % 2 != 0) {
        output.noReport = "the report is not UTF-16LE text: it has an odd number of bytes";
        return output;
    }
    WString text;
    for (std::size_t i = 0; i < bytes.size(); i += 2) {
        text += static_cast<WCHAR>(littleendian::read<std::uint16_t>(bytes.data() + i));
    }
    output.report = text;
    return output;
}

struct Run {
    const char* name;
    const WCHAR* folder;
    std::vector<WString> options;
    RunMode mode;
};

std::vector<Run> theRuns()
{
    RunMode normal;
    RunMode verboseDump;
    verboseDump.verbose = true;
    verboseDump.dump = true;
    RunMode usage;
    usage.archiveUsage = true;
    RunMode fix;
    fix.fix = true;
    RunMode afterFix;
    afterFix.afterFix = true;
    return {{"normal", WSTR("1-normal"), {}, normal},
            {"-v -d", WSTR("2-verbose-dump"), {WSTR("-v"), WSTR("-d")}, verboseDump},
            {"-archiveusage", WSTR("3-archive-usage"), {WSTR("-archiveusage")}, usage},
            {"-fixphs", WSTR("4-fixphs"), {WSTR("-fixphs")}, fix},
            {"normal after -fixphs", WSTR("5-normal-after-fixphs"), {}, afterFix}};
}

// After -fixphs: each repairable record is the good placeholder it was made
// from, and every other record is byte for byte as built.
std::vector<Check> recordChecks(const ShareExpectations& share, const WString& shareFolder)
{
    std::vector<Check> checks;
    Check untouched;
    std::size_t others = 0;
    for (const ExpectedFile& file : share.files) {
        if (file.record.empty()) {
            continue;
        }
        std::optional<treebuilder::Bytes> record = readReparseRecord(pathInside(shareFolder, file.path));
        DWORD error = GetLastError();
        if (file.canFix) {
            checks.push_back(judgeRecord("-fixphs: the repaired record of " + shown(file.path) +
                                             " is the good placeholder it was made from",
                                         record, error, file.repaired));
            continue;
        }
        ++others;
        Check one = judgeRecord(shown(file.path), record, error, file.record);
        for (const std::string& detail : one.details) {
            untouched.details.push_back(shown(file.path) + ": " + detail);
        }
    }
    untouched.name = "-fixphs: the other " + std::to_string(others) + " records are as built";
    untouched.holds = untouched.details.empty();
    checks.push_back(untouched);
    return checks;
}

// Removes what the rehearsal made; false (after saying why) when something stays.
bool removeWhatWasMade(const WString& folder, bool madeFolder)
{
    for (const WCHAR* part : {WSTR("probe"), WSTR("share"), WSTR("runs")}) {
        WString path = pathInside(folder, part);
        WString failed;
        if (GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES && !removeTree(path, failed)) {
            writeErrorLine("stubwarden-rehearse: cannot remove " + shown(failed) + " (" + errorText(GetLastError()) +
                           "); remove " + shown(folder) + " by hand");
            return false;
        }
    }
    if (madeFolder && !RemoveDirectoryW(folder.c_str())) {
        writeErrorLine("stubwarden-rehearse: cannot remove " + shown(folder) + " (" + errorText(GetLastError()) + ")");
        return false;
    }
    return true;
}

// The probe, the share and the runs, in a folder that prepareFolder passed;
// `unc` is the folder's UNC path.
int rehearseIn(const WString& program, const WString& folder, const WString& unc, bool madeFolder, bool keep,
               const treebuilder::TreeDescription& description, const ShareExpectations& share)
{
    say("Rehearsing " + shown(program) + " in " + shown(folder));
    say("");
    say("The volume:");
    WString probeFolder = pathInside(folder, WSTR("probe"));
    std::vector<Capability> capabilities;
    try {
        treebuilder::makeFolder(probeFolder);
        capabilities = probeVolume(probeFolder);
    } catch (const std::runtime_error& failure) {
        throw Refusal(std::string("cannot probe the volume: ") + failure.what());
    }
    WString failedPath;
    bool probeRemoved = removeTree(probeFolder, failedPath);
    DWORD removeError = GetLastError();
    bool placeholdersCanExist = true;
    for (const Capability& capability : capabilities) {
        if (capability.kept) {
            say("  pass  " + capability.name);
        } else {
            say(std::string(capability.tried ? "  FAIL  " : "  skip  ") + capability.name + ": " + capability.missing);
            placeholdersCanExist = false;
        }
    }
    if (!probeRemoved) {
        writeErrorLine("stubwarden-rehearse: cannot remove " + shown(failedPath) + " (" + errorText(removeError) + ")");
    }
    if (!placeholdersCanExist) {
        say("");
        say("Verdict: placeholders as the archiving product leaves them cannot exist on this volume, so Stubwarden "
            "was not run.");
        return removeWhatWasMade(folder, madeFolder) ? kNoPlaceholders : kNotRehearsed;
    }

    WString shareFolder = pathInside(folder, WSTR("share"));
    WString runsFolder = pathInside(folder, WSTR("runs"));
    WString target = pathInside(unc, WSTR("share"));
    WString root = WSTR("\\\\?\\UNC\\") + target.substr(2);  // as Stubwarden writes the target into its report
    say("");
    say("Stubwarden on the sample share, " + shown(target) + ":");
    std::vector<Check> checks;
    auto record = [&checks](const Check& check) {
        print(check);
        checks.push_back(check);
    };
    Check built{"the sample share is built (" + std::to_string(description.size()) + " entries)"};
    try {
        description.build(shareFolder);
        built.holds = true;
    } catch (const std::runtime_error& failure) {
        built.details.push_back(failure.what());
    }
    record(built);
    if (built.holds) {
        treebuilder::makeFolder(runsFolder);
        for (const Run& run : theRuns()) {
            std::vector<WString> arguments = run.options;
            arguments.push_back(target);
            RunOutput output = runStubwarden(program, arguments, pathInside(runsFolder, run.folder));
            for (const Check& check :
                 judgeRun(run.name, run.mode, expectedReport(share, run.mode, root), output, root)) {
                record(check);
            }
            if (run.mode.fix) {
                for (const Check& check : recordChecks(share, shareFolder)) {
                    record(check);
                }
            }
        }
    }

    std::size_t failing = 0;
    for (const Check& check : checks) {
        failing += check.holds ? 0 : 1;
    }
    say("");
    if (failing == 0) {
        say("Verdict: Stubwarden reads and repairs placeholders correctly on this volume: all " +
            std::to_string(checks.size()) + " checks hold.");
    } else {
        say("Verdict: Stubwarden does not work as it must on this volume: " + std::to_string(failing) + " of " +
            std::to_string(checks.size()) + " checks fail.");
    }
    // The share was built by this account, so the repair of its own files
    // says nothing of the files of other accounts on the real share.
    if (!mayWriteEveryFile()) {
        say("Note: -fixphs writes with the rights of the account that runs it; the backup privilege only reads. "
            "Here it repaired this account's own files. This account may not write the files of other accounts, "
            "so on the real share the repair of such a placeholder fails with \"Failed to fix:CreateFile:5\". "
            "Run -fixphs as root on Linux or from an elevated prompt of an administrator on Windows, or as the "
            "owner of the files.");
    }
    int result = failing == 0 ? kWorks : kCheckFailed;
    if (keep) {
        say("Kept: the sample share in " + shown(shareFolder) + ", and each run's report and output in a folder of " +
            shown(runsFolder) + ".");
        return result;
    }
    if (!removeWhatWasMade(folder, madeFolder)) {
        return result == kWorks ? kNotRehearsed : result;
    }
    say("Removed what the rehearsal made.");
    return result;
}

int rehearse(const Options& options)
{
    treebuilder::TreeDescription description = treebuilder::TreeDescription::read(kSampleShareTree);
    ShareExpectations share = expectationsOf(description.entries());

    WString program = options.program;
    if (program.empty()) {
        program = programBesideThisOne(WSTR("stubwarden"));
        if (program.empty()) {
            throw Refusal("cannot find the folder of this program (" + errorText(GetLastError()) +
                          "): name Stubwarden with --stubwarden <program>");
        }
    }
    DWORD programAttributes = GetFileAttributesW(program.c_str());
    if (programAttributes == INVALID_FILE_ATTRIBUTES || (programAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
        throw Refusal("Stubwarden is not at " + shown(program) + ": name it with --stubwarden <program>");
    }
    WString folder = fullPath(options.folder);
    if (folder.empty()) {
        throw Refusal("cannot make a full path of " + shown(options.folder) + " (" + errorText(GetLastError()) + ")");
    }
    WString unc = uncPath(folder);
    if (unc.empty()) {
        throw Refusal(shown(folder) + " has no UNC path under which Stubwarden could reach it");
    }
    bool madeFolder = prepareFolder(folder);
    try {
        return rehearseIn(program, folder, unc, madeFolder, options.keep, description, share);
    } catch (...) {
        std::cout << std::flush;
        if (!options.keep) {
            removeWhatWasMade(folder, madeFolder);
        }
        throw;
    }
}

int usageError(const std::string& problem)
{
    writeErrorLine("stubwarden-rehearse: " + problem);
    std::cerr << kUsage << std::flush;
    return kNotRehearsed;
}

}  // namespace

int wmain(int argc, WCHAR* argv[])
{
    Options options;
    std::vector<WString> folders;
    for (int i = 1; i < argc; ++i) {
        WString argument = argv[i];
        if (argument == WSTR("-h") || argument == WSTR("--help")) {
            std::cout << kUsage << std::flush;
            return kWorks;
        }
        if (argument == WSTR("--version")) {
            return printVersion("stubwarden-rehearse");
        }
        if (argument == WSTR("--keep")) {
            options.keep = true;
        } else if (argument == WSTR("--stubwarden")) {
            if (i + 1 == argc || WString(argv[i + 1]).empty()) {
                return usageError("--stubwarden needs the program");
            }
            options.program = argv[++i];
        } else if (argument.size() > 1 && argument[0] == WSTR('-')) {
            return usageError("unknown option " + shown(argument));
        } else {
            folders.push_back(argument);
        }
    }
    if (folders.size() != 1 || folders.front().empty()) {
        return usageError(folders.size() > 1 ? "name one folder" : "the folder is missing");
    }
    options.folder = folders.front();
    if (std::string problem = commandLinePathProblem(options.folder); !problem.empty()) {
        writeErrorLine("stubwarden-rehearse: " + problem);
        return kNotRehearsed;
    }
    try {
        int result = rehearse(options);
        std::cout << std::flush;
        return result;
    } catch (const std::exception& failure) {
        std::cout << std::flush;
        writeErrorLine(std::string("stubwarden-rehearse: ") + failure.what());
        return kNotRehearsed;
    }
}
