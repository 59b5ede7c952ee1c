#include "platform/posix/text_conversion.h"

#include <algorithm>
#include <cstdint>
#include <cstring>

#include "platform/text_conversion.h"

#include "platform/posix/last_error.h"

namespace posix {
namespace {

constexpr char32_t kEscapeBase = 0xDC00;  // byte b (0x80..0xFF) <-> U+DC00 + b
constexpr char32_t kMappedBase = 0xF000;  // a character NTFS names cannot hold, c <-> U+F000 + c

bool isContinuation(unsigned char byte) { return (byte & 0xC0) == 0x80; }

// Length of the valid UTF-8 sequence at the start of bytes, and its code
// point; 0 when the first byte does not start a valid sequence (overlong
// forms, surrogates and values above U+10FFFF are not valid).
std::size_t decodeSequence(std::string_view bytes, char32_t& codePoint)
{
    auto b0 = static_cast<unsigned char>(bytes[0]);
    if (b0 < 0x80) {
        codePoint = b0;
        return 1;
    }
    std::size_t length = 0;
    char32_t value = 0;
    char32_t minimum = 0;
    if (b0 >= 0xC2 && b0 <= 0xDF) {
        length = 2;
        value = b0 & 0x1F;
        minimum = 0x80;
    } else if (b0 >= 0xE0 && b0 <= 0xEF) {
        length = 3;
        value = b0 & 0x0F;
        minimum = 0x800;
    } else if (b0 >= 0xF0 && b0 <= 0xF4) {
        length = 4;
        value = b0 & 0x07;
        minimum = 0x10000;
    } else {
        return 0;
    }
    if (bytes.size() < length) {
        return 0;
    }
    for (std::size_t i = 1; i < length; ++i) {
        auto b = static_cast<unsigned char>(bytes[i]);
        if (!isContinuation(b)) {
            return 0;
        }
        value = (value << 6) | (b & 0x3F);
    }
    if (value < minimum || value > 0x10FFFF || (value >= 0xD800 && value <= 0xDFFF)) {
        return 0;
    }
    codePoint = value;
    return length;
}

void appendUtf8(std::string& out, char32_t cp)
{
    if (cp < 0x80) {
        out += static_cast<char>(cp);
    } else if (cp < 0x800) {
        out += static_cast<char>(0xC0 | (cp >> 6));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    } else if (cp < 0x10000) {
        out += static_cast<char>(0xE0 | (cp >> 12));
        out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    } else {
        out += static_cast<char>(0xF0 | (cp >> 18));
        out += static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
        out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    }
}

// Walks UTF-16 text; calls onCodePoint for each scalar value or pair, and
// onLoneSurrogate for each unpaired surrogate. Returns false as soon as a
// callback does.
template <typename OnCodePoint, typename OnLone>
bool forEachCodePoint(WStringView text, OnCodePoint onCodePoint, OnLone onLoneSurrogate)
{
    for (std::size_t i = 0; i < text.size(); ++i) {
        char32_t unit = text[i];
        if (unit >= 0xD800 && unit <= 0xDBFF && i + 1 < text.size() && text[i + 1] >= 0xDC00 &&
            text[i + 1] <= 0xDFFF) {
            char32_t cp = 0x10000 + ((unit - 0xD800) << 10) + (text[i + 1] - 0xDC00);
            ++i;
            if (!onCodePoint(cp)) {
                return false;
            }
        } else if (unit >= 0xD800 && unit <= 0xDFFF) {
            if (!onLoneSurrogate(unit)) {
                return false;
            }
        } else if (!onCodePoint(unit)) {
            return false;
        }
    }
    return true;
}

// The characters a Linux name may hold and an NTFS name may not ('/' is in
// neither).
bool isMappedCharacter(char32_t c)
{
    return (c >= 0x01 && c <= 0x1F) || c == '"' || c == '*' || c == ':' || c == '<' || c == '>' || c == '?' ||
           c == '\\' || c == '|';
}

// A name's bytes or a whole text to UTF-16. For a name, a character NTFS
// names cannot hold becomes U+F000 plus it, and one of those U+F0xx
// characters that the name holds itself becomes the escapes of its bytes,
// which no mapped character gives: the two names stay apart.
WString decodeBytes(std::string_view bytes, bool name)
{
    WString out;
    out.reserve(bytes.size());
    // Most names are ASCII: one code unit per byte.
    std::size_t ascii = 0;
    while (ascii < bytes.size() && static_cast<unsigned char>(bytes[ascii]) < 0x80 &&
           !(name && isMappedCharacter(static_cast<unsigned char>(bytes[ascii])))) {
        ++ascii;
    }
    out.resize(ascii);
    for (std::size_t i = 0; i < ascii; ++i) {
        out[i] = static_cast<WCHAR>(bytes[i]);
    }
    bytes.remove_prefix(ascii);
    while (!bytes.empty()) {
        char32_t cp = 0;
        std::size_t length = decodeSequence(bytes, cp);
        if (length == 0 || (name && cp >= kMappedBase && isMappedCharacter(cp - kMappedBase))) {
            for (std::size_t i = 0; i < std::max<std::size_t>(length, 1); ++i) {
                out += static_cast<WCHAR>(kEscapeBase + static_cast<unsigned char>(bytes[i]));
            }
            bytes.remove_prefix(std::max<std::size_t>(length, 1));
            continue;
        }
        if (name && isMappedCharacter(cp)) {
            cp += kMappedBase;
        }
        if (cp >= 0x10000) {
            cp -= 0x10000;
            out += static_cast<WCHAR>(0xD800 + (cp >> 10));
            out += static_cast<WCHAR>(0xDC00 + (cp & 0x3FF));
        } else {
            out += static_cast<WCHAR>(cp);
        }
        bytes.remove_prefix(length);
    }
    return out;
}

// UTF-16 to bytes. For a path, '\' is the separator '/' and U+F000 plus a
// character NTFS names cannot hold is that character again.
bool appendBytes(WStringView text, std::string& out, bool path)
{
    // Most paths are ASCII: one byte per code unit, narrowed in one pass;
    // from the first unit that is not (or a NUL) on, unit by unit.
    std::size_t start = out.size();
    out.resize(start + text.size());
    std::size_t ascii = 0;
    while (ascii < text.size() && static_cast<std::uint16_t>(text[ascii] - 1) < 0x7F) {
        char c = static_cast<char>(text[ascii]);
        out[start + ascii] = path && c == '\\' ? '/' : c;
        ++ascii;
    }
    out.resize(start + ascii);
    text.remove_prefix(ascii);
    return forEachCodePoint(
        text,
        [&](char32_t cp) {
            if (cp == 0) {
                return false;
            }
            if (path && cp == '\\') {
                cp = '/';
            } else if (path && cp >= kMappedBase && isMappedCharacter(cp - kMappedBase)) {
                cp -= kMappedBase;
            }
            appendUtf8(out, cp);
            return true;
        },
        [&](char32_t unit) {
            if (unit < kEscapeBase + 0x80 || unit > kEscapeBase + 0xFF) {
                return false;
            }
            out += static_cast<char>(unit - kEscapeBase);
            return true;
        });
}

}  // namespace

WString decodeFileSystemBytes(std::string_view bytes) { return decodeBytes(bytes, false); }

WString decodeFileName(std::string_view name) { return decodeBytes(name, true); }

bool appendPathBytes(WStringView path, std::string& out) { return appendBytes(path, out, true); }

bool appendFileSystemBytes(WStringView text, std::string& out) { return appendBytes(text, out, false); }

std::optional<std::string> encodeFileSystemBytes(WStringView text)
{
    std::string out;
    out.reserve(text.size());
    if (!appendFileSystemBytes(text, out)) {
        return std::nullopt;
    }
    return out;
}

std::string toDisplayBytes(WStringView text)
{
    std::string out;
    out.reserve(text.size());
    forEachCodePoint(
        text,
        [&](char32_t cp) {
            appendUtf8(out, cp);
            return true;
        },
        [&](char32_t unit) {
            if (unit >= kEscapeBase + 0x80 && unit <= kEscapeBase + 0xFF) {
                out += static_cast<char>(unit - kEscapeBase);
            } else {
                appendUtf8(out, 0xFFFD);
            }
            return true;
        });
    return out;
}

}  // namespace posix

