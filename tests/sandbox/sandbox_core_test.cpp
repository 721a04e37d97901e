// The sandbox's own pieces: a client's input as the server loop fills it
// and its command line.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "core/frame_codec.h"
#include "options.h"
#include "sandbox_bot.h"
#include "wire/frame.h"

namespace kivsdk::test {
namespace {

using server::Bytes;
using server::ClientInput;

// What the loop does with received bytes: lands them in place, in reads of
// at most `read` bytes, and takes every frame they complete.
std::vector<Bytes> receive(ClientInput& input, const Bytes& stream, std::size_t read) {
    FrameReader& frames = input.frames();
    std::vector<Bytes> bodies;
    for (std::size_t at = 0; at < stream.size();) {
        const std::size_t room = static_cast<std::size_t>(frames.write_room());
        EXPECT_GT(room, 0u) << "no room for a read at byte " << at;
        if (room == 0) break;
        const std::size_t n = std::min({read, room, stream.size() - at});
        std::copy_n(stream.begin() + static_cast<std::ptrdiff_t>(at), n, frames.write_area());
        frames.commit(static_cast<std::int32_t>(n));
        at += n;
        const unsigned char* body = nullptr;
        std::uint16_t length = 0;
        while (frames.next(body, length)) bodies.emplace_back(body, body + length);
    }
    return bodies;
}

TEST(ClientInput, TakesTheLargestFramesInTheLoopsReadsWhereverTheyWrap) {
    // Largest frames between small ones: the input wraps around its storage
    // end many times and must always have room for the next read.
    const Bytes largest(kMaxFrameBody, 0x5A);
    const Bytes small = {9, 1, 'x'};
    Bytes stream;
    std::vector<Bytes> expected;
    for (int i = 0; i < 5; ++i) {
        for (const Bytes* body : {&largest, &small}) {
            const Bytes frame = frame_of(*body);
            stream.insert(stream.end(), frame.begin(), frame.end());
            expected.push_back(*body);
        }
    }
    for (const std::size_t read : {std::size_t{1000}, std::size_t{16384}, std::size_t{65536}}) {
        ClientInput input;
        EXPECT_EQ(receive(input, stream, read), expected) << "reads of " << read;
        EXPECT_FALSE(input.frames().partial());
    }
}

TEST(ClientInput, HoldsAnIncompleteFrameAndHandsOverTheRestAtTheSwitchToTls) {
    ClientInput input;
    const Bytes start = {0x00, 0x01, 0x27, 0x16, 0x03, 0x01};  // a frame, then a TLS record start
    EXPECT_EQ(receive(input, start, start.size()), std::vector<Bytes>{{0x27}});
    EXPECT_TRUE(input.frames().partial());
    EXPECT_EQ(input.frames().take(), (Bytes{0x16, 0x03, 0x01}));
    EXPECT_FALSE(input.frames().partial());

    // The largest announced frame waits for all of its bytes.
    const Bytes huge_start = {0xFF, 0xFF, 0x01};
    EXPECT_TRUE(receive(input, huge_start, huge_start.size()).empty());
    EXPECT_EQ(input.frames().pending_length(), 0xFFFF);
    EXPECT_TRUE(input.frames().partial());
}

TEST(SandboxCommandLine, ReadsWorldsPortsAndRules) {
    const sandbox::CommandLine line = sandbox::parse_command_line(
        {"--universe-port", "7000", "--world", "hub", "--world", "vault:tls:7002", "--world",
         "yard:plain", "--password", "pw", "--admin", "root", "--stall-timeout", "3", "--quiet",
         "--keepalive", "5", "--control-port", "0"},
        "/pki");
    ASSERT_EQ(line.action, sandbox::CommandLine::Action::kRun);
    const sandbox::Options& o = line.options;
    EXPECT_EQ(o.universe_port, 7000);
    ASSERT_EQ(o.worlds.size(), 3u);
    EXPECT_EQ(o.worlds[0].name, "hub");
    EXPECT_FALSE(o.worlds[0].secure);
    EXPECT_EQ(o.worlds[0].port, 0);
    EXPECT_TRUE(o.worlds[1].secure);
    EXPECT_EQ(o.worlds[1].port, 7002);
    EXPECT_FALSE(o.worlds[2].secure);
    EXPECT_EQ(o.password.value_or(""), "pw");
    EXPECT_EQ(o.admins, std::vector<std::string>{"root"});
    EXPECT_EQ(o.limits.stall_seconds, 3);
    EXPECT_EQ(o.limits.keepalive_seconds, 5);
    EXPECT_EQ(o.control_port, 0);
    EXPECT_FALSE(o.log_connections);
    EXPECT_EQ(o.universe_identity.cert, "/pki/universe-server.pem");
    EXPECT_EQ(o.world_identity.key, "/pki/world-server.key");
    EXPECT_EQ(o.bind, "127.0.0.1");
}

TEST(SandboxCommandLine, RefusesWhatItCannotUse) {
    for (const std::vector<std::string>& bad :
         std::vector<std::vector<std::string>>{{"--universe-port", "70000"},
                                               {"--universe-port", "12ab"},
                                               {"--world", ""},
                                               {"--world", "hub:ssl"},
                                               {"--world", "hub", "--world", "hub:tls"},
                                               {"--stall-timeout", "0"},
                                               {"--keepalive", "-1"},
                                               {"--refuse-logins", "2"},
                                               {"--refuse-logins", "2:0"},
                                               {"--control-port", "x"},
                                               {"--bind"},
                                               {"--frobnicate", "1"}}) {
        const sandbox::CommandLine line = sandbox::parse_command_line(bad, "/pki");
        EXPECT_EQ(line.action, sandbox::CommandLine::Action::kError) << bad[0];
        EXPECT_FALSE(line.error.empty());
    }
    EXPECT_EQ(sandbox::parse_command_line({"--world", "a", "--help"}, "/pki").action,
              sandbox::CommandLine::Action::kHelp);
}

}  // namespace
}  // namespace kivsdk::test
