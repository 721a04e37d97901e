// Fault injection through the socket table: long conversations in both
// directions while the table returns short writes, would-block and failed
// writes, and chunked, empty and failed reads. Every frame that went through
// before a reported failure arrives whole, in order and once; a failure is
// reported exactly once and nothing touches the socket afterwards.
#include <gtest/gtest.h>

#include <iostream>
#include <random>
#include <string>

#include "api/instance.h"
#include "connection/connection.h"
#include "reliability/observer.h"
#include "support/fake_clock.h"
#include "support/recording_table.h"
#include "support/scripted_servers.h"
#include "support/session_fixture.h"
#include "universe/universe_session.h"

namespace kivsdk::test {
namespace {

struct Tally {
    int conversations = 0;
    int ended_by_failure = 0;
    int frames_out = 0;
    int frames_in = 0;
    RecordingTable::Faults injected;

    void print(const char* what) const {
        std::cout << what << ": " << conversations << " conversations (" << ended_by_failure
                  << " ended by an injected failure), " << frames_out << " frames sent and "
                  << frames_in << " received, all checked; injected " << injected.short_writes
                  << " short writes, " << injected.would_block_writes << " would-blocks, "
                  << injected.failed_writes << " failed writes, " << injected.chunked_reads
                  << " chunked reads, " << injected.empty_reads << " empty reads, "
                  << injected.failed_reads << " failed reads\n";
    }
};

std::string numbered(char side, int n, std::size_t padding) {
    return side + std::to_string(n) + ":" + std::string(padding, 'x');
}

// Checks that the library's output after the login is exactly the lines it
// was asked to say, in order and each once; a trailing piece of a frame is
// allowed only after a loss. Returns the number of frames checked.
int check_said(const Bytes& stream, const std::vector<std::string>& said, bool lost) {
    std::size_t rest = 0;
    const std::vector<Bytes> frames = cut_frames(stream, rest);
    EXPECT_LE(frames.size(), said.size());
    for (std::size_t i = 0; i < frames.size() && i < said.size(); ++i) {
        std::string text;
        EXPECT_TRUE(said_text(frames[i], text)) << "frame " << i << " is not a chat line";
        EXPECT_EQ(text, said[i]) << "frame " << i << " is out of order, doubled or damaged";
    }
    if (!lost) {
        EXPECT_EQ(frames.size(), said.size()) << "lines were lost without a failure";
        EXPECT_EQ(rest, 0u);
    }
    return static_cast<int>(frames.size());
}

int check_heard(const Observer& seen, int served, bool lost) {
    EXPECT_LE(seen.heard.size(), static_cast<std::size_t>(served));
    for (std::size_t i = 0; i < seen.heard.size(); ++i) {
        EXPECT_EQ(seen.heard[i].substr(0, seen.heard[i].find(':')), "s" + std::to_string(i))
            << "line " << i << " is out of order or doubled";
    }
    if (!lost) {
        EXPECT_EQ(seen.heard.size(), static_cast<std::size_t>(served));
    }
    return static_cast<int>(seen.heard.size());
}

// ---- Over the recording table -----------------------------------------------

constexpr RecordingTable::Faults kScriptedOdds{200, 100, 2, 300, 100, 2};

void scripted_conversation(std::uint32_t seed, Tally& tally) {
    FakeClock clock{20000};
    RecordingTable net;
    const KIVNetConfig table = net.table();
    KIVInstance* handle = kiv_create(&table);
    ASSERT_NE(handle, nullptr);
    Observer seen;
    seen.attach(handle, true);

    // Into a world the host's way, without faults.
    Instance& instance = *Instance::from_handle(handle);
    instance.universe.connection = std::make_unique<Connection>(instance.operations(),
                                                     universe_connection_handlers(), instance);
    instance.universe.connection->connect("universe.test", 6670);
    RecordingTable::Socket& universe = net.last_socket();
    net.post(universe, KIV_NET_CONNECT_RESULT, 0);
    instance.universe.ready = true;
    ASSERT_EQ(kiv_enter(handle, "plaza"), 0);
    net.deliver(universe, framed(world_entry_reply(test_ticket(3), 57002, false, "world.test")));
    RecordingTable::Socket& world = net.last_socket();
    net.post(world, KIV_NET_CONNECT_RESULT, 0);
    net.deliver(world, framed({1, 0}));
    ASSERT_EQ(seen.enter_results, std::vector<int>{0});
    const std::size_t login_end = world.written.size();

    net.inject_faults(kScriptedOdds, seed);
    std::mt19937 random(seed);
    std::vector<std::string> said;
    int served = 0;
    for (int pass = 0; pass < 150; ++pass) {
        const int to_serve = static_cast<int>(random() % 4);
        Bytes burst;
        for (int i = 0; i < to_serve; ++i) {
            const Bytes one = framed(chat_body("server", numbered('s', served++, random() % 250)));
            burst.insert(burst.end(), one.begin(), one.end());
        }
        if (!world.destroyed && !burst.empty()) {
            net.serve(world, burst);
            net.post(world, KIV_NET_READABLE);
        }
        const int to_say = static_cast<int>(random() % 4);
        for (int i = 0; i < to_say; ++i) {
            const std::string line = numbered('c', static_cast<int>(said.size()), random() % 250);
            // Once the world is lost, requests say so and send nothing (a
            // send that fails inside the call is reported by the event).
            const bool lost_before = seen.world_lost() > 0;
            const int rc = kiv_say(handle, line.c_str());
            ASSERT_EQ(rc, lost_before ? KIV_RC_CONNECTION_ERROR : KIV_RC_SUCCESS);
            if (rc == KIV_RC_SUCCESS) said.push_back(line);
        }
        kiv_wait(handle, 0);
    }
    // The rest goes through without faults.
    net.inject_faults({}, seed);
    for (int pass = 0; pass < 3; ++pass) {
        if (!world.destroyed) net.post(world, KIV_NET_READABLE);
        kiv_wait(handle, 0);
    }

    const RecordingTable::Faults& injected = net.injected();
    const int failures = injected.failed_writes + injected.failed_reads;
    const bool lost = failures > 0;
    EXPECT_LE(failures, 1) << "the socket was used after the first failure";
    ASSERT_EQ(seen.world_lost(), lost ? 1 : 0) << "seed " << seed;
    if (lost) {
        EXPECT_EQ(seen.world_losses[0], injected.failed_writes > 0 ? 9 : -1);
        EXPECT_TRUE(world.destroyed) << "a lost stream keeps its socket";
    }
    const Bytes output(world.written.begin() + static_cast<long>(login_end), world.written.end());
    tally.frames_out += check_said(output, said, lost);
    tally.frames_in += check_heard(seen, served, lost);
    EXPECT_EQ(net.operations_after_destroy(), 0);
    EXPECT_TRUE(seen.universe_losses.empty());

    ++tally.conversations;
    tally.ended_by_failure += lost ? 1 : 0;
    tally.injected += injected;
    kiv_destroy(handle);
}

TEST(FaultInjection, ScriptedConversationsKeepOrderAndReportOneLoss) {
    Tally tally;
    for (std::uint32_t seed = 1; seed <= 400; ++seed) {
        scripted_conversation(seed, tally);
        if (HasFatalFailure() || HasFailure()) {
            ADD_FAILURE() << "first failing seed: " << seed;
            break;
        }
    }
    tally.print("scripted");
    // Both endings must have been exercised, and every kind of fault.
    EXPECT_GT(tally.ended_by_failure, 0);
    EXPECT_LT(tally.ended_by_failure, tally.conversations);
    EXPECT_GT(tally.injected.short_writes, 0);
    EXPECT_GT(tally.injected.would_block_writes, 0);
    EXPECT_GT(tally.injected.failed_writes, 0);
    EXPECT_GT(tally.injected.chunked_reads, 0);
    EXPECT_GT(tally.injected.empty_reads, 0);
    EXPECT_GT(tally.injected.failed_reads, 0);
}

// ---- Over loopback, plain and TLS ---------------------------------------------

constexpr RecordingTable::Faults kLoopbackOdds{300, 150, 0, 400, 150, 0};
constexpr int kLoopbackLines = 300;

void loopback_conversation(bool secure, std::uint32_t seed, Tally& tally) {
    RecordingTable net{RecordingTable::Sockets::kReal};
    net.inject_faults(kLoopbackOdds, seed);
    TlsTestServer universe;
    TlsTestServer world;
    world.on_connection([secure](ServerConnection& c) {
        if (world_opening(c, secure).empty()) return;
        c.write_frame({1, 0});
        for (int i = 0; i < kLoopbackLines; ++i) {
            c.write_frame(chat_body("server", numbered('s', i, static_cast<std::size_t>(i % 200))));
        }
        for (int lines = 0; lines < kLoopbackLines;) {
            if (c.read_frame().at(0) == 9) ++lines;
        }
        c.wait_for_close();
    });
    universe.on_connection([&world, secure](ServerConnection& c) {
        if (universe_opening(c) != 0) return;
        c.read_frame();
        c.write_frame(world_entry_reply(test_ticket(4), world.port(), secure, "localhost"));
        c.wait_for_close();
    });

    const KIVNetConfig table = net.table();
    KIVInstance* handle = kiv_create(&table);
    ASSERT_NE(handle, nullptr);
    Observer seen;
    seen.attach(handle, false);
    ASSERT_EQ(kiv_connect_universe(handle, universe.host(), universe.port()), 0);
    ASSERT_EQ(kiv_enter(handle, "plaza"), 0);
    std::vector<std::string> said;
    for (int i = 0; i < kLoopbackLines; ++i) {
        said.push_back(numbered('c', i, static_cast<std::size_t>((i * 7) % 240)));
        ASSERT_EQ(kiv_say(handle, said.back().c_str()), 0);
    }
    for (int pass = 0; pass < 3000; ++pass) {
        if (seen.heard.size() == kLoopbackLines &&
            world.wait_for_frames(0, kLoopbackLines + (secure ? 2u : 1u),
                                  std::chrono::milliseconds(0))) {
            break;
        }
        kiv_wait(handle, 10);
    }
    kiv_destroy(handle);
    ASSERT_TRUE(world.wait_for_finished(1)) << world.report(0).error;

    Bytes stream;
    std::vector<Bytes> chat;
    for (const ReceivedFrame& frame : world.report(0).frames) {
        if (!frame.body.empty() && frame.body[0] == 9) chat.push_back(frame.body);
        EXPECT_EQ(frame.secure, secure && frame.body != Bytes{39})
            << "frame of type " << int{frame.body.empty() ? -1 : frame.body[0]};
    }
    for (const Bytes& body : chat) {
        const Bytes one = framed(body);
        stream.insert(stream.end(), one.begin(), one.end());
    }
    tally.frames_out += check_said(stream, said, false);
    tally.frames_in += check_heard(seen, kLoopbackLines, false);
    EXPECT_TRUE(seen.world_losses.empty());
    EXPECT_TRUE(seen.universe_losses.empty());
    EXPECT_EQ(net.operations_after_destroy(), 0);
    EXPECT_EQ(net.notifications_after_destroy(), 0);
    EXPECT_GT(net.injected().total(), 0);
    ++tally.conversations;
    tally.injected += net.injected();
}

TEST(FaultInjection, LoopbackConversationsPlainAndOverTls) {
    if (!kLibraryTrustsSandbox) GTEST_SKIP() << "the library trusts the deployment's CAs";
    Tally tally;
    for (std::uint32_t seed = 1; seed <= 3; ++seed) {
        loopback_conversation(false, seed, tally);
        loopback_conversation(true, seed, tally);
        if (HasFailure()) break;
    }
    tally.print("loopback");
}

}  // namespace
}  // namespace kivsdk::test
