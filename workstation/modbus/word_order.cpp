#include "word_order.h"

#include <algorithm>
#include <cctype>
#include <cstring>

namespace pondrel {

namespace {

std::uint16_t swap_bytes(std::uint16_t word) {
    return static_cast<std::uint16_t>((word >> 8) | (word << 8));
}

}  // namespace

std::optional<WordOrder> parse_word_order(const std::string& text) {
    std::string upper = text;
    std::transform(upper.begin(), upper.end(), upper.begin(),
                   [](unsigned char c) { return static_cast<char>(std::toupper(c)); });
    for (WordOrder order : {WordOrder::ABCD, WordOrder::CDAB, WordOrder::BADC, WordOrder::DCBA}) {
        if (upper == word_order_name(order)) return order;
    }
    return std::nullopt;
}

const char* word_order_name(WordOrder order) {
    switch (order) {
    case WordOrder::ABCD: return "ABCD";
    case WordOrder::CDAB: return "CDAB";
    case WordOrder::BADC: return "BADC";
    case WordOrder::DCBA: return "DCBA";
    }
    return "?";
}

float registers_to_float(const std::uint16_t registers[2], WordOrder order) {
    std::uint16_t high = 0;
    std::uint16_t low = 0;
    switch (order) {
    case WordOrder::ABCD: high = registers[0]; low = registers[1]; break;
    case WordOrder::CDAB: high = registers[1]; low = registers[0]; break;
    case WordOrder::BADC: high = swap_bytes(registers[0]); low = swap_bytes(registers[1]); break;
    case WordOrder::DCBA: high = swap_bytes(registers[1]); low = swap_bytes(registers[0]); break;
    }
    const std::uint32_t bits = (static_cast<std::uint32_t>(high) << 16) | low;
    float value;
    std::memcpy(&value, &bits, sizeof value);
    return value;
}

void float_to_registers(float value, WordOrder order, std::uint16_t registers[2]) {
    std::uint32_t bits;
    std::memcpy(&bits, &value, sizeof bits);
    const auto high = static_cast<std::uint16_t>(bits >> 16);
    const auto low = static_cast<std::uint16_t>(bits & 0xffffu);
    switch (order) {
    case WordOrder::ABCD: registers[0] = high; registers[1] = low; break;
    case WordOrder::CDAB: registers[0] = low; registers[1] = high; break;
    case WordOrder::BADC: registers[0] = swap_bytes(high); registers[1] = swap_bytes(low); break;
    case WordOrder::DCBA: registers[0] = swap_bytes(low); registers[1] = swap_bytes(high); break;
    }
}

}  // namespace pondrel
