// Starting TLS on a Connection, driving its handshake and moving application
// bytes through it.
#include "connection/secure_channel.h"

#include <psa/crypto.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>

#include "api/clock.h"
#include "api/instance.h"
#include "connection/connection.h"

namespace kivsdk {

SecureChannel::SecureChannel() noexcept {
    mbedtls_ssl_init(&ssl);
    mbedtls_ssl_config_init(&config);
    mbedtls_x509_crt_init(&trust_chain);
    mbedtls_x509_crl_init(&revocation_list);
    mbedtls_ctr_drbg_init(&random);
    mbedtls_entropy_init(&entropy);
}

SecureChannel::~SecureChannel() {
    mbedtls_entropy_free(&entropy);
    mbedtls_ctr_drbg_free(&random);
    mbedtls_x509_crl_free(&revocation_list);
    mbedtls_x509_crt_free(&trust_chain);
    mbedtls_ssl_config_free(&config);
    mbedtls_ssl_free(&ssl);
}

namespace {

constexpr unsigned char kPersonalisation[] = {'k', 'i', 'v', 's', 'd', 'k'};

// "mbedtls init failed: <step> returned <code>", one line (two line ends
// after mbedtls_ssl_setup).
void report_setup_failure(const char* step, int code, bool blank_line_after = false) {
    std::printf("mbedtls init failed: %s returned %d\n%s", step, code,
                blank_line_after ? "\n" : "");
    std::fflush(stdout);
}

void debug_hook(void*, int, const char* file, int line, const char* text) {
    std::printf("%s:%04d: %s", file, line, text);
    std::fflush(stdout);
}

// PSA must be up before TLS 1.3 can run; newer Mbed TLS does this itself and
// a second call is harmless.
int initialise_crypto() noexcept {
    static bool initialised = false;
    if (initialised) return 0;
    const psa_status_t status = psa_crypto_init();
    if (status != PSA_SUCCESS) return static_cast<int>(status);
    initialised = true;
    return 0;
}

}  // namespace

int Connection::tls_send_hook(void* context, const unsigned char* data, std::size_t length) {
    auto* self = static_cast<Connection*>(context);
    if (self->socket_ == nullptr) return -1;
    const int chunk = static_cast<int>(std::min<std::size_t>(length, 1 << 30));
    const int n = self->operations_.send(self->socket_, reinterpret_cast<const char*>(data), chunk);
    return n == -2 ? MBEDTLS_ERR_SSL_WANT_WRITE : n;
}

int Connection::tls_receive_hook(void* context, unsigned char* buffer, std::size_t length) {
    auto* self = static_cast<Connection*>(context);
    if (self->socket_ == nullptr) return -1;
    const int chunk = static_cast<int>(std::min<std::size_t>(length, 1 << 30));
    const int n = self->operations_.recv(self->socket_, reinterpret_cast<char*>(buffer), chunk);
    return n == -2 ? MBEDTLS_ERR_SSL_WANT_READ : n;
}

int Connection::start_tls(HandshakeCompletion completion, const unsigned char* bundle,
                          std::size_t length) {
    SecureChannel& tls = *tls_;
    handshake_completion_ = completion;

    int r = initialise_crypto();
    if (r != 0) {
        report_setup_failure("psa_crypto_init", r);
        return -1;
    }
    r = mbedtls_ctr_drbg_seed(&tls.random, mbedtls_entropy_func, &tls.entropy, kPersonalisation,
                              sizeof kPersonalisation);
    if (r != 0) {
        report_setup_failure("mbedtls_ctr_drbg_seed", r);
        return -1;
    }
    r = mbedtls_ssl_config_defaults(&tls.config, MBEDTLS_SSL_IS_CLIENT,
                                    MBEDTLS_SSL_TRANSPORT_STREAM, MBEDTLS_SSL_PRESET_DEFAULT);
    if (r != 0) {
        report_setup_failure("mbedtls_ssl_config_defaults", r);
        return -1;
    }
    r = mbedtls_x509_crt_parse(&tls.trust_chain, bundle, length);
    if (r < 0) {
        report_setup_failure("mbedtls_x509_crt_parse", r);
        return -1;
    }
    // The server name for SNI and certificate verification: exactly the host
    // the Connection connected to.
    mbedtls_ssl_set_hostname(&tls.ssl, host_.c_str());
    mbedtls_ssl_conf_authmode(&tls.config, MBEDTLS_SSL_VERIFY_REQUIRED);
    mbedtls_ssl_conf_min_tls_version(&tls.config, MBEDTLS_SSL_VERSION_TLS1_2);
    mbedtls_ssl_conf_ca_chain(&tls.config, &tls.trust_chain, &tls.revocation_list);
    mbedtls_ssl_conf_rng(&tls.config, mbedtls_ctr_drbg_random, &tls.random);
    mbedtls_ssl_conf_dbg(&tls.config, debug_hook, nullptr);
    r = mbedtls_ssl_setup(&tls.ssl, &tls.config);
    if (r != 0) {
        report_setup_failure("mbedtls_ssl_setup", r, true);
        return -1;
    }
    mbedtls_ssl_set_bio(&tls.ssl, this, &Connection::tls_send_hook, &Connection::tls_receive_hook,
                        nullptr);

    tls_state_ = TlsState::kHandshaking;
    r = mbedtls_ssl_handshake(&tls.ssl);
    if (r == 0) {
        finish_handshake();
        return 0;
    }
    if (r == MBEDTLS_ERR_SSL_WANT_READ || r == MBEDTLS_ERR_SSL_WANT_WRITE) return 0;
    std::printf("mbedtls handshake failed: mbedtls_ssl_handshake returned %d (%d)\n", r, errno);
    std::fflush(stdout);
    // Failed for good: no later notification may run another step and report
    // the failure a second time. The caller reports this one.
    tls_state_ = TlsState::kFailed;
    drop_socket();
    return -1;
}

void Connection::handshake_step() {
    const int r = mbedtls_ssl_handshake(&tls_->ssl);
    if (r == 0) {
        finish_handshake();
        return;
    }
    if (r == MBEDTLS_ERR_SSL_WANT_READ || r == MBEDTLS_ERR_SSL_WANT_WRITE) return;
    tls_state_ = TlsState::kFailed;
    const int status = r == MBEDTLS_ERR_X509_CERT_VERIFY_FAILED ? 2 : 1;
    if (handshake_completion_ != nullptr) handshake_completion_(*this, owner_, status);
    if (!discarded()) drop_socket();
}

void Connection::finish_handshake() {
    tls_state_ = TlsState::kEstablished;
    // The CA certificates served the handshake, the only one this Connection
    // runs (no renegotiation); a few KiB per Connection go back now.
    mbedtls_ssl_conf_ca_chain(&tls_->config, nullptr, nullptr);
    mbedtls_x509_crt_free(&tls_->trust_chain);
    if (handshake_completion_ != nullptr) handshake_completion_(*this, owner_, 0);
    if (stopped()) return;
    // Frames queued while the handshake ran go out now.
    flush();
}

void Connection::drop_socket() noexcept {
    if (socket_ == nullptr) return;
    void* socket = socket_;
    socket_ = nullptr;
    operations_.destroy(socket);
}

void Connection::receive_secure() {
    unsigned char scratch[kReadSize];
    while (!stopped() && socket_ != nullptr) {
        unsigned char* target = read_target(scratch);
        const int n = mbedtls_ssl_read(&tls_->ssl, target, kReadSize);
        if (n > 0) {
            take_in(target, n);
        } else if (n == MBEDTLS_ERR_SSL_RECEIVED_NEW_SESSION_TICKET) {
            continue;  // not data and not an error: read on
        } else if (tls_would_block(n)) {
            return;
        } else {
            lose(-1);  // close-notify, end of stream or a fatal TLS error
            return;
        }
    }
}

void Connection::flush_secure() {
    if (queue_.empty()) return;
    last_send_ = now_seconds();
    unsigned char buffer[kReadSize];
    while (!stopped() && socket_ != nullptr) {
        const std::size_t peeked = queue_.peek(buffer, sizeof buffer);
        // A write that has to be repeated passes the same data and length.
        const std::size_t count = pending_tls_write_ != 0 ? pending_tls_write_ : peeked;
        if (count < 1) return;
        pending_tls_write_ = count;
        const int r = mbedtls_ssl_write(&tls_->ssl, buffer, count);
        if (r >= 1) {
            queue_.consume(static_cast<std::size_t>(r));
            pending_tls_write_ = 0;
        } else if (tls_would_block(r)) {
            return;
        } else {
            pending_tls_write_ = 0;
            lose(9);
            return;
        }
    }
}

}  // namespace kivsdk
