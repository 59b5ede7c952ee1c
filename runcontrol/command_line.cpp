// Construction and destruction of the run: options, backup privilege,
// target, report file.
#include <ctime>
#include <stdexcept>

#include "platform/ascii_case.h"
#include "platform/path_forms.h"
#include "report/report_file.h"
#include "runcontrol/scan_session.h"

namespace {

constexpr WStringView kUncPrefix = WSTR("\\\\?\\UNC\\");
constexpr const WCHAR* kBackupPrivilege = WSTR("SeBackupPrivilege");

// A UNC target \\server\share\... becomes \\?\UNC\server\share\...; the two
// leading characters are dropped whatever they are. A target that already
// holds the prefix anywhere is used as it is.
WString normalisedTarget(const WString& target)
{
    if (target.find(kUncPrefix) != WString::npos) {
        return target;
    }
    return WString(kUncPrefix) + (target.size() > 2 ? target.substr(2) : WString());
}

}  // namespace

ScanSession::ScanSession(int argc, WCHAR* argv[])
{
    if (argc < 2 || argc > 7) {
        throw Usage();
    }
    for (int i = 1; i < argc - 1; ++i) {
        WStringView option(argv[i]);
        if (equalsIgnoringAsciiCase(option, WSTR("-archiveusage"))) {
            archiveUsage = true;
        } else if (option == WSTR("-v")) {
            verbose = true;
        } else if (option == WSTR("-fixphs")) {
            fixPlaceholders = true;
        } else if (option == WSTR("-d")) {
            dumpReparseData = true;
        } else {
            throw Usage();
        }
    }
    // A target the shell has mangled, or a relative one, would be read as a
    // UNC path of its own; it is refused before anything is made.
    WString target(argv[argc - 1]);
    if (std::string problem = commandLinePathProblem(target); !problem.empty()) {
        throw std::runtime_error(problem);
    }
    if (!setPrivilege(kBackupPrivilege, true)) {
        throw std::runtime_error("Failed to set SE_BACKUP_NAME privilege");
    }
    try {
        targetPath = normalisedTarget(target);
        output.adopt(openReportFile(reportFileName(target, std::time(nullptr))));
    } catch (...) {
        setPrivilege(kBackupPrivilege, false);
        throw;
    }
}

ScanSession::~ScanSession()
{
    setPrivilege(kBackupPrivilege, false);
}
