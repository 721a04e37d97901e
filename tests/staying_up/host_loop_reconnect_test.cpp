// A bot on the shared loop, driven by a host's own poll() on the loop's
// descriptor and nearest timer (never kiv_wait), rides out a drop of every
// client. Its reconnection arms the timer of a socket that is not connected
// yet, which the loop must serve and kiv_loop_next_ms must tell. Linux only.
#include <gtest/gtest.h>

#include <chrono>
#include <cmath>
#include <cstdint>
#include <functional>
#include <vector>

#include <poll.h>

#include "sandbox_bot.h"
#include "staying_up_e2e.h"

namespace kivsdk::test {
namespace {

struct EpollBot {
    std::vector<int> callbacks;  // callback numbers, in order
    std::vector<int> rcs;
    std::vector<int> events;  // 12, 13, 26, 27, 28
    std::vector<int> sides;   // int 48 at each event
};

EpollBot& bot_of(KIVInstance* instance) { return *static_cast<EpollBot*>(kiv_user_data(instance)); }

void on_callback(KIVInstance* instance, int rc, int) {
    EpollBot& bot = bot_of(instance);
    const int callback = kiv_int(instance, KIV_CURRENT_CALLBACK);
    bot.callbacks.push_back(callback);
    bot.rcs.push_back(rc);
    if (rc != 0) return;
    if (callback == KIV_CALLBACK_CONNECT_UNIVERSE) kiv_login(instance, "epoll", "secret", "");
    if (callback == KIV_CALLBACK_LOGIN) kiv_enter(instance, "lobby");
}

void on_event(KIVInstance* instance) {
    EpollBot& bot = bot_of(instance);
    bot.events.push_back(kiv_int(instance, KIV_CURRENT_EVENT));
    bot.sides.push_back(kiv_int(instance, KIV_DISCONNECT_SIDE));
}

class HostLoopReconnection : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_NE(loop, nullptr);
        ASSERT_EQ(kiv_loop_table(loop, &table), 0);
        instance = kiv_create(&table);
        ASSERT_NE(instance, nullptr);
        kiv_user_data_set(instance, &bot);
        for (const int callback :
             {KIV_CALLBACK_CONNECT_UNIVERSE, KIV_CALLBACK_LOGIN, KIV_CALLBACK_ENTER}) {
            kiv_callback_set(instance, callback, &on_callback);
        }
        for (const int event : {KIV_EVENT_WORLD_DISCONNECT, KIV_EVENT_UNIVERSE_DISCONNECT,
                                KIV_EVENT_RECONNECTING, KIV_EVENT_RECONNECTED, KIV_EVENT_GAVE_UP}) {
            kiv_event_set(instance, event, &on_event);
        }
        ASSERT_TRUE(trust_test_cas(instance));
        const KIVReconnectPolicy p = reconnect_policy(1000, 1000);
        ASSERT_EQ(kiv_reconnect_set(instance, &p), 0);
        ASSERT_EQ(kiv_connect_universe(instance, "127.0.0.1", sandbox.universe_port()), 0);
        ASSERT_TRUE(run_until([&] { return bot.callbacks.size() == 3; }));
        ASSERT_EQ(bot.rcs, (std::vector<int>{0, 0, 0}));
    }
    void TearDown() override {
        kiv_destroy(instance);
        EXPECT_EQ(kiv_loop_destroy(loop), 0);
    }

    // Runs the host's loop (never kiv_wait) until `done`, for at most 15 s:
    // bounded by time, not passes, so that a loop that spins still gets
    // there. A wakeup with nothing ready counts as idle.
    bool run_until(const std::function<bool()>& done) {
        const auto limit = std::chrono::steady_clock::now() + std::chrono::seconds(15);
        while (!done() && std::chrono::steady_clock::now() < limit) {
            const int next = kiv_loop_next_ms(loop);
            pollfd watched{kiv_loop_fd(loop), POLLIN, 0};
            if (::poll(&watched, 1, next < 0 || next > 100 ? 100 : next) == 0) ++idle_wakeups;
            kiv_loop_wait(loop, 0);
        }
        return done();
    }
    bool world_back() const {
        for (std::size_t i = 0; i < bot.events.size(); ++i) {
            if (bot.events[i] == KIV_EVENT_RECONNECTED && bot.sides[i] == KIV_SIDE_WORLD) {
                return true;
            }
        }
        return false;
    }
    // Drops every client and runs the loop until the world is back; the
    // seconds that took.
    double drop_all_and_come_back() {
        EXPECT_EQ(control.command("drop all").rfind("ok", 0), 0u);
        const auto start = std::chrono::steady_clock::now();
        EXPECT_TRUE(run_until([&] { return world_back(); }));
        return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    }

    RunningSandbox sandbox{options_with_control()};
    ControlClient control{sandbox.server().control_port()};
    KIVLoop* loop = kiv_loop_create();
    KIVNetConfig table{};
    std::uint64_t idle_wakeups = 0;
    KIVInstance* instance = nullptr;
    EpollBot bot;
};

TEST_F(HostLoopReconnection, ABotOnTheHostsOwnLoopComesBackAfterADrop) {
    drop_all_and_come_back();
    ASSERT_TRUE(world_back());
    EXPECT_EQ(bot.callbacks.size(), 3u) << "no callback for the library's own steps";
    std::vector<int> reconnected_sides;
    for (std::size_t i = 0; i < bot.events.size(); ++i) {
        EXPECT_NE(bot.events[i], KIV_EVENT_GAVE_UP);
        if (bot.events[i] == KIV_EVENT_RECONNECTED) reconnected_sides.push_back(bot.sides[i]);
    }
    EXPECT_EQ(reconnected_sides, (std::vector<int>{KIV_SIDE_UNIVERSE, KIV_SIDE_WORLD}));
    EXPECT_EQ(kiv_state(instance, KIV_SIDE_UNIVERSE), KIV_STATE_LOGGED_IN);
    EXPECT_EQ(kiv_state(instance, KIV_SIDE_WORLD), KIV_STATE_READY);
    EXPECT_EQ(kiv_say(instance, "back through the host's loop"), 0);
}

TEST_F(HostLoopReconnection, WaitingForTheAttemptDoesNotSpin) {
    const std::uint64_t idle = idle_wakeups;
    const double seconds = drop_all_and_come_back();
    EXPECT_LE(idle_wakeups - idle, static_cast<std::uint64_t>(std::ceil(12 * seconds)) + 1)
        << "the loop blocks while waiting for the attempt";
}

}  // namespace
}  // namespace kivsdk::test
