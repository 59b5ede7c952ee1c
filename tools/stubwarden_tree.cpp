#include "platform/win32.h"

int wmain(int, WCHAR*[]) { return 1; }
