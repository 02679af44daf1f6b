// The frames of one request kind, reading holding registers (function 3),
// as a master sends and checks them itself: RTU framing (a serial line, RTU
// over TCP) and Modbus TCP framing. Pure; used by ModbusMaster and the tests.
//
// check_answer() looks at the bytes received since a request and says
// whether they begin with its answer, with a frame that belongs to another
// exchange (another slave on RTU, another transaction on TCP: to be skipped),
// or with bytes that cannot be its answer.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace pondrel {

enum class Framing { Rtu, Tcp };

// What a request asked for; the answer must match all of it.
struct RegisterRequest {
    int slave = 1;                    // slave address; unit id on TCP
    int start = 0;
    int count = 1;                    // 1 to 125
    std::uint16_t transaction = 0;    // TCP only
};

// The Modbus CRC-16 of `data`.
std::uint16_t modbus_crc(const std::uint8_t* data, std::size_t size);

// The request's bytes on the wire.
std::vector<std::uint8_t> request_frame(Framing framing, const RegisterRequest& request);

struct AnswerCheck {
    enum Kind {
        NeedMore,    // not a whole frame yet: `length` bytes are needed
        Answer,      // the answer: registers from `length`-long frame
        Exception,   // the slave's exception answer; `code` is its code
        Foreign,     // a whole frame of another exchange, `length` bytes: skip it
        Bad,         // bytes that cannot be this request's answer; `why` says so
        BadCrc,      // the answer's frame with a wrong CRC
    };
    Kind kind = NeedMore;
    std::size_t length = 0;
    int code = 0;
    std::string why;
};

// Checks `bytes` (everything received after the request, from the first
// byte of a frame) against `request`.
AnswerCheck check_answer(Framing framing, const RegisterRequest& request, const std::uint8_t* bytes,
                         std::size_t size);

// The registers of a frame check_answer() found to be the answer.
void answer_registers(Framing framing, const std::uint8_t* frame, int count, std::uint16_t* out);

}  // namespace pondrel
