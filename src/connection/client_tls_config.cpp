#include "connection/client_tls_config.h"

#include <psa/crypto.h>

#include <mutex>

#include "base/diagnostics.h"

namespace kivsdk {
namespace {

constexpr unsigned char kPersonalisation[] = {'k', 'i', 'v', 's', 'd', 'k'};

// "mbedtls init failed: <step> returned <code>", one line (two line ends
// after mbedtls_ssl_setup).
void report_setup_failure(const LogSource& log, const char* step, int code) {
    report(log, DiagnosticLevel::kError, DiagnosticCategory::kTls,
           "mbedtls init failed: %s returned %d\n", step, code);
}

void debug_hook(void* context, int, const char* file, int line, const char* text) {
    report(*static_cast<const LogSource*>(context), DiagnosticLevel::kDebug,
           DiagnosticCategory::kTls, "%s:%04d: %s", file, line, text);
}

// PSA must be up before TLS 1.3 can run; newer Mbed TLS does this itself and
// a second call is harmless. Instances may live on different threads, so the
// first successful call is made exactly once; a failed one is tried again.
int initialise_crypto() noexcept {
    static std::once_flag initialised;
    struct Failed {
        psa_status_t status;
    };
    try {
        std::call_once(initialised, [] {
            const psa_status_t status = psa_crypto_init();
            if (status != PSA_SUCCESS) throw Failed{status};
        });
    } catch (const Failed& failure) {
        return static_cast<int>(failure.status);
    } catch (...) {
        return -1;
    }
    return 0;
}

}  // namespace

ClientTlsConfig::ClientTlsConfig(const unsigned char* bundle, std::size_t length,
                                 const LogSource& log) noexcept
    : bundle_(bundle), log_(log), length_(length) {
    mbedtls_ssl_config_init(&config_);
    mbedtls_x509_crt_init(&trust_chain_);
    mbedtls_x509_crl_init(&revocation_list_);
    mbedtls_ctr_drbg_init(&random_);
    mbedtls_entropy_init(&entropy_);
}

ClientTlsConfig::ClientTlsConfig(std::string pem, const LogSource& log) noexcept
    : ClientTlsConfig(nullptr, 0, log) {
    owned_bundle_ = std::move(pem);
    bundle_ = reinterpret_cast<const unsigned char*>(owned_bundle_.data());
    length_ = owned_bundle_.size();
}

ClientTlsConfig::~ClientTlsConfig() {
    mbedtls_entropy_free(&entropy_);
    mbedtls_ctr_drbg_free(&random_);
    mbedtls_x509_crl_free(&revocation_list_);
    mbedtls_x509_crt_free(&trust_chain_);
    mbedtls_ssl_config_free(&config_);
}

const mbedtls_ssl_config* ClientTlsConfig::get() {
    if (!built_) built_ = build();
    return built_ ? &config_ : nullptr;
}

bool ClientTlsConfig::load_trust() { return parse_trust_chain() == 0; }

int ClientTlsConfig::parse_trust_chain() {
    if (trust_parsed_) return 0;
    mbedtls_x509_crt_free(&trust_chain_);
    mbedtls_x509_crt_init(&trust_chain_);
    const int r = mbedtls_x509_crt_parse(&trust_chain_, bundle_, length_);
    if (r < 0) return r;
    trust_parsed_ = trust_chain_.version != 0;
    return trust_parsed_ ? 0 : MBEDTLS_ERR_X509_CERT_UNKNOWN_FORMAT;
}

bool ClientTlsConfig::build() {
    int r = initialise_crypto();
    if (r != 0) {
        report_setup_failure(log_, "psa_crypto_init", r);
        return false;
    }
    // A failed earlier attempt may have left parts behind: start afresh.
    mbedtls_ctr_drbg_free(&random_);
    mbedtls_ctr_drbg_init(&random_);
    mbedtls_ssl_config_free(&config_);
    mbedtls_ssl_config_init(&config_);
    r = mbedtls_ctr_drbg_seed(&random_, mbedtls_entropy_func, &entropy_, kPersonalisation,
                              sizeof kPersonalisation);
    if (r != 0) {
        report_setup_failure(log_, "mbedtls_ctr_drbg_seed", r);
        return false;
    }
    r = mbedtls_ssl_config_defaults(&config_, MBEDTLS_SSL_IS_CLIENT, MBEDTLS_SSL_TRANSPORT_STREAM,
                                    MBEDTLS_SSL_PRESET_DEFAULT);
    if (r != 0) {
        report_setup_failure(log_, "mbedtls_ssl_config_defaults", r);
        return false;
    }
    r = parse_trust_chain();
    if (r != 0) {
        report_setup_failure(log_, "mbedtls_x509_crt_parse", r);
        return false;
    }
    mbedtls_ssl_conf_authmode(&config_, MBEDTLS_SSL_VERIFY_REQUIRED);
#if defined(KIVSDK_TLS_MIN_VERSION_13)
    mbedtls_ssl_conf_min_tls_version(&config_, MBEDTLS_SSL_VERSION_TLS1_3);
#else
    mbedtls_ssl_conf_min_tls_version(&config_, MBEDTLS_SSL_VERSION_TLS1_2);
#endif
    mbedtls_ssl_conf_ca_chain(&config_, &trust_chain_, &revocation_list_);
    mbedtls_ssl_conf_rng(&config_, mbedtls_ctr_drbg_random, &random_);
    mbedtls_ssl_conf_dbg(&config_, debug_hook, &log_);
    return true;
}

}  // namespace kivsdk
