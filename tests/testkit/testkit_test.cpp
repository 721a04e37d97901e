// The test kit as a bot author uses it: a kit in the test process, bots of
// the library against it, actors that cause what bots react to, one fault
// of each kind as a bot meets it, and the assertions on what a bot sent and
// what a world holds.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "kivsandbox.hpp"
#include "sandbox_bot.h"

namespace kivsdk::test {
namespace {

bool has_line(const std::vector<std::string>& lines, const std::string& start) {
    return std::any_of(lines.begin(), lines.end(),
                       [&](const std::string& line) { return line.rfind(start, 0) == 0; });
}

class Kit : public ::testing::Test {
protected:
    Sandbox kit{"--world", "lobby", "--world", "garden:tls"};
    Bot bot{"bot"};

    void SetUp() override {
        ASSERT_EQ(Sandbox::trust(bot.instance()), 0);
        ASSERT_EQ(bot.connect_and_login(kit.universe_port()), 0);
        ASSERT_EQ(bot.enter("lobby"), 0);
    }

    // Pumps the bot until it has seen `count` of the event.
    bool sees(int event, std::size_t count = 1) {
        return pump_until({&bot}, [&] { return bot.count_events(event) >= count; });
    }
};

TEST(KitStart, RefusesBadOptionsAndAnyAddressBeyondLoopback) {
    for (const std::vector<std::string>& bad : std::vector<std::vector<std::string>>{
             {"--bind", "0.0.0.0"}, {"--world", "a:ssl"}, {"--frobnicate"}, {"--help"}}) {
        try {
            Sandbox refused(bad);
            ADD_FAILURE() << "started with " << bad[0];
        } catch (const SandboxError& e) {
            EXPECT_EQ(e.code(), KIVSB_INVALID_ARGUMENT) << bad[0];
        }
    }
    KIVSandbox* none = nullptr;
    EXPECT_EQ(kivsb_start(nullptr, 1, nullptr, 0, &none), KIVSB_INVALID_ARGUMENT);
    EXPECT_EQ(kivsb_universe_port(nullptr, nullptr), KIVSB_INVALID_ARGUMENT);
    EXPECT_EQ(kivsb_stop(nullptr), KIVSB_OK);

    Sandbox kit({"--world", "hub:tls"});
    EXPECT_GT(kit.world_port("hub"), 0);
    EXPECT_NE(kit.world_port("hub"), kit.universe_port());
    EXPECT_THROW(kit.world_port("lobby"), SandboxError);
}

TEST_F(Kit, WorldStateShowsAvatarsObjectsCellsTerrainAndSettings) {
    kit.actor_enter("ann", "lobby", {1, 0, 2});
    const int tree = kit.actor_object_add("ann", "tree.rwx", {12.5, 0, -3}, "tall\tone");
    kit.actor_terrain("ann", 2, 3, 1, 1, 7.0);
    kit.actor_setting("ann", "welcome", "hi");

    const WorldState world = kit.world_state("lobby");
    ASSERT_NE(world.avatar("ann"), nullptr);
    EXPECT_DOUBLE_EQ(world.avatar("ann")->z, 2.0);
    ASSERT_EQ(world.objects.size(), 1u);
    EXPECT_EQ(world.objects[0].id, tree);
    EXPECT_EQ(world.objects[0].model, "tree.rwx");
    EXPECT_EQ(world.objects[0].description, "tall\tone");
    EXPECT_EQ(world.objects[0].owner, kit.actor_user_id("ann"));
    ASSERT_EQ(world.cells.size(), 1u);
    EXPECT_EQ(world.cells[0].x, 1);
    EXPECT_EQ(world.cells[0].z, -1);
    ASSERT_EQ(world.terrain.size(), 1u);
    EXPECT_EQ(world.terrain[0].tile_x, 2);
    EXPECT_EQ(world.terrain[0].revision, 1);
    EXPECT_EQ(world.settings.at("welcome"), "hi");
    EXPECT_TRUE(kit.world_state("garden").avatars.empty());
}

TEST_F(Kit, SentShowsTheBotsMessagesDecodedInOrder) {
    ASSERT_EQ(kiv_say(bot.instance(), "first"), 0);
    ASSERT_EQ(kiv_say(bot.instance(), "second"), 0);
    kiv_string_set(bot.instance(), KIV_OBJECT_STRING_1, "lamp.rwx");
    kiv_double_set(bot.instance(), KIV_OBJECT_X, 4);
    ASSERT_EQ(kiv_object_add(bot.instance()), 0);
    ASSERT_TRUE(pump_until({&bot}, [&] { return bot.count_callbacks(KIV_CALLBACK_OBJECT_ADD); }));

    const std::vector<std::string> lobby = kit.sent("bot", "lobby");
    ASSERT_GE(lobby.size(), 4u);
    EXPECT_EQ(lobby[0].rfind("world login", 0), 0u) << lobby[0];
    const auto first = std::find(lobby.begin(), lobby.end(), "say text=\"first\"");
    ASSERT_NE(first, lobby.end());
    EXPECT_EQ(*(first + 1), "say text=\"second\"");
    EXPECT_NE((first + 2)->find("string_1=\"lamp.rwx\""), std::string::npos) << *(first + 2);
    EXPECT_EQ((first + 2)->rfind("object add", 0), 0u);

    const std::vector<std::string> universe = kit.sent("bot", "universe");
    ASSERT_FALSE(universe.empty());
    EXPECT_EQ(universe[0].rfind("login version=", 0), 0u) << universe[0];
    EXPECT_NE(universe[0].find("name=\"bot\""), std::string::npos);
    EXPECT_TRUE(kit.sent("nobody", "lobby").empty());

    kit.forget_sent();
    EXPECT_TRUE(kit.sent("bot", "lobby").empty());
}

// ---- One fault of each kind, as the bot meets it -------------------------

TEST_F(Kit, FreezeHoldsAnswersUntilItEnds) {
    kit.freeze(1500);
    ASSERT_EQ(kiv_world_list(bot.instance(), 0), 0);
    pump({&bot}, 100);
    EXPECT_EQ(bot.count_callbacks(KIV_CALLBACK_WORLD_LIST), 0u);
    EXPECT_TRUE(pump_until({&bot}, [&] { return bot.count_callbacks(KIV_CALLBACK_WORLD_LIST); }));
    EXPECT_EQ(bot.count_events(KIV_EVENT_UNIVERSE_DISCONNECT), 0u);
}

TEST_F(Kit, DropsCloseCleanlyOrWithAReset) {
    EXPECT_EQ(kit.drop("lobby"), 1);
    ASSERT_TRUE(sees(KIV_EVENT_WORLD_DISCONNECT));
    EXPECT_EQ(kit.drop("universe", true), 1);
    ASSERT_TRUE(sees(KIV_EVENT_UNIVERSE_DISCONNECT));
    EXPECT_THROW(kit.drop("atlantis"), SandboxError);
}

TEST_F(Kit, RefusedLoginsThenARemovedWorld) {
    kit.refuse_logins(1, 1);
    Bot late("late");
    ASSERT_EQ(Sandbox::trust(late.instance()), 0);
    EXPECT_EQ(late.connect_and_login(kit.universe_port()), KIV_RC_LOGIN_REFUSED);
    EXPECT_EQ(late.connect_and_login(kit.universe_port()), 0);

    kit.remove_world("lobby");
    ASSERT_TRUE(sees(KIV_EVENT_WORLD_DISCONNECT));
    EXPECT_EQ(late.enter("lobby"), KIV_RC_WORLD_UNAVAILABLE);
}

TEST_F(Kit, DelayedAnswersComeLate) {
    kit.delay(800);
    ASSERT_EQ(kiv_world_list(bot.instance(), 0), 0);
    pump({&bot}, 60);  // about 300 ms at least
    EXPECT_EQ(bot.count_callbacks(KIV_CALLBACK_WORLD_LIST), 0u);
    EXPECT_TRUE(pump_until({&bot}, [&] { return bot.count_callbacks(KIV_CALLBACK_WORLD_LIST); }));
    kit.delay(0);
}

TEST_F(Kit, AnIgnoredKindOfRequestGoesUnanswered) {
    kit.ignore("universe", 3);  // world list requests
    ASSERT_EQ(kiv_world_list(bot.instance(), 0), 0);
    ASSERT_EQ(kiv_friends_get(bot.instance()), 0);
    ASSERT_TRUE(pump_until({&bot}, [&] { return bot.count_callbacks(KIV_CALLBACK_FRIENDS_GET); }));
    EXPECT_EQ(bot.count_callbacks(KIV_CALLBACK_WORLD_LIST), 0u);
    EXPECT_TRUE(has_line(kit.sent("bot", "universe"), "world list request"));

    kit.ignore("universe", 3, false);
    ASSERT_EQ(kiv_world_list(bot.instance(), 0), 0);
    EXPECT_TRUE(pump_until({&bot}, [&] { return bot.count_callbacks(KIV_CALLBACK_WORLD_LIST); }));
}

TEST_F(Kit, ACutConnectionEndsInsideAFrame) {
    kit.cut_after("lobby", 5);
    kit.actor_enter("ann", "lobby");  // the avatar's arrival is longer than 5 bytes
    ASSERT_TRUE(sees(KIV_EVENT_WORLD_DISCONNECT));
    EXPECT_EQ(bot.count_events(KIV_EVENT_AVATAR_ADD), 0u);
    EXPECT_EQ(bot.count_events(KIV_EVENT_UNIVERSE_DISCONNECT), 0u);
}

}  // namespace
}  // namespace kivsdk::test
