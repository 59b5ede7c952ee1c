// Time conversions, COM start-up and GUID comparison.
#include <cstring>
#include <ctime>

#include "platform/posix/handle_objects.h"
#include "platform/posix/last_error.h"

using namespace posix;

// Windows applies the zone's current offset, not the one in force on the
// date converted; so does this.
BOOL FileTimeToLocalFileTime(const FILETIME* utc, LPFILETIME local)
{
    if (utc == nullptr || local == nullptr) {
        return finish(ERROR_INVALID_PARAMETER);
    }
    time_t now = ::time(nullptr);
    struct tm parts {};
    if (::localtime_r(&now, &parts) == nullptr) {
        return finish(ERROR_INVALID_PARAMETER);
    }
    std::int64_t offsetTicks = static_cast<std::int64_t>(parts.tm_gmtoff) * 10000000;
    std::uint64_t ticks = fromFileTime(*utc);
    if ((offsetTicks < 0 && ticks < static_cast<std::uint64_t>(-offsetTicks)) ||
        (offsetTicks > 0 && ticks > 0x7FFFFFFFFFFFFFFFULL - static_cast<std::uint64_t>(offsetTicks))) {
        return finish(ERROR_INVALID_PARAMETER);
    }
    *local = toFileTime(ticks + static_cast<std::uint64_t>(offsetTicks));
    return finish(ERROR_SUCCESS);
}

BOOL FileTimeToSystemTime(const FILETIME* time, LPSYSTEMTIME system)
{
    if (time == nullptr || system == nullptr) {
        return finish(ERROR_INVALID_PARAMETER);
    }
    std::uint64_t ticks = fromFileTime(*time);
    if (ticks > 0x7FFFFFFFFFFFFFFFULL) {
        return finish(ERROR_INVALID_PARAMETER);
    }
    std::uint64_t seconds = ticks / 10000000;
    std::uint64_t days = seconds / 86400;
    std::uint64_t secondOfDay = seconds % 86400;
    // Civil date from days since 1601-01-01 (a Monday), proleptic Gregorian.
    std::int64_t z = static_cast<std::int64_t>(days) - 134774 + 719468;  // days since 0000-03-01
    std::int64_t era = z / 146097;
    std::int64_t dayOfEra = z - era * 146097;
    std::int64_t yearOfEra = (dayOfEra - dayOfEra / 1460 + dayOfEra / 36524 - dayOfEra / 146096) / 365;
    std::int64_t dayOfYear = dayOfEra - (365 * yearOfEra + yearOfEra / 4 - yearOfEra / 100);
    std::int64_t mp = (5 * dayOfYear + 2) / 153;
    std::int64_t day = dayOfYear - (153 * mp + 2) / 5 + 1;
    std::int64_t month = mp < 10 ? mp + 3 : mp - 9;
    std::int64_t year = yearOfEra + era * 400 + (month <= 2 ? 1 : 0);
    system->wYear = static_cast<WORD>(year);
    system->wMonth = static_cast<WORD>(month);
    system->wDay = static_cast<WORD>(day);
    system->wDayOfWeek = static_cast<WORD>((days + 1) % 7);  // 1601-01-01 was a Monday
    system->wHour = static_cast<WORD>(secondOfDay / 3600);
    system->wMinute = static_cast<WORD>(secondOfDay / 60 % 60);
    system->wSecond = static_cast<WORD>(secondOfDay % 60);
    system->wMilliseconds = static_cast<WORD>(ticks / 10000 % 1000);
    return finish(ERROR_SUCCESS);
}

HRESULT CoInitialize(LPVOID) { return S_OK; }

void CoUninitialize() {}

int UuidEqual(UUID* first, UUID* second, RPC_STATUS* status)
{
    if (status != nullptr) {
        *status = 0;
    }
    static const UUID nil{};
    const UUID* a = first != nullptr ? first : &nil;
    const UUID* b = second != nullptr ? second : &nil;
    return a->Data1 == b->Data1 && a->Data2 == b->Data2 && a->Data3 == b->Data3 &&
           std::memcmp(a->Data4, b->Data4, sizeof a->Data4) == 0;
}
