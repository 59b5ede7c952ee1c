// The placeholder record: the reparse data buffer (REPARSE_GUID_DATA_BUFFER)
// that FSCTL_GET_REPARSE_POINT returns for an archived file. Offsets count
// from the buffer's first byte; integers are little-endian.
//
//   0    4  ReparseTag         16 for a placeholder
//   4    2  ReparseDataLength  bytes of data after the 24-byte header
//   6    2  Reserved
//   8   16  ReparseGuid        {9DD58ACD-4BE7-4F36-9CE3-B7738EE3C702}
//   24   4  magic              7777, the first bytes of the data area
//   28  34  signature          UTF-16LE "Q-MARLO012345678" and U+0000 at 60
//   62  18  (not examined)
//   80   4  flagBytes          set to 1, 0, 0, 0 by a repair
//   84   …  url                UTF-16LE, starting "http" in any letter case
//
// A misplaced record has its url, and everything after it, 520 bytes (260
// code units) too far on: at 604 instead of 84. The header every reparse
// data buffer shares is in platform/reparse_data_buffer.h.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

#include "platform/little_endian.h"
#include "platform/reparse_data_buffer.h"
#include "platform/win32.h"

namespace placeholder {

constexpr std::size_t kBufferSize = MAXIMUM_REPARSE_DATA_BUFFER_SIZE;  // the most reparse data there is

// The placeholder's tag has no Microsoft bit, so its data area starts after
// the 24-byte header that holds the GUID.
constexpr std::size_t kDataOffset = reparse::kGuidHeaderSize;
constexpr std::size_t kMagicOffset = kDataOffset;
constexpr std::size_t kSignatureOffset = 28;
constexpr std::size_t kSignatureEndOffset = 60;
constexpr std::size_t kFlagBytesOffset = 80;
constexpr std::size_t kUrlOffset = 84;
constexpr std::size_t kMisplacedUrlOffset = 604;

constexpr std::uint32_t kTag = 16;
constexpr std::uint32_t kMagic = 7777;
constexpr GUID kGuid = {0x9DD58ACD, 0x4BE7, 0x4F36, {0x9C, 0xE3, 0xB7, 0x73, 0x8E, 0xE3, 0xC7, 0x02}};
constexpr WStringView kSignature = WSTR("Q-MARLO012345678");
constexpr WStringView kUrlScheme = WSTR("http");

// A data length above this lets a record with "http" at 604 be repaired.
constexpr std::uint16_t kRepairableDataLength = 325;

// The repair: 2,050 bytes from 604 back to 84, then the four flag bytes.
constexpr std::size_t kMoveLength = 2050;
constexpr BYTE kRepairedFlagBytes[4] = {1, 0, 0, 0};

// The UTF-16LE code unit at a byte offset.
inline WCHAR codeUnitAt(const BYTE* buffer, std::size_t offset)
{
    return static_cast<WCHAR>(littleendian::read<std::uint16_t>(buffer + offset));
}

}  // namespace placeholder
