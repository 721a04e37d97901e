// The Instance: one client's attribute store, handlers, pending requests and
// connections.
#pragma once

#include <array>
#include <atomic>
#include <cstdint>
#include <deque>
#include <map>
#include <memory>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "api/capture.h"
#include "api/catalogue.h"
#include "api/requests.h"
#include "api/side.h"
#include "api/text_attribute.h"
#include "base/diagnostics.h"
#include "base/lifetime.h"
#include "base/thread_claim.h"
#include "kivsdk.h"

namespace kivsdk {

class ClientTlsConfig;
class Connection;
class PollLoop;
class Replay;
class SharedLoop;
struct ConnectionHandlers;

// A connect, login or enter awaiting its answer (through its callback or its
// blocking call) on a side's Connection.
struct AwaitedAnswer {
    std::int32_t response_type;  // Response::kUniverseConnect, kLogin or kWorldEnter
    int callback;                // kInternalStep for the library's own reconnect steps
    std::uint64_t generation;    // the Connection it waits on
    std::int64_t deadline = -1;  // when its time limit passes (callback form), or -1
};

// The callback number of a reconnect step: no host callback, no Response.
constexpr int kInternalStep = -1;

// The strings of a login, kept to log in again after a reconnection.
struct Credentials {
    std::string name, password, extra, extra_1, extra_2;
    // Overwrites the text before it is released.
    void wipe() noexcept;
};

// Everything an Instance keeps for one server side.
struct SideState {
    SideState();
    // The side's counters: the earlier Connections' and the current one's.
    KIVSideStats stats() const noexcept;
    // Adds a finished Connection's counters to the totals.
    void fold(const Connection& finished) noexcept;
    // A request answered after `microseconds`.
    void note_round_trip(std::int64_t microseconds) noexcept;
    ~SideState();
    SideState(const SideState&) = delete;
    SideState& operator=(const SideState&) = delete;

    // Takes the next reference number; the counter wraps.
    std::int32_t take_reference() noexcept {
        return static_cast<std::int32_t>(reference_counter++);
    }
    std::int32_t peek_reference() const noexcept {
        return static_cast<std::int32_t>(reference_counter);
    }

    // The side's client TLS configuration, shared with the Connections that
    // use it: the CA certificates set with kiv_trust_set, or else the
    // built-in bundle, made on first use.
    std::shared_ptr<ClientTlsConfig> tls;
    std::unique_ptr<Connection> connection;
    // The side's send gate is open: the universe's secure channel is up, or
    // the world's login may be sent and requests may follow.
    bool ready = false;
    std::uint32_t reference_counter = 0;
    // Counts the Connections this side has had; pending requests and
    // blocking waits remember the one they were sent on.
    std::uint64_t generation = 0;
    std::map<std::int32_t, CallbackInfo> pending;
    std::vector<AwaitedAnswer> awaited;

    // Counters of the Connections this side had before the current one,
    // and what only the side knows (kiv_stats).
    KIVSideStats totals{};

    int state = KIV_STATE_NONE;
    // A connect failing inside the kiv_connect_universe call that started it
    // is told by the call's return code alone.
    bool connect_in_call = false;
    bool connect_failed_in_call = false;
    // Reconnection: on while a lost side is being rebuilt.
    bool reconnecting = false;
    int attempt = 0;                // attempts since the side was last stable
    std::int64_t wake_at = -1;      // when the scheduled attempt starts, or -1
    std::int64_t ready_since = -1;  // when the side last came up
    int last_detail = KIV_DETAIL_NONE;
};

// A data attribute: null and 0 while empty. A zero-length copy of non-null
// data is an empty buffer, not null.
struct DataAttribute {
    std::unique_ptr<unsigned char[]> bytes;
    std::int32_t length = 0;
    // Room in `bytes`: a new value that fits reuses the buffer.
    std::int32_t capacity = 0;
};

class Instance final : public Releasable {
public:
    // `operations` is copied. `default_loop`, when given, is the context the
    // library built for its own sockets and is owned from now on.
    Instance(const KIVNetConfig& operations, std::unique_ptr<PollLoop> default_loop);
    ~Instance() override;

