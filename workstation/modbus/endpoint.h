// A gateway's address as users write it: "HOST[:PORT]", an IPv6 address in
// brackets ("[::1]:1502"). Pure.
#pragma once

#include <string>

#include "modbus_master.h"

namespace pondrel {

// Sets line.host, line.port (502 when left out, unless `need_port`) and
// line.device (the text as given). Throws std::invalid_argument whose text
// says what is wrong: "'TEXT'", "'TEXT' (no host)", "'TEXT' (HOST:PORT)" or
// "'PORT' (a whole number from 1 to 65535)".
void parse_endpoint(const std::string& text, bool need_port, SerialSettings& line);

}  // namespace pondrel
