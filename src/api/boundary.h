// The entry of the exported functions that take an Instance: a null
// Instance is refused, a call from a second thread while another is inside
// the Instance is refused, and the Instance stays allocated while the call
// runs.
#pragma once

#include <optional>
#include <utility>

#include "api/instance.h"
#include "base/guard.h"
#include "base/thread_claim.h"

namespace kivsdk {

// Claims the Instance for the calling thread for the scope (see
// ThreadClaim): the Instance's own claim, or its shared loop's, which may
// outlive it (the slot is the one claimed, whatever happens to the Instance).
class BusyScope {
public:
    explicit BusyScope(Instance& instance) noexcept : claim_(instance.claim_slot()) {}

    bool allowed() const noexcept { return claim_.allowed(); }
    // Lets the Instance go before the scope ends (it is about to be freed).
    void release() noexcept { claim_.release(); }

private:
    ThreadClaim claim_;
};

// A call that may deliver to handlers: claimed, and kept allocated until the
// call returns even if a handler destroys the Instance.
class CallScope {
public:
    explicit CallScope(Instance& instance) noexcept : busy_(instance) {
        if (busy_.allowed()) delivering_.emplace(instance);
    }
    bool allowed() const noexcept { return busy_.allowed(); }

private:
    // Released in reverse order: the claim first, then the delivery scope,
    // which may free the Instance.
    std::optional<DeliveryScope> delivering_;
    BusyScope busy_;
};

// The entry of the accessors: `body(instance)` runs with the Instance
// claimed; `refused` for a null Instance, `busy` from a second thread.
template <class Result, class Body>
Result with_instance(KIVInstance* handle, Result refused, Result busy, Body&& body) noexcept {
    Instance* instance = Instance::from_handle(handle);
    if (instance == nullptr) return refused;
    const BusyScope claim(*instance);
    if (!claim.allowed()) return busy;
    return std::forward<Body>(body)(*instance);
}

// The entry of every exported request: 12 for a null Instance, 31 from a
// second thread. Handlers may run inside a request (a failed send reports a
// lost connection at once) and may destroy the Instance; it stays allocated
// until the request returns.
template <class Body>
int run_request(KIVInstance* handle, Body&& body) noexcept {
    Instance* instance = Instance::from_handle(handle);
    if (instance == nullptr) return KIV_RC_INVALID_ARGUMENT;
    const CallScope call(*instance);
    if (!call.allowed()) return KIV_RC_WRONG_THREAD;
    return guarded<int>(KIV_RC_CONNECTION_ERROR,
                        [&]() -> int { return std::forward<Body>(body)(*instance); });
}

}  // namespace kivsdk
