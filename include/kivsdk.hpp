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
 * - Coroutines (C++20 only): co_await client.co().login(...) and every other
 *   request that completes with a callback, resumed inside wait() with a
 *   result struct; kivsdk::Task<T> runs such coroutines (the last section).
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

// KIVSDK_COROUTINES is 1 when the compiler has C++20 coroutines: Client then
// gains co() and this header the coroutine layer at its end. Define it as 0
// before including the header to leave them out.
#ifndef KIVSDK_COROUTINES
#if defined(__cpp_impl_coroutine) && __cpp_impl_coroutine >= 201902L && \
    (__cplusplus >= 202002L || (defined(_MSVC_LANG) && _MSVC_LANG >= 202002L))
#if defined(__has_include)
#if __has_include(<coroutine>)
#define KIVSDK_COROUTINES 1
#endif
#endif
#endif
#endif
#ifndef KIVSDK_COROUTINES
#define KIVSDK_COROUTINES 0
#endif

#if KIVSDK_COROUTINES
#include <coroutine>
#include <cstring>
#include <optional>
#include <type_traits>
#endif

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
#if KIVSDK_COROUTINES
class CoClient;
namespace detail {
struct ClientAccess;
}  // namespace detail
#endif

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
    // The coroutine layer's waits on this Client (Client::co) and what
    // resumes them when the Client is destroyed or moved from; both stay
    // empty until a coroutine awaits a request of this Client.
    std::shared_ptr<void> awaits;
    void (*abandon_awaits)(ClientState&) noexcept = nullptr;

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
        abandon_awaits();  // coroutines awaiting through `other`
    }
    Client& operator=(Client&& other) noexcept {
        if (this != &other) {
            reset();
            instance_ = std::exchange(other.instance_, nullptr);
            state_ = std::move(other.state_);
            if (state_) state_->owner = this;
            abandon_awaits();
        }
        return *this;
    }
    Client(const Client&) = delete;
    Client& operator=(const Client&) = delete;
    ~Client() { reset(); }

    // The Instance, for kiv_ functions this class does not wrap. Null after
    // the Client was moved from.
    KIVInstance* handle() const noexcept { return instance_; }

#if KIVSDK_COROUTINES
    // The awaitable forms of the requests that complete with a callback
    // (C++20): co_await client.co().login(name, password). See the
    // coroutine layer at the end of this header.
    CoClient co() noexcept;
    friend struct detail::ClientAccess;
