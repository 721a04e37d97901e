// Frames cut out of arbitrary chunks of received bytes.
#include <random>

#include "connection/connection_fixture.h"

namespace kivsdk::test {
namespace {

using Reassembly = ConnectionTest;

TEST_F(Reassembly, OneByteChunksMakeOneFrame) {
    connected();
    net.deliver(*socket, {0x00, 0x01, 0x1C}, {1, 1, 1});
    EXPECT_EQ(received.frames, (std::vector<Bytes>{{0x1C}}));
}

TEST_F(Reassembly, SeveralFramesInOneChunkArriveInOrder) {
    connected();
    net.deliver(*socket, join({frame({1, 2}), frame({3}), frame({4, 5, 6})}));
    EXPECT_EQ(received.frames, (std::vector<Bytes>{{1, 2}, {3}, {4, 5, 6}}));
}

TEST_F(Reassembly, EmptyFramesAreSkipped) {
    connected();
    net.deliver(*socket, join({{0x00, 0x00}, frame({7}), {0x00, 0x00}, {0x00, 0x00}, frame({8})}));
    EXPECT_EQ(received.frames, (std::vector<Bytes>{{7}, {8}}));
}

TEST_F(Reassembly, BodyWaitsForItsLastByte) {
    connected();
    const Bytes whole = numbered_frame(300, 0);
    net.deliver(*socket, Bytes(whole.begin(), whole.begin() + 2 + 100));
    EXPECT_TRUE(received.frames.empty());
    EXPECT_EQ(connection->pending_length(), 300);
    net.deliver(*socket, Bytes(whole.begin() + 2 + 100, whole.end()));
    ASSERT_EQ(received.frames.size(), 1u);
    EXPECT_EQ(frame(received.frames[0]), whole);
}

TEST_F(Reassembly, HeaderAndBodyStraddlingTheStorageEnd) {
    connected();
    // 65537 + 16382 = 81919 bytes: the next header's first byte is the last
    // byte of the storage, its second byte the first.
    const Bytes first = numbered_frame(65535, 1);
    const Bytes second = numbered_frame(16380, 2);
    const Bytes straddling = numbered_frame(5000, 3);
    const Bytes stream = join({first, second, straddling, numbered_frame(10, 4)});
    std::vector<std::size_t> chunks(stream.size() / 7000 + 1, 7000);
    net.deliver(*socket, stream, chunks);
    ASSERT_EQ(received.frames.size(), 4u);
    EXPECT_EQ(frame(received.frames[0]), first);
    EXPECT_EQ(frame(received.frames[1]), second);
    EXPECT_EQ(frame(received.frames[2]), straddling);
    EXPECT_EQ(frame(received.frames[3]), numbered_frame(10, 4));
    EXPECT_EQ(connection->receive_buffer().count(), 0);
}

TEST_F(Reassembly, ReadsAtMost10240BytesAtATime) {
    connected();
    net.deliver(*socket, numbered_frame(30000, 9));
    for (const auto& op : net.log) {
        if (op.name == "recv") {
            EXPECT_EQ(op.value, 10240);
        }
    }
    ASSERT_EQ(received.frames.size(), 1u);
}

TEST_F(Reassembly, RandomFramesCutAtRandomPointsArriveIntactAndInOrder) {
    connected();
    std::mt19937 random(20261208);
    std::vector<Bytes> sent;
    Bytes stream;
    for (int i = 0; i < 400; ++i) {
        const std::size_t length = random() % 4 == 0 ? random() % 65536 : random() % 300;
        const Bytes one = numbered_frame(length, static_cast<unsigned>(i));
        if (length > 0) sent.push_back(Bytes(one.begin() + 2, one.end()));
        stream.insert(stream.end(), one.begin(), one.end());
    }
    std::size_t offset = 0;
    while (offset < stream.size()) {
        const std::size_t size =
            std::min<std::size_t>(1 + random() % 10240, stream.size() - offset);
        net.deliver(*socket, Bytes(stream.begin() + static_cast<long>(offset),
                                   stream.begin() + static_cast<long>(offset + size)));
        offset += size;
    }
    EXPECT_EQ(received.frames.size(), sent.size());
    EXPECT_TRUE(received.frames == sent) << "frames differ from what was sent";
}

}  // namespace
}  // namespace kivsdk::test
