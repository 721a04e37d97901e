// The client TLS configuration of one side of an Instance: entropy, random
// generator, the parsed CA chain and the Mbed TLS configuration, built on
// first use and shared by every Connection of that side. The single place
// for the library's TLS settings.
#pragma once

#include <mbedtls/ctr_drbg.h>
#include <mbedtls/entropy.h>
#include <mbedtls/ssl.h>
#include <mbedtls/x509_crl.h>
#include <mbedtls/x509_crt.h>

#include <cstddef>
#include <string>

#include "base/diagnostics.h"

namespace kivsdk {

class ClientTlsConfig {
public:
    // `bundle` is PEM text whose length counts its terminating zero; it must
    // outlive the configuration.
    ClientTlsConfig(const unsigned char* bundle, std::size_t length,
                    const LogSource& log = LogSource{}) noexcept;
    // The same over PEM text the configuration keeps for itself.
    ClientTlsConfig(std::string pem, const LogSource& log) noexcept;
    ~ClientTlsConfig();
    ClientTlsConfig(const ClientTlsConfig&) = delete;
    ClientTlsConfig& operator=(const ClientTlsConfig&) = delete;

    // The configuration, built at the first call. Null when a set-up step
    // failed; its "mbedtls init failed" line is written then, and the next
    // call tries again.
    const mbedtls_ssl_config* get();

    // Parses the CA certificates ahead of get(), which then does not parse
    // them again. False, without a log line, when none of them is usable.
    bool load_trust();

private:
    bool build();
    // 0 once the CA chain holds a certificate, else Mbed TLS's error.
    int parse_trust_chain();

    std::string owned_bundle_;
    const unsigned char* bundle_;
    LogSource log_;
    std::size_t length_;
    bool built_ = false;
    bool trust_parsed_ = false;
    mbedtls_entropy_context entropy_;
    mbedtls_ctr_drbg_context random_;
    mbedtls_ssl_config config_;
    mbedtls_x509_crt trust_chain_;
    mbedtls_x509_crl revocation_list_;  // handed to the configuration, never filled
};

}  // namespace kivsdk
