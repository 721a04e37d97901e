// Nothing lost silently: pending work ends exactly once with 9 when the
// Connection it was sent on ends, requests on a lost side say so, and a
// replaced or left world keeps no open gate.
#include <string>
#include <vector>

#include "support/session_fixture.h"

namespace kivsdk::test {
namespace {

struct Log {
    std::vector<std::string> steps;  // events and callbacks, in order
    std::vector<int> rcs;
    std::function<void(KIVInstance*)> on_world_loss;
};
Log log;

void on_callback(KIVInstance* instance, int rc, int reference) {
    log.steps.push_back("callback " + std::to_string(kiv_int(instance, KIV_CURRENT_CALLBACK)) +
                        " ref " + std::to_string(reference));
    log.rcs.push_back(rc);
}
void on_event(KIVInstance* instance) {
    const int event = kiv_int(instance, KIV_CURRENT_EVENT);
    log.steps.push_back("event " + std::to_string(event));
    if (event == KIV_EVENT_WORLD_DISCONNECT && log.on_world_loss) log.on_world_loss(instance);
}

class NothingLost : public SessionTest {
protected:
    void SetUp() override {
        SessionTest::SetUp();
        log = Log{};
        for (int callback = 0; callback < KIV_CALLBACK_COUNT; ++callback) {
            kiv_callback_set(handle, callback, on_callback);
        }
        kiv_event_set(handle, KIV_EVENT_WORLD_DISCONNECT, on_event);
        kiv_event_set(handle, KIV_EVENT_UNIVERSE_DISCONNECT, on_event);
        kiv_event_set(handle, KIV_EVENT_CHAT, on_event);
    }
    // Three world requests with references 7, 8 and 9.
    void three_world_requests() {
        for (int reference = 7; reference <= 9; ++reference) {
            kiv_int_set(handle, KIV_REFERENCE_NUMBER, reference);
            ASSERT_EQ(kiv_object_get(handle, reference), 0);
        }
    }
    static std::vector<std::string> object_gets_ended() {
        return {"callback 8 ref 7", "callback 8 ref 8", "callback 8 ref 9"};
    }
};

TEST_F(NothingLost, WorldLossFiresTheEventThenEndsEachRecordOnceInOrder) {
    RecordingTable::Socket& world = open_world();
    three_world_requests();
    net.serve_close(world);
    net.post(world, KIV_NET_READABLE);
    std::vector<std::string> expected = {"event 12"};
    for (const std::string& step : object_gets_ended()) expected.push_back(step);
    EXPECT_EQ(log.steps, expected);
    EXPECT_EQ(log.rcs, (std::vector<int>(3, KIV_RC_CONNECTION_ERROR)));
    EXPECT_TRUE(instance().world.pending.empty());

    // Afterwards: 9, nothing sent or registered; argument checks come first.
    const std::size_t written = world.written.size();
    EXPECT_EQ(kiv_object_get(handle, 1), KIV_RC_CONNECTION_ERROR);
    EXPECT_EQ(kiv_say(handle, "anyone?"), KIV_RC_CONNECTION_ERROR);
    EXPECT_EQ(kiv_say(handle, std::string(300, 'x').c_str()), KIV_RC_STRING_TOO_LONG);
    EXPECT_EQ(world.written.size(), written);
    EXPECT_TRUE(instance().world.pending.empty());
    EXPECT_EQ(log.rcs.size(), 3u) << "a refused request fires nothing";
    // Leaving a lost world works; then the world is simply not there.
    EXPECT_EQ(kiv_leave(handle), KIV_RC_SUCCESS);
    EXPECT_EQ(kiv_say(handle, "anyone?"), KIV_RC_NOT_IN_WORLD);
}

TEST_F(NothingLost, LeavingOrReplacingTheWorldEndsItsRecords) {
    open_universe();
    open_world();
    three_world_requests();
    EXPECT_EQ(kiv_leave(handle), 0);
    EXPECT_EQ(log.steps, object_gets_ended());

    log = Log{};
    open_world();
    three_world_requests();
    ASSERT_EQ(kiv_enter(handle, "elsewhere"), 0);
    EXPECT_EQ(log.steps, object_gets_ended()) << "a new enter replaces the world";

    log = Log{};
    open_world();
    three_world_requests();
    ASSERT_EQ(kiv_connect_universe(handle, "universe.test", 6670), 0);
    std::vector<std::string> expected = object_gets_ended();
    expected.push_back("callback 11 ref 0");
    EXPECT_EQ(log.steps, expected)
        << "a new universe connect drops the world, then the old universe's waiting enter";
}

TEST_F(NothingLost, AStallEndsNothingAndADestroyedInstanceStopsTheEnding) {
    RecordingTable::Socket& world = open_world();
    three_world_requests();
    net.deliver(world, Bytes{0, 9, 9});  // a frame that never completes
    clock.advance(Connection::kStallSeconds + 1);
    net.post(world, KIV_NET_TIMER);
    EXPECT_EQ(log.steps, (std::vector<std::string>{"event 12"}));
    EXPECT_EQ(kiv_int(handle, KIV_DISCONNECT_REASON), KIV_RC_TIMEOUT);
    EXPECT_EQ(instance().world.pending.size(), 3u) << "a stall is no loss";

    log.on_world_loss = [](KIVInstance* instance) { kiv_destroy(instance); };
    net.serve_close(world);
    net.post(world, KIV_NET_READABLE);
    EXPECT_EQ(log.steps, (std::vector<std::string>{"event 12", "event 12"}))
        << "no callback after the handler destroyed the Instance";
    handle = nullptr;
}

TEST_F(NothingLost, RequestsOfAWorldBuiltByTheLossHandlerAreUntouched) {
    RecordingTable::Socket& world = open_world();
    kiv_int_set(handle, KIV_REFERENCE_NUMBER, 7);
    ASSERT_EQ(kiv_object_get(handle, 7), 0);
    log.on_world_loss = [this](KIVInstance*) {
        open_world();
        kiv_int_set(handle, KIV_REFERENCE_NUMBER, 50);
        EXPECT_EQ(kiv_object_get(handle, 50), 0);
    };
    net.serve_close(world);
    net.post(world, KIV_NET_READABLE);
    EXPECT_EQ(log.steps, (std::vector<std::string>{"event 12", "callback 8 ref 7"}));
    ASSERT_EQ(instance().world.pending.size(), 1u);
    EXPECT_EQ(instance().world.pending.begin()->second.reference, 50);
}

TEST_F(NothingLost, LoginAndEnterEndWithTheUniverseTheyWaitOn) {
    RecordingTable::Socket& universe = open_universe();
    ASSERT_EQ(kiv_login(handle, "name", "password", ""), 0);
    ASSERT_EQ(kiv_enter(handle, "plaza"), 0);
    net.serve_close(universe);
    net.post(universe, KIV_NET_READABLE);
    EXPECT_EQ(log.steps,
              (std::vector<std::string>{"event 13", "callback 10 ref 0", "callback 11 ref 0"}));
    EXPECT_EQ(log.rcs, (std::vector<int>{KIV_RC_CONNECTION_ERROR, KIV_RC_CONNECTION_ERROR}));
}

TEST_F(NothingLost, AnEnterPastItsEntryReplyBelongsToTheWorld) {
    RecordingTable::Socket& universe = open_universe();
    ASSERT_EQ(kiv_enter(handle, "plaza"), 0);
    receive(universe,
            Message(2).byte(0).raw(Bytes(32, 1)).raw(Bytes{127, 0, 0, 1}).uint16(7000).bytes());
    RecordingTable::Socket& world = net.last_socket();
    net.serve_close(universe);
    net.post(universe, KIV_NET_READABLE);
    EXPECT_EQ(log.steps, (std::vector<std::string>{"event 13"})) << "the enter went on";

    net.post(world, KIV_NET_CONNECT_RESULT, 0);
    net.serve_close(world);
    net.post(world, KIV_NET_READABLE);
    EXPECT_EQ(log.steps, (std::vector<std::string>{"event 13", "event 12", "callback 11 ref 0"}))
        << "a world lost before its login reply ends the enter";
    EXPECT_EQ(log.rcs, (std::vector<int>{KIV_RC_CONNECTION_ERROR}));
}

TEST_F(NothingLost, BlockingFormsEndAtOnceAndLeaveNothingQueued) {
    RecordingTable::Socket& universe = open_universe();
    kiv_callback_set(handle, KIV_CALLBACK_LOGIN, nullptr);
    net.on_wait = [&](int) {
        net.serve_close(universe);
        net.post(universe, KIV_NET_READABLE);
        return 0;
    };
    EXPECT_EQ(kiv_login(handle, "name", "password", ""), KIV_RC_CONNECTION_ERROR);
    EXPECT_EQ(net.waits(), 1) << "no waiting out the limit";
    EXPECT_TRUE(instance().pending_responses().empty());
    EXPECT_TRUE(instance().universe.awaited.empty());
}

TEST_F(NothingLost, AReplacingEntryReplyShutsTheWorldGateUntilTheNewLogin) {
    RecordingTable::Socket& universe = open_universe();
    const Bytes reply =
        Message(2).byte(0).raw(Bytes(32, 1)).raw(Bytes{127, 0, 0, 1}).uint16(7000).bytes();
    ASSERT_EQ(kiv_enter(handle, "plaza"), 0);
    receive(universe, reply);
    RecordingTable::Socket& first = net.last_socket();
    net.post(first, KIV_NET_CONNECT_RESULT, 0);
    EXPECT_EQ(kiv_say(handle, "early"), 0) << "the plain gate opens with TCP";

    receive(universe, reply);  // a duplicate before the login reply: a new world Connection
    RecordingTable::Socket& second = net.last_socket();
    ASSERT_NE(&first, &second);
    EXPECT_EQ(kiv_say(handle, "too early"), KIV_RC_NOT_IN_WORLD);
    net.post(second, KIV_NET_CONNECT_RESULT, 0);
    EXPECT_EQ(frames_in(second.written).size(), 1u) << "only the world login went out";
    receive(second, Message(1).byte(0).bytes());
    EXPECT_EQ(log.steps, (std::vector<std::string>{"callback 11 ref 0"})) << "entered once";

    // Once the enter has its answer, another reply answers nothing.
    const std::size_t sockets = net.sockets.size();
    receive(universe, reply);
    EXPECT_EQ(net.sockets.size(), sockets);
    EXPECT_EQ(kiv_leave(handle), 0);
    EXPECT_EQ(kiv_say(handle, "gone"), KIV_RC_NOT_IN_WORLD);
}

TEST_F(NothingLost, DisconnectedNotificationDeliversTheLastFramesFirst) {
    RecordingTable::Socket& world = open_world();
    Bytes last = framed(Message(9).string("Ann").string("bye").int32(3).bytes());
    net.serve(world, last);
    net.serve_close(world);
    net.post(world, KIV_NET_DISCONNECTED);
    EXPECT_EQ(log.steps,
              (std::vector<std::string>{"event " + std::to_string(KIV_EVENT_CHAT), "event 12"}));
    EXPECT_EQ(kiv_int(handle, KIV_DISCONNECT_REASON), -1);
}

TEST_F(NothingLost, AWorldsSecureChannelMessageAfterLoginIsIgnored) {
    RecordingTable::Socket& world = open_world();
    const std::size_t written = world.written.size();
    receive(world, Message(39).byte(0).bytes());
    EXPECT_EQ(world.written.size(), written) << "no ClientHello on a live plain stream";
    EXPECT_EQ(instance().world.connection->tls_state(), Connection::TlsState::kPlain);
    EXPECT_TRUE(log.steps.empty());
    EXPECT_EQ(kiv_say(handle, "still plain"), 0);
}

// Messages that fire several events stop once a handler has left or replaced
// the world that delivers them.
TEST_F(NothingLost, MultiEventMessagesStopWithTheirWorld) {
    RecordingTable::Socket& world = open_world();
    int nodes = 0;
    kiv_user_data_set(handle, &nodes);
    kiv_event_set(handle, KIV_EVENT_TERRAIN_NODE, [](KIVInstance* instance) {
        ++*static_cast<int*>(kiv_user_data(instance));
        kiv_leave(instance);
    });
    Message terrain(26);
    terrain.int32(0).int32(0).int32(1).int32(2);
    for (int node = 0; node < 3; ++node) terrain.int32(node).raw(Bytes(64 * 6, 0));
    receive(world, terrain.bytes());
    EXPECT_EQ(nodes, 1);

    RecordingTable::Socket& next = open_world();
    open_universe();
    int entries = 0;
    kiv_user_data_set(handle, &entries);
    kiv_event_set(handle, KIV_EVENT_WORLD_PERMISSION, [](KIVInstance* instance) {
        ++*static_cast<int*>(kiv_user_data(instance));
        kiv_connect_universe(instance, "universe.test", 6670);
    });
    receive(next, Message(44)
                      .int32(0)
                      .byte(3)
                      .int32(1)
                      .string("a")
                      .int32(2)
                      .string("b")
                      .int32(3)
                      .string("c")
                      .bytes());
    EXPECT_EQ(entries, 1);
}

}  // namespace
}  // namespace kivsdk::test
