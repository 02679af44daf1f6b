// How a meter lays a 32-bit float over two 16-bit registers. Register values
// are numbers (libmodbus has already put each register's two bytes together);
// the letters name the float's bytes, A the most significant:
//   ABCD  first register A B, second C D  (high word first, big-endian bytes)
//   CDAB  first register C D, second A B  (low word first)
//   BADC  first register B A, second D C  (bytes swapped in each word)
//   DCBA  first register D C, second B A
// Floats are assembled from their 32 bits with memcpy, never through
// libmodbus's modbus_get_float_* helpers, whose names and byte orders differ.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

namespace pondrel {

enum class WordOrder { ABCD, CDAB, BADC, DCBA };
// Every order, in the enum's order (so an order's value is its index here).
constexpr WordOrder kAllWordOrders[] = {WordOrder::ABCD, WordOrder::CDAB, WordOrder::BADC, WordOrder::DCBA};

// "ABCD" and the like (case-insensitive); nothing for anything else.
std::optional<WordOrder> parse_word_order(const std::string& text);
const char* word_order_name(WordOrder order);

float registers_to_float(const std::uint16_t registers[2], WordOrder order);
void float_to_registers(float value, WordOrder order, std::uint16_t registers[2]);

}  // namespace pondrel
