// The verbose description written right after a file's path:
// "(Created:<time>, Size:<bytes>[, Reparse point][, Sparse][, Offline]):"
#pragma once

#include "platform/win32.h"

namespace placeholder {

WString fileDescription(const WIN32_FIND_DATAW& findData);

// The creation time, through the local zone's current offset and back, in
// UTC: "%d/%m/%y %H:%M:%S GMT". Empty when it cannot be shown.
WString creationTimeText(const FILETIME& creationTime);

}  // namespace placeholder
