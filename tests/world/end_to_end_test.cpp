// Entering worlds end to end: the library's own sockets against a scripted
// universe and a scripted world server on loopback, plain and over TLS.
#include <gtest/gtest.h>

#include "kivsdk.h"
#include "support/scripted_servers.h"

namespace kivsdk::test {
namespace {

struct WorldScript {
    bool secure = false;
    std::uint8_t secure_status = 0;
    CertAndKey identity = pki::world_server();
    std::uint8_t login_status = 0;
};

class WorldEndToEnd : public ::testing::Test {
protected:
    void SetUp() override {
        if (!kLibraryTrustsSandbox) GTEST_SKIP() << "the library trusts the deployment's CAs";
        instance = kiv_create(nullptr);
        ASSERT_NE(instance, nullptr);
    }
    void TearDown() override { kiv_destroy(instance); }

    // Runs a universe that hands over `world` and a world that follows
    // `script`; returns kiv_enter's result.
    int enter(TlsTestServer& world, const WorldScript& script) {
        world.on_connection([script](ServerConnection& c) {
            const Bytes login =
                world_opening(c, script.secure, script.secure_status, script.identity);
            if (login.empty()) return;
            c.write_frame({1, script.login_status});
            c.write_frame({9, 0, 0, 0, 3, 3, 'B', 'o', 'b', 2, 'h', 'i'});  // a chat line
            c.wait_for_close();
        });
        universe.on_connection([&world, script](ServerConnection& c) {
            if (universe_opening(c) != 0) return;
            const Bytes request = c.read_frame();
            if (request.empty() || request[0] != 2) return;
            c.write_frame(
                world_entry_reply(test_ticket(9), world.port(), script.secure, "localhost"));
            c.wait_for_close();
        });
        EXPECT_EQ(kiv_connect_universe(instance, universe.host(), universe.port()), 0);
        return kiv_enter(instance, "plaza");
    }

    TlsTestServer universe;
    KIVInstance* instance = nullptr;
};

TEST_F(WorldEndToEnd, PlainWorldLogsInWithTheTicket) {
    TlsTestServer world;
    EXPECT_EQ(enter(world, {}), KIV_RC_SUCCESS);
    EXPECT_EQ(kiv_say(instance, "hello"), 0);
    kiv_destroy(instance);
    instance = nullptr;
    ASSERT_TRUE(world.wait_for_finished(1));
    const ConnectionReport report = world.report(0);
    ASSERT_GE(report.frames.size(), 2u);
    const Ticket ticket = test_ticket(9);
    Bytes login{1};
    login.insert(login.end(), ticket.begin(), ticket.end());
    login.insert(login.end(), {0, 0});
    EXPECT_EQ(report.frames[0], (ReceivedFrame{login, false})) << "the first frame is the login";
    EXPECT_EQ(report.frames[1].body[0], 9) << "then the chat line";
}

TEST_F(WorldEndToEnd, SecureWorldAsksForTlsThenLogsInInsideIt) {
    TlsTestServer world;
    EXPECT_EQ(enter(world, {true}), KIV_RC_SUCCESS);
    EXPECT_EQ(kiv_state_change(instance), 0);
    kiv_destroy(instance);
    instance = nullptr;
    ASSERT_TRUE(world.wait_for_finished(1));
    const ConnectionReport report = world.report(0);
    ASSERT_GE(report.frames.size(), 3u);
    EXPECT_EQ(report.frames[0], (ReceivedFrame{{39}, false}));
    EXPECT_EQ(report.frames[1].body[0], 1);
    EXPECT_TRUE(report.frames[1].secure);
    EXPECT_EQ(report.frames[2].body[0], 14) << "the state change travels inside TLS";
}

TEST_F(WorldEndToEnd, FailuresOfTheWorld) {
    {
        TlsTestServer world;
        WorldScript refused_tls;
        refused_tls.secure = true;
        refused_tls.secure_status = 1;
        EXPECT_EQ(enter(world, refused_tls), KIV_RC_SECURE_CHANNEL_FAILED);
    }
    {
        TlsTestServer world;
        WorldScript rogue;
        rogue.secure = true;
        rogue.identity = pki::rogue_server();
        EXPECT_EQ(enter(world, rogue), KIV_RC_SECURE_CHANNEL_FAILED);
    }
    {
        TlsTestServer world;
        WorldScript universe_certificate;  // a valid certificate, but not from a world CA
        universe_certificate.secure = true;
        universe_certificate.identity = pki::universe_server();
        EXPECT_EQ(enter(world, universe_certificate), KIV_RC_SECURE_CHANNEL_FAILED);
    }
    {
        TlsTestServer world;
        WorldScript refused_login;
        refused_login.login_status = 1;
        EXPECT_EQ(enter(world, refused_login), KIV_RC_ENTER_REFUSED);
    }
}

TEST_F(WorldEndToEnd, UnavailableWorldAndRefusedConnect) {
    universe.on_connection([](ServerConnection& c) {
        if (universe_opening(c) != 0) return;
        c.read_frame();
        c.write_frame({2, 1});
        c.read_frame();
        int port = 0;
        {
            TestSocket closed = TestSocket::listen(Loopback::kIPv4);
            port = closed.port();
        }
        c.write_frame(world_entry_reply(test_ticket(1), port, false));
        c.wait_for_close();
    });
    ASSERT_EQ(kiv_connect_universe(instance, universe.host(), universe.port()), 0);
    EXPECT_EQ(kiv_enter(instance, "gone"), KIV_RC_WORLD_UNAVAILABLE);
    EXPECT_EQ(kiv_enter(instance, "closed"), KIV_RC_CONNECTION_ERROR);
    EXPECT_NE(kiv_int(instance, KIV_DISCONNECT_REASON), 0);
}

}  // namespace
}  // namespace kivsdk::test
