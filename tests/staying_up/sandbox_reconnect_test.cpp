// Reconnection end to end: a bot on the library's own sockets against the
// in-process sandbox, whose control port drops every client. The delay is a
// few whole seconds, so the case waits that long in real time.
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
    SandboxReconnection()
        : sandbox(options_with_control()), control(sandbox.server().control_port()) {}

    // A bot that trusts this build's sandbox CAs and reconnects with `p`.
    void prepare(Bot& bot, const KIVReconnectPolicy& p) {
        ASSERT_TRUE(trust_test_cas(bot.instance()));
        ASSERT_EQ(kiv_reconnect_set(bot.instance(), &p), 0);
    }

    // Pumps until the bot has seen an event `event` of the side.
    bool until_event(Bot& bot, int event, int side, int passes = 1500) {
        return pump_until(
            {&bot}, [&] { return !of_side(bot.events(event), side).empty(); }, passes);
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

}  // namespace
}  // namespace kivsdk::test
