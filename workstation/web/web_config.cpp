#include "web_config.h"

#include <set>
#include <stdexcept>

#include <yaml-cpp/yaml.h>

namespace pondrel {

namespace {

// The headers the exporter toolkit lets a file set.
const std::set<std::string> kSettableHeaders = {"Strict-Transport-Security", "X-Content-Type-Options",
                                                "X-Frame-Options", "X-XSS-Protection", "Content-Security-Policy"};

class Reader {
public:
    explicit Reader(std::string path) : path_(std::move(path)) {}

    [[noreturn]] void fail(const YAML::Node& at, const std::string& why) const {
        const YAML::Mark mark = at.Mark();
        throw std::runtime_error(path_ + (mark.is_null() ? "" : ":" + std::to_string(mark.line + 1)) + ": " + why);
    }
    // The keys of mapping `node` (`what` names it), each one of `known`; a
    // key of the toolkit's format that is not known here is refused by name.
    void only(const YAML::Node& node, const std::string& what, const std::set<std::string>& known) const {
        if (!node.IsMap()) fail(node, what + " must be a mapping of keys");
        for (const auto& entry : node) {
            const std::string key = entry.first.as<std::string>();
            if (known.count(key) == 0) {
                fail(entry.first, "'" + key + "' in " + what + " is not supported by pondrel-host (supported: " +
                                      list(known) + ")");
            }
        }
    }
    std::string text(const YAML::Node& node, const std::string& key) const {
        const YAML::Node value = node[key];
        if (!value) return "";
        if (!value.IsScalar()) fail(value, "'" + key + "' must be a text");
        return value.as<std::string>();
    }

private:
    static std::string list(const std::set<std::string>& names) {
        std::string out;
        for (const std::string& name : names) out += (out.empty() ? "" : ", ") + name;
        return out;
    }
    std::string path_;
};

// A bcrypt hash as htpasswd -B and the toolkit's tools make it.
bool bcrypt_hash(const std::string& hash) {
    return hash.size() == 60 && hash[0] == '$' && hash[1] == '2' &&
           (hash[2] == 'a' || hash[2] == 'b' || hash[2] == 'y') && hash[3] == '$';
}

}  // namespace

namespace {

WebSecurity read_file(const std::string& path) {
    const Reader reader(path);
    YAML::Node top;
    try {
        top = YAML::LoadFile(path);
    } catch (const YAML::BadFile&) {
        throw std::runtime_error(path + ": cannot be read");
    } catch (const YAML::Exception& e) {
        throw std::runtime_error(path + ":" + std::to_string(e.mark.line + 1) + ": " + e.msg);
    }
    WebSecurity security;
    if (top.IsNull()) return security;
    reader.only(top, "the file", {"tls_server_config", "http_server_config", "basic_auth_users"});
    if (const YAML::Node tls = top["tls_server_config"]; tls && !tls.IsNull()) {
        reader.only(tls, "tls_server_config", {"cert_file", "key_file", "client_auth_type", "client_ca_file", "min_version"});
        WebSecurity::Tls t;
        t.cert_file = reader.text(tls, "cert_file");
        t.key_file = reader.text(tls, "key_file");
        if (t.cert_file.empty() || t.key_file.empty()) reader.fail(tls, "tls_server_config needs cert_file and key_file");
        if (const std::string type = reader.text(tls, "client_auth_type"); !type.empty()) t.client_auth_type = type;
        if (t.client_auth_type != "NoClientCert" && t.client_auth_type != "VerifyClientCertIfGiven" &&
            t.client_auth_type != "RequireAndVerifyClientCert") {
            reader.fail(tls["client_auth_type"], "client_auth_type '" + t.client_auth_type +
                                                     "' is not supported by pondrel-host (NoClientCert, "
                                                     "VerifyClientCertIfGiven or RequireAndVerifyClientCert)");
        }
        t.client_ca_file = reader.text(tls, "client_ca_file");
        if (t.client_auth_type != "NoClientCert" && t.client_ca_file.empty()) {
            reader.fail(tls, "client_auth_type " + t.client_auth_type + " needs client_ca_file");
        }
        if (t.client_auth_type == "NoClientCert" && !t.client_ca_file.empty()) {
            reader.fail(tls["client_ca_file"], "client_ca_file needs a client_auth_type that verifies certificates");
        }
        if (const std::string version = reader.text(tls, "min_version"); !version.empty()) t.min_version = version;
        if (t.min_version != "TLS10" && t.min_version != "TLS11" && t.min_version != "TLS12" && t.min_version != "TLS13") {
            reader.fail(tls["min_version"], "min_version must be TLS10, TLS11, TLS12 or TLS13, not '" + t.min_version + "'");
        }
        security.tls = t;
    }
    if (const YAML::Node http = top["http_server_config"]; http && !http.IsNull()) {
        reader.only(http, "http_server_config", {"headers"});
        if (const YAML::Node headers = http["headers"]; headers && !headers.IsNull()) {
            if (!headers.IsMap()) reader.fail(headers, "headers must be a mapping of header names to values");
            for (const auto& entry : headers) {
                const std::string name = entry.first.as<std::string>();
                if (kSettableHeaders.count(name) == 0) {
                    reader.fail(entry.first, "header '" + name + "' cannot be set here (Strict-Transport-Security, "
                                             "X-Content-Type-Options, X-Frame-Options, X-XSS-Protection or "
                                             "Content-Security-Policy)");
                }
                if (!entry.second.IsScalar()) reader.fail(entry.second, "header '" + name + "' must be a text");
                const std::string value = entry.second.as<std::string>();
                if (value.find_first_of("\r\n") != std::string::npos) {
                    reader.fail(entry.second, "header '" + name + "' must be one line");
                }
                security.headers.emplace_back(name, value);
            }
        }
    }
    if (const YAML::Node users = top["basic_auth_users"]; users && !users.IsNull()) {
        if (!users.IsMap()) reader.fail(users, "basic_auth_users must be a mapping of user names to bcrypt hashes");
        for (const auto& entry : users) {
            const std::string user = entry.first.as<std::string>();
            if (user.empty() || user.find(':') != std::string::npos) {
                reader.fail(entry.first, "user name '" + user + "' must be a name without ':'");
            }
            if (!entry.second.IsScalar() || !bcrypt_hash(entry.second.as<std::string>())) {
                reader.fail(entry.second, "the password of '" + user +
                                              "' must be a bcrypt hash ($2y$..., as htpasswd -nBC 10 makes it)");
            }
            security.users[user] = entry.second.as<std::string>();
        }
    }
    return security;
}

}  // namespace

WebSecurity read_web_config(const std::string& path) {
    try {
        return read_file(path);
    } catch (const YAML::Exception& e) {
        // A key or value of another shape than the format's (a list for a name...).
        throw std::runtime_error(path + (e.mark.is_null() ? "" : ":" + std::to_string(e.mark.line + 1)) + ": " + e.msg);
    }
}

}  // namespace pondrel
