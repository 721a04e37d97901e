// Replay: a recording written here record by record plays into a fresh
// Instance as the server's side of its session, waits for what the host
// sends, keeps recorded time when asked, and refuses what it cannot play.
#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <vector>

#include "kivsdk.h"
#include "support/capture_builder.h"
#include "support/fake_clock.h"
#include "support/temp_path.h"

namespace kivsdk::test {
namespace {

using Bytes = CaptureBuilder::Bytes;
using Capture = CaptureBuilder;

struct Fired {
    bool callback;
    int number;
    int rc;
    bool operator==(const Fired& other) const {
        return callback == other.callback && number == other.number && rc == other.rc;
    }
};
std::vector<Fired>* g_fired = nullptr;

void on_callback(KIVInstance* instance, int rc, int) {
    g_fired->push_back({true, kiv_int(instance, KIV_CURRENT_CALLBACK), rc});
}
void on_event(KIVInstance* instance) {
    g_fired->push_back({false, kiv_int(instance, KIV_CURRENT_EVENT), 0});
}

class Replaying : public ::testing::Test {
protected:
    std::string path = temp_path_for_this_test(".kivcap");
    KIVInstance* bot = kiv_create(nullptr);
    std::vector<Fired> fired;

    void SetUp() override {
        g_fired = &fired;
        kiv_event_set(bot, KIV_EVENT_UNIVERSE_DISCONNECT, on_event);
    }
    void TearDown() override {
        kiv_destroy(bot);
        g_fired = nullptr;
        std::remove(path.c_str());
    }
    KIVReplayStatus status() {
        KIVReplayStatus now{};
        EXPECT_EQ(kiv_replay_status(bot, &now, sizeof now), KIV_RC_SUCCESS);
        return now;
    }
};

TEST_F(Replaying, PlaysTheServerSideOfConnectAndLoginThenTheRecordedLoss) {
    Capture()
        .opening()
        .login()
        .event(60, wire::CaptureKind::kReported, -1, KIV_DETAIL_CLOSED_BY_PEER)
        .save(path);
    ASSERT_EQ(kiv_replay_start(bot, path.c_str(), KIV_REPLAY_AS_FAST_AS_POSSIBLE), 0);
    kiv_callback_set(bot, KIV_CALLBACK_CONNECT_UNIVERSE, on_callback);
    kiv_callback_set(bot, KIV_CALLBACK_LOGIN, on_callback);
    EXPECT_EQ(status().waiting, KIV_REPLAY_WAITS_FOR_CONNECT);

    ASSERT_EQ(kiv_connect_universe(bot, "universe.test", 6670), 0);
    ASSERT_EQ(kiv_wait(bot, 0), 0);
    EXPECT_EQ(fired, (std::vector<Fired>{{true, KIV_CALLBACK_CONNECT_UNIVERSE, 0}}));
    KIVReplayStatus now = status();
    EXPECT_EQ(now.waiting, KIV_REPLAY_WAITS_FOR_SEND) << "the login reply waits for the login";
    EXPECT_EQ(now.waiting_side, KIV_SIDE_UNIVERSE);
    EXPECT_EQ(now.waiting_type, 1);
    EXPECT_EQ(now.position, 4);
    ASSERT_EQ(kiv_wait(bot, 0), 0);
    EXPECT_EQ(fired.size(), 1u) << "nothing overtakes the login";

    ASSERT_EQ(kiv_login(bot, "ann", "secret", ""), 0);
    ASSERT_EQ(kiv_wait(bot, 0), 0);
    EXPECT_EQ(fired, (std::vector<Fired>{{true, KIV_CALLBACK_CONNECT_UNIVERSE, 0},
                                         {true, KIV_CALLBACK_LOGIN, 0},
                                         {false, KIV_EVENT_UNIVERSE_DISCONNECT, 0}}));
    EXPECT_EQ(kiv_int(bot, KIV_LOGIN_REPLY_VALUE), 7);
    EXPECT_STREQ(kiv_string(bot, KIV_LOGIN_REPLY_STRING), "welcome");
    EXPECT_EQ(kiv_int(bot, KIV_DISCONNECT_REASON), -1);
    EXPECT_EQ(kiv_int(bot, KIV_DISCONNECT_DETAIL), KIV_DETAIL_CLOSED_BY_PEER);
    EXPECT_EQ(kiv_state(bot, KIV_SIDE_UNIVERSE), KIV_STATE_LOST);
    now = status();
    EXPECT_EQ(now.waiting, KIV_REPLAY_FINISHED);
    EXPECT_EQ(now.records, 7);
    EXPECT_EQ(now.position, 7);
    EXPECT_EQ(now.sent, 2) << "the secure-channel request and the login";
    EXPECT_EQ(now.mismatched, 0);
    KIVStats stats{};
    ASSERT_EQ(kiv_stats(bot, &stats, sizeof stats), 0);
    EXPECT_EQ(stats.universe.frames_in, 2);
    EXPECT_EQ(stats.universe.frames_out, 2);
    EXPECT_EQ(stats.universe.losses, 1);
}

TEST_F(Replaying, BlockingFormsPlayTooAndAHostThatDivergesIsCountedOrSkips) {
    Capture()
        .opening()
        .login()
        .frame(70, wire::CaptureKind::kToServer, {28, 0, 0, 0, 0})  // a keep-alive: never awaited
        .frame(80, wire::CaptureKind::kToServer, {3, 0, 0, 0, 0})   // world list
        .frame(90, wire::CaptureKind::kFromServer, {3, 0})          // its end
        .frame(100, wire::CaptureKind::kToServer, {6})              // friend list
        .event(110, wire::CaptureKind::kReported, -1, KIV_DETAIL_RESET)
        .save(path);
    ASSERT_EQ(kiv_replay_start(bot, path.c_str(), 0), 0);
    EXPECT_EQ(kiv_connect_universe(bot, "universe.test", 6670), 0);
    EXPECT_EQ(kiv_login(bot, "ann", "secret", ""), 0);
    EXPECT_EQ(kiv_int(bot, KIV_LOGIN_REPLY_VALUE), 7);
    EXPECT_EQ(kiv_replay_skip(bot), KIV_RC_SUCCESS) << "the world list is not sent";
    ASSERT_EQ(kiv_wait(bot, 0), 0);
    KIVReplayStatus now = status();
    EXPECT_EQ(now.waiting, KIV_REPLAY_WAITS_FOR_SEND);
    EXPECT_EQ(now.waiting_type, 6);
    EXPECT_EQ(now.skipped, 2) << "the keep-alive and the skipped world list";
    // The host asks for something else: it plays on, and the difference counts.
    ASSERT_EQ(kiv_user_attributes_by_id(bot, 5), 0);
    ASSERT_EQ(kiv_wait(bot, 0), 0);
    EXPECT_EQ(fired, (std::vector<Fired>{{false, KIV_EVENT_UNIVERSE_DISCONNECT, 0}}));
    EXPECT_EQ(kiv_int(bot, KIV_DISCONNECT_DETAIL), KIV_DETAIL_RESET);
    now = status();
    EXPECT_EQ(now.waiting, KIV_REPLAY_FINISHED);
    EXPECT_EQ(now.mismatched, 1);
    EXPECT_EQ(kiv_replay_skip(bot), KIV_RC_INVALID_ARGUMENT) << "nothing left to skip";
}

TEST_F(Replaying, RecordedTimingHoldsEachRecordUntilItsTime) {
    FakeClock clock;
    Capture()
        .opening()
        .login(3000000)  // the reply came 3 s after the capture began
        .save(path);
    ASSERT_EQ(kiv_replay_start(bot, path.c_str(), KIV_REPLAY_RECORDED_TIMING), 0);
    kiv_callback_set(bot, KIV_CALLBACK_CONNECT_UNIVERSE, on_callback);
    kiv_callback_set(bot, KIV_CALLBACK_LOGIN, on_callback);
    ASSERT_EQ(kiv_connect_universe(bot, "universe.test", 6670), 0);
    ASSERT_EQ(kiv_wait(bot, 0), 0);
    EXPECT_EQ(fired.size(), 0u) << "the handshake ended 30 us in";
    clock.advance(1);
    ASSERT_EQ(kiv_wait(bot, 0), 0);
    ASSERT_EQ(kiv_login(bot, "ann", "secret", ""), 0);
    ASSERT_EQ(kiv_wait(bot, 0), 0);
    EXPECT_EQ(fired.size(), 1u) << "the reply is not due yet";
    EXPECT_EQ(status().waiting, KIV_REPLAY_WAITS_FOR_TIME);
    clock.advance(1);
    ASSERT_EQ(kiv_wait(bot, 0), 0);
    EXPECT_EQ(fired.size(), 1u);
    clock.advance(1);
    ASSERT_EQ(kiv_wait(bot, 0), 0);
    EXPECT_EQ(fired.size(), 2u);
    EXPECT_EQ(status().waiting, KIV_REPLAY_FINISHED);
}

TEST_F(Replaying, RefusesWhatItCannotPlay) {
    Capture capture;
    capture.opening();
    capture.save(path);
    EXPECT_EQ(kiv_replay_start(nullptr, path.c_str(), 0), KIV_RC_INVALID_ARGUMENT);
    EXPECT_EQ(kiv_replay_start(bot, nullptr, 0), KIV_RC_INVALID_ARGUMENT);
    EXPECT_EQ(kiv_replay_start(bot, path.c_str(), 2), KIV_RC_INVALID_ARGUMENT) << "unknown flag";
    EXPECT_EQ(kiv_replay_start(bot, (path + ".missing").c_str(), 0), KIV_RC_CONNECTION_ERROR);
    KIVReplayStatus now{};
    EXPECT_EQ(kiv_replay_status(bot, &now, sizeof now), KIV_RC_INVALID_ARGUMENT) << "no replay";
    EXPECT_EQ(kiv_replay_skip(bot), KIV_RC_INVALID_ARGUMENT);

    for (const Bytes& bad : {Bytes{'h', 'e', 'l', 'l', 'o'},
                             Bytes(capture.bytes().begin(), capture.bytes().end() - 1)}) {
        Capture::save(path, bad);
        EXPECT_EQ(kiv_replay_start(bot, path.c_str(), 0), KIV_RC_INVALID_ARGUMENT)
            << "not a whole capture";
    }
    capture.save(path);
    ASSERT_EQ(kiv_replay_start(bot, path.c_str(), 0), KIV_RC_SUCCESS);
    EXPECT_EQ(kiv_replay_start(bot, path.c_str(), 0), KIV_RC_INVALID_ARGUMENT) << "already";
    EXPECT_EQ(kiv_replay_skip(bot), KIV_RC_INVALID_ARGUMENT) << "it waits for a connect";
    EXPECT_EQ(kiv_replay_status(bot, nullptr, 8), KIV_RC_INVALID_ARGUMENT);
    now.records = -5;
    EXPECT_EQ(kiv_replay_status(bot, &now, 2 * sizeof(int)), KIV_RC_SUCCESS);
    EXPECT_EQ(now.size, static_cast<int>(2 * sizeof(int)));
    EXPECT_EQ(now.records, 4);

    // An Instance that has connected already talks to a real server.
    KIVInstance* used = kiv_create(nullptr);
    kiv_callback_set(used, KIV_CALLBACK_CONNECT_UNIVERSE, [](KIVInstance*, int, int) {});
    kiv_connect_universe(used, "127.0.0.1", 1);
    EXPECT_EQ(kiv_replay_start(used, path.c_str(), 0), KIV_RC_INVALID_ARGUMENT);
    kiv_destroy(used);
}

}  // namespace
}  // namespace kivsdk::test
