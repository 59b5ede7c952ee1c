#include "placeholder/file_description.h"

#include <cstdint>
#include <ctime>

#include "report/text_format.h"

namespace placeholder {
namespace {

// The calendar conversion covers 1970-01-01 00:00:00 to 3000-12-31 23:59:59 UTC.
constexpr std::int64_t kLastConvertibleSecond = 32535215999;

bool utcParts(std::time_t seconds, std::tm& parts)
{
#ifdef _WIN32
    return gmtime_s(&parts, &seconds) == 0;
#else
    return gmtime_r(&seconds, &parts) != nullptr;
#endif
}

}  // namespace

WString creationTimeText(const FILETIME& creationTime)
{
    FILETIME local{};
    SYSTEMTIME parts{};
    if (!FileTimeToLocalFileTime(&creationTime, &local) || !FileTimeToSystemTime(&local, &parts)) {
        return WString();
    }
    std::time_t seconds = 0;
    if (parts.wYear >= 1900) {
        std::tm calendar{};
        calendar.tm_year = parts.wYear - 1900;
        calendar.tm_mon = parts.wMonth - 1;
        calendar.tm_mday = parts.wDay;
        calendar.tm_hour = parts.wHour;
        calendar.tm_min = parts.wMinute;
        calendar.tm_sec = parts.wSecond;
        calendar.tm_isdst = -1;
        seconds = std::mktime(&calendar);
        // Outside the calendar's range the time is not shown, rather than
        // shown wrong.
        if (seconds < 0 || static_cast<std::int64_t>(seconds) > kLastConvertibleSecond) {
            return WString();
        }
    }
    std::tm utc{};
    char text[128];
    if (!utcParts(seconds, utc)) {
        return WString();
    }
    std::size_t length = std::strftime(text, sizeof text, "%d/%m/%y %H:%M:%S GMT", &utc);
    return widenText(std::string_view(text, length));
}

WString fileDescription(const WIN32_FIND_DATAW& findData)
{
    std::uint64_t size = (static_cast<std::uint64_t>(findData.nFileSizeHigh) << 32) | findData.nFileSizeLow;
    WString text = WSTR("(Created:");
    text += creationTimeText(findData.ftCreationTime);
    text += WSTR(", Size:");
    text += signedDecimalText(static_cast<std::int64_t>(size));
    if ((findData.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0) {
        text += WSTR(", Reparse point");
    }
    if ((findData.dwFileAttributes & FILE_ATTRIBUTE_SPARSE_FILE) != 0) {
        text += WSTR(", Sparse");
    }
    if ((findData.dwFileAttributes & FILE_ATTRIBUTE_OFFLINE) != 0) {
        text += WSTR(", Offline");
    }
    text += WSTR("):");
    return text;
}

}  // namespace placeholder
