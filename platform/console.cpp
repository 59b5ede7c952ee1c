#include "platform/console.h"

#include <iostream>

#ifndef _WIN32
#  include "platform/posix/text_conversion.h"
#endif

void writeErrorLine(WStringView text)
{
#ifdef _WIN32
    std::wcerr << text << std::endl;
#else
    std::cerr << posix::toDisplayBytes(text) << std::endl;
#endif
}

void writeErrorLine(std::string_view text) { std::cerr << text << std::endl; }

void writeProgress(std::string_view text) { std::cout << text << std::flush; }
