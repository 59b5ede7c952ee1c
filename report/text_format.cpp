#include "report/text_format.h"

#include <algorithm>
#include <cmath>

WString decimalText(std::uint64_t value)
{
    WCHAR digits[20];
    int count = 0;
    do {
        digits[count++] = static_cast<WCHAR>(WSTR('0') + value % 10);
        value /= 10;
    } while (value != 0);
    WString text(digits, static_cast<std::size_t>(count));
    std::reverse(text.begin(), text.end());
    return text;
}

WString signedDecimalText(std::int64_t value)
{
    if (value >= 0) {
        return decimalText(static_cast<std::uint64_t>(value));
    }
    return WSTR("-") + decimalText(0 - static_cast<std::uint64_t>(value));
}

WString hexText(std::uint64_t value, int minDigits)
{
    constexpr WCHAR kDigits[] = WSTR("0123456789abcdef");
    WString text;
    do {
        text += kDigits[value & 0xF];
        value >>= 4;
    } while (value != 0);
    while (text.size() < static_cast<std::size_t>(minDigits)) {
        text += WSTR('0');
    }
    std::reverse(text.begin(), text.end());
    return text;
}

WString widenText(std::string_view narrow)
{
    WString text;
    text.reserve(narrow.size());
    for (char c : narrow) {
        text += static_cast<WCHAR>(static_cast<unsigned char>(c));
    }
    return text;
}

WString kilobyteText(std::uint64_t bytes)
{
    // The total goes through a double (a count of 2^53 and above is rounded
    // there) and is then exactly that double / 1024. Rounding that exact
    // value to hundredths in integers keeps halves going up (128 bytes is
    // 0.125 KB, written 0.13), whatever the C library's printf does.
    double total = static_cast<double>(bytes);
    double wholeKilobytes = std::floor(total / 1024.0);
    auto whole = static_cast<std::uint64_t>(wholeKilobytes);
    auto rest = static_cast<std::uint64_t>(total - wholeKilobytes * 1024.0);  // exact, below 1024
    std::uint64_t hundredths = (rest * 100 + 512) / 1024;
    if (hundredths == 100) {
        ++whole;
        hundredths = 0;
    }
    return decimalText(whole) + WSTR(".") + (hundredths < 10 ? WSTR("0") : WSTR("")) + decimalText(hundredths);
}
