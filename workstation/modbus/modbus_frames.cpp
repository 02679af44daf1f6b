#include "modbus_frames.h"

namespace pondrel {

namespace {

constexpr std::uint8_t kReadHolding = 0x03;
constexpr std::uint8_t kExceptionBit = 0x80;

std::string hex(int value) {
    static const char digits[] = "0123456789abcdef";
    return std::string("0x") + digits[(value >> 4) & 0xf] + digits[value & 0xf];
}

// The frame's function, byte count and payload length checks, shared by both
// framings once the frame is whole: `pdu` is function code onwards.
AnswerCheck check_pdu(const RegisterRequest& request, const std::uint8_t* pdu, std::size_t pdu_size,
                      std::size_t length) {
    AnswerCheck check;
    check.length = length;
    if (pdu[0] == (kReadHolding | kExceptionBit)) {
        check.kind = AnswerCheck::Exception;
        check.code = pdu_size > 1 ? pdu[1] : 0;
        return check;
    }
    const int wanted = 2 * request.count;
    if (pdu[0] != kReadHolding || pdu_size < 2 || pdu[1] != wanted || pdu_size != static_cast<std::size_t>(2 + wanted)) {
        check.kind = AnswerCheck::Bad;
        check.why = pdu[0] != kReadHolding ? "an answer with function " + hex(pdu[0]) + " to function 0x03"
                                           : "an answer of " + std::to_string(pdu_size > 1 ? pdu[1] : 0) +
                                                 " bytes to a request for " + std::to_string(wanted);
        return check;
    }
    check.kind = AnswerCheck::Answer;
    return check;
}

AnswerCheck check_rtu(const RegisterRequest& request, const std::uint8_t* bytes, std::size_t size) {
    AnswerCheck check;
    if (size < 3) {
        check.length = 3;
        return check;
    }
    const std::uint8_t function = bytes[1];
    std::size_t length = 0;
    if (function == (kReadHolding | kExceptionBit)) {
        length = 5;
    } else if (function == kReadHolding) {
        length = 3u + bytes[2] + 2u;
    } else {
        check.kind = AnswerCheck::Bad;
        check.why = "bytes that are no answer (function " + hex(function) + " from address " +
                    std::to_string(bytes[0]) + ")";
        if (size >= 6 && bytes[2] == 0 && bytes[3] == 0 && bytes[4] == 0 && bytes[5] >= 3) {
            check.why = "an answer in Modbus TCP framing: the gateway speaks Modbus TCP (use --tcp, or tcp = in the "
                        "configuration)";
        }
        return check;
    }
    check.length = length;
    if (size < length) return check;
    const std::uint16_t crc = modbus_crc(bytes, length - 2);
    const bool crc_ok = bytes[length - 2] == (crc & 0xff) && bytes[length - 1] == (crc >> 8);
    if (!crc_ok) {
        check.kind = bytes[0] == request.slave ? AnswerCheck::BadCrc : AnswerCheck::Bad;
        check.why = "a frame that failed its CRC check";
        return check;
    }
    if (bytes[0] != request.slave) {
        check.kind = AnswerCheck::Foreign;
        check.why = "an answer from slave " + std::to_string(bytes[0]);
        return check;
    }
    return check_pdu(request, bytes + 1, length - 3, length);
}

AnswerCheck check_tcp(const RegisterRequest& request, const std::uint8_t* bytes, std::size_t size) {
    AnswerCheck check;
    if (size < 8) {
        check.length = 8;
        return check;
    }
    const unsigned protocol = (bytes[2] << 8) | bytes[3];
    const unsigned following = (bytes[4] << 8) | bytes[5];
    if (protocol != 0 || following < 2 || following > 254) {
        check.kind = AnswerCheck::Bad;
        check.why = "bytes that are no Modbus TCP frame" +
                    std::string(bytes[1] == kReadHolding || bytes[1] == (kReadHolding | kExceptionBit)
                                    ? ": the gateway passes RTU frames (use --rtu-over-tcp, or rtu_over_tcp = in the "
                                      "configuration)"
                                    : "");
        return check;
    }
    check.length = 6u + following;
    if (size < check.length) return check;
    const unsigned transaction = (bytes[0] << 8) | bytes[1];
    if (transaction != request.transaction) {
        check.kind = AnswerCheck::Foreign;
        check.why = "an answer to transaction " + std::to_string(transaction);
        return check;
    }
    if (bytes[6] != request.slave) {
        check.kind = AnswerCheck::Bad;
        check.why = "an answer from unit id " + std::to_string(bytes[6]) + " to a request for unit id " +
                    std::to_string(request.slave);
        return check;
    }
    return check_pdu(request, bytes + 7, following - 1, check.length);
}

}  // namespace

std::uint16_t modbus_crc(const std::uint8_t* data, std::size_t size) {
    std::uint16_t crc = 0xffff;
    for (std::size_t i = 0; i < size; ++i) {
        crc ^= data[i];
        for (int bit = 0; bit < 8; ++bit) crc = (crc & 1) ? static_cast<std::uint16_t>((crc >> 1) ^ 0xa001) : crc >> 1;
    }
    return crc;
}

std::vector<std::uint8_t> request_frame(Framing framing, const RegisterRequest& request) {
    const std::uint8_t pdu[] = {kReadHolding, static_cast<std::uint8_t>(request.start >> 8),
                                static_cast<std::uint8_t>(request.start), static_cast<std::uint8_t>(request.count >> 8),
                                static_cast<std::uint8_t>(request.count)};
    std::vector<std::uint8_t> frame;
    if (framing == Framing::Tcp) {
        frame = {static_cast<std::uint8_t>(request.transaction >> 8), static_cast<std::uint8_t>(request.transaction), 0,
                 0, 0, 6, static_cast<std::uint8_t>(request.slave)};
        frame.insert(frame.end(), pdu, pdu + sizeof pdu);
        return frame;
    }
    frame.push_back(static_cast<std::uint8_t>(request.slave));
    frame.insert(frame.end(), pdu, pdu + sizeof pdu);
    const std::uint16_t crc = modbus_crc(frame.data(), frame.size());
    frame.push_back(static_cast<std::uint8_t>(crc & 0xff));
    frame.push_back(static_cast<std::uint8_t>(crc >> 8));
    return frame;
}

AnswerCheck check_answer(Framing framing, const RegisterRequest& request, const std::uint8_t* bytes,
                         std::size_t size) {
    return framing == Framing::Tcp ? check_tcp(request, bytes, size) : check_rtu(request, bytes, size);
}

void answer_registers(Framing framing, const std::uint8_t* frame, int count, std::uint16_t* out) {
    const std::uint8_t* data = frame + (framing == Framing::Tcp ? 9 : 3);
    for (int i = 0; i < count; ++i) out[i] = static_cast<std::uint16_t>((data[2 * i] << 8) | data[2 * i + 1]);
}

}  // namespace pondrel
