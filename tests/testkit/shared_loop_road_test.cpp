// Two hundred bots on one shared loop go the whole road against the kit:
// connect, log in, enter one world, say a line each, and each hears every
// other's line. Only passes of the loop run (kiv_loop_wait, and kiv_wait of
// one bot or another): no Instance has a loop of its own.
#include <gtest/gtest.h>

#include <memory>
#include <set>
#include <string>
#include <vector>

#include "kivsandbox.hpp"

namespace kivsdk::test {
namespace {

constexpr int kBots = 200;

struct RoadBot {
    KIVInstance* instance = nullptr;
    std::string name;
    int entered = -1;
    int failed = 0;  // a nonzero connect, login or enter code
    std::set<std::string> heard_from;
};

RoadBot& bot_of(KIVInstance* instance) { return *static_cast<RoadBot*>(kiv_user_data(instance)); }

void on_connect(KIVInstance* instance, int rc, int) {
    if (rc != 0)
        bot_of(instance).failed = rc;
    else
        kiv_login(instance, bot_of(instance).name.c_str(), "", "");
}
void on_login(KIVInstance* instance, int rc, int) {
    if (rc != 0)
        bot_of(instance).failed = rc;
    else
        kiv_enter(instance, "lobby");
}
void on_enter(KIVInstance* instance, int rc, int) {
    bot_of(instance).entered = rc;
    if (rc != 0) bot_of(instance).failed = rc;
}
void on_chat(KIVInstance* instance) {
    RoadBot& bot = bot_of(instance);
    const std::string speaker = kiv_string(instance, KIV_AVATAR_NAME);
    if (speaker != bot.name) bot.heard_from.insert(speaker);
}

TEST(SharedLoopRoad, TwoHundredBotsOnOneLoopLogInEnterAndHearEveryOne) {
    Sandbox kit{"--world", "lobby"};
    KIVLoop* loop = kiv_loop_create();
    ASSERT_NE(loop, nullptr);
    KIVNetConfig table{};
    ASSERT_EQ(kiv_loop_table(loop, &table), 0);
    std::vector<std::unique_ptr<RoadBot>> bots;
    for (int i = 0; i < kBots; ++i) {
        auto bot = std::make_unique<RoadBot>();
        bot->name = "road" + std::to_string(i);
        bot->instance = kiv_create(&table);
        ASSERT_NE(bot->instance, nullptr);
        ASSERT_EQ(Sandbox::trust(bot->instance), 0);
        kiv_user_data_set(bot->instance, bot.get());
        kiv_callback_set(bot->instance, KIV_CALLBACK_CONNECT_UNIVERSE, on_connect);
        kiv_callback_set(bot->instance, KIV_CALLBACK_LOGIN, on_login);
        kiv_callback_set(bot->instance, KIV_CALLBACK_ENTER, on_enter);
        kiv_event_set(bot->instance, KIV_EVENT_CHAT, on_chat);
        ASSERT_EQ(kiv_connect_universe(bot->instance, "127.0.0.1", kit.universe_port()), 0);
        bots.push_back(std::move(bot));
    }
    const auto every = [&](auto test) {
        for (const auto& bot : bots) {
            if (!test(*bot)) return false;
        }
        return true;
    };
    const auto any_failed = [&] { return !every([](const RoadBot& b) { return b.failed == 0; }); };
    // Passes of the loop itself, and of any one bot: both serve all.
    int pass = 0;
    const auto run_passes_until = [&](auto done) {
        for (int limit = pass + 3000; pass < limit && !done() && !any_failed(); ++pass) {
            const int rc = pass % 2 == 0 ? kiv_loop_wait(loop, 10)
                                         : kiv_wait(bots[pass % kBots]->instance, 10);
            if (rc != 0) return false;
        }
        return done();
    };
    ASSERT_TRUE(run_passes_until([&] {
        return every([](const RoadBot& b) { return b.entered == 0; });
    })) << "first failure code "
        << [&] {
               for (const auto& bot : bots) {
                   if (bot->failed != 0) return bot->failed;
               }
               return 0;
           }();
    for (const auto& bot : bots) {
        ASSERT_EQ(kiv_say(bot->instance, ("hello from " + bot->name).c_str()), 0);
    }
    EXPECT_TRUE(run_passes_until([&] {
        return every([](const RoadBot& b) { return b.heard_from.size() == kBots - 1; });
    })) << "bot 0 heard "
        << bots[0]->heard_from.size() << " of " << kBots - 1;

    EXPECT_EQ(kiv_loop_destroy(loop), KIV_RC_INVALID_ARGUMENT);
    for (const auto& bot : bots) kiv_destroy(bot->instance);
    EXPECT_EQ(kiv_loop_destroy(loop), KIV_RC_SUCCESS);
}

}  // namespace
}  // namespace kivsdk::test
