// The CA bundles the library trusts: PEM text embedded at build time, one
// bundle for the universe and one for worlds, two CA certificates each. The
// build generates their definitions from the deployment's bundles, or from the
// build's own sandbox CAs when none are given.
#pragma once

#include <cstddef>

namespace kivsdk {

struct TrustAnchor {
    const unsigned char* pem;
    std::size_t length;  // counts the terminating zero, as Mbed TLS wants for PEM
};

TrustAnchor universe_trust_anchors() noexcept;
TrustAnchor world_trust_anchors() noexcept;

}  // namespace kivsdk
