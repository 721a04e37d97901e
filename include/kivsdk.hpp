/*
 * kivsdk.hpp - optional, header-only C++17 convenience layer over kivsdk.h.
 *
 *   kivsdk::Client bot;                               // owns one Instance
 *   bot.on(KIV_EVENT_CHAT, [&](kivsdk::Client& c) {
 *       std::cout << c.get(KIV_AVATAR_NAME) << ": " << c.get(KIV_CHAT_MESSAGE) << '\n';
 *   });
 *   kivsdk::check(bot.connect_universe("localhost", 6670), "connect");
 *   ...
 *   while (running) bot.wait(100);
 *
 * - A Client owns its Instance (kiv_destroy in the destructor) and is movable,
 *   not copyable.
 * - Handlers are std::function objects, so lambdas may capture. They reach the
 *   Client through the Instance's user-data pointer: the Client owns that
 *   pointer, so never call kiv_user_data_set on a Client's Instance. Use
 *   Client::user_data() to keep a pointer of your own.
 * - No exception ever enters the C library: an exception thrown by a handler
 *   is caught, kept, and rethrown from the Client call that ran the handler
 *   (wait, connect_universe, login, enter); only the first one is kept until
 *   it is rethrown.
 * - Attribute accessors are typed by the header's enumerations:
 *   get(KIV_MY_TYPE) is an int, get(KIV_MY_X) a double, get(KIV_AVATAR_NAME)
 *   a std::string, data(KIV_OBJECT_DATA) a byte vector.
 * - Return codes are kivsdk::ReturnCode; to_string gives the constant's name,
 *   and check() turns a failure into a kivsdk::Error carrying the code.
 * - Staying up: liveness(), limits(), reconnect(ReconnectPolicy), queue_limit(),
 *   state(Side) and trust(Side, pem); disconnection() reads what ints 45-48 and
 *   string 24 say inside the disconnect and reconnect events (26-28).
 * - Observability: log(level, handler) routes a Client's diagnostic lines,
 *   kivsdk::log(level, handler) those of every Instance without a route of
 *   its own; stats() gives the counters; capture_start(path, max_bytes) and
 *   capture_stop() write a traffic capture, replay_start(path) plays one
 *   into a fresh Client (docs/observability.md).
 *
 * Everything here is inline; the shared library exports nothing for it.
 */
#ifndef KIVSDK_HPP
#define KIVSDK_HPP

#include "kivsdk.h"

#include <array>
#include <chrono>
#include <cstddef>
#include <exception>
#include <functional>
#include <limits>
#include <memory>
#include <mutex>
#include <new>
#include <stdexcept>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace kivsdk {

enum class ReturnCode : int {
    success = KIV_RC_SUCCESS,
    version_mismatch = KIV_RC_VERSION_MISMATCH,
    string_too_long = KIV_RC_STRING_TOO_LONG,
    login_refused = KIV_RC_LOGIN_REFUSED,
    world_unavailable = KIV_RC_WORLD_UNAVAILABLE,
    not_in_world = KIV_RC_NOT_IN_WORLD,
    connection_error = KIV_RC_CONNECTION_ERROR,
    not_implemented = KIV_RC_NOT_IMPLEMENTED,
    invalid_argument = KIV_RC_INVALID_ARGUMENT,
    denied = KIV_RC_DENIED,
    rejected = KIV_RC_REJECTED,
    peer_unavailable = KIV_RC_PEER_UNAVAILABLE,
    timeout = KIV_RC_TIMEOUT,
    not_in_universe = KIV_RC_NOT_IN_UNIVERSE,
    invalid_length = KIV_RC_INVALID_LENGTH,
    object_get_refused = KIV_RC_OBJECT_GET_REFUSED,
    request_failed = KIV_RC_REQUEST_FAILED,
    recursive_wait = KIV_RC_RECURSIVE_WAIT,
    join_refused = KIV_RC_JOIN_REFUSED,
    login_denied = KIV_RC_LOGIN_DENIED,
    secure_channel_failed = KIV_RC_SECURE_CHANNEL_FAILED,
    setting_refused = KIV_RC_SETTING_REFUSED,
    no_wait_function = KIV_RC_NO_WAIT_FUNCTION,
    invite_refused = KIV_RC_INVITE_REFUSED,
    object_refused = KIV_RC_OBJECT_REFUSED,
    enter_refused = KIV_RC_ENTER_REFUSED,
    wrong_thread = KIV_RC_WRONG_THREAD,
    queue_full = KIV_RC_QUEUE_FULL
};

