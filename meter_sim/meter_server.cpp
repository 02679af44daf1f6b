#include "meter_server.h"

#include <fcntl.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

#include <modbus/modbus.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <fstream>
#include <stdexcept>
#include <thread>

#include "meter_model.h"

namespace {

std::runtime_error system_error(const std::string& what) {
    return std::runtime_error(what + ": " + std::strerror(errno));
}

}  // namespace

std::optional<MeterFault> parse_meter_fault(const std::string& text) {
    if (text.empty() || text == "none") return MeterFault::None;
    if (text == "silent") return MeterFault::Silent;
    if (text == "exception") return MeterFault::Exception;
    if (text == "crc") return MeterFault::BadCrc;
    if (text == "slow") return MeterFault::Slow;
    return std::nullopt;
}

MeterServer::MeterServer(const MeterServerOptions& options) : options_(options) {
    master_fd_ = posix_openpt(O_RDWR | O_NOCTTY);
    if (master_fd_ < 0) throw system_error("cannot create a pseudo-terminal");
    char name[128];
    if (grantpt(master_fd_) != 0 || unlockpt(master_fd_) != 0 ||
        ptsname_r(master_fd_, name, sizeof name) != 0) {
        const auto error = system_error("cannot set up the pseudo-terminal");
        close(master_fd_);
        throw error;
    }
    device_path_ = name;
    slave_fd_ = open(name, O_RDWR | O_NOCTTY);
    termios raw{};
    if (slave_fd_ < 0 || tcgetattr(slave_fd_, &raw) != 0) {
        const auto error = system_error("cannot open " + device_path_);
        if (slave_fd_ >= 0) close(slave_fd_);
        close(master_fd_);
        throw error;
    }
    cfmakeraw(&raw);
    tcsetattr(slave_fd_, TCSANOW, &raw);

    // The context is never connected: it talks through the pseudo-terminal's
    // master side, handed over as its socket.
    ctx_ = modbus_new_rtu(device_path_.c_str(), 9600, 'N', 8, 1);
    mapping_ = modbus_mapping_new_start_address(0, 0, 0, 0, kMeterFirstRegister,
                                                kMeterRegisterCount, 0, 0);
    if (ctx_ == nullptr || mapping_ == nullptr) {
        if (ctx_ != nullptr) modbus_free(ctx_);
        close(slave_fd_);
        close(master_fd_);
        throw std::runtime_error("cannot create the simulated meter's Modbus context");
    }
    modbus_set_slave(ctx_, options_.slave_id);
    modbus_set_socket(ctx_, master_fd_);
    readings_to_registers(readings_at(0), options_.order, mapping_->tab_registers);
}

MeterServer::~MeterServer() {
    modbus_mapping_free(mapping_);
    modbus_free(ctx_);
    close(slave_fd_);
    close(master_fd_);
}

MeterFault MeterServer::current_fault() const {
    if (options_.fault_file.empty()) return options_.fault;
    std::ifstream file(options_.fault_file);
    std::string word;
    file >> word;
    return parse_meter_fault(word).value_or(MeterFault::None);
}

void MeterServer::serve(const std::atomic<bool>& stop) {
    std::uint8_t query[MODBUS_RTU_MAX_ADU_LENGTH];
    while (!stop.load()) {
        pollfd ready{master_fd_, POLLIN, 0};
        if (poll(&ready, 1, 100) <= 0) continue;
        const int length = modbus_receive(ctx_, query);
        if (length <= 0) {
            // A frame for another slave (0), or a broken one: drop what is left of it.
            if (length < 0) modbus_flush(ctx_);
            continue;
        }
        answer(query, length);
    }
}

void MeterServer::answer(const std::uint8_t* query, int length) {
    const MeterFault fault = current_fault();
    if (fault == MeterFault::Silent) return;
    if (fault == MeterFault::Exception) {
        modbus_reply_exception(ctx_, query, MODBUS_EXCEPTION_SLAVE_OR_SERVER_FAILURE);
        return;
    }
    const int header = modbus_get_header_length(ctx_);
    const bool starts_round = query[header] == MODBUS_FC_READ_HOLDING_REGISTERS &&
                              ((query[header + 1] << 8) | query[header + 2]) == kMeterFirstRegister;
    if (starts_round) {
        ++round_;
        readings_to_registers(readings_at(round_), options_.order, mapping_->tab_registers);
    }
    if (fault == MeterFault::Slow) {
        std::this_thread::sleep_for(std::chrono::milliseconds(options_.slow_ms));
    }
    if (fault == MeterFault::BadCrc) {
        answer_with_bad_crc(query, length);
        return;
    }
    modbus_reply(ctx_, query, length, mapping_);
}

void MeterServer::answer_with_bad_crc(const std::uint8_t* query, int length) {
    // libmodbus frames the reply into a pipe; one CRC bit is flipped on the way out.
    int pipe_fds[2];
    if (pipe(pipe_fds) != 0) return;
    modbus_set_socket(ctx_, pipe_fds[1]);
    const int sent = modbus_reply(ctx_, query, length, mapping_);
    modbus_set_socket(ctx_, master_fd_);
    std::uint8_t frame[MODBUS_RTU_MAX_ADU_LENGTH];
    const ssize_t got = sent > 0 ? read(pipe_fds[0], frame, sizeof frame) : 0;
    close(pipe_fds[0]);
    close(pipe_fds[1]);
    if (got <= 0) return;
    frame[got - 1] ^= 0x01;
    if (write(master_fd_, frame, static_cast<std::size_t>(got)) != got) return;
}
