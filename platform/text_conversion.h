// The program's UTF-16 text to narrow text and back, one implementation per
// platform (text_conversion_win32.cpp, posix/text_conversion.cpp).
//
//   Windows  UTF-8 through the code page conversions; the console takes the
//            ANSI code page.
//   Linux    narrow text is what file names are: bytes, usually UTF-8. Bytes
//            that are not UTF-8 map to the lone surrogates U+DC80..U+DCFF and
//            back, so every name round-trips; other lone surrogates become
//            U+FFFD. The console takes the same.
#pragma once

#include <string>
#include <string_view>

#include "platform/win32.h"

WString wideText(std::string_view utf8);
std::string utf8Text(WStringView text);

// A line for the console streams.
std::string consoleText(WStringView text);
