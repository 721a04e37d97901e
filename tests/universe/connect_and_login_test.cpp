// Connecting to the universe and logging in, over the recording table: the
// blocking and callback forms, the result mapping, and re-entry from
// handlers.
#include <string>

#include "support/session_fixture.h"

namespace kivsdk::test {
namespace {

struct Seen {
    std::vector<int> events, callbacks, rcs;
    std::vector<int> reasons;
};
Seen seen;

void record_disconnect(KIVInstance* instance) {
    seen.events.push_back(kiv_int(instance, KIV_CURRENT_EVENT));
    seen.reasons.push_back(kiv_int(instance, KIV_DISCONNECT_REASON));
}
void record_callback(KIVInstance* instance, int rc, int reference) {
    seen.callbacks.push_back(kiv_int(instance, KIV_CURRENT_CALLBACK));
    seen.rcs.push_back(rc);
    EXPECT_EQ(reference, 0);
}

class Connect : public SessionTest {
protected:
    void SetUp() override {
        SessionTest::SetUp();
        seen = Seen{};
    }
    // Each pass of kiv_wait moves the clock one second and runs `step`.
    void each_pass(std::function<void()> step) {
        net.on_wait = [this, step](int) {
            clock.advance(1);
            if (step) step();
            return 0;
        };
    }
};

TEST_F(Connect, FirstFrameIsTheSecureChannelRequest) {
    kiv_callback_set(handle, KIV_CALLBACK_CONNECT_UNIVERSE, record_callback);
    ASSERT_EQ(kiv_connect_universe(handle, "universe.test", 6670), 0);
    RecordingTable::Socket& socket = net.last_socket();
    EXPECT_EQ(socket.host, "universe.test");
    EXPECT_EQ(socket.port, 6670);
    net.post(socket, KIV_NET_CONNECT_RESULT, 0);
    EXPECT_EQ(socket.written, (Bytes{0x00, 0x01, 0x27}));
    EXPECT_TRUE(seen.callbacks.empty()) << "nothing is reported before the secure channel";
}

TEST_F(Connect, ServerThatNeverAnswersGivesTimeoutAtTheLimit) {
    each_pass(nullptr);
    EXPECT_EQ(kiv_connect_universe(handle, "universe.test", 1), KIV_RC_TIMEOUT);
    EXPECT_EQ(net.waits(), 15);
}

TEST_F(Connect, RefusedConnectionGivesConnectionErrorWithTheStatus) {
    each_pass([this] { net.post(net.last_socket(), KIV_NET_CONNECT_RESULT, 10061); });
    EXPECT_EQ(kiv_connect_universe(handle, "universe.test", 1), KIV_RC_CONNECTION_ERROR);
    EXPECT_EQ(kiv_int(handle, KIV_DISCONNECT_REASON), 10061);
    EXPECT_EQ(net.waits(), 1);
}

TEST_F(Connect, ImmediateFailureGivesConnectionErrorAndLeavesNoStaleAnswer) {
    net.connect_return = -1;
    net.connect_posts_result = -1;
    EXPECT_EQ(kiv_connect_universe(handle, "nowhere.test", 1), KIV_RC_CONNECTION_ERROR);
    EXPECT_EQ(net.waits(), 0);
    // The next connect must not return the first one's queued answer.
    net.connect_return = 0;
    net.connect_posts_result.reset();
    each_pass(nullptr);
    EXPECT_EQ(kiv_connect_universe(handle, "universe.test", 1), KIV_RC_TIMEOUT);
}

TEST_F(Connect, WouldBlockResolutionIsWaitedFor) {
    net.connect_return = -2;
    net.connect_posts_result = -2;
    EXPECT_EQ(kiv_connect_universe(handle, "slow.test", 1), KIV_RC_CONNECTION_ERROR)
        << "the failure posted from inside connect answers the wait";
    EXPECT_EQ(net.waits(), 0) << "an answer already in needs no pass";
    EXPECT_EQ(kiv_int(handle, KIV_DISCONNECT_REASON), -2);
}

TEST_F(Connect, AlternativeConnectFailsAndLeavesTheWorld) {
    open_universe();
    open_world();
    const std::size_t sockets = net.sockets.size();
    kiv_int_set(handle, KIV_CONNECT_MODE, 1);
    EXPECT_EQ(kiv_connect_universe(handle, "universe.test", 1), KIV_RC_CONNECTION_ERROR);
    EXPECT_EQ(instance().world.connection, nullptr);
    ASSERT_EQ(net.sockets.size(), sockets + 1);
    EXPECT_EQ(net.operations_of(net.last_socket()), (std::vector<std::string>{"create"}))
        << "the alternative connect does not touch the socket";
}

TEST_F(Connect, HandshakeGarbageGivesSecureChannelFailedAndClosesTheSocket) {
    kiv_callback_set(handle, KIV_CALLBACK_CONNECT_UNIVERSE, record_callback);
    ASSERT_EQ(kiv_connect_universe(handle, "universe.test", 6670), 0);
    RecordingTable::Socket& socket = net.last_socket();
    net.post(socket, KIV_NET_CONNECT_RESULT, 0);
    receive(socket, {39});
    EXPECT_GT(socket.written.size(), 3u) << "a ClientHello went out";
    EXPECT_EQ(instance().universe.connection->tls_state(), Connection::TlsState::kHandshaking);
    net.deliver(socket, Bytes(64, 0x42));
    EXPECT_EQ(seen.rcs, (std::vector<int>{KIV_RC_SECURE_CHANNEL_FAILED}));
    EXPECT_TRUE(socket.destroyed);
    EXPECT_FALSE(instance().universe.ready);
    EXPECT_EQ(kiv_login(handle, "a", "b", "c"), KIV_RC_NOT_IN_UNIVERSE);
}

TEST_F(Connect, LostConnectionFiresTheUniverseDisconnectEventOnce) {
    kiv_event_set(handle, KIV_EVENT_UNIVERSE_DISCONNECT, record_disconnect);
    RecordingTable::Socket& socket = open_universe();
    net.serve_close(socket);
    net.post(socket, KIV_NET_READABLE);
    net.post(socket, KIV_NET_DISCONNECTED);
    EXPECT_EQ(seen.events, (std::vector<int>{13}));
    EXPECT_EQ(seen.reasons, (std::vector<int>{-1}));
    EXPECT_TRUE(instance().universe.ready) << "the flag is left as it was";
    const std::size_t written = socket.written.size();
    EXPECT_EQ(kiv_world_list(handle, 0), KIV_RC_CONNECTION_ERROR) << "the loss is told";
    EXPECT_EQ(socket.written.size(), written) << "nothing goes to the dead connection";
    EXPECT_TRUE(instance().universe.pending.empty()) << "and nothing waits for an answer";
}

class Login : public Connect {};

TEST_F(Login, ThreeOneByteStringsMakeA12ByteFrame) {
    kiv_callback_set(handle, KIV_CALLBACK_LOGIN, record_callback);
    RecordingTable::Socket& socket = open_universe();
    ASSERT_EQ(kiv_login(handle, "a", "b", "c"), 0);
    EXPECT_EQ(sent(socket), (std::vector<Bytes>{{1, 1, 1, 'a', 1, 'b', 1, 'c', 0, 0}}));
}

TEST_F(Login, LengthsAreCheckedButExtraStringsAreCut) {
    kiv_callback_set(handle, KIV_CALLBACK_LOGIN, record_callback);
    RecordingTable::Socket& socket = open_universe();
    EXPECT_EQ(kiv_login(handle, "a", "b", std::string(256, 'x').c_str()), KIV_RC_STRING_TOO_LONG);
    EXPECT_TRUE(sent(socket).empty());
    kiv_string_set(handle, KIV_LOGIN_EXTRA_1, std::string(300, 'e').c_str());
    ASSERT_EQ(kiv_login(handle, nullptr, "", std::string(255, 'x').c_str()), 0);
    EXPECT_EQ(sent(socket), (std::vector<Bytes>{Message(1)
                                                    .byte(1)
                                                    .string("")
                                                    .string("")
                                                    .string(std::string(255, 'x'))
                                                    .string(std::string(255, 'e'))
                                                    .string("")
                                                    .bytes()}));
}

TEST_F(Login, BeforeTheSecureChannelGivesNotInUniverseWithoutWaiting) {
    open_universe(false);
    EXPECT_EQ(kiv_login(handle, "a", "b", "c"), KIV_RC_NOT_IN_UNIVERSE);
    EXPECT_EQ(net.waits(), 0);
}

TEST_F(Login, ReplyResultsAreMapped) {
    RecordingTable::Socket& socket = open_universe();
    kiv_string_set(handle, KIV_LOGIN_REPLY_STRING, "old");
    const std::pair<std::uint8_t, int> rows[] = {{1, 5}, {2, 14}, {3, 23}, {9, 20}, {0, 0}};
    for (const auto& [result, rc] : rows) {
        each_pass([&, result = result] {
            receive(socket, Message(1).byte(result).int32(result * 10).string("welcome").bytes());
        });
        EXPECT_EQ(kiv_login(handle, "a", "b", "c"), rc) << "result " << int(result);
        EXPECT_EQ(kiv_int(handle, KIV_LOGIN_REPLY_VALUE), result * 10);
        EXPECT_STREQ(kiv_string(handle, KIV_LOGIN_REPLY_STRING), result == 0 ? "welcome" : "old");
    }
}

TEST_F(Login, CallbackFormReturnsAtOnce) {
    kiv_callback_set(handle, KIV_CALLBACK_LOGIN, record_callback);
    RecordingTable::Socket& socket = open_universe();
    EXPECT_EQ(kiv_login(handle, "a", "b", "c"), 0);
    EXPECT_EQ(net.waits(), 0);
    receive(socket, Message(1).byte(2).int32(0).bytes());
    EXPECT_EQ(seen.callbacks, (std::vector<int>{10}));
    EXPECT_EQ(seen.rcs, (std::vector<int>{14}));
    EXPECT_TRUE(instance().pending_responses().empty());
}

// Re-entry: handlers that reconnect or destroy the Instance while the
// universe Connection is delivering to them.
void reconnect(KIVInstance* instance) {
    kiv_callback_set(instance, KIV_CALLBACK_CONNECT_UNIVERSE, record_callback);
    seen.rcs.push_back(kiv_connect_universe(instance, "again.test", 2));
}
void destroy(KIVInstance* instance) { kiv_destroy(instance); }
void destroy_from_callback(KIVInstance* instance, int, int) { kiv_destroy(instance); }

TEST_F(Connect, ReconnectFromTheDisconnectHandler) {
    kiv_event_set(handle, KIV_EVENT_UNIVERSE_DISCONNECT, reconnect);
    RecordingTable::Socket& socket = open_universe();
    net.serve(socket, framed(Message(28).bytes()));
    net.serve_close(socket);
    net.post(socket, KIV_NET_READABLE);
    EXPECT_EQ(seen.rcs, (std::vector<int>{0}));
    EXPECT_TRUE(socket.destroyed);
    EXPECT_EQ(socket.operations_after_destroy, 0);
    RecordingTable::Socket& fresh = net.last_socket();
    EXPECT_EQ(fresh.host, "again.test");
    net.post(fresh, KIV_NET_CONNECT_RESULT, 0);
    EXPECT_EQ(fresh.written, (Bytes{0x00, 0x01, 0x27}));
}

TEST_F(Connect, DestroyFromTheDisconnectEvent) {
    kiv_event_set(handle, KIV_EVENT_UNIVERSE_DISCONNECT, destroy);
    RecordingTable::Socket& socket = open_universe();
    net.serve_close(socket);
    net.post(socket, KIV_NET_READABLE);
    handle = nullptr;
    EXPECT_TRUE(socket.destroyed);
}

TEST_F(Connect, DestroyFromConnectAndLoginCallbacks) {
    kiv_callback_set(handle, KIV_CALLBACK_CONNECT_UNIVERSE, destroy_from_callback);
    ASSERT_EQ(kiv_connect_universe(handle, "universe.test", 1), 0);
    net.post(net.last_socket(), KIV_NET_CONNECT_RESULT, 111);
    handle = nullptr;
    EXPECT_TRUE(net.last_socket().destroyed);

    const KIVNetConfig config = net.table();
    handle = kiv_create(&config);
    kiv_callback_set(handle, KIV_CALLBACK_LOGIN, destroy_from_callback);
    RecordingTable::Socket& socket = open_universe();
    ASSERT_EQ(kiv_login(handle, "a", "b", "c"), 0);
    net.serve(socket, join({framed(Message(1).byte(0).int32(0).string("hi").bytes()),
                            framed(Message(50).bytes())}));  // the second: not delivered
    testing::internal::CaptureStdout();
    net.post(socket, KIV_NET_READABLE);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
    handle = nullptr;
    EXPECT_TRUE(socket.destroyed);
}

void blocking_login_inside_handler(KIVInstance* instance) {
    seen.rcs.push_back(kiv_login(instance, "a", "b", "c"));
}

TEST_F(Login, BlockingLoginInsideAHandlerGetsRecursiveWaitAndSendsNothing) {
    RecordingTable::Socket& socket = open_universe();
    kiv_event_set(handle, KIV_EVENT_FRIEND, blocking_login_inside_handler);
    net.on_wait = [&](int) {
        receive(socket, Message(21).bytes());
        return 0;
    };
    EXPECT_EQ(kiv_wait(handle, 0), 0);
    EXPECT_EQ(seen.rcs, (std::vector<int>{KIV_RC_RECURSIVE_WAIT}));
    EXPECT_TRUE(sent(socket).empty()) << "refused before it touched anything";
    EXPECT_TRUE(instance().universe.awaited.empty());
}

}  // namespace
}  // namespace kivsdk::test
