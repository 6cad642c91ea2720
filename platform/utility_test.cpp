#include "platform/utility.h"

#include <gtest/gtest.h>

#include <thread>
#include <unordered_set>
#include <vector>

TEST(StringUtils, Trim)
{
    struct Case {
        const char* text;
        bool left, right;
        const char* expected;
        bool removed;
    } const cases[] = {
        {" \t value x \r\n", true, true, "value x", true}, {"  value  ", true, false, "value  ", true},
        {"  value  ", false, true, "  value", true},       {"value", true, true, "value", false},
        {" \t\r\n ", true, true, "", true},                {"", true, true, "", false},
    };
    for (const Case& c : cases) {
        std::string text = c.text;
        EXPECT_EQ(c.removed, StringUtils::Trim(text, " \t\r\n", c.left, c.right)) << c.text;
        EXPECT_EQ(c.expected, text) << c.text;
    }
    // 16 MiB with 15 MiB of blanks: one erase per end keeps this fast.
    std::string huge = std::string(8u << 20, ' ') + std::string(1u << 20, 'x') + std::string(7u << 20, ' ');
    EXPECT_TRUE(StringUtils::Trim(huge, " ", true, true));
    EXPECT_EQ(std::string(1u << 20, 'x'), huge);
}

TEST(Utility, UniqueNumbersAreDistinctAndNonZeroAcrossThreads)
{
    const size_t draws = 100000;
    std::vector<unsigned long long> first(draws);
    std::vector<unsigned long long> second(draws);
    std::thread other([&second] {
        for (auto& number : second) {
            number = Utility::GenerateUniqueNumber();
        }
    });
    for (auto& number : first) {
        number = Utility::GenerateUniqueNumber();
    }
    other.join();
    std::unordered_set<unsigned long long> seen(first.begin(), first.end());
    seen.insert(second.begin(), second.end());
    EXPECT_EQ(2 * draws, seen.size());
    EXPECT_EQ(0u, seen.count(0));
}

TEST(SmartBuffer, ZeroFilled)
{
    SmartBuffer buffer;
    ASSERT_EQ(SmartBuffer::DEFAULT_SIZE, buffer.GetSize());
    EXPECT_EQ(std::string(SmartBuffer::DEFAULT_SIZE, '\0'), std::string(buffer.GetBuffer(), buffer.GetSize()));
}
