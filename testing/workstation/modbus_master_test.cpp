// The master against peers that lie: late, doubled, foreign and flooding
// answers on each transport. An answer is taken only for its own request
// (the rogue's registers equal their addresses, so a mix-up shows), each
// read ends within its timeout, and the line is back right after.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <memory>
#include <cstdint>
#include <string>
#include <thread>
#include <vector>

#include "endpoint.h"
#include "modbus_frames.h"
#include "modbus_master.h"
#include "rogue_peer.h"

using namespace pondrel;
using testing_support::Misdeed;
using testing_support::RoguePeer;

namespace {

const char* outcome_name(bool ok, LineFault fault) {
    if (ok) return "ok";
    switch (fault) {
    case LineFault::NoAnswer: return "timeout";
    case LineFault::Mismatch: return "mismatch";
    case LineFault::Flood: return "flood";
    case LineFault::BadCrc: return "crc";
    case LineFault::Exception: return "exception";
    case LineFault::Lost: return "lost";
    case LineFault::None:
    case LineFault::Other: break;
    }
    return "other";
}

}  // namespace

TEST(ModbusMaster, TakesOnlyItsOwnAnswerFromAPeerThatLies) {
    using Kind = RoguePeer::Kind;
    const struct {
        const char* name;
        Kind kind;
        Misdeed misdeed;                    // done to the second request
        std::vector<const char*> outcomes;  // of six reads; "a|b" for either, "*" for any
    } cases[] = {
        {"doubled, serial", Kind::SerialPty, Misdeed::Double, {"ok", "ok", "ok", "ok", "ok", "ok"}},
        {"doubled, RTU over TCP", Kind::RtuOverTcp, Misdeed::Double, {"ok", "ok", "ok", "ok", "ok", "ok"}},
        {"doubled, Modbus TCP", Kind::Tcp, Misdeed::Double, {"ok", "ok", "ok", "ok", "ok", "ok"}},
        {"late, serial", Kind::SerialPty, Misdeed::Late, {"ok", "timeout", "ok", "ok", "ok", "ok"}},
        {"late, RTU over TCP", Kind::RtuOverTcp, Misdeed::Late, {"ok", "timeout", "ok", "ok", "ok", "ok"}},
        {"late, Modbus TCP", Kind::Tcp, Misdeed::Late, {"ok", "timeout", "ok", "ok", "ok", "ok"}},
        {"another slave, serial", Kind::SerialPty, Misdeed::OtherAddress, {"ok", "mismatch", "ok", "ok", "ok", "ok"}},
        {"another slave, RTU over TCP", Kind::RtuOverTcp, Misdeed::OtherAddress,
         {"ok", "mismatch", "ok", "ok", "ok", "ok"}},
        {"another unit id, Modbus TCP", Kind::Tcp, Misdeed::OtherAddress, {"ok", "mismatch", "ok", "ok", "ok", "ok"}},
        {"another transaction, Modbus TCP", Kind::Tcp, Misdeed::OtherTransaction,
         {"ok", "mismatch", "ok", "ok", "ok", "ok"}},
        {"leftover bytes, serial", Kind::SerialPty, Misdeed::Leftover, {"ok", "ok", "mismatch", "ok", "ok", "ok"}},
        {"leftover bytes, RTU over TCP", Kind::RtuOverTcp, Misdeed::Leftover,
         {"ok", "ok", "mismatch", "ok", "ok", "ok"}},
        {"leftover bytes, Modbus TCP", Kind::Tcp, Misdeed::Leftover, {"ok", "ok", "ok", "ok", "ok", "ok"}},
        // A flood seen as such, or as bytes that are no answer when a busy
        // machine lets the line pause for a frame's silence.
        {"flood, serial", Kind::SerialPty, Misdeed::Flood, {"ok", "flood|mismatch", "*", "*", "ok", "ok"}},
        {"flood, RTU over TCP", Kind::RtuOverTcp, Misdeed::Flood, {"ok", "flood|mismatch", "*", "*", "ok", "ok"}},
        {"flood, Modbus TCP", Kind::Tcp, Misdeed::Flood, {"ok", "mismatch", "*", "*", "ok", "ok"}},
    };
    // The blocks of a round: voltage, then three of the same size.
    const std::pair<int, int> blocks[] = {{100, 2}, {102, 36}, {138, 36}, {174, 36}};
    const int timeout_ms = 200;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        RoguePeer peer(c.kind, {Misdeed::None, c.misdeed}, 300, 500);
        SerialSettings settings;
        settings.timeout_ms = timeout_ms;
        if (c.kind == Kind::SerialPty) {
            settings.device = peer.address();
        } else {
            settings.transport = c.kind == Kind::Tcp ? Transport::Tcp : Transport::RtuOverTcp;
            parse_endpoint(peer.address(), true, settings);
        }
        const auto line = open_line(settings);
        for (std::size_t i = 0; i < c.outcomes.size(); ++i) {
            const auto [start, count] = blocks[i % 4];
            std::uint16_t registers[36] = {};
            std::string error;
            const auto began = std::chrono::steady_clock::now();
            const bool ok = line->read_registers(start, count, registers, error);
            const auto took = std::chrono::steady_clock::now() - began;
            const std::string outcome = outcome_name(ok, line->fault());
            const std::string expected = c.outcomes[i];
            if (expected != "*") {
                EXPECT_NE(("|" + expected + "|").find("|" + outcome + "|"), std::string::npos)
                    << "read " << i << ": " << outcome << " (" << error << "), expected " << expected;
            }
            if (ok) {
                EXPECT_EQ(registers[0], start) << "read " << i << " took another request's answer";
                EXPECT_EQ(registers[count - 1], start + count - 1) << "read " << i;
            }
            // Bounded: a clean line, a late answer waited out, the answer.
            EXPECT_LT(took, std::chrono::milliseconds(3 * timeout_ms + 100)) << "read " << i;
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        }
    }
}

