// The greeter's answers, as a C++ bot, tested against the kit in this process.
#include <gtest/gtest.h>
#include <ctime>
#include <regex>

#include "kivsandbox.hpp"
#include "kivsdk.hpp"

// The bot: greets each arrival by name and answers "!time".
static void greet(kivsdk::Client& bot) {
    bot.on(KIV_EVENT_AVATAR_ADD, [](kivsdk::Client& c) {
        c.say("Hello, " + c.get(KIV_AVATAR_NAME) + "! Say !time and I'll tell you the time.");
    });
    bot.on(KIV_EVENT_CHAT, [](kivsdk::Client& c) {
        if (c.get(KIV_CHAT_MESSAGE) != "!time") return;
        char line[64];
        const std::time_t now = std::time(nullptr);
        std::strftime(line, sizeof line, "It is %H:%M:%S UTC.", std::gmtime(&now));
        c.say(line);
    });
}

TEST(Greeter, WelcomesAnArrivalAndTellsTheTime) {
    kivsdk::Sandbox kit{"--world", "lobby"};
    kivsdk::Client bot;
    greet(bot);
    ASSERT_EQ(kivsdk::Sandbox::trust(bot.handle()), 0);
    kivsdk::check(bot.connect_universe("127.0.0.1", kit.universe_port()), "connect");
    kivsdk::check(bot.login("greeter", "secret"), "login");
    kivsdk::check(bot.enter("lobby"), "enter");
    kit.forget_sent();  // from here on, the kit records only what the bot says
    kit.actor_enter("ann", "lobby");
    kit.actor_say("ann", "!time");
    for (int i = 0; i < 100 && kit.sent("greeter", "lobby").size() < 2; ++i) bot.wait(50);
    const std::vector<std::string> said = kit.sent("greeter", "lobby");
    ASSERT_EQ(said.size(), 2u);
    EXPECT_EQ(said[0], R"(say text="Hello, ann! Say !time and I'll tell you the time.")");
    EXPECT_TRUE(std::regex_match(said[1], std::regex(R"(say text="It is \d\d:\d\d:\d\d UTC\.")")));
}
