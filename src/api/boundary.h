// The entry of the exported requests: a null Instance is refused and the
// Instance stays allocated while the request runs.
#pragma once

#include <utility>

#include "api/instance.h"
#include "base/guard.h"

namespace kivsdk {

// The entry of every exported request: 12 for a null Instance. Handlers may
// run inside a request (a failed send reports a lost connection at once) and
// may destroy the Instance; it stays allocated until the request returns.
template <class Body>
int run_request(KIVInstance* handle, Body&& body) noexcept {
    Instance* instance = Instance::from_handle(handle);
    if (instance == nullptr) return KIV_RC_INVALID_ARGUMENT;
    DeliveryScope delivering(*instance);
    return guarded<int>(KIV_RC_CONNECTION_ERROR,
                        [&]() -> int { return std::forward<Body>(body)(*instance); });
}

}  // namespace kivsdk
