#include "metrics_server.h"

#include <netdb.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <stdexcept>

#include <prometheus/exposer.h>

#include "site_config.h"

namespace pondrel {

namespace {

// Why `listen` cannot be served, found by binding it once ourselves (the
// HTTP server says only that it failed); empty when it can.
std::string why_not_served(const std::string& listen) {
    std::pair<std::string, int> where;
    try {
        where = host_and_port(listen, true);
    } catch (const std::invalid_argument& e) {
        return e.what();
    }
    addrinfo hints{};
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_flags = AI_PASSIVE;
    addrinfo* found = nullptr;
    const std::string port = std::to_string(where.second);
    if (const int rc = getaddrinfo(where.first.c_str(), port.c_str(), &hints, &found); rc != 0) {
        return gai_strerror(rc);
    }
    std::string why;
    const int s = socket(found->ai_family, found->ai_socktype | SOCK_CLOEXEC, found->ai_protocol);
    const int yes = 1;
    if (s < 0) {
        why = std::strerror(errno);
    } else if (setsockopt(s, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes) != 0 ||
               bind(s, found->ai_addr, found->ai_addrlen) != 0) {
        why = std::strerror(errno);
    }
    if (s >= 0) close(s);
    freeaddrinfo(found);
    return why;
}

}  // namespace

MetricsServer::MetricsServer(const std::string& listen, std::shared_ptr<prometheus::Collectable> metrics)
    : metrics_(std::move(metrics)) {
    if (const std::string why = why_not_served(listen); !why.empty()) {
        throw std::runtime_error("cannot serve metrics on " + listen + ": " + why);
    }
    try {
        // Two threads: a scrape only copies figures, and a slow client holds one.
        exposer_ = std::make_unique<prometheus::Exposer>(listen, 2);
    } catch (const std::exception& e) {
        throw std::runtime_error("cannot serve metrics on " + listen + ": " + e.what());
    }
    exposer_->RegisterCollectable(metrics_);
}

MetricsServer::~MetricsServer() = default;

int MetricsServer::port() const {
    const auto ports = exposer_->GetListeningPorts();
    return ports.empty() ? 0 : ports.front();
}

}  // namespace pondrel
