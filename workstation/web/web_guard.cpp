#include "web_guard.h"

#include <crypt.h>

#include <cstring>
#include <stdexcept>

#include <httplib.h>
#include <openssl/crypto.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/ssl.h>
#include <openssl/x509.h>

namespace pondrel {

struct WebGuard::Material {
    X509* certificate = nullptr;
    STACK_OF(X509)* chain = nullptr;
    EVP_PKEY* key = nullptr;
    ~Material() {
        X509_free(certificate);
        sk_X509_pop_free(chain, X509_free);
        EVP_PKEY_free(key);
    }
};

namespace {

constexpr std::size_t kRememberedLogins = 1024;

std::string digest_of(const std::string& text) {
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int size = 0;
    EVP_Digest(text.data(), text.size(), digest, &size, EVP_sha256(), nullptr);
    return std::string(reinterpret_cast<const char*>(digest), size);
}

// "user:password" of a Basic Authorization header, or "".
std::string credentials_of(const std::string& header) {
    if (header.size() < 7 || strncasecmp(header.c_str(), "Basic ", 6) != 0) return "";
    const std::string encoded = header.substr(6);
    if (encoded.empty() || encoded.size() % 4 != 0 || encoded.size() > 4096) return "";
    std::string decoded(encoded.size() / 4 * 3, '\0');
    const int size = EVP_DecodeBlock(reinterpret_cast<unsigned char*>(&decoded[0]),
                                     reinterpret_cast<const unsigned char*>(encoded.data()),
                                     static_cast<int>(encoded.size()));
    if (size < 0) return "";
    std::size_t length = static_cast<std::size_t>(size);
    for (std::size_t pad = encoded.size(); pad > 0 && encoded[pad - 1] == '='; --pad) --length;
    decoded.resize(length);
    return decoded;
}

// True when `password` hashes to `hash` under bcrypt.
bool bcrypt_matches(const std::string& password, const std::string& hash) {
    auto data = std::make_unique<crypt_data>();
    std::memset(data.get(), 0, sizeof *data);
    const char* got = crypt_rn(password.c_str(), hash.c_str(), data.get(), sizeof *data);
    return got != nullptr && std::strlen(got) == hash.size() && CRYPTO_memcmp(got, hash.data(), hash.size()) == 0;
}

int version_of(const std::string& name) {
    if (name == "TLS10") return TLS1_VERSION;
    if (name == "TLS11") return TLS1_1_VERSION;
    if (name == "TLS13") return TLS1_3_VERSION;
    return TLS1_2_VERSION;
}

}  // namespace

WebGuard::WebGuard(const WebSecurity& security)
    : tls_(security.tls), security_(std::make_shared<const WebSecurity>(security)) {
    if (tls_) material_ = load(*tls_);
}

WebGuard::~WebGuard() = default;

std::shared_ptr<const WebGuard::Material> WebGuard::load(const WebSecurity::Tls& tls) {
    auto material = std::make_shared<Material>();
    std::unique_ptr<FILE, int (*)(FILE*)> cert(std::fopen(tls.cert_file.c_str(), "r"), std::fclose);
    if (!cert) throw std::runtime_error("cannot read cert_file " + tls.cert_file + ": " + std::strerror(errno));
    material->certificate = PEM_read_X509(cert.get(), nullptr, nullptr, nullptr);
    if (material->certificate == nullptr) throw std::runtime_error("cert_file " + tls.cert_file + " holds no PEM certificate");
    material->chain = sk_X509_new_null();
    while (X509* next = PEM_read_X509(cert.get(), nullptr, nullptr, nullptr)) sk_X509_push(material->chain, next);
    ERR_clear_error();
    std::unique_ptr<FILE, int (*)(FILE*)> key(std::fopen(tls.key_file.c_str(), "r"), std::fclose);
    if (!key) throw std::runtime_error("cannot read key_file " + tls.key_file + ": " + std::strerror(errno));
    material->key = PEM_read_PrivateKey(key.get(), nullptr, nullptr, nullptr);
    if (material->key == nullptr) throw std::runtime_error("key_file " + tls.key_file + " holds no PEM private key");
    if (X509_check_private_key(material->certificate, material->key) != 1) {
        ERR_clear_error();
        throw std::runtime_error("key_file " + tls.key_file + " is not the key of cert_file " + tls.cert_file);
    }
    return material;
}

void WebGuard::reload(const WebSecurity& security) {
    if (security.tls.has_value() != tls_.has_value()) {
        throw std::runtime_error(std::string("turning TLS ") + (tls_ ? "off" : "on") + " takes effect at the next start");
    }
    std::shared_ptr<const Material> material;
    if (security.tls) material = load(*security.tls);
    auto next = std::make_shared<const WebSecurity>(security);
    std::lock_guard<std::mutex> lock(mutex_);
    security_ = std::move(next);
    if (material) material_ = std::move(material);
    good_logins_.clear();
}

bool WebGuard::setup(SSL_CTX& context) {
    if (!tls_) return false;
    SSL_CTX_set_options(&context, SSL_OP_NO_COMPRESSION | SSL_OP_NO_SESSION_RESUMPTION_ON_RENEGOTIATION);
    if (SSL_CTX_set_min_proto_version(&context, version_of(tls_->min_version)) != 1) return false;
    // Each handshake presents the certificate loaded last.
    SSL_CTX_set_cert_cb(&context, &WebGuard::present, this);
    if (tls_->client_auth_type != "NoClientCert") {
        if (SSL_CTX_load_verify_locations(&context, tls_->client_ca_file.c_str(), nullptr) != 1) return false;
        STACK_OF(X509_NAME)* names = SSL_load_client_CA_file(tls_->client_ca_file.c_str());
        if (names == nullptr) return false;
        SSL_CTX_set_client_CA_list(&context, names);
        SSL_CTX_set_verify(&context,
                           SSL_VERIFY_PEER |
                               (tls_->client_auth_type == "RequireAndVerifyClientCert" ? SSL_VERIFY_FAIL_IF_NO_PEER_CERT : 0),
                           nullptr);
    }
    return true;
}

int WebGuard::present(SSL* ssl, void* guard) {
    auto* self = static_cast<WebGuard*>(guard);
    std::shared_ptr<const Material> material;
    {
        std::lock_guard<std::mutex> lock(self->mutex_);
        material = self->material_;
    }
    if (!material) return 0;
    return SSL_use_cert_and_key(ssl, material->certificate, material->key, material->chain, 1) == 1 ? 1 : 0;
}

bool WebGuard::admit(const httplib::Request& request, httplib::Response& response) {
    std::shared_ptr<const WebSecurity> security;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        security = security_;
    }
    const std::map<std::string, std::string>& users = security->users;
    if (users.empty()) return true;
    const std::string credentials = credentials_of(request.get_header_value("Authorization"));
    const auto colon = credentials.find(':');
    if (colon != std::string::npos) {
        const std::string user = credentials.substr(0, colon);
        const auto found = users.find(user);
        const std::string& hash = found != users.end() ? found->second : users.begin()->second;
        const std::string digest = digest_of(credentials + '\n' + hash);
        {
            std::lock_guard<std::mutex> lock(mutex_);
            if (found != users.end() && good_logins_.count(digest) > 0) return true;
        }
        // An unknown user costs a bcrypt all the same.
        const bool right = bcrypt_matches(credentials.substr(colon + 1), hash) && found != users.end();
        if (right) {
            std::lock_guard<std::mutex> lock(mutex_);
            if (good_logins_.size() >= kRememberedLogins) good_logins_.clear();
            good_logins_.insert(digest);
            return true;
        }
    } else {
        bcrypt_matches("", users.begin()->second);
    }
    response.status = 401;
    response.set_header("WWW-Authenticate", "Basic realm=\"pondrel\", charset=\"UTF-8\"");
    response.set_content("a login is needed here\n", "text/plain");
    return false;
}

std::vector<std::pair<std::string, std::string>> WebGuard::headers() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return security_->headers;
}

}  // namespace pondrel
