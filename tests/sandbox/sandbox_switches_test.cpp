// The sandbox's switches for tests of reconnecting bots, each observed by a
// client: keep-alives, refused logins, a freeze, drops and a removed world,
// driven through the control port as kivsandbox serves it.
#include <gtest/gtest.h>

#include <chrono>
#include <memory>
#include <string>
#include <vector>

#include "control.h"
#include "options.h"
#include "sandbox_bot.h"
#include "support/test_pki.h"
#include "support/test_socket.h"

namespace kivsdk::test {
namespace {

using Kind = IoResult::Kind;

// One connection to the control port: a command out, its answer line back.
class Control {
public:
    explicit Control(int port) : socket_(TestSocket::connect(Loopback::kIPv4, port)) {
        socket_.set_timeouts(std::chrono::seconds(10));
    }

    std::string command(const std::string& line) {
        const std::string out = line + "\n";
        if (!socket_.send_all(reinterpret_cast<const unsigned char*>(out.data()), out.size())) {
            return "<send failed>";
        }
        std::string answer;
        unsigned char c = 0;
        while (socket_.recv_exact(&c, 1).kind == Kind::kData && c != '\n')
            answer += static_cast<char>(c);
        return answer;
    }

private:
    TestSocket socket_;
};

sandbox::Options with_control(sandbox::Options options = sandbox_options()) {
    options.control_port = 0;
    return options;
}

class SandboxSwitches : public ::testing::Test {
protected:
    RunningSandbox sandbox{with_control()};
    Control control{sandbox.server().control_port()};
    Bot alice{"alice"};
};

TEST(SandboxKeepAlive, ArrivesAfterTheSilenceSetUntilSwitchedOff) {
    sandbox::Options options = with_control();
    options.limits.keepalive_seconds = 1;
    RunningSandbox sandbox(options);
    RawClient client(sandbox.world_port("lobby"), std::chrono::seconds(3));
    ASSERT_TRUE(client.connected());
    for (int i = 0; i < 2; ++i) {
        const auto frame = client.read_frame();
        ASSERT_TRUE(frame.has_value()) << "keep-alive " << i;
        EXPECT_EQ(*frame, (RawClient::Bytes{28, 0, 0, 0, 0}));
    }

    // The universe sends them too (inside TLS, so counted as sent).
    Bot bot("ka");
    ASSERT_EQ(bot.connect_and_login(sandbox.universe_port()), 0);
    ASSERT_TRUE(pump_until(
        {&bot}, [&] { return sandbox.sent().seen(wire::Protocol::kUniverse, 28) > 0; }, 500));
    EXPECT_EQ(bot.count_events(KIV_EVENT_UNIVERSE_DISCONNECT), 0u);

    Control control(sandbox.server().control_port());
    EXPECT_EQ(control.command("keepalive 0"), "ok");
    client.discard_pending();  // one may have come before the switch
    EXPECT_EQ(client.next_read(), Kind::kTimedOut);
}

TEST_F(SandboxSwitches, RefusedLoginsGetTheirResultThenLoginsSucceed) {
    EXPECT_EQ(control.command("refuse-logins 2 2"), "ok");
    EXPECT_EQ(alice.connect_and_login(sandbox.universe_port()), KIV_RC_REJECTED);
    EXPECT_EQ(alice.connect_and_login(sandbox.universe_port()), KIV_RC_REJECTED);
    EXPECT_EQ(alice.connect_and_login(sandbox.universe_port()), 0);

    // From the command line, with another result.
    const sandbox::CommandLine line = sandbox::parse_command_line(
        {"--refuse-logins", "1:3", "--world", "hub", "--quiet"}, kTestPkiDir);
    ASSERT_EQ(line.action, sandbox::CommandLine::Action::kRun) << line.error;
    RunningSandbox other(line.options);
    Bot bob("bob");
    EXPECT_EQ(bob.connect_and_login(other.universe_port()), KIV_RC_LOGIN_DENIED);
    EXPECT_EQ(bob.connect_and_login(other.universe_port()), 0);
}

TEST_F(SandboxSwitches, AFrozenServerAnswersNothingUntilItThaws) {
    ASSERT_EQ(alice.connect_and_login(sandbox.universe_port()), 0);
    ASSERT_EQ(alice.enter("lobby"), 0);
    EXPECT_EQ(control.command("freeze 2"), "ok");
    ASSERT_EQ(kiv_world_list(alice.instance(), 0), 0);
    RawClient newcomer(sandbox.world_port("lobby"), std::chrono::milliseconds(500));
    ASSERT_TRUE(newcomer.connected());  // accepted by the kernel, not served

    pump({&alice}, 100);  // about a second of the freeze
    EXPECT_EQ(alice.count_callbacks(KIV_CALLBACK_WORLD_LIST), 0u);
    newcomer.send_frame({39});  // a TLS request: answered once thawed
    EXPECT_EQ(newcomer.next_read(), Kind::kTimedOut);

    ASSERT_TRUE(
        pump_until({&alice}, [&] { return alice.count_callbacks(KIV_CALLBACK_WORLD_LIST) == 1; }));
    EXPECT_EQ(alice.callbacks(KIV_CALLBACK_WORLD_LIST)[0].rc, 0);
    EXPECT_EQ(alice.count_events(KIV_EVENT_UNIVERSE_DISCONNECT), 0u);
    EXPECT_EQ(alice.count_events(KIV_EVENT_WORLD_DISCONNECT), 0u);
    EXPECT_EQ(kiv_say(alice.instance(), "still here"), 0);
    const auto refusal = newcomer.read_frame();
    ASSERT_TRUE(refusal.has_value());
    EXPECT_EQ(*refusal, (RawClient::Bytes{39, 1}));  // a plain world refuses TLS
}

TEST_F(SandboxSwitches, DropsCloseTheClientsOfOneServiceOrAll) {
    Bot bob("bob");
    ASSERT_EQ(alice.connect_and_login(sandbox.universe_port()), 0);
    ASSERT_EQ(alice.enter("lobby"), 0);
    ASSERT_EQ(bob.connect_and_login(sandbox.universe_port()), 0);

    EXPECT_EQ(control.command("drop world lobby"), "ok 1");
    ASSERT_TRUE(pump_until({&alice, &bob},
                           [&] { return alice.count_events(KIV_EVENT_WORLD_DISCONNECT) == 1; }));
    EXPECT_EQ(alice.count_events(KIV_EVENT_UNIVERSE_DISCONNECT), 0u);

    EXPECT_EQ(control.command("drop universe"), "ok 2");
    ASSERT_TRUE(pump_until({&alice, &bob}, [&] {
        return alice.count_events(KIV_EVENT_UNIVERSE_DISCONNECT) == 1 &&
               bob.count_events(KIV_EVENT_UNIVERSE_DISCONNECT) == 1;
    }));

    // Cleanly (the stream ends) or with a reset; each client is answered
    // once first, so the sandbox has surely taken it.
    const auto served = [&] {
        auto client = std::make_unique<RawClient>(sandbox.world_port("lobby"));
        client->send_frame({39});
        EXPECT_EQ(client->read_frame(), (RawClient::Bytes{39, 1}));
        return client;
    };
    const auto clean = served();
    EXPECT_EQ(control.command("drop world lobby"), "ok 1");
    EXPECT_EQ(clean->next_read(), Kind::kClosed);
    const auto reset = served();
    EXPECT_EQ(control.command("drop all reset"), "ok 1");
    EXPECT_EQ(reset->next_read(), Kind::kError);
}

TEST_F(SandboxSwitches, ARemovedWorldIsClosedUnlistedAndUnavailable) {
    ASSERT_EQ(alice.connect_and_login(sandbox.universe_port()), 0);
    ASSERT_EQ(alice.enter("lobby"), 0);
    const int port = sandbox.world_port("lobby");

    EXPECT_EQ(control.command("remove-world lobby"), "ok");
    ASSERT_TRUE(
        pump_until({&alice}, [&] { return alice.count_events(KIV_EVENT_WORLD_DISCONNECT) == 1; }));
    EXPECT_FALSE(RawClient(port).connected());
    EXPECT_EQ(sandbox.world_port("lobby"), -1);

    answer_of({&alice}, alice, KIV_CALLBACK_WORLD_LIST,
              [&] { return kiv_world_list(alice.instance(), 0); });
    const auto listed = alice.events(KIV_EVENT_WORLD_LIST);
    ASSERT_EQ(listed.size(), 1u);
    EXPECT_EQ(listed[0].at.s(KIV_WORLD_NAME), "garden");
    EXPECT_EQ(alice.enter("lobby"), KIV_RC_WORLD_UNAVAILABLE);

    EXPECT_EQ(control.command("remove-world lobby"), "error: no world lobby");
    EXPECT_EQ(control.command("drop world lobby"), "error: no world lobby");
}

TEST(SandboxControl, RefusesMalformedCommands) {
    sandbox::Sandbox idle(sandbox_options());
    for (const char* bad : {"", "freeze", "freeze soon", "freeze -1", "drop", "drop world",
                            "drop moon", "drop all gently", "refuse-logins 2", "refuse-logins 2 0",
                            "keepalive x", "remove-world", "teleport home"}) {
        EXPECT_EQ(sandbox::run_control_line(idle, bad).rfind("error: ", 0), 0u) << bad;
    }
    EXPECT_EQ(sandbox::run_control_line(idle, "drop all reset"), "ok 0");
    EXPECT_EQ(sandbox::run_control_line(idle, "freeze 0.25"), "ok");
}

}  // namespace
}  // namespace kivsdk::test
