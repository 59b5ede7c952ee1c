// Stubwarden: audits the archive placeholders of a share.
//
// Exit codes: 0 no bad placeholder, 2 bad placeholders found, 1 the run
// failed (its reason on standard error).
#include <exception>
#include <iostream>

#include "platform/console.h"
#include "platform/text_conversion.h"
#include "report/failure.h"
#include "report/text_format.h"
#include "runcontrol/scan_session.h"

namespace {

constexpr WStringView kUsageLine = WSTR("Usage: Stubwarden [-v] [-d] [-fixphs] [-ArchiveUsage] <target>");

constexpr const char* kHelp = R"(
       stubwarden --help | --version

Audits the archive placeholders below <target>, a folder or one file of a
share, given as a UNC path (\\server\share\folder; on Linux also an absolute
path, /srv/share/folder; quote a UNC path in a Linux shell). It reads every
file's reparse data without recalling anything and writes what it finds to a
report file in the current folder, named from the target and the start time.

  -v             a line for every file, with its creation time, size and
                 attributes
  -d             the raw reparse data of every bad placeholder
  -fixphs        repair the misplaced placeholder records (this writes to the
                 share, with the account's own rights: rehearse first, with
                 stubwarden-rehearse)
  -ArchiveUsage  (any letter case) per archive point, the archived and the
                 non-archived sizes in KB

The options come before the target. Exit code 0: no bad placeholder; 2: bad
placeholders found; 1: the run failed (the reason on standard error).
See the manual page stubwarden(1); in the Windows zip, man\stubwarden.1.txt.
)";

// No target looks like these (a UNC path or an absolute path), so wherever
// one stands on the command line it asks for the help or the version, and
// nothing else is done.
bool isHelpRequest(WStringView argument)
{
    return argument == WSTR("--help") || argument == WSTR("-h") || argument == WSTR("-?") || argument == WSTR("/?");
}

}  // namespace

int wmain(int argc, WCHAR* argv[])
{
    for (int i = 1; i < argc; ++i) {
        WStringView argument(argv[i]);
        if (isHelpRequest(argument)) {
            std::cout << consoleText(kUsageLine) << kHelp << std::flush;
            return 0;
        }
        if (argument == WSTR("--version")) {
            std::cout << "stubwarden " STUBWARDEN_VERSION << std::endl;
            return 0;
        }
    }
    int result = 1;
    CoInitialize(nullptr);
    try {
        ScanSession session(argc, argv);
        result = session.run();
    } catch (const Usage&) {
        writeErrorLine(kUsageLine);
    } catch (const X& failure) {
        writeErrorLine(WString(WSTR("Error:")) + failure.message + WSTR(":") + decimalText(failure.errorCode) +
                       WSTR(", path:") + failure.path);
    } catch (const std::exception& failure) {
        writeErrorLine(std::string("Error:") + failure.what());
    }
    CoUninitialize();
    return result;
}
