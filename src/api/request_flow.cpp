#include "api/request_flow.h"

#include "base/clock.h"
#include "base/diagnostics.h"

namespace kivsdk {

bool take_pending_request_quietly(Instance::PendingRequests& pending, std::int32_t number,
                                  CallbackInfo& record) {
    const auto found = pending.find(number);
    if (found == pending.end()) return false;
    record = found->second;
    pending.erase(found);
    return true;
}

bool take_pending_request(Instance::PendingRequests& pending, std::int32_t number,
                          int result_byte, CallbackInfo& record) {
    if (take_pending_request_quietly(pending, number, record)) return true;
    report(DiagnosticLevel::kWarning, DiagnosticCategory::kNet,
           "Unknown transaction ID %d with result %d\n", number, result_byte);
    return false;
}

void complete_blocking_request(Instance& instance, int callback, std::int32_t response_type,
                               int rc) {
    if (instance.fire_callback(callback, rc, 0)) return;
    // A blocked call collects the first answer of its kind; the queue keeps
    // no more, so a server repeating answers nobody asked for cannot grow it.
    auto& responses = instance.pending_responses();
    for (const Response& response : responses) {
        if (response.type == response_type) return;
    }
    responses.emplace_back(response_type, 0, rc);
}

void discard_responses(Instance& instance, std::int32_t type) {
    auto& responses = instance.pending_responses();
    for (auto it = responses.begin(); it != responses.end();) {
        it = it->type == type ? responses.erase(it) : it + 1;
    }
}

void begin_blocking_request(Instance& instance, int callback, std::int32_t response_type) {
    if (!instance.has_callback_handler(callback)) discard_responses(instance, response_type);
}

int wait_for_response(Instance& instance, std::int32_t type, std::int32_t key,
                      std::int64_t limit_seconds, int& result) {
    const std::int64_t start = now_seconds();
    for (;;) {
        const int rc = instance.wait(100);
        if (instance.discarded()) return KIV_RC_CONNECTION_ERROR;
        if (rc != KIV_RC_SUCCESS) return rc;
        auto& responses = instance.pending_responses();
        for (auto it = responses.begin(); it != responses.end(); ++it) {
            if (it->type == type && it->key == key) {
                result = it->result;
                responses.erase(it);
                return KIV_RC_SUCCESS;
            }
        }
        if (now_seconds() - start >= limit_seconds) return KIV_RC_TIMEOUT;
    }
}

int finish_blocking_request(Instance& instance, int callback, std::int32_t response_type,
                            std::int64_t limit_seconds) {
    if (instance.has_callback_handler(callback)) return KIV_RC_SUCCESS;
    int result = 0;
    const int rc = wait_for_response(instance, response_type, 0, limit_seconds, result);
    return rc == KIV_RC_SUCCESS ? result : rc;
}

}  // namespace kivsdk
