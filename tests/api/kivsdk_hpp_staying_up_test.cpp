// kivsdk.hpp's staying-up layer: the names of sides, states and details, the
// reconnection policy as the library receives it, the setters' argument
// checks, a side's state and the disconnection snapshot through a scripted
// connection, the thread check, trust anchors and the version.
#include "kivsdk.hpp"

#include <gtest/gtest.h>

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <limits>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <utility>
#include <vector>

namespace {

using kivsdk::Client;
using kivsdk::Detail;
using kivsdk::ReconnectPolicy;
using kivsdk::ReturnCode;
using kivsdk::Side;
using kivsdk::State;

// A socket table that posts queued notifications from its wait operation
// and, while `hold` is set, parks the waiting thread until released.
struct ScriptedNet {
    std::vector<void*> connections;
    std::deque<std::pair<int, int>> queued;  // (kind, status) for the newest socket
    std::mutex mutex;
    std::condition_variable changed;
    bool hold = false;
    bool inside = false;

    KIVNetConfig table() {
        KIVNetConfig config{};
        config.create = [](void* connection, void* context) -> void* {
            auto* net = static_cast<ScriptedNet*>(context);
            net->connections.push_back(connection);
            return reinterpret_cast<void*>(static_cast<std::uintptr_t>(net->connections.size()));
        };
        config.destroy = [](void*) -> int { return 0; };
        config.connect = [](void*, const char*, int) -> int { return 0; };
        config.send = [](void*, const char*, int length) -> int { return length; };
        config.recv = [](void*, char*, int) -> int { return -2; };
        config.timeout = [](void*, int) -> int { return 0; };
        config.wait = [](void* context, int) -> int {
            auto* net = static_cast<ScriptedNet*>(context);
            {
                std::unique_lock<std::mutex> lock(net->mutex);
                net->inside = true;
                net->changed.notify_all();
                net->changed.wait(lock, [net] { return !net->hold; });
                net->inside = false;
            }
            while (!net->queued.empty() && !net->connections.empty()) {
                const auto [kind, status] = net->queued.front();
                net->queued.pop_front();
                kiv_net_notify(net->connections.back(), kind, status);
            }
            return 0;
        };
        config.context = this;
        return config;
    }
};

class StayingUpTest : public ::testing::Test {
protected:
    ScriptedNet net;
    KIVNetConfig table = net.table();
    Client client{table};

