#include <gtest/gtest.h>

#include "report/text_format.h"
#include "tests/support/test_support.h"

namespace {

std::string narrow(const WString& text)
{
    return std::string(text.begin(), text.end());
}

TEST(KilobyteText, RoundsHalvesUpToTwoDecimals)
{
    const struct {
        std::uint64_t bytes;
        const char* expected;
    } cases[] = {
        {0, "0.00"},          {128, "0.13"},       {1000, "0.98"},   {1536, "1.50"},
        {1048576, "1024.00"}, {1023, "1.00"},      {5, "0.00"},      {6, "0.01"},
        {5ULL << 30, "5242880.00"}, {~0ULL, "18014398509481984.00"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(narrow(kilobyteText(c.bytes)), c.expected) << c.bytes;
    }
}

TEST(DecimalText, WritesPlainDecimals)
{
    EXPECT_EQ(narrow(decimalText(0)), "0");
    EXPECT_EQ(narrow(decimalText(4294967295u)), "4294967295");
    EXPECT_EQ(narrow(signedDecimalText(-5)), "-5");
    EXPECT_EQ(narrow(hexText(0xa46)), "a46");
    EXPECT_EQ(narrow(hexText(0x10, 4)), "0010");
}

}  // namespace
