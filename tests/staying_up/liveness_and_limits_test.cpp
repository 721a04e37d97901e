// Liveness and time limits on scripted sockets and the fake clock: a silent
// or stalled side is lost once with its detail, received bytes restart the
// limit, an idle connection's timer fires only for keep-alives and the limit,
// and callback-style connect, login and enter complete once with 16 when
// their limit passes.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "api/instance.h"
#include "staying_up_fixture.h"

namespace kivsdk::test {
namespace {

const Bytes kKeepAlive = {28, 0, 0, 0, 0};

int timeouts_on(const RecordingTable& net, const RecordingTable::Socket& socket) {
    const auto ops = net.operations_of(socket);
    return static_cast<int>(std::count(ops.begin(), ops.end(), "timeout"));
}

std::size_t keep_alives_in(const std::vector<Bytes>& frames) {
    return static_cast<std::size_t>(std::count(frames.begin(), frames.end(), kKeepAlive));
}

using Liveness = StayingUpTest;

TEST_F(Liveness, SilenceLosesASideOnceAtTheLimit) {
    ASSERT_NO_FATAL_FAILURE(connect_universe());
    RecordingTable::Socket& socket = universe->socket();
    EXPECT_EQ(kiv_liveness_set(nullptr, 20), KIV_RC_INVALID_ARGUMENT);
    EXPECT_EQ(kiv_liveness_set(handle, -2), KIV_RC_INVALID_ARGUMENT);
    EXPECT_EQ(timers.due_in(socket), 30) << "the keep-alive";
    ASSERT_EQ(kiv_liveness_set(handle, 20), 0);
    EXPECT_EQ(timers.due_in(socket), 20) << "applies to the current connection at once";

    timers.advance(19);
    EXPECT_TRUE(events(KIV_EVENT_UNIVERSE_DISCONNECT).empty());
    timers.advance(1);
    const std::vector<Noted> lost = events(KIV_EVENT_UNIVERSE_DISCONNECT);
    ASSERT_EQ(lost.size(), 1u);
    EXPECT_EQ(lost[0].reason, -1);
    EXPECT_EQ(lost[0].detail, KIV_DETAIL_SILENT);
    EXPECT_EQ(lost[0].side, KIV_SIDE_UNIVERSE);
    EXPECT_EQ(lost[0].text, "silent: nothing received for the liveness limit");
    EXPECT_EQ(lost[0].universe_state, KIV_STATE_LOST);
    EXPECT_TRUE(socket.destroyed);
    timers.advance(100);
    EXPECT_EQ(events(KIV_EVENT_UNIVERSE_DISCONNECT).size(), 1u);
    EXPECT_EQ(net.operations_after_destroy(), 0);
}

TEST_F(Liveness, OffByDefaultAndWithZero) {
    ASSERT_NO_FATAL_FAILURE(connect_universe());
    timers.advance(200);
    ASSERT_EQ(kiv_liveness_set(handle, 10), 0);
    ASSERT_EQ(kiv_liveness_set(handle, 0), 0);
    timers.advance(400);
    EXPECT_TRUE(events(KIV_EVENT_UNIVERSE_DISCONNECT).empty());
    EXPECT_GE(keep_alives_in(universe->take_frames()), 19u) << "one per 30 s";
}

TEST_F(Liveness, ReceivedBytesRestartTheLimitAndAnIdleTimerFiresRarely) {
    ASSERT_NO_FATAL_FAILURE(bring_up());
    ASSERT_EQ(kiv_liveness_set(handle, KIV_LIVENESS_DEFAULT), 0);
    RecordingTable::Socket& world = *world_socket;
    const int armed_before = timeouts_on(net, world);

    // Both servers keep the connections alive every 30 s for 750 s.
    for (int round = 0; round < 25; ++round) {
        timers.advance(30);
        net.deliver(world, framed(kKeepAlive));
        universe->send(kKeepAlive);
    }
    EXPECT_TRUE(events(KIV_EVENT_WORLD_DISCONNECT).empty());
    EXPECT_TRUE(events(KIV_EVENT_UNIVERSE_DISCONNECT).empty());
    EXPECT_LE(timers.fired_on(world), 30) << "at most 3 per 75 s";
    EXPECT_LE(timeouts_on(net, world) - armed_before, timers.fired_on(world) + 1)
        << "re-armed once per expiry, not per byte";
    EXPECT_EQ(keep_alives_in(world_frames->take()), 25u) << "the client's own, every 30 s";

    // Then the world falls silent: lost 75 s after the last bytes.
    const int fired = timers.fired_on(world);
    timers.advance(74);
    EXPECT_TRUE(events(KIV_EVENT_WORLD_DISCONNECT).empty());
    timers.advance(1);
    ASSERT_EQ(events(KIV_EVENT_WORLD_DISCONNECT).size(), 1u);
    EXPECT_EQ(events(KIV_EVENT_WORLD_DISCONNECT)[0].detail, KIV_DETAIL_SILENT);
    EXPECT_EQ(events(KIV_EVENT_WORLD_DISCONNECT)[0].side, KIV_SIDE_WORLD);
    EXPECT_LE(timers.fired_on(world) - fired, 3);
}

TEST_F(Liveness, AStalledFrameEndsTheConnectionOnceInsteadOfRepeating16) {
    ASSERT_NO_FATAL_FAILURE(bring_up());
    RecordingTable::Socket& world = *world_socket;
    // A header announcing 10 bytes, and 3 of them.
    net.deliver(world, {0, 10, 9, 1, 2});
    timers.advance(31);
    const std::size_t repeated = events(KIV_EVENT_WORLD_DISCONNECT).size();
    ASSERT_GE(repeated, 1u) << "without liveness a stalled frame repeats reason 16";
    EXPECT_EQ(events(KIV_EVENT_WORLD_DISCONNECT).back().reason, 16);
    EXPECT_FALSE(world.destroyed);

    ASSERT_EQ(kiv_liveness_set(handle, 40), 0);
    timers.advance(8);
    EXPECT_EQ(events(KIV_EVENT_WORLD_DISCONNECT).size(), repeated) << "no more reason 16";
    timers.advance(1);  // 40 s after the partial frame
    ASSERT_EQ(events(KIV_EVENT_WORLD_DISCONNECT).size(), repeated + 1);
    const Noted lost = events(KIV_EVENT_WORLD_DISCONNECT).back();
    EXPECT_EQ(lost.reason, -1);
    EXPECT_EQ(lost.detail, KIV_DETAIL_STALLED);
    EXPECT_EQ(lost.text, "stalled: no progress for the liveness limit");
    EXPECT_EQ(lost.world_state, KIV_STATE_LOST);
    EXPECT_TRUE(world.destroyed);
    timers.advance(60);
    EXPECT_EQ(events(KIV_EVENT_WORLD_DISCONNECT).size(), repeated + 1);
}

TEST_F(Liveness, OutputThatCannotLeaveCountsAsStalled) {
    ASSERT_NO_FATAL_FAILURE(bring_up());
    RecordingTable::Socket& world = *world_socket;
    ASSERT_EQ(kiv_liveness_set(handle, 45), 0);
    for (int i = 0; i < 50; ++i)
        net.script_send(world, {RecordingTable::SendResult::would_block()});
    ASSERT_EQ(kiv_say(handle, "stuck"), 0);
    timers.advance(44);
    EXPECT_TRUE(events(KIV_EVENT_WORLD_DISCONNECT).empty());
    timers.advance(1);
    ASSERT_EQ(events(KIV_EVENT_WORLD_DISCONNECT).size(), 1u);
    EXPECT_EQ(events(KIV_EVENT_WORLD_DISCONNECT)[0].detail, KIV_DETAIL_STALLED);
}

using TimeLimits = StayingUpTest;

TEST_F(TimeLimits, ACallbackLoginPastItsLimitCompletesOnceWith16AndTheLateAnswerIsDropped) {
    ASSERT_NO_FATAL_FAILURE(connect_universe());
    EXPECT_EQ(kiv_limits_set(handle, 0, -1, 0), KIV_RC_INVALID_ARGUMENT);
    EXPECT_EQ(kiv_limits_set(nullptr, 1, 1, 1), KIV_RC_INVALID_ARGUMENT);
    ASSERT_EQ(kiv_limits_set(handle, 0, 5, 0), 0);
    ASSERT_EQ(kiv_login(handle, "alice", "secret", ""), 0);
    universe->take_frames();
    timers.advance(4);
    EXPECT_TRUE(callbacks(KIV_CALLBACK_LOGIN).empty());
    timers.advance(1);
    ASSERT_EQ(callbacks(KIV_CALLBACK_LOGIN).size(), 1u);
    EXPECT_EQ(callbacks(KIV_CALLBACK_LOGIN)[0].rc, KIV_RC_TIMEOUT);
    timers.advance(30);
    EXPECT_EQ(callbacks(KIV_CALLBACK_LOGIN).size(), 1u);

    universe->send(Message(1).byte(0).int32(7).string("late").bytes());
    EXPECT_EQ(callbacks(KIV_CALLBACK_LOGIN).size(), 1u) << "completed once already";
    EXPECT_TRUE(instance().pending_responses().empty());

    // The next login gets its own answer.
    ASSERT_EQ(kiv_login(handle, "alice", "secret", ""), 0);
    universe->take_frames();
    universe->send(Message(1).byte(0).int32(7).string("welcome").bytes());
    ASSERT_EQ(callbacks(KIV_CALLBACK_LOGIN).size(), 2u);
    EXPECT_EQ(callbacks(KIV_CALLBACK_LOGIN)[1].rc, 0);
}

TEST_F(TimeLimits, CallbackFormsWaitWithoutLimitUnlessSetOrLivenessIsOn) {
    ASSERT_NO_FATAL_FAILURE(connect_universe());
    ASSERT_EQ(kiv_login(handle, "alice", "secret", ""), 0);
    timers.advance(120);
    EXPECT_TRUE(callbacks(KIV_CALLBACK_LOGIN).empty());

    // Liveness brings the blocking defaults (login: 10 s).
    ASSERT_EQ(kiv_liveness_set(handle, 200), 0);
    ASSERT_EQ(kiv_login(handle, "alice", "secret", ""), 0);
    timers.advance(9);
    EXPECT_TRUE(callbacks(KIV_CALLBACK_LOGIN).empty());
    timers.advance(1);
    ASSERT_EQ(callbacks(KIV_CALLBACK_LOGIN).size(), 1u);
    EXPECT_EQ(callbacks(KIV_CALLBACK_LOGIN)[0].rc, KIV_RC_TIMEOUT);
}

TEST_F(TimeLimits, ConnectAndEnterPastTheirLimitsCompleteOnceWith16) {
    ASSERT_EQ(kiv_limits_set(handle, 3, 0, 4), 0);
    ASSERT_EQ(kiv_connect_universe(handle, "localhost", kUniversePort), 0);
    RecordingTable::Socket& slow = net.last_socket();
    timers.advance(2);
    EXPECT_TRUE(callbacks(KIV_CALLBACK_CONNECT_UNIVERSE).empty());
    timers.advance(1);
    ASSERT_EQ(callbacks(KIV_CALLBACK_CONNECT_UNIVERSE).size(), 1u);
    EXPECT_EQ(callbacks(KIV_CALLBACK_CONNECT_UNIVERSE)[0].rc, KIV_RC_TIMEOUT);
    net.post(slow, KIV_NET_CONNECT_RESULT, 1);  // the late failure
    EXPECT_EQ(callbacks(KIV_CALLBACK_CONNECT_UNIVERSE).size(), 1u);

    seen.clear();
    ASSERT_NO_FATAL_FAILURE(connect_universe());
    ASSERT_NO_FATAL_FAILURE(login());
    ASSERT_EQ(kiv_enter(handle, "lobby"), 0);
    universe->take_frames();
    timers.advance(3);
    EXPECT_TRUE(callbacks(KIV_CALLBACK_ENTER).empty());
    timers.advance(1);
    ASSERT_EQ(callbacks(KIV_CALLBACK_ENTER).size(), 1u);
    EXPECT_EQ(callbacks(KIV_CALLBACK_ENTER)[0].rc, KIV_RC_TIMEOUT);
    universe->send(Message(2).byte(1).bytes());  // a late refusal
    EXPECT_EQ(callbacks(KIV_CALLBACK_ENTER).size(), 1u);
    EXPECT_TRUE(instance().pending_responses().empty());

    // The limit goes with the enter from the universe to the world: a world
    // that never answers the login ends it on time too.
    ASSERT_EQ(kiv_enter(handle, "lobby"), 0);
    universe->take_frames();
    timers.advance(1);
    universe->send(world_entry_reply(test_ticket(1), kWorldPort, false, "localhost"));
    net.post(net.last_socket(), KIV_NET_CONNECT_RESULT, 0);
    timers.advance(2);
    EXPECT_EQ(callbacks(KIV_CALLBACK_ENTER).size(), 1u);
    timers.advance(1);
    ASSERT_EQ(callbacks(KIV_CALLBACK_ENTER).size(), 2u);
    EXPECT_EQ(callbacks(KIV_CALLBACK_ENTER)[1].rc, KIV_RC_TIMEOUT);
    net.deliver(net.last_socket(), framed({1, 0}));  // the late acceptance
    EXPECT_EQ(callbacks(KIV_CALLBACK_ENTER).size(), 2u);
}

TEST_F(TimeLimits, AnEnterThatTimedOutIsNotEnteredByItsLateAnswer) {
    ASSERT_NO_FATAL_FAILURE(connect_universe());
    ASSERT_NO_FATAL_FAILURE(login());
    ASSERT_EQ(kiv_limits_set(handle, 0, 0, 2), 0);
    ASSERT_EQ(kiv_enter(handle, "lobby"), 0);
    universe->take_frames();
    timers.advance(2);
    ASSERT_EQ(callbacks(KIV_CALLBACK_ENTER).size(), 1u);
    ASSERT_EQ(callbacks(KIV_CALLBACK_ENTER)[0].rc, KIV_RC_TIMEOUT);
    universe->send(world_entry_reply(test_ticket(1), kWorldPort, false, "localhost"));
    net.post(net.last_socket(), KIV_NET_CONNECT_RESULT, 0);
    net.deliver(net.last_socket(), framed({1, 0}));
    EXPECT_NE(kiv_state(handle, KIV_SIDE_WORLD), KIV_STATE_READY);
    EXPECT_NE(kiv_say(handle, "am I in?"), 0);
}

TEST_F(TimeLimits, BlockingFormsWaitTheirLimitOrItsDefault) {
    ASSERT_NO_FATAL_FAILURE(connect_universe());
    kiv_callback_set(handle, KIV_CALLBACK_LOGIN, nullptr);
    // Every pass of the wait takes one second of the clock.
    net.on_wait = [&](int) {
        clock.advance(1);
        return 0;
    };
    int waits = net.waits();
    EXPECT_EQ(kiv_login(handle, "alice", "secret", ""), KIV_RC_TIMEOUT);
    EXPECT_EQ(net.waits() - waits, 10) << "10 s by default";
    ASSERT_EQ(kiv_limits_set(handle, 0, 3, 0), 0);
    waits = net.waits();
    EXPECT_EQ(kiv_login(handle, "alice", "secret", ""), KIV_RC_TIMEOUT);
    EXPECT_EQ(net.waits() - waits, 3);
    net.on_wait = nullptr;
    EXPECT_TRUE(callbacks(KIV_CALLBACK_LOGIN).empty());
}

}  // namespace
}  // namespace kivsdk::test