// The name of the code's constant ("KIV_RC_TIMEOUT"), or "unknown" for a value
// the library does not define (terrain callbacks pass server results through).
constexpr std::string_view to_string(ReturnCode code) noexcept {
    switch (code) {
        case ReturnCode::success: return "KIV_RC_SUCCESS";
        case ReturnCode::version_mismatch: return "KIV_RC_VERSION_MISMATCH";
        case ReturnCode::string_too_long: return "KIV_RC_STRING_TOO_LONG";
        case ReturnCode::login_refused: return "KIV_RC_LOGIN_REFUSED";
        case ReturnCode::world_unavailable: return "KIV_RC_WORLD_UNAVAILABLE";
        case ReturnCode::not_in_world: return "KIV_RC_NOT_IN_WORLD";
        case ReturnCode::connection_error: return "KIV_RC_CONNECTION_ERROR";
        case ReturnCode::not_implemented: return "KIV_RC_NOT_IMPLEMENTED";
        case ReturnCode::invalid_argument: return "KIV_RC_INVALID_ARGUMENT";
        case ReturnCode::denied: return "KIV_RC_DENIED";
        case ReturnCode::rejected: return "KIV_RC_REJECTED";
        case ReturnCode::peer_unavailable: return "KIV_RC_PEER_UNAVAILABLE";
        case ReturnCode::timeout: return "KIV_RC_TIMEOUT";
        case ReturnCode::not_in_universe: return "KIV_RC_NOT_IN_UNIVERSE";
        case ReturnCode::invalid_length: return "KIV_RC_INVALID_LENGTH";
        case ReturnCode::object_get_refused: return "KIV_RC_OBJECT_GET_REFUSED";
        case ReturnCode::request_failed: return "KIV_RC_REQUEST_FAILED";
        case ReturnCode::recursive_wait: return "KIV_RC_RECURSIVE_WAIT";
        case ReturnCode::join_refused: return "KIV_RC_JOIN_REFUSED";
        case ReturnCode::login_denied: return "KIV_RC_LOGIN_DENIED";
        case ReturnCode::secure_channel_failed: return "KIV_RC_SECURE_CHANNEL_FAILED";
        case ReturnCode::setting_refused: return "KIV_RC_SETTING_REFUSED";
        case ReturnCode::no_wait_function: return "KIV_RC_NO_WAIT_FUNCTION";
        case ReturnCode::invite_refused: return "KIV_RC_INVITE_REFUSED";
        case ReturnCode::object_refused: return "KIV_RC_OBJECT_REFUSED";
        case ReturnCode::enter_refused: return "KIV_RC_ENTER_REFUSED";
        case ReturnCode::wrong_thread: return "KIV_RC_WRONG_THREAD";
        case ReturnCode::queue_full: return "KIV_RC_QUEUE_FULL";
    }
    return "unknown";
}

// The two sides of a Client: its universe connection and its world connection.
enum class Side : int { universe = KIV_SIDE_UNIVERSE, world = KIV_SIDE_WORLD };

// A side's state (Client::state).
enum class State : int {
    none = KIV_STATE_NONE,
    requested = KIV_STATE_REQUESTED,
    connecting = KIV_STATE_CONNECTING,
    securing = KIV_STATE_SECURING,
    logging_in = KIV_STATE_LOGGING_IN,
    ready = KIV_STATE_READY,
    logged_in = KIV_STATE_LOGGED_IN,
    failed = KIV_STATE_FAILED,
    lost = KIV_STATE_LOST,
    reconnecting = KIV_STATE_RECONNECTING,
    gave_up = KIV_STATE_GAVE_UP
};

// Why a connection failed or was lost (int 45).
enum class Detail : int {
    none = KIV_DETAIL_NONE,
    refused = KIV_DETAIL_REFUSED,
    unreachable = KIV_DETAIL_UNREACHABLE,
    host_not_found = KIV_DETAIL_HOST_NOT_FOUND,
    reset = KIV_DETAIL_RESET,
    closed_by_peer = KIV_DETAIL_CLOSED_BY_PEER,
    silent = KIV_DETAIL_SILENT,
    stalled = KIV_DETAIL_STALLED,
    certificate = KIV_DETAIL_CERTIFICATE,
    handshake = KIV_DETAIL_HANDSHAKE,
    channel_refused = KIV_DETAIL_CHANNEL_REFUSED,
    queue_full = KIV_DETAIL_QUEUE_FULL,
    connect_failed = KIV_DETAIL_CONNECT_FAILED,
    timed_out = KIV_DETAIL_TIMED_OUT,
    login_refused = KIV_DETAIL_LOGIN_REFUSED,
    enter_refused = KIV_DETAIL_ENTER_REFUSED
};

constexpr std::string_view to_string(Side side) noexcept {
    switch (side) {
        case Side::universe: return "KIV_SIDE_UNIVERSE";
        case Side::world: return "KIV_SIDE_WORLD";
    }
    return "unknown";
}

