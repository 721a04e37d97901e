#include "world_stream.h"

#include <cstdlib>
#include <cstring>
#include <random>
#include <string>

#include "wire/frame.h"
#include "wire/packet_writer.h"

namespace kivsdk::bench {
namespace {

void append_frame(Bytes& out, PacketWriter& writer) {
    const PacketWriter::Frame frame = writer.finish();
    out.insert(out.end(), frame.data, frame.data + frame.size);
}

// The next length field, which chunks may split: the whole field (in the
// chunk, or gathered in `held`), or null while it is incomplete. `at` moves
// past the bytes taken.
const unsigned char* take_header(const unsigned char*& at, const unsigned char* end,
                                 unsigned char (&held)[kFrameHeaderSize],
                                 std::size_t& held_bytes) noexcept {
    if (held_bytes == 0 && static_cast<std::size_t>(end - at) >= kFrameHeaderSize) {
        const unsigned char* header = at;
        at += kFrameHeaderSize;
        return header;
    }
    while (held_bytes < kFrameHeaderSize && at < end) held[held_bytes++] = *at++;
    if (held_bytes < kFrameHeaderSize) return nullptr;
    held_bytes = 0;
    return held;
}

float coordinate(std::mt19937& random) {
    return static_cast<float>(random() % 200000) / 10.0f - 10000.0f;
}

// prefix, number with at least `digits` digits, suffix.
std::string numbered(const char* prefix, unsigned number, std::size_t digits,
                     const char* suffix = "") {
    std::string digits_text = std::to_string(number);
    if (digits_text.size() < digits) digits_text.insert(0, digits - digits_text.size(), '0');
    return prefix + digits_text + suffix;
}

}  // namespace

WorldStream make_world_stream(std::size_t events, std::uint32_t seed) {
    static const char* const kChatLines[] = {
        "hello everyone",
        "has anyone seen the new gallery by the lake?",
        "brb",
        "the bridge to the east island is finished, come and look",
        "lol",
        "meet at the fountain in five minutes"};
    std::mt19937 random(seed);
    WorldStream stream;
    stream.bytes.reserve(events * 90);
    for (std::size_t i = 0; i < events; ++i) {
        const unsigned pick = random() % 100;
        const unsigned session = 1000 + random() % 500;
        PacketWriter writer;
        if (pick < 60) {
            writer.append_byte(14);
            writer.append_int32(static_cast<std::int32_t>(session));
            for (int f = 0; f < 3; ++f) writer.append_float(coordinate(random));
            writer.append_float(static_cast<float>(random() % 360));
            writer.append_float(static_cast<float>(random() % 90));
            writer.append_int32(static_cast<std::int32_t>(random() % 8));
            writer.append_string(numbered("Visitor", session, 4));
            ++stream.avatar_changes;
        } else if (pick < 85) {
            const unsigned id = static_cast<unsigned>(random() % 1000000);
            writer.append_byte(7);
            writer.append_int32(static_cast<std::int32_t>(id));
            writer.append_string(numbered("models/tree", id % 1000, 3, ".rwx"));
            writer.append_string(numbered("an old oak, number ", id, 1));
            writer.append_string("create color green, scale 1.5");
            for (int f = 0; f < 6; ++f) writer.append_float(coordinate(random));
            writer.append_int32(static_cast<std::int32_t>(random()));
            writer.append_int32(static_cast<std::int32_t>(random()));
            writer.append_byte(static_cast<std::uint8_t>(random() % 4));
            unsigned char data[64];
            for (unsigned char& byte : data) byte = static_cast<unsigned char>(random());
            writer.append_blob16(data, sizeof data);
            writer.append_float(static_cast<float>(random() % 360));
            writer.append_int32(static_cast<std::int32_t>(session));
            for (int f = 0; f < 3; ++f) writer.append_double(coordinate(random));
            ++stream.objects;
        } else if (pick < 95) {
            writer.append_byte(9);
            writer.append_string(numbered("Visitor", session, 4));
            writer.append_string(kChatLines[random() % (sizeof kChatLines / sizeof *kChatLines)]);
            writer.append_int32(static_cast<std::int32_t>(session));
            writer.append_byte(0);
            ++stream.chats;
        } else {
            writer.append_byte(12);
            writer.append_int32(static_cast<std::int32_t>(random() % 1000000));
            writer.append_int32(static_cast<std::int32_t>(session));
            ++stream.deletions;
        }
        append_frame(stream.bytes, writer);
    }
    stream.events = events;
    return stream;
}

Bytes make_fixed_frames(std::size_t frame_size, std::size_t total_bytes) {
    Bytes out;
    out.reserve(total_bytes + frame_size);
    const std::size_t body = frame_size - kFrameHeaderSize;
    unsigned char header[kFrameHeaderSize];
    wire::store_frame_header(header, body);
    while (out.size() + frame_size <= total_bytes) {
        out.insert(out.end(), header, header + kFrameHeaderSize);
        out.push_back(14);
        for (std::size_t b = 1; b < body; ++b) out.push_back(static_cast<unsigned char>(b));
    }
    return out;
}

void MinimalCutter::feed(const unsigned char* data, std::size_t size) noexcept {
    const unsigned char* at = data;
    const unsigned char* const end = data + size;
    while (at < end) {
        if (skip_ > 0) {
            const std::size_t left = static_cast<std::size_t>(end - at);
            const std::size_t step = skip_ < left ? skip_ : left;
            at += step;
            skip_ -= step;
            continue;
        }
        const unsigned char* header = take_header(at, end, header_, header_bytes_);
        if (header == nullptr) continue;
        const std::size_t length = wire::load_frame_header(header);
        skip_ = length;
        if (length > 0) ++frames_;
    }
}

CopyCutter::~CopyCutter() { std::free(body_); }

void CopyCutter::deliver() {
    type_sum_ += body_[0];
    // Keep the allocation and the copy from being optimised away.
    asm volatile("" : : "r"(body_) : "memory");
    std::free(body_);
    body_ = nullptr;
    ++frames_;
}

void CopyCutter::feed(const unsigned char* data, std::size_t size) {
    const unsigned char* at = data;
    const unsigned char* const end = data + size;
    while (at < end) {
        if (body_ != nullptr) {
            const std::size_t left = static_cast<std::size_t>(end - at);
            const std::size_t wanted = length_ - filled_;
            const std::size_t step = wanted < left ? wanted : left;
            std::memcpy(body_ + filled_, at, step);
            at += step;
            filled_ += step;
            if (filled_ == length_) deliver();
            continue;
        }
        const unsigned char* header = take_header(at, end, header_, header_bytes_);
        if (header == nullptr) continue;
        length_ = wire::load_frame_header(header);
        if (length_ == 0) continue;
        body_ = static_cast<unsigned char*>(std::malloc(length_));
        if (body_ == nullptr) std::abort();
        filled_ = 0;
    }
}

}  // namespace kivsdk::bench
