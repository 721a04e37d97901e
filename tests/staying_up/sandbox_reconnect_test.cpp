// Reconnection end to end: bots on the library's own sockets against the
// in-process sandbox, whose control port drops clients, freezes the server,
// refuses logins and removes worlds. Delays are the policy's smallest (whole
// seconds), so each case waits a few seconds of real time at most.
#include <gtest/gtest.h>

#include <chrono>
#include <cmath>
#include <string>
#include <vector>

#include "api/instance.h"
#include "sandbox_bot.h"
#include "staying_up_e2e.h"
#include "support/test_pki.h"
#include "support/test_socket.h"

namespace kivsdk::test {
namespace {

class SandboxReconnection : public ::testing::Test {
protected:
    explicit SandboxReconnection(int keepalive_seconds = 30)
        : sandbox(options_with_control(keepalive_seconds)),
          control(sandbox.server().control_port()) {}

    // A bot that trusts this build's sandbox CAs and reconnects with `p`.
    void prepare(Bot& bot, const KIVReconnectPolicy& p) {
        ASSERT_TRUE(trust_sandbox(bot.instance()));
        ASSERT_EQ(kiv_reconnect_set(bot.instance(), &p), 0);
    }

    // Pumps until the bot has seen `count` events `event` of the side.
    bool until_event(Bot& bot, int event, int side, std::size_t count = 1, int passes = 1500) {
        return pump_until(
            {&bot}, [&] { return of_side(bot.events(event), side).size() >= count; }, passes);
    }

    static std::vector<Seen> of_side(const std::vector<Seen>& seen, int side) {
        std::vector<Seen> found;
        for (const Seen& s : seen) {
            if (s.at.i(KIV_DISCONNECT_SIDE) == side) found.push_back(s);
        }
        return found;
    }

