// --version of the companion programs: "<program> <version>" on standard
// output. The version is the project's, which cmake/programs.cmake gives
// every program it declares.
#pragma once

#include <iostream>
#include <string_view>

#ifndef STUBWARDEN_VERSION
#error "STUBWARDEN_VERSION is defined for the programs declared with stubwarden_program()"
#endif

inline int printVersion(std::string_view program)
{
    std::cout << program << ' ' << STUBWARDEN_VERSION << std::endl;
    return 0;
}
