// Hostile and broken clients against the sandbox: nothing they send may
// crash it or disturb the bots that share it.
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <chrono>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include "core/frame_codec.h"
#include "sandbox_bot.h"
#include "support/test_socket.h"

namespace kivsdk::test {
namespace {

using server::Bytes;

Bytes login_frame_body(const std::array<unsigned char, 32>& ticket) {
    // Type 1, the ticket, two empty strings.
    Bytes body(1 + ticket.size() + 2, 0);
    body[0] = 1;
    std::copy(ticket.begin(), ticket.end(), body.begin() + 1);
    return body;
}

// A client with a tiny receive window that never reads: what the sandbox
// queues for it can only grow.
class DeafClient {
public:
    explicit DeafClient(int port) : socket_(TestSocket::connect(Loopback::kIPv4, port, 2048)) {}

    bool connected() const { return socket_.valid(); }
    bool send(const Bytes& bytes) { return socket_.send_all(bytes.data(), bytes.size()); }
    // Reads at last, until the stream ends, closed or reset (true), or a
    // read blocks for 10 s (false).
    bool ends_after_reading() {
        socket_.set_timeouts(std::chrono::seconds(10));
        unsigned char buffer[65536];
        for (int reads = 0; reads < 100000; ++reads) {
            const IoResult result = socket_.recv_some(buffer, sizeof buffer);
            if (result.kind == IoResult::Kind::kClosed || result.kind == IoResult::Kind::kError) {
                return true;
            }
            if (result.kind == IoResult::Kind::kTimedOut) return false;
        }
        return false;
    }

private:
    TestSocket socket_;
};

sandbox::Options strict_options() {
    sandbox::Options options = sandbox_options();
    options.limits.stall_seconds = 1;
    options.limits.max_output = 64 * 1024;
    return options;
}

class SandboxBadInput : public ::testing::Test {
protected:
    RunningSandbox sandbox{strict_options(), false};
    std::array<unsigned char, 32> ticket = sandbox.server().issue_ticket("lobby", "mallory");
    Bot alice{"alice"};
    Bot bob{"bob"};

    void SetUp() override {
        sandbox.start();
        ASSERT_EQ(alice.connect_and_login(sandbox.universe_port()), 0);
        ASSERT_EQ(bob.connect_and_login(sandbox.universe_port()), 0);
        ASSERT_EQ(alice.enter("lobby"), 0);
        ASSERT_EQ(bob.enter("garden"), 0);
    }

