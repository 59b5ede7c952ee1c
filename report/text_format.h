// Numbers and narrow text as report text, in the "C" conventions: decimal,
// no grouping, no padding.
#pragma once

#include <cstdint>
#include <string_view>

#include "platform/win32.h"

WString decimalText(std::uint64_t value);
WString signedDecimalText(std::int64_t value);

// Lower-case hexadecimal without prefix, at least minDigits digits.
WString hexText(std::uint64_t value, int minDigits = 1);

// Each 8-bit character becomes the code unit of the same value.
WString widenText(std::string_view narrow);

// A byte count as KB (1/1024) with two decimals, halves rounded up.
WString kilobyteText(std::uint64_t bytes);