constexpr std::string_view to_string(State state) noexcept {
    switch (state) {
        case State::none: return "KIV_STATE_NONE";
        case State::requested: return "KIV_STATE_REQUESTED";
        case State::connecting: return "KIV_STATE_CONNECTING";
        case State::securing: return "KIV_STATE_SECURING";
        case State::logging_in: return "KIV_STATE_LOGGING_IN";
        case State::ready: return "KIV_STATE_READY";
        case State::logged_in: return "KIV_STATE_LOGGED_IN";
        case State::failed: return "KIV_STATE_FAILED";
        case State::lost: return "KIV_STATE_LOST";
        case State::reconnecting: return "KIV_STATE_RECONNECTING";
        case State::gave_up: return "KIV_STATE_GAVE_UP";
    }
    return "unknown";
}

constexpr std::string_view to_string(Detail detail) noexcept {
    switch (detail) {
        case Detail::none: return "KIV_DETAIL_NONE";
        case Detail::refused: return "KIV_DETAIL_REFUSED";
        case Detail::unreachable: return "KIV_DETAIL_UNREACHABLE";
        case Detail::host_not_found: return "KIV_DETAIL_HOST_NOT_FOUND";
        case Detail::reset: return "KIV_DETAIL_RESET";
        case Detail::closed_by_peer: return "KIV_DETAIL_CLOSED_BY_PEER";
        case Detail::silent: return "KIV_DETAIL_SILENT";
        case Detail::stalled: return "KIV_DETAIL_STALLED";
        case Detail::certificate: return "KIV_DETAIL_CERTIFICATE";
        case Detail::handshake: return "KIV_DETAIL_HANDSHAKE";
        case Detail::channel_refused: return "KIV_DETAIL_CHANNEL_REFUSED";
        case Detail::queue_full: return "KIV_DETAIL_QUEUE_FULL";
        case Detail::connect_failed: return "KIV_DETAIL_CONNECT_FAILED";
        case Detail::timed_out: return "KIV_DETAIL_TIMED_OUT";
        case Detail::login_refused: return "KIV_DETAIL_LOGIN_REFUSED";
        case Detail::enter_refused: return "KIV_DETAIL_ENTER_REFUSED";
    }
    return "unknown";
}

// Automatic reconnection (Client::reconnect). A lost side is tried again
// after min(max_delay, first_delay * 2^(attempt-1)), with `jitter` a random
// part of that, rounded up to whole seconds by the library.
struct ReconnectPolicy {
    bool enabled = true;
    std::chrono::milliseconds first_delay{1000};
    std::chrono::milliseconds max_delay{30000};
    int max_attempts = 0;  // 0: try forever
    bool jitter = true;

    // Reconnection off: a scheduled attempt is cancelled, the side stays lost.
    static ReconnectPolicy off() noexcept {
        ReconnectPolicy policy;
        policy.enabled = false;
        return policy;
    }

    // The C structure; delays beyond the range of int saturate (the library
    // then refuses nothing it would have accepted as int).
    KIVReconnectPolicy to_c() const noexcept {
        const auto ms = [](std::chrono::milliseconds value) {
            constexpr auto top = static_cast<long long>(std::numeric_limits<int>::max());
            const long long count = value.count();
            return static_cast<int>(count > top ? top : (count < -top ? -top : count));
        };
        KIVReconnectPolicy policy{};
        policy.size = static_cast<int>(sizeof(KIVReconnectPolicy));
        policy.enabled = enabled ? 1 : 0;
        policy.first_delay_ms = ms(first_delay);
        policy.max_delay_ms = ms(max_delay);
        policy.max_attempts = max_attempts;
        policy.jitter = jitter ? 1 : 0;
        return policy;
    }
};

// What the Instance says about the last failure or reconnection step (ints
// 45-48, string 24): read it inside the disconnect events (12, 13) and the
// reconnect events (26 reconnecting, 27 reconnected, 28 gave up).
struct Disconnection {
    Side side = Side::universe;
    Detail detail = Detail::none;
    std::string text;                    // the detail in words
    int attempt = 0;                     // 1 for the first attempt
    std::chrono::milliseconds delay{0};  // event 26: until the attempt
};

// The library's version as major * 10000 + minor * 100 + patch; compare it
// with KIVSDK_VERSION_NUMBER of the header the program was built with.
inline int version() noexcept { return kiv_version(); }

// A failed call: what was attempted and the library's code.
class Error : public std::runtime_error {
public:
    Error(ReturnCode code, const std::string& what_failed)
        : std::runtime_error(what_failed + ": " + std::string(to_string(code)) + " (" +
                             std::to_string(static_cast<int>(code)) + ")"),
          code_(code) {}

