// Staying up: time limits of connect, login and enter, detailed reasons,
// and the pieces of reconnection that both sessions share (backoff, the
// reconnect events, the side's alarm).
#pragma once

#include <cstdint>
#include <string>

#include "api/instance.h"

namespace kivsdk {

class Connection;

// The time limit in seconds of a connect, login or enter: the host's
// setting, else the default (15, 10, 20 s) for a blocking form or when
// liveness is on; -1 for none.
std::int64_t limit_seconds(const Instance& instance, std::int32_t response_type, bool blocking);

// Arms the side's Connection alarm for the nearest deadline of its awaited
// answers and its scheduled reconnect attempt.
void arm_side_alarm(Instance& instance, Side side);

// The library's own reconnect steps that passed their limit, by the side
// that tries again.
struct ExpiredSteps {
    bool universe = false;  // a reconnect's connect or login
    bool world = false;     // a re-entry
};
// The side's alarm: awaited answers past their limit complete with 16 (a
// late answer is then dropped); the library's own steps are handed back.
ExpiredSteps expire_awaited(Instance& instance, Side side);

// Why a Connection failed: a KIV_DETAIL_* value from what the Connection
// and, with the library's own sockets, the socket layer noted; `status` is
// the connect result or the loss reason.
int failure_detail(const Instance& instance, const Connection& connection, int status);
// The detail in words (KIV_DISCONNECT_TEXT), with the certificate's fault.
std::string failure_text(int detail, const Connection* connection);
// Writes KIV_DISCONNECT_DETAIL, KIV_DISCONNECT_SIDE and KIV_DISCONNECT_TEXT for a failure of the
// side.
void note_failure(Instance& instance, Side side, int detail, const Connection* connection);

// Reconnection.
bool reconnection_applies(const Instance& instance) noexcept;
// The delay of an attempt in milliseconds: min(max, first * 2^(attempt-1)),
// with full jitter a uniformly random part of it.
int backoff_milliseconds(Instance& instance, int attempt);
// Counts the next attempt of the side (starting again after a stable
// minute) and decides it: the delay in whole seconds, or -1 when the side
// gives up (KIV_EVENT_GAVE_UP fired). Fires KIV_EVENT_RECONNECTING otherwise. The caller checks
// discarded() afterwards.
std::int64_t next_attempt(Instance& instance, Side side, int detail);
// Ends the side's reconnection: state, KIV_EVENT_GAVE_UP.
void give_up(Instance& instance, Side side, int detail);
// The side is back: state, KIV_EVENT_RECONNECTED.
void reconnected(Instance& instance, Side side);
// Stops a scheduled or running reconnection of the side without an event.
void cancel_reconnection(Instance& instance, Side side) noexcept;

// Policy and setting checks for the exported setters.
bool valid_policy(const KIVReconnectPolicy& policy) noexcept;

}  // namespace kivsdk
