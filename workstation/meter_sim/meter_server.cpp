#include "meter_server.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

#include <modbus/modbus.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <stdexcept>
#include <thread>

#include "meter_model.h"
#include "modbus_frames.h"

namespace pondrel {

namespace {

std::runtime_error system_error(const std::string& what) {
    return std::runtime_error(what + ": " + std::strerror(errno));
}

// A pipe whose ends close with it.
struct Pipe {
    int fds[2] = {-1, -1};
    Pipe() {
        if (pipe(fds) != 0) fds[0] = fds[1] = -1;
    }
    ~Pipe() {
        if (fds[0] >= 0) close(fds[0]);
        if (fds[1] >= 0) close(fds[1]);
    }
    bool ok() const { return fds[0] >= 0; }
};

}  // namespace

struct MeterServer::Meter {
    explicit Meter(int address) : slave(address), model(address) {}
    int slave;
    MeterModel model;  // its round: polling rounds started (answered reads of register 100)
    Clock::time_point round_at{};  // when its round began
    modbus_mapping_t* mapping = nullptr;
    ~Meter() { modbus_mapping_free(mapping); }
};

namespace {

// An address 1 to 247, or nothing.
std::optional<int> address(const std::string& text) {
    char* end = nullptr;
    errno = 0;
    const long value = std::strtol(text.c_str(), &end, 10);
    if (text.empty() || text[0] < '0' || text[0] > '9' || *end != '\0' || errno != 0 || value < 1 || value > 247) {
        return std::nullopt;
    }
    return static_cast<int>(value);
}

}  // namespace

std::vector<int> parse_slave_list(const std::string& text) {
    std::vector<int> slaves;
    std::size_t at = 0;
    while (at <= text.size()) {
        const std::size_t comma = std::min(text.find(',', at), text.size());
        const std::string one = text.substr(at, comma - at);
        const std::size_t dash = one.find('-');
        const auto first = address(one.substr(0, dash));
        const auto last = dash == std::string::npos ? first : address(one.substr(dash + 1));
        if (!first || !last || *first > *last) {
            throw std::invalid_argument("bad value for --slave: '" + one +
                                        "' (an address from 1 to 247 or a range FROM-TO, as in 1-4,7)");
        }
        for (int slave = *first; slave <= *last; ++slave) {
            if (std::find(slaves.begin(), slaves.end(), slave) != slaves.end()) {
                throw std::invalid_argument("bad value for --slave: " + std::to_string(slave) + " given twice");
            }
            slaves.push_back(slave);
        }
        at = comma + 1;
    }
    return slaves;
}

MeterFault FaultPlan::of(int slave) const {
    const auto own = of_slave.find(slave);
    return own != of_slave.end() ? own->second : every;
}

bool add_fault(const std::string& text, FaultPlan& plan) {
    const std::size_t equals = text.find('=');
    if (equals + 1 == text.size()) return false;
    const auto fault = parse_meter_fault(equals == std::string::npos ? text : text.substr(equals + 1));
    if (!fault) return false;
    if (equals == std::string::npos) {
        plan.every = *fault;
        return true;
    }
    const auto slave = address(text.substr(0, equals));
    if (!slave) return false;
    plan.of_slave[*slave] = *fault;
    return true;
}

std::optional<MeterFault> parse_meter_fault(const std::string& text) {
    if (text.empty() || text == "none") return MeterFault::None;
    if (text == "silent") return MeterFault::Silent;
    if (text == "exception") return MeterFault::Exception;
    if (text == "crc") return MeterFault::BadCrc;
    if (text == "slow") return MeterFault::Slow;
    if (text == "absurd") return MeterFault::Absurd;
    if (text == "double") return MeterFault::Double;
    return std::nullopt;
}

MeterServer::MeterServer(const MeterServerOptions& options) : options_(options) {
    if (options_.slaves.empty()) throw std::runtime_error("no slave address to serve");
    if (options_.access != MeterAccess::Pty) {
        listen_on_tcp();
    } else {
        open_terminal();
    }
    // The context is never connected: frames reach it through a pipe, and
    // its answers go out through another, so that this server frames the line.
    ctx_ = modbus_new_rtu("/dev/null", 9600, 'N', 8, 1);
    if (ctx_ == nullptr) {
        close_all();
        throw std::runtime_error("cannot create the simulated meter's Modbus context");
    }
    for (int slave : options_.slaves) {
        auto meter = std::make_unique<Meter>(slave);
        meter->mapping = modbus_mapping_new_start_address(0, 0, 0, 0, kMeterFirstRegister, kMeterRegisterCount, 0, 0);
        if (meter->mapping == nullptr) {
            modbus_free(ctx_);
            close_all();
            throw std::runtime_error("cannot create the simulated meter's registers");
        }
        readings_to_registers(meter->model.readings(), options_.order, meter->mapping->tab_registers);
        meters_.push_back(std::move(meter));
    }
}

void MeterServer::close_all() {
    if (slave_fd_ >= 0) close(slave_fd_);
    if (master_fd_ >= 0) close(master_fd_);
    if (listen_fd_ >= 0) close(listen_fd_);
    slave_fd_ = master_fd_ = listen_fd_ = -1;
}

void MeterServer::listen_on_tcp() {
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_flags = AI_PASSIVE | AI_NUMERICSERV;
    addrinfo* found = nullptr;
    const std::string port = std::to_string(options_.listen_port);
    const int resolved = getaddrinfo(options_.listen_host.c_str(), port.c_str(), &hints, &found);
    if (resolved != 0) {
        throw std::runtime_error("cannot listen on " + options_.listen_host + ":" + port + ": " + gai_strerror(resolved));
    }
    std::string reason = "no address";
    for (addrinfo* a = found; a != nullptr && listen_fd_ < 0; a = a->ai_next) {
        const int fd = socket(a->ai_family, a->ai_socktype | SOCK_CLOEXEC, a->ai_protocol);
        if (fd < 0) continue;
        const int yes = 1;
        setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes);
        if (bind(fd, a->ai_addr, a->ai_addrlen) == 0 && listen(fd, 4) == 0) {
            listen_fd_ = fd;
        } else {
            reason = std::strerror(errno);
            close(fd);
        }
    }
    freeaddrinfo(found);
    if (listen_fd_ < 0) throw std::runtime_error("cannot listen on " + options_.listen_host + ":" + port + ": " + reason);
    sockaddr_storage bound{};
    socklen_t size = sizeof bound;
    getsockname(listen_fd_, reinterpret_cast<sockaddr*>(&bound), &size);
    const int actual = ntohs(bound.ss_family == AF_INET6 ? reinterpret_cast<sockaddr_in6*>(&bound)->sin6_port
                                                         : reinterpret_cast<sockaddr_in*>(&bound)->sin_port);
    const bool v6 = options_.listen_host.find(':') != std::string::npos;
    device_path_ = (v6 ? "[" + options_.listen_host + "]" : options_.listen_host) + ":" + std::to_string(actual);
}

