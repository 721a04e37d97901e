// Reconnection on scripted sockets and the fake clock: what the host sees
// when a side is lost (events, pending work, attributes, states), the
// schedule of the attempts (backoff, its cap, full jitter, whole seconds, the
// reset after a stable minute), the library's own connect, secure channel,
// login and world re-entry, and everything that ends or refuses it.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <iterator>
#include <numeric>
#include <set>
#include <string>
#include <vector>

#include "api/instance.h"
#include "staying_up_fixture.h"

namespace kivsdk::test {
namespace {

int connects(const RecordingTable& net) {
    return static_cast<int>(std::count_if(net.log.begin(), net.log.end(),
                                          [](const auto& op) { return op.name == "connect"; }));
}

int connects_on(const RecordingTable& net, const RecordingTable::Socket& socket) {
    const auto ops = net.operations_of(socket);
    return static_cast<int>(std::count(ops.begin(), ops.end(), "connect"));
}

// Frames other than keep-alives.
std::vector<Bytes> requests(const std::vector<Bytes>& frames) {
    std::vector<Bytes> kept;
    std::copy_if(frames.begin(), frames.end(), std::back_inserter(kept),
                 [](const Bytes& frame) { return frame.empty() || frame[0] != 28; });
    return kept;
}

// How order_since() shows a callback.
constexpr int callback_mark(int callback) { return -(callback + 100); }

class Reconnection : public StayingUpTest {
protected:
    // The socket the library holds for its next universe attempt.
    RecordingTable::Socket& scheduled() { return net.last_socket(); }

    // Lets the scheduled attempt come due and makes its connect fail.
    void fail_next_attempt() {
        RecordingTable::Socket& next = scheduled();
        const std::int64_t due = timers.due_in(next);
        ASSERT_GE(due, 0) << "no attempt is scheduled";
        timers.advance(due);
        ASSERT_EQ(connects_on(net, next), 1);
        net.post(next, KIV_NET_CONNECT_RESULT, 1);
    }

