// The web configuration file: what is read from it, and each file refused
// with its reason (a key of the exporter toolkit's format that is not
// supported here is named, never ignored).
#include <fstream>
#include <stdexcept>

#include <gtest/gtest.h>

#include "temp_folder.h"
#include "web_config.h"

using namespace pondrel;

namespace {

const char kHash[] = "$2y$10$Ww8NzfgoIJbbEcMV9HrnY.sdgRU1m5QXbCijxBBSVxfiOubfyNLgG";

}  // namespace

TEST(WebConfig, ReadsTlsLoginsAndHeadersAndRefusesWhatItDoesNotSupport) {
    const testing_support::TempFolder folder("web-config");
    const std::string path = folder.path() + "/web.yml";
    const auto read = [&](const std::string& text) {
        std::ofstream(path) << text;
        return read_web_config(path);
    };
    const WebSecurity all = read(std::string("tls_server_config:\n  cert_file: c.pem\n  key_file: k.pem\n"
                                             "  client_auth_type: RequireAndVerifyClientCert\n  client_ca_file: ca.pem\n"
                                             "  min_version: TLS13\nbasic_auth_users:\n  alice: ") +
                                 kHash + "\nhttp_server_config:\n  headers:\n    X-Frame-Options: deny\n");
    ASSERT_TRUE(all.tls);
    EXPECT_EQ(all.tls->cert_file, "c.pem");
    EXPECT_EQ(all.tls->client_auth_type, "RequireAndVerifyClientCert");
    EXPECT_EQ(all.tls->min_version, "TLS13");
    EXPECT_EQ(all.users.at("alice"), kHash);
    ASSERT_EQ(all.headers.size(), 1u);
    EXPECT_EQ(all.headers[0].second, "deny");
    EXPECT_FALSE(read("").tls);  // an empty file: plain HTTP, no login

    const struct {
        const char* name;
        std::string text;
        std::string says;
    } refused[] = {
        {"unknown top key", "tls_config:\n  cert_file: c\n", ":1: 'tls_config' in the file is not supported"},
        {"unsupported TLS key", "tls_server_config:\n  cert_file: c\n  key_file: k\n  max_version: TLS13\n",
         ":4: 'max_version' in tls_server_config is not supported by pondrel-host"},
        {"no key file", "tls_server_config:\n  cert_file: c\n", "tls_server_config needs cert_file and key_file"},
        {"client CA missing", "tls_server_config:\n  cert_file: c\n  key_file: k\n  client_auth_type: VerifyClientCertIfGiven\n",
         "client_auth_type VerifyClientCertIfGiven needs client_ca_file"},
        {"unsupported client auth", "tls_server_config:\n  cert_file: c\n  key_file: k\n  client_auth_type: RequestClientCert\n",
         ":4: client_auth_type 'RequestClientCert' is not supported"},
        {"version", "tls_server_config:\n  cert_file: c\n  key_file: k\n  min_version: SSL3\n",
         ":4: min_version must be TLS10, TLS11, TLS12 or TLS13"},
        {"plain password", "basic_auth_users:\n  alice: secret\n", ":2: the password of 'alice' must be a bcrypt hash"},
        {"http2", "http_server_config:\n  http2: false\n", ":2: 'http2' in http_server_config is not supported"},
        {"other header", "http_server_config:\n  headers:\n    Set-Cookie: a\n", ":3: header 'Set-Cookie' cannot be set"},
        {"not YAML", "tls_server_config: [\n", "web.yml:"},
        {"a list for a user name", "basic_auth_users:\n  ? [a, b]\n  : x\n", "web.yml:"},
    };
    for (const auto& c : refused) {
        SCOPED_TRACE(c.name);
        try {
            read(c.text);
            ADD_FAILURE() << "accepted";
        } catch (const std::runtime_error& e) {
            EXPECT_NE(std::string(e.what()).find(c.says), std::string::npos) << e.what();
            EXPECT_EQ(std::string(e.what()).rfind(path, 0), 0u) << e.what();
        }
    }
}