    ReturnCode code() const noexcept { return code_; }

private:
    ReturnCode code_;
};

// Throws Error unless `code` is success; returns it otherwise.
inline ReturnCode check(ReturnCode code, const std::string& what_failed) {
    if (code != ReturnCode::success) throw Error(code, what_failed);
    return code;
}

// kiv_init with the version this header was written for.
inline ReturnCode init() noexcept {
    return static_cast<ReturnCode>(kiv_init(KIVSDK_INTERFACE_VERSION));
}

// Levels of diagnostic lines (KIVLogLevel).
enum class LogLevel : int {
    off = KIV_LOG_OFF,
    error = KIV_LOG_ERROR,
    warning = KIV_LOG_WARNING,
    info = KIV_LOG_INFO,
    debug = KIV_LOG_DEBUG,
};

class Client;

namespace detail {

// What the Instance's user-data pointer points at. Shared so that a handler
// that destroys or moves its Client does not pull the state from under the
// trampoline that is running it.
struct ClientState : std::enable_shared_from_this<ClientState> {
    using EventFn = std::function<void(Client&)>;
    using CallbackFn = std::function<void(Client&, ReturnCode, int)>;
    using LogFn = std::function<void(Client&, LogLevel, std::string_view category,
                                     std::string_view text)>;

    Client* owner = nullptr;
    // Held through shared_ptr so a handler may replace itself while it runs.
    std::array<std::shared_ptr<const EventFn>, KIV_EVENT_COUNT> events{};
    std::array<std::shared_ptr<const CallbackFn>, KIV_CALLBACK_COUNT> callbacks{};
    std::shared_ptr<const LogFn> log;
    std::exception_ptr pending;
    void* user_data = nullptr;

    void keep(std::exception_ptr error) noexcept {
        if (!pending) pending = std::move(error);
    }
};

inline ClientState* state_of(KIVInstance* instance) noexcept {
    return static_cast<ClientState*>(kiv_user_data(instance));
}

}  // namespace detail

class Client {
public:
    using EventHandler = detail::ClientState::EventFn;
    using CallbackHandler = detail::ClientState::CallbackFn;

    // An Instance with the library's own sockets.
    Client() : Client(nullptr) {}
    // An Instance on the host's socket table (copied; its context must outlive
    // the Client).
    explicit Client(const KIVNetConfig& table) : Client(&table) {}

    Client(Client&& other) noexcept
        : instance_(std::exchange(other.instance_, nullptr)), state_(std::move(other.state_)) {
        if (state_) state_->owner = this;
    }
    Client& operator=(Client&& other) noexcept {
        if (this != &other) {
            reset();
            instance_ = std::exchange(other.instance_, nullptr);
            state_ = std::move(other.state_);
            if (state_) state_->owner = this;
        }
        return *this;
    }
    Client(const Client&) = delete;
    Client& operator=(const Client&) = delete;
    ~Client() { reset(); }

    // The Instance, for kiv_ functions this class does not wrap. Null after
    // the Client was moved from.
    KIVInstance* handle() const noexcept { return instance_; }

    // A pointer of the host's own (the Instance's user data belongs to the
    // Client).
    void* user_data() const noexcept { return state_ ? state_->user_data : nullptr; }
    void set_user_data(void* data) noexcept {
        if (state_) state_->user_data = data;
    }

    // ---- attributes ------------------------------------------------------
    int get(KIVIntAttribute index) const noexcept { return kiv_int(instance_, index); }
    double get(KIVFloatAttribute index) const noexcept { return kiv_double(instance_, index); }
    std::string get(KIVStringAttribute index) const {
        const char* text = kiv_string(instance_, index);
        return text ? std::string(text) : std::string();
    }
    std::vector<unsigned char> data(KIVDataAttribute index) const {
        int length = 0;
        const auto* bytes = static_cast<const unsigned char*>(kiv_data(instance_, index, &length));
        if (!bytes || length <= 0) return {};
        return std::vector<unsigned char>(bytes, bytes + length);
    }

    ReturnCode set(KIVIntAttribute index, int value) noexcept {
        return code(kiv_int_set(instance_, index, value));
    }
    ReturnCode set(KIVFloatAttribute index, double value) noexcept {
        return code(kiv_double_set(instance_, index, value));
    }
    // The library copies the text up to its first zero byte.
    ReturnCode set(KIVStringAttribute index, const std::string& value) noexcept {
        if (!instance_) return ReturnCode::invalid_argument;
        kiv_string_set(instance_, index, value.c_str());
        return ReturnCode::success;
    }
    ReturnCode set(KIVDataAttribute index, const void* bytes, std::size_t length) noexcept {
        if (length > static_cast<std::size_t>(std::numeric_limits<int>::max()))
            return ReturnCode::invalid_length;
        return code(kiv_data_set(instance_, index, static_cast<int>(length), bytes));
    }
    ReturnCode set(KIVDataAttribute index, const std::vector<unsigned char>& bytes) noexcept {
        return set(index, bytes.data(), bytes.size());
    }

