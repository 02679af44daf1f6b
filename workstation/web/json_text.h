// JSON written straight into a string, for answers too large to build as a
// document first: numbers as the shortest text that reads back as the float
// the meter sent (null when not finite), strings quoted and escaped.
#pragma once

#include <string>

namespace pondrel::json_text {

// Appends a computed `value` (a mean, an age) with 7 significant digits, or null.
void number(std::string& out, double value);
// Appends a reading as the meter sent it: the shortest text that reads back
// as exactly this float (230.12346, not 230.1235), or null.
void number(std::string& out, float value);
// Appends `text` quoted, escaped as JSON requires.
void string(std::string& out, const std::string& text);
// Appends [v0,v1,...] of `values`.
template <typename Values>
void numbers(std::string& out, const Values& values) {
    out += '[';
    bool first = true;
    for (const auto value : values) {
        if (!first) out += ',';
        first = false;
        number(out, value);
    }
    out += ']';
}

}  // namespace pondrel::json_text