    RunningSandbox sandbox;
    ControlClient control;
};

TEST_F(SandboxReconnection, DropAllPutsTheBotBackInItsWorldAndWaitingDoesNotSpin) {
    Bot alice("alice");
    ASSERT_NO_FATAL_FAILURE(prepare(alice, reconnect_policy(4000, 4000)));
    ASSERT_EQ(alice.connect_and_login(sandbox.universe_port()), 0);
    ASSERT_EQ(alice.enter("garden"), 0);  // a TLS world
    kiv_float_set(alice.instance(), KIV_MY_X, 1.5f);
    ASSERT_EQ(kiv_state_change(alice.instance()), 0);

    ASSERT_EQ(control.command("drop all").rfind("ok", 0), 0u);
    ASSERT_TRUE(pump_until({&alice}, [&] {
        return alice.count_events(KIV_EVENT_RECONNECTING) == 2;
    })) << "both sides are announced";
    EXPECT_EQ(alice.count_events(KIV_EVENT_WORLD_DISCONNECT), 1u);
    EXPECT_EQ(alice.count_events(KIV_EVENT_UNIVERSE_DISCONNECT), 1u);
    EXPECT_EQ(kiv_state(alice.instance(), KIV_SIDE_UNIVERSE), KIV_STATE_RECONNECTING);
    EXPECT_EQ(kiv_state(alice.instance(), KIV_SIDE_WORLD), KIV_STATE_RECONNECTING);
    EXPECT_EQ(kiv_say(alice.instance(), "anyone?"), KIV_RC_CONNECTION_ERROR);

    // Nothing is connected for at least 3 s (4 s on a clock of whole
    // seconds): a host loop of kiv_wait(100) must block, not spin.
    const auto start = std::chrono::steady_clock::now();
    int calls = 0;
    while (std::chrono::steady_clock::now() - start < std::chrono::seconds(2)) {
        kiv_wait(alice.instance(), 100);
        ++calls;
    }
    const double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    EXPECT_LE(calls, static_cast<int>(std::ceil(12 * seconds))) << calls << " in " << seconds;

    ASSERT_TRUE(until_event(alice, KIV_EVENT_RECONNECTED, KIV_SIDE_WORLD));
    const std::vector<Seen> back = alice.events(KIV_EVENT_RECONNECTED);
    ASSERT_EQ(back.size(), 2u);
    EXPECT_EQ(back[0].at.i(KIV_DISCONNECT_SIDE), KIV_SIDE_UNIVERSE);
    EXPECT_EQ(back[1].at.i(KIV_DISCONNECT_SIDE), KIV_SIDE_WORLD);
    EXPECT_EQ(kiv_state(alice.instance(), KIV_SIDE_UNIVERSE), KIV_STATE_LOGGED_IN);
    EXPECT_EQ(kiv_state(alice.instance(), KIV_SIDE_WORLD), KIV_STATE_READY);
    EXPECT_TRUE(Instance::from_handle(alice.instance())->pending_responses().empty())
        << "the library's own connect, login and enter leave no answer behind";

    // Both sides answer again.
    EXPECT_EQ(answer_of({&alice}, alice, KIV_CALLBACK_WORLD_LIST,
                        [&] { return kiv_world_list(alice.instance(), 0); })
                  .rc,
              0);
    kiv_int_set(alice.instance(), KIV_OBJECT_TYPE, 1);
    kiv_string_set(alice.instance(), KIV_OBJECT_STRING_1, "back.rwx");
    EXPECT_EQ(answer_of({&alice}, alice, KIV_CALLBACK_OBJECT_ADD,
                        [&] { return kiv_object_add(alice.instance()); })
                  .rc,
              0);
}

class FrozenSandbox : public SandboxReconnection {
protected:
    FrozenSandbox() : SandboxReconnection(1) {}
};

TEST_F(SandboxReconnection, ALoginRefusedAfterADropGivesUpAfterOneAttempt) {
    Bot alice("alice");
    ASSERT_NO_FATAL_FAILURE(prepare(alice, reconnect_policy(1000, 1000)));
    ASSERT_EQ(alice.connect_and_login(sandbox.universe_port()), 0);
    ASSERT_EQ(control.command("refuse-logins 1 1"), "ok");
    ASSERT_EQ(control.command("drop universe").rfind("ok", 0), 0u);

    ASSERT_TRUE(until_event(alice, KIV_EVENT_GAVE_UP, KIV_SIDE_UNIVERSE));
    const Seen gave_up = alice.events(KIV_EVENT_GAVE_UP)[0];
    EXPECT_EQ(gave_up.at.i(KIV_DISCONNECT_DETAIL), KIV_DETAIL_LOGIN_REFUSED);
    EXPECT_EQ(kiv_state(alice.instance(), KIV_SIDE_UNIVERSE), KIV_STATE_GAVE_UP);
    pump({&alice}, 150);  // longer than the next delay would be
    EXPECT_EQ(alice.count_events(KIV_EVENT_RECONNECTING), 1u);
    EXPECT_EQ(alice.count_events(KIV_EVENT_RECONNECTED), 0u);
    EXPECT_EQ(kiv_world_list(alice.instance(), 0), KIV_RC_CONNECTION_ERROR);
}

TEST_F(SandboxReconnection, ARemovedWorldIsRefusedOnReentryUntilTheAttemptsRunOut) {
    Bot alice("alice");
    ASSERT_NO_FATAL_FAILURE(prepare(alice, reconnect_policy(1000, 1000, 2)));
    ASSERT_EQ(alice.connect_and_login(sandbox.universe_port()), 0);
    ASSERT_EQ(alice.enter("lobby"), 0);
    ASSERT_EQ(control.command("remove-world lobby"), "ok");

    ASSERT_TRUE(until_event(alice, KIV_EVENT_GAVE_UP, KIV_SIDE_WORLD));
    const std::vector<Seen> tries = alice.events(KIV_EVENT_RECONNECTING);
    ASSERT_EQ(tries.size(), 2u);
    EXPECT_EQ(tries[0].at.i(KIV_DISCONNECT_SIDE), KIV_SIDE_WORLD);
    EXPECT_EQ(tries[1].at.i(KIV_RECONNECT_ATTEMPT), 2);
    EXPECT_EQ(tries[1].at.i(KIV_DISCONNECT_DETAIL), KIV_DETAIL_ENTER_REFUSED);
    EXPECT_EQ(alice.events(KIV_EVENT_GAVE_UP)[0].at.i(KIV_DISCONNECT_DETAIL),
              KIV_DETAIL_ENTER_REFUSED);
    EXPECT_EQ(kiv_state(alice.instance(), KIV_SIDE_WORLD), KIV_STATE_GAVE_UP);
    EXPECT_EQ(kiv_state(alice.instance(), KIV_SIDE_UNIVERSE), KIV_STATE_LOGGED_IN);
    EXPECT_EQ(alice.count_events(KIV_EVENT_UNIVERSE_DISCONNECT), 0u);
}

}  // namespace
}  // namespace kivsdk::test
