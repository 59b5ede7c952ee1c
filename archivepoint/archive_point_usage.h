// One archive point's totals, and the table of them by identifier.
#pragma once

#include <cstdint>
#include <map>
#include <utility>

#include "platform/win32.h"

struct ArchivePointUsage {
    ArchivePointUsage(WString root, WString name) : rootPath(std::move(root)), archiveName(std::move(name)) {}

    std::uint64_t archivedOriginalSize = 0;
    std::uint64_t nonArchivedOriginalSize = 0;
    WString rootPath;
    WString archiveName;
};

// Ordered by identifier, code unit by code unit as unsigned 16-bit values
// (WCHAR is unsigned on both platforms); an insert keeps an existing entry.
using UsageTable = std::map<WString, ArchivePointUsage>;
