// The archive point marker's name: a folder is an archive point when it has
// the alternate data stream of this name (folder:QMArchivePoint.xml).
#pragma once

#include "platform/win32.h"

constexpr WStringView kMarkerStreamName = WSTR("QMArchivePoint.xml");