    // Up and logged in; then later connections trust only the world CAs, so
    // the universe's certificate no longer verifies, and the universe is
    // lost and its first attempt's handshake fails.
    void reject_certificate_on_reconnection() {
        ASSERT_NO_FATAL_FAILURE(connect_universe());
        ASSERT_NO_FATAL_FAILURE(login());
        ASSERT_EQ(reconnect_with(1000, 1000), 0);
        const std::string world_cas = pki::read_text(pki::world_bundle());
        ASSERT_EQ(kiv_trust_set(handle, KIV_SIDE_UNIVERSE, world_cas.c_str(),
                                static_cast<int>(world_cas.size())),
                  0);
        drop(universe->socket());
        timers.advance(1);
        RecordingTable::Socket& attempt = scheduled();
        ASSERT_EQ(connects_on(net, attempt), 1);
        net.post(attempt, KIV_NET_CONNECT_RESULT, 0);
        TlsPeer server(net, attempt);
        EXPECT_FALSE(server.go_ahead());
    }
};

TEST_F(Reconnection, UniverseLossEndsPendingWorkThenComesBackWithoutHostCallbacks) {
    ASSERT_NO_FATAL_FAILURE(bring_up());
    ASSERT_EQ(reconnect_with(1500, 5000), 0);
    kiv_int_set(handle, KIV_REFERENCE_NUMBER, 101);
    ASSERT_EQ(kiv_world_list(handle, 0), 0);
    kiv_int_set(handle, KIV_REFERENCE_NUMBER, 102);
    ASSERT_EQ(kiv_friends_get(handle), 0);
    universe->take_frames();

    const std::size_t from = seen.size();
    RecordingTable::Socket& lost = universe->socket();
    drop(lost);
    // The disconnect first, then the pending requests in order with 9, then
    // the announcement of the attempt.
    ASSERT_EQ(
        order_since(from),
        (std::vector<int>{KIV_EVENT_UNIVERSE_DISCONNECT, callback_mark(KIV_CALLBACK_WORLD_LIST),
                          callback_mark(KIV_CALLBACK_FRIENDS_GET), KIV_EVENT_RECONNECTING}));
    EXPECT_EQ(seen[from].reason, -1);
    EXPECT_EQ(seen[from + 1].rc, KIV_RC_CONNECTION_ERROR);
    EXPECT_EQ(seen[from + 1].reference, 101);
    EXPECT_EQ(seen[from + 2].rc, KIV_RC_CONNECTION_ERROR);
    EXPECT_EQ(seen[from + 2].reference, 102);
    const Noted& announced = seen[from + 3];
    EXPECT_EQ(announced.side, KIV_SIDE_UNIVERSE);
    EXPECT_EQ(announced.attempt, 1);
    EXPECT_EQ(announced.delay_ms, 1500);
    EXPECT_EQ(announced.detail, KIV_DETAIL_CLOSED_BY_PEER);
    EXPECT_EQ(announced.text, "closed by the server");
    EXPECT_EQ(announced.universe_state, KIV_STATE_RECONNECTING);
    EXPECT_EQ(announced.world_state, KIV_STATE_READY) << "the world stays up";

    // While it reconnects, universe requests return 9 and send nothing;
    // kiv_enter changes nothing.
    RecordingTable::Socket& next = scheduled();
    EXPECT_NE(&next, &lost);
    EXPECT_EQ(kiv_world_list(handle, 0), KIV_RC_CONNECTION_ERROR);
    EXPECT_EQ(kiv_login(handle, "mallory", "x", ""), KIV_RC_CONNECTION_ERROR);
    EXPECT_EQ(kiv_enter(handle, "elsewhere"), KIV_RC_CONNECTION_ERROR);
    EXPECT_FALSE(world_socket->destroyed);
    EXPECT_EQ(kiv_state(handle, KIV_SIDE_WORLD), KIV_STATE_READY);
    EXPECT_EQ(kiv_say(handle, "still in the world"), 0);
    EXPECT_TRUE(next.written.empty());

    // 1500 ms waits two whole seconds.
    EXPECT_EQ(timers.due_in(next), 2);
    timers.advance(1);
    EXPECT_EQ(connects_on(net, next), 0);
    timers.advance(1);
    ASSERT_EQ(connects_on(net, next), 1);
    EXPECT_EQ(kiv_state(handle, KIV_SIDE_UNIVERSE), KIV_STATE_CONNECTING);

    const std::size_t before_back = seen.size();
    EXPECT_EQ(accept_reconnection(0), first_login) << "the same credentials";
    ASSERT_EQ(order_since(before_back), std::vector<int>{KIV_EVENT_RECONNECTED})
        << "no callback 10, 11 or 13 for the library's own steps";
    EXPECT_EQ(seen.back().side, KIV_SIDE_UNIVERSE);
    EXPECT_EQ(seen.back().universe_state, KIV_STATE_LOGGED_IN);
    EXPECT_TRUE(instance().pending_responses().empty());
    EXPECT_EQ(kiv_world_list(handle, 0), 0);
    EXPECT_EQ(universe->take_frames().size(), 1u) << "the new request goes out";
    EXPECT_TRUE(universe->take_frames().empty()) << "no world re-entry: the world was not lost";
}

TEST_F(Reconnection, DropAllReentersTheWorldAndResendsTheLastState) {
    ASSERT_NO_FATAL_FAILURE(connect_universe());
    kiv_string_set(handle, KIV_LOGIN_EXTRA_1, "first");
    ASSERT_NO_FATAL_FAILURE(login());
    kiv_string_set(handle, KIV_LOGIN_EXTRA_1, "later");
    ASSERT_NO_FATAL_FAILURE(enter("plaza"));
    ASSERT_EQ(reconnect_with(1000, 4000), 0);
    kiv_float_set(handle, KIV_MY_X, 12.5f);
    kiv_float_set(handle, KIV_MY_Z, -3.0f);
    kiv_int_set(handle, KIV_MY_TYPE, 4);
    ASSERT_EQ(kiv_state_change(handle), 0);
    const std::vector<Bytes> state = world_frames->take();
    ASSERT_EQ(state.size(), 1u);
    kiv_float_set(handle, KIV_MY_X, 99.0f);  // set, never sent
    // Without handlers, a library step that completed like a host request
    // would leave a Response behind.
    for (const int callback :
         {KIV_CALLBACK_CONNECT_UNIVERSE, KIV_CALLBACK_LOGIN, KIV_CALLBACK_ENTER}) {
        kiv_callback_set(handle, callback, nullptr);
    }

    kiv_int_set(handle, KIV_REFERENCE_NUMBER, 201);
    ASSERT_EQ(kiv_object_delete(handle, 9), 0);
    world_frames->take();

    const std::size_t from = seen.size();
    RecordingTable::Socket& old_world = *world_socket;
    drop(old_world);
    drop(universe->socket());
    ASSERT_EQ(order_since(from),
              (std::vector<int>{KIV_EVENT_WORLD_DISCONNECT,
                                callback_mark(KIV_CALLBACK_OBJECT_DELETE), KIV_EVENT_RECONNECTING,
                                KIV_EVENT_UNIVERSE_DISCONNECT, KIV_EVENT_RECONNECTING}));
    EXPECT_EQ(seen[from + 1].rc, KIV_RC_CONNECTION_ERROR);
    EXPECT_EQ(seen[from + 1].reference, 201);
    EXPECT_EQ(seen[from + 2].side, KIV_SIDE_WORLD);
    EXPECT_EQ(seen[from + 4].side, KIV_SIDE_UNIVERSE);
    EXPECT_EQ(kiv_state(handle, KIV_SIDE_WORLD), KIV_STATE_RECONNECTING);
    EXPECT_EQ(kiv_say(handle, "anyone?"), KIV_RC_CONNECTION_ERROR);
    EXPECT_EQ(kiv_state_change(handle), KIV_RC_CONNECTION_ERROR);
    EXPECT_EQ(kiv_object_delete(handle, 5), KIV_RC_CONNECTION_ERROR);
    EXPECT_TRUE(world_frames->take().empty());

    // Both attempts come due; the world waits for the universe.
    timers.advance(1);
    const std::size_t reconnecting = seen.size();
    EXPECT_EQ(accept_reconnection(0), first_login) << "extras as at the successful login";
    const std::vector<Bytes> world = accept_reentry(0, 0);
    ASSERT_EQ(order_since(reconnecting),
              (std::vector<int>{KIV_EVENT_RECONNECTED, KIV_EVENT_RECONNECTED}));
    EXPECT_EQ(seen[reconnecting].side, KIV_SIDE_UNIVERSE);
    EXPECT_EQ(seen[reconnecting + 1].side, KIV_SIDE_WORLD);
    EXPECT_EQ(seen[reconnecting + 1].world_state, KIV_STATE_READY);

    ASSERT_EQ(world.size(), 2u) << "the world login, then the last own state";
    const Ticket ticket = test_ticket(2);
    ASSERT_GE(world[0].size(), 33u);
    EXPECT_EQ(world[0][0], 1);
    EXPECT_TRUE(std::equal(ticket.begin(), ticket.end(), world[0].begin() + 1))
        << "the new entry's ticket";
    EXPECT_EQ(world[1], state[0]);
    EXPECT_TRUE(instance().pending_responses().empty());
    EXPECT_EQ(kiv_say(handle, "back"), 0);
    EXPECT_EQ(world_frames->take().size(), 1u);
    EXPECT_TRUE(old_world.destroyed);
}

TEST_F(Reconnection, BackoffDoublesToItsCapAndStartsOverAfterAStableMinute) {
    ASSERT_NO_FATAL_FAILURE(connect_universe());
    ASSERT_NO_FATAL_FAILURE(login());
    ASSERT_EQ(reconnect_with(1500, 5000), 0);
    drop(universe->socket());

    const std::vector<int> delays = {1500, 3000, 5000, 5000, 5000};
    for (std::size_t i = 0; i < delays.size(); ++i) {
        SCOPED_TRACE("attempt " + std::to_string(i + 1));
        const std::vector<Noted> announced = events(KIV_EVENT_RECONNECTING);
        ASSERT_EQ(announced.size(), i + 1);
        EXPECT_EQ(announced.back().attempt, static_cast<int>(i) + 1);
        EXPECT_EQ(announced.back().delay_ms, delays[i]);
        if (i > 0) {
            EXPECT_EQ(announced.back().detail, KIV_DETAIL_CONNECT_FAILED);
            EXPECT_EQ(announced.back().text, "connect failed");
        }
        RecordingTable::Socket& next = scheduled();
        const std::int64_t whole = (delays[i] + 999) / 1000;
        ASSERT_EQ(timers.due_in(next), whole);
        timers.advance(whole - 1);
        EXPECT_EQ(connects_on(net, next), 0) << "not before the delay";
        if (i + 1 < delays.size()) {
            ASSERT_NO_FATAL_FAILURE(fail_next_attempt());
        }
    }
    timers.advance(1);
    ASSERT_FALSE(accept_reconnection(0).empty());
    ASSERT_EQ(events(KIV_EVENT_RECONNECTED).size(), 1u);
    EXPECT_EQ(events(KIV_EVENT_RECONNECTED).back().attempt, 5);

    // Lost again within the minute: the count goes on.
    timers.advance(59);
    drop(universe->socket());
    EXPECT_EQ(events(KIV_EVENT_RECONNECTING).back().attempt, 6);
    EXPECT_EQ(events(KIV_EVENT_RECONNECTING).back().delay_ms, 5000);
    timers.advance(5);
    ASSERT_FALSE(accept_reconnection(0).empty());

    // Up for a minute: the next loss starts from the first delay.
    timers.advance(60);
    drop(universe->socket());
    EXPECT_EQ(events(KIV_EVENT_RECONNECTING).back().attempt, 1);
    EXPECT_EQ(events(KIV_EVENT_RECONNECTING).back().delay_ms, 1500);
    EXPECT_EQ(timers.due_in(scheduled()), 2);
}

TEST_F(Reconnection, FullJitterDrawsStayUnderTheBackoffAndSpreadOverIt) {
    ASSERT_NO_FATAL_FAILURE(connect_universe());
    ASSERT_NO_FATAL_FAILURE(login());
    ASSERT_EQ(reconnect_with(1000, 8000, 0, 1), 0);
    drop(universe->socket());

    std::vector<int> capped;
    for (int attempt = 1; attempt <= 90; ++attempt) {
        SCOPED_TRACE("attempt " + std::to_string(attempt));
        const Noted announced = events(KIV_EVENT_RECONNECTING).back();
        ASSERT_EQ(announced.attempt, attempt);
        const int ceiling = attempt >= 4 ? 8000 : 1000 << (attempt - 1);
        ASSERT_GE(announced.delay_ms, 0);
        ASSERT_LE(announced.delay_ms, ceiling);
        ASSERT_EQ(timers.due_in(scheduled()), (announced.delay_ms + 999) / 1000);
        if (attempt >= 4) capped.push_back(announced.delay_ms);
        ASSERT_NO_FATAL_FAILURE(fail_next_attempt());
    }
    const std::set<int> distinct(capped.begin(), capped.end());
    EXPECT_GE(distinct.size(), capped.size() / 2) << "draws repeat";
    const double mean =
        std::accumulate(capped.begin(), capped.end(), 0.0) / static_cast<double>(capped.size());
    EXPECT_GT(mean, 0.3 * 8000);
    EXPECT_LT(mean, 0.7 * 8000);
    EXPECT_LT(*std::min_element(capped.begin(), capped.end()), 2000);
    EXPECT_GT(*std::max_element(capped.begin(), capped.end()), 6000);
}

class GivingUp : public Reconnection, public ::testing::WithParamInterface<int> {};

TEST_P(GivingUp, ALoginRefusedOnReconnectionEndsItAfterOneAttempt) {
    ASSERT_NO_FATAL_FAILURE(connect_universe());
    ASSERT_NO_FATAL_FAILURE(login());
    ASSERT_EQ(reconnect_with(1000, 1000), 0);
    drop(universe->socket());
    timers.advance(1);
    const int connects_before = connects(net);
    ASSERT_FALSE(accept_reconnection(static_cast<std::uint8_t>(GetParam())).empty());

    const std::vector<Noted> gave_up = events(KIV_EVENT_GAVE_UP);
    ASSERT_EQ(gave_up.size(), 1u);
    EXPECT_EQ(gave_up[0].side, KIV_SIDE_UNIVERSE);
    EXPECT_EQ(gave_up[0].detail, KIV_DETAIL_LOGIN_REFUSED);
    EXPECT_EQ(gave_up[0].text, "login refused");
    EXPECT_EQ(gave_up[0].attempt, 1) << "the attempt that failed";
    EXPECT_EQ(gave_up[0].universe_state, KIV_STATE_GAVE_UP);
    EXPECT_EQ(events(KIV_EVENT_RECONNECTING).size(), 1u);
    EXPECT_EQ(callbacks(KIV_CALLBACK_LOGIN).size(), 1u) << "only the host's own login";

    timers.advance(300);
    EXPECT_EQ(connects(net), connects_before) << "no attempt after giving up";
    EXPECT_EQ(events(KIV_EVENT_RECONNECTING).size(), 1u);
    EXPECT_EQ(kiv_state(handle, KIV_SIDE_UNIVERSE), KIV_STATE_GAVE_UP);
    EXPECT_EQ(kiv_world_list(handle, 0), KIV_RC_CONNECTION_ERROR);
}

// Login results 1, 2 and 3 are the return codes 5, 14 and 23.
INSTANTIATE_TEST_SUITE_P(RefusedDeniedRejected, GivingUp, ::testing::Values(1, 2, 3));

TEST_F(Reconnection, OtherLoginFailuresAndSilenceAreTriedAgain) {
    ASSERT_NO_FATAL_FAILURE(connect_universe());
    ASSERT_NO_FATAL_FAILURE(login());
    ASSERT_EQ(reconnect_with(1000, 1000), 0);
    drop(universe->socket());
    timers.advance(1);
    ASSERT_FALSE(accept_reconnection(4).empty());  // request failed (20): not final
    EXPECT_TRUE(events(KIV_EVENT_GAVE_UP).empty());
    ASSERT_EQ(events(KIV_EVENT_RECONNECTING).size(), 2u);
    EXPECT_EQ(events(KIV_EVENT_RECONNECTING).back().detail, KIV_DETAIL_LOGIN_REFUSED);

    // A server that accepts the connect and never answers the secure-channel
    // request: the attempt times out after the connect limit (15 s).
    timers.advance(1);
    RecordingTable::Socket& quiet = scheduled();
    ASSERT_EQ(connects_on(net, quiet), 1);
    net.post(quiet, KIV_NET_CONNECT_RESULT, 0);
    timers.advance(14);
    EXPECT_EQ(events(KIV_EVENT_RECONNECTING).size(), 2u);
    timers.advance(1);
    ASSERT_EQ(events(KIV_EVENT_RECONNECTING).size(), 3u);
    EXPECT_EQ(events(KIV_EVENT_RECONNECTING).back().detail, KIV_DETAIL_TIMED_OUT);
    EXPECT_TRUE(quiet.destroyed);
    timers.advance(1);
    ASSERT_FALSE(accept_reconnection(0).empty());
    EXPECT_EQ(events(KIV_EVENT_RECONNECTED).size(), 1u);
}

TEST_F(Reconnection, ARejectedCertificateEndsItAtOnce) {
    ASSERT_NO_FATAL_FAILURE(reject_certificate_on_reconnection());
    const std::vector<Noted> gave_up = events(KIV_EVENT_GAVE_UP);
    ASSERT_EQ(gave_up.size(), 1u);
    EXPECT_EQ(gave_up[0].detail, KIV_DETAIL_CERTIFICATE);
    EXPECT_EQ(gave_up[0].side, KIV_SIDE_UNIVERSE);
    EXPECT_EQ(gave_up[0].text, "certificate rejected: not trusted");
    EXPECT_STREQ(kiv_string(handle, KIV_DISCONNECT_TEXT), "certificate rejected: not trusted");
    const int made = connects(net);
    timers.advance(120);
    EXPECT_EQ(connects(net), made);
    EXPECT_EQ(events(KIV_EVENT_RECONNECTING).size(), 1u);
}

TEST_F(Reconnection, GivesUpAfterMaxAttempts) {
    ASSERT_NO_FATAL_FAILURE(connect_universe());
    ASSERT_NO_FATAL_FAILURE(login());
    ASSERT_EQ(reconnect_with(1000, 2000, 3), 0);
    const int before = connects(net);
    drop(universe->socket());
    for (int attempt = 1; attempt <= 3; ++attempt) {
        ASSERT_EQ(events(KIV_EVENT_RECONNECTING).size(), static_cast<std::size_t>(attempt));
        EXPECT_TRUE(events(KIV_EVENT_GAVE_UP).empty());
        ASSERT_NO_FATAL_FAILURE(fail_next_attempt());
    }
    const std::vector<Noted> gave_up = events(KIV_EVENT_GAVE_UP);
    ASSERT_EQ(gave_up.size(), 1u);
    EXPECT_EQ(gave_up[0].attempt, 3);
    EXPECT_EQ(gave_up[0].detail, KIV_DETAIL_CONNECT_FAILED);
    EXPECT_EQ(gave_up[0].side, KIV_SIDE_UNIVERSE);
    EXPECT_EQ(connects(net) - before, 3);
    timers.advance(100);
    EXPECT_EQ(connects(net) - before, 3);
    EXPECT_EQ(events(KIV_EVENT_RECONNECTING).size(), 3u);
    EXPECT_EQ(kiv_state(handle, KIV_SIDE_UNIVERSE), KIV_STATE_GAVE_UP);
}

TEST_F(Reconnection, HostStepsCallItOff) {
    ASSERT_NO_FATAL_FAILURE(bring_up());
    ASSERT_EQ(reconnect_with(1000, 1000), 0);

    // kiv_leave calls off a world's re-entry.
    drop(*world_socket);
    ASSERT_EQ(events(KIV_EVENT_RECONNECTING).size(), 1u);
    EXPECT_EQ(kiv_leave(handle), 0);
    EXPECT_EQ(kiv_state(handle, KIV_SIDE_WORLD), KIV_STATE_NONE);
    timers.advance(30);
    EXPECT_TRUE(requests(universe->take_frames()).empty()) << "no entry request";
    EXPECT_EQ(events(KIV_EVENT_RECONNECTING).size(), 1u);
    EXPECT_TRUE(events(KIV_EVENT_RECONNECTED).empty());

    // kiv_connect_universe calls off the universe's.
    drop(universe->socket());
    ASSERT_EQ(events(KIV_EVENT_RECONNECTING).size(), 2u);
    RecordingTable::Socket& scheduled_attempt = scheduled();
    ASSERT_EQ(kiv_connect_universe(handle, "localhost", kUniversePort + 1), 0);
    EXPECT_TRUE(scheduled_attempt.destroyed);
    EXPECT_EQ(connects_on(net, scheduled_attempt), 0);
    EXPECT_EQ(net.last_socket().port, kUniversePort + 1);
    EXPECT_EQ(kiv_state(handle, KIV_SIDE_UNIVERSE), KIV_STATE_CONNECTING);
    const int made = connects(net);
    const std::size_t count = seen.size();
    timers.advance(10);
    EXPECT_EQ(connects(net), made);
    for (std::size_t i = count; i < seen.size(); ++i) {
        EXPECT_TRUE(seen[i].callback || seen[i].number < KIV_EVENT_RECONNECTING)
            << "event " << seen[i].number;
    }

    // Turning the policy off stops a scheduled attempt; the side stays lost.
    net.post(net.last_socket(), KIV_NET_CONNECT_RESULT, 0);
    universe = std::make_unique<TlsPeer>(net, net.last_socket());
    ASSERT_EQ(universe->take_frames(), std::vector<Bytes>{{39}});
    ASSERT_TRUE(universe->go_ahead());
    ASSERT_NO_FATAL_FAILURE(login());
    drop(universe->socket());
    ASSERT_EQ(events(KIV_EVENT_RECONNECTING).size(), 3u);
    KIVReconnectPolicy off = reconnect_policy(1000, 1000);
    off.enabled = 0;
    ASSERT_EQ(kiv_reconnect_set(handle, &off), 0);
    EXPECT_EQ(kiv_state(handle, KIV_SIDE_UNIVERSE), KIV_STATE_LOST);
    const int now_made = connects(net);
    timers.advance(30);
    EXPECT_EQ(connects(net), now_made);
}

TEST_F(Reconnection, NeedsAFirstSuccessfulLogin) {
    ASSERT_EQ(reconnect_with(1000, 1000), 0);
    ASSERT_NO_FATAL_FAILURE(connect_universe());
    ASSERT_EQ(kiv_login(handle, "alice", "wrong", ""), 0);
    universe->take_frames();
    universe->send(Message(1).byte(1).int32(0).bytes());
    ASSERT_EQ(callbacks(KIV_CALLBACK_LOGIN).back().rc, KIV_RC_LOGIN_REFUSED);
    const int made = connects(net);
    drop(universe->socket());
    EXPECT_TRUE(events(KIV_EVENT_RECONNECTING).empty());
    EXPECT_EQ(kiv_state(handle, KIV_SIDE_UNIVERSE), KIV_STATE_LOST);
    timers.advance(10);
    EXPECT_EQ(connects(net), made);
}

TEST_F(Reconnection, ARefusedOrUnansweredReentryIsTriedAgain) {
    ASSERT_NO_FATAL_FAILURE(bring_up());
    ASSERT_EQ(reconnect_with(1000, 1000), 0);
    drop(*world_socket);
    timers.advance(1);

    // The universe says the world is unavailable.
    accept_reentry(1);
    ASSERT_EQ(events(KIV_EVENT_RECONNECTING).size(), 2u);
    EXPECT_EQ(events(KIV_EVENT_RECONNECTING).back().side, KIV_SIDE_WORLD);
    EXPECT_EQ(events(KIV_EVENT_RECONNECTING).back().detail, KIV_DETAIL_ENTER_REFUSED);
    EXPECT_EQ(events(KIV_EVENT_RECONNECTING).back().text, "enter refused");

    // The world refuses the login.
    timers.advance(1);
    accept_reentry(0, 1);
    ASSERT_EQ(events(KIV_EVENT_RECONNECTING).size(), 3u);
    EXPECT_EQ(events(KIV_EVENT_RECONNECTING).back().detail, KIV_DETAIL_ENTER_REFUSED);

    // The universe never answers: the enter limit (20 s) ends the attempt.
    timers.advance(1);
    ASSERT_EQ(universe->take_frames().size(), 1u);
    timers.advance(19);
    EXPECT_EQ(events(KIV_EVENT_RECONNECTING).size(), 3u);
    timers.advance(1);
    ASSERT_EQ(events(KIV_EVENT_RECONNECTING).size(), 4u);
    EXPECT_EQ(events(KIV_EVENT_RECONNECTING).back().detail, KIV_DETAIL_TIMED_OUT);

    timers.advance(1);
    ASSERT_EQ(accept_reentry(0, 0).size(), 1u) << "the login; no own state was ever sent";
    ASSERT_EQ(events(KIV_EVENT_RECONNECTED).size(), 1u);
    EXPECT_EQ(events(KIV_EVENT_RECONNECTED)[0].side, KIV_SIDE_WORLD);
    EXPECT_EQ(callbacks(KIV_CALLBACK_ENTER).size(), 1u) << "only the host's own enter";
    EXPECT_EQ(kiv_state(handle, KIV_SIDE_WORLD), KIV_STATE_READY);
}

TEST_F(Reconnection, ALateReentryAnswerAfterLeavingOpensNothing) {
    ASSERT_NO_FATAL_FAILURE(bring_up());
    ASSERT_EQ(reconnect_with(1000, 1000), 0);
    drop(*world_socket);
    timers.advance(1);
    ASSERT_EQ(requests(universe->take_frames()).size(), 1u) << "the re-entry is asked";
    ASSERT_EQ(kiv_leave(handle), 0);
    const std::size_t sockets = net.sockets.size();
    const std::size_t entered = callbacks(KIV_CALLBACK_ENTER).size();

    universe->send(world_entry_reply(test_ticket(3), kWorldPort, false, "localhost"));
    if (net.sockets.size() > sockets) net.post(net.last_socket(), KIV_NET_CONNECT_RESULT, 0);
    if (net.sockets.size() > sockets) net.deliver(net.last_socket(), framed({1, 0}));
    EXPECT_EQ(net.sockets.size(), sockets) << "no world connection for an entry nobody awaits";
    EXPECT_EQ(callbacks(KIV_CALLBACK_ENTER).size(), entered) << "the host asked for no enter";
    EXPECT_EQ(kiv_state(handle, KIV_SIDE_WORLD), KIV_STATE_NONE);
}

TEST_F(Reconnection, TheStateResentIsOneSentInTheWorldEnteredAgain) {
    ASSERT_NO_FATAL_FAILURE(bring_up("first"));
    kiv_float_set(handle, KIV_MY_X, 500.0f);
    ASSERT_EQ(kiv_state_change(handle), 0);
    ASSERT_EQ(kiv_leave(handle), 0);
    ASSERT_NO_FATAL_FAILURE(enter("second"));
    ASSERT_EQ(reconnect_with(1000, 1000), 0);
    drop(*world_socket);
    timers.advance(1);
    const std::vector<Bytes> world = accept_reentry(0, 0);
    ASSERT_EQ(events(KIV_EVENT_RECONNECTED).size(), 1u);
    EXPECT_EQ(world.size(), 1u) << "only the login: no state was sent in \"second\", and the "
                                   "position in \"first\" means nothing there";
}

}  // namespace
}  // namespace kivsdk::test
