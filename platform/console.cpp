#include "platform/console.h"

#include <iostream>
#include <string>

#include "platform/text_conversion.h"

void writeErrorLine(WStringView text) { std::cerr << consoleText(text) << std::endl; }

void writeErrorLine(std::string_view text) { std::cerr << text << std::endl; }

void writeProgress(std::string_view text) { std::cout << text << std::flush; }
