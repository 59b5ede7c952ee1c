// The report file: its name, made from the target as given and the start
// time, and its opening in the current folder.
#pragma once

#include <ctime>
#include <string>

#include "platform/win32.h"

// "\\fs01\users\ann" at 1700000000 -> "fs01-users-ann-1700000000.txt".
// Every separator left becomes "-", so the report lands in the current folder.
// A name that would pass 255 bytes keeps as much of its start as fits with
// "~", 16 hexadecimal digits of a hash of the whole, and the seconds.
std::string reportFileName(const WString& target, std::time_t startTime);

// Creates the report as a new file only its owner may read, or empties an
// existing one that is a regular file of the caller's own with no other
// name; opened without sharing. Anything else under the name (a link, a
// pipe, another account's file) is neither followed nor emptied: throws
// std::runtime_error "Failed to open report file:<name>".
HANDLE openReportFile(const std::string& name);
