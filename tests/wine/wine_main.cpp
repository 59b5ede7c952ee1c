// The Wine suites' entry: one Wine prefix for the whole test process, made
// before the first test and removed after the last. A peer that cannot be
// started (Wine, the Windows executable) fails the suite with its reason; it
// is never skipped.
#include <gtest/gtest.h>

#include <iostream>
#include <stdexcept>

#include "tests/wine/wine_support.h"

int main(int argc, char** argv)
{
    ::testing::InitGoogleTest(&argc, argv);
    if (::testing::GTEST_FLAG(list_tests)) {
        return RUN_ALL_TESTS();
    }
    try {
        winetest::WinePrefix::create();
    } catch (const std::exception& failure) {
        std::cerr << "The Wine suites cannot start: " << failure.what() << std::endl;
        winetest::WinePrefix::remove();
        return 1;
    }
    int result = RUN_ALL_TESTS();
    winetest::WinePrefix::remove();
    return result;
}
