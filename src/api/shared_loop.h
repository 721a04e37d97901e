// A loop shared by many Instances (kiv_loop_create): one scalable PollLoop
// whose pass serves every socket of every Instance made on it. A pass run by
// kiv_wait of any of them, or by kiv_loop_wait, delivers to all of them;
// meanwhile each counts as in a wait, and all of them belong to the thread
// that runs the pass.
#pragma once

#include <atomic>
#include <thread>

#include "base/thread_claim.h"
#include "kivsdk.h"
#include "net/poll_loop.h"

namespace kivsdk {

class SharedLoop final : public PollLoop {
public:
    SharedLoop();

    static SharedLoop* from_handle(KIVLoop* handle) noexcept {
        return reinterpret_cast<SharedLoop*>(handle);
    }
    KIVLoop* handle() noexcept { return reinterpret_cast<KIVLoop*>(this); }

    // The socket table of this loop; an Instance made with it joins the loop.
    KIVNetConfig table() noexcept;
    // The loop a table belongs to, or null for any other table.
    static SharedLoop* of(const KIVNetConfig& table) noexcept;

    // Instances made on the loop and not yet destroyed.
    int members = 0;
    // The thread inside a call on the loop or on any of its Instances.
    ClaimSlot busy_thread{};
};

}  // namespace kivsdk
