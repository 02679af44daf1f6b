// What a field engineer asks of a meter before polling it: which word order
// gives plausible readings, which slave addresses answer, and, when a round
// fails, what the likely causes are. On the thread that uses the line.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "modbus_master.h"
#include "word_order.h"

namespace pondrel {

// The voltage (registers 100 and 101) and the 18 currents (102 to 137) read
// once, and the orders in which they make a mains installation's readings:
// a voltage from 50 to 500 V and every float finite.
struct OrderFinding {
    bool answered = false;
    std::string error;                 // why the meter did not answer
    LineFault fault = LineFault::None;
    std::vector<WordOrder> plausible;  // in kAllWordOrders' order
    float voltage[4] = {};             // the voltage in each order, indexed as kAllWordOrders
};
OrderFinding find_word_order(ModbusMaster& line);

// One line on what a failed request most likely means, for the user who
// set up `settings`.
std::string likely_causes(LineFault fault, const std::string& error, const SerialSettings& settings);

// "8N1" and the like.
std::string frame_format(const SerialSettings& settings);

// "231.6 V".
std::string format_voltage(float volts);

// Why `found` gives no single order: none or several fit, with the voltage
// each order gives.
std::string no_single_order(const OrderFinding& found);
// "word order CDAB (voltage 231.6 V)", for a finding with one plausible order.
std::string order_found(const OrderFinding& found);

}  // namespace pondrel
