// RingBuffer runs and wrapping.
#include <gtest/gtest.h>

#include <array>
#include <numeric>

#include "wire/ring_buffer.h"

namespace {

using kivsdk::RingBuffer;

TEST(RingBuffer, FullBufferReadsToTheEndAndCannotTakeMore) {
    std::array<unsigned char, 16> storage{};
    RingBuffer ring(storage.data(), 16);
    std::array<unsigned char, 16> in{};
    std::iota(in.begin(), in.end(), 0);
    EXPECT_EQ(ring.write(in.data(), 10), 10);
    unsigned char out[16];
    EXPECT_EQ(ring.read(out, 6), 6);
    // Write position 10, read position 6: 12 more bytes fill it exactly.
    EXPECT_EQ(ring.write(in.data(), 12), 12);
    EXPECT_EQ(ring.count(), 16);
    EXPECT_EQ(ring.write_position(), ring.read_position());
    EXPECT_EQ(ring.readable_run(), 16 - 6);
    EXPECT_EQ(ring.writable_run(), 0);
    EXPECT_EQ(ring.write(in.data(), 1), 0) << "bytes beyond the capacity are dropped";
}

TEST(RingBuffer, ReadStopsAtTheWrapPoint) {
    std::array<unsigned char, 8> storage{};
    RingBuffer ring(storage.data(), 8);
    const unsigned char first[6] = {1, 2, 3, 4, 5, 6};
    ring.write(first, 6);
    unsigned char out[8];
    ring.read(out, 5);
    const unsigned char second[5] = {7, 8, 9, 10, 11};
    EXPECT_EQ(ring.write(second, 5), 5);  // 2 to the end, 3 from the start
    EXPECT_EQ(ring.count(), 6);
    EXPECT_EQ(ring.read(out, 6), 3) << "never copies across the wrap";
    EXPECT_EQ(out[0], 6);
    EXPECT_EQ(out[1], 7);
    EXPECT_EQ(out[2], 8);
    EXPECT_EQ(ring.read(out, 6), 3);
    EXPECT_EQ(out[0], 9);
    EXPECT_EQ(out[2], 11);
    EXPECT_EQ(ring.count(), 0);
    EXPECT_EQ(ring.readable_run(), 0);
    EXPECT_EQ(ring.writable_run(), 8 - ring.write_position());
}

}  // namespace
