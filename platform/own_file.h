// The report file's two needs that the Win32 calls alone do not say the same
// way on both platforms: a new file only its owner may read, and whether an
// existing one is the caller's own.
#pragma once

#include "platform/win32.h"

// CreateFileA(name, access, 0, nullptr, CREATE_NEW, flags): a new file, not
// shared. Linux: mode 0600, whatever the umask. Windows: the ACL the folder
// gives every new file in it. ERROR_FILE_EXISTS when anything has the name.
HANDLE createPrivateFile(LPCSTR name, DWORD access, DWORD flags);

// Whether the handle is on a regular file (not a folder, link, pipe or
// device) that the caller's account owns: Linux, its owner is the effective
// user; Windows, its owner is the token's user or the owner the token gives
// what it creates (an administrator's new files may belong to
// Administrators). On Windows the handle needs READ_CONTROL access.
bool isOwnRegularFile(HANDLE file);