TEST(ModbusFrames, ChecksAnAnswerAgainstItsRequest) {
    const RegisterRequest request{7, 100, 2, 0x1234};
    const auto rtu = [](std::vector<std::uint8_t> frame) {
        const std::uint16_t crc = modbus_crc(frame.data(), frame.size());
        frame.push_back(static_cast<std::uint8_t>(crc & 0xff));
        frame.push_back(static_cast<std::uint8_t>(crc >> 8));
        return frame;
    };
    const struct {
        const char* name;
        Framing framing;
        std::vector<std::uint8_t> bytes;
        AnswerCheck::Kind kind;
        std::size_t length;
    } cases[] = {
        {"rtu answer", Framing::Rtu, rtu({7, 3, 4, 0, 1, 0, 2}), AnswerCheck::Answer, 9},
        {"rtu partial", Framing::Rtu, {7, 3, 4, 0}, AnswerCheck::NeedMore, 9},
        {"rtu exception", Framing::Rtu, rtu({7, 0x83, 2}), AnswerCheck::Exception, 5},
        {"rtu other slave", Framing::Rtu, rtu({8, 3, 4, 0, 1, 0, 2}), AnswerCheck::Foreign, 9},
        {"rtu byte count", Framing::Rtu, rtu({7, 3, 2, 0, 1}), AnswerCheck::Bad, 7},
        {"rtu function", Framing::Rtu, {7, 4, 4}, AnswerCheck::Bad, 0},
        {"rtu crc", Framing::Rtu, {7, 3, 4, 0, 1, 0, 2, 0, 0}, AnswerCheck::BadCrc, 9},
        {"tcp answer", Framing::Tcp, {0x12, 0x34, 0, 0, 0, 7, 7, 3, 4, 0, 1, 0, 2}, AnswerCheck::Answer, 13},
        {"tcp old transaction", Framing::Tcp, {0x12, 0x33, 0, 0, 0, 7, 7, 3, 4, 0, 1, 0, 2}, AnswerCheck::Foreign, 13},
        {"tcp other unit", Framing::Tcp, {0x12, 0x34, 0, 0, 0, 7, 9, 3, 4, 0, 1, 0, 2}, AnswerCheck::Bad, 13},
        {"tcp not modbus", Framing::Tcp, {'H', 'T', 'T', 'P', '/', '1', '.', '1'}, AnswerCheck::Bad, 0},
        {"tcp exception", Framing::Tcp, {0x12, 0x34, 0, 0, 0, 3, 7, 0x83, 2}, AnswerCheck::Exception, 9},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const AnswerCheck check = check_answer(c.framing, request, c.bytes.data(), c.bytes.size());
        EXPECT_EQ(check.kind, c.kind) << check.why;
        if (c.length != 0) {
            EXPECT_EQ(check.length, c.length);
        }
    }
    // A request as the wire carries it (the CRC of the well-known example frame).
    EXPECT_EQ(request_frame(Framing::Rtu, {1, 0, 1, 0}),
              (std::vector<std::uint8_t>{0x01, 0x03, 0x00, 0x00, 0x00, 0x01, 0x84, 0x0a}));
}

