// Reconnection on the window-message sockets, driven only by this thread's
// message loop (no kiv_wait): after both servers close, the scheduled
// attempt's timer (armed before its socket connects) fires as a window
// message, and the library logs in and enters the world again. Windows only.
#ifdef _WIN32

#include <gtest/gtest.h>

#include <windows.h>

#include <atomic>
#include <functional>
#include <string>
#include <vector>

#include "kivsdk.h"
#include "reconnect_setup.h"
#include "support/message_loop.h"
#include "support/scripted_servers.h"
#include "support/test_pki.h"
#include "support/tls_test_server.h"

namespace kivsdk::test {
namespace {

struct Record {
    std::vector<int> callbacks;
    std::vector<int> results;
    std::vector<int> events;
    std::vector<int> sides;
};
Record record;

void record_callback(KIVInstance* instance, int result, int) {
    record.callbacks.push_back(kiv_int(instance, KIV_CURRENT_CALLBACK));
    record.results.push_back(result);
}
void record_event(KIVInstance* instance) {
    record.events.push_back(kiv_int(instance, KIV_CURRENT_EVENT));
    record.sides.push_back(kiv_int(instance, KIV_DISCONNECT_SIDE));
}

bool reconnected(int side) {
    for (std::size_t i = 0; i < record.events.size(); ++i) {
        if (record.events[i] == KIV_EVENT_RECONNECTED && record.sides[i] == side) return true;
    }
    return false;
}

// Registers the window class and makes the table; whatever the test's
// outcome, both end with it, so a failure here does not leave the class
// registered for the next test.
class WindowMessageReconnection : public ::testing::Test {
protected:
    void SetUp() override {
        record = Record{};
        ASSERT_EQ(kiv_winsock_async_init(), 0);
        ASSERT_EQ(kiv_winsock_async_create(&table), 0);
        instance = kiv_create(&table);
        ASSERT_NE(instance, nullptr);
    }
    void TearDown() override {
        kiv_destroy(instance);
        kiv_winsock_async_destroy(&table);
        kiv_winsock_async_term();
    }

    KIVNetConfig table{};
    KIVInstance* instance = nullptr;
};

TEST_F(WindowMessageReconnection, BothSidesComeBackThroughTheMessageLoop) {
    for (const int callback :
         {KIV_CALLBACK_CONNECT_UNIVERSE, KIV_CALLBACK_LOGIN, KIV_CALLBACK_ENTER}) {
        ASSERT_EQ(kiv_callback_set(instance, callback, &record_callback), 0);
    }
    for (const int event : {KIV_EVENT_WORLD_DISCONNECT, KIV_EVENT_UNIVERSE_DISCONNECT,
                            KIV_EVENT_RECONNECTING, KIV_EVENT_RECONNECTED, KIV_EVENT_GAVE_UP}) {
        ASSERT_EQ(kiv_event_set(instance, event, &record_event), 0);
    }
    ASSERT_TRUE(trust_test_cas(instance));
    const KIVReconnectPolicy policy = reconnect_policy(1000, 1000);
    ASSERT_EQ(kiv_reconnect_set(instance, &policy), 0);

    // The first connection of each server closes once the test opens the
    // gate; the second stays.
    Gate drop;
    TlsTestServer world;
    world.on_connection([&drop](ServerConnection& c) {
        if (world_opening(c, true).empty()) return;
        c.write_frame({1, 0});
        if (c.index() == 0) {
            c.wait_for(drop);
            return;
        }
        c.wait_for_close();
    });
    TlsTestServer universe;
    universe.on_connection([&world, &drop](ServerConnection& c) {
        if (universe_opening(c) != 0) return;
        answer_login(c, 0, 5, "welcome");
        const Bytes request = c.read_frame();
        if (request.empty() || request[0] != 2) return;
        c.write_frame(world_entry_reply(test_ticket(3), world.port(), true, "localhost"));
        if (c.index() == 0) {
            c.wait_for(drop);
            return;
        }
        c.wait_for_close();
    });

    ASSERT_EQ(kiv_connect_universe(instance, universe.host(), universe.port()), 0);
    ASSERT_TRUE(dispatch_until([] { return record.callbacks.size() == 1; }));
    ASSERT_EQ(record.results.back(), 0) << "connect";
    ASSERT_EQ(kiv_login(instance, "bot", "secret", ""), 0);
    ASSERT_TRUE(dispatch_until([] { return record.callbacks.size() == 2; }));
    ASSERT_EQ(record.results.back(), 0) << "login";
    ASSERT_EQ(kiv_enter(instance, "plaza"), 0);
    ASSERT_TRUE(dispatch_until([] { return record.callbacks.size() == 3; }));
    ASSERT_EQ(record.results.back(), 0)
        << "enter; world detail " << kiv_int(instance, KIV_DISCONNECT_DETAIL);
    ASSERT_EQ(kiv_state(instance, KIV_SIDE_WORLD), KIV_STATE_READY);

    drop.open();
    EXPECT_TRUE(dispatch_until([] { return reconnected(KIV_SIDE_WORLD); }));
    EXPECT_TRUE(reconnected(KIV_SIDE_UNIVERSE));
    EXPECT_EQ(record.callbacks.size(), 3u) << "no callback for the library's own steps";
    for (const int event : record.events) EXPECT_NE(event, KIV_EVENT_GAVE_UP);
    EXPECT_EQ(kiv_state(instance, KIV_SIDE_UNIVERSE), KIV_STATE_LOGGED_IN);
    EXPECT_EQ(kiv_state(instance, KIV_SIDE_WORLD), KIV_STATE_READY);
    EXPECT_EQ(universe.accepted(), 2u);
    EXPECT_EQ(world.accepted(), 2u);
    EXPECT_EQ(kiv_destroy(instance), 0);
    instance = nullptr;
}

}  // namespace
}  // namespace kivsdk::test

#endif  // _WIN32
