#include "api/instance.h"

#include <algorithm>
#include <chrono>
#include <cstring>
#include <limits>
#include <thread>
#include <utility>

#include "api/replay.h"
#include "api/shared_loop.h"
#include "base/guard.h"
#include "connection/client_tls_config.h"
#include "connection/connection.h"
#include "net/poll_loop.h"

namespace kivsdk {

SideState::SideState() {
    totals.rtt_last_us = -1;
    totals.rtt_smoothed_us = -1;
    totals.handshake_us = -1;
}
SideState::~SideState() = default;

KIVSideStats SideState::stats() const noexcept {
    KIVSideStats stats = totals;
    if (!connection) return stats;
    const TrafficCounters& now = connection->counters();
    stats.bytes_in += now.bytes_in;
    stats.bytes_out += now.bytes_out;
    stats.frames_in += now.frames_in;
    stats.frames_out += now.frames_out;
    stats.queue_bytes = static_cast<long long>(connection->queued_bytes());
    stats.queue_peak = std::max<long long>(stats.queue_peak, now.queue_peak);
    if (now.handshake_us >= 0) stats.handshake_us = static_cast<int>(now.handshake_us);
    return stats;
}

void SideState::fold(const Connection& finished) noexcept {
    const TrafficCounters& done = finished.counters();
    totals.bytes_in += done.bytes_in;
    totals.bytes_out += done.bytes_out;
    totals.frames_in += done.frames_in;
    totals.frames_out += done.frames_out;
    totals.queue_peak = std::max<long long>(totals.queue_peak, done.queue_peak);
    if (done.handshake_us >= 0) totals.handshake_us = static_cast<int>(done.handshake_us);
}

void SideState::note_round_trip(std::int64_t microseconds) noexcept {
    const int rtt = static_cast<int>(std::min<std::int64_t>(std::max<std::int64_t>(microseconds, 0),
                                                            std::numeric_limits<int>::max()));
    totals.rtt_last_us = rtt;
    totals.rtt_smoothed_us = totals.rtt_smoothed_us < 0
                                 ? rtt
                                 : totals.rtt_smoothed_us - totals.rtt_smoothed_us / 8 + rtt / 8;
}

void Credentials::wipe() noexcept {
    for (std::string* text : {&name, &password, &extra, &extra_1, &extra_2}) {
        std::fill(text->begin(), text->end(), '\0');
        text->clear();
    }
}

Instance::Instance(const KIVNetConfig& operations, std::unique_ptr<PollLoop> default_loop)
    : operations_(operations), default_loop_(std::move(default_loop)) {
    // Each Instance spreads its reconnect delays differently.
    const auto seed =
        reinterpret_cast<std::uintptr_t>(this) ^
        static_cast<std::uintptr_t>(std::chrono::steady_clock::now().time_since_epoch().count());
    random_state = static_cast<std::uint32_t>(seed ^ ((seed >> 16) >> 16)) | 1u;
}

Instance::~Instance() {
    // Teardown order: connections, responses, world then universe records,
    // the maps, the attributes, and last the socket context the Instance owns.
    close_connections();
    login_sent.wipe();
    login_good.wipe();
    pending_responses_.clear();
    world.pending.clear();
    universe.pending.clear();
    for (auto& text : strings_) text.reset();
    for (auto& entry : data_) entry = DataAttribute{};
    default_loop_.reset();
}

void Instance::close_connections() noexcept {
    drop(Side::kUniverse);
    drop(Side::kWorld);
}

void Instance::drop(Side which) noexcept {
    SideState& state = side(which);
    state.ready = false;
    if (state.connection) state.fold(*state.connection);
    discard(state.connection);
}

Connection& Instance::install(Side which, const ConnectionHandlers& handlers) {
    std::unique_ptr<Connection> connection =
        replay ? replay->connection(which, handlers, *this)
               : std::make_unique<Connection>(operations_, handlers, *this);
    SideState& state = side(which);
    drop(which);
    ++state.generation;
    state.connection = std::move(connection);
    state.connection->set_liveness(liveness_seconds);
    state.connection->set_log_source(log_source());
    Capture::tap(*state.connection, capture.get(), which);
    return *state.connection;
}

Instance& Instance::owning(const Connection& connection) noexcept {
    // Every Connection the library makes is owned by an Instance.
    return static_cast<Instance&>(connection.owner());
}

void Instance::discard(std::unique_ptr<Connection>& connection) noexcept {
    if (!connection) return;
    connection->close();
    release(std::move(connection));
}

bool Instance::set_string(int index, const char* text) {
    return set_string(index, text, text != nullptr ? std::strlen(text) : 0);
}

bool Instance::set_data(int index, const void* data, std::int32_t length) {
    if (!in_range(index, kDataAttributeCount) || length < 0) return false;
    DataAttribute& slot = data_[static_cast<std::size_t>(index)];
    if (data == nullptr) {
        slot = DataAttribute{};
        return true;
    }
    const auto size = static_cast<std::size_t>(length);
    if (slot.bytes && length <= slot.capacity) {
        // The host may hand back the attribute's own bytes.
        if (size > 0) std::memmove(slot.bytes.get(), data, size);
        slot.length = length;
        return true;
    }
    auto bytes = std::make_unique<unsigned char[]>(size);
    if (size > 0) std::memcpy(bytes.get(), data, size);
    slot.bytes = std::move(bytes);
    slot.length = length;
    slot.capacity = length;
    return true;
}

bool Instance::set_event_handler(int event, KIVEventHandler handler) noexcept {
    if (!in_range(event, kEventCount)) return false;
    event_handlers_[static_cast<std::size_t>(event)] = handler;
    return true;
}

bool Instance::set_callback_handler(int callback, KIVCallbackHandler handler) noexcept {
    if (!in_range(callback, kCallbackCount)) return false;
    callback_handlers_[static_cast<std::size_t>(callback)] = handler;
    return true;
}

void Instance::fire_event(int event) {
    if (!in_range(event, kEventCount)) return;
    const KIVEventHandler handler = event_handlers_[static_cast<std::size_t>(event)];
    if (handler == nullptr) return;
    ints_[KIV_CURRENT_EVENT] = event;
    handler(handle());
}

bool Instance::fire_callback(int callback, int rc, int reference) {
    if (!in_range(callback, kCallbackCount)) return false;
    const KIVCallbackHandler handler = callback_handlers_[static_cast<std::size_t>(callback)];
    if (handler == nullptr) return false;
    ints_[KIV_CURRENT_CALLBACK] = callback;
    handler(handle(), rc, reference);
    return true;
}

void Instance::replay_pass(int milliseconds) {
    // A replay has no sockets: the pass plays what is due, else sleeps until
    // the next record is due or the wait is over, and plays again.
    if (replay->pump(*this) > 0 || discarded()) return;
    const int sleep = replay->sleep_limit(milliseconds);
    if (sleep > 0) std::this_thread::sleep_for(std::chrono::milliseconds(sleep));
    replay->pump(*this);
}

bool Instance::in_wait() const noexcept {
    return in_wait_ || (shared_loop_ != nullptr && shared_loop_->in_pass());
}

int Instance::wait(int milliseconds) {
    if (operations_.wait == nullptr) return KIV_RC_NO_WAIT_FUNCTION;
    if (in_wait()) return KIV_RC_RECURSIVE_WAIT;
    // The library's own sockets with no Connection at all: nothing can
    // happen, and a pass would only sleep.
    if (default_loop_ && !universe.connection && !world.connection) {
        return KIV_RC_CONNECTION_ERROR;
    }
    DeliveryScope delivering(*this);
    int result = 0;
    {
        const ScopedFlag waiting(in_wait_);
        if (replay) {
            replay_pass(milliseconds);
        } else {
            result = operations_.wait(operations_.context, milliseconds);
        }
    }
    // Destroyed by a handler during the pass: the pass itself went fine.
    if (discarded()) return KIV_RC_SUCCESS;
    return result != 0 ? KIV_RC_CONNECTION_ERROR : KIV_RC_SUCCESS;
}

}  // namespace kivsdk
