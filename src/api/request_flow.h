// How requests travel: send gates, pending records, blocking waits and the
// completion of answers.
#pragma once

#include <cstdint>
#include <memory>
#include <utility>

#include "api/instance.h"
#include "wire/packet_writer.h"

namespace kivsdk {

enum class Side { kUniverse, kWorld };

// Universe send gate: 17 without a universe connection or before its secure
// channel is up, otherwise the frame is queued on the universe Connection.
int universe_send_gate(Instance& instance, PacketWriter& writer);
// World send gate: 8 without a world connection or while it is not ready.
int world_send_gate(Instance& instance, PacketWriter& writer);
int send_gate(Instance& instance, Side side, PacketWriter& writer);

// Stores the record under its number, replacing any record stored there.
void register_request(Instance::PendingRequests& pending, std::unique_ptr<CallbackInfo> record);

// The asynchronous request road: build the message with the side's next
// reference number, register the record made for that number, and send it
// through the side's gate. A message too large for one frame returns 4 with
// nothing registered and the counter unchanged; a record whose message the
// gate refused is erased again (it could never be answered), while the
// counter stays advanced.
template <class BuildMessage, class MakeRecord>
int send_async_request(Instance& instance, Side side, BuildMessage&& build,
                       MakeRecord&& make_record) {
    const std::int32_t number = side == Side::kUniverse ? instance.peek_universe_reference()
                                                        : instance.peek_world_reference();
    PacketWriter writer;
    std::forward<BuildMessage>(build)(writer, number);
    if (!writer.fits()) return KIV_RC_STRING_TOO_LONG;
    if (side == Side::kUniverse) {
        instance.next_universe_reference();
    } else {
        instance.next_world_reference();
    }
    Instance::PendingRequests& pending =
        side == Side::kUniverse ? instance.universe_pending() : instance.world_pending();
    register_request(pending, std::forward<MakeRecord>(make_record)(number));
    const int rc = send_gate(instance, side, writer);
    if (rc != KIV_RC_SUCCESS) pending.erase(number);
    return rc;
}

// Finds and removes the record an answer refers to. An unknown number writes
// "Unknown transaction ID %d with result %d" and gives null.
std::unique_ptr<CallbackInfo> take_pending_request(Instance::PendingRequests& pending,
                                                   std::int32_t number, int result_byte);
// Same, without the line (answers that complete silently when unknown).
std::unique_ptr<CallbackInfo> take_pending_request_quietly(Instance::PendingRequests& pending,
                                                           std::int32_t number);

// Fires the request's callback, or queues a Response for the blocked call
// when no handler is set.
void complete_blocking_request(Instance& instance, int callback, std::int32_t response_type,
                               int rc);

// Drops queued Responses of a type: a new blocking request must not take an
// answer that arrived after an earlier one had given up.
void discard_responses(Instance& instance, std::int32_t type);
// The start of connect, login and enter: a request that will wait for its
// Response first drops stale ones of its type. One answered by its callback
// leaves them, since an outer blocked call may still be about to collect its
// own.
void begin_blocking_request(Instance& instance, int callback, std::int32_t response_type);

// Loops on kiv_wait in 100 ms slices until a Response of that type and key
// arrives (0, result stored), the limit in whole seconds passes (16), or the
// wait fails (its code; 9 when the Instance was destroyed meanwhile).
int wait_for_response(Instance& instance, std::int32_t type, std::int32_t key,
                      std::int64_t limit_seconds, int& result);

// The blocking half of connect, login and enter: with a handler set the
// answer comes through the callback; otherwise wait for it.
int finish_blocking_request(Instance& instance, int callback, std::int32_t response_type,
                            std::int64_t limit_seconds);

}  // namespace kivsdk
