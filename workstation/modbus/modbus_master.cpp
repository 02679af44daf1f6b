#include "modbus_master.h"

#include <modbus/modbus.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <exception>
#include <stdexcept>
#include <thread>

#include "transports.h"

namespace pondrel {

namespace {

void pause_ms(int ms) {
    if (ms > 0) std::this_thread::sleep_for(std::chrono::milliseconds(ms));
}

}  // namespace

ModbusMaster::~ModbusMaster() = default;

std::chrono::steady_clock::duration ModbusMaster::character_silence(const SerialSettings& settings) {
    const int bits = 1 + settings.data_bits + (settings.parity == 'N' ? 0 : 1) + settings.stop_bits;
    const double seconds = settings.baud > 19200 ? 0.00175 : 3.5 * bits / settings.baud;
    return std::chrono::duration_cast<std::chrono::steady_clock::duration>(std::chrono::duration<double>(seconds));
}

void ModbusMaster::open() {
    ctx_ = new_context();
    if (ctx_ == nullptr) {
        throw std::runtime_error(describe() + ": cannot create a Modbus context: " + modbus_strerror(errno));
    }
    if (modbus_set_slave(ctx_, settings_.slave) == -1) {
        const std::string reason = modbus_strerror(errno);
        close();
        throw std::runtime_error(describe() + ": bad slave address: " + reason);
    }
    const auto timeout_us = static_cast<std::uint32_t>(settings_.timeout_ms) * 1000u;
    modbus_set_response_timeout(ctx_, timeout_us / 1000000u, timeout_us % 1000000u);
    try {
        connect();
    } catch (...) {
        close();
        throw;
    }
    fault_ = LineFault::None;
    answered_last_ = false;
    pause_ms(settings_.connect_pause_ms);
    drain(false);
}

void ModbusMaster::close() {
    if (ctx_ == nullptr) return;
    disconnect();
    modbus_free(ctx_);
    ctx_ = nullptr;
}

void ModbusMaster::reopen() {
    close();
    fault_ = LineFault::Lost;
    open();
}

void ModbusMaster::set_slave(int slave) {
    settings_.slave = slave;
    if (ctx_ != nullptr) modbus_set_slave(ctx_, slave);
}

Discarded ModbusMaster::drain(bool wait_first) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(settings_.timeout_ms);
    return discard_until_quiet(modbus_get_socket(ctx_), quiet(), deadline, wait_first);
}

void ModbusMaster::keep_silence() {
    const auto until = exchange_end_ + silence_;
    if (std::chrono::steady_clock::now() < until) std::this_thread::sleep_until(until);
}

bool ModbusMaster::read_registers_of(int slave, int start, int count, std::uint16_t* out, std::string& error) {
    if (slave != settings_.slave) set_slave(slave);
    return read_registers(start, count, out, error);
}

bool ModbusMaster::fail(LineFault fault, const std::string& why, std::string& error) {
    fault_ = fault;
    error = why;
    answered_last_ = false;
    return false;
}

namespace {

std::string flood_text(const Discarded& flood, int timeout_ms) {
    return "bytes kept coming for " + std::to_string(timeout_ms) + " ms without a pause (" +
           std::to_string(flood.total) + " bytes)";
}

std::string exception_text(int code) {
    if (code >= 1 && code <= 11) return modbus_strerror(MODBUS_ENOBASE + code);
    return "exception " + std::to_string(code);
}

}  // namespace

bool ModbusMaster::only_recent_answers(const Discarded& bytes) const {
    if (bytes.total != bytes.bytes.size()) return false;
    std::size_t at = 0;
    while (at < bytes.bytes.size()) {
        const auto rest = bytes.bytes.size() - at;
        const auto same = std::find_if(recent_.begin(), recent_.end(), [&](const TakenAnswer& taken) {
            return taken.bytes.size() <= rest &&
                   std::equal(taken.bytes.begin(), taken.bytes.end(), bytes.bytes.begin() + static_cast<long>(at));
        });
        if (same == recent_.end()) return false;
        at += same->bytes.size();
    }
    return at > 0;
}

std::size_t ModbusMaster::recent_answer_at(const std::uint8_t* frame, std::size_t have) const {
    for (const TakenAnswer& taken : recent_) {
        const std::size_t common = std::min(have, taken.bytes.size());
        if (common > 0 && std::equal(frame, frame + common, taken.bytes.begin())) return taken.bytes.size();
    }
    return 0;
}

