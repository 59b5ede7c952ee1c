// The one include through which the program reaches the operating system.
//
// On Windows this is the real Win32 API. On Linux it is a small subset of it
// with the same names, types, constants and error codes (posix/win32_subset.h).
// Wide strings are UTF-16 code units on both: wchar_t on Windows, char16_t on
// Linux, so key order and byte counts are the same everywhere.
#pragma once

#ifdef _WIN32
#  ifndef WIN32_LEAN_AND_MEAN
#    define WIN32_LEAN_AND_MEAN
#  endif
#  ifndef NOMINMAX
#    define NOMINMAX
#  endif
#  include <windows.h>
#  include <winioctl.h>
#  include <rpc.h>
#  include <objbase.h>
#  define WSTR(text) L##text
#else
#  define STUBWARDEN_PLATFORM_WIN32_H  // the subset is reached through this header only
#  include "platform/posix/win32_subset.h"
#  define WSTR(text) u##text
#endif

#include <string>
#include <string_view>

using WString = std::basic_string<WCHAR>;
using WStringView = std::basic_string_view<WCHAR>;
