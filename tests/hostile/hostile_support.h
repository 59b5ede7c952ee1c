// What the hostile-input and fault tests share: the program run with a
// deadline (a run that hangs is killed and fails the test instead of
// holding up the suite), optionally stopped at the moment it opens a given
// name, so a test can make the file system change exactly there.
//
// The stop uses ptrace: at the entry of an open(2), openat(2) or openat2(2)
// whose last path component is the name and which asks for data access
// (not O_PATH), or once that open has returned, the program waits while
// the test acts; the file system then answers as it stands. Nothing is faked: it is the real
// program meeting a real change of the tree at that moment.
#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <fstream>
#include <functional>
#include <mutex>
#include <sstream>
#include <string>
#include <sys/ptrace.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

#include "tests/support/test_support.h"

extern char** environ;

namespace hostile {

// What to do when the program opens `name`.
struct OpenStop {
    std::string name;                // the last path component
    bool forWriting = false;         // only an open with write access
    std::function<void()> action;    // runs while the program waits
    int seen = 0;                    // how often it ran
    bool whenReturned = false;       // act once the open has returned, not before it runs
};

struct Run {
    int exitCode = -1;  // -1: ended by a signal
    bool timedOut = false;
    bool traceRefused = false;  // this system does not let the test trace the program
    std::string standardOutput;
    std::string standardError;
};

namespace detail {

inline constexpr int kTraceRefused = 125;

inline std::string readWhole(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    std::ostringstream bytes;
    bytes << in.rdbuf();
    return bytes.str();
}

inline std::string peekString(pid_t pid, unsigned long long address)
{
    std::string text;
    while (text.size() < 4096) {
        errno = 0;
        long word = ::ptrace(PTRACE_PEEKDATA, pid, address + text.size(), nullptr);
        if (errno != 0) {
            break;
        }
        char bytes[sizeof word];
        std::memcpy(bytes, &word, sizeof word);
        for (char c : bytes) {
            if (c == '\0') {
                return text;
            }
            text += c;
        }
    }
    return text;
}

// The path and flags of an open call at its entry, if it is one.
inline bool openArguments(pid_t pid, const __ptrace_syscall_info& info, std::string& path, unsigned long long& flags)
{
    switch (info.entry.nr) {
    case SYS_open:
        path = peekString(pid, info.entry.args[0]);
        flags = info.entry.args[1];
        return true;
    case SYS_openat:
        path = peekString(pid, info.entry.args[1]);
        flags = info.entry.args[2];
        return true;
#ifdef SYS_openat2
    case SYS_openat2: {
        path = peekString(pid, info.entry.args[1]);
        errno = 0;
        long how = ::ptrace(PTRACE_PEEKDATA, pid, info.entry.args[2], nullptr);  // open_how.flags comes first
        flags = errno == 0 ? static_cast<unsigned long long>(how) : 0;
        return true;
    }
#endif
    default:
        return false;
    }
}

}  // namespace detail

// Looks at one syscall stop of a traced run (its entry or its exit) while
// the program waits, acting on it if it is one the test waits for; says
// whether any of those is still to be met.
using AtSyscallStop = std::function<bool(pid_t program, const __ptrace_syscall_info& stop)>;

// Runs `binary` (TZ=UTC, in workingDirectory) to its end or until the
// deadline. With atStop, it runs traced, its syscall stops shown to atStop,
// until none is left to be met, or until it starts to exit. inChild runs in
// the child before the program starts (to set a resource limit, say).
inline Run runTraced(const std::string& binary, const std::vector<std::string>& arguments,
                     const std::string& workingDirectory, const AtSyscallStop& atStop,
                     std::chrono::seconds deadline = std::chrono::seconds(120),
                     const std::function<void()>& inChild = {})
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
    bool traced = static_cast<bool>(atStop);

    pid_t child = ::fork();
    if (child == 0) {
        int out = ::open(outPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
        int err = ::open(errPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
        if (out < 0 || err < 0 || ::dup2(out, 1) < 0 || ::dup2(err, 2) < 0 || ::chdir(workingDirectory.c_str()) != 0) {
            ::_exit(126);
        }
        if (inChild) {
            inChild();
        }
        if (traced) {
            if (::ptrace(PTRACE_TRACEME, 0, nullptr, nullptr) != 0) {
                ::_exit(detail::kTraceRefused);
            }
            ::raise(SIGSTOP);
        }
        testsupport::execProgram(binary, arguments, environment);
    }

    // The deadline: a watcher kills the child, whatever it is waiting for.
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
    if (traced && ::waitpid(child, &status, 0) == child && WIFSTOPPED(status)) {  // the SIGSTOP before execve
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
            if (::ptrace(PTRACE_GET_SYSCALL_INFO, child, sizeof info, &info) <= 0) {
                continue;
            }
            bool pending = atStop(child, info);
            // Detached once every stop was met, or as it exits, so that the
            // leak check of an instrumented build can stop its own threads.
            if (!pending || (info.op == PTRACE_SYSCALL_INFO_ENTRY && info.entry.nr == SYS_exit_group)) {
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

// Runs the program (TZ=UTC, in workingDirectory) to its end or until the
// deadline. With stops, it runs traced until each stop has been met once,
// or until it starts to exit. inChild runs in the child before the program
// starts.
inline Run runProgram(const std::vector<std::string>& arguments, const std::string& workingDirectory,
                      std::vector<OpenStop*> stops = {}, std::chrono::seconds deadline = std::chrono::seconds(120),
                      const std::function<void()>& inChild = {})
{
    OpenStop* returning = nullptr;  // met, to act when its open returns
    auto atStop = [&](pid_t program, const __ptrace_syscall_info& info) {
        if (info.op == PTRACE_SYSCALL_INFO_EXIT && returning != nullptr) {
            returning->action();
            ++returning->seen;
            returning = nullptr;
        }
        bool pending = false;
        std::string path;
        unsigned long long flags = 0;
        bool isOpen = info.op == PTRACE_SYSCALL_INFO_ENTRY && detail::openArguments(program, info, path, flags);
        for (OpenStop* stop : stops) {
            std::string last = path.substr(path.rfind('/') == std::string::npos ? 0 : path.rfind('/') + 1);
            bool writing = (flags & O_ACCMODE) != O_RDONLY;
            if (isOpen && stop->seen == 0 && returning != stop && last == stop->name && (flags & O_PATH) == 0 &&
                (!stop->forWriting || writing)) {
                if (stop->whenReturned) {
                    returning = stop;  // at this call's exit stop
                } else {
                    stop->action();
                    ++stop->seen;
                }
            }
            pending = pending || stop->seen == 0;
        }
        return pending;
    };
    return runTraced(STUBWARDEN_BINARY, arguments, workingDirectory,
                     stops.empty() ? AtSyscallStop() : AtSyscallStop(atStop), deadline, inChild);
}

// A run of the program and its one report (empty when tracing was refused).
struct Audit {
    Run run;
    std::string report;
};

// Runs the program in a folder of its own and reads the report it writes
// there; the run must write nothing on standard error.
inline Audit audit(const std::vector<std::string>& arguments, std::vector<OpenStop*> stops = {})
{
    testsupport::TempDir work;
    Audit result{runProgram(arguments, work.path(), std::move(stops)), ""};
    if (result.run.traceRefused) {
        return result;
    }
    EXPECT_EQ(result.run.standardError, "");
    result.report = testsupport::onlyReportBytes(work.path());
    return result;
}

}  // namespace hostile
