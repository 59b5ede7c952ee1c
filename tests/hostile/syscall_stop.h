// Any of the companion programs run with a deadline, stopped at the entry of
// a given file system call on a given name (openat, mkdirat, unlinkat) so
// that a test can change the tree exactly there: the link swap of an
// attacker, at the moment that matters, every time. The program's own
// children are not traced. Built on hostile_support.h.
#pragma once

#include "tests/hostile/hostile_support.h"

namespace hostile {

// What to do when the program calls `call` on a path whose last component is `name`.
struct SyscallStop {
    long call;                    // SYS_openat, SYS_mkdirat or SYS_unlinkat
    std::string name;
    std::function<void()> action;  // runs while the program waits
    int seen = 0;                 // 1 once it ran
};

// Runs `binary` (TZ=UTC, in workingDirectory) until it ends or the
// deadline passes; traced until every stop was met once.
inline Run runWithStops(const std::string& binary, const std::vector<std::string>& arguments,
                        const std::string& workingDirectory, std::vector<SyscallStop*> stops = {},
                        std::chrono::seconds deadline = std::chrono::seconds(120))
{
    auto atStop = [&](pid_t program, const __ptrace_syscall_info& info) {
        auto call = static_cast<long>(info.entry.nr);
        if (info.op == PTRACE_SYSCALL_INFO_ENTRY &&
            (call == SYS_openat || call == SYS_mkdirat || call == SYS_unlinkat)) {
            std::string path = detail::peekString(program, info.entry.args[1]);
            std::string last = path.substr(path.rfind('/') == std::string::npos ? 0 : path.rfind('/') + 1);
            for (SyscallStop* stop : stops) {
                if (stop->seen == 0 && stop->call == call && stop->name == last) {
                    stop->action();
                    stop->seen = 1;
                }
            }
        }
        bool pending = false;
        for (SyscallStop* stop : stops) {
            pending = pending || stop->seen == 0;
        }
        return pending;
    };
    return runTraced(binary, arguments, workingDirectory, stops.empty() ? AtSyscallStop() : AtSyscallStop(atStop),
                     deadline);
}

}  // namespace hostile
