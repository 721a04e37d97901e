// Frames on the wire: a 2-byte big-endian length, then the body (type byte
// and fields). FrameDecoder cuts bodies out of a byte stream that arrives in
// arbitrary pieces and never holds more than one incomplete frame plus one
// chunk.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace kivsdk::server {

using Bytes = std::vector<unsigned char>;

constexpr std::size_t kMaxBody = 65535;
// The most a caller may feed at once.
constexpr std::size_t kMaxChunk = 65536;

// Appends the frame of `body` to `out`. False, with `out` unchanged, when the
// body is longer than 65535 bytes.
bool append_frame(Bytes& out, const unsigned char* body, std::size_t size);
Bytes frame_of(const Bytes& body);

class FrameDecoder {
public:
    // Adds received bytes (at most kMaxChunk). False when the caller fed more
    // than that; nothing is stored then.
    bool feed(const unsigned char* data, std::size_t size);

    // The next complete body, valid until the next call of any member. Empty
    // frames (length 0) are skipped. False when no complete frame is held.
    bool next(const unsigned char*& body, std::size_t& size);

    // Bytes of an incomplete frame are held.
    bool partial() const noexcept { return buffer_.size() > consumed_; }
    std::size_t buffered() const noexcept { return buffer_.size() - consumed_; }
    // Hands over the held bytes (e.g. to TLS after a switch) and empties.
    Bytes take();

private:
    void compact();

    Bytes buffer_;
    std::size_t consumed_ = 0;
};

}  // namespace kivsdk::server
