// Claiming an object for the calling thread for a scope: the first call of a
// thread claims it (one compare-exchange), nested calls on the same thread go
// on with one load, and a call from another thread while it is claimed is
// not allowed.
#pragma once

#include <atomic>
#include <cstdint>

namespace kivsdk {

// A value that tells the calling thread from every other live thread; never
// 0, which a free slot holds.
#if defined(__linux__) && defined(__GNUC__) && !defined(__clang__) && \
    (defined(__x86_64__) || defined(__aarch64__))
inline std::uintptr_t current_thread_token() noexcept {
    // The thread pointer: one register read, no call.
    return reinterpret_cast<std::uintptr_t>(__builtin_thread_pointer());
}
#else
std::uintptr_t current_thread_token() noexcept;
#endif

using ClaimSlot = std::atomic<std::uintptr_t>;

class ThreadClaim {
public:
    explicit ThreadClaim(ClaimSlot& slot) noexcept : slot_(slot) {
        const std::uintptr_t me = current_thread_token();
        std::uintptr_t holder = slot_.load(std::memory_order_acquire);
        if (holder == me) {
            // Nested inside this thread's own claim (a handler's call).
            allowed_ = true;
            return;
        }
        if (holder != 0) return;  // another thread is inside
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
        slot_.store(0, std::memory_order_release);
    }

private:
    ClaimSlot& slot_;
    bool allowed_ = false;
    bool outermost_ = false;
};

}  // namespace kivsdk
