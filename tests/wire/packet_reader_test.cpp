// PacketReader field reads and their failure rules.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "wire/packet_reader.h"
#include "wire/packet_writer.h"

namespace {

using kivsdk::PacketReader;
using Bytes = std::vector<unsigned char>;

PacketReader reader_over(const Bytes& body) {
    return PacketReader(body.data(), static_cast<std::uint16_t>(body.size()));
}

TEST(PacketReader, ReadsWhatTheWriterWrites) {
    kivsdk::PacketWriter writer;
    writer.append_byte(200);
    writer.append_uint16(0xBEEF);
    writer.append_int32(-123456);
    writer.append_float(-2.5f);
    writer.append_double(3.141592653589793);
    writer.append_string("name");
    writer.append_blob16("\0\1\2", 3);
    const auto frame = writer.finish();
    const Bytes body(frame.data + 2, frame.data + frame.size);

    PacketReader reader = reader_over(body);
    std::uint8_t byte = 0;
    std::uint16_t word = 0;
    std::int32_t number = 0;
    double single = 0, precise = 0;
    std::string text, blob;
    ASSERT_TRUE(reader.read_byte(byte));
    ASSERT_TRUE(reader.read_uint16(word));
    ASSERT_TRUE(reader.read_int32(number));
    ASSERT_TRUE(reader.read_float(single));
    ASSERT_TRUE(reader.read_double(precise));
    ASSERT_TRUE(reader.read_string(text));
    ASSERT_TRUE(reader.read_blob16(blob));
    EXPECT_EQ(byte, 200);
    EXPECT_EQ(word, 0xBEEF);
    EXPECT_EQ(number, -123456);
    EXPECT_EQ(single, -2.5);
    EXPECT_EQ(precise, 3.141592653589793);
    EXPECT_EQ(text, "name");
    EXPECT_EQ(blob, std::string("\0\1\2", 3));
    EXPECT_EQ(reader.remaining(), 0u);
    EXPECT_FALSE(reader.read_byte(byte));
}

TEST(PacketReader, FloatBitsAreWidened) {
    const Bytes body{0x3F, 0x80, 0x00, 0x00, 0x7F, 0xC0, 0x00, 0x01};
    PacketReader reader = reader_over(body);
    double value = 0;
    ASSERT_TRUE(reader.read_float(value));
    EXPECT_EQ(value, 1.0);
    ASSERT_TRUE(reader.read_float(value));
    EXPECT_TRUE(std::isnan(value));
}

TEST(PacketReader, ShortNumberReadFailsWithoutConsuming) {
    const Bytes body{0x0A, 0x0B, 0x0C};
    PacketReader reader = reader_over(body);
    std::int32_t number = 77;
    EXPECT_FALSE(reader.read_int32(number));
    EXPECT_EQ(number, 77);
    double value = 5;
    EXPECT_FALSE(reader.read_float(value));
    EXPECT_FALSE(reader.read_double(value));
    EXPECT_EQ(value, 5);
    std::uint8_t byte = 0;
    ASSERT_TRUE(reader.read_byte(byte));
    EXPECT_EQ(byte, 0x0A) << "the failed reads consumed nothing";
    std::uint16_t word = 0;
    ASSERT_TRUE(reader.read_uint16(word));
    EXPECT_EQ(word, 0x0B0C);
    EXPECT_FALSE(reader.read_uint16(word));
}

TEST(PacketReader, StringWithMissingTextConsumesOnlyItsLength) {
    const Bytes body{10, 'a', 'b', 'c', 'd'};
    PacketReader reader = reader_over(body);
    std::string text = "before";
    EXPECT_FALSE(reader.read_string(text));
    EXPECT_EQ(text, "before");
    EXPECT_EQ(reader.remaining(), 4u);
    std::uint8_t byte = 0;
    ASSERT_TRUE(reader.read_byte(byte));
    EXPECT_EQ(byte, 'a');
}

TEST(PacketReader, EmptyStringConsumesOneByte) {
    const Bytes body{0, 42};
    PacketReader reader = reader_over(body);
    std::string text = "old";
    ASSERT_TRUE(reader.read_string(text));
    EXPECT_EQ(text, "");
    EXPECT_EQ(reader.remaining(), 1u);
}

TEST(PacketReader, StringAtEndFailsWithNothingConsumed) {
    const Bytes body{};
    PacketReader reader(nullptr, 0);
    std::string text = "kept";
    EXPECT_FALSE(reader.read_string(text));
    EXPECT_FALSE(reader.read_blob16(text));
    EXPECT_EQ(text, "kept");
    EXPECT_EQ(reader.remaining(), 0u);
}

TEST(PacketReader, BlobRules) {
    const Bytes one_byte{0x00};
    PacketReader short_length = reader_over(one_byte);
    std::string blob = "kept";
    EXPECT_FALSE(short_length.read_blob16(blob));
    EXPECT_EQ(short_length.remaining(), 1u) << "a lone length byte is not consumed";

    const Bytes truncated{0x01, 0x00, 'x', 'y'};
    PacketReader reader = reader_over(truncated);
    EXPECT_FALSE(reader.read_blob16(blob));
    EXPECT_EQ(blob, "kept");
    EXPECT_EQ(reader.remaining(), 2u) << "the UINT16 length is consumed";
}

TEST(PacketReader, RawReadsExactlyOrNothing) {
    const Bytes body{1, 2, 3, 4, 5};
    PacketReader reader = reader_over(body);
    unsigned char out[8] = {};
    EXPECT_FALSE(reader.read_raw(out, 6));
    EXPECT_EQ(reader.remaining(), 5u);
    ASSERT_TRUE(reader.read_raw(out, 5));
    EXPECT_EQ(std::memcmp(out, body.data(), 5), 0);
    EXPECT_TRUE(reader.read_raw(out, 0));
}

TEST(PacketReader, NeverReadsOutsideTheBody) {
    // The body is a window into a larger buffer: bytes after it must not leak.
    const Bytes storage{3, 'a', 'b', 'X', 'Y'};
    PacketReader reader(storage.data(), 3);
    std::string text;
    EXPECT_FALSE(reader.read_string(text));
    EXPECT_TRUE(text.empty());
}

}  // namespace
