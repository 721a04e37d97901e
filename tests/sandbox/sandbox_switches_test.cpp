// The sandbox's keep-alives and its control port as kivsandbox serves it.
// (What each fault switch does to a bot is tested through the test kit.)
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
