// The sandbox's own pieces: cutting frames out of a stream and its command
// line.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "core/frame_codec.h"
#include "options.h"

namespace kivsdk::test {
namespace {

using server::Bytes;
using server::FrameDecoder;

std::vector<Bytes> drain(FrameDecoder& decoder) {
    std::vector<Bytes> bodies;
    const unsigned char* body = nullptr;
    std::size_t size = 0;
    while (decoder.next(body, size)) bodies.emplace_back(body, body + size);
    return bodies;
}

TEST(FrameDecoder, CutsFramesFromPiecesOfAnySizeAndSkipsEmptyOnes) {
    const Bytes stream = {0x00, 0x01, 0x1C, 0x00, 0x00, 0x00, 0x03,
                          0x09, 0x01, 'x',  0x00, 0x01, 0x27};
    for (std::size_t piece = 1; piece <= stream.size(); ++piece) {
        FrameDecoder decoder;
        std::vector<Bytes> bodies;
        for (std::size_t at = 0; at < stream.size(); at += piece) {
            const std::size_t n = std::min(piece, stream.size() - at);
            ASSERT_TRUE(decoder.feed(stream.data() + at, n));
            for (Bytes& body : drain(decoder)) bodies.push_back(body);
        }
        const std::vector<Bytes> expected = {{0x1C}, {0x09, 0x01, 'x'}, {0x27}};
        EXPECT_EQ(bodies, expected) << "pieces of " << piece;
        EXPECT_FALSE(decoder.partial());
    }
}

TEST(FrameDecoder, HoldsAnIncompleteFrameAndHandsOverTheRest) {
    FrameDecoder decoder;
    const Bytes start = {0x00, 0x01, 0x27, 0x16, 0x03, 0x01};  // a frame, then a TLS record start
    ASSERT_TRUE(decoder.feed(start.data(), start.size()));
    EXPECT_EQ(drain(decoder), std::vector<Bytes>{{0x27}});
    EXPECT_TRUE(decoder.partial());
    EXPECT_EQ(decoder.take(), (Bytes{0x16, 0x03, 0x01}));
    EXPECT_FALSE(decoder.partial());

    // The largest announced frame waits for all of its bytes.
    const Bytes huge_header = {0xFF, 0xFF, 0x01};
    ASSERT_TRUE(decoder.feed(huge_header.data(), huge_header.size()));
    EXPECT_TRUE(drain(decoder).empty());
    EXPECT_EQ(decoder.buffered(), 3u);
    // More than one chunk at once is refused.
    const Bytes too_much(server::kMaxChunk + 1, 0);
    EXPECT_FALSE(decoder.feed(too_much.data(), too_much.size()));
    EXPECT_EQ(decoder.buffered(), 3u);
}

TEST(FrameCodec, FramesBodiesUpToTheLengthFieldsLimit) {
    EXPECT_EQ(server::frame_of({0x1C, 0, 0, 0, 0}), (Bytes{0x00, 0x05, 0x1C, 0, 0, 0, 0}));
    Bytes out;
    const Bytes largest(server::kMaxBody, 7);
    EXPECT_TRUE(server::append_frame(out, largest.data(), largest.size()));
    EXPECT_EQ(out.size(), largest.size() + 2);
    EXPECT_EQ(out[0], 0xFF);
    const Bytes over(server::kMaxBody + 1, 7);
    EXPECT_FALSE(server::append_frame(out, over.data(), over.size()));
    EXPECT_EQ(out.size(), largest.size() + 2);
}

TEST(SandboxCommandLine, ReadsWorldsPortsAndRules) {
    const sandbox::CommandLine line = sandbox::parse_command_line(
        {"--universe-port", "7000", "--world", "hub", "--world", "vault:tls:7002", "--world",
         "yard:plain", "--password", "pw", "--admin", "root", "--stall-timeout", "3", "--quiet"},
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
