// One pending threshold rule result, filled by the host during a round and
// handed back to the host's batch check. Devices only count, pass and clear
// vectors of these.
#pragma once

#include <string>

struct rule_value {
    std::string rule_id;
    std::string var_name;
    std::string value_text;
    std::string message;
    float value = 0.0f;
    int level = 0;
    bool triggered = false;
};
