// The counters of an Instance follow what its Connections carried.
#include "support/session_fixture.h"

namespace kivsdk::test {
namespace {

class Stats : public SessionTest {
protected:
    KIVStats read() {
        KIVStats stats{};
        EXPECT_EQ(kiv_stats(handle, &stats, static_cast<int>(sizeof stats)), KIV_RC_SUCCESS);
        EXPECT_EQ(stats.size, static_cast<int>(sizeof stats));
        return stats;
    }
};

TEST_F(Stats, CountFramesBytesRoundTripsUnknownMessagesAndLossesPerSide) {
    RecordingTable::Socket& world = open_world();
    const KIVStats before = read();
    EXPECT_EQ(before.world.rtt_last_us, -1) << "no round trip yet";

    const Bytes chat = Message(9).string("Ann").string("hi").int32(3).bytes();
    for (int i = 0; i < 3; ++i) receive(world, chat);
    receive(world, Message(200).bytes());
    ASSERT_EQ(kiv_object_get(handle, 7), KIV_RC_SUCCESS);
    receive(world, Message(17).int32(0).byte(1).bytes());

    KIVStats stats = read();
    EXPECT_EQ(stats.world.frames_in, before.world.frames_in + 5);
    EXPECT_EQ(stats.world.bytes_in,
              before.world.bytes_in + 3 * static_cast<long long>(chat.size() + 2) + 3 + 8);
    EXPECT_EQ(stats.world.frames_out, before.world.frames_out + 1);
    EXPECT_EQ(stats.world.bytes_out, static_cast<long long>(world.written.size()));
    EXPECT_EQ(stats.world.unknown_messages, 1);
    EXPECT_GE(stats.world.rtt_last_us, 0);
    EXPECT_EQ(stats.universe.frames_in, 0) << "the sides are counted apart";

    net.serve_close(world);
    net.post(world, KIV_NET_READABLE);
    ASSERT_EQ(kiv_leave(handle), KIV_RC_SUCCESS);
    const KIVStats after = read();
    EXPECT_EQ(after.world.losses, 1);
    EXPECT_EQ(after.world.frames_in, stats.world.frames_in) << "a dropped Connection still counts";
    EXPECT_EQ(after.world.queue_bytes, 0);
}

TEST_F(Stats, ASmallerStructureGetsItsShareAndBadArgumentsAreRefused) {
    int size_only = 0;
    EXPECT_EQ(kiv_stats(handle, reinterpret_cast<KIVStats*>(&size_only), sizeof size_only),
              KIV_RC_SUCCESS);
    EXPECT_EQ(size_only, static_cast<int>(sizeof size_only));
    KIVStats stats{};
    EXPECT_EQ(kiv_stats(handle, nullptr, sizeof stats), KIV_RC_INVALID_ARGUMENT);
    EXPECT_EQ(kiv_stats(handle, &stats, 2), KIV_RC_INVALID_ARGUMENT);
    EXPECT_EQ(kiv_stats(nullptr, &stats, sizeof stats), KIV_RC_INVALID_ARGUMENT);
}

}  // namespace
}  // namespace kivsdk::test