    // ---- handlers --------------------------------------------------------
    // An empty function clears the handler. A callback handler makes the
    // matching blocking request (connect, login, enter) asynchronous.
    ReturnCode on(KIVEvent event, EventHandler handler) {
        const int n = static_cast<int>(event);
        if (!state_ || n < 0 || n >= KIV_EVENT_COUNT) return ReturnCode::invalid_argument;
        const bool set_one = static_cast<bool>(handler);
        auto held = set_one ? std::make_shared<const EventHandler>(std::move(handler)) : nullptr;
        const ReturnCode rc =
            code(kiv_event_set(instance_, n, set_one ? event_trampolines()[n] : nullptr));
        if (rc == ReturnCode::success) state_->events[n] = std::move(held);
        return rc;
    }
    ReturnCode on(KIVCallback callback, CallbackHandler handler) {
        const int n = static_cast<int>(callback);
        if (!state_ || n < 0 || n >= KIV_CALLBACK_COUNT) return ReturnCode::invalid_argument;
        const bool set_one = static_cast<bool>(handler);
        auto held = set_one ? std::make_shared<const CallbackHandler>(std::move(handler)) : nullptr;
        const ReturnCode rc =
            code(kiv_callback_set(instance_, n, set_one ? callback_trampolines()[n] : nullptr));
        if (rc == ReturnCode::success) state_->callbacks[n] = std::move(held);
        return rc;
    }

    // ---- waiting ---------------------------------------------------------
    // One pass of kiv_wait; rethrows the first exception a handler threw.
    ReturnCode wait(int milliseconds) { return after_handlers(kiv_wait(instance_, milliseconds)); }

    // Rethrows (and forgets) an exception kept from a handler, if any.
    void rethrow_pending() {
        if (state_ && state_->pending)
            std::rethrow_exception(std::exchange(state_->pending, nullptr));
    }

    // ---- observability ---------------------------------------------------
    using LogHandler = detail::ClientState::LogFn;

    // Routes this Client's diagnostic lines at `level` and below to `handler`
    // (text with its line end), instead of the global route; an empty
    // handler writes them to standard output, LogLevel::off silences them.
    // The handler runs inside the Client's calls; what it throws is rethrown
    // like a handler's exception.
    ReturnCode log(LogLevel level, LogHandler handler) {
        if (!state_) return ReturnCode::invalid_argument;
        const bool set_one = static_cast<bool>(handler);
        auto held = set_one ? std::make_shared<const LogHandler>(std::move(handler)) : nullptr;
        const ReturnCode rc = code(
            kiv_log_set(instance_, static_cast<int>(level), set_one ? &log_trampoline : nullptr));
        if (rc == ReturnCode::success) state_->log = std::move(held);
        return rc;
    }
    // The counters of both sides. Throws Error with invalid_argument for a
    // moved-from Client and wrong_thread while another thread is inside a
    // call on it.
    KIVStats stats() const {
        KIVStats counters{};
        const int rc = kiv_stats(instance_, &counters, static_cast<int>(sizeof counters));
        if (rc != KIV_RC_SUCCESS) throw Error(code(rc), "stats");
        return counters;
    }
    // Writes every frame of both sides to a capture file (docs/capture-format.md)
    // until capture_stop(), or until it holds `max_bytes` (0: 64 MiB).
    ReturnCode capture_start(const std::string& path, long long max_bytes = 0) noexcept {
        return code(kiv_capture_start(instance_, path.c_str(), max_bytes));
    }
    ReturnCode capture_stop() noexcept { return code(kiv_capture_stop(instance_)); }
    // Replays a capture into this fresh Client: the same calls as in the
    // recorded session see the same events (kiv_replay_start).
    ReturnCode replay_start(const std::string& path,
                            KIVReplayFlag flags = KIV_REPLAY_AS_FAST_AS_POSSIBLE) noexcept {
        return code(kiv_replay_start(instance_, path.c_str(), flags));
    }
    // The replay's progress; status.size is 0 when there is no replay.
    KIVReplayStatus replay_status() noexcept {
        KIVReplayStatus status{};
        if (kiv_replay_status(instance_, &status, sizeof status) != KIV_RC_SUCCESS) status.size = 0;
        return status;
    }
    // Passes the recorded client frame the replay waits for.
    ReturnCode replay_skip() noexcept { return code(kiv_replay_skip(instance_)); }

