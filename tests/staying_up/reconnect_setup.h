// What a reconnecting test bot sets on its Instance: a reconnection policy
// and trust in this build's test CAs on both sides.
#pragma once

#include <string>

#include "kivsdk.h"
#include "support/test_pki.h"

namespace kivsdk::test {

// A policy with these numbers, enabled.
inline KIVReconnectPolicy reconnect_policy(int first_ms, int max_ms, int attempts = 0,
                                           int jitter = 0) {
    KIVReconnectPolicy p{};
    p.size = sizeof p;
    p.enabled = 1;
    p.first_delay_ms = first_ms;
    p.max_delay_ms = max_ms;
    p.max_attempts = attempts;
    p.jitter = jitter;
    return p;
}

// Makes both sides of the Instance trust this build's test CAs, whatever
// bundles the library carries.
inline bool trust_test_cas(KIVInstance* instance) {
    const std::string universe = pki::read_text(pki::universe_bundle());
    const std::string world = pki::read_text(pki::world_bundle());
    return kiv_trust_set(instance, KIV_SIDE_UNIVERSE, universe.data(),
                         static_cast<int>(universe.size())) == 0 &&
           kiv_trust_set(instance, KIV_SIDE_WORLD, world.data(), static_cast<int>(world.size())) ==
               0;
}

}  // namespace kivsdk::test
