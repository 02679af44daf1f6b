#include "endpoint.h"

#include <cerrno>
#include <cstdlib>
#include <stdexcept>

namespace pondrel {

namespace {

std::invalid_argument bad(const std::string& text, const std::string& what = "") {
    return std::invalid_argument("'" + text + "'" + (what.empty() ? "" : " (" + what + ")"));
}

}  // namespace

void parse_endpoint(const std::string& text, bool need_port, SerialSettings& line) {
    std::string host = text;
    std::string port;
    if (!text.empty() && text[0] == '[') {
        const std::size_t close = text.find(']');
        if (close == std::string::npos) throw bad(text);
        host = text.substr(1, close - 1);
        if (close + 1 < text.size()) {
            if (text[close + 1] != ':') throw bad(text);
            port = text.substr(close + 2);
        }
    } else if (const std::size_t colon = text.rfind(':'); colon != std::string::npos) {
        host = text.substr(0, colon);
        port = text.substr(colon + 1);
    }
    if (host.empty()) throw bad(text, "no host");
    if (port.empty() && need_port) throw bad(text, "HOST:PORT");
    int number = 502;
    if (!port.empty()) {
        char* end = nullptr;
        errno = 0;
        const long value = std::strtol(port.c_str(), &end, 10);
        if (port[0] < '0' || port[0] > '9' || *end != '\0' || errno != 0 || value < 1 || value > 65535) {
            throw bad(port, "a whole number from 1 to 65535");
        }
        number = static_cast<int>(value);
    }
    line.host = host;
    line.port = number;
    line.device = text;
}

}  // namespace pondrel