bool ModbusMaster::ask(const RegisterRequest& request, std::uint8_t (&answer)[300], std::size_t& have,
                       std::string& error) {
    using Clock = std::chrono::steady_clock;
    const int fd = modbus_get_socket(ctx_);
    const Framing framing = this->framing();
    const auto timeout = std::chrono::milliseconds(settings_.timeout_ms);
    const std::vector<std::uint8_t> frame = request_frame(framing, request);
    const Deadline deadline = Clock::now() + timeout;
    int io_error = 0;
    switch (write_all(fd, frame.data(), frame.size(), deadline, io_error)) {
    case IoResult::Ok: break;
    case IoResult::TimedOut: return fail(LineFault::NoAnswer, "the request could not be sent in time", error);
    case IoResult::Gone: return fail(LineFault::Lost, std::strerror(io_error), error);
    }

    // At most one frame of the largest size at a time; frames of other
    // exchanges are skipped, anything else ends the request.
    have = 0;
    std::string skipped;  // what the last frame of another exchange was
    for (;;) {
        const AnswerCheck check = check_answer(framing, request, answer, have);
        switch (check.kind) {
        case AnswerCheck::NeedMore: {
            std::size_t got = 0;
            const IoResult result = read_some(fd, answer + have, check.length - have, deadline, got, io_error);
            if (result == IoResult::Gone) return fail(LineFault::Lost, std::strerror(io_error), error);
            if (result == IoResult::TimedOut) {
                if (have == 0 && skipped.empty()) {
                    late_slave_ = settings_.slave;
                    late_until_ = Clock::now() + timeout;
                    return fail(LineFault::NoAnswer, std::strerror(ETIMEDOUT), error);
                }
                if (have == 0) return fail(LineFault::Mismatch, skipped + ", none to this request", error);
                return fail(LineFault::Mismatch,
                            "an answer cut short (" + std::to_string(have) + " of " + std::to_string(check.length) +
                                " bytes)",
                            error);
            }
            have += got;
            continue;
        }
        case AnswerCheck::Foreign:
            skipped = check.why;
            std::memmove(answer, answer + check.length, have - check.length);
            have -= check.length;
            continue;
        case AnswerCheck::Bad: {
            // A late copy of an earlier answer that does not fit this request
            // (a gateway or line repeating itself) is skipped whole, as a frame
            // of another exchange; anything else ends the request.
            const std::size_t copy = framing == Framing::Rtu ? recent_answer_at(answer, have) : 0;
            if (copy == 0) return fail(LineFault::Mismatch, check.why, error);
            if (have < copy) {
                std::size_t got = 0;
                const IoResult result = read_some(fd, answer + have, copy - have, deadline, got, io_error);
                if (result == IoResult::Gone) return fail(LineFault::Lost, std::strerror(io_error), error);
                if (result == IoResult::TimedOut) return fail(LineFault::Mismatch, check.why, error);
                have += got;
                continue;
            }
            skipped = "a copy of an earlier answer";
            std::memmove(answer, answer + copy, have - copy);
            have -= copy;
            continue;
        }
        case AnswerCheck::BadCrc: return fail(LineFault::BadCrc, modbus_strerror(EMBBADCRC), error);
        case AnswerCheck::Exception: return fail(LineFault::Exception, exception_text(check.code), error);
        case AnswerCheck::Answer: return true;
        }
    }
}

