// Mbed TLS result codes as the client and the sandbox read them.
#pragma once

#include <mbedtls/ssl.h>

namespace kivsdk {

// Codes that only ask to call again later.
inline bool tls_would_block(int code) noexcept {
    return code == MBEDTLS_ERR_SSL_WANT_READ || code == MBEDTLS_ERR_SSL_WANT_WRITE ||
           code == MBEDTLS_ERR_SSL_CRYPTO_IN_PROGRESS || code == MBEDTLS_ERR_SSL_ASYNC_IN_PROGRESS;
}

}  // namespace kivsdk
