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

using treebuilder::HeldFolder;

// What the rehearsal made in its folder, each part by its identity, so that
// only that is removed: a part something else put in its place stays.
struct Made {
    std::optional<HeldFolder::Identity> probe;
    std::optional<HeldFolder::Identity> share;
    std::optional<HeldFolder::Identity> runs;
};

// A folder of the rehearsal's own in `folder`, which only this account may
// enter (the reports list the names of what the runs see).
HeldFolder makePart(const HeldFolder& folder, WStringView name, std::optional<HeldFolder::Identity>& made)
{
    HeldFolder part = folder.enter(name, HeldFolder::Make::New, "CreateDirectoryW", true);
    made = part.identity();
    return part;
}

// Runs Stubwarden in the run's folder, with its standard output and error
// in files there, and collects what it left.
RunOutput runStubwarden(const WString& program, const std::vector<WString>& arguments, const HeldFolder& run)
{
    WString folder = run.reach();
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

std::string removalError(DWORD code)
{
    return code == kReplaced ? "it is no longer the folder the rehearsal made: something replaced it"
                             : errorText(code);
}

// Removes what the rehearsal made; false (after saying why) when something stays.
bool removeWhatWasMade(const Workplace& workplace, const Made& made)
{
    const std::pair<const WCHAR*, const std::optional<HeldFolder::Identity>*> parts[] = {
        {WSTR("probe"), &made.probe}, {WSTR("share"), &made.share}, {WSTR("runs"), &made.runs}};
    for (const auto& [part, identity] : parts) {
        WString failed;
        if (*identity && !removeTree(*workplace.held, part, failed, *identity)) {
            writeErrorLine("stubwarden-rehearse: cannot remove " + shown(failed) + " (" + removalError(GetLastError()) +
                           "); remove " + shown(workplace.folder) + " by hand");
            return false;
        }
    }
    if (workplace.made && !removeWorkplace(workplace)) {
        writeErrorLine("stubwarden-rehearse: cannot remove " + shown(workplace.folder) + " (" +
                       removalError(GetLastError()) + ")");
        return false;
    }
    return true;
}

// Whether the share Stubwarden is given is still the folder the rehearsal
// built: the entry "share" of the rehearsal's folder, and (on Linux) the
// target as Stubwarden reaches it. A failing check when it is not, before
// a run or after it.
std::optional<Check> shareReplaced(const Workplace& workplace, const HeldFolder& shareFolder, const WString& target,
                                   bool afterRun)
{
    HeldFolder::Identity built = shareFolder.identity();
    bool same = false;
    try {
        same = workplace.held->enter(WSTR("share"), HeldFolder::Make::No).identity() == built;
#ifndef _WIN32
        same = same && HeldFolder(target).identity() == built;
#endif
    } catch (const treebuilder::BuildError&) {
        same = false;
    }
    if (same) {
        return std::nullopt;
    }
    Check replaced{"the share is the folder the rehearsal built"};
    replaced.details.push_back(shown(target) +
                               (afterRun ? " was replaced while Stubwarden ran (by a link, or another folder): the "
                                           "run is not judged, and no other run is made"
                                         : " is now something else (a link, or another folder): Stubwarden is not "
                                           "run on it"));
    return replaced;
}

// The probe, the share and the runs, in the folder openWorkplace passed and
// holds; `unc` is the folder's UNC path. Everything is made, read and
// removed from the held folder, never through a link.
int rehearseIn(const WString& program, const Workplace& workplace, const WString& unc, Made& made, bool keep,
               const treebuilder::TreeDescription& description, ShareExpectations share)
{
    const WString& folder = workplace.folder;
    const HeldFolder& held = *workplace.held;
    say("Rehearsing " + shown(program) + " in " + shown(folder));
    say("");
    say("The volume:");
    std::vector<Capability> capabilities;
    bool otherSizesKept = true;
    try {
        HeldFolder probeFolder = makePart(held, WSTR("probe"), made.probe);
        capabilities = probeVolume(probeFolder.reach());
        otherSizesKept = keepsSizeOfOtherReparsePoints(probeFolder.reach());
    } catch (const std::runtime_error& failure) {
        throw Refusal(std::string("cannot probe the volume: ") + failure.what());
    }
    WString failedPath;
    bool probeRemoved = removeTree(held, WSTR("probe"), failedPath, made.probe);
    DWORD removeError = GetLastError();
    if (probeRemoved) {
        made.probe.reset();
    }
    bool placeholdersCanExist = true;
    for (const Capability& capability : capabilities) {
        if (capability.kept) {
            say("  pass  " + capability.name);
        } else {
            say(std::string(capability.tried ? "  FAIL  " : "  skip  ") + capability.name + ": " + capability.missing);
            placeholdersCanExist = false;
        }
    }
    if (!otherSizesKept) {
        // The volume's limit, not Stubwarden's (ntfs-3g without a plugin for
        // the tag): the checks expect what Stubwarden can see.
        say("  note  a reparse point of another kind shows no size on this volume (no handler for its tag), so "
            "Stubwarden is expected to list such files at size 0");
        withoutSizesOfOtherReparsePoints(share);
    }
    if (!probeRemoved) {
        writeErrorLine("stubwarden-rehearse: cannot remove " + shown(failedPath) + " (" + removalError(removeError) +
                       ")");
    }
    if (!placeholdersCanExist) {
        say("");
        say("Verdict: placeholders as the archiving product leaves them cannot exist on this volume, so Stubwarden "
            "was not run.");
        return removeWhatWasMade(workplace, made) ? kNoPlaceholders : kNotRehearsed;
    }

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
    std::optional<HeldFolder> shareFolder;
    try {
        shareFolder.emplace(makePart(held, WSTR("share"), made.share));
        description.build(*shareFolder);
        built.holds = true;
    } catch (const std::runtime_error& failure) {
        built.details.push_back(failure.what());
    }
    record(built);
    if (built.holds) {
        HeldFolder runsFolder = makePart(held, WSTR("runs"), made.runs);
        for (const Run& run : theRuns()) {
            HeldFolder runFolder = runsFolder.enter(run.folder, HeldFolder::Make::New, "CreateDirectoryW", true);
            // Stubwarden reaches the share by its path: it is run only while
            // that is still the folder built, and judged only then.
            if (std::optional<Check> replaced = shareReplaced(workplace, *shareFolder, target, false)) {
                record(*replaced);
                break;
            }
            std::vector<WString> arguments = run.options;
            arguments.push_back(target);
            RunOutput output = runStubwarden(program, arguments, runFolder);
            if (std::optional<Check> replaced = shareReplaced(workplace, *shareFolder, target, true)) {
                record(*replaced);
                break;
            }
            for (const Check& check :
                 judgeRun(run.name, run.mode, expectedReport(share, run.mode, root), output, root)) {
                record(check);
            }
            if (run.mode.fix) {
                for (const Check& check : recordChecks(share, shareFolder->reach())) {
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
        say("Kept: the sample share in " + shown(pathInside(folder, WSTR("share"))) +
            ", and each run's report and output in a folder of " + shown(pathInside(folder, WSTR("runs"))) + ".");
        return result;
    }
    if (!removeWhatWasMade(workplace, made)) {
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
    if (uncPath(folder).empty()) {
        throw Refusal(shown(folder) + " has no UNC path under which Stubwarden could reach it");
    }
    Workplace workplace = openWorkplace(folder);
    Made made;
    try {
        // The folder as it was found, links on the way resolved.
        WString unc = uncPath(workplace.folder);
        if (unc.empty()) {
            throw Refusal(shown(workplace.folder) + " has no UNC path under which Stubwarden could reach it");
        }
        return rehearseIn(program, workplace, unc, made, options.keep, description, share);
    } catch (...) {
        std::cout << std::flush;
        if (!options.keep) {
            removeWhatWasMade(workplace, made);
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
