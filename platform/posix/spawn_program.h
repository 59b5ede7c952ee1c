// Starting a program and waiting for its end on Linux: what the rehearsal's
// runChildProcess and the layer's question to Samba's testparm share.
#pragma once

#include <spawn.h>
#include <string>
#include <sys/types.h>
#include <vector>

#include "platform/win32.h"

namespace posix {

// posix_spawn's file actions, freed on every path.
class SpawnFileActions {
public:
    SpawnFileActions() { ::posix_spawn_file_actions_init(&actions_); }
    ~SpawnFileActions() { ::posix_spawn_file_actions_destroy(&actions_); }
    SpawnFileActions(const SpawnFileActions&) = delete;
    SpawnFileActions& operator=(const SpawnFileActions&) = delete;
    posix_spawn_file_actions_t* get() { return &actions_; }

private:
    posix_spawn_file_actions_t actions_;
};

// Starts the program words[0] (an absolute path) with `words` as its
// arguments and `environment` (ending in nullptr) as its environment, its
// streams and folder set up by `actions`. SIGPIPE and SIGXFSZ, which this
// layer's programs ignore, are back at their defaults in the child, and no
// signal is blocked. Gives 0, or the errno value of the failure.
int spawnProgram(pid_t& child, std::vector<std::string>& words, SpawnFileActions& actions, char* const environment[]);

// Waits for the end of `child`: ERROR_SUCCESS and its exit code, 128 + the
// signal for a program that a signal ended, as shells show it; or the Win32
// code of the failure.
DWORD waitForExit(pid_t child, DWORD& exitCode);

}  // namespace posix
