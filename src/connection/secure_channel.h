// The TLS members of a Connection (Mbed TLS client side). Every object is
// initialised with the Connection and freed with it.
#pragma once

#include <mbedtls/ctr_drbg.h>
#include <mbedtls/entropy.h>
#include <mbedtls/ssl.h>
#include <mbedtls/x509_crl.h>
#include <mbedtls/x509_crt.h>

namespace kivsdk {

struct SecureChannel {
    SecureChannel() noexcept;
    ~SecureChannel();
    SecureChannel(const SecureChannel&) = delete;
    SecureChannel& operator=(const SecureChannel&) = delete;

    mbedtls_entropy_context entropy;
    mbedtls_ctr_drbg_context random;
    mbedtls_ssl_context ssl;
    mbedtls_ssl_config config;
    mbedtls_x509_crt trust_chain;
    mbedtls_x509_crl revocation_list;  // handed to the configuration, never filled
};

// Mbed TLS codes that only ask to call again later.
inline bool tls_would_block(int code) noexcept {
    return code == MBEDTLS_ERR_SSL_WANT_READ || code == MBEDTLS_ERR_SSL_WANT_WRITE ||
           code == MBEDTLS_ERR_SSL_CRYPTO_IN_PROGRESS || code == MBEDTLS_ERR_SSL_ASYNC_IN_PROGRESS;
}

}  // namespace kivsdk
