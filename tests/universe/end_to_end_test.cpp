// The universe session end to end: the library's own sockets against a
// scripted universe server on loopback, over TLS.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "kivsdk.h"
#include "support/fake_clock.h"
#include "support/scripted_servers.h"
#include "support/test_socket.h"

namespace kivsdk::test {
namespace {

struct Seen {
    std::vector<int> events, reasons, callbacks, rcs;
    int reconnects = 0;
    int reconnect_port = 0;
};
Seen seen;

void record_event(KIVInstance* instance) {
    seen.events.push_back(kiv_int(instance, KIV_CURRENT_EVENT));
    seen.reasons.push_back(kiv_int(instance, KIV_DISCONNECT_REASON));
}
void record_callback(KIVInstance* instance, int rc, int) {
    seen.callbacks.push_back(kiv_int(instance, KIV_CURRENT_CALLBACK));
    seen.rcs.push_back(rc);
}

class UniverseEndToEnd : public ::testing::Test {
protected:
    void SetUp() override {
        if (!kLibraryTrustsSandbox) GTEST_SKIP() << "the library trusts the deployment's CAs";
        seen = Seen{};
        instance = kiv_create(nullptr);
        ASSERT_NE(instance, nullptr);
    }
    void TearDown() override { kiv_destroy(instance); }

    // Runs kiv_wait until `done` or a bounded number of passes.
    template <class Done>
    bool pump(Done done, int passes = 200) {
        for (int i = 0; i < passes && !done(); ++i) kiv_wait(instance, 50);
        return done();
    }

