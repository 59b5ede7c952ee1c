// Running another program to its end, on both platforms: the rehearsal runs
// the real Stubwarden this way.
#pragma once

#include <vector>

#include "platform/win32.h"

// The program `name` in the folder of the running program's executable:
// "stubwarden" is C:\Tools\stubwarden.exe beside C:\Tools\stubwarden-rehearse.exe,
// /usr/bin/stubwarden beside /usr/bin/stubwarden-rehearse. Empty, with the
// last error set, when the running program's own path cannot be had.
WString programBesideThisOne(WStringView name);

struct ChildOutcome {
    bool started = false;
    DWORD error = ERROR_SUCCESS;  // why it did not start
    // Linux: 128 + the signal for a program that a signal ended, as shells show it.
    DWORD exitCode = 0;
};

// Runs `program` with `arguments` in `workingFolder`, with nothing on its
// standard input and its standard output and error written to the new files
// `outputFile` and `errorFile`, and waits for its end.
ChildOutcome runChildProcess(const WString& program, const std::vector<WString>& arguments,
                             const WString& workingFolder, const WString& outputFile, const WString& errorFile);