void MeterServer::open_terminal() {
    master_fd_ = posix_openpt(O_RDWR | O_NOCTTY);
    if (master_fd_ < 0) throw system_error("cannot create a pseudo-terminal");
    char name[128];
    if (grantpt(master_fd_) != 0 || unlockpt(master_fd_) != 0 || ptsname_r(master_fd_, name, sizeof name) != 0) {
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
}

MeterServer::~MeterServer() {
    meters_.clear();
    modbus_free(ctx_);
    close_all();
}

MeterFault MeterServer::current_fault(int slave) const {
    if (options_.fault_file.empty()) return options_.faults.of(slave);
    std::ifstream file(options_.fault_file);
    FaultPlan plan;
    std::string word;
    while (file >> word) add_fault(word, plan);
    return plan.of(slave);
}

MeterServer::Clock::duration MeterServer::chars(double count) const {
    if (options_.line_baud <= 0) return Clock::duration::zero();
    return std::chrono::duration_cast<Clock::duration>(
        std::chrono::duration<double>(count * options_.bits_per_char / options_.line_baud));
}

// The length of the request at the start of `bytes`, once enough of it is
// there to tell; 0 when its function's requests have no length known here.
std::size_t MeterServer::frame_length(const std::vector<std::uint8_t>& bytes) const {
    if (bytes.size() < 2) return 0;
    switch (bytes[1]) {
    case 0x01: case 0x02: case 0x03: case 0x04: case 0x05: case 0x06: return 8;
    case 0x0F: case 0x10: return bytes.size() < 7 ? 0 : 9u + bytes[6];
    case 0x17: return bytes.size() < 11 ? 0 : 13u + bytes[10];
    default: return 0;
    }
}

void MeterServer::serve(const std::atomic<bool>& stop) {
    std::vector<std::uint8_t> pending;
    Clock::time_point first_byte{}, last_byte{};
    // A frame of unknown length ends after this much silence.
    const Clock::duration gap = std::max<Clock::duration>(chars(3.5), std::chrono::milliseconds(20));
    while (!stop.load()) {
        if (listen_fd_ >= 0 && master_fd_ < 0) {
            // A gateway's next master, once the one before has gone.
            pollfd incoming{listen_fd_, POLLIN, 0};
            if (poll(&incoming, 1, 100) > 0) master_fd_ = accept4(listen_fd_, nullptr, nullptr, SOCK_CLOEXEC);
            pending.clear();
            continue;
        }
        while (!copies_.empty() && copies_.front().first <= Clock::now()) {
            transmit(std::move(copies_.front().second), Clock::now());
            copies_.pop_front();
        }
        int wait_ms = pending.empty() ? 100 : 5;
        if (!copies_.empty()) {
            const auto until = std::chrono::ceil<std::chrono::milliseconds>(copies_.front().first - Clock::now());
            wait_ms = std::clamp(static_cast<int>(until.count()), 1, wait_ms);
        }
        pollfd ready{master_fd_, POLLIN, 0};
        if (poll(&ready, 1, wait_ms) > 0 && (ready.revents & (POLLIN | POLLHUP | POLLERR)) != 0) {
            std::uint8_t chunk[512];
            const ssize_t got = read(master_fd_, chunk, sizeof chunk);
            if (got > 0) {
                const auto now = Clock::now();
                if (pending.empty()) first_byte = now;
                last_byte = now;
                pending.insert(pending.end(), chunk, chunk + got);
            } else if (listen_fd_ >= 0 && (got == 0 || errno != EINTR)) {
                close(master_fd_);
                master_fd_ = -1;
                continue;
            }
        }
        if (options_.access == MeterAccess::Tcp) {
            take_tcp_frames(pending, first_byte, last_byte);
            continue;
        }
        // Take every whole frame; what cannot be told apart ends with silence.
        while (!pending.empty()) {
            std::size_t length = frame_length(pending);
            if (length == 0 || length > MODBUS_RTU_MAX_ADU_LENGTH) {
                if (Clock::now() - last_byte < gap) break;
                length = std::min<std::size_t>(pending.size(), MODBUS_RTU_MAX_ADU_LENGTH);
            } else if (pending.size() < length) {
                if (Clock::now() - last_byte < gap) break;
                pending.clear();  // a frame cut short: dropped
                break;
            }
            const std::vector<std::uint8_t> frame(pending.begin(), pending.begin() + static_cast<long>(length));
            pending.erase(pending.begin(), pending.begin() + static_cast<long>(length));
            handle(frame, first_byte, last_byte);
            first_byte = last_byte;
        }
    }
}

void MeterServer::take_tcp_frames(std::vector<std::uint8_t>& pending, Clock::time_point first_byte,
                                  Clock::time_point last_byte) {
    while (pending.size() >= 8) {
        const std::size_t following = (pending[4] << 8) | pending[5];
        if (pending[2] != 0 || pending[3] != 0 || following < 2 || following > 254) {
            pending.clear();  // not Modbus TCP: nothing in it can be framed
            return;
        }
        if (pending.size() < 6 + following) return;
        // The same request as an RTU frame, for the meters.
        std::vector<std::uint8_t> frame(pending.begin() + 6, pending.begin() + 6 + static_cast<long>(following));
        const std::uint16_t crc = modbus_crc(frame.data(), frame.size());
        frame.push_back(static_cast<std::uint8_t>(crc & 0xff));
        frame.push_back(static_cast<std::uint8_t>(crc >> 8));
        transaction_ = static_cast<std::uint16_t>((pending[0] << 8) | pending[1]);
        pending.erase(pending.begin(), pending.begin() + 6 + static_cast<long>(following));
        handle(frame, first_byte, last_byte);
    }
}

void MeterServer::handle(const std::vector<std::uint8_t>& frame, Clock::time_point first_byte,
                         Clock::time_point last_byte) {
    const auto found = std::find_if(meters_.begin(), meters_.end(),
                                    [&](const std::unique_ptr<Meter>& m) { return m->slave == frame[0]; });
    if (found == meters_.end()) return;  // another device's frame
    Meter& meter = **found;

    // libmodbus checks the frame (CRC, address) as it arrives through a pipe.
    std::uint8_t query[MODBUS_RTU_MAX_ADU_LENGTH];
    int length = -1;
    {
        Pipe in;
        if (!in.ok() || write(in.fds[1], frame.data(), frame.size()) != static_cast<ssize_t>(frame.size())) return;
        close(in.fds[1]);
        in.fds[1] = -1;
        modbus_set_slave(ctx_, meter.slave);
        modbus_set_socket(ctx_, in.fds[0]);
        length = modbus_receive(ctx_, query);
        modbus_set_socket(ctx_, master_fd_);
    }
    if (length <= 0) return;  // broken, or not for this meter

    // On a paced line the request took its bytes' time, after the line was free.
    const auto line_start = std::max(first_byte, line_free_);
    const auto request_end = std::max(last_byte, line_start + chars(static_cast<double>(frame.size())));

    const MeterFault fault = current_fault(meter.slave);
    if (fault == MeterFault::Silent) return;
    const int header = modbus_get_header_length(ctx_);
    const bool starts_round = query[header] == MODBUS_FC_READ_HOLDING_REGISTERS &&
                              ((query[header + 1] << 8) | query[header + 2]) == kMeterFirstRegister;
    if (starts_round && fault != MeterFault::Exception) {
        const auto now = Clock::now();
        const double seconds = options_.round_seconds > 0
                                   ? options_.round_seconds
                                   : std::chrono::duration<double>(now - meter.round_at).count() * options_.speed;
        meter.round_at = now;
        readings_to_registers(meter.model.advance(seconds), options_.order, meter.mapping->tab_registers);
    }
    if (fault == MeterFault::Absurd) {
        std::fill(meter.mapping->tab_registers, meter.mapping->tab_registers + kMeterRegisterCount, 0xFFFF);
    }
    std::vector<std::uint8_t> reply = framed_reply(meter, query, length, fault == MeterFault::Exception);
    if (reply.empty()) return;
    if (fault == MeterFault::BadCrc) reply.back() ^= 0x01;
    if (fault == MeterFault::Slow) std::this_thread::sleep_for(std::chrono::milliseconds(options_.slow_ms));
    // As a gateway that repeats itself: the copy goes out later, without
    // holding up the next answers, and may reach the master after its next
    // request went out.
    if (fault == MeterFault::Double) copies_.emplace_back(Clock::now() + std::chrono::milliseconds(options_.double_ms), reply);
    transmit(std::move(reply), request_end);
}

std::vector<std::uint8_t> MeterServer::framed_reply(Meter& meter, const std::uint8_t* query, int length,
                                                    bool exception) {
    Pipe out;
    if (!out.ok()) return {};
    modbus_set_socket(ctx_, out.fds[1]);
    const int sent = exception ? modbus_reply_exception(ctx_, query, MODBUS_EXCEPTION_SLAVE_OR_SERVER_FAILURE)
                               : modbus_reply(ctx_, query, length, meter.mapping);
    modbus_set_socket(ctx_, master_fd_);
    if (sent <= 0) return {};
    std::vector<std::uint8_t> frame(MODBUS_RTU_MAX_ADU_LENGTH);
    const ssize_t got = read(out.fds[0], frame.data(), frame.size());
    frame.resize(got > 0 ? static_cast<std::size_t>(got) : 0);
    return frame;
}

void MeterServer::transmit(std::vector<std::uint8_t> reply, Clock::time_point request_end) {
    if (options_.access == MeterAccess::Tcp && reply.size() >= 4) {
        // The RTU answer as Modbus TCP: the request's transaction, no CRC.
        const std::size_t following = reply.size() - 2;
        std::vector<std::uint8_t> framed = {static_cast<std::uint8_t>(transaction_ >> 8),
                                            static_cast<std::uint8_t>(transaction_), 0, 0,
                                            static_cast<std::uint8_t>(following >> 8),
                                            static_cast<std::uint8_t>(following)};
        framed.insert(framed.end(), reply.begin(), reply.end() - 2);
        reply = std::move(framed);
    }
    if (options_.line_baud <= 0) {
        if (write(master_fd_, reply.data(), reply.size()) != static_cast<ssize_t>(reply.size())) return;
        return;
    }
    // Byte i has arrived once start + (i + 1) character times have passed;
    // bytes already due go out together.
    const auto start = std::max(Clock::now(), request_end + chars(3.5));
    const auto arrived = [&](std::size_t i) { return start + chars(static_cast<double>(i + 1)); };
    std::size_t sent = 0;
    while (sent < reply.size()) {
        const auto now = Clock::now();
        std::size_t due = sent;
        while (due < reply.size() && arrived(due) <= now) ++due;
        if (due == sent) {
            std::this_thread::sleep_until(arrived(sent));
            continue;
        }
        if (write(master_fd_, reply.data() + sent, due - sent) != static_cast<ssize_t>(due - sent)) return;
        sent = due;
    }
    // The line is silent for 3.5 characters after an answer before the next
    // request, counted from when its last byte really went out (a late wake-up
    // must not shorten the next round).
    line_free_ = std::max(arrived(reply.size() - 1), Clock::now()) + chars(3.5);
}

}  // namespace pondrel
