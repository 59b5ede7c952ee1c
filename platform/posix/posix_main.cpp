// The process entry on Linux: the arguments become UTF-16 (bytes that are not
// UTF-8 escaped, so every name round-trips), and the program's wmain runs as
// it does on Windows.
#include <csignal>
#include <fcntl.h>
#include <unistd.h>
#include <vector>

#include "platform/posix/text_conversion.h"
#include "platform/win32.h"

int wmain(int argc, WCHAR* argv[]);

int main(int argc, char* argv[])
{
    // Started with a standard stream closed (">&-", as cron and service
    // managers may), the report would be opened on that descriptor, and the
    // progress dots or the error line written into it. Each closed one is
    // opened on /dev/null first (open takes the lowest free descriptor).
    for (int fd = 0; fd <= 2; ++fd) {
        if (::fcntl(fd, F_GETFD) < 0 && ::open("/dev/null", O_RDWR) != fd) {
            constexpr char kFailure[] = "Error:Failed to open /dev/null for a closed standard stream\n";
            [[maybe_unused]] ssize_t written = ::write(2, kFailure, sizeof kFailure - 1);
            return 1;
        }
    }
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
