// Starting TLS on a Connection, driving its handshake and moving application
// bytes through it.
#include <algorithm>
#include <cerrno>

#include <mbedtls/x509_crt.h>

#include "base/clock.h"
#include "base/diagnostics.h"
#include "connection/client_tls_config.h"
#include "connection/connection.h"
#include "connection/tls_status.h"

namespace kivsdk {

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

int Connection::start_tls(HandshakeCompletion completion, std::shared_ptr<ClientTlsConfig> config) {
    // A second start would set up half-configured objects again and could
    // complete twice.
    if (tls_started_) return -1;
    tls_started_ = true;
    handshake_completion_ = completion;
    if (feed_ != nullptr) {
        // The recording tells how the handshake ended.
        tls_state_ = TlsState::kHandshaking;
        return 0;
    }
    tls_config_ = std::move(config);
    const mbedtls_ssl_config* settings = tls_config_ ? tls_config_->get() : nullptr;
    if (settings == nullptr) {
        failure_.detail = KIV_DETAIL_HANDSHAKE;
        tap_event(ConnectionEvent::kSecured, 1);
        return -1;  // the failed step wrote its line
    }

    tls_ = std::make_unique<TlsSession>();
    const int setup = mbedtls_ssl_setup(&tls_->ssl, settings);
    if (setup != 0) {
        report(log_, DiagnosticLevel::kError, DiagnosticCategory::kTls,
               "mbedtls init failed: mbedtls_ssl_setup returned %d\n\n", setup);
        failure_.detail = KIV_DETAIL_HANDSHAKE;
        failure_.tls_result = setup;
        tap_event(ConnectionEvent::kSecured, 1);
        return -1;
    }
    // The server name for SNI and certificate verification: exactly the host
    // the Connection connected to.
    mbedtls_ssl_set_hostname(&tls_->ssl, host_.c_str());
    mbedtls_ssl_set_bio(&tls_->ssl, this, &Connection::tls_send_hook, &Connection::tls_receive_hook,
                        nullptr);

    tls_state_ = TlsState::kHandshaking;
    handshake_started_us_ = now_microseconds();
    const int r = mbedtls_ssl_handshake(&tls_->ssl);
    if (r == 0) {
        finish_handshake();
        return 0;
    }
    if (r == MBEDTLS_ERR_SSL_WANT_READ || r == MBEDTLS_ERR_SSL_WANT_WRITE) return 0;
    report(log_, DiagnosticLevel::kError, DiagnosticCategory::kTls,
           "mbedtls handshake failed: mbedtls_ssl_handshake returned %d (%d)\n", r, errno);
    note_handshake_failure(r);
    // Failed for good: no later notification may run another step and report
    // the failure a second time. The caller reports this one.
    tls_state_ = TlsState::kFailed;
    drop_socket();
    tap_event(ConnectionEvent::kSecured, 1);
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
    note_handshake_failure(r);
    const int status = r == MBEDTLS_ERR_X509_CERT_VERIFY_FAILED ? 2 : 1;
    tap_event(ConnectionEvent::kSecured, status);
    if (handshake_completion_ != nullptr) handshake_completion_(*this, status);
    if (!discarded()) drop_socket();
}

void Connection::note_handshake_failure(int result) noexcept {
    failure_.tls_result = result;
    if (result == MBEDTLS_ERR_X509_CERT_VERIFY_FAILED) {
        failure_.detail = KIV_DETAIL_CERTIFICATE;
        failure_.verify_flags = mbedtls_ssl_get_verify_result(&tls_->ssl);
        if (log_enabled(log_, DiagnosticLevel::kInfo)) {
            char fault[256];
            const int written =
                mbedtls_x509_crt_verify_info(fault, sizeof fault, "", failure_.verify_flags);
            report(log_, DiagnosticLevel::kInfo, DiagnosticCategory::kTls,
                   "certificate of %s rejected:\n%s", host_.c_str(),
                   written > 0 ? fault : "verification failed\n");
        }
    } else {
        failure_.detail = KIV_DETAIL_HANDSHAKE;
    }
}

void Connection::finish_handshake() {
    tls_state_ = TlsState::kEstablished;
    counters_.handshake_us = now_microseconds() - handshake_started_us_;
    report(log_, DiagnosticLevel::kInfo, DiagnosticCategory::kTls, "TLS with %s: %s, %s\n",
           host_.c_str(), mbedtls_ssl_get_version(&tls_->ssl),
           mbedtls_ssl_get_ciphersuite(&tls_->ssl));
    tap_event(ConnectionEvent::kSecured, 0);
    if (handshake_completion_ != nullptr) handshake_completion_(*this, 0);
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
            // Close-notify or the end of the stream, else a fatal TLS error.
            const bool closed =
                n == 0 || n == MBEDTLS_ERR_SSL_PEER_CLOSE_NOTIFY || n == MBEDTLS_ERR_SSL_CONN_EOF;
            failure_.tls_result = closed ? 0 : n;
            lose(-1, closed ? KIV_DETAIL_CLOSED_BY_PEER : KIV_DETAIL_RESET);
            return;
        }
    }
}

int Connection::write_secure(const unsigned char* data, std::size_t count) {
    pending_tls_write_ = count;
    const int r = mbedtls_ssl_write(&tls_->ssl, data, count);
    if (r >= 1) {
        counters_.bytes_out += r;
        pending_tls_write_ = 0;
        return r;
    }
    if (tls_would_block(r)) return 0;
    pending_tls_write_ = 0;
    failure_.tls_result = r;
    return -1;
}

}  // namespace kivsdk
