// The byte stream a busy world sends, and the two reference cutters that the
// library's receive path is measured against.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "wire/frame.h"

namespace kivsdk::bench {

using Bytes = std::vector<unsigned char>;

// Frames of a world stream, by count: 60% avatar changed (14), 25% object
// announced (7: three strings, a 64-byte blob), 10% chat (9), 5% object
// deleted (12), in a fixed pseudo-random order.
struct WorldStream {
    Bytes bytes;
    std::size_t events = 0;
    std::size_t avatar_changes = 0;
    std::size_t objects = 0;
    std::size_t chats = 0;
    std::size_t deletions = 0;
};
WorldStream make_world_stream(std::size_t events, std::uint32_t seed = 7);

// Frames of one fixed size (length field included), for the reference
// figures by frame size.
Bytes make_fixed_frames(std::size_t frame_size, std::size_t total_bytes);

// The least a receiver can do: read each length and skip the body. Chunks
// may split frames anywhere.
class MinimalCutter {
public:
    void feed(const unsigned char* data, std::size_t size) noexcept;
    std::uint64_t frames() const noexcept { return frames_; }

private:
    std::size_t skip_ = 0;
    std::size_t header_bytes_ = 0;
    unsigned char header_[kFrameHeaderSize] = {};
    std::uint64_t frames_ = 0;
};

// The usual receiver: one allocation and one copy per frame body, the type
// byte looked at, the body freed.
class CopyCutter {
public:
    ~CopyCutter();
    void feed(const unsigned char* data, std::size_t size);
    std::uint64_t frames() const noexcept { return frames_; }
    std::uint64_t type_sum() const noexcept { return type_sum_; }

private:
    void deliver();

    unsigned char* body_ = nullptr;
    std::size_t length_ = 0;
    std::size_t filled_ = 0;
    std::size_t header_bytes_ = 0;
    unsigned char header_[kFrameHeaderSize] = {};
    std::uint64_t frames_ = 0;
    std::uint64_t type_sum_ = 0;
};

// Feeds `stream` to a cutter in chunks of at most `chunk` bytes.
template <class Cutter>
void feed_in_chunks(Cutter& cutter, const Bytes& stream, std::size_t chunk) {
    for (std::size_t at = 0; at < stream.size(); at += chunk) {
        const std::size_t size = stream.size() - at < chunk ? stream.size() - at : chunk;
        cutter.feed(stream.data() + at, size);
    }
}

}  // namespace kivsdk::bench