    // Alice and bob still get answers from the universe and their worlds.
    void expect_bots_served() {
        const std::size_t lists = alice.count_callbacks(KIV_CALLBACK_WORLD_LIST);
        ASSERT_EQ(kiv_world_list(alice.instance(), 0), 0);
        const std::size_t cells = bob.count_events(KIV_EVENT_CELL_END);
        ASSERT_EQ(kiv_query_cell(bob.instance(), 0, 0), 0);
        EXPECT_TRUE(pump_until({&alice, &bob}, [&] {
            return alice.count_callbacks(KIV_CALLBACK_WORLD_LIST) > lists &&
                   bob.count_events(KIV_EVENT_CELL_END) > cells;
        }));
    }
};

TEST_F(SandboxBadInput, TheUniverseDropsClientsThatSkipOrBreakTheSecureChannel) {
    RawClient skipper(sandbox.universe_port());
    skipper.send_frame({1, 1, 5, 'e', 'v', 'i', 'l', 'x', 0, 0, 0, 0});
    EXPECT_TRUE(skipper.closed_by_server());

    RawClient breaker(sandbox.universe_port());
    breaker.send_frame({39});
    const std::optional<Bytes> go_ahead = breaker.read_frame();
    ASSERT_TRUE(go_ahead.has_value());
    EXPECT_EQ(*go_ahead, Bytes{39});
    const std::string not_tls = "GET / HTTP/1.1\r\nHost: localhost\r\n\r\n";
    breaker.send(Bytes(not_tls.begin(), not_tls.end()));
    EXPECT_TRUE(breaker.closed_by_server());
    expect_bots_served();
}

TEST_F(SandboxBadInput, AnOversizedFrameThatNeverCompletesIsDroppedWhileOthersGoOn) {
    RawClient staller(sandbox.universe_port());
    Bytes header_and_some = {0xFF, 0xFF};
    header_and_some.resize(2 + 100, 'x');
    staller.send(header_and_some);
    // Served while the frame is stalled...
    expect_bots_served();
    // ...and the staller is closed once the stall limit passes.
    EXPECT_TRUE(staller.closed_by_server());
    expect_bots_served();
}

TEST_F(SandboxBadInput, AWorldRefusesBadTicketsAndRequestsBeforeLogin) {
    RawClient forger(sandbox.world_port("lobby"));
    std::array<unsigned char, 32> forged{};
    forger.send_frame(login_frame_body(forged));
    const std::optional<Bytes> reply = forger.read_frame();
    ASSERT_TRUE(reply.has_value());
    EXPECT_EQ(*reply, (Bytes{1, 1}));
    EXPECT_TRUE(forger.closed_by_server());

    // A ticket of the lobby is no good in the garden, and on a TLS world the
    // login must come after the secure channel.
    RawClient wrong_world(sandbox.world_port("garden"));
    wrong_world.send_frame(login_frame_body(ticket));
    EXPECT_TRUE(wrong_world.closed_by_server());

    RawClient pusher(sandbox.world_port("lobby"));
    pusher.send_frame({9, 3, 'h', 'e', 'y'});
    EXPECT_TRUE(pusher.closed_by_server());
    expect_bots_served();
}

TEST_F(SandboxBadInput, EveryTruncatedOrUnknownMessageIsSurvivedAndTheClientKeepsItsSession) {
    RawClient mallory(sandbox.world_port("lobby"));
    mallory.send_frame(login_frame_body(ticket));
    const std::optional<Bytes> reply = mallory.read_frame();
    ASSERT_TRUE(reply.has_value());
    ASSERT_EQ(*reply, (Bytes{1, 0}));

    // Every type with no fields, then with a few stray bytes, then lengths
    // that overrun the frame, and an empty frame.
    for (int type = 0; type < 256; ++type) {
        mallory.send_frame({static_cast<unsigned char>(type)});
        mallory.send_frame({static_cast<unsigned char>(type), 0x80, 0x00, 0x01});
    }
    mallory.send_frame({9, 200, 'a', 'b'});                    // chat text longer than the frame
    mallory.send_frame({10, 0, 0, 0, 1, 2, 0, 0, 0, 0, 0});    // object add cut inside the floats
    mallory.send_frame({32, 0, 0, 0, 0, 1, 0xFF, 0xFF, 'u'});  // URL blob longer than the frame
    mallory.send({0x00, 0x00});                                // an empty frame

    // Still in the world: a whole chat line goes through to alice.
    mallory.send_frame({9, 5, 'a', 'l', 'i', 'v', 'e'});
    ASSERT_TRUE(pump_until({&alice}, [&] {
        for (const Seen& seen : alice.events(KIV_EVENT_CHAT)) {
            if (seen.at.s(KIV_CHAT_MESSAGE) == "alive") return true;
        }
        return false;
    }));
    for (const Seen& seen : alice.events(KIV_EVENT_CHAT)) {
        if (seen.at.s(KIV_CHAT_MESSAGE) == "alive") {
            EXPECT_EQ(seen.at.s(KIV_AVATAR_NAME), "mallory");
        }
    }
    expect_bots_served();
}

TEST_F(SandboxBadInput, AClientThatStopsReadingIsDroppedAndTheOthersGetEverything) {
    DeafClient deaf(sandbox.world_port("lobby"));
    ASSERT_TRUE(deaf.connected());
    ASSERT_TRUE(deaf.send(frame_of(login_frame_body(ticket))));
    Bot carol("carol");
    ASSERT_EQ(carol.connect_and_login(sandbox.universe_port()), 0);
    ASSERT_EQ(carol.enter("lobby"), 0);

    // Far more chat than the deaf client's window and its queue limit hold.
    constexpr int kLines = 3000;
    const std::string line(200, 'z');
    int said = 0;
    const bool all_heard = pump_until(
        {&alice, &carol},
        [&] {
            for (int burst = 0; burst < 50 && said < kLines; ++burst, ++said)
                kiv_say(alice.instance(), line.c_str());
            return carol.count_events(KIV_EVENT_CHAT) == static_cast<std::size_t>(kLines);
        },
        5000);
    EXPECT_TRUE(all_heard) << carol.count_events(KIV_EVENT_CHAT) << " of " << kLines;
    EXPECT_TRUE(deaf.ends_after_reading());
    expect_bots_served();
}

TEST_F(SandboxBadInput, ClientsThatVanishMidFrameOrPileUpIdleLeaveNoTrace) {
    {
        RawClient quitter(sandbox.world_port("lobby"));
        quitter.send({0x00, 0x10, 9, 1});
    }
    std::vector<std::unique_ptr<RawClient>> idle;
    for (int n = 0; n < 200; ++n) {
        idle.push_back(std::make_unique<RawClient>(n % 2 ? sandbox.universe_port()
                                                         : sandbox.world_port("garden")));
        ASSERT_TRUE(idle.back()->connected());
    }
    Bot carol("carol");
    ASSERT_EQ(carol.connect_and_login(sandbox.universe_port()), 0);
    ASSERT_EQ(carol.enter("garden"), 0);
    expect_bots_served();
    idle.clear();
    expect_bots_served();
}

}  // namespace
}  // namespace kivsdk::test
