// Scenes of kivsandbox --script: bad lines are refused with their line
// number, and a scene is played to a bot at its times.
#include <gtest/gtest.h>

#include <fstream>
#include <stdexcept>
#include <string>

#include "sandbox_bot.h"
#include "script.h"

namespace kivsdk::test {
namespace {

// The error that parsing `text` as "scene" raises, or "" when it parses.
std::string error_of(const std::string& text) {
    try {
        sandbox::parse_script(text, "scene");
    } catch (const std::runtime_error& e) {
        return e.what();
    }
    return "";
}

TEST(SandboxScript, BadLinesAreRefusedWithTheirLineNumber) {
    EXPECT_EQ(error_of("0 enter ann lobby\n\n1 fly ann\n"), "scene:3: unknown command \"fly\"");
    EXPECT_EQ(error_of("soon say ann hi"),
              "scene:1: a step starts with its time in seconds, not \"soon\"");
    EXPECT_EQ(error_of("# a comment\n2"), "scene:2: a time without a command");
    EXPECT_EQ(error_of("1 move ann 1 up 3"), "scene:1: move: \"up\" is not a number");
    EXPECT_EQ(error_of("1 say ann"), "scene:1: usage: say NAME TEXT");
    EXPECT_EQ(error_of("1 leave ann bob"), "scene:1: usage: leave NAME");
    EXPECT_EQ(error_of("-1 leave ann"),
              "scene:1: a step starts with its time in seconds, not \"-1\"");
    EXPECT_EQ(error_of("1 bump ann 1 sideways"), "scene:1: bump: \"sideways\" is not begin or end");
    EXPECT_EQ(error_of("1 permission ann build bob yes"),
              "scene:1: permission: \"yes\" is not on or off");
    EXPECT_EQ(error_of("1 teleport ann bob lobby 1 2"),
              "scene:1: usage: teleport NAME AVATAR WORLD X Y Z [YAW]");

    const auto steps = sandbox::parse_script(
        "2 say ann  hello   there # greeting\n1 enter ann lobby 1 0 2 90\n1 freeze 0.5\n", "s");
    ASSERT_EQ(steps.size(), 3u);
    EXPECT_EQ(steps[0].words[0], "enter");  // by time, the order of equal times kept
    EXPECT_EQ(steps[1].command, "freeze 0.5");
    EXPECT_EQ(steps[2].rest, "hello   there");
    EXPECT_EQ(steps[2].line, 1);
}

TEST(SandboxScript, ASceneIsPlayedToABotAtItsTimes) {
    const std::string path = ::testing::TempDir() + "kivsandbox_scene.txt";
    std::ofstream(path) << "0 enter ann lobby 1 0 2\n"
                           "0.6 say ann hello there\n"
                           "0.7 object ann tree.rwx 12 0 3\n"
                           "0.71 click ann bot\n"
                           "0.72 click-object ann 1\n"
                           "0.73 bump ann 1 begin bot\n"
                           "0.74 url ann bot https://example.test/\n"
                           "0.75 console ann all the console\n"
                           "0.76 invite ann bot garden 1 0 1\n"
                           "0.77 join ann bot\n"
                           "0.78 permission ann eject bot on\n"
                           "0.79 teleport ann bot garden 1 2 3\n"
                           "0.8 leave nobody  # fails, logged\n"
                           "0.8 click ann nobody  # fails, logged\n"
                           "0.9 leave ann\n";
    sandbox::Options options = sandbox_options();
    options.script = path;
    RunningSandbox sandbox(options);
    Bot bot("bot");
    ASSERT_EQ(bot.connect_and_login(sandbox.universe_port()), 0);
    ASSERT_EQ(bot.enter("lobby"), 0);
    // The last step in the world, and the last one through the universe.
    ASSERT_TRUE(pump_until({&bot}, [&] {
        return bot.count_events(KIV_EVENT_AVATAR_DELETE) == 1 && bot.count_events(KIV_EVENT_JOIN);
    }));
    ASSERT_EQ(bot.count_events(KIV_EVENT_AVATAR_ADD), 1u);
    EXPECT_EQ(bot.events(KIV_EVENT_AVATAR_ADD)[0].at.s(KIV_AVATAR_NAME), "ann");
    ASSERT_EQ(bot.count_events(KIV_EVENT_CHAT), 2u);
    EXPECT_EQ(bot.events(KIV_EVENT_CHAT)[0].at.s(KIV_CHAT_MESSAGE), "hello there");
    EXPECT_EQ(bot.events(KIV_EVENT_CHAT)[1].at.s(KIV_CHAT_MESSAGE), "the console");
    EXPECT_EQ(bot.count_events(KIV_EVENT_OBJECT), 1u);
    for (const int event :
         {KIV_EVENT_AVATAR_CLICK, KIV_EVENT_OBJECT_CLICK, KIV_EVENT_OBJECT_BUMP_BEGIN,
          KIV_EVENT_URL, KIV_EVENT_INVITE, KIV_EVENT_JOIN, KIV_EVENT_TELEPORT}) {
        EXPECT_EQ(bot.count_events(event), 1u) << "event " << event;
    }
    EXPECT_EQ(bot.events(KIV_EVENT_OBJECT_CLICK)[0].at.i(KIV_OBJECT_ID), 1);
    EXPECT_EQ(bot.events(KIV_EVENT_INVITE)[0].at.s(KIV_INVITE_WORLD), "garden");
    EXPECT_EQ(bot.events(KIV_EVENT_TELEPORT)[0].at.s(KIV_TELEPORT_WORLD), "garden");
    ASSERT_EQ(answer_of({&bot}, bot, KIV_CALLBACK_WORLD_PERMISSIONS_GET_MY,
                        [&] { return kiv_world_permissions_get_my(bot.instance()); })
                  .rc,
              0);
    bool eject = false;
    for (const Seen& seen : bot.events(KIV_EVENT_WORLD_PERMISSION)) {
        eject = eject || seen.at.s(KIV_WORLD_PERMISSION_NAME) == "eject";
    }
    EXPECT_TRUE(eject);

    options.script = path + ".missing";
    EXPECT_THROW(sandbox::Sandbox missing(options), std::runtime_error);
}

}  // namespace
}  // namespace kivsdk::test
