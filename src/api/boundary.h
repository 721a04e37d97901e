// Helpers for the exported functions: nothing thrown inside the library may
// cross the C interface.
#pragma once

#include <utility>

#include "api/instance.h"

namespace kivsdk {

// Runs `body`, turning any exception (in practice a failed allocation) into
// `on_failure`.
template <class Result, class Body>
Result guarded(Result on_failure, Body&& body) noexcept {
    try {
        return std::forward<Body>(body)();
    } catch (...) {
        return on_failure;
    }
}

template <class Body>
void guarded_void(Body&& body) noexcept {
    try {
        std::forward<Body>(body)();
    } catch (...) {
    }
}

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

// A null string argument is the empty string.
inline const char* text_or_empty(const char* text) noexcept { return text != nullptr ? text : ""; }

}  // namespace kivsdk
