// Exported functions of staying up: liveness, limits, reconnection, the
// queue limit, a side's state, per-Instance trust and the version.
#include <algorithm>
#include <cstring>
#include <string>

#include "api/boundary.h"
#include "api/capture.h"
#include "api/session.h"
#include "api/staying_up.h"
#include "connection/client_tls_config.h"
#include "connection/connection.h"

using kivsdk::Instance;
using kivsdk::Side;

namespace {

bool side_of(int number, Side& side) noexcept {
    if (number == KIV_SIDE_UNIVERSE) {
        side = Side::kUniverse;
    } else if (number == KIV_SIDE_WORLD) {
        side = Side::kWorld;
    } else {
        return false;
    }
    return true;
}

}  // namespace

extern "C" {

KIVSDK_API int kiv_version(void) { return KIVSDK_VERSION_NUMBER; }

KIVSDK_API int kiv_log_set(KIVInstance* handle, int level, KIVLogHandler handler) {
    if (level < KIV_LOG_OFF || level > KIV_LOG_DEBUG) return KIV_RC_INVALID_ARGUMENT;
    const auto route_to = [&](kivsdk::LogRoute& route) {
        route.handler.store(handler, std::memory_order_release);
        route.level.store(level, std::memory_order_release);
    };
    if (handle == nullptr) {
        route_to(kivsdk::global_log_route());
        return KIV_RC_SUCCESS;
    }
    return kivsdk::with_instance(handle, static_cast<int>(KIV_RC_INVALID_ARGUMENT),
                                 static_cast<int>(KIV_RC_WRONG_THREAD),
                                 [&](Instance& instance) -> int {
                                     route_to(instance.log_route);
                                     return KIV_RC_SUCCESS;
                                 });
}

KIVSDK_API int kiv_stats(KIVInstance* handle, KIVStats* stats, int size) {
    return kivsdk::with_instance(
        handle, static_cast<int>(KIV_RC_INVALID_ARGUMENT), static_cast<int>(KIV_RC_WRONG_THREAD),
        [&](Instance& instance) -> int {
            if (stats == nullptr || size < static_cast<int>(sizeof(int))) {
                return KIV_RC_INVALID_ARGUMENT;
            }
            KIVStats all{};
            all.universe = instance.universe.stats();
            all.world = instance.world.stats();
            const std::size_t copied = std::min(static_cast<std::size_t>(size), sizeof(KIVStats));
            all.size = static_cast<int>(copied);
            std::memcpy(stats, &all, copied);
            return KIV_RC_SUCCESS;
        });
}

KIVSDK_API int kiv_capture_start(KIVInstance* handle, const char* path, long long max_bytes) {
    return kivsdk::run_request(handle, [&](Instance& instance) -> int {
        if (path == nullptr || *path == '\0' || max_bytes < 0) return KIV_RC_INVALID_ARGUMENT;
        // A capture already running ends first: its file is complete.
        instance.capture.reset();
        auto capture = kivsdk::Capture::open(
            path, max_bytes == 0 ? kivsdk::Capture::kDefaultLimit : max_bytes);
        if (!capture) return KIV_RC_CONNECTION_ERROR;
        instance.capture = std::move(capture);
        for (const Side side : {Side::kUniverse, Side::kWorld}) {
            kivsdk::SideState& state = instance.side(side);
            if (state.connection) {
                kivsdk::Capture::tap(*state.connection, instance.capture.get(), side);
            }
        }
        return KIV_RC_SUCCESS;
    });
}

KIVSDK_API int kiv_capture_stop(KIVInstance* handle) {
    return kivsdk::run_request(handle, [&](Instance& instance) -> int {
        for (const Side side : {Side::kUniverse, Side::kWorld}) {
            kivsdk::SideState& state = instance.side(side);
            if (state.connection) kivsdk::Capture::tap(*state.connection, nullptr, side);
        }
        instance.capture.reset();
        return KIV_RC_SUCCESS;
    });
}

KIVSDK_API int kiv_liveness_set(KIVInstance* handle, int seconds) {
    return kivsdk::run_request(handle, [&](Instance& instance) -> int {
        if (seconds < 0 && seconds != KIV_LIVENESS_DEFAULT) return KIV_RC_INVALID_ARGUMENT;
        instance.liveness_seconds = seconds == KIV_LIVENESS_DEFAULT
                                        ? KIV_LIVENESS_DEFAULT_SECONDS
                                        : static_cast<std::int64_t>(seconds);
        for (kivsdk::SideState* state : {&instance.universe, &instance.world}) {
            if (state->connection) state->connection->set_liveness(instance.liveness_seconds);
        }
        return KIV_RC_SUCCESS;
    });
}

KIVSDK_API int kiv_limits_set(KIVInstance* handle, int connect_seconds, int login_seconds,
                              int enter_seconds) {
    return kivsdk::run_request(handle, [&](Instance& instance) -> int {
        if (connect_seconds < 0 || login_seconds < 0 || enter_seconds < 0) {
            return KIV_RC_INVALID_ARGUMENT;
        }
        instance.connect_limit = connect_seconds;
        instance.login_limit = login_seconds;
        instance.enter_limit = enter_seconds;
        return KIV_RC_SUCCESS;
    });
}

KIVSDK_API int kiv_reconnect_set(KIVInstance* handle, const KIVReconnectPolicy* policy) {
    return kivsdk::run_request(handle, [&](Instance& instance) -> int {
        if (policy == nullptr || !kivsdk::valid_policy(*policy)) return KIV_RC_INVALID_ARGUMENT;
        instance.reconnect_policy = *policy;
        instance.reconnect_policy.size = static_cast<int>(sizeof(KIVReconnectPolicy));
        if (policy->enabled == 0) {
            // Turning it off stops what is scheduled; the side stays lost.
            for (const Side side : {Side::kUniverse, Side::kWorld}) {
                kivsdk::SideState& state = instance.side(side);
                if (!state.reconnecting) continue;
                kivsdk::cancel_reconnection(instance, side);
                state.state = KIV_STATE_LOST;
                instance.drop(side);
            }
        }
        return KIV_RC_SUCCESS;
    });
}

KIVSDK_API int kiv_queue_limit_set(KIVInstance* handle, int bytes) {
    return kivsdk::run_request(handle, [&](Instance& instance) -> int {
        constexpr int kLargestFrame = 65537;
        if (bytes != 0 && bytes < kLargestFrame) return KIV_RC_INVALID_ARGUMENT;
        instance.queue_limit =
            bytes == 0 ? KIV_QUEUE_LIMIT_DEFAULT : static_cast<std::size_t>(bytes);
        return KIV_RC_SUCCESS;
    });
}

KIVSDK_API int kiv_state(KIVInstance* handle, int side) {
    return kivsdk::with_instance(handle, static_cast<int>(KIV_RC_INVALID_ARGUMENT),
                                 static_cast<int>(KIV_RC_WRONG_THREAD),
                                 [&](Instance& instance) -> int {
                                     Side which = Side::kUniverse;
                                     if (!side_of(side, which)) return KIV_RC_INVALID_ARGUMENT;
                                     return instance.side(which).state;
                                 });
}

KIVSDK_API int kiv_trust_set(KIVInstance* handle, int side, const char* pem, int length) {
    return kivsdk::run_request(handle, [&](Instance& instance) -> int {
        Side which = Side::kUniverse;
        if (!side_of(side, which) || pem == nullptr || length < 1) {
            return KIV_RC_INVALID_ARGUMENT;
        }
        // Mbed TLS reads PEM up to a terminating zero, counted in the length.
        std::string text(pem, static_cast<std::size_t>(length));
        if (text.back() != '\0') text.push_back('\0');
        auto config =
            std::make_shared<kivsdk::ClientTlsConfig>(std::move(text), instance.log_source());
        if (!config->load_trust()) return KIV_RC_INVALID_ARGUMENT;
        // Later connections of the side use it; a Connection already using
        // the old configuration keeps that one.
        instance.side(which).tls = std::move(config);
        return KIV_RC_SUCCESS;
    });
}

}  // extern "C"
