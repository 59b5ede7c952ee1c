#include "runcontrol/scan_session.h"

bool ScanSession::CheckIsFolderAnArchivePoint(const WString&, WString&, WString&)
{
    return false;
}