bool ModbusMaster::exchange(int start, int count, std::uint16_t* out, std::string& error) {
    using Clock = std::chrono::steady_clock;
    const int fd = modbus_get_socket(ctx_);
    const Framing framing = this->framing();
    const auto timeout = std::chrono::milliseconds(settings_.timeout_ms);

    // An RTU answer carries no request's number: the answer to a request
    // of this slave that timed out may still come, and would pass for the
    // next one's. Until a timeout after it, what comes is thrown away.
    if (framing == Framing::Rtu && late_slave_ == settings_.slave && Clock::now() < late_until_) {
        const Discarded late = discard_until_quiet(fd, late_until_ - Clock::now(), late_until_, true);
        if (late.gone) return fail(LineFault::Lost, std::strerror(late.error), error);
    }
    late_slave_ = -1;

    // A clean line: what is waiting belongs to no request of ours.
    const Discarded waiting = drain(false);
    if (waiting.gone) return fail(LineFault::Lost, std::strerror(waiting.error), error);
    if (!waiting.quiet) return fail(LineFault::Flood, flood_text(waiting, settings_.timeout_ms), error);
    if (waiting.total > 0 && framing == Framing::Rtu && answered_last_ && !only_recent_answers(waiting)) {
        // The last answer taken may not have been the one it seemed.
        return fail(LineFault::Mismatch,
                    std::to_string(waiting.total) + " bytes nobody asked for came after the last answer", error);
    }
    answered_last_ = false;

    // An answer on RTU framing names no request: a late copy of an earlier
    // answer fits a request of the same slave and size as well as its own.
    const auto repeats_another = [&](const std::uint8_t* answer, std::size_t have) {
        for (const TakenAnswer& taken : recent_) {
            if (std::equal(answer, answer + have, taken.bytes.begin(), taken.bytes.end()) &&
                (taken.start != start || taken.count != count)) {
                return true;
            }
        }
        return false;
    };
    std::uint8_t answer[300];
    std::size_t have = 0;
    for (bool asked_again = false;; asked_again = true) {
        const RegisterRequest request{settings_.slave, start, count, ++transaction_};
        if (!ask(request, answer, have, error)) return false;
        if (framing != Framing::Rtu || asked_again || !repeats_another(answer, have)) break;
        // An earlier answer again, to other registers: a gateway's or a
        // line's copy, or registers that read the same. Once the line has
        // been silent for a whole timeout no copy is on its way, and the
        // answer to the request asked again is taken, whatever it holds.
        const Discarded copies = discard_until_quiet(fd, timeout, Clock::now() + 2 * timeout, true);
        if (copies.gone) return fail(LineFault::Lost, std::strerror(copies.error), error);
        if (!copies.quiet) return fail(LineFault::Flood, flood_text(copies, settings_.timeout_ms), error);
    }
    if (framing == Framing::Rtu) {
        // Remembered even when what follows makes it doubtful: a copy of it
        // is never taken for other registers. The slave address is in the
        // bytes: only start and count are kept.
        recent_.push_back({start, count, std::vector<std::uint8_t>(answer, answer + have)});
        if (recent_.size() > kRecentAnswers) recent_.pop_front();
        // Anything already behind the answer but copies of answers makes it
        // doubtful; what comes later is found on the next request's clean line.
        const Discarded after = drain(false);
        if (after.gone) return fail(LineFault::Lost, std::strerror(after.error), error);
        if (!after.quiet) return fail(LineFault::Flood, flood_text(after, settings_.timeout_ms), error);
        if (after.total > 0 && !only_recent_answers(after)) {
            return fail(LineFault::Mismatch, std::to_string(after.total) + " more bytes came right after the answer",
                        error);
        }
    }
    answer_registers(framing, answer, count, out);
    answered_last_ = true;
    return true;
}

bool ModbusMaster::read_registers(int start, int count, std::uint16_t* out, std::string& error) {
    if (ctx_ != nullptr && reconnect_first_) {
        reconnect_first_ = false;
        try {
            close();
            open();
        } catch (const std::exception& e) {
            fault_ = LineFault::Lost;
            error = e.what();
            return false;
        }
    }
    if (ctx_ == nullptr) {
        error = settings_.device + " is closed";
        fault_ = LineFault::Lost;
        return false;
    }
    pause_ms(settings_.request_pause_ms);
    keep_silence();
    const bool answered = exchange(start, count, out, error);
    exchange_end_ = std::chrono::steady_clock::now();
    if (answered) {
        fault_ = LineFault::None;
        unfit_in_a_row_ = 0;
        return true;
    }
    if (fault_ != LineFault::Lost && !same_device_at_path()) fault_ = LineFault::Lost;
    if (fault_ == LineFault::Lost) return false;
    if (framing() == Framing::Rtu && late_slave_ != settings_.slave) {
        // The answer to the failed request, or a copy of it, may still come
        // and would pass for the next one's: it is waited out as a late one.
        late_slave_ = settings_.slave;
        late_until_ = std::chrono::steady_clock::now() + std::chrono::milliseconds(settings_.timeout_ms);
    }
    const bool unfit = fault_ == LineFault::Mismatch || fault_ == LineFault::Flood || fault_ == LineFault::BadCrc;
    unfit_in_a_row_ = unfit ? unfit_in_a_row_ + 1 : 0;
    if (settings_.transport != Transport::Serial && (unfit_in_a_row_ >= 2 || (framing() == Framing::Tcp && unfit))) {
        // A gateway's stream that keeps returning what does not fit is
        // started afresh: the next request opens the connection again.
        reconnect_first_ = true;
        unfit_in_a_row_ = 0;
        error += "; the connection is opened again";
        return false;
    }
    const Discarded rest = drain(true);
    if (rest.gone) fault_ = LineFault::Lost;
    if (!rest.quiet) {
        fault_ = LineFault::Flood;
        error = flood_text(rest, settings_.timeout_ms);
    }
    return false;
}

std::unique_ptr<ModbusMaster> open_line(const SerialSettings& settings) {
    std::unique_ptr<ModbusMaster> line;
    switch (settings.transport) {
    case Transport::Serial: line = std::make_unique<SerialLine>(settings); break;
    case Transport::Tcp: line = std::make_unique<TcpLine>(settings); break;
    case Transport::RtuOverTcp: line = std::make_unique<RtuOverTcpLine>(settings); break;
    }
    line->open();
    return line;
}

}  // namespace pondrel
