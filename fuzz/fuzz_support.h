// What the fuzz targets share: a check that ends the process with its
// reason, scratch files on a file system that keeps large xattrs, and one
// ScanSession for the whole fuzzing process.
#pragma once

#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>

#include "platform/win32.h"
#include "runcontrol/scan_session.h"

// A property that must hold for every input; libFuzzer keeps the input that
// breaks it as a crash.
#define FUZZ_CHECK(condition)                                                                       \
    do {                                                                                            \
        if (!(condition)) {                                                                         \
            std::fprintf(stderr, "FUZZ_CHECK failed: %s (%s:%d)\n", #condition, __FILE__, __LINE__); \
            std::abort();                                                                           \
        }                                                                                           \
    } while (false)

namespace fuzzsupport {

// A fresh folder for this process, on tmpfs where there is one (it keeps
// xattrs up to 64 KiB, ext4 only about 4 KiB). Removed at exit.
const std::string& scratchFolder();

// The Win32 (UNC) name of a Linux path: "/dev/shm/x" -> "\\?\UNC\dev\shm\x".
WString uncName(const std::string& linuxPath);

// One session for the process, made with these options and the scratch
// folder as its target, its report in the scratch folder. It lives until
// the process ends.
ScanSession& session(std::initializer_list<const char*> options);

// Empties the session's report, and reads it back (UTF-16 code units).
void clearReport(ScanSession& run);
WString reportText();

}  // namespace fuzzsupport