    // Connect returns at once with its callback set.
    void connect() {
        client.on(KIV_CALLBACK_CONNECT_UNIVERSE, [](Client&, ReturnCode, int) {});
        ASSERT_EQ(client.connect_universe("127.0.0.1", 1), ReturnCode::success);
    }
};

template <class Enum>
void expect_distinct_names(int count, std::string_view prefix) {
    std::set<std::string_view> names;
    for (int value = 0; value < count; ++value) {
        const std::string_view name = kivsdk::to_string(static_cast<Enum>(value));
        EXPECT_EQ(name.substr(0, prefix.size()), prefix) << value << " -> " << name;
        names.insert(name);
    }
    EXPECT_EQ(names.size(), static_cast<std::size_t>(count));
    EXPECT_EQ(kivsdk::to_string(static_cast<Enum>(count)), "unknown");
    EXPECT_EQ(kivsdk::to_string(static_cast<Enum>(-1)), "unknown");
}

TEST(StayingUpNames, EverySideStateAndDetailHasItsConstantsName) {
    expect_distinct_names<Side>(2, "KIV_SIDE_");
    expect_distinct_names<State>(11, "KIV_STATE_");
    expect_distinct_names<Detail>(16, "KIV_DETAIL_");
    EXPECT_EQ(kivsdk::to_string(State::gave_up), "KIV_STATE_GAVE_UP");
    EXPECT_EQ(kivsdk::to_string(Detail::enter_refused), "KIV_DETAIL_ENTER_REFUSED");
    EXPECT_EQ(kivsdk::to_string(ReturnCode::wrong_thread), "KIV_RC_WRONG_THREAD");
    EXPECT_EQ(kivsdk::to_string(ReturnCode::queue_full), "KIV_RC_QUEUE_FULL");
}

TEST(ReconnectPolicyTest, DefaultsAndOffBecomeTheCStructure) {
    const KIVReconnectPolicy on = ReconnectPolicy().to_c();
    EXPECT_EQ(on.size, static_cast<int>(sizeof(KIVReconnectPolicy)));
    EXPECT_EQ(on.enabled, 1);
    EXPECT_EQ(on.first_delay_ms, 1000);
    EXPECT_EQ(on.max_delay_ms, 30000);
    EXPECT_EQ(on.max_attempts, 0);
    EXPECT_EQ(on.jitter, 1);
    EXPECT_EQ(ReconnectPolicy::off().to_c().enabled, 0);

    ReconnectPolicy huge;
    huge.first_delay = std::chrono::hours(24 * 365);
    huge.max_delay = huge.first_delay;
    EXPECT_EQ(huge.to_c().first_delay_ms, std::numeric_limits<int>::max());
}

TEST_F(StayingUpTest, StateAndDisconnectionFollowAConnectionThatFailsOrIsLost) {
    EXPECT_EQ(client.state(Side::universe), State::none);
    EXPECT_EQ(client.state(Side::world), State::none);
    try {
        client.state(static_cast<Side>(2));
        FAIL() << "an unknown side was accepted";
    } catch (const kivsdk::Error& error) {
        EXPECT_EQ(error.code(), ReturnCode::invalid_argument);
    }

    connect();
    EXPECT_EQ(client.state(Side::universe), State::connecting);
    net.queued = {{KIV_NET_CONNECT_RESULT, -1}};
    EXPECT_EQ(client.wait(0), ReturnCode::success);
    EXPECT_EQ(client.state(Side::universe), State::failed);
    kivsdk::Disconnection failed = client.disconnection();
    EXPECT_EQ(failed.side, Side::universe);
    EXPECT_EQ(failed.detail, Detail::connect_failed);
    EXPECT_EQ(failed.text, "connect failed");

    // Lost after it was made: the disconnect handler reads the snapshot.
    kivsdk::Disconnection seen;
    client.on(KIV_EVENT_UNIVERSE_DISCONNECT, [&seen](Client& c) { seen = c.disconnection(); });
    connect();
    net.queued = {{KIV_NET_CONNECT_RESULT, 0}, {KIV_NET_DISCONNECTED, 0}};
    EXPECT_EQ(client.wait(0), ReturnCode::success);
    EXPECT_EQ(client.state(Side::universe), State::lost);
    EXPECT_EQ(seen.side, Side::universe);
    EXPECT_EQ(seen.detail, Detail::closed_by_peer);
    EXPECT_EQ(seen.text, "closed by the server");
    // Never logged in: reconnection does not apply, so no attempt is counted.
    EXPECT_EQ(seen.attempt, 0);
    EXPECT_EQ(client.world_list(0), ReturnCode::connection_error);
}

constexpr std::string_view kAnchor =
    "-----BEGIN CERTIFICATE-----\n"
    "MIIBnDCCAUGgAwIBAgIUPL+u2C5VkglFLSYJBX04d3+tGaswCgYIKoZIzj0EAwIw\n"
    "IzEhMB8GA1UEAwwYS0lWU0RLIHRlc3QgdHJ1c3QgYW5jaG9yMB4XDTI2MTIwOTE3\n"
    "MTcyMVoXDTM2MTIwNjE3MTcyMVowIzEhMB8GA1UEAwwYS0lWU0RLIHRlc3QgdHJ1\n"
    "c3QgYW5jaG9yMFkwEwYHKoZIzj0CAQYIKoZIzj0DAQcDQgAEy2wgv+tygiSpqz3B\n"
    "vJoqq2u9uVvsdzkQAsqJRSQb0hZahJv7bDK5Uc8+mszOIIJtRSVzDwJt4qE8fS+9\n"
    "jr3Uq6NTMFEwHQYDVR0OBBYEFJiLUP4qhh9FwHPCf6LEE3sDxyCHMB8GA1UdIwQY\n"
    "MBaAFJiLUP4qhh9FwHPCf6LEE3sDxyCHMA8GA1UdEwEB/wQFMAMBAf8wCgYIKoZI\n"
    "zj0EAwIDSQAwRgIhAI4L+27TjskA7T9gTNpoeISlxwnYehKDUm3syyi+E8B1AiEA\n"
    "oRlejWwDpjqsWrlP9B1ScCuDMp9K2wNWeFCRNEY1Xv0=\n"
    "-----END CERTIFICATE-----\n";

}  // namespace
