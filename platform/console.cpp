#include "platform/console.h"

#include <iostream>
#include <string>

#ifndef _WIN32
#  include "platform/posix/text_conversion.h"
#endif

void writeErrorLine(WStringView text)
{
#ifdef _WIN32
    // The C runtime's wide stream gives up at the first character its "C"
    // locale cannot convert and drops the rest of the line. The line goes
    // out whole in the ANSI code page instead, as the report name does.
    std::string narrow;
    if (!text.empty()) {
        int length = WideCharToMultiByte(CP_ACP, 0, text.data(), static_cast<int>(text.size()), nullptr, 0,
                                         nullptr, nullptr);
        narrow.resize(static_cast<std::size_t>(length > 0 ? length : 0));
        if (length > 0) {
            WideCharToMultiByte(CP_ACP, 0, text.data(), static_cast<int>(text.size()), narrow.data(), length,
                                nullptr, nullptr);
        }
    }
    std::cerr << narrow << std::endl;
#else
    std::cerr << posix::toDisplayBytes(text) << std::endl;
#endif
}

void writeErrorLine(std::string_view text) { std::cerr << text << std::endl; }

void writeProgress(std::string_view text) { std::cout << text << std::flush; }
