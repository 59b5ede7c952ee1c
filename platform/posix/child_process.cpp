// Running a program on Linux: posix_spawn, with the standard streams opened
// and the working folder changed in the child before the program starts.
#include "platform/child_process.h"

#include <cerrno>
#include <climits>
#include <fcntl.h>
#include <optional>
#include <string>
#include <unistd.h>

#include "platform/posix/last_error.h"
#include "platform/posix/path_mapping.h"
#include "platform/posix/spawn_program.h"
#include "platform/posix/text_conversion.h"

extern char** environ;

namespace {

// The Linux path of a Win32 path, absolute: the child changes its folder
// before it opens its streams' files and starts the program.
std::optional<std::string> absoluteFsPath(const WString& path)
{
    std::string fsPath;
    if (DWORD mapped = posix::mapPath(path.c_str(), fsPath); mapped != ERROR_SUCCESS) {
        SetLastError(mapped);
        return std::nullopt;
    }
    if (fsPath.front() == '/') {
        return fsPath;
    }
    std::string current(PATH_MAX, '\0');
    if (::getcwd(current.data(), current.size()) == nullptr) {
        SetLastError(posix::win32ErrorFromErrno(errno));
        return std::nullopt;
    }
    current.resize(current.find('\0'));
    return current + "/" + fsPath;
}

}  // namespace

WString programBesideThisOne(WStringView name)
{
    std::string own(PATH_MAX, '\0');
    ssize_t length = ::readlink("/proc/self/exe", own.data(), own.size());
    if (length <= 0 || static_cast<std::size_t>(length) >= own.size()) {
        SetLastError(length < 0 ? posix::win32ErrorFromErrno(errno) : ERROR_FILENAME_EXCED_RANGE);
        return {};
    }
    own.resize(static_cast<std::size_t>(length));
    own.erase(own.rfind('/') + 1);
    return posix::decodeFileSystemBytes(own) + WString(name);
}

ChildOutcome runChildProcess(const WString& program, const std::vector<WString>& arguments,
                             const WString& workingFolder, const WString& outputFile, const WString& errorFile)
{
    ChildOutcome outcome;
    std::optional<std::string> programPath = absoluteFsPath(program);
    std::optional<std::string> folderPath = absoluteFsPath(workingFolder);
    std::optional<std::string> outputPath = absoluteFsPath(outputFile);
    std::optional<std::string> errorPath = absoluteFsPath(errorFile);
    if (!programPath || !folderPath || !outputPath || !errorPath) {
        outcome.error = GetLastError();
        return outcome;
    }
    std::vector<std::string> words{*programPath};
    for (const WString& argument : arguments) {
        std::optional<std::string> bytes = posix::encodeFileSystemBytes(argument);
        if (!bytes) {
            outcome.error = ERROR_NO_UNICODE_TRANSLATION;
            return outcome;
        }
        words.push_back(*bytes);
    }

    posix::SpawnFileActions actions;
    constexpr int kNewFile = O_WRONLY | O_CREAT | O_EXCL;
    int failed = ::posix_spawn_file_actions_addopen(actions.get(), 0, "/dev/null", O_RDONLY, 0);
    failed = failed ? failed : ::posix_spawn_file_actions_addopen(actions.get(), 1, outputPath->c_str(), kNewFile, 0644);
    failed = failed ? failed : ::posix_spawn_file_actions_addopen(actions.get(), 2, errorPath->c_str(), kNewFile, 0644);
    failed = failed ? failed : ::posix_spawn_file_actions_addchdir_np(actions.get(), folderPath->c_str());
    pid_t child = -1;
    failed = failed ? failed : posix::spawnProgram(child, words, actions, environ);
    if (failed != 0) {
        outcome.error = posix::win32ErrorFromErrno(failed);
        return outcome;
    }
    outcome.error = posix::waitForExit(child, outcome.exitCode);
    outcome.started = outcome.error == ERROR_SUCCESS;
    return outcome;
}
