// Reading a file's reparse data through its reparse point, never recalling
// the file.
#pragma once

#include "platform/win32.h"

namespace placeholder {

// Opens the file for reading, reads its reparse data into the buffer of
// kBufferSize bytes with FSCTL_GET_REPARSE_POINT and closes it again.
// Throws X "CreateFile" or X "DeviceIoControl" (made after the close).
DWORD readReparseData(const WString& filePath, BYTE* buffer);

}  // namespace placeholder
