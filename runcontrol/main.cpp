// Stubwarden: audits the archive placeholders of a share.
//
// Exit codes: 0 no bad placeholder, 2 bad placeholders found, 1 the run
// failed (its reason on standard error).
#include <exception>

#include "platform/console.h"
#include "report/failure.h"
#include "report/text_format.h"
#include "runcontrol/scan_session.h"

int wmain(int argc, WCHAR* argv[])
{
    int result = 1;
    CoInitialize(nullptr);
    try {
        ScanSession session(argc, argv);
        result = session.run();
    } catch (const Usage&) {
        writeErrorLine(WStringView(WSTR("Usage: Stubwarden [-v] [-d] [-fixphs] [-ArchiveUsage] <target>")));
    } catch (const X& failure) {
        writeErrorLine(WString(WSTR("Error:")) + failure.message + WSTR(":") + decimalText(failure.errorCode) +
                       WSTR(", path:") + failure.path);
    } catch (const std::exception& failure) {
        writeErrorLine(std::string("Error:") + failure.what());
    }
    CoUninitialize();
    return result;
}
