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
    testsupport::TempDir outputs;
    const std::string outPath = outputs / "out";
    const std::string errPath = outputs / "err";
    std::vector<std::string> environment;
    for (char** entry = environ; *entry != nullptr; ++entry) {
        if (std::strncmp(*entry, "TZ=", 3) != 0) {
            environment.emplace_back(*entry);
        }
    }
    environment.emplace_back("TZ=UTC");
    bool traced = !stops.empty();
    pid_t child = ::fork();
    if (child == 0) {
        int out = ::open(outPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
        int err = ::open(errPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
        if (out < 0 || err < 0 || ::dup2(out, 1) < 0 || ::dup2(err, 2) < 0 || ::chdir(workingDirectory.c_str()) != 0) {
            ::_exit(126);
        }
        if (traced) {
            if (::ptrace(PTRACE_TRACEME, 0, nullptr, nullptr) != 0) {
                ::_exit(detail::kTraceRefused);
            }
            ::raise(SIGSTOP);
        }
        testsupport::execProgram(binary, arguments, environment);
    }

    bool killed = false;
    bool ended = false;
    std::mutex lock;
    std::condition_variable done;
    std::thread watcher([&] {
        std::unique_lock<std::mutex> guard(lock);
        if (!done.wait_for(guard, deadline, [&] { return ended; })) {
            killed = true;
            ::kill(child, SIGKILL);
        }
    });

    int status = 0;
    if (traced && ::waitpid(child, &status, 0) == child && WIFSTOPPED(status)) {
        ::ptrace(PTRACE_SETOPTIONS, child, nullptr, PTRACE_O_TRACESYSGOOD | PTRACE_O_EXITKILL);
        int signal = 0;
        for (bool attached = true; attached;) {
            ::ptrace(PTRACE_SYSCALL, child, nullptr, signal);
            signal = 0;
            if (::waitpid(child, &status, 0) < 0 || WIFEXITED(status) || WIFSIGNALED(status)) {
                break;
            }
            if (WSTOPSIG(status) != (SIGTRAP | 0x80)) {
                signal = WSTOPSIG(status) == SIGTRAP || WSTOPSIG(status) == SIGSTOP ? 0 : WSTOPSIG(status);
                continue;
            }
            __ptrace_syscall_info info{};
            if (::ptrace(PTRACE_GET_SYSCALL_INFO, child, sizeof info, &info) <= 0 ||
                info.op != PTRACE_SYSCALL_INFO_ENTRY) {
                continue;
            }
            auto call = static_cast<long>(info.entry.nr);
            bool pending = false;
            if (call == SYS_openat || call == SYS_mkdirat || call == SYS_unlinkat) {
                std::string path = detail::peekString(child, info.entry.args[1]);
                std::string last = path.substr(path.rfind('/') == std::string::npos ? 0 : path.rfind('/') + 1);
                for (SyscallStop* stop : stops) {
                    if (stop->seen == 0 && stop->call == call && stop->name == last) {
                        stop->action();
                        stop->seen = 1;
                    }
                }
            }
            for (SyscallStop* stop : stops) {
                pending = pending || stop->seen == 0;
            }
            if (!pending || call == SYS_exit_group) {
                ::ptrace(PTRACE_DETACH, child, nullptr, 0);
                attached = false;
            }
        }
        if (!WIFEXITED(status) && !WIFSIGNALED(status)) {
            ::waitpid(child, &status, 0);
        }
    } else if (!traced) {
        ::waitpid(child, &status, 0);
    }
    {
        std::lock_guard<std::mutex> guard(lock);
        ended = true;
    }
    done.notify_one();
    watcher.join();

    Run run;
    run.timedOut = killed;
    run.traceRefused = traced && WIFEXITED(status) && WEXITSTATUS(status) == detail::kTraceRefused;
    run.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    run.standardOutput = detail::readWhole(outPath);
    run.standardError = detail::readWhole(errPath);
    EXPECT_FALSE(run.timedOut) << "the run did not end within " << deadline.count() << " s";
    return run;
}

}  // namespace hostile