    // ---- staying up ------------------------------------------------------
    // A side that receives nothing for `seconds` is lost (detail silent or
    // stalled); 0 turns it off, the default argument turns it on with 75 s.
    // Servers send keep-alives after 30 s without sending: stay above that.
    ReturnCode liveness(int seconds = KIV_LIVENESS_DEFAULT) noexcept {
        return code(kiv_liveness_set(instance_, seconds));
    }
    // Time limits in whole seconds of connect, login and enter; 0 keeps a
    // limit's default (15, 10, 20 s).
    ReturnCode limits(int connect_seconds, int login_seconds, int enter_seconds) noexcept {
        return code(kiv_limits_set(instance_, connect_seconds, login_seconds, enter_seconds));
    }
    // Reconnection after the first successful login; reconnect() turns it on
    // with the defaults, reconnect(ReconnectPolicy::off()) turns it off.
    ReturnCode reconnect(const ReconnectPolicy& policy = ReconnectPolicy()) noexcept {
        const KIVReconnectPolicy c_policy = policy.to_c();
        return code(kiv_reconnect_set(instance_, &c_policy));
    }
    // The most bytes each output queue holds (0: the default, 8 MiB); a
    // request past it returns queue_full and sends nothing.
    ReturnCode queue_limit(std::size_t bytes) noexcept {
        if (bytes > static_cast<std::size_t>(std::numeric_limits<int>::max()))
            return ReturnCode::invalid_argument;
        return code(kiv_queue_limit_set(instance_, static_cast<int>(bytes)));
    }
    // The side's state. Throws Error with invalid_argument for a moved-from
    // Client and wrong_thread while another thread is inside a call on it.
    State state(Side side) const {
        const int value = kiv_state(instance_, static_cast<int>(side));
        if (value == KIV_RC_INVALID_ARGUMENT || value == KIV_RC_WRONG_THREAD)
            throw Error(code(value), "state");
        return static_cast<State>(value);
    }
    // The CA certificates (PEM text) the side trusts from its next
    // connection on, instead of the built-in bundle.
    ReturnCode trust(Side side, std::string_view pem) noexcept {
        if (pem.size() > static_cast<std::size_t>(std::numeric_limits<int>::max()))
            return ReturnCode::invalid_argument;
        return code(kiv_trust_set(instance_, static_cast<int>(side), pem.data(),
                                  static_cast<int>(pem.size())));
    }
    // Ints 45-48 and string 24 at once (see Disconnection).
    Disconnection disconnection() const {
        Disconnection what;
        what.side = static_cast<Side>(get(KIV_DISCONNECT_SIDE));
        what.detail = static_cast<Detail>(get(KIV_DISCONNECT_DETAIL));
        what.text = get(KIV_DISCONNECT_TEXT);
        what.attempt = get(KIV_RECONNECT_ATTEMPT);
        what.delay = std::chrono::milliseconds(get(KIV_RECONNECT_DELAY));
        return what;
    }

    // ---- universe --------------------------------------------------------
    ReturnCode connect_universe(const std::string& host, int port) {
        return after_handlers(kiv_connect_universe(instance_, host.c_str(), port));
    }
    ReturnCode login(const std::string& name, const std::string& password,
                     const std::string& extra = std::string()) {
        return after_handlers(kiv_login(instance_, name.c_str(), password.c_str(), extra.c_str()));
    }
    ReturnCode world_list(int value) noexcept { return code(kiv_world_list(instance_, value)); }
    ReturnCode user_attributes_by_id(int user_id) noexcept {
        return code(kiv_user_attributes_by_id(instance_, user_id));
    }
    ReturnCode friends_get() noexcept { return code(kiv_friends_get(instance_)); }
    ReturnCode friend_add_by_name(const std::string& name) noexcept {
        return code(kiv_friend_add_by_name(instance_, name.c_str()));
    }
    ReturnCode friend_delete(int friend_id) noexcept {
        return code(kiv_friend_delete(instance_, friend_id));
    }
    ReturnCode invite(int user_id, const std::string& world, double x, double y, double z,
                      float yaw, float pitch) noexcept {
        return code(kiv_invite(instance_, user_id, world.c_str(), x, y, z, yaw, pitch));
    }
    ReturnCode invite_accept(int invitation_id) noexcept {
        return code(kiv_invite_accept(instance_, invitation_id));
    }
    ReturnCode invite_decline(int invitation_id) noexcept {
        return code(kiv_invite_decline(instance_, invitation_id));
    }
    ReturnCode join(int user_id) noexcept { return code(kiv_join(instance_, user_id)); }
    ReturnCode join_accept(int join_id, const std::string& world, double x, double y, double z,
                           float yaw, float pitch) noexcept {
        return code(kiv_join_accept(instance_, join_id, world.c_str(), x, y, z, yaw, pitch));
    }
    ReturnCode join_decline(int join_id) noexcept {
        return code(kiv_join_decline(instance_, join_id));
    }

