// ASCII letter case, the only case the program and its layer fold: options
// and privilege names, the "UNC" of a path prefix, a UNC path's server and
// share as Samba compares them, a stream's ":$DATA", the
// "http" of a placeholder's URL, the units of a rehearsal tree's sizes.
// Letters outside A-Z and a-z are left as they are.
#pragma once

#include <cstddef>
#include <string_view>
#include <type_traits>

template <typename Char>
constexpr Char asciiLower(Char c)
{
    return c >= Char('A') && c <= Char('Z') ? static_cast<Char>(c - Char('A') + Char('a')) : c;
}

template <typename Char>
constexpr Char asciiUpper(Char c)
{
    return c >= Char('a') && c <= Char('z') ? static_cast<Char>(c - Char('a') + Char('A')) : c;
}

template <typename Char>
constexpr bool startsWithIgnoringAsciiCase(std::basic_string_view<Char> text,
                                           std::type_identity_t<std::basic_string_view<Char>> prefix)
{
    if (text.size() < prefix.size()) {
        return false;
    }
    for (std::size_t i = 0; i < prefix.size(); ++i) {
        if (asciiLower(text[i]) != asciiLower(prefix[i])) {
            return false;
        }
    }
    return true;
}

template <typename Char>
constexpr bool equalsIgnoringAsciiCase(std::basic_string_view<Char> text,
                                       std::type_identity_t<std::basic_string_view<Char>> expected)
{
    return text.size() == expected.size() && startsWithIgnoringAsciiCase(text, expected);
}

template <typename Char>
constexpr bool endsWithIgnoringAsciiCase(std::basic_string_view<Char> text,
                                         std::type_identity_t<std::basic_string_view<Char>> suffix)
{
    return text.size() >= suffix.size() && equalsIgnoringAsciiCase(text.substr(text.size() - suffix.size()), suffix);
}
