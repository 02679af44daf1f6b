// What every request to the HTTP servers passes before its route, and the
// TLS material of their handshakes, from the web configuration file:
// logins against bcrypt hashes (a good login remembered by a digest of it,
// so a scrape every second costs no bcrypt; a wrong one always costs one, so
// it is never answered faster than a right one), the file's headers, and
// the certificate and key each handshake presents. reload() swaps them whole
// (SIGHUP: a renewed certificate without a restart); TLS itself, its lowest
// version and its client CAs are fixed for the run.
//
// Threads: made and reloaded on the program's thread; admit(), headers()
// and the handshakes run on the servers' threads.
#pragma once

#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "web_config.h"

typedef struct ssl_ctx_st SSL_CTX;
typedef struct ssl_st SSL;
namespace httplib {
struct Request;
struct Response;
}  // namespace httplib

namespace pondrel {

class WebGuard {
public:
    // Throws std::runtime_error naming the file when its certificate or key
    // cannot be used.
    explicit WebGuard(const WebSecurity& security);
    ~WebGuard();
    WebGuard(const WebGuard&) = delete;
    WebGuard& operator=(const WebGuard&) = delete;

    // Takes `security` instead. Throws, keeping what runs, when its
    // certificate or key cannot be used or it would turn TLS on or off.
    void reload(const WebSecurity& security);
    bool tls() const { return tls_.has_value(); }
    // Sets up a server's TLS context; false when it cannot be.
    bool setup(SSL_CTX& context);
    // True when the request may go on; else `response` asks for a login (401).
    bool admit(const httplib::Request& request, httplib::Response& response);
    std::vector<std::pair<std::string, std::string>> headers() const;

private:
    struct Material;  // a certificate, its chain and its key, loaded
    static std::shared_ptr<const Material> load(const WebSecurity::Tls& tls);
    static int present(SSL* ssl, void* guard);

    const std::optional<WebSecurity::Tls> tls_;  // as the servers were made
    mutable std::mutex mutex_;
    std::shared_ptr<const WebSecurity> security_;  // swapped whole; a request holds the one it began with
    std::shared_ptr<const Material> material_;
    std::set<std::string> good_logins_;  // digests of logins found right
};

}  // namespace pondrel
