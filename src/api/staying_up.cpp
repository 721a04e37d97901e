#include "api/staying_up.h"

#include <mbedtls/x509.h>

#include <algorithm>

#include "api/request_flow.h"
#include "base/clock.h"
#include "connection/connection.h"
#include "net/bsd_socket.h"
#include "net/platform.h"

namespace kivsdk {
namespace {

constexpr std::int64_t kDefaultConnectLimit = 15;
constexpr std::int64_t kDefaultLoginLimit = 10;
constexpr std::int64_t kDefaultEnterLimit = 20;
// A side up this long starts its next reconnection from the first delay.
constexpr std::int64_t kStableSeconds = 60;

int side_number(Side side) noexcept {
    return side == Side::kUniverse ? KIV_SIDE_UNIVERSE : KIV_SIDE_WORLD;
}

void set_attempt_attributes(Instance& instance, Side side, int detail, int attempt, int delay_ms,
                            const Connection* connection = nullptr) {
    instance.set_int(KIV_DISCONNECT_DETAIL, detail);
    instance.set_int(KIV_RECONNECT_ATTEMPT, attempt);
    instance.set_int(KIV_RECONNECT_DELAY, delay_ms);
    instance.set_int(KIV_DISCONNECT_SIDE, side_number(side));
    instance.set_string(KIV_DISCONNECT_TEXT, failure_text(detail, connection).c_str());
}

std::string certificate_fault(std::uint32_t flags) {
    struct Fault {
        std::uint32_t flag;
        const char* text;
    };
    static constexpr Fault kFaults[] = {
        {MBEDTLS_X509_BADCERT_EXPIRED, "expired"},
        {MBEDTLS_X509_BADCERT_FUTURE, "not yet valid"},
        {MBEDTLS_X509_BADCERT_CN_MISMATCH, "name mismatch"},
        {MBEDTLS_X509_BADCERT_NOT_TRUSTED, "not trusted"},
        {MBEDTLS_X509_BADCERT_REVOKED, "revoked"},
    };
    std::string text;
    for (const Fault& fault : kFaults) {
        if ((flags & fault.flag) == 0) continue;
        if (!text.empty()) text += ", ";
        text += fault.text;
    }
    return text.empty() ? std::string("verification failed") : text;
}

}  // namespace

std::int64_t limit_seconds(const Instance& instance, std::int32_t response_type, bool blocking) {
    int setting = 0;
    std::int64_t fallback = kDefaultEnterLimit;
    if (response_type == Response::kUniverseConnect) {
        setting = instance.connect_limit;
        fallback = kDefaultConnectLimit;
    } else if (response_type == Response::kLogin) {
        setting = instance.login_limit;
        fallback = kDefaultLoginLimit;
    } else {
        setting = instance.enter_limit;
    }
    if (setting > 0) return setting;
    return blocking || instance.liveness_seconds > 0 ? fallback : -1;
}

void arm_side_alarm(Instance& instance, Side side) {
    SideState& state = instance.side(side);
    if (!state.connection) return;
    std::int64_t nearest = state.wake_at;
    for (const AwaitedAnswer& answer : state.awaited) {
        if (answer.deadline >= 0 && (nearest < 0 || answer.deadline < nearest)) {
            nearest = answer.deadline;
        }
    }
    state.connection->set_alarm(nearest);
}

ExpiredSteps expire_awaited(Instance& instance, Side side) {
    SideState& state = instance.side(side);
    const std::int64_t now = now_seconds();
    ExpiredSteps expired;
    for (;;) {
        auto it = std::find_if(state.awaited.begin(), state.awaited.end(),
                               [&](const AwaitedAnswer& answer) {
                                   return answer.deadline >= 0 && answer.deadline <= now;
                               });
        if (it == state.awaited.end()) break;
        const AwaitedAnswer answer = *it;
        state.awaited.erase(it);
        if (answer.callback == kInternalStep) {
            (answer.response_type == Response::kWorldEnter ? expired.world : expired.universe) =
                true;
            continue;
        }
        // The request ends now; its answer, should it still come, is dropped.
        instance.timed_out.push_back(answer.response_type);
        instance.fire_callback(answer.callback, KIV_RC_TIMEOUT, 0);
        if (instance.discarded()) return ExpiredSteps{};
    }
    arm_side_alarm(instance, side);
    return expired;
}

int failure_detail(const Instance& instance, const Connection& connection, int status) {
    if (connection.failure().detail != KIV_DETAIL_NONE) return connection.failure().detail;
    if (!connection.connected() && connection.connect_reported() && status != 0) {
        if (instance.owns_default_sockets() && connection.socket() != nullptr) {
            return static_cast<const BSDSocket*>(connection.socket())->failure_detail();
        }
        return status > 0 ? net::failure_detail(status) : KIV_DETAIL_CONNECT_FAILED;
    }
    return status == KIV_RC_CONNECTION_ERROR ? KIV_DETAIL_RESET : KIV_DETAIL_CLOSED_BY_PEER;
}

std::string failure_text(int detail, const Connection* connection) {
    switch (detail) {
        case KIV_DETAIL_NONE: return std::string();
        case KIV_DETAIL_REFUSED: return "refused";
        case KIV_DETAIL_UNREACHABLE: return "unreachable";
        case KIV_DETAIL_HOST_NOT_FOUND: return "host not found";
        case KIV_DETAIL_RESET: return "connection reset";
        case KIV_DETAIL_CLOSED_BY_PEER: return "closed by the server";
        case KIV_DETAIL_SILENT: return "silent: nothing received for the liveness limit";
        case KIV_DETAIL_STALLED: return "stalled: no progress for the liveness limit";
        case KIV_DETAIL_CERTIFICATE:
            return "certificate rejected: " +
                   certificate_fault(connection != nullptr ? connection->failure().verify_flags
                                                           : 0);
        case KIV_DETAIL_HANDSHAKE: return "TLS handshake failed";
        case KIV_DETAIL_CHANNEL_REFUSED: return "the server refused the secure channel";
        case KIV_DETAIL_QUEUE_FULL: return "output queue full";
        case KIV_DETAIL_CONNECT_FAILED: return "connect failed";
        case KIV_DETAIL_TIMED_OUT: return "timed out";
        case KIV_DETAIL_LOGIN_REFUSED: return "login refused";
        case KIV_DETAIL_ENTER_REFUSED: return "enter refused";
        default: return "unknown";
    }
}

void note_failure(Instance& instance, Side side, int detail, const Connection* connection) {
    instance.side(side).last_detail = detail;
    instance.set_int(KIV_DISCONNECT_DETAIL, detail);
    instance.set_int(KIV_DISCONNECT_SIDE, side_number(side));
    instance.set_string(KIV_DISCONNECT_TEXT, failure_text(detail, connection).c_str());
}

bool reconnection_applies(const Instance& instance) noexcept {
    return instance.reconnect_policy.enabled != 0 && instance.logged_in_once;
}

int backoff_milliseconds(Instance& instance, int attempt) {
    const KIVReconnectPolicy& policy = instance.reconnect_policy;
    std::int64_t delay = policy.first_delay_ms;
    for (int step = 1; step < attempt && delay < policy.max_delay_ms; ++step) delay *= 2;
    delay = std::min<std::int64_t>(delay, policy.max_delay_ms);
    if (policy.jitter != 0) {
        // xorshift32: enough for spreading bots apart, no secrets involved.
        std::uint32_t x = instance.random_state != 0 ? instance.random_state : 0x9E3779B9u;
        x ^= x << 13;
        x ^= x >> 17;
        x ^= x << 5;
        instance.random_state = x;
        delay = static_cast<std::int64_t>(x % static_cast<std::uint32_t>(delay + 1));
    }
    return static_cast<int>(delay);
}

std::int64_t next_attempt(Instance& instance, Side side, int detail) {
    SideState& state = instance.side(side);
    const std::int64_t now = now_seconds();
    if (state.ready_since >= 0 && now - state.ready_since >= kStableSeconds) state.attempt = 0;
    state.ready_since = -1;
    ++state.attempt;
    const KIVReconnectPolicy& policy = instance.reconnect_policy;
    if (policy.max_attempts > 0 && state.attempt > policy.max_attempts) {
        give_up(instance, side, detail);
        return -1;
    }
    const int delay_ms = backoff_milliseconds(instance, state.attempt);
    const std::int64_t seconds = (delay_ms + 999) / 1000;  // timers count whole seconds
    state.reconnecting = true;
    state.state = KIV_STATE_RECONNECTING;
    state.wake_at = now + seconds;
    state.last_detail = detail;
    set_attempt_attributes(instance, side, detail, state.attempt, delay_ms);
    report(instance.log_source(), DiagnosticLevel::kInfo, category_of(side),
           "reconnecting the %s: attempt %d in %d ms (%s)\n", side_name(side), state.attempt,
           delay_ms, failure_text(detail, nullptr).c_str());
    instance.fire_event(KIV_EVENT_RECONNECTING);
    return seconds;
}

void give_up(Instance& instance, Side side, int detail) {
    SideState& state = instance.side(side);
    // The attempt that failed last: past the policy's count, the last one.
    const int max_attempts = instance.reconnect_policy.max_attempts;
    const int attempts = max_attempts > 0 ? std::min(state.attempt, max_attempts) : state.attempt;
    // The failing Connection, for the certificate's fault in the text.
    const Connection* failing = state.connection.get();
    cancel_reconnection(instance, side);
    state.state = KIV_STATE_GAVE_UP;
    set_attempt_attributes(instance, side, detail, attempts, 0, failing);
    report(instance.log_source(), DiagnosticLevel::kInfo, category_of(side),
           "gave up reconnecting the %s after %d attempt(s) (%s)\n", side_name(side), attempts,
           failure_text(detail, failing).c_str());
    instance.fire_event(KIV_EVENT_GAVE_UP);
}

void reconnected(Instance& instance, Side side) {
    SideState& state = instance.side(side);
    const int attempt = state.attempt;
    state.reconnecting = false;
    state.wake_at = -1;
    state.ready_since = now_seconds();
    state.state = side == Side::kUniverse ? KIV_STATE_LOGGED_IN : KIV_STATE_READY;
    ++state.totals.reconnections;
    set_attempt_attributes(instance, side, KIV_DETAIL_NONE, attempt, 0);
    report(instance.log_source(), DiagnosticLevel::kInfo, category_of(side),
           "the %s is back after %d attempt(s)\n", side_name(side), attempt);
    instance.fire_event(KIV_EVENT_RECONNECTED);
}

void cancel_reconnection(Instance& instance, Side side) noexcept {
    SideState& state = instance.side(side);
    state.reconnecting = false;
    state.wake_at = -1;
    state.attempt = 0;
    // The side's own steps go too; a world's entry request waits on the
    // universe.
    const auto belongs = [side](const AwaitedAnswer& answer) {
        const bool world_step = answer.response_type == Response::kWorldEnter;
        return answer.callback == kInternalStep && world_step == (side == Side::kWorld);
    };
    for (SideState* each : {&instance.universe, &instance.world}) {
        each->awaited.erase(std::remove_if(each->awaited.begin(), each->awaited.end(), belongs),
                            each->awaited.end());
    }
}

bool valid_policy(const KIVReconnectPolicy& policy) noexcept {
    if (policy.size < static_cast<int>(sizeof(KIVReconnectPolicy))) return false;
    if (policy.enabled == 0) return true;
    return policy.first_delay_ms > 0 && policy.max_delay_ms >= policy.first_delay_ms &&
           policy.max_attempts >= 0;
}

}  // namespace kivsdk