    static Instance* from_handle(KIVInstance* handle) noexcept {
        return reinterpret_cast<Instance*>(handle);
    }
    KIVInstance* handle() noexcept { return reinterpret_cast<KIVInstance*>(this); }

    // Attribute store. Setters report false out of range and change nothing.
    // Received messages write attributes field by field, so the accessors
    // are inline.
    bool set_int(int index, std::int32_t value) noexcept {
        if (!in_range(index, kIntAttributeCount)) return false;
        ints_[static_cast<std::size_t>(index)] = value;
        return true;
    }
    bool get_int(int index, std::int32_t& value) const noexcept {
        if (!in_range(index, kIntAttributeCount)) return false;
        value = ints_[static_cast<std::size_t>(index)];
        return true;
    }
    bool set_double(int index, double value) noexcept {
        if (!in_range(index, kFloatAttributeCount)) return false;
        floats_[static_cast<std::size_t>(index)] = value;
        return true;
    }
    bool get_double(int index, double& value) const noexcept {
        if (!in_range(index, kFloatAttributeCount)) return false;
        value = floats_[static_cast<std::size_t>(index)];
        return true;
    }
    bool set_string(int index, const char* text);  // null makes it empty
    // Reuses the attribute's storage when the text fits.
    bool set_string(int index, const char* text, std::size_t length) {
        if (!in_range(index, kStringAttributeCount)) return false;
        TextAttribute& slot = strings_[static_cast<std::size_t>(index)];
        if (text == nullptr || length == 0) {
            slot.clear();
        } else {
            slot.assign(text, length);
        }
        return true;
    }
    const TextAttribute* string_attribute(int index) const noexcept {
        if (!in_range(index, kStringAttributeCount)) return nullptr;
        return &strings_[static_cast<std::size_t>(index)];
    }
    void clear_string(int index) noexcept {
        if (in_range(index, kStringAttributeCount))
            strings_[static_cast<std::size_t>(index)].clear();
    }
    const DataAttribute* data_attribute(int index) const noexcept {
        if (!in_range(index, kDataAttributeCount)) return nullptr;
        return &data_[static_cast<std::size_t>(index)];
    }
    // Null data empties the attribute; other data is copied, into the
    // attribute's buffer when it fits.
    bool set_data(int index, const void* data, std::int32_t length);

    // Unchecked reads for the library's own fixed slots.
    std::int32_t int_at(int index) const noexcept { return ints_[index]; }
    double double_at(int index) const noexcept { return floats_[index]; }
    std::string_view string_at(int index) const noexcept { return strings_[index].view(); }

    // Handlers.
    bool set_event_handler(int event, KIVEventHandler handler) noexcept;
    bool set_callback_handler(int callback, KIVCallbackHandler handler) noexcept;
    bool has_callback_handler(int callback) const noexcept {
        return callback_handlers_[callback] != nullptr;
    }
    // Sets KIV_CURRENT_EVENT to the event and calls its handler, if any. The caller
    // holds a DeliveryScope on the Instance and checks discarded() after.
    void fire_event(int event);
    // Sets KIV_CURRENT_CALLBACK and calls the handler; false when none is set.
    bool fire_callback(int callback, int rc, int reference);

    void* user_data() const noexcept { return user_data_; }
    void set_user_data(void* data) noexcept { user_data_ = data; }

    const KIVNetConfig& operations() const noexcept { return operations_; }
    bool owns_default_sockets() const noexcept { return default_loop_ != nullptr; }

    // kiv_wait: one pass of the socket table's wait operation.
    int wait(int milliseconds);
    // In a wait: its own, or a pass of its shared loop run for anyone.
    bool in_wait() const noexcept;
    // One pass of a replay (kiv_replay_start) in place of the socket table's.
    void replay_pass(int milliseconds);

    // Closes everything the Instance talks to the network with. Safe to call
    // more than once; kiv_destroy calls it before the Instance is released.
    void close_connections() noexcept;

