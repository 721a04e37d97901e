#include "core/tls_config.h"

#include <cstdio>

#include <mbedtls/ctr_drbg.h>
#include <mbedtls/entropy.h>
#include <mbedtls/error.h>
#include <mbedtls/pk.h>
#include <mbedtls/ssl_ticket.h>
#include <mbedtls/x509_crt.h>
#include <psa/crypto.h>

namespace kivsdk::server {
namespace {

constexpr char kPersonalisation[] = "kivsdk-server";

// The oldest version this build accepts (KIVSDK_TLS_MIN_VERSION).
#if defined(KIVSDK_TLS_MIN_VERSION_13) && KIVSDK_TLS_MIN_VERSION_13
constexpr mbedtls_ssl_protocol_version kMinTlsVersion = MBEDTLS_SSL_VERSION_TLS1_3;
#else
constexpr mbedtls_ssl_protocol_version kMinTlsVersion = MBEDTLS_SSL_VERSION_TLS1_2;
#endif

}  // namespace

std::string tls_error_text(int code) {
    char text[160];
    mbedtls_strerror(code, text, sizeof text);
    char line[224];
    std::snprintf(line, sizeof line, "-0x%04X %s", static_cast<unsigned>(-code), text);
    return line;
}

struct ServerTlsConfig::State {
    mbedtls_entropy_context entropy;
    mbedtls_ctr_drbg_context random;
    mbedtls_x509_crt certificate;
    mbedtls_pk_context key;
    mbedtls_ssl_ticket_context tickets;
    mbedtls_ssl_config config;

    State() {
        mbedtls_entropy_init(&entropy);
        mbedtls_ctr_drbg_init(&random);
        mbedtls_x509_crt_init(&certificate);
        mbedtls_pk_init(&key);
        mbedtls_ssl_ticket_init(&tickets);
        mbedtls_ssl_config_init(&config);
    }
    ~State() {
        mbedtls_ssl_config_free(&config);
        mbedtls_ssl_ticket_free(&tickets);
        mbedtls_pk_free(&key);
        mbedtls_x509_crt_free(&certificate);
        mbedtls_ctr_drbg_free(&random);
        mbedtls_entropy_free(&entropy);
    }
    State(const State&) = delete;
    State& operator=(const State&) = delete;
};

ServerTlsConfig::ServerTlsConfig(const Identity& identity, const TlsOptions& options)
    : state_(std::make_unique<State>()) {
    State& s = *state_;
    const auto fail = [](const std::string& what, int code) {
        throw TlsSetupError(what + ": " + tls_error_text(code));
    };
    // Mbed TLS 3.6 runs TLS 1.3 (and key parsing) on PSA.
    if (psa_crypto_init() != PSA_SUCCESS) throw TlsSetupError("psa_crypto_init failed");
    int r = mbedtls_ctr_drbg_seed(&s.random, mbedtls_entropy_func, &s.entropy,
                                  reinterpret_cast<const unsigned char*>(kPersonalisation),
                                  sizeof kPersonalisation - 1);
    if (r != 0) fail("mbedtls_ctr_drbg_seed", r);
    if ((r = mbedtls_x509_crt_parse_file(&s.certificate, identity.cert.c_str())) != 0) {
        fail("cannot load certificate " + identity.cert, r);
    }
    if ((r = mbedtls_pk_parse_keyfile(&s.key, identity.key.c_str(), nullptr,
                                      mbedtls_ctr_drbg_random, &s.random)) != 0) {
        fail("cannot load key " + identity.key, r);
    }
    if ((r = mbedtls_ssl_config_defaults(&s.config, MBEDTLS_SSL_IS_SERVER,
                                         MBEDTLS_SSL_TRANSPORT_STREAM,
                                         MBEDTLS_SSL_PRESET_DEFAULT)) != 0) {
        fail("mbedtls_ssl_config_defaults", r);
    }
    mbedtls_ssl_conf_rng(&s.config, mbedtls_ctr_drbg_random, &s.random);
    const bool allow12 =
        options.versions != TlsVersions::kTls13 && kMinTlsVersion == MBEDTLS_SSL_VERSION_TLS1_2;
    const bool allow13 = options.versions != TlsVersions::kTls12;
    if (!allow12 && !allow13) {
        throw TlsSetupError(
            "TLS 1.2 alone was asked for, but this build's oldest TLS version is "
            "1.3 (KIVSDK_TLS_MIN_VERSION)");
    }
    mbedtls_ssl_conf_min_tls_version(
        &s.config, allow12 ? MBEDTLS_SSL_VERSION_TLS1_2 : MBEDTLS_SSL_VERSION_TLS1_3);
    mbedtls_ssl_conf_max_tls_version(
        &s.config, allow13 ? MBEDTLS_SSL_VERSION_TLS1_3 : MBEDTLS_SSL_VERSION_TLS1_2);
    if ((r = mbedtls_ssl_conf_own_cert(&s.config, &s.certificate, &s.key)) != 0) {
        fail("mbedtls_ssl_conf_own_cert", r);
    }
    if (options.session_tickets) {
        if ((r = mbedtls_ssl_ticket_setup(&s.tickets, mbedtls_ctr_drbg_random, &s.random,
                                          MBEDTLS_CIPHER_AES_256_GCM, 86400)) != 0) {
            fail("mbedtls_ssl_ticket_setup", r);
        }
        mbedtls_ssl_conf_session_tickets_cb(&s.config, mbedtls_ssl_ticket_write,
                                            mbedtls_ssl_ticket_parse, &s.tickets);
    }
}

ServerTlsConfig::~ServerTlsConfig() = default;

const mbedtls_ssl_config* ServerTlsConfig::config() const noexcept { return &state_->config; }

}  // namespace kivsdk::server
