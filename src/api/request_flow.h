// How requests travel: pending records, blocking waits and the completion of
// answers. The send gates live with their sessions and are handed in.
#pragma once

#include <cstdint>
#include <utility>

#include "api/instance.h"
#include "base/clock.h"
#include "wire/packet_writer.h"

namespace kivsdk {

class FieldCursor;

// A side's send gate: refuses with the side's code while the side cannot
// take the message, otherwise queues it on the side's Connection.
using SendGate = int (*)(Instance& instance, PacketWriter& writer);

// The asynchronous request road: build the message with the side's next
// reference number (`build(writer, number)` writes everything, type byte
// included), register a record for that number (callback, KIV_REFERENCE_NUMBER at request
// time, `object_id`, the side's Connection) and send the message through the
// gate. A message too large for one frame returns 4 with nothing registered
// and the counter unchanged; a record whose message the gate refused is
// erased again (it could never be answered), while the counter stays
// advanced.
template <class BuildMessage>
int send_recorded_request(Instance& instance, Side side, SendGate gate, int callback,
                          std::int32_t object_id, BuildMessage&& build,
                          std::size_t size_hint = PacketWriter::kDefaultCapacity) {
    SideState& state = instance.side(side);
    const std::int32_t number = state.peek_reference();
    PacketWriter writer(size_hint);
    std::forward<BuildMessage>(build)(writer, number);
    if (!writer.fits()) return KIV_RC_STRING_TOO_LONG;
    state.take_reference();
    CallbackInfo record(number, callback, instance.int_at(KIV_REFERENCE_NUMBER), object_id,
                        state.generation);
    record.sent_us = now_microseconds();
    state.pending.insert_or_assign(number, record);
    const int rc = gate(instance, writer);
    if (rc != KIV_RC_SUCCESS) state.pending.erase(number);
    return rc;
}

// Finds and removes the record an answer refers to. An unknown number writes
// "Unknown transaction ID %d with result %d" and gives false.
bool take_pending_request(Instance::PendingRequests& pending, std::int32_t number, int result_byte,
                          CallbackInfo& record);
// The head of a transaction result (universe and world alike): its number
// and result byte, and the record they answer, taken from the side's
// pending requests. False for a result without both (it answers nothing:
// it must not complete whichever request has number 0) or for an unknown
// number (with its line).
bool take_transaction_result(Instance& instance, Side side, FieldCursor& fields,
                             std::uint8_t& result, CallbackInfo& record);
// Same, without the line (answers that complete silently when unknown).
bool take_pending_request_quietly(Instance::PendingRequests& pending, std::int32_t number,
                                  CallbackInfo& record);

// Fires the request's callback, or queues a Response for the blocked call
// when no handler is set. The answer is no longer awaited.
void complete_blocking_request(Instance& instance, int callback, std::int32_t response_type,
                               int rc);

// Connect, login and enter: the answer is now awaited on the side's current
// Connection (replacing an earlier wait of that type).
void await_answer(Instance& instance, Side side, int callback, std::int32_t response_type);
// The answer of that type is no longer awaited; true when it was.
bool forget_awaited(Instance& instance, std::int32_t response_type);
// An answer of that type is awaited, on either side.
bool is_awaited(const Instance& instance, std::int32_t response_type) noexcept;
// Takes an awaited answer out (to hand it to a Connection not built yet);
// false when none of that type is awaited.
bool take_awaited(Instance& instance, std::int32_t response_type, AwaitedAnswer& answer);
// Puts it back as awaited on the side's current Connection (an enter goes
// from the universe to its new world), its callback and limit unchanged.
void restore_awaited(Instance& instance, Side side, AwaitedAnswer answer);

// Everything pending on one Connection of a side ends with 9: its request
// records in ascending reference order (their callbacks), then its awaited
// answers (callback or Response). Stops when a handler destroys the
// Instance; work of a Connection built meanwhile is untouched.
void end_pending_work(Instance& instance, Side side, std::uint64_t generation);
// Closes the side's Connection and ends its pending work with 9.
void end_connection(Instance& instance, Side side);

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
// answer comes through the callback; otherwise wait for it. A blocking call
// that returns is no longer waiting: nothing is queued for it afterwards.
int finish_blocking_request(Instance& instance, int callback, std::int32_t response_type,
                            std::int64_t limit_seconds);

}  // namespace kivsdk
