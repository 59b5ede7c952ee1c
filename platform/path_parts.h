// A path's folder and its last component, split at the last separator, as
// text only (nothing is looked up): "a\b\c" is "a\b" and "c"; "c" has no
// folder; "a\b\" has the empty last component.
#pragma once

#include <string_view>

template <typename Char>
struct PathParts {
    std::basic_string_view<Char> folder;  // before the last separator; empty without one
    std::basic_string_view<Char> name;    // after it; the whole path without one
    bool hasSeparator = false;
};

template <typename Char>
constexpr PathParts<Char> splitAtLastSeparator(std::basic_string_view<Char> path, Char separator)
{
    typename std::basic_string_view<Char>::size_type at = path.rfind(separator);
    if (at == std::basic_string_view<Char>::npos) {
        return {std::basic_string_view<Char>(), path, false};
    }
    return {path.substr(0, at), path.substr(at + 1), true};
}
