// FrameReader: frame bodies cut from a stream that arrives in pieces.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <vector>

#include "wire/frame.h"
#include "wire/frame_reader.h"

namespace {

using kivsdk::FrameReader;
using Bytes = std::vector<unsigned char>;

// A reader over storage of its own.
struct Reader {
    explicit Reader(std::int32_t capacity = FrameReader::kMinimumStorage)
        : storage(static_cast<std::size_t>(capacity)), frames(storage.data(), capacity) {}
    Bytes storage;
    FrameReader frames;
};

Bytes frame_of(const Bytes& body) {
    Bytes frame(kivsdk::kFrameHeaderSize + body.size());
    kivsdk::wire::store_frame_header(frame.data(), body.size());
    std::copy(body.begin(), body.end(), frame.begin() + kivsdk::kFrameHeaderSize);
    return frame;
}

Bytes pattern(std::size_t size) {
    Bytes bytes(size);
    for (std::size_t i = 0; i < size; ++i) bytes[i] = static_cast<unsigned char>(i * 7 % 251);
    return bytes;
}

std::vector<Bytes> drain(FrameReader& frames) {
    std::vector<Bytes> bodies;
    const unsigned char* body = nullptr;
    std::uint16_t length = 0;
    while (frames.next(body, length)) bodies.emplace_back(body, body + length);
    return bodies;
}

TEST(FrameReader, PendingLengthAndPartialFollowAnUnfinishedFrame) {
    Reader reader;
    FrameReader& frames = reader.frames;
    EXPECT_FALSE(frames.partial());
    const Bytes frame = frame_of(pattern(261));  // length 0x0105

    frames.feed(frame.data(), 1);
    EXPECT_TRUE(drain(frames).empty());
    EXPECT_TRUE(frames.partial());
    EXPECT_EQ(frames.pending_length(), 0) << "half a header announces nothing yet";

    frames.feed(frame.data() + 1, 3);
    EXPECT_TRUE(drain(frames).empty());
    EXPECT_EQ(frames.pending_length(), 261);
    EXPECT_TRUE(frames.partial());
    EXPECT_EQ(frames.buffered(), 2);

    frames.feed(frame.data() + 4, static_cast<std::int32_t>(frame.size() - 4));
    EXPECT_EQ(drain(frames), std::vector<Bytes>{pattern(261)});
    EXPECT_EQ(frames.pending_length(), 0);
    EXPECT_FALSE(frames.partial());
}

TEST(FrameReader, TakeHandsBackAPendingHeaderAndTheBytesAfterItExactly) {
    Reader reader;
    FrameReader& frames = reader.frames;
    // A whole frame, then the header and three bytes of a frame of 16.
    const Bytes stream = {0x00, 0x01, 0x27, 0x00, 0x10, 0xA1, 0xA2, 0xA3};
    frames.feed(stream.data(), static_cast<std::int32_t>(stream.size()));
    EXPECT_EQ(drain(frames), std::vector<Bytes>{{0x27}});
    ASSERT_EQ(frames.pending_length(), 16);
    EXPECT_EQ(frames.take(), (Bytes{0x00, 0x10, 0xA1, 0xA2, 0xA3}));
    EXPECT_FALSE(frames.partial());
    EXPECT_EQ(frames.pending_length(), 0);
    EXPECT_EQ(frames.buffered(), 0);

    // Emptied, it reads on from scratch; half a header comes back as it is.
    const Bytes next = {0x00, 0x01, 0x05, 0x00};
    frames.feed(next.data(), static_cast<std::int32_t>(next.size()));
    EXPECT_EQ(drain(frames), std::vector<Bytes>{{0x05}});
    EXPECT_EQ(frames.take(), Bytes{0x00});
    EXPECT_TRUE(frames.take().empty());
}

TEST(FrameReader, TheLargestFrameFillsTheMinimumStorageWhereverItWraps) {
    const Bytes largest = pattern(kivsdk::kMaxFrameBody);
    const Bytes frame = frame_of(largest);
    ASSERT_EQ(frame.size(), static_cast<std::size_t>(FrameReader::kMinimumStorage));
    // Where the frame starts: at the storage start, inside it, with its
    // header just before the storage end and with the header cut by it.
    const std::size_t capacity = frame.size();
    for (const std::size_t start :
         {std::size_t{0}, std::size_t{3}, std::size_t{30000}, capacity - 2, capacity - 1}) {
        Reader reader;
        FrameReader& frames = reader.frames;
        if (start > 0) {
            const Bytes before = frame_of(Bytes(start - kivsdk::kFrameHeaderSize, 1));
            frames.feed(before.data(), static_cast<std::int32_t>(before.size()));
            ASSERT_EQ(drain(frames).size(), 1u);
        }
        for (std::size_t at = 0; at < frame.size(); at += 4096) {
            const auto n =
                static_cast<std::int32_t>(std::min<std::size_t>(4096, frame.size() - at));
            ASSERT_EQ(frames.feed(frame.data() + at, n), n) << "starting at " << start;
        }
        EXPECT_EQ(frames.buffered(), FrameReader::kMinimumStorage);
        EXPECT_EQ(frames.write_room(), 0);
        const std::vector<Bytes> cut = drain(frames);
        ASSERT_EQ(cut.size(), 1u) << "starting at " << start;
        EXPECT_TRUE(cut[0] == largest) << "starting at " << start;
        EXPECT_FALSE(frames.partial());
    }
}

}  // namespace
