// The console streams. Wide text goes out on the narrow stream, in the ANSI
// code page on Windows and as UTF-8 on Linux, so a line is never cut short
// and the two kinds of line never fight over the stream's orientation.
#pragma once

#include <string_view>

#include "platform/win32.h"

// One line on standard error, ended and flushed.
void writeErrorLine(WStringView text);
void writeErrorLine(std::string_view text);

// A progress mark on standard output, flushed at once.
void writeProgress(std::string_view text);
