// The console streams. On Windows the wide error stream is the C++ runtime's;
// on Linux wide text goes out as UTF-8, and the narrow stream is the same
// byte stream, so the two never fight over the stream's orientation.
#pragma once

#include <string_view>

#include "platform/win32.h"

// One line on standard error, ended and flushed.
void writeErrorLine(WStringView text);
void writeErrorLine(std::string_view text);

// A progress mark on standard output, flushed at once.
void writeProgress(std::string_view text);
