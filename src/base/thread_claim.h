// Claiming an object for the calling thread for a scope: the first call of a
// thread claims it (one compare-exchange), nested calls on the same thread go
// on with one load, and a call from another thread while it is claimed is
// not allowed.
#pragma once

#include <atomic>
#include <thread>

namespace kivsdk {

using ClaimSlot = std::atomic<std::thread::id>;

class ThreadClaim {
public:
    explicit ThreadClaim(ClaimSlot& slot) noexcept : slot_(slot) {
        const std::thread::id me = std::this_thread::get_id();
        std::thread::id holder = slot_.load(std::memory_order_acquire);
        if (holder == me) {
            // Nested inside this thread's own claim (a handler's call).
            allowed_ = true;
            return;
        }
        if (holder != std::thread::id{}) return;  // another thread is inside
        outermost_ = slot_.compare_exchange_strong(holder, me, std::memory_order_acq_rel);
        allowed_ = outermost_;
    }
    ~ThreadClaim() { release(); }
    ThreadClaim(const ThreadClaim&) = delete;
    ThreadClaim& operator=(const ThreadClaim&) = delete;

    bool allowed() const noexcept { return allowed_; }
    // Lets the object go before the scope ends (it is about to be freed).
    void release() noexcept {
        if (!outermost_) return;
        outermost_ = false;
        slot_.store(std::thread::id{}, std::memory_order_release);
    }

private:
    ClaimSlot& slot_;
    bool allowed_ = false;
    bool outermost_ = false;
};

}  // namespace kivsdk
