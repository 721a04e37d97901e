// Entering and leaving a world over the recording table: the universe's
// hand-off, the plain and secure paths, the gate, and one completion per
// enter.
#include <string>

#include "support/scripted_servers.h"
#include "support/session_fixture.h"

namespace kivsdk::test {
namespace {

struct Seen {
    std::vector<int> rcs, events, reasons;
};
Seen seen;

void record_enter(KIVInstance*, int rc, int reference) {
    seen.rcs.push_back(rc);
    EXPECT_EQ(reference, 0);
}
void record_disconnect(KIVInstance* instance) {
    seen.events.push_back(kiv_int(instance, KIV_CURRENT_EVENT));
    seen.reasons.push_back(kiv_int(instance, KIV_DISCONNECT_REASON));
}

// A world entry reply body, for the double.
Bytes entry_reply(const std::string& host, bool secure, const Bytes& address = {127, 0, 0, 1},
                  int port = 7000) {
    const Ticket ticket = test_ticket(1);
    Message reply(2);
    reply.byte(0).raw(Bytes(ticket.begin(), ticket.end())).raw(address);
    reply.uint16(static_cast<std::uint16_t>(port)).string(host).byte(secure ? 1 : 0).int32(43);
    return reply.bytes();
}

class Enter : public SessionTest {
protected:
    void SetUp() override {
        SessionTest::SetUp();
        seen = Seen{};
        kiv_callback_set(handle, KIV_CALLBACK_ENTER, record_enter);
        kiv_event_set(handle, KIV_EVENT_WORLD_DISCONNECT, record_disconnect);
        open_universe();
    }
    // Asks for a world and hands back the socket the reply opened.
    RecordingTable::Socket& hand_off(const Bytes& reply) {
        EXPECT_EQ(kiv_enter(handle, "plaza"), 0);
        EXPECT_EQ(sent(*universe_socket), (std::vector<Bytes>{Message(2).string("plaza").bytes()}));
        receive(*universe_socket, reply);
        return net.last_socket();
    }
};

TEST_F(Enter, PlainPathLogsInWithTheTicketAndOpensTheGateAtOnce) {
    kiv_string_set(handle, KIV_LOGIN_EXTRA_1, "e1");
    RecordingTable::Socket& world = hand_off(entry_reply("world.test", false));
    EXPECT_EQ(world.host, "world.test");
    EXPECT_EQ(world.port, 7000);
    EXPECT_EQ(kiv_int(handle, KIV_WORLD_ENTRY_VALUE), 43);
    EXPECT_EQ(kiv_say(handle, "early"), KIV_RC_NOT_IN_WORLD) << "not before TCP stands";
    net.post(world, KIV_NET_CONNECT_RESULT, 0);
    const Ticket ticket = test_ticket(1);
    world_socket = &world;
    const std::vector<Bytes> frames = sent(world);
    ASSERT_EQ(frames.size(), 1u);
    EXPECT_EQ(frames[0],
              Message(1).raw(Bytes(ticket.begin(), ticket.end())).string("e1").string("").bytes());
    EXPECT_EQ(kiv_say(handle, "early"), 0) << "the plain gate opens with the TCP connection";
    receive(world, Message(1).byte(0).bytes());
    EXPECT_EQ(seen.rcs, (std::vector<int>{0}));
}

TEST_F(Enter, SecurePathAsksForTlsFirstAndKeepsTheGateClosed) {
    RecordingTable::Socket& world = hand_off(entry_reply("world.test", true));
    net.post(world, KIV_NET_CONNECT_RESULT, 0);
    EXPECT_EQ(world.written, (Bytes{0x00, 0x01, 0x27}));
    EXPECT_EQ(kiv_state_change(handle), KIV_RC_NOT_IN_WORLD);
    receive(world, Message(39).byte(1).bytes());
    EXPECT_EQ(seen.rcs, (std::vector<int>{KIV_RC_SECURE_CHANNEL_FAILED}));
    EXPECT_EQ(instance().world.connection->tls_state(), Connection::TlsState::kPlain)
        << "no TLS was started";
}

TEST_F(Enter, EmptyHostNameFallsBackToTheAddressBytes) {
    RecordingTable::Socket& world = hand_off(entry_reply("", false, {10, 0, 0, 7}));
    EXPECT_EQ(world.host, "10.0.0.7");
    Instance::discard(
        instance().world.connection);  // never connected anywhere: the double only records
}

TEST_F(Enter, ReplyEndingAfterTheAddressUsesTheDefaultPort) {
    const Ticket ticket = test_ticket(2);
    RecordingTable::Socket& world = hand_off(
        Message(2).byte(0).raw(Bytes(ticket.begin(), ticket.end())).raw({192, 0, 2, 200}).bytes());
    EXPECT_EQ(world.host, "192.0.2.200");
    EXPECT_EQ(world.port, 57002);
    EXPECT_EQ(instance().world_ticket(), ticket);
    net.post(world, KIV_NET_CONNECT_RESULT, 0);
    world_socket = &world;
    EXPECT_EQ(sent(world)[0][0], 1) << "the plain path: a login first";
}

TEST_F(Enter, UnavailableWorldGivesWorldUnavailable) {
    ASSERT_EQ(kiv_enter(handle, "nowhere"), 0);
    receive(*universe_socket, Message(2).byte(3).bytes());
    EXPECT_EQ(seen.rcs, (std::vector<int>{KIV_RC_WORLD_UNAVAILABLE}));
}

TEST_F(Enter, ConnectFailureReportedInsideTheConnectCompletesOnce) {
    net.connect_return = -1;
    net.connect_posts_result = -1;
    hand_off(entry_reply("unresolvable.test", false));
    EXPECT_EQ(seen.rcs, (std::vector<int>{KIV_RC_CONNECTION_ERROR}));
    EXPECT_EQ(instance().world.connection, nullptr);
    EXPECT_TRUE(instance().pending_responses().empty());
}

TEST_F(Enter, ConnectFailureWithoutAReportCompletesOnce) {
    net.connect_return = -1;
    hand_off(entry_reply("broken.test", true));
    EXPECT_EQ(seen.rcs, (std::vector<int>{KIV_RC_CONNECTION_ERROR}));
    EXPECT_EQ(instance().world.connection, nullptr);
}

TEST_F(Enter, RefusedLoginGivesEnterRefusedAndLeavesThePlainGateOpen) {
    RecordingTable::Socket& world = hand_off(entry_reply("world.test", false));
    net.post(world, KIV_NET_CONNECT_RESULT, 0);
    receive(world, Message(1).byte(4).bytes());
    receive(world, Message(1).bytes());  // no status byte: no acceptance either
    EXPECT_EQ(seen.rcs, (std::vector<int>{KIV_RC_ENTER_REFUSED, KIV_RC_ENTER_REFUSED}));
    EXPECT_EQ(kiv_say(handle, "still"), 0);
}

TEST_F(Enter, FailedWorldConnectRecordsTheStatus) {
    RecordingTable::Socket& world = hand_off(entry_reply("world.test", false));
    net.post(world, KIV_NET_CONNECT_RESULT, 10061);
    EXPECT_EQ(seen.rcs, (std::vector<int>{KIV_RC_CONNECTION_ERROR}));
    EXPECT_EQ(kiv_int(handle, KIV_DISCONNECT_REASON), 10061);
}

TEST_F(Enter, NameLengthAndUniverseGate) {
    EXPECT_EQ(kiv_enter(handle, std::string(256, 'w').c_str()), KIV_RC_STRING_TOO_LONG);
    EXPECT_TRUE(sent(*universe_socket).empty());
    EXPECT_EQ(kiv_enter(handle, std::string(255, 'w').c_str()), 0);
    EXPECT_EQ(sent(*universe_socket).size(), 1u);
    instance().universe.ready = false;
    EXPECT_EQ(kiv_enter(handle, "x"), KIV_RC_NOT_IN_UNIVERSE);
}

TEST_F(Enter, LeaveTwiceAndAfterALoss) {
    EXPECT_EQ(kiv_leave(handle), KIV_RC_NOT_IN_WORLD);
    RecordingTable::Socket& world = hand_off(entry_reply("world.test", false));
    net.post(world, KIV_NET_CONNECT_RESULT, 0);
    net.serve_close(world);
    net.post(world, KIV_NET_READABLE);
    EXPECT_EQ(seen.events, (std::vector<int>{KIV_EVENT_WORLD_DISCONNECT}));
    EXPECT_EQ(seen.reasons, (std::vector<int>{-1}));
    EXPECT_EQ(kiv_leave(handle), 0) << "the Connection stays after the loss";
    EXPECT_EQ(kiv_leave(handle), KIV_RC_NOT_IN_WORLD);
}

TEST_F(Enter, EnteringAgainClosesTheOldWorldFirst) {
    RecordingTable::Socket& first = hand_off(entry_reply("one.test", false));
    net.post(first, KIV_NET_CONNECT_RESULT, 0);
    ASSERT_EQ(kiv_enter(handle, "two"), 0);
    EXPECT_TRUE(first.destroyed) << "closed before the universe is asked";
    EXPECT_EQ(instance().world.connection, nullptr);
    EXPECT_FALSE(instance().world.ready);
}

TEST_F(Enter, BlockingEnterTimesOutAndALateAnswerDoesNotAnswerTheNext) {
    kiv_callback_set(handle, KIV_CALLBACK_ENTER, nullptr);
    net.on_wait = [this](int) {
        clock.advance(1);
        return 0;
    };
    EXPECT_EQ(kiv_enter(handle, "slow"), KIV_RC_TIMEOUT);
    EXPECT_EQ(net.waits(), 20);
    receive(*universe_socket, Message(2).byte(1).bytes());  // the late refusal
    net.on_wait = [this](int) {
        receive(*universe_socket,
                Message(2).byte(0).raw(Bytes(32, 7)).raw(Bytes{127, 0, 0, 1}).bytes());
        net.post(net.last_socket(), KIV_NET_CONNECT_RESULT, 0);
        receive(net.last_socket(), Message(1).byte(0).bytes());
        return 0;
    };
    EXPECT_EQ(kiv_enter(handle, "slow"), KIV_RC_SUCCESS);
}

// Re-entry from the world's own handlers.
void leave_now(KIVInstance* instance) { seen.rcs.push_back(kiv_leave(instance)); }
void destroy_now(KIVInstance* instance) { kiv_destroy(instance); }
void connect_universe_now(KIVInstance* instance) {
    seen.rcs.push_back(kiv_connect_universe(instance, "universe.test", 1));
}
void enter_now(KIVInstance* instance) { seen.rcs.push_back(kiv_enter(instance, "other")); }

TEST_F(Enter, HandlersMayLeaveEnterReconnectOrDestroy) {
    using Action = void (*)(KIVInstance*);
    const Action actions[] = {leave_now, enter_now, connect_universe_now, destroy_now};
    for (const Action action : actions) {
        for (const int trigger : {0, 1, 2}) {  // chat event, event 12, callback 11
            TearDown();
            SetUp();
            kiv_callback_set(handle, KIV_CALLBACK_CONNECT_UNIVERSE, record_enter);
            RecordingTable::Socket& world = hand_off(entry_reply("world.test", false));
            net.post(world, KIV_NET_CONNECT_RESULT, 0);
            Bytes stream;
            if (trigger == 0) {
                kiv_event_set(handle, KIV_EVENT_CHAT, action);
                stream = join({framed(Message(1).byte(0).bytes()),
                               framed(Message(9).int32(1).string("a").string("hi").bytes()),
                               framed(Message(9).int32(1).string("a").string("again").bytes())});
            } else if (trigger == 1) {
                kiv_event_set(handle, KIV_EVENT_WORLD_DISCONNECT, action);
                net.serve(world, framed(Message(1).byte(0).bytes()));
                net.serve_close(world);
            } else {
                kiv_callback_set(handle, KIV_CALLBACK_ENTER,
                                 [](KIVInstance* instance, int, int) { leave_now(instance); });
                if (action == destroy_now) {
                    kiv_callback_set(
                        handle, KIV_CALLBACK_ENTER,
                        [](KIVInstance* instance, int, int) { destroy_now(instance); });
                } else if (action == enter_now) {
                    kiv_callback_set(handle, KIV_CALLBACK_ENTER,
                                     [](KIVInstance* instance, int, int) { enter_now(instance); });
                } else if (action == connect_universe_now) {
                    kiv_callback_set(
                        handle, KIV_CALLBACK_ENTER,
                        [](KIVInstance* instance, int, int) { connect_universe_now(instance); });
                }
                stream = join({framed(Message(1).byte(0).bytes()), framed(Message(9).bytes())});
            }
            if (!stream.empty()) net.serve(world, stream);
            net.post(world, KIV_NET_READABLE);
            EXPECT_TRUE(world.destroyed) << "action " << &action << " trigger " << trigger;
            EXPECT_EQ(world.operations_after_destroy, 0);
            if (action == destroy_now) handle = nullptr;
        }
    }
}

}  // namespace
}  // namespace kivsdk::test
