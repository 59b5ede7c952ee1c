// The report's own file on Linux: the layer creates files with mode 0666
// less the umask, so the umask is 077 around the one creation that must be
// private; the owner and type come from the descriptor.
#include "platform/own_file.h"

#include <sys/stat.h>
#include <unistd.h>

#include "platform/posix/handle_objects.h"

HANDLE createPrivateFile(LPCSTR name, DWORD access, DWORD flags)
{
    mode_t previous = ::umask(077);
    HANDLE file = CreateFileA(name, access, 0, nullptr, CREATE_NEW, flags, nullptr);
    DWORD error = GetLastError();
    ::umask(previous);
    SetLastError(error);
    return file;
}

bool isOwnRegularFile(HANDLE file)
{
    auto* object = posix::handleAs<posix::FileObject>(file);
    struct stat status {};
    return object != nullptr && !object->isStream && ::fstat(object->fd, &status) == 0 && S_ISREG(status.st_mode) &&
           status.st_uid == ::geteuid();
}
