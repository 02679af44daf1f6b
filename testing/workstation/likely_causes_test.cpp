// The line pondrel-host prints after a failed round: what the fault most
// likely means for a serial line and for a gateway.
#include <gtest/gtest.h>

#include "commissioning.h"

using namespace pondrel;

TEST(LikelyCauses, NameWhatToCheckForEachFaultAndLine) {
    SerialSettings serial;
    serial.device = "/dev/ttyUSB0";
    serial.slave = 7;
    serial.baud = 19200;
    serial.parity = 'E';
    SerialSettings gateway = serial;
    gateway.transport = Transport::Tcp;
    gateway.device = "10.0.0.5:502";
    const struct {
        const char* name;
        LineFault fault;
        const SerialSettings* line;
        const char* error;
        const char* says;
    } cases[] = {
        {"silent meter", LineFault::NoAnswer, &serial, "Connection timed out",
         "no answer from slave 7 on /dev/ttyUSB0 at 19200 baud 8E1: check the slave address, baud rate, parity and wiring"},
        {"silent unit", LineFault::NoAnswer, &gateway, "Connection timed out",
         "no answer from slave 7 through 10.0.0.5:502: check the slave address (unit id) and the gateway's serial settings"},
        {"exception", LineFault::Exception, &serial, "Illegal data address",
         "slave 7 answered with an exception (Illegal data address): check that the meter has this register map"},
        {"crc", LineFault::BadCrc, &serial, "Invalid CRC", "failed their CRC check: check the baud rate and parity"},
        {"mismatch", LineFault::Mismatch, &gateway, "an answer from unit id 8 to a request for unit id 7",
         "did not fit its request (an answer from unit id 8 to a request for unit id 7): check for another master on "
         "the gateway, or its unit id routing"},
        {"flood", LineFault::Flood, &serial, "bytes kept coming for 500 ms without a pause (9000 bytes)",
         "/dev/ttyUSB0 floods (bytes kept coming"},
        {"lost", LineFault::Lost, &serial, "Input/output error", "/dev/ttyUSB0 went away (Input/output error)"},
        {"other", LineFault::Other, &serial, "", "a request to slave 7 failed (incomplete round)"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const std::string text = likely_causes(c.fault, c.error, *c.line);
        EXPECT_NE(text.find(c.says), std::string::npos) << text;
    }
    EXPECT_EQ(frame_format(serial), "8E1");
}
