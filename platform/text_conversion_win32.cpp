#include "platform/text_conversion.h"

namespace {

std::string narrowText(UINT codePage, WStringView text)
{
    int length = text.empty() ? 0
                              : WideCharToMultiByte(codePage, 0, text.data(), static_cast<int>(text.size()), nullptr,
                                                    0, nullptr, nullptr);
    std::string out(static_cast<std::size_t>(length > 0 ? length : 0), '\0');
    if (length > 0) {
        WideCharToMultiByte(codePage, 0, text.data(), static_cast<int>(text.size()), out.data(), length, nullptr,
                            nullptr);
    }
    return out;
}

}  // namespace

WString wideText(std::string_view utf8)
{
    int length = utf8.empty() ? 0 : MultiByteToWideChar(CP_UTF8, 0, utf8.data(), static_cast<int>(utf8.size()), nullptr, 0);
    WString out(static_cast<std::size_t>(length > 0 ? length : 0), L'\0');
    if (length > 0) {
        MultiByteToWideChar(CP_UTF8, 0, utf8.data(), static_cast<int>(utf8.size()), out.data(), length);
    }
    return out;
}

std::string utf8Text(WStringView text) { return narrowText(CP_UTF8, text); }

// The C runtime's wide stream gives up at the first character its "C" locale
// cannot convert and drops the rest of the line; the line goes out whole in
// the ANSI code page instead, as the report name does.
std::string consoleText(WStringView text) { return narrowText(CP_ACP, text); }