    // The Instance a Connection of this library belongs to.
    static Instance& owning(const Connection& connection) noexcept;

    // Closes a connection at once and frees it once it has stopped
    // delivering (a handler may be discarding the very Connection that is
    // calling it).
    static void discard(std::unique_ptr<Connection>& connection) noexcept;

    // Closes the side's Connection, if any, and shuts its gate. Its pending
    // work stays (kiv_destroy's way out); see end_connection for the rest.
    void drop(Side which) noexcept;
    // Makes the side's next Connection (over the socket table, or over the
    // recording being replayed) and installs it in place of the old one;
    // its gate stays shut. Applies the liveness setting to it.
    Connection& install(Side which, const ConnectionHandlers& handlers);

    SideState universe;
    SideState world;
    SideState& side(Side which) noexcept { return which == Side::kUniverse ? universe : world; }

    using PendingRequests = std::map<std::int32_t, CallbackInfo>;
    std::deque<Response>& pending_responses() noexcept { return pending_responses_; }

    std::array<unsigned char, 32>& world_ticket() noexcept { return world_ticket_; }

    // Settings for staying up (kiv_liveness_set, kiv_limits_set,
    // kiv_reconnect_set, kiv_queue_limit_set).
    std::int64_t liveness_seconds = 0;
    int connect_limit = 0;  // 0: the default of the form
    int login_limit = 0;
    int enter_limit = 0;
    KIVReconnectPolicy reconnect_policy{};
    std::size_t queue_limit = KIV_QUEUE_LIMIT_DEFAULT;

    // Connect, login or enter answers whose request passed its limit: a late
    // one is dropped.
    std::vector<std::int32_t> timed_out;

    // What a reconnection restores.
    Credentials login_sent;  // the last login sent
    Credentials login_good;  // the last login answered with 0
    bool logged_in_once = false;
    std::string universe_host;
    std::uint16_t universe_port = 0;
    std::string world_requested;            // the name of the last kiv_enter
    std::string world_entered;              // entered with 0 and not left: re-entered
    std::vector<unsigned char> last_state;  // the last own-state frame sent
    std::uint32_t random_state = 0;         // jitter

    // The running traffic capture, or null (kiv_capture_start).
    std::unique_ptr<Capture> capture;
    // The capture this Instance replays instead of using sockets, or null
    // (kiv_replay_start).
    std::unique_ptr<Replay> replay;

    // Where this Instance's diagnostic lines go (kiv_log_set).
    LogRoute log_route;
    LogSource log_source() noexcept { return LogSource{&log_route, handle()}; }

    // The thread inside a call on this Instance, or none.
    ClaimSlot busy_thread{};
    // The loop this Instance was made on (kiv_loop_table), or null. All its
    // Instances share the loop's claim instead of their own.
    SharedLoop* shared_loop() const noexcept { return shared_loop_; }
    void join_loop(SharedLoop* loop, ClaimSlot* loop_claim) noexcept {
        shared_loop_ = loop;
        claim_slot_ = loop_claim != nullptr ? loop_claim : &busy_thread;
    }
    // Every call on the Instance claims this: its own slot or its loop's.
    ClaimSlot& claim_slot() noexcept { return *claim_slot_; }

private:
    SharedLoop* shared_loop_ = nullptr;
    ClaimSlot* claim_slot_ = &busy_thread;
    std::array<KIVEventHandler, kEventCount> event_handlers_{};
    std::array<KIVCallbackHandler, kCallbackCount> callback_handlers_{};
    std::array<std::int32_t, kIntAttributeCount> ints_{};
    std::array<double, kFloatAttributeCount> floats_{};
    std::array<TextAttribute, kStringAttributeCount> strings_{};
    std::array<DataAttribute, kDataAttributeCount> data_{};
    std::deque<Response> pending_responses_;
    void* user_data_ = nullptr;
    bool in_wait_ = false;
    std::array<unsigned char, 32> world_ticket_{};
    KIVNetConfig operations_{};
    std::unique_ptr<PollLoop> default_loop_;
};

}  // namespace kivsdk
