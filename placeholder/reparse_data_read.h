// Reading a file's reparse data through its reparse point, never recalling
// the file.
#pragma once

#include "platform/win32.h"
#include "report/file_identity.h"

namespace placeholder {

// Opens the file for reading, reads its reparse data into the buffer of
// kBufferSize bytes with FSCTL_GET_REPARSE_POINT and closes it again; with
// `identity`, also the identity of the file the data was read from.
// Throws X "CreateFile", X "DeviceIoControl" or X "GetFileInformationByHandle"
// (made after the close). Past the record the buffer then reads as zeros as
// far as the checks, the dump and the repair read it, so the caller need not
// clear it first.
DWORD readReparseData(const WString& filePath, BYTE* buffer, FileIdentity* identity = nullptr);

}  // namespace placeholder