#endif

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
        abandon_awaits();
        state_.reset();
    }

    // Coroutines waiting for answers through this Client resume at once,
    // abandoned: the Client is going away or was moved from.
    void abandon_awaits() noexcept {
        if (state_ && state_->abandon_awaits) state_->abandon_awaits(*state_);
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

// ============================================================================
// Coroutines (C++20)
// ============================================================================
//
//   kivsdk::Task<> visit(kivsdk::Client& bot) {
//       kivsdk::check((co_await bot.co().connect_universe("127.0.0.1", 6670)).rc, "connect");
//       kivsdk::LoginResult login = co_await bot.co().login("bot", "secret");
//       kivsdk::check(login.rc, "login");
//       kivsdk::check((co_await bot.co().enter("lobby")).rc, "enter");
//       bot.set(KIV_OBJECT_STRING_1, "tree.rwx");
//       kivsdk::ObjectResult added = co_await bot.co().object_add();
//       ...
//   }
//   kivsdk::Task<> task = visit(bot);
//   task.start();
//   while (!task.done()) bot.wait(100);
//   task.result();  // rethrows what the coroutine threw
//
// - client.co() has the awaitable forms of every request that completes
//   with a callback, named as Client's own. Each co_await sends its request
//   (then, not when the awaitable is made) and resumes the coroutine with a
//   result: the ReturnCode, the reference and what the answer carried, copied
//   inside the handler. A request the library refuses at once resumes at
//   once with the library's code; an Awaitable is awaited once.
// - The coroutine resumes inside the library's handlers, that is inside
//   Client::wait on the host's thread; the layer starts no thread. There it
//   may send requests and co_await again, but a blocking call returns
//   recursive_wait.
// - The layer owns the callback slots of the requests it sends: it sets
//   them (replacing a handler of yours) and matches each answer to its
//   coroutine by the reference it puts in int 9 for the request (restored
//   afterwards). Answers it does not wait for, such as those of the plain
//   forms of those requests, are dropped. Connect, login and enter always
//   have reference 0: a second await of one of them while the first is
//   pending resumes at once with invalid_argument and sends nothing. Once
//   awaited, the plain connect_universe, login and enter return at once
//   without their outcome, as with any callback handler.
// - A list (world_list, friends_get, terrain_query, world_permissions_get_*)
//   collects its entries from events 8, 11, 16 or 25 while it waits; the
//   layer holds those event slots meanwhile and passes each event on to the
//   handler that was there. Set such a handler before awaiting a list.
// - Requests whose Connection ends resume once with connection_error, as
//   their callbacks do. Callback-style connect, login and enter have no time
//   limit unless liveness() or limits() sets one.
// - A Client destroyed, moved from or assigned to while coroutines await
//   its requests resumes each of them at once (inside the destructor or the
//   move) with connection_error and `abandoned` set; a later answer is
//   dropped. Such a coroutine must not use that Client again. Destroying a
//   suspended coroutine (its Task) withdraws its wait.

#if KIVSDK_COROUTINES
namespace kivsdk {

// What every awaited request resumes with.
struct Completion {
    ReturnCode rc = ReturnCode::success;
    int reference = 0;       // the request's reference (0 for connect, login and enter)
    bool abandoned = false;  // the Client went away meanwhile (rc is connection_error)

    bool ok() const noexcept { return rc == ReturnCode::success; }
};

struct LoginResult : Completion {
    int value = 0;     // int 18, KIV_LOGIN_REPLY_VALUE
    std::string text;  // string 16, KIV_LOGIN_REPLY_STRING (empty unless success)
};

struct EnterResult : Completion {
    std::string world;    // the world asked for
    int entry_value = 0;  // int 43, KIV_WORLD_ENTRY_VALUE
};

// object_add and object_load: the new object; object_change and
// object_delete: the object the request named (int 3).
struct ObjectResult : Completion {
    int object_id = 0;
};

// One object's record: ints 3-6, floats 10-16, strings 2-4 and data 0.
struct ObjectRecord {
    int id = 0;
    int type = 0;
    int int_1 = 0;
    int int_2 = 0;
    double x = 0, y = 0, z = 0;
    double rotation_x = 0, rotation_y = 0, rotation_z = 0, rotation_angle = 0;
    std::string string_1, string_2, string_3;
    std::vector<unsigned char> data;
};

struct ObjectGetResult : Completion {
    ObjectRecord object;  // filled on success
};

// One node of event 16 (ints 23-27, data 1).
struct TerrainNode {
    int tile_x = 0, tile_z = 0, node_x = 0, node_z = 0;
    int revision = 0;
    std::array<KIVTerrainCell, 64> cells{};
};

struct TerrainResult : Completion {
    std::vector<TerrainNode> nodes;  // the events 16 before the answer
};

// One entry of event 25.
struct Permission {
    std::string name;  // string 23
    int holder = 0;    // int 44: a user id or a session
};

struct PermissionsResult : Completion {
    std::vector<Permission> permissions;  // the events 25 before the answer
};

// One entry of event 8.
struct WorldEntry {
    std::string name;  // string 5
    int state = 0;     // int 7
    int value = 0;     // int 8
};

struct WorldListResult : Completion {
    std::vector<WorldEntry> worlds;  // the events 8 before the answer
};

// One entry of event 11.
struct Friend {
    int id = 0;        // int 15
    int user_id = 0;   // int 16
    int state = 0;     // int 17
    std::string name;  // string 10
};

struct FriendsResult : Completion {
    std::vector<Friend> friends;  // the events 11 before the answer
};

struct FriendDeleteResult : Completion {
    int friend_id = 0;  // int 15
};

struct InviteResult : Completion {
    std::string name;  // string 17
};

struct JoinResult : Completion {
    std::string world;                               // string 14
    std::string name;                                // string 15
    double x = 0, y = 0, z = 0, yaw = 0, pitch = 0;  // floats 25-29
};

namespace detail {

struct Awaits;

// One coroutine waiting for the answer of one request.
struct AwaitNode {
    // Lives on the stack of await_suspend while the request is being sent:
    // the answer, or the coroutine's end, may come before the call returns.
    struct Suspending {
        bool answered = false;
        bool destroyed = false;
    };

    int callback = 0;
    int reference = 0;
    unsigned long long epoch = 0;
    std::coroutine_handle<> handle;
    Suspending* suspending = nullptr;
    Completion* result = nullptr;
    // Copies what the answer carried into the result.
    void (*take)(AwaitNode&, Client&, Awaits&) = nullptr;
};

struct ClientAccess {
    static ClientState* state(Client& client) noexcept { return client.state_.get(); }
};

// The waits of one Client, owned by its ClientState.
struct Awaits : std::enable_shared_from_this<Awaits> {
    std::vector<AwaitNode*> waiting;
    unsigned long long epoch = 0;
    int last_reference = 0;
    bool instance_gone = false;
    // The handlers the layer set, to see whether they are still in place,
    // and the host's event handlers they pass events on to.
    std::array<std::weak_ptr<const ClientState::CallbackFn>, KIV_CALLBACK_COUNT> own_callbacks{};
    std::array<std::weak_ptr<const ClientState::EventFn>, KIV_EVENT_COUNT> own_events{};
    std::array<std::shared_ptr<const ClientState::EventFn>, KIV_EVENT_COUNT> host_events{};
    // Entries of the lists being answered.
    std::vector<WorldEntry> worlds;
    std::vector<Friend> friends;
    std::vector<TerrainNode> nodes;
    std::vector<Permission> permissions;

    static std::shared_ptr<Awaits> of(ClientState& state) {
        if (!state.awaits) {
            state.awaits = std::make_shared<Awaits>();
            state.abandon_awaits = &Awaits::abandon;
        }
        return std::static_pointer_cast<Awaits>(state.awaits);
    }

    // Connect, login and enter: reference 0, so one at a time.
    static constexpr bool single(int callback) noexcept {
        return callback == KIV_CALLBACK_CONNECT_UNIVERSE || callback == KIV_CALLBACK_LOGIN ||
               callback == KIV_CALLBACK_ENTER;
    }

    // The event that carries a list answer's entries, or -1.
    static constexpr int list_event(int callback) noexcept {
        switch (callback) {
            case KIV_CALLBACK_WORLD_LIST: return KIV_EVENT_WORLD_LIST;
            case KIV_CALLBACK_FRIENDS_GET: return KIV_EVENT_FRIEND;
            case KIV_CALLBACK_TERRAIN_QUERY: return KIV_EVENT_TERRAIN_NODE;
            case KIV_CALLBACK_WORLD_PERMISSIONS_GET_MY:
            case KIV_CALLBACK_WORLD_PERMISSIONS_GET_BY_USER:
            case KIV_CALLBACK_WORLD_PERMISSIONS_GET_ALL: return KIV_EVENT_WORLD_PERMISSION;
            default: return -1;
        }
    }

    // Registers a wait and makes sure the layer's handlers are in place;
    // false for a second connect, login or enter.
    bool admit(Client& client, ClientState& state, AwaitNode& node) {
        if (single(node.callback)) {
            for (const AwaitNode* other : waiting) {
                if (other->callback == node.callback) return false;
            }
            node.reference = 0;
        } else {
            node.reference = next_reference();
        }
        hold_callback(client, state, node.callback);
        if (const int event = list_event(node.callback); event >= 0) {
            hold_event(client, state, event);
        }
        waiting.reserve(waiting.size() + 1);
        node.epoch = epoch;
        waiting.push_back(&node);
        return true;
    }

    void forget(const AwaitNode& node) noexcept {
        for (auto it = waiting.begin(); it != waiting.end(); ++it) {
            if (*it == &node) {
                waiting.erase(it);
                return;
            }
        }
    }

    // A callback of a request kind the layer owns.
    void answer(Client& client, int callback, ReturnCode rc, int reference) {
        AwaitNode* node = nullptr;
        for (auto it = waiting.begin(); it != waiting.end(); ++it) {
            if ((*it)->callback == callback &&
                (single(callback) || (*it)->reference == reference)) {
                node = *it;
                waiting.erase(it);
                break;
            }
        }
        std::exception_ptr error;
        if (node) {
            node->result->rc = rc;
            node->result->reference = reference;
            try {
                node->take(*node, client, *this);
            } catch (...) {
                error = std::current_exception();  // the coroutine resumes all the same
            }
        }
        // The entries belonged to this answer, whoever waited for it.
        clear_entries(list_event(callback));
        if (node) wake(*node);
        if (error) std::rethrow_exception(error);
    }

    // An event of a list kind: kept while a list of that kind waits, then
    // passed on to the host's handler.
    void entry(Client& client, int event) {
        if (collecting(event)) {
            switch (event) {
                case KIV_EVENT_WORLD_LIST:
                    worlds.push_back(WorldEntry{client.get(KIV_WORLD_NAME),
                                                client.get(KIV_WORLD_STATE),
                                                client.get(KIV_WORLD_VALUE)});
                    break;
                case KIV_EVENT_FRIEND:
                    friends.push_back(
                        Friend{client.get(KIV_FRIEND_ID), client.get(KIV_FRIEND_USER_ID),
                               client.get(KIV_FRIEND_STATE), client.get(KIV_FRIEND_NAME)});
                    break;
                case KIV_EVENT_TERRAIN_NODE: nodes.push_back(terrain_node(client)); break;
                case KIV_EVENT_WORLD_PERMISSION:
                    permissions.push_back(Permission{client.get(KIV_WORLD_PERMISSION_NAME),
                                                     client.get(KIV_WORLD_PERMISSION_HOLDER)});
                    break;
                default: break;
            }
        }
        if (const auto host = host_events[static_cast<std::size_t>(event)]) (*host)(client);
    }

    // Resumes the coroutine, or, while its request is still being sent,
    // tells await_suspend not to suspend.
    static void wake(AwaitNode& node) {
        if (node.suspending) {
            node.suspending->answered = true;
            return;
        }
        node.handle.resume();
    }

    // ClientState::abandon_awaits: every wait begun through the Client so
    // far resumes with connection_error, abandoned. Waits begun by the
    // coroutines resumed here (through the new owner after a move) stay.
    static void abandon(ClientState& state) noexcept {
        const std::shared_ptr<Awaits> self = std::static_pointer_cast<Awaits>(state.awaits);
        if (!self) return;
        if (!state.owner) self->instance_gone = true;
        const unsigned long long ending = ++self->epoch;
        for (;;) {
            AwaitNode* node = nullptr;
            for (auto it = self->waiting.begin(); it != self->waiting.end(); ++it) {
                if ((*it)->epoch < ending) {
                    node = *it;
                    self->waiting.erase(it);
                    break;
                }
            }
            if (!node) break;
            node->result->rc = ReturnCode::connection_error;
            node->result->reference = node->reference;
            node->result->abandoned = true;
            try {
                wake(*node);
            } catch (...) {
                state.keep(std::current_exception());
            }
        }
        for (const int event : {KIV_EVENT_WORLD_LIST, KIV_EVENT_FRIEND, KIV_EVENT_TERRAIN_NODE,
                                KIV_EVENT_WORLD_PERMISSION}) {
            self->clear_entries(event);
        }
    }

private:
    int next_reference() noexcept {
        for (;;) {
            last_reference =
                last_reference == std::numeric_limits<int>::max() ? 1 : last_reference + 1;
            bool taken = false;
            for (const AwaitNode* node : waiting)
                taken = taken || node->reference == last_reference;
            if (!taken) return last_reference;
        }
    }

    bool collecting(int event) const noexcept {
        for (const AwaitNode* node : waiting) {
            if (list_event(node->callback) == event) return true;
        }
        return false;
    }

    void clear_entries(int event) noexcept {
        switch (event) {
            case KIV_EVENT_WORLD_LIST: worlds.clear(); break;
            case KIV_EVENT_FRIEND: friends.clear(); break;
            case KIV_EVENT_TERRAIN_NODE: nodes.clear(); break;
            case KIV_EVENT_WORLD_PERMISSION: permissions.clear(); break;
            default: break;
        }
    }

    static TerrainNode terrain_node(Client& client) {
        TerrainNode node;
        node.tile_x = client.get(KIV_TERRAIN_TILE_X);
        node.tile_z = client.get(KIV_TERRAIN_TILE_Z);
        node.node_x = client.get(KIV_TERRAIN_NODE_X);
        node.node_z = client.get(KIV_TERRAIN_NODE_Z);
        node.revision = client.get(KIV_TERRAIN_NODE_REVISION);
        int length = 0;
        const void* bytes = kiv_data(client.handle(), KIV_TERRAIN_NODE_DATA, &length);
        if (bytes && length > 0) {
            const std::size_t size = static_cast<std::size_t>(length);
            std::memcpy(node.cells.data(), bytes,
                        size < sizeof node.cells ? size : sizeof node.cells);
        }
        return node;
    }

    // The layer's handler for the callback, unless it is still set.
    void hold_callback(Client& client, ClientState& state, int callback) {
        const std::size_t n = static_cast<std::size_t>(callback);
        const auto own = own_callbacks[n].lock();
        if (own && state.callbacks[n] == own) return;
        std::shared_ptr<Awaits> self = shared_from_this();
        if (client.on(static_cast<KIVCallback>(callback),
                      [self, callback](Client& c, ReturnCode rc, int reference) {
                          self->answer(c, callback, rc, reference);
                      }) == ReturnCode::success) {
            own_callbacks[n] = state.callbacks[n];
        }
    }

    // The layer's handler for the event, passing events on to the handler
    // that was set before it.
    void hold_event(Client& client, ClientState& state, int event) {
        const std::size_t n = static_cast<std::size_t>(event);
        const auto own = own_events[n].lock();
        if (own && state.events[n] == own) return;
        std::shared_ptr<const ClientState::EventFn> host = state.events[n];
        std::shared_ptr<Awaits> self = shared_from_this();
        if (client.on(static_cast<KIVEvent>(event),
                      [self, event](Client& c) { self->entry(c, event); }) == ReturnCode::success) {
            own_events[n] = state.events[n];
            host_events[n] = std::move(host);
        }
    }
};

// What each kind of answer carries, read inside its callback.
inline void take_answer(Completion&, Client&, Awaits&) {}
inline void take_answer(LoginResult& result, Client& client, Awaits&) {
    result.value = client.get(KIV_LOGIN_REPLY_VALUE);
    result.text = client.get(KIV_LOGIN_REPLY_STRING);
}
inline void take_answer(EnterResult& result, Client& client, Awaits&) {
    result.entry_value = client.get(KIV_WORLD_ENTRY_VALUE);
}
inline void take_answer(ObjectResult& result, Client& client, Awaits&) {
    result.object_id = client.get(KIV_OBJECT_ID);
}
inline void take_answer(ObjectGetResult& result, Client& client, Awaits&) {
    if (!result.ok()) return;
    ObjectRecord& object = result.object;
    object.id = client.get(KIV_OBJECT_ID);
    object.type = client.get(KIV_OBJECT_TYPE);
    object.int_1 = client.get(KIV_OBJECT_INT_1);
    object.int_2 = client.get(KIV_OBJECT_INT_2);
    object.x = client.get(KIV_OBJECT_X);
    object.y = client.get(KIV_OBJECT_Y);
    object.z = client.get(KIV_OBJECT_Z);
    object.rotation_x = client.get(KIV_OBJECT_ROTATION_X);
    object.rotation_y = client.get(KIV_OBJECT_ROTATION_Y);
    object.rotation_z = client.get(KIV_OBJECT_ROTATION_Z);
    object.rotation_angle = client.get(KIV_OBJECT_ROTATION_ANGLE);
    object.string_1 = client.get(KIV_OBJECT_STRING_1);
    object.string_2 = client.get(KIV_OBJECT_STRING_2);
    object.string_3 = client.get(KIV_OBJECT_STRING_3);
    object.data = client.data(KIV_OBJECT_DATA);
}
inline void take_answer(TerrainResult& result, Client&, Awaits& awaits) {
    result.nodes = std::move(awaits.nodes);
}
inline void take_answer(PermissionsResult& result, Client&, Awaits& awaits) {
    result.permissions = std::move(awaits.permissions);
}
inline void take_answer(WorldListResult& result, Client&, Awaits& awaits) {
    result.worlds = std::move(awaits.worlds);
}
inline void take_answer(FriendsResult& result, Client&, Awaits& awaits) {
    result.friends = std::move(awaits.friends);
}
inline void take_answer(FriendDeleteResult& result, Client& client, Awaits&) {
    result.friend_id = client.get(KIV_FRIEND_ID);
}
inline void take_answer(InviteResult& result, Client& client, Awaits&) {
    result.name = client.get(KIV_INVITE_NAME);
}
inline void take_answer(JoinResult& result, Client& client, Awaits&) {
    result.world = client.get(KIV_JOIN_WORLD);
    result.name = client.get(KIV_JOIN_NAME);
    result.x = client.get(KIV_JOIN_X);
    result.y = client.get(KIV_JOIN_Y);
    result.z = client.get(KIV_JOIN_Z);
    result.yaw = client.get(KIV_JOIN_YAW);
    result.pitch = client.get(KIV_JOIN_PITCH);
}

}  // namespace detail

// One request of CoClient: co_await sends it and resumes with its Result.
// Neither copyable nor movable; awaited once.
template <class Result>
class [[nodiscard]] Awaitable : private detail::AwaitNode {
public:
    Awaitable(const Awaitable&) = delete;
    Awaitable& operator=(const Awaitable&) = delete;
    ~Awaitable() {
        if (this->suspending) this->suspending->destroyed = true;
        if (awaits_) awaits_->forget(*this);
    }

    bool await_ready() const noexcept { return false; }

    bool await_suspend(std::coroutine_handle<> coroutine) {
        this->handle = coroutine;
        detail::ClientState* state = detail::ClientAccess::state(*client_);
        KIVInstance* const instance = client_->handle();
        if (!state || !instance) return resume_with(ReturnCode::invalid_argument);
        const std::shared_ptr<detail::Awaits> awaits = detail::Awaits::of(*state);
        if (!awaits->admit(*client_, *state, *this)) {
            return resume_with(ReturnCode::invalid_argument);
        }
        awaits_ = awaits;
        detail::AwaitNode::Suspending sending;
        this->suspending = &sending;
        int host_reference = 0;
        kiv_int_get(instance, KIV_REFERENCE_NUMBER, &host_reference);
        kiv_int_set(instance, KIV_REFERENCE_NUMBER, this->reference);
        const int rc = send_(instance);
        // Handlers ran inside the call: they may have answered this wait,
        // destroyed the Client, or destroyed this coroutine with its
        // awaitable. Only locals are safe until `sending` says otherwise.
        if (!awaits->instance_gone) kiv_int_set(instance, KIV_REFERENCE_NUMBER, host_reference);
        if (sending.destroyed) return true;  // nothing of the frame is touched
        this->suspending = nullptr;
        if (sending.answered) return false;
        if (rc != KIV_RC_SUCCESS) {
            // Refused before it was sent: no callback follows.
            awaits->forget(*this);
            return resume_with(static_cast<ReturnCode>(rc));
        }
        return true;
    }

    Result await_resume() { return std::move(result_); }

private:
    friend class CoClient;
    using Send = std::function<int(KIVInstance*)>;

    Awaitable(Client& client, int kind, Send send, Result initial)
        : client_(&client), send_(std::move(send)), result_(std::move(initial)) {
        this->callback = kind;
        this->result = &result_;
        this->take = &Awaitable::take_from;
    }

    static void take_from(detail::AwaitNode& node, Client& client, detail::Awaits& awaits) {
        detail::take_answer(static_cast<Awaitable&>(node).result_, client, awaits);
    }

    bool resume_with(ReturnCode rc) noexcept {
        result_.rc = rc;
        result_.reference = this->reference;
        return false;
    }

    Client* client_;
    Send send_;
    Result result_;
    std::shared_ptr<detail::Awaits> awaits_;
};

// The awaitable requests of a Client (Client::co). Arguments are copied
// into the awaitable; the request goes out when it is awaited.
class CoClient {
public:
    explicit CoClient(Client& client) noexcept : client_(&client) {}

    Client& client() const noexcept { return *client_; }

    // ---- universe --------------------------------------------------------
    Awaitable<Completion> connect_universe(std::string host, int port) const {
        return make<Completion>(KIV_CALLBACK_CONNECT_UNIVERSE,
                                [host = std::move(host), port](KIVInstance* instance) {
                                    return kiv_connect_universe(instance, host.c_str(), port);
                                });
    }
    Awaitable<LoginResult> login(std::string name, std::string password,
                                 std::string extra = std::string()) const {
        return make<LoginResult>(
            KIV_CALLBACK_LOGIN, [name = std::move(name), password = std::move(password),
                                 extra = std::move(extra)](KIVInstance* i) {
                return kiv_login(i, name.c_str(), password.c_str(), extra.c_str());
            });
    }
    Awaitable<WorldListResult> world_list(int value) const {
        return make<WorldListResult>(KIV_CALLBACK_WORLD_LIST, [value](KIVInstance* instance) {
            return kiv_world_list(instance, value);
        });
    }
    Awaitable<FriendsResult> friends_get() const {
        return make<FriendsResult>(KIV_CALLBACK_FRIENDS_GET, &kiv_friends_get);
    }
    Awaitable<Completion> friend_add_by_name(std::string name) const {
        return make<Completion>(KIV_CALLBACK_FRIEND_ADD,
                                [name = std::move(name)](KIVInstance* instance) {
                                    return kiv_friend_add_by_name(instance, name.c_str());
                                });
    }
    Awaitable<FriendDeleteResult> friend_delete(int friend_id) const {
        return make<FriendDeleteResult>(
            KIV_CALLBACK_FRIEND_DELETE,
            [friend_id](KIVInstance* instance) { return kiv_friend_delete(instance, friend_id); });
    }
    Awaitable<InviteResult> invite(int user_id, std::string world, double x, double y, double z,
                                   float yaw, float pitch) const {
        return make<InviteResult>(KIV_CALLBACK_INVITE, [user_id, world = std::move(world), x, y, z,
                                                        yaw, pitch](KIVInstance* instance) {
            return kiv_invite(instance, user_id, world.c_str(), x, y, z, yaw, pitch);
        });
    }
    Awaitable<JoinResult> join(int user_id) const {
        return make<JoinResult>(KIV_CALLBACK_JOIN, [user_id](KIVInstance* instance) {
            return kiv_join(instance, user_id);
        });
    }

    // ---- world -----------------------------------------------------------
    Awaitable<EnterResult> enter(std::string world) const {
        EnterResult initial;
        initial.world = world;
        return make<EnterResult>(
            KIV_CALLBACK_ENTER,
            [world = std::move(world)](KIVInstance* instance) {
                return kiv_enter(instance, world.c_str());
            },
            std::move(initial));
    }
    // The object requests read the object attributes when awaited.
    Awaitable<ObjectResult> object_add() const {
        return make<ObjectResult>(KIV_CALLBACK_OBJECT_ADD, &kiv_object_add);
    }
    Awaitable<ObjectResult> object_change() const {
        return make<ObjectResult>(KIV_CALLBACK_OBJECT_CHANGE, &kiv_object_change);
    }
    Awaitable<ObjectResult> object_delete(int object_id) const {
        return make<ObjectResult>(KIV_CALLBACK_OBJECT_DELETE, [object_id](KIVInstance* instance) {
            return kiv_object_delete(instance, object_id);
        });
    }
    Awaitable<ObjectResult> object_load() const {
        return make<ObjectResult>(KIV_CALLBACK_OBJECT_LOAD, &kiv_object_load);
    }
    Awaitable<ObjectGetResult> object_get(int object_id) const {
        return make<ObjectGetResult>(KIV_CALLBACK_OBJECT_GET, [object_id](KIVInstance* instance) {
            return kiv_object_get(instance, object_id);
        });
    }
    Awaitable<TerrainResult> terrain_query(int tile_x, int tile_z,
                                           const std::array<int, 16>& revisions) const {
        return make<TerrainResult>(
            KIV_CALLBACK_TERRAIN_QUERY, [tile_x, tile_z, revisions](KIVInstance* instance) {
                return kiv_terrain_query(instance, tile_x, tile_z, revisions.data());
            });
    }
    Awaitable<Completion> terrain_node_set(int tile_x, int tile_z, int node_x, int node_z,
                                           const std::array<KIVTerrainCell, 64>& cells) const {
        return make<Completion>(KIV_CALLBACK_TERRAIN_NODE_SET, [tile_x, tile_z, node_x, node_z,
                                                                cells](KIVInstance* instance) {
            return kiv_terrain_node_set(instance, tile_x, tile_z, node_x, node_z, cells.data());
        });
    }
    Awaitable<Completion> world_permission_user_set(std::string permission, int user_id,
                                                    bool enable) const {
        return make<Completion>(
            KIV_CALLBACK_WORLD_PERMISSION_USER_SET,
            [permission = std::move(permission), user_id, enable](KIVInstance* instance) {
                return kiv_world_permission_user_set(instance, permission.c_str(), user_id,
                                                     enable ? 1 : 0);
            });
    }
    Awaitable<Completion> world_permission_session_set(std::string permission, int session,
                                                       bool enable) const {
        return make<Completion>(
            KIV_CALLBACK_WORLD_PERMISSION_SESSION_SET,
            [permission = std::move(permission), session, enable](KIVInstance* instance) {
                return kiv_world_permission_session_set(instance, permission.c_str(), session,
                                                        enable ? 1 : 0);
            });
    }
    Awaitable<PermissionsResult> world_permissions_get_all() const {
        return make<PermissionsResult>(KIV_CALLBACK_WORLD_PERMISSIONS_GET_ALL,
                                       &kiv_world_permissions_get_all);
    }
    Awaitable<PermissionsResult> world_permissions_get_by_user(int user_id) const {
        return make<PermissionsResult>(
            KIV_CALLBACK_WORLD_PERMISSIONS_GET_BY_USER, [user_id](KIVInstance* instance) {
                return kiv_world_permissions_get_by_user(instance, user_id);
            });
    }
    Awaitable<PermissionsResult> world_permissions_get_my() const {
        return make<PermissionsResult>(KIV_CALLBACK_WORLD_PERMISSIONS_GET_MY,
                                       &kiv_world_permissions_get_my);
    }
    Awaitable<Completion> world_setting_set(std::string setting, std::string value,
                                            int target) const {
        return make<Completion>(
            KIV_CALLBACK_WORLD_SETTING_SET, [setting = std::move(setting), value = std::move(value),
                                             target](KIVInstance* instance) {
                return kiv_world_setting_set(instance, setting.c_str(), value.c_str(), target);
            });
    }

private:
    template <class Result>
    Awaitable<Result> make(int kind, typename Awaitable<Result>::Send send,
                           Result initial = Result()) const {
        return Awaitable<Result>(*client_, kind, std::move(send), std::move(initial));
    }

    Client* client_;
};

inline CoClient Client::co() noexcept { return CoClient(*this); }

template <class T = void>
class Task;

namespace detail {

struct TaskPromiseBase {
    std::coroutine_handle<> continuation;
    std::exception_ptr error;
    bool started = false;

    std::suspend_always initial_suspend() noexcept { return {}; }

    // At its end a Task resumes whoever awaited it.
    struct Finish {
        bool await_ready() const noexcept { return false; }
        template <class Promise>
        std::coroutine_handle<> await_suspend(std::coroutine_handle<Promise> done) noexcept {
            const std::coroutine_handle<> next = done.promise().continuation;
            return next ? next : std::noop_coroutine();
        }
        void await_resume() const noexcept {}
    };
    Finish final_suspend() noexcept { return {}; }

    void unhandled_exception() noexcept { error = std::current_exception(); }
};

template <class T>
struct TaskPromise : TaskPromiseBase {
    std::optional<T> value;

    Task<T> get_return_object() noexcept;
    template <class U = T>
    void return_value(U&& returned) {
        value.emplace(std::forward<U>(returned));
    }
    T outcome() {
        if (error) std::rethrow_exception(error);
        return std::move(*value);
    }
};

template <>
struct TaskPromise<void> : TaskPromiseBase {
    Task<void> get_return_object() noexcept;
    void return_void() noexcept {}
    void outcome() {
        if (error) std::rethrow_exception(error);
    }
};

}  // namespace detail

// A coroutine that starts when started or awaited and keeps its result (or
// what it threw) until asked. Destroying a Task destroys its coroutine,
// also a suspended one. Movable, not copyable.
template <class T>
class [[nodiscard]] Task {
    static_assert(!std::is_reference_v<T>, "kivsdk::Task holds values");

public:
    using promise_type = detail::TaskPromise<T>;

    Task() noexcept = default;
    explicit Task(std::coroutine_handle<promise_type> coroutine) noexcept : coroutine_(coroutine) {}
    Task(Task&& other) noexcept : coroutine_(std::exchange(other.coroutine_, {})) {}
    Task& operator=(Task&& other) noexcept {
        if (this != &other) {
            if (coroutine_) coroutine_.destroy();
            coroutine_ = std::exchange(other.coroutine_, {});
        }
        return *this;
    }
    Task(const Task&) = delete;
    Task& operator=(const Task&) = delete;
    ~Task() {
        if (coroutine_) coroutine_.destroy();
    }

    // Runs the coroutine up to its first wait (once; later calls do nothing).
    void start() {
        if (!coroutine_ || coroutine_.promise().started) return;
        coroutine_.promise().started = true;
        coroutine_.resume();
    }
    // The coroutine has finished.
    bool done() const noexcept { return coroutine_ && coroutine_.done(); }
    // What it returned, or rethrows what it threw; once, after done().
    T result() {
        if (!done()) throw std::logic_error("kivsdk::Task::result before the task is done");
        return coroutine_.promise().outcome();
    }

    // co_await task: starts it if needed, resumes the awaiting coroutine with
    // its result when it ends.
    auto operator co_await() noexcept {
        struct Awaiter {
            std::coroutine_handle<promise_type> task;
            bool await_ready() const noexcept { return !task || task.done(); }
            std::coroutine_handle<> await_suspend(std::coroutine_handle<> awaiting) noexcept {
                task.promise().continuation = awaiting;
                if (task.promise().started) return std::noop_coroutine();
                task.promise().started = true;
                return task;
            }
            T await_resume() {
                if (!task) throw std::logic_error("kivsdk::Task: awaited an empty task");
                return task.promise().outcome();
            }
        };
        return Awaiter{coroutine_};
    }

private:
    std::coroutine_handle<promise_type> coroutine_;
};

namespace detail {
template <class T>
Task<T> TaskPromise<T>::get_return_object() noexcept {
    return Task<T>(std::coroutine_handle<TaskPromise<T>>::from_promise(*this));
}
inline Task<void> TaskPromise<void>::get_return_object() noexcept {
    return Task<void>(std::coroutine_handle<TaskPromise<void>>::from_promise(*this));
}
}  // namespace detail

}  // namespace kivsdk
#endif  // KIVSDK_COROUTINES

#endif /* KIVSDK_HPP */
