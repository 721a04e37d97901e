// A captured session turned into a regression test: a greeter-like bot meets
// an actor in the kit's world (connect, login, enter, chat, an object added
// with its callback, the world lost), its traffic captured; then a fresh bot
// driven by the same code replays the capture with no server at all and
// sees every event and callback, with every attribute, as the first did.
#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <functional>
#include <iterator>
#include <string>
#include <vector>

#include "kivsandbox.hpp"
#include "sandbox_bot.h"

namespace kivsdk::test {
namespace {

enum class Moment { kBotEntered, kObjectAdded };

// The bot's host code: the same in the live run and in the replay. `world`
// is what the rest of the world does meanwhile (nothing in the replay: the
// capture holds it).
void greet(Bot& bot, int universe_port, const std::function<void(Moment)>& world) {
    KIVInstance* const b = bot.instance();
    kiv_string_set(b, KIV_LOGIN_EXTRA_1, "token-19");
    kiv_string_set(b, KIV_LOGIN_EXTRA_2, "token-20");
    ASSERT_EQ(bot.connect_and_login(universe_port, "hunter2"), 0);
    ASSERT_EQ(bot.enter("lobby"), 0);
    world(Moment::kBotEntered);
    ASSERT_TRUE(pump_until({&bot}, [&] { return bot.count_events(KIV_EVENT_CHAT) > 0; }));
    ASSERT_EQ(kiv_say(b, "Hello, ann!"), 0);
    kiv_string_set(b, KIV_OBJECT_STRING_1, "bench.rwx");
    kiv_double_set(b, KIV_OBJECT_X, 2.0);
    kiv_double_set(b, KIV_OBJECT_Z, 3.0);
    const Seen added =
        answer_of({&bot}, bot, KIV_CALLBACK_OBJECT_ADD, [&] { return kiv_object_add(b); });
    ASSERT_EQ(added.number, KIV_CALLBACK_OBJECT_ADD);
    world(Moment::kObjectAdded);
    ASSERT_TRUE(
        pump_until({&bot}, [&] { return bot.count_events(KIV_EVENT_WORLD_DISCONNECT) > 0; }));
}

// The first difference between two runs, or "" when they agree.
std::string first_difference(const std::vector<Seen>& live, const std::vector<Seen>& replayed) {
    for (std::size_t at = 0; at < std::max(live.size(), replayed.size()); ++at) {
        const std::string where = "item " + std::to_string(at) + ": ";
        if (at >= live.size() || at >= replayed.size()) return where + "only in one run";
        const Seen& a = live[at];
        const Seen& b = replayed[at];
        if (a.callback != b.callback || a.number != b.number || a.rc != b.rc ||
            a.reference != b.reference) {
            return where + (a.callback ? "callback " : "event ") + std::to_string(a.number) +
                   " rc " + std::to_string(a.rc) + " against " +
                   (b.callback ? "callback " : "event ") + std::to_string(b.number) + " rc " +
                   std::to_string(b.rc);
        }
        if (a.at.ints != b.at.ints) return where + "int attributes differ";
        if (a.at.floats != b.at.floats) return where + "float attributes differ";
        for (int s = 0; s < KIV_STRING_ATTRIBUTE_COUNT; ++s) {
            if (a.at.s(s) != b.at.s(s)) {
                return where + "string " + std::to_string(s) + " \"" + a.at.s(s) + "\" against \"" +
                       b.at.s(s) + "\"";
            }
        }
        if (a.at.data != b.at.data) return where + "data attributes differ";
    }
    return "";
}

TEST(GreeterReplay, ReplayingTheCaptureGivesTheSameEventsCallbacksAndAttributes) {
    const std::string path = ::testing::TempDir() + "kivsdk-greeter-replay.kivcap";
    Sandbox kit{"--world", "lobby"};
    std::vector<Seen> live;
    {
        Bot bot("greeter");
        ASSERT_EQ(Sandbox::trust(bot.instance()), 0);
        ASSERT_EQ(kiv_capture_start(bot.instance(), path.c_str(), 0), 0);
        greet(bot, kit.universe_port(), [&](Moment moment) {
            if (moment == Moment::kBotEntered) {
                kit.actor_enter("ann", "lobby", {1, 0, 1});
                kit.actor_say("ann", "hi greeter");
            } else {
                kit.drop("lobby");
            }
        });
        ASSERT_FALSE(::testing::Test::HasFatalFailure());
        ASSERT_EQ(kiv_capture_stop(bot.instance()), 0);
        live = bot.seen();
    }
    ASSERT_GE(live.size(), 4u) << "avatar, chat, object callback, world loss at least";

    std::ifstream file(path, std::ios::binary);
    const std::string bytes((std::istreambuf_iterator<char>(file)),
                            std::istreambuf_iterator<char>());
    for (const char* secret : {"hunter2", "token-19", "token-20"}) {
        EXPECT_EQ(bytes.find(secret), std::string::npos) << secret << " is in the capture";
    }

    Bot replayer("greeter");
    ASSERT_EQ(Sandbox::trust(replayer.instance()), 0);
    ASSERT_EQ(kiv_replay_start(replayer.instance(), path.c_str(), KIV_REPLAY_AS_FAST_AS_POSSIBLE),
              0);
    greet(replayer, kit.universe_port(), [](Moment) {});
    ASSERT_FALSE(::testing::Test::HasFatalFailure());
    EXPECT_EQ(first_difference(live, replayer.seen()), "");
    KIVReplayStatus status{};
    ASSERT_EQ(kiv_replay_status(replayer.instance(), &status, sizeof status), 0);
    EXPECT_EQ(status.waiting, KIV_REPLAY_FINISHED);
    EXPECT_EQ(status.position, status.records);
    EXPECT_EQ(status.mismatched, 0);
    std::remove(path.c_str());
}

}  // namespace
}  // namespace kivsdk::test
