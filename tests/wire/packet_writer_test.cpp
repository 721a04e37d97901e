// Byte-exact frames from the PacketWriter.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "wire/packet_writer.h"

namespace {

using kivsdk::PacketWriter;
using Bytes = std::vector<unsigned char>;

Bytes frame_of(PacketWriter& writer) {
    const auto frame = writer.finish();
    return Bytes(frame.data, frame.data + frame.size);
}

TEST(PacketWriter, BareTypeIsThreeBytes) {
    PacketWriter writer(1);
    writer.append_byte(39);
    EXPECT_EQ(frame_of(writer), (Bytes{0x00, 0x01, 0x27}));
}

TEST(PacketWriter, KeepAliveFrame) {
    PacketWriter writer;
    writer.append_byte(28);
    writer.append_int32(0);
    EXPECT_EQ(frame_of(writer), (Bytes{0x00, 0x05, 0x1C, 0, 0, 0, 0}));
}

TEST(PacketWriter, NumbersAreBigEndian) {
    PacketWriter writer;
    writer.append_byte(7);
    writer.append_uint16(0x1234);
    writer.append_int32(-1);
    writer.append_uint32(0x01020304u);
    writer.append_float(1.0f);
    writer.append_double(1.0);
    EXPECT_EQ(frame_of(writer),
              (Bytes{0x00, 0x17, 0x07, 0x12, 0x34, 0xFF, 0xFF, 0xFF, 0xFF, 0x01, 0x02, 0x03, 0x04,
                     0x3F, 0x80, 0x00, 0x00, 0x3F, 0xF0, 0,    0,    0,    0,    0,    0}));
}

TEST(PacketWriter, FloatOfPointOneIsItsNearestSingle) {
    PacketWriter writer;
    writer.append_byte(1);
    writer.append_float(static_cast<float>(0.1));
    EXPECT_EQ(frame_of(writer), (Bytes{0x00, 0x05, 0x01, 0x3D, 0xCC, 0xCC, 0xCD}));
}

TEST(PacketWriter, StringsAreCutAt255) {
    PacketWriter writer;
    writer.append_byte(9);
    writer.append_string(std::string(300, 'a'));
    writer.append_string("");
    const Bytes frame = frame_of(writer);
    ASSERT_EQ(frame.size(), 2u + 1 + 1 + 255 + 1);
    EXPECT_EQ(frame[3], 0xFF);
    EXPECT_EQ(frame[4], 'a');
    EXPECT_EQ(frame[4 + 254], 'a');
    EXPECT_EQ(frame.back(), 0x00) << "an empty STRING is its zero length byte";
}

TEST(PacketWriter, Blob16KeepsZeroBytesAndIsCutAt65535) {
    PacketWriter writer;
    writer.append_byte(32);
    const std::string data("a\0b", 3);
    writer.append_blob16(data.data(), data.size());
    EXPECT_EQ(frame_of(writer), (Bytes{0x00, 0x06, 0x20, 0x00, 0x03, 'a', 0x00, 'b'}));

    PacketWriter big;
    const std::string huge(70000, 'z');
    big.append_blob16(huge.data(), huge.size());
    EXPECT_EQ(big.body_size(), 2u + 65535);
}

TEST(PacketWriter, RawIsCopiedAsIs) {
    PacketWriter writer;
    writer.append_byte(1);
    const unsigned char ticket[4] = {0xDE, 0xAD, 0x00, 0xEF};
    writer.append_raw(ticket, sizeof ticket);
    EXPECT_EQ(frame_of(writer), (Bytes{0x00, 0x05, 0x01, 0xDE, 0xAD, 0x00, 0xEF}));
}

TEST(PacketWriter, OversizedBodyIsDetected) {
    PacketWriter writer;
    writer.append_byte(10);
    const std::string blob(65535 - 1 - 2, 'x');
    writer.append_blob16(blob.data(), blob.size());
    EXPECT_EQ(writer.body_size(), 65535u);
    EXPECT_TRUE(writer.fits()) << "exactly 65535 body bytes fit";
    writer.append_byte(0);
    EXPECT_FALSE(writer.fits());
}

TEST(PacketWriter, FinishDoesNotConsumeTheWriter) {
    PacketWriter writer;
    writer.append_byte(5);
    const Bytes first = frame_of(writer);
    writer.append_byte(6);
    EXPECT_EQ(first, (Bytes{0x00, 0x01, 0x05}));
    EXPECT_EQ(frame_of(writer), (Bytes{0x00, 0x02, 0x05, 0x06}));
}

// Frames outgrow the writer's own room and move to the heap; every byte,
// the length field and a moved writer's frame survive.
TEST(PacketWriter, FramesKeepEveryByteAcrossGrowthAndMoves) {
    Bytes expected{0x00, 0x00};
    PacketWriter writer;
    for (unsigned i = 0; i < 300; ++i) {
        writer.append_uint32(i);
        expected.insert(expected.end(),
                        {0, 0, static_cast<unsigned char>(i >> 8), static_cast<unsigned char>(i)});
        if (i == 10) {
            // Still inside the writer: moving it keeps the frame.
            PacketWriter moved(std::move(writer));
            expected[0] = 0;
            expected[1] = 44;
            EXPECT_EQ(frame_of(moved), expected);
            EXPECT_EQ(frame_of(writer), (Bytes{0x00, 0x00})) << "moved-from: empty";
            writer.append_raw(expected.data() + 2, expected.size() - 2);
        }
    }
    expected[0] = 1200 >> 8;
    expected[1] = 1200 & 0xff;
    EXPECT_EQ(writer.body_size(), 1200u);
    EXPECT_EQ(frame_of(writer), expected);

    PacketWriter moved(std::move(writer));  // on the heap now
    EXPECT_EQ(frame_of(moved), expected);
    moved.append_byte(7);
    expected.push_back(7);
    expected[1] = 1201 & 0xff;
    EXPECT_EQ(frame_of(moved), expected);
    EXPECT_EQ(frame_of(writer), (Bytes{0x00, 0x00}));
    writer.append_byte(9);
    EXPECT_EQ(frame_of(writer), (Bytes{0x00, 0x01, 0x09})) << "a moved-from writer is usable";

    PacketWriter sized(PacketWriter::kInlineCapacity * 4);  // a large hint starts on the heap
    sized.append_string(std::string(300, 'a'));
    EXPECT_EQ(sized.body_size(), 256u) << "length byte and 255 characters";
}

}  // namespace