// The platform-neutral conversions: UTF-8 here is the file system's bytes.
WString wideText(std::string_view utf8) { return posix::decodeFileSystemBytes(utf8); }
std::string utf8Text(WStringView text) { return posix::toDisplayBytes(text); }
std::string consoleText(WStringView text) { return posix::toDisplayBytes(text); }

// The ANSI code page is UTF-8 here. Escaped bytes go back to the bytes they
// stand for, so a report named after a non-UTF-8 target carries that name;
// any other lone surrogate becomes the default character, as on Windows.
// CP_UTF8 is strict UTF-8, as on Windows: every lone surrogate is U+FFFD,
// and it takes no default character.
int WideCharToMultiByte(UINT codePage, DWORD flags, LPCWCH wide, int wideLength, LPSTR narrow,
                        int narrowLength, LPCCH defaultChar, LPBOOL usedDefaultChar)
{
    bool utf8 = codePage == CP_UTF8;
    if ((codePage != CP_ACP && !utf8) || flags != 0 || wide == nullptr || wideLength == 0 || narrowLength < 0 ||
        (narrow == nullptr && narrowLength != 0) || (utf8 && (defaultChar != nullptr || usedDefaultChar != nullptr))) {
        posix::finish(ERROR_INVALID_PARAMETER);
        return 0;
    }
    std::size_t length = wideLength < 0 ? std::char_traits<WCHAR>::length(wide) + 1
                                        : static_cast<std::size_t>(wideLength);
    const char* replacement = defaultChar != nullptr ? defaultChar : "?";
    bool usedDefault = false;
    std::string out;
    out.reserve(length);
    for (std::size_t i = 0; i < length; ++i) {
        WCHAR unit = wide[i];
        bool lone = unit >= 0xD800 && unit <= 0xDFFF &&
                    !(unit <= 0xDBFF && i + 1 < length && wide[i + 1] >= 0xDC00 && wide[i + 1] <= 0xDFFF);
        if (lone && utf8) {
            out += "\xEF\xBF\xBD";
            continue;
        }
        if (lone && !(unit >= 0xDC80 && unit <= 0xDCFF)) {
            out += replacement;
            usedDefault = true;
            continue;
        }
        std::size_t units = (!lone && unit >= 0xD800 && unit <= 0xDBFF) ? 2 : 1;
        out += posix::toDisplayBytes(WStringView(wide + i, units));
        i += units - 1;
    }
    if (usedDefaultChar != nullptr) {
        *usedDefaultChar = usedDefault ? TRUE : FALSE;
    }
    if (narrowLength != 0 && out.size() > static_cast<std::size_t>(narrowLength)) {
        posix::finish(ERROR_INSUFFICIENT_BUFFER);
        return 0;
    }
    if (narrowLength != 0) {
        std::memcpy(narrow, out.data(), out.size());
    }
    return static_cast<int>(out.size());
}

// UTF-8 has no lead bytes whose trail could be taken for an ASCII character.
BOOL IsDBCSLeadByteEx(UINT, BYTE) { return FALSE; }
