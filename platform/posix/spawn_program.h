// Starting a program and waiting for its end on Linux: what the rehearsal's
// runChildProcess and the layer's question to Samba's testparm share.
#pragma once

#include <spawn.h>
#include <string>
#include <sys/types.h>
#include <vector>

#include "platform/posix/layer_private.h"
#include "platform/win32.h"

namespace posix {

// An object of posix_spawn's (file actions, attributes), initialised when
// made and destroyed on every path.
template <typename Object, int (*initialise)(Object*), int (*destroy)(Object*)>
class SpawnObject {
public:
    SpawnObject() { initialise(&object_); }
    ~SpawnObject() { destroy(&object_); }
    SpawnObject(const SpawnObject&) = delete;
    SpawnObject& operator=(const SpawnObject&) = delete;
    Object* get() { return &object_; }

private:
    Object object_;
};

using SpawnFileActions = SpawnObject<posix_spawn_file_actions_t, ::posix_spawn_file_actions_init,
                                     ::posix_spawn_file_actions_destroy>;
using SpawnAttributes = SpawnObject<posix_spawnattr_t, ::posix_spawnattr_init, ::posix_spawnattr_destroy>;

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
