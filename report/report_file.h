// The report file: its name, made from the target as given and the start
// time, and its opening in the current folder.
#pragma once

#include <ctime>
#include <string>

#include "platform/win32.h"

// "\\fs01\users\ann" at 1700000000 -> "fs01-users-ann-1700000000.txt".
// Every separator left becomes "-", so the report lands in the current folder.
std::string reportFileName(const WString& target, std::time_t startTime);

// Creates the report, or empties an existing one, opened without sharing;
// a link under the name is neither followed nor emptied. Throws
// std::runtime_error "Failed to open report file:<name>".
HANDLE openReportFile(const std::string& name);