    KIVInstance* instance = nullptr;
};

TEST_F(UniverseEndToEnd, ConnectAndLogInOverTls) {
    TlsTestServer server;
    server.on_connection([](ServerConnection& c) {
        if (universe_opening(c) != 0) return;
        answer_login(c, 0, 77, "hello there");
        c.wait_for_close();
    });
    ASSERT_EQ(kiv_connect_universe(instance, server.host(), server.port()), KIV_RC_SUCCESS);
    ASSERT_EQ(kiv_login(instance, "bot", "secret", "x"), KIV_RC_SUCCESS);
    EXPECT_EQ(kiv_int(instance, KIV_LOGIN_REPLY_VALUE), 77);
    EXPECT_STREQ(kiv_string(instance, KIV_LOGIN_REPLY_STRING), "hello there");
    kiv_destroy(instance);
    instance = nullptr;
    ASSERT_TRUE(server.wait_for_finished(1));
    const ConnectionReport report = server.report(0);
    ASSERT_EQ(report.frames.size(), 2u);
    EXPECT_EQ(report.frames[0], (ReceivedFrame{{39}, false})) << "the first frame is 00 01 27";
    EXPECT_EQ(report.frames[1].body,
              (Bytes{1, 1, 3, 'b', 'o', 't', 6, 's', 'e', 'c', 'r', 'e', 't', 1, 'x', 0, 0}));
    EXPECT_TRUE(report.frames[1].secure) << "the login travels inside TLS";
}

TEST_F(UniverseEndToEnd, LoginResultsAreMapped) {
    const std::pair<std::uint8_t, int> rows[] = {{0, 0}, {1, 5}, {2, 14}, {3, 23}, {9, 20}};
    TlsTestServer server;
    server.on_connection([&](ServerConnection& c) {
        if (universe_opening(c) != 0) return;
        for (const auto& row : rows) answer_login(c, row.first, row.first + 100, "ok");
        c.wait_for_close();
    });
    ASSERT_EQ(kiv_connect_universe(instance, server.host(), server.port()), 0);
    for (const auto& [result, rc] : rows) {
        EXPECT_EQ(kiv_login(instance, "a", "b", "c"), rc) << "result " << int(result);
        EXPECT_EQ(kiv_int(instance, KIV_LOGIN_REPLY_VALUE), result + 100);
    }
}

TEST_F(UniverseEndToEnd, RefusedConnectGivesConnectionErrorWithTheStatus) {
    // A port nobody listens on: take one and close it again.
    int port = 0;
    {
        TestSocket listener = TestSocket::listen(Loopback::kIPv4);
        port = listener.port();
    }
    EXPECT_EQ(kiv_connect_universe(instance, "127.0.0.1", port), KIV_RC_CONNECTION_ERROR);
    EXPECT_NE(kiv_int(instance, KIV_DISCONNECT_REASON), 0);
}

TEST_F(UniverseEndToEnd, RogueCertificateGivesSecureChannelFailed) {
    TlsTestServer server;
    server.on_connection([](ServerConnection& c) { universe_opening(c, pki::rogue_server()); });
    testing::internal::CaptureStdout();
    EXPECT_EQ(kiv_connect_universe(instance, server.host(), server.port()),
              KIV_RC_SECURE_CHANNEL_FAILED);
    testing::internal::GetCapturedStdout();
    EXPECT_EQ(kiv_login(instance, "a", "b", "c"), KIV_RC_NOT_IN_UNIVERSE);
}

TEST_F(UniverseEndToEnd, ServerThatNeverSendsTheGoAheadGivesTimeout) {
    TlsTestServer server;
    server.on_connection([](ServerConnection& c) { c.wait_for_close(); });
    FakeClock clock;
    clock.advance_on_each_read(1);
    EXPECT_EQ(kiv_connect_universe(instance, server.host(), server.port()), KIV_RC_TIMEOUT);
}

TEST_F(UniverseEndToEnd, LoginBeforeTheSecureChannelGivesNotInUniverse) {
    TlsTestServer server;
    server.on_connection([](ServerConnection& c) { c.wait_for_close(); });
    kiv_callback_set(instance, KIV_CALLBACK_CONNECT_UNIVERSE, record_callback);
    ASSERT_EQ(kiv_connect_universe(instance, server.host(), server.port()), 0);
    EXPECT_EQ(kiv_login(instance, "a", "b", "c"), KIV_RC_NOT_IN_UNIVERSE);
    EXPECT_TRUE(seen.callbacks.empty());
}

TEST_F(UniverseEndToEnd, LostConnectionFiresTheUniverseDisconnectEventOnce) {
    TlsTestServer server;
    server.on_connection([](ServerConnection& c) {
        if (universe_opening(c) == 0) c.close();
    });
    kiv_event_set(instance, KIV_EVENT_UNIVERSE_DISCONNECT, record_event);
    ASSERT_EQ(kiv_connect_universe(instance, server.host(), server.port()), 0);
    EXPECT_TRUE(pump([] { return !seen.events.empty(); }));
    for (int i = 0; i < 5; ++i) kiv_wait(instance, 20);
    EXPECT_EQ(seen.events, (std::vector<int>{KIV_EVENT_UNIVERSE_DISCONNECT}));
    EXPECT_EQ(seen.reasons, (std::vector<int>{-1}));
    EXPECT_EQ(kiv_wait(instance, 1000), KIV_RC_CONNECTION_ERROR)
        << "nothing is left to watch: the wait ends at once";
}

void reconnect(KIVInstance* instance) {
    ++seen.reconnects;
    kiv_callback_set(instance, KIV_CALLBACK_CONNECT_UNIVERSE, record_callback);
    kiv_connect_universe(instance, "127.0.0.1", seen.reconnect_port);
}

TEST_F(UniverseEndToEnd, ReconnectFromTheDisconnectHandler) {
    TlsTestServer server;
    server.on_connection([](ServerConnection& c) {
        if (universe_opening(c) != 0) return;
        if (c.index() == 0) {
            c.close_abruptly();
            return;
        }
        answer_login(c, 0, 1, "again");
        c.wait_for_close();
    });
    seen.reconnect_port = server.port();
    kiv_event_set(instance, KIV_EVENT_UNIVERSE_DISCONNECT, reconnect);
    ASSERT_EQ(kiv_connect_universe(instance, server.host(), server.port()), 0);
    ASSERT_TRUE(pump([] { return !seen.rcs.empty(); }));
    EXPECT_EQ(seen.reconnects, 1);
    EXPECT_EQ(seen.rcs, (std::vector<int>{0}));
    kiv_callback_set(instance, KIV_CALLBACK_LOGIN, nullptr);
    EXPECT_EQ(kiv_login(instance, "a", "b", "c"), 0);
    EXPECT_STREQ(kiv_string(instance, KIV_LOGIN_REPLY_STRING), "again");
}

void destroy_on_event(KIVInstance* instance) {
    ++seen.reconnects;
    kiv_destroy(instance);
}
void destroy_on_callback(KIVInstance* instance, int rc, int) {
    seen.rcs.push_back(rc);
    kiv_destroy(instance);
}

TEST_F(UniverseEndToEnd, DestroyFromEachUniverseHandler) {
    TlsTestServer server;
    server.on_connection([](ServerConnection& c) {
        if (universe_opening(c) != 0) return;
        // The second answers a login; the third closes once a login arrived,
        // so the connect itself is over before the stream ends.
        if (c.index() == 1) answer_login(c, 0, 0, "x");
        if (c.index() == 2) c.read_frame();
        c.close();
    });
    // From callback 13.
    kiv_callback_set(instance, KIV_CALLBACK_CONNECT_UNIVERSE, destroy_on_callback);
    ASSERT_EQ(kiv_connect_universe(instance, server.host(), server.port()), 0);
    KIVInstance* first = instance;
    instance = nullptr;
    for (int i = 0; i < 200 && seen.rcs.empty(); ++i) kiv_wait(first, 50);
    EXPECT_EQ(seen.rcs, (std::vector<int>{0}));

    // From callback 10.
    instance = kiv_create(nullptr);
    kiv_callback_set(instance, KIV_CALLBACK_LOGIN, destroy_on_callback);
    ASSERT_EQ(kiv_connect_universe(instance, server.host(), server.port()), 0);
    ASSERT_EQ(kiv_login(instance, "a", "b", "c"), 0);
    KIVInstance* second = instance;
    instance = nullptr;
    for (int i = 0; i < 200 && seen.rcs.size() < 2; ++i) kiv_wait(second, 50);
    EXPECT_EQ(seen.rcs, (std::vector<int>{0, 0}));

    // From event 13.
    instance = kiv_create(nullptr);
    kiv_event_set(instance, KIV_EVENT_UNIVERSE_DISCONNECT, destroy_on_event);
    kiv_callback_set(instance, KIV_CALLBACK_LOGIN, [](KIVInstance*, int, int) {});
    ASSERT_EQ(kiv_connect_universe(instance, server.host(), server.port()), 0);
    ASSERT_EQ(kiv_login(instance, "a", "b", "c"), 0);
    KIVInstance* third = instance;
    instance = nullptr;
    for (int i = 0; i < 200 && seen.reconnects == 0; ++i) kiv_wait(third, 50);
    EXPECT_EQ(seen.reconnects, 1);
}

}  // namespace
}  // namespace kivsdk::test
