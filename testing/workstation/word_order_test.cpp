// The four word orders: which register holds which bytes of a float, both
// ways, and their names.
#include <cstdint>
#include <cstring>

#include <gtest/gtest.h>

#include "word_order.h"

using namespace pondrel;

TEST(WordOrder, LaysEachByteOfTheFloatWhereItsNameSays) {
    // A float whose four bytes, A (most significant) to D, are 0x41 to 0x44.
    const std::uint32_t bits = 0x41424344u;
    float value;
    std::memcpy(&value, &bits, sizeof value);
    const struct {
        WordOrder order;
        std::uint16_t first, second;
    } cases[] = {
        {WordOrder::ABCD, 0x4142, 0x4344},
        {WordOrder::CDAB, 0x4344, 0x4142},
        {WordOrder::BADC, 0x4241, 0x4443},
        {WordOrder::DCBA, 0x4443, 0x4241},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(word_order_name(c.order));
        std::uint16_t registers[2] = {};
        float_to_registers(value, c.order, registers);
        EXPECT_EQ(registers[0], c.first);
        EXPECT_EQ(registers[1], c.second);
        const std::uint16_t given[2] = {c.first, c.second};
        const float back = registers_to_float(given, c.order);
        EXPECT_EQ(std::memcmp(&back, &bits, sizeof back), 0);
    }
}

TEST(WordOrder, NamesReadBackAndNothingElseIsAnOrder) {
    for (const WordOrder order : kAllWordOrders) EXPECT_EQ(parse_word_order(word_order_name(order)), order);
    EXPECT_EQ(parse_word_order("cdab"), WordOrder::CDAB);
    for (const char* text : {"", "ABDC", "ABCDE", "auto", " ABCD"}) {
        EXPECT_FALSE(parse_word_order(text).has_value()) << text;
    }
}
