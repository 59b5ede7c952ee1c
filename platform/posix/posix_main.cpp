// The process entry on Linux: the arguments become UTF-16 (bytes that are not
// UTF-8 escaped, so every name round-trips), and the program's wmain runs as
// it does on Windows.
#include <csignal>
#include <vector>

#include "platform/posix/text_conversion.h"
#include "platform/win32.h"

int wmain(int argc, WCHAR* argv[]);

int main(int argc, char* argv[])
{
    // Windows has neither: a write past a file size limit or into a closed
    // pipe fails, it does not end the process.
    std::signal(SIGXFSZ, SIG_IGN);
    std::signal(SIGPIPE, SIG_IGN);

    std::vector<WString> arguments;
    arguments.reserve(static_cast<std::size_t>(argc));
    for (int i = 0; i < argc; ++i) {
        arguments.push_back(posix::decodeFileSystemBytes(argv[i]));
    }
    std::vector<WCHAR*> pointers;
    for (WString& argument : arguments) {
        pointers.push_back(argument.data());
    }
    pointers.push_back(nullptr);
    return wmain(argc, pointers.data());
}
