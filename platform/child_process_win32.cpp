// Running a program on Windows: CreateProcessW, with the standard handles
// given to the child.
#include "platform/child_process.h"

#include "platform/unique_resource.h"

namespace {

// One argument as the C runtime of the child splits its command line again:
// in double quotes when it is empty or holds a blank or a quote, with the
// backslashes before a quote (and before the closing quote) doubled.
WString quotedArgument(const WString& argument)
{
    if (!argument.empty() && argument.find_first_of(L" \t\n\v\"") == WString::npos) {
        return argument;
    }
    WString quoted = L"\"";
    std::size_t backslashes = 0;
    for (WCHAR unit : argument) {
        if (unit == L'\\') {
            ++backslashes;
            continue;
        }
        quoted.append(unit == L'"' ? 2 * backslashes + 1 : backslashes, L'\\');
        backslashes = 0;
        quoted += unit;
    }
    quoted.append(2 * backslashes, L'\\');
    quoted += L'"';
    return quoted;
}

UniqueHandle inheritableFile(const WString& path, DWORD access, DWORD disposition)
{
    SECURITY_ATTRIBUTES inherited{sizeof inherited, nullptr, TRUE};
    return UniqueHandle(CreateFileW(path.c_str(), access, FILE_SHARE_READ | FILE_SHARE_WRITE, &inherited, disposition,
                                    FILE_ATTRIBUTE_NORMAL, nullptr));
}

}  // namespace

WString programBesideThisOne(WStringView name)
{
    WString own(32768, L'\0');
    DWORD length = GetModuleFileNameW(nullptr, own.data(), static_cast<DWORD>(own.size()));
    if (length == 0 || length >= own.size()) {
        return {};
    }
    own.resize(length);
    own.erase(own.find_last_of(L"\\/") + 1);
    return own + WString(name) + L".exe";
}

ChildOutcome runChildProcess(const WString& program, const std::vector<WString>& arguments,
                             const WString& workingFolder, const WString& outputFile, const WString& errorFile)
{
    ChildOutcome outcome;
    UniqueHandle input = inheritableFile(L"NUL", GENERIC_READ, OPEN_EXISTING);
    UniqueHandle output = input ? inheritableFile(outputFile, GENERIC_WRITE, CREATE_NEW) : UniqueHandle();
    UniqueHandle error = output ? inheritableFile(errorFile, GENERIC_WRITE, CREATE_NEW) : UniqueHandle();
    if (!error) {
        outcome.error = GetLastError();
        return outcome;
    }
    WString commandLine = quotedArgument(program);
    for (const WString& argument : arguments) {
        commandLine += L" " + quotedArgument(argument);
    }
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdInput = input.get();
    startup.hStdOutput = output.get();
    startup.hStdError = error.get();
    PROCESS_INFORMATION started{};
    if (!CreateProcessW(program.c_str(), commandLine.data(), nullptr, nullptr, TRUE, 0, nullptr,
                        workingFolder.c_str(), &startup, &started)) {
        outcome.error = GetLastError();
        return outcome;
    }
    UniqueProcessHandle process(started.hProcess);
    UniqueProcessHandle thread(started.hThread);
    DWORD exitCode = 0;
    if (WaitForSingleObject(process.get(), INFINITE) != WAIT_OBJECT_0 || !GetExitCodeProcess(process.get(), &exitCode)) {
        outcome.error = GetLastError();
        return outcome;
    }
    outcome.started = true;
    outcome.exitCode = exitCode;
    return outcome;
}
