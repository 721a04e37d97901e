#include "api/shared_loop.h"

#include <memory>

#include "api/instance.h"
#include "base/guard.h"

namespace kivsdk {
namespace {

// The table's wait slot; also how a table is known to be a shared loop's.
int shared_wait(void* context, int milliseconds) {
    return context != nullptr ? static_cast<PollLoop*>(context)->run_pass(milliseconds) : -1;
}

}  // namespace

SharedLoop::SharedLoop() : PollLoop(PollLoop::Scalable{}) {}

KIVNetConfig SharedLoop::table() noexcept {
    KIVNetConfig config = default_socket_table(this);
    config.wait = &shared_wait;
    return config;
}

SharedLoop* SharedLoop::of(const KIVNetConfig& table) noexcept {
    if (table.wait != &shared_wait || table.context == nullptr) return nullptr;
    return static_cast<SharedLoop*>(static_cast<PollLoop*>(table.context));
}

}  // namespace kivsdk

using kivsdk::SharedLoop;

extern "C" {

KIVSDK_API KIVLoop* kiv_loop_create(void) {
    return kivsdk::guarded<KIVLoop*>(nullptr, []() -> KIVLoop* {
        auto loop = std::make_unique<SharedLoop>();
        return loop.release()->handle();  // owned by the host until kiv_loop_destroy
    });
}

KIVSDK_API int kiv_loop_destroy(KIVLoop* handle) {
    SharedLoop* loop = SharedLoop::from_handle(handle);
    if (loop == nullptr) return KIV_RC_SUCCESS;
    {
        const kivsdk::ThreadClaim claim(loop->busy_thread);
        if (!claim.allowed()) return KIV_RC_WRONG_THREAD;
        // Its Instances still use its sockets, or a pass is running.
        if (loop->members > 0 || loop->in_pass()) return KIV_RC_INVALID_ARGUMENT;
    }
    std::unique_ptr<SharedLoop> owned(loop);  // made by kiv_loop_create
    return KIV_RC_SUCCESS;
}

KIVSDK_API int kiv_loop_table(KIVLoop* handle, KIVNetConfig* config) {
    SharedLoop* loop = SharedLoop::from_handle(handle);
    if (loop == nullptr || config == nullptr) return KIV_RC_INVALID_ARGUMENT;
    *config = loop->table();
    return KIV_RC_SUCCESS;
}

KIVSDK_API int kiv_loop_wait(KIVLoop* handle, int milliseconds) {
    SharedLoop* loop = SharedLoop::from_handle(handle);
    if (loop == nullptr) return KIV_RC_INVALID_ARGUMENT;
    const kivsdk::ThreadClaim claim(loop->busy_thread);
    if (!claim.allowed()) return KIV_RC_WRONG_THREAD;
    if (loop->in_pass()) return KIV_RC_RECURSIVE_WAIT;
    return kivsdk::guarded<int>(KIV_RC_CONNECTION_ERROR, [&] {
        // A loop with nothing to do sleeps its time; that is no failure.
        const bool idle = loop->watches_nothing() && loop->timers().empty();
        const int result = loop->run_pass(milliseconds);
        return result != 0 && !idle ? KIV_RC_CONNECTION_ERROR : KIV_RC_SUCCESS;
    });
}

KIVSDK_API int kiv_loop_fd(KIVLoop* handle) {
    SharedLoop* loop = SharedLoop::from_handle(handle);
    return loop != nullptr ? loop->descriptor() : -1;
}

KIVSDK_API int kiv_loop_next_ms(KIVLoop* handle) {
    SharedLoop* loop = SharedLoop::from_handle(handle);
    if (loop == nullptr) return -1;
    const kivsdk::ThreadClaim claim(loop->busy_thread);
    if (!claim.allowed()) return -1;
    return loop->next_timer_milliseconds();
}

}  // extern "C"
