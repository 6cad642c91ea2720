#include "utility/utility.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <future>
#include <unordered_set>

TEST(StringUtils, Trim)
{
    // 16 MiB with 15 MiB of blanks: one erase per end keeps this fast.
    const std::string word(1u << 20, 'x');
    const std::string huge = std::string(8u << 20, ' ') + word + std::string(7u << 20, '\n');
    const struct { std::string text; bool left, right; std::string expected; bool removed; } cases[] = {
        {" \t value x \r\n", true, true, "value x", true}, {"  value  ", true, false, "value  ", true},
        {"  value  ", false, true, "  value", true},       {"value", true, true, "value", false},
        {" \t\r\n ", true, true, "", true},                {huge, true, true, word, true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.text.substr(0, 20));
        std::string text = c.text;
        EXPECT_EQ(c.removed, StringUtils::Trim(text, " \t\r\n", c.left, c.right));
        EXPECT_EQ(c.expected, text);
    }
}

TEST(Utility, UniqueNumbersAreDistinctAndNonZeroAcrossThreads)
{
    auto draw = [] {
        std::vector<unsigned long long> numbers(100000);
        std::generate(numbers.begin(), numbers.end(), Utility::GenerateUniqueNumber);
        return numbers;
    };
    auto other = std::async(std::launch::async, draw);
    std::unordered_set<unsigned long long> seen = {0};   // 0 is never drawn
    for (const auto& numbers : {draw(), other.get()})
        seen.insert(numbers.begin(), numbers.end());
    EXPECT_EQ(200001u, seen.size());
}