    // ---- world -----------------------------------------------------------
    ReturnCode enter(const std::string& world) {
        return after_handlers(kiv_enter(instance_, world.c_str()));
    }
    ReturnCode leave() noexcept { return code(kiv_leave(instance_)); }
    ReturnCode state_change() noexcept { return code(kiv_state_change(instance_)); }
    ReturnCode say(const std::string& text) noexcept {
        return code(kiv_say(instance_, text.c_str()));
    }
    ReturnCode object_add() noexcept { return code(kiv_object_add(instance_)); }
    ReturnCode object_change() noexcept { return code(kiv_object_change(instance_)); }
    ReturnCode object_delete(int object_id) noexcept {
        return code(kiv_object_delete(instance_, object_id));
    }
    ReturnCode object_load() noexcept { return code(kiv_object_load(instance_)); }
    ReturnCode object_get(int object_id) noexcept {
        return code(kiv_object_get(instance_, object_id));
    }
    ReturnCode object_click(int object_id, int session, float hit_x, float hit_y,
                            float hit_z) noexcept {
        return code(kiv_object_click(instance_, object_id, session, hit_x, hit_y, hit_z));
    }
    ReturnCode object_bump_begin(int object_id, int session) noexcept {
        return code(kiv_object_bump_begin(instance_, object_id, session));
    }
    ReturnCode object_bump_end(int object_id, int session) noexcept {
        return code(kiv_object_bump_end(instance_, object_id, session));
    }
    ReturnCode query_cell(int cell_x, int cell_z) noexcept {
        return code(kiv_query_cell(instance_, cell_x, cell_z));
    }
    ReturnCode query_cell_revision(int cell_x, int cell_z, int revision) noexcept {
        return code(kiv_query_cell_revision(instance_, cell_x, cell_z, revision));
    }
    ReturnCode terrain_query(int tile_x, int tile_z,
                             const std::array<int, 16>& revisions) noexcept {
        return code(kiv_terrain_query(instance_, tile_x, tile_z, revisions.data()));
    }
    ReturnCode terrain_node_set(int tile_x, int tile_z, int node_x, int node_z,
                                const std::array<KIVTerrainCell, 64>& cells) noexcept {
        return code(kiv_terrain_node_set(instance_, tile_x, tile_z, node_x, node_z, cells.data()));
    }
    ReturnCode world_permission_user_set(const std::string& permission, int user_id,
                                         bool enable) noexcept {
        return code(
            kiv_world_permission_user_set(instance_, permission.c_str(), user_id, enable ? 1 : 0));
    }
    ReturnCode world_permission_session_set(const std::string& permission, int session,
                                            bool enable) noexcept {
        return code(kiv_world_permission_session_set(instance_, permission.c_str(), session,
                                                     enable ? 1 : 0));
    }
    ReturnCode world_permissions_get_all() noexcept {
        return code(kiv_world_permissions_get_all(instance_));
    }
    ReturnCode world_permissions_get_by_user(int user_id) noexcept {
        return code(kiv_world_permissions_get_by_user(instance_, user_id));
    }
    ReturnCode world_permissions_get_my() noexcept {
        return code(kiv_world_permissions_get_my(instance_));
    }
    ReturnCode world_setting_set(const std::string& setting, const std::string& value,
                                 int target) noexcept {
        return code(kiv_world_setting_set(instance_, setting.c_str(), value.c_str(), target));
    }
    ReturnCode teleport_avatar(int session, const std::string& world, float x, float y, float z,
                               float yaw, float pitch) noexcept {
        return code(kiv_teleport_avatar(instance_, session, world.c_str(), x, y, z, yaw, pitch));
    }
    ReturnCode url_send(int session, const std::string& url, int target) noexcept {
        return code(kiv_url_send(instance_, session, url.c_str(), target));
    }
    ReturnCode console_message(int session, const std::string& name, const std::string& message,
                               int effects, int red, int green, int blue) noexcept {
        return code(kiv_console_message(instance_, session, name.c_str(), message.c_str(), effects,
                                        red, green, blue));
    }
    ReturnCode avatar_click(int session) noexcept {
        return code(kiv_avatar_click(instance_, session));
    }

private:
    explicit Client(const KIVNetConfig* table)
        : instance_(kiv_create(table)), state_(std::make_shared<detail::ClientState>()) {
        if (!instance_) throw std::bad_alloc();
        state_->owner = this;
        kiv_user_data_set(instance_, state_.get());
    }

    static ReturnCode code(int rc) noexcept { return static_cast<ReturnCode>(rc); }

