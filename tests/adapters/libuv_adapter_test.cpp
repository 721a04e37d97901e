// The socket core through the libuv adapter, on the edges the bot examples
// do not reach: a refused connect reported once, timers armed before any
// connect (a reconnection's backoff), and an Instance destroyed from inside
// its own callback while the loop runs; afterwards the loop holds nothing.
#include <gtest/gtest.h>

#include <algorithm>
#include <vector>

#include "kivsdk/adapters/libuv.hpp"
#include "support/scripted_servers.h"
#include "support/test_socket.h"

namespace kivsdk::test {
namespace {

struct Seen {
    std::vector<int> callbacks, rcs, events;
    bool destroy_on_login = false;
};

Seen& seen_of(KIVInstance* instance) { return *static_cast<Seen*>(kiv_user_data(instance)); }

void on_callback(KIVInstance* instance, int rc, int) {
    Seen& seen = seen_of(instance);
    seen.callbacks.push_back(kiv_int(instance, KIV_CURRENT_CALLBACK));
    seen.rcs.push_back(rc);
    if (kiv_int(instance, KIV_CURRENT_CALLBACK) == KIV_CALLBACK_CONNECT_UNIVERSE && rc == 0) {
        kiv_login(instance, "uv", "secret", "");
    } else if (seen.destroy_on_login) {
        kiv_destroy(instance);  // from inside the socket's own notification
    }
}

void on_event(KIVInstance* instance) {
    seen_of(instance).events.push_back(kiv_int(instance, KIV_CURRENT_EVENT));
}

class LibuvAdapter : public ::testing::Test {
protected:
    void SetUp() override {
        if (!kLibraryTrustsSandbox) GTEST_SKIP() << "the library trusts the deployment's CAs";
        ASSERT_EQ(uv_loop_init(&uv), 0);
    }
    void TearDown() override {
        // Nothing of the adapter's may be left on the loop.
        for (int i = 0; i < 100 && uv_run(&uv, UV_RUN_NOWAIT) != 0; ++i) {
        }
        EXPECT_EQ(uv_loop_alive(&uv), 0) << "handles left on the loop";
        EXPECT_EQ(uv_loop_close(&uv), 0);
    }
    KIVInstance* make(Seen& seen) {
        KIVInstance* instance = kiv_create(&table);
        kiv_user_data_set(instance, &seen);
        kiv_callback_set(instance, KIV_CALLBACK_CONNECT_UNIVERSE, on_callback);
        kiv_callback_set(instance, KIV_CALLBACK_LOGIN, on_callback);
        for (const int event : {KIV_EVENT_UNIVERSE_DISCONNECT, KIV_EVENT_RECONNECTING,
                                KIV_EVENT_RECONNECTED, KIV_EVENT_GAVE_UP}) {
            kiv_event_set(instance, event, on_event);
        }
        return instance;
    }
    // Runs the loop until `done`, a bounded number of iterations.
    template <class Done>
    bool run_until(Done done) {
        for (int i = 0; i < 2000 && !done(); ++i) uv_run(&uv, UV_RUN_ONCE);
        return done();
    }

    uv_loop_t uv{};
    adapters::UvAdapter adapter{&uv};
    KIVNetConfig table = adapter.table();
};

TEST_F(LibuvAdapter, ARefusedConnectIsReportedOnceAndAReconnectionWaitsOnItsTimer) {
    // A port that was just free: nothing listens there.
    int closed_port = 0;
    {
        TlsTestServer gone;
        closed_port = gone.port();
    }
    Seen seen;
    KIVInstance* bot = make(seen);
    ASSERT_EQ(kiv_connect_universe(bot, "127.0.0.1", closed_port), 0);
    ASSERT_TRUE(run_until([&] { return !seen.callbacks.empty(); }));
    EXPECT_EQ(seen.callbacks, (std::vector<int>{KIV_CALLBACK_CONNECT_UNIVERSE}));
    EXPECT_NE(seen.rcs.front(), 0);
    EXPECT_EQ(kiv_int(bot, KIV_DISCONNECT_DETAIL), KIV_DETAIL_REFUSED);
    kiv_destroy(bot);

    // A logged-in bot whose server goes: its reconnection's first attempt
    // waits on the timer of a socket that never connected.
    TlsTestServer server;
    server.on_connection([](ServerConnection& c) {
        if (universe_opening(c) != 0) return;
        answer_login(c);
        c.close();
    });
    Seen back;
    bot = make(back);
    const KIVReconnectPolicy policy = {sizeof(KIVReconnectPolicy), 1, 1000, 1000, 2, 0};
    ASSERT_EQ(kiv_reconnect_set(bot, &policy), 0);
    ASSERT_EQ(kiv_connect_universe(bot, server.host(), server.port()), 0);
    ASSERT_TRUE(run_until([&] {
        for (const int event : back.events) {
            if (event == KIV_EVENT_RECONNECTED || event == KIV_EVENT_GAVE_UP) return true;
        }
        return false;
    }));
    EXPECT_EQ(back.events.front(), KIV_EVENT_UNIVERSE_DISCONNECT);
    EXPECT_NE(std::find(back.events.begin(), back.events.end(), KIV_EVENT_RECONNECTING),
              back.events.end());
    EXPECT_NE(std::find(back.events.begin(), back.events.end(), KIV_EVENT_RECONNECTED),
              back.events.end())
        << "the attempt ran when its timer fired";
    kiv_destroy(bot);
}

TEST_F(LibuvAdapter, AnInstanceDestroyedInsideItsOwnCallbackLeavesNothingBehind) {
    TlsTestServer server;
    server.on_connection([](ServerConnection& c) {
        if (universe_opening(c) != 0) return;
        answer_login(c);
        c.wait_for_close();
    });
    Seen seen;
    seen.destroy_on_login = true;
    KIVInstance* bot = make(seen);
    ASSERT_EQ(kiv_connect_universe(bot, server.host(), server.port()), 0);
    ASSERT_TRUE(run_until([&] { return seen.callbacks.size() == 2; }));
    EXPECT_EQ(seen.rcs, (std::vector<int>{0, 0}));
    EXPECT_TRUE(server.wait_for_finished(1)) << "the destroyed socket was closed";
}

}  // namespace
}  // namespace kivsdk::test