namespace {

std::unique_ptr<ModbusMaster> open_rogue(const RoguePeer& peer, RoguePeer::Kind kind, int timeout_ms) {
    SerialSettings settings;
    settings.timeout_ms = timeout_ms;
    if (kind == RoguePeer::Kind::SerialPty) {
        settings.device = peer.address();
    } else {
        settings.transport = RoguePeer::Kind::Tcp == kind ? Transport::Tcp : Transport::RtuOverTcp;
        parse_endpoint(peer.address(), true, settings);
    }
    return open_line(settings);
}

}  // namespace

TEST(ModbusMaster, ACopyOfTheLastAnswerIsNeverTakenForTheNextRequest) {
    using Kind = RoguePeer::Kind;
    // Every answer comes again `delay_ms` later, after the next request went
    // out when the delay is long enough: its slave, function and byte count
    // fit the next block of the round.
    const struct {
        Kind kind;
        int delay_ms;
        int meters;
    } cases[] = {
        {Kind::SerialPty, 0, 2},   {Kind::SerialPty, 50, 2},  {Kind::SerialPty, 95, 2},
        {Kind::RtuOverTcp, 0, 2},  {Kind::RtuOverTcp, 50, 2}, {Kind::RtuOverTcp, 95, 2},
        {Kind::SerialPty, 50, 8},  {Kind::RtuOverTcp, 50, 8},
    };
    const std::pair<int, int> blocks[] = {{100, 2}, {102, 36}, {138, 36}, {174, 36}};
    const int timeout_ms = 100;
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.kind == Kind::SerialPty ? "serial" : "RTU over TCP") + ", copies after " +
                     std::to_string(c.delay_ms) + " ms, " + std::to_string(c.meters) + " meters");
        RoguePeer peer(c.kind, std::vector<Misdeed>(1000, Misdeed::DoubleLate), c.delay_ms);
        const auto line = open_rogue(peer, c.kind, timeout_ms);
        std::vector<int> rounds_of(c.meters + 1, 0);
        for (int round = 0; round < 3; ++round) {
            for (int slave = 1; slave <= c.meters; ++slave) {
                int blocks_read = 0;
                for (const auto& [start, count] : blocks) {
                    std::uint16_t registers[36] = {};
                    std::string error;
                    if (!line->read_registers_of(slave, start, count, registers, error)) continue;
                    ++blocks_read;
                    EXPECT_EQ(registers[0], start) << "slave " << slave << " took another request's answer";
                    EXPECT_EQ(registers[count - 1], start + count - 1) << "slave " << slave;
                }
                if (blocks_read == 4) ++rounds_of[slave];
            }
        }
        // A copy that comes before the next request may fail that request;
        // rounds go on all the same: every meter completes one of three.
        for (int slave = 1; slave <= c.meters; ++slave) EXPECT_GE(rounds_of[slave], 1) << "slave " << slave;
    }
}

TEST(ModbusMaster, RegistersThatReadTheSameAsTheLastAnswerAreTaken) {
    // An idle meter's currents and powers are all 0: two answers alike.
    for (const auto kind : {RoguePeer::Kind::SerialPty, RoguePeer::Kind::RtuOverTcp}) {
        RoguePeer peer(kind, std::vector<Misdeed>(8, Misdeed::Zeros));
        const auto line = open_rogue(peer, kind, 100);
        for (const int start : {102, 138, 174, 102}) {
            std::uint16_t registers[36];
            std::fill(std::begin(registers), std::end(registers), 0xffff);
            std::string error;
            EXPECT_TRUE(line->read_registers(start, 36, registers, error)) << error;
            EXPECT_EQ(registers[0], 0);
            EXPECT_EQ(registers[35], 0);
        }
    }
}
