#include "platform/unique_resource.h"
#include "report/failure.h"
#include "runcontrol/scan_session.h"

// A folder is walked, a single file checked (in either mode); then the
// summary. 2 when a bad placeholder was found, even if it was repaired.
int ScanSession::run()
{
    DWORD attributes = GetFileAttributesW(targetPath.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES) {
        throw X(WSTR("GetFileAttributes"), targetPath);
    }
    if ((attributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
        walkFolder(targetPath, WString());
    } else {
        WIN32_FIND_DATAW findData{};
        UniqueFindHandle find(FindFirstFileW(targetPath.c_str(), &findData));
        if (!find) {
            throw X(WSTR("FindFirstFileExW"), targetPath);
        }
        checkFile(targetPath, findData);
    }
    writeSummary();
    return badPlaceholders != 0 ? 2 : 0;
}
