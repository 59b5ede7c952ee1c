// The layout every reparse data buffer shares, as FSCTL_GET_REPARSE_POINT
// gives it and FSCTL_SET_REPARSE_POINT takes it. Offsets count from the
// buffer's first byte; integers are little-endian.
//
//   0   4  ReparseTag
//   4   2  ReparseDataLength  bytes of data after the header
//   6   2  Reserved
//   8  16  ReparseGuid        only for a tag without the Microsoft bit
//
// A tag with the Microsoft bit (0x80000000) has the 8-byte header of
// REPARSE_DATA_BUFFER; any other tag the 24-byte header of
// REPARSE_GUID_DATA_BUFFER, which holds the GUID.
#pragma once

#include <cstddef>
#include <cstdint>

#include "platform/little_endian.h"

namespace reparse {

constexpr std::size_t kTagOffset = 0;
constexpr std::size_t kDataLengthOffset = 4;
constexpr std::size_t kGuidOffset = 8;
constexpr std::size_t kGuidSize = 16;

constexpr std::uint32_t kMicrosoftTagBit = 0x80000000;
constexpr std::size_t kMicrosoftHeaderSize = 8;  // tag, length, reserved
constexpr std::size_t kGuidHeaderSize = 24;      // ... and the GUID

constexpr bool isMicrosoftTag(std::uint32_t tag) { return (tag & kMicrosoftTagBit) != 0; }
constexpr std::size_t headerSize(std::uint32_t tag) { return isMicrosoftTag(tag) ? kMicrosoftHeaderSize : kGuidHeaderSize; }

template <typename Byte>
constexpr std::uint32_t tagOf(const Byte* buffer)
{
    return littleendian::read<std::uint32_t>(buffer + kTagOffset);
}
template <typename Byte>
constexpr std::uint16_t dataLengthOf(const Byte* buffer)
{
    return littleendian::read<std::uint16_t>(buffer + kDataLengthOffset);
}

// The bytes of data that a read returned after the header of `tag`. NTFS
// returns the header and ReparseDataLength bytes; Samba counts a GUID in
// ReparseDataLength, so for a tag with a GUID it returns 16 bytes of data
// fewer than the header says. What was returned is what there is.
constexpr std::size_t returnedDataLength(std::uint32_t tag, std::size_t bytesReturned)
{
    return bytesReturned > headerSize(tag) ? bytesReturned - headerSize(tag) : 0;
}

}  // namespace reparse
