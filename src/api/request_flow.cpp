#include "api/request_flow.h"

#include <algorithm>

#include "api/staying_up.h"
#include "base/clock.h"
#include "base/diagnostics.h"
#include "wire/field_cursor.h"

namespace kivsdk {

bool take_pending_request_quietly(Instance::PendingRequests& pending, std::int32_t number,
                                  CallbackInfo& record) {
    const auto found = pending.find(number);
    if (found == pending.end()) return false;
    record = found->second;
    pending.erase(found);
    return true;
}

bool take_transaction_result(Instance& instance, Side side, FieldCursor& fields,
                             std::uint8_t& result, CallbackInfo& record) {
    std::int32_t number = 0;
    if (!fields.int32(number) || !fields.byte(result)) return false;
    if (take_pending_request_quietly(instance.side(side).pending, number, record)) {
        instance.side(side).note_round_trip(now_microseconds() - record.sent_us);
        return true;
    }
    report(instance.log_source(), DiagnosticLevel::kWarning, DiagnosticCategory::kNet,
           "Unknown transaction ID %d with result %d\n", number, result);
    return false;
}

bool take_pending_request(Instance::PendingRequests& pending, std::int32_t number, int result_byte,
                          CallbackInfo& record) {
    if (take_pending_request_quietly(pending, number, record)) return true;
    report(LogSource{}, DiagnosticLevel::kWarning, DiagnosticCategory::kNet,
           "Unknown transaction ID %d with result %d\n", number, result_byte);
    return false;
}

void complete_blocking_request(Instance& instance, int callback, std::int32_t response_type,
                               int rc) {
    if (!forget_awaited(instance, response_type)) {
        // An answer after its request passed its limit: it completed then.
        auto& late = instance.timed_out;
        const auto found = std::find(late.begin(), late.end(), response_type);
        if (found != late.end()) {
            late.erase(found);
            return;
        }
    }
    if (instance.fire_callback(callback, rc, 0)) return;
    // A blocked call collects the first answer of its kind; the queue keeps
    // no more, so a server repeating answers nobody asked for cannot grow it.
    auto& responses = instance.pending_responses();
    for (const Response& response : responses) {
        if (response.type == response_type) return;
    }
    responses.emplace_back(response_type, 0, rc);
}

void await_answer(Instance& instance, Side side, int callback, std::int32_t response_type) {
    forget_awaited(instance, response_type);
    auto& late = instance.timed_out;
    late.erase(std::remove(late.begin(), late.end(), response_type), late.end());
    // A limit runs here for the callback form and the library's own steps;
    // a blocking call keeps its own.
    std::int64_t deadline = -1;
    const bool internal = callback == kInternalStep;
    if (internal || instance.has_callback_handler(callback)) {
        const std::int64_t limit = limit_seconds(instance, response_type, internal);
        if (limit >= 0) deadline = now_seconds() + limit;
    }
    SideState& state = instance.side(side);
    state.awaited.push_back(AwaitedAnswer{response_type, callback, state.generation, deadline});
    arm_side_alarm(instance, side);
}

bool forget_awaited(Instance& instance, std::int32_t response_type) {
    bool found = false;
    for (SideState* state : {&instance.universe, &instance.world}) {
        auto& awaited = state->awaited;
        for (auto it = awaited.begin(); it != awaited.end();) {
            if (it->response_type == response_type) {
                it = awaited.erase(it);
                found = true;
            } else {
                ++it;
            }
        }
    }
    return found;
}

bool is_awaited(const Instance& instance, std::int32_t response_type) noexcept {
    for (const SideState* state : {&instance.universe, &instance.world}) {
        for (const AwaitedAnswer& answer : state->awaited) {
            if (answer.response_type == response_type) return true;
        }
    }
    return false;
}

bool take_awaited(Instance& instance, std::int32_t response_type, AwaitedAnswer& answer) {
    for (SideState* state : {&instance.universe, &instance.world}) {
        for (auto it = state->awaited.begin(); it != state->awaited.end(); ++it) {
            if (it->response_type != response_type) continue;
            answer = *it;
            state->awaited.erase(it);
            return true;
        }
    }
    return false;
}

void restore_awaited(Instance& instance, Side side, AwaitedAnswer answer) {
    forget_awaited(instance, answer.response_type);
    SideState& target = instance.side(side);
    answer.generation = target.generation;
    target.awaited.push_back(answer);
    arm_side_alarm(instance, side);
}

void end_pending_work(Instance& instance, Side side, std::uint64_t generation) {
    SideState& state = instance.side(side);
    // Records, lowest reference number first; each leaves the map before its
    // callback runs, so a handler's own requests are never touched.
    for (;;) {
        auto it = state.pending.begin();
        while (it != state.pending.end() && it->second.generation != generation) ++it;
        if (it == state.pending.end()) break;
        const CallbackInfo record = it->second;
        state.pending.erase(it);
        instance.fire_callback(record.callback_number, KIV_RC_CONNECTION_ERROR, record.reference);
        if (instance.discarded()) return;
    }
    for (;;) {
        auto it = state.awaited.begin();
        while (it != state.awaited.end() && it->generation != generation) ++it;
        if (it == state.awaited.end()) break;
        const AwaitedAnswer answer = *it;
        if (answer.callback == kInternalStep) {
            // A reconnect step: the session's loss handling tries again.
            state.awaited.erase(it);
            continue;
        }
        complete_blocking_request(instance, answer.callback, answer.response_type,
                                  KIV_RC_CONNECTION_ERROR);
        if (instance.discarded()) return;
    }
}

void end_connection(Instance& instance, Side side) {
    const std::uint64_t generation = instance.side(side).generation;
    const bool existed = instance.side(side).connection != nullptr;
    instance.drop(side);
    if (existed) end_pending_work(instance, side, generation);
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

namespace {

bool take_response(Instance& instance, std::int32_t type, std::int32_t key, int& result) {
    auto& responses = instance.pending_responses();
    for (auto it = responses.begin(); it != responses.end(); ++it) {
        if (it->type == type && it->key == key) {
            result = it->result;
            responses.erase(it);
            return true;
        }
    }
    return false;
}

}  // namespace

int wait_for_response(Instance& instance, std::int32_t type, std::int32_t key,
                      std::int64_t limit_seconds, int& result) {
    const std::int64_t start = now_seconds();
    for (;;) {
        // An answer may already be in: a Connection lost while the request
        // was being sent ends it at once.
        if (take_response(instance, type, key, result)) return KIV_RC_SUCCESS;
        const int rc = instance.wait(100);
        if (instance.discarded()) return KIV_RC_CONNECTION_ERROR;
        if (take_response(instance, type, key, result)) return KIV_RC_SUCCESS;
        if (rc != KIV_RC_SUCCESS) return rc;
        if (now_seconds() - start >= limit_seconds) return KIV_RC_TIMEOUT;
    }
}

int finish_blocking_request(Instance& instance, int callback, std::int32_t response_type,
                            std::int64_t limit_seconds) {
    if (instance.has_callback_handler(callback)) return KIV_RC_SUCCESS;
    int result = 0;
    const int rc = wait_for_response(instance, response_type, 0, limit_seconds, result);
    if (instance.discarded()) return rc == KIV_RC_SUCCESS ? result : rc;
    // Given up or failed: the answer is no longer awaited.
    if (rc != KIV_RC_SUCCESS) forget_awaited(instance, response_type);
    return rc == KIV_RC_SUCCESS ? result : rc;
}

}  // namespace kivsdk
