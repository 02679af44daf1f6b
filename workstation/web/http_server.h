// One embedded HTTP server on one address, for the pages a site serves
// (Prometheus' /metrics, the page and its API): it binds at construction, so
// that an address in use fails the start with its reason, and answers the
// routes added to it from its own threads once started, until destroyed.
// Every path answers GET and HEAD only (405 with Allow for any other
// method). On a loopback address it answers only requests for itself (Host:
// its address, localhost or one of `hosts`; else 421), so that a page in a
// local browser cannot read it through a name rebound to 127.0.0.1; on
// other addresses `hosts`, when given, apply likewise. With a guard (the
// web configuration file), it speaks TLS when that asks for it, and every
// request passes the guard's login and carries its headers.
//
// Threads: made, given its routes, started and destroyed on one thread;
// handlers run on the server's threads.
#pragma once

#include <atomic>
#include <memory>
#include <string>
#include <thread>
#include <vector>

namespace httplib {
class Server;
}

namespace pondrel {

class WebGuard;

class HttpServer {
public:
    // Binds `listen` ("HOST:PORT"). Throws std::runtime_error
    // "cannot serve WHAT on LISTEN: reason".
    HttpServer(const std::string& listen, const std::string& what, const std::vector<std::string>& hosts = {},
               std::shared_ptr<WebGuard> guard = nullptr);
    ~HttpServer();
    HttpServer(const HttpServer&) = delete;
    HttpServer& operator=(const HttpServer&) = delete;

    // Where routes are added, before start().
    httplib::Server& routes() { return *server_; }
    void start();

    const std::string& listen() const { return listen_; }
    int port() const { return port_; }

private:
    std::string listen_;
    std::unique_ptr<httplib::Server> server_;
    std::thread thread_;
    std::atomic<bool> finished_{false};
    int port_ = 0;
};

}  // namespace pondrel