    ReturnCode after_handlers(int rc) {
        rethrow_pending();
        return code(rc);
    }

    void reset() noexcept {
        if (state_) state_->owner = nullptr;
        if (instance_) kiv_destroy(std::exchange(instance_, nullptr));
        state_.reset();
    }

    // Runs `call(state, owner)` for the Client of `instance`, keeping its state
    // alive meanwhile and keeping what the handler throws.
    template <class Call>
    static void deliver(KIVInstance* instance, Call&& call) noexcept {
        detail::ClientState* raw = detail::state_of(instance);
        if (!raw) return;
        const std::shared_ptr<detail::ClientState> state = raw->shared_from_this();
        if (!state->owner) return;
        try {
            call(*state, *state->owner);
        } catch (...) {
            state->keep(std::current_exception());
        }
    }

    template <int N>
    static void event_trampoline(KIVInstance* instance) noexcept {
        deliver(instance, [](detail::ClientState& state, Client& owner) {
            // A copy: the handler may replace itself while it runs.
            if (const auto handler = state.events[N]) (*handler)(owner);
        });
    }

    template <int N>
    static void callback_trampoline(KIVInstance* instance, int rc, int reference) noexcept {
        deliver(instance, [rc, reference](detail::ClientState& state, Client& owner) {
            if (const auto handler = state.callbacks[N]) (*handler)(owner, code(rc), reference);
        });
    }

    static void log_trampoline(KIVInstance* instance, int level, const char* category,
                               const char* text) noexcept {
        deliver(instance, [level, category, text](detail::ClientState& state, Client& owner) {
            if (const auto handler = state.log)
                (*handler)(owner, static_cast<LogLevel>(level), category ? category : "",
                           text ? text : "");
        });
    }

    template <int... N>
    static constexpr std::array<KIVEventHandler, sizeof...(N)> make_event_trampolines(
        std::integer_sequence<int, N...>) noexcept {
        return {{&event_trampoline<N>...}};
    }
    template <int... N>
    static constexpr std::array<KIVCallbackHandler, sizeof...(N)> make_callback_trampolines(
        std::integer_sequence<int, N...>) noexcept {
        return {{&callback_trampoline<N>...}};
    }
    static const std::array<KIVEventHandler, KIV_EVENT_COUNT>& event_trampolines() noexcept {
        static constexpr auto table =
            make_event_trampolines(std::make_integer_sequence<int, KIV_EVENT_COUNT>{});
        return table;
    }
    static const std::array<KIVCallbackHandler, KIV_CALLBACK_COUNT>&
    callback_trampolines() noexcept {
        static constexpr auto table =
            make_callback_trampolines(std::make_integer_sequence<int, KIV_CALLBACK_COUNT>{});
        return table;
    }

    KIVInstance* instance_ = nullptr;
    std::shared_ptr<detail::ClientState> state_;
};

// The global route of diagnostic lines: those of every Instance without a
// route of its own (the Instance, or null for lines of none) and those of no
// Instance, at `level` and below. It may run on any thread, on several at
// once; what it throws is dropped. An empty handler writes to standard output.
using GlobalLogHandler = std::function<void(KIVInstance* instance, LogLevel,
                                            std::string_view category, std::string_view text)>;

namespace detail {
struct GlobalLog {
    std::mutex mutex;
    std::shared_ptr<const GlobalLogHandler> handler;

    static GlobalLog& get() {
        static GlobalLog route;
        return route;
    }
    static void trampoline(KIVInstance* instance, int level, const char* category,
                           const char* text) noexcept {
        try {
            std::shared_ptr<const GlobalLogHandler> handler;
            {
                GlobalLog& route = get();
                const std::lock_guard<std::mutex> lock(route.mutex);
                handler = route.handler;
            }
            if (handler)
                (*handler)(instance, static_cast<LogLevel>(level), category ? category : "",
                           text ? text : "");
        } catch (...) {
        }
    }
};
}  // namespace detail

inline ReturnCode log(LogLevel level, GlobalLogHandler handler) {
    detail::GlobalLog& route = detail::GlobalLog::get();
    const bool set_one = static_cast<bool>(handler);
    {
        const std::lock_guard<std::mutex> lock(route.mutex);
        if (set_one)
            route.handler = std::make_shared<const GlobalLogHandler>(std::move(handler));
    }
    const int rc = kiv_log_set(nullptr, static_cast<int>(level),
                               set_one ? &detail::GlobalLog::trampoline : nullptr);
    if (!set_one && rc == KIV_RC_SUCCESS) {
        const std::lock_guard<std::mutex> lock(route.mutex);
        route.handler.reset();
    }
    return static_cast<ReturnCode>(rc);
}

}  // namespace kivsdk

#endif /* KIVSDK_HPP */
