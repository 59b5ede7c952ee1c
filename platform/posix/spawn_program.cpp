#include "platform/posix/spawn_program.h"

#include <cerrno>
#include <csignal>
#include <sys/wait.h>

#include "platform/posix/last_error.h"

namespace posix {

int spawnProgram(pid_t& child, std::vector<std::string>& words, SpawnFileActions& actions, char* const environment[])
{
    std::vector<char*> argv;
    for (std::string& word : words) {
        argv.push_back(word.data());
    }
    argv.push_back(nullptr);
    SpawnAttributes attributes;
    sigset_t defaults;
    sigset_t none;
    ::sigemptyset(&defaults);
    ::sigaddset(&defaults, SIGPIPE);
    ::sigaddset(&defaults, SIGXFSZ);
    ::sigemptyset(&none);
    int failed = ::posix_spawnattr_setsigdefault(attributes.get(), &defaults);
    failed = failed ? failed : ::posix_spawnattr_setsigmask(attributes.get(), &none);
    failed = failed ? failed : ::posix_spawnattr_setflags(attributes.get(), POSIX_SPAWN_SETSIGDEF | POSIX_SPAWN_SETSIGMASK);
    return failed ? failed : ::posix_spawn(&child, argv[0], actions.get(), attributes.get(), argv.data(), environment);
}

DWORD waitForExit(pid_t child, DWORD& exitCode)
{
    int status = 0;
    pid_t waited = -1;
    do {
        waited = ::waitpid(child, &status, 0);
    } while (waited < 0 && errno == EINTR);
    if (waited < 0) {
        return win32ErrorFromErrno(errno);
    }
    exitCode = WIFEXITED(status) ? static_cast<DWORD>(WEXITSTATUS(status)) : static_cast<DWORD>(128 + WTERMSIG(status));
    return ERROR_SUCCESS;
}

}  // namespace posix
