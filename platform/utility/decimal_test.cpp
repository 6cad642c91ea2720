#include "utility/decimal.h"

#include <gtest/gtest.h>

TEST(Decimal, DigitsWithinBoundsAndNoMoreDigitsThanTheBound)
{
    const struct { const char* text; unsigned long low, high; bool ok; unsigned long value; } cases[] = {
        {"0", 0, 65535, true, 0},           {"65535", 0, 65535, true, 65535}, {"05060", 1, 65535, true, 5060},
        {"0", 1, 65535, false, 0},          {"65536", 0, 65535, false, 0},    {"005060", 0, 65535, false, 0},
        {"", 0, 65535, false, 0},           {" 1", 0, 65535, false, 0},       {"-1", 0, 65535, false, 0},
        {"1x", 0, 65535, false, 0},         {"+1", 0, 65535, false, 0},
        {"2147483647", 0, 2147483647, true, 2147483647}, {"9999999999", 0, 4294967295UL, false, 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.text);
        unsigned long value = 7;
        EXPECT_EQ(c.ok, ParseDecimal(c.text, c.low, c.high, value));
        EXPECT_EQ(c.ok ? c.value : 7ul, value);
    }
}
