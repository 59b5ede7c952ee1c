// Little-endian integers in byte buffers: the byte order of every structure
// the program and its tools read and write byte by byte (reparse data
// buffers, user.DOSATTRIB, UTF-16LE text). The same on every host.
#pragma once

#include <cstddef>
#include <cstdint>
#include <type_traits>

namespace littleendian {

// The unsigned integer of sizeof(T) bytes at `bytes`, lowest byte first.
template <typename T, typename Byte>
constexpr T read(const Byte* bytes)
{
    static_assert(std::is_unsigned_v<T> && sizeof(Byte) == 1);
    T value = 0;
    for (std::size_t i = 0; i < sizeof(T); ++i) {
        value = static_cast<T>(value | static_cast<T>(static_cast<std::uint8_t>(bytes[i])) << (8 * i));
    }
    return value;
}

// Writes `value` as sizeof(T) bytes at `bytes`, lowest byte first.
template <typename T, typename Byte>
constexpr void write(Byte* bytes, T value)
{
    static_assert(std::is_unsigned_v<T> && sizeof(Byte) == 1);
    for (std::size_t i = 0; i < sizeof(T); ++i) {
        bytes[i] = static_cast<Byte>(static_cast<std::uint8_t>(value >> (8 * i)));
    }
}

// Appends `value` as sizeof(T) bytes to a byte container (std::string,
// std::vector<BYTE>).
template <typename T, typename Bytes>
void append(Bytes& out, T value)
{
    static_assert(std::is_unsigned_v<T>);
    for (std::size_t i = 0; i < sizeof(T); ++i) {
        out.push_back(static_cast<typename Bytes::value_type>(static_cast<std::uint8_t>(value >> (8 * i))));
    }
}

}  // namespace littleendian
