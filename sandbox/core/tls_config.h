// ServerTlsConfig: the server side of TLS (Mbed TLS) for one certificate and
// key: random generator, certificate chain, key and SSL configuration. One
// config serves any number of connections; each connection sets up its own
// mbedtls_ssl_context over config().
#pragma once

#include <memory>
#include <stdexcept>
#include <string>

#include <mbedtls/ssl.h>

namespace kivsdk::server {

enum class TlsVersions { kTls12, kTls13, kBoth };

struct TlsOptions {
    TlsVersions versions = TlsVersions::kBoth;
    // TLS 1.3: send a NewSessionTicket after the handshake.
    bool session_tickets = false;
};

// Paths of a PEM certificate (chain) and its private key.
struct Identity {
    std::string cert;
    std::string key;
};

// A set-up step failed (unreadable certificate or key, ...).
class TlsSetupError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// "-0x7780 SSL - A fatal alert message was received from our peer"
std::string tls_error_text(int code);


class ServerTlsConfig {
public:
    // Throws TlsSetupError.
    ServerTlsConfig(const Identity& identity, const TlsOptions& options = {});
    ~ServerTlsConfig();
    ServerTlsConfig(const ServerTlsConfig&) = delete;
    ServerTlsConfig& operator=(const ServerTlsConfig&) = delete;

    const mbedtls_ssl_config* config() const noexcept;

private:
    struct State;
    std::unique_ptr<State> state_;
};

}  // namespace kivsdk::server
