// A folder named on a command line, in the two forms the rehearsal needs: its
// full path, for the rehearsal's own calls and messages, and the UNC path
// under which Stubwarden reaches it; and whether a path named there can be
// what its user meant.
#pragma once

#include <string>

#include "platform/win32.h"

// Empty when `path`, as a command line gave it, may be taken; otherwise one
// sentence that names it and says what to give instead:
//   Windows  every path may be taken
//   Linux    only a UNC path (two leading backslashes) or an absolute path: a
//            shell takes the backslashes of an unquoted UNC path away
//            (\\vm\dept arrives as \vmdept), and a relative path would be
//            read as a UNC path of its own
std::string commandLinePathProblem(WStringView path);

// `path` made absolute from the current folder: C:\work\x on Windows,
// /work/x on Linux (where a UNC path \\work\x names /work/x). Empty, with the
// last error set, when it cannot be made.
WString fullPath(const WString& path);

// The UNC path \\server\share\... of a full path:
//   Windows  \\server\share\x as it is, \\?\UNC\server\share\x as
//            \\server\share\x, and a drive path D:\x as the administrative
//            share \\localhost\D$\x
//   Linux    /srv/share/x as \\srv\share\x, the platform layer's mapping
//            read backwards
// Empty, with ERROR_BAD_PATHNAME, when there is none (on Linux: a name that
// holds a '\').
WString uncPath(const WString& fullPath);
