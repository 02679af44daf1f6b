#include "http_server.h"

#include <netdb.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <set>
#include <stdexcept>

#include <httplib.h>

#include "site_config.h"
#include "web_guard.h"

namespace pondrel {

namespace {

// Why `listen` cannot be served, found by binding it once ourselves (the
// HTTP server says only that it failed); empty when it can.
std::string why_not_served(const std::string& host, int port) {
    addrinfo hints{};
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_flags = AI_PASSIVE;
    addrinfo* found = nullptr;
    if (const int rc = getaddrinfo(host.c_str(), std::to_string(port).c_str(), &hints, &found); rc != 0) {
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

std::string lower(std::string text) {
    std::transform(text.begin(), text.end(), text.begin(), [](unsigned char c) { return std::tolower(c); });
    return text;
}

// The host of a Host header or an address, without its port and brackets, in lower case.
std::string host_part(const std::string& value) {
    std::string host = value;
    if (!host.empty() && host[0] == '[') {
        host = host.substr(1, host.find(']') - 1);
    } else if (std::count(host.begin(), host.end(), ':') == 1) {
        host = host.substr(0, host.find(':'));
    }
    return lower(host);
}

bool loopback(const std::string& host) {
    return host == "localhost" || host == "::1" || host.rfind("127.", 0) == 0;
}

}  // namespace

HttpServer::HttpServer(const std::string& listen, const std::string& what, const std::vector<std::string>& hosts,
                       std::shared_ptr<WebGuard> guard)
    : listen_(listen) {
    if (guard && guard->tls()) {
        server_ = std::make_unique<httplib::SSLServer>([guard](SSL_CTX& context) { return guard->setup(context); });
        if (!server_->is_valid()) throw std::runtime_error("cannot serve " + what + " on " + listen + ": TLS cannot be set up");
    } else {
        server_ = std::make_unique<httplib::Server>();
    }
    std::pair<std::string, int> where;
    try {
        where = host_and_port(listen, true);
    } catch (const std::invalid_argument& e) {
        throw std::runtime_error("cannot serve " + what + " on " + listen + ": " + e.what());
    }
    if (const std::string why = why_not_served(where.first, where.second); !why.empty()) {
        throw std::runtime_error("cannot serve " + what + " on " + listen + ": " + why);
    }
    // A browser keeps its connections open; each holds one of the server's
    // threads, so they are let go soon.
    server_->set_keep_alive_timeout(2);
    server_->set_read_timeout(5);
    server_->set_write_timeout(5);
    server_->set_payload_max_length(64 * 1024);
    server_->set_default_headers({{"X-Content-Type-Options", "nosniff"}, {"Cache-Control", "no-store"}});
    // SO_REUSEADDR, as the check above binds: a start right after a stop
    // binds past the stopped one's closing connections. Never SO_REUSEPORT,
    // which would let a second program listen on the same port unnoticed.
    server_->set_socket_options([](int s) {
        const int yes = 1;
        setsockopt(s, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes);
    });
    // Whom it answers: none listed means any Host.
    std::set<std::string> allowed;
    if (loopback(host_part(where.first)) || !hosts.empty()) {
        allowed.insert(host_part(where.first));
        for (const std::string& host : hosts) allowed.insert(host_part(host));
        if (loopback(host_part(where.first))) allowed.insert("localhost");
    }
    server_->set_pre_routing_handler([allowed, guard](const httplib::Request& request, httplib::Response& response) {
        if (request.method != "GET" && request.method != "HEAD") {
            response.status = 405;
            response.set_header("Allow", "GET, HEAD");
            response.set_content("only GET and HEAD are answered here\n", "text/plain");
            return httplib::Server::HandlerResponse::Handled;
        }
        // No Host at all (HTTP/1.0) is no browser's request.
        if (!allowed.empty() && request.has_header("Host") &&
            allowed.count(host_part(request.get_header_value("Host"))) == 0) {
            response.status = 421;
            response.set_content("this server does not answer for that host name\n", "text/plain");
            return httplib::Server::HandlerResponse::Handled;
        }
        if (guard) {
            for (const auto& [name, value] : guard->headers()) response.set_header(name, value);
            if (!guard->admit(request, response)) return httplib::Server::HandlerResponse::Handled;
        }
        return httplib::Server::HandlerResponse::Unhandled;
    });
    if (!server_->bind_to_port(where.first, where.second)) {
        throw std::runtime_error("cannot serve " + what + " on " + listen + ": it cannot be bound");
    }
    port_ = where.second;
}

HttpServer::~HttpServer() {
    if (thread_.joinable()) {
        // A stop before the server runs would be missed, and it would run on.
        while (!server_->is_running() && !finished_) std::this_thread::sleep_for(std::chrono::milliseconds(1));
        server_->stop();
        thread_.join();
    }
}

void HttpServer::start() {
    thread_ = std::thread([this] {
        server_->listen_after_bind();
        finished_ = true;
    });
}

}  // namespace pondrel
