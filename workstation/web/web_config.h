// The web configuration file of the HTTP servers (`[web] web_config_file`),
// in the format of the Prometheus exporter toolkit, so that an admin reuses
// the file of their other exporters and checks it with `promtool check
// web-config`: TLS (`tls_server_config`), logins (`basic_auth_users`, bcrypt
// hashes) and extra response headers (`http_server_config.headers`). Every
// file read here is one promtool accepts; a key of that format this program
// does not support is refused by name, never ignored.
// Pure reading; any thread.
#pragma once

#include <map>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace pondrel {

struct WebSecurity {
    struct Tls {
        std::string cert_file;       // PEM: the certificate, then its chain
        std::string key_file;        // PEM: its private key
        std::string client_auth_type = "NoClientCert";  // or VerifyClientCertIfGiven, RequireAndVerifyClientCert
        std::string client_ca_file;  // PEM: CAs a client certificate must be signed by
        std::string min_version = "TLS12";  // TLS10 to TLS13
    };
    std::optional<Tls> tls;
    std::map<std::string, std::string> users;                  // user name: bcrypt hash
    std::vector<std::pair<std::string, std::string>> headers;  // added to every answer
};

// Reads `path`. Throws std::runtime_error "PATH: reason" (a line where the
// reason has one) when it cannot be read or holds what is not supported.
WebSecurity read_web_config(const std::string& path);

}  // namespace pondrel
