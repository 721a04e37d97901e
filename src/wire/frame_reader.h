// FrameReader: cuts frame bodies out of a byte stream that arrives in pieces
// of any size. It does no IO: the owner feeds received bytes (or lets a read
// land in place) and takes complete bodies. The storage is the owner's and
// never moves; it must hold at least one largest frame.
#pragma once

#include <cstdint>
#include <vector>

#include "wire/frame.h"
#include "wire/ring_buffer.h"

namespace kivsdk {

class FrameReader {
public:
    // Room for one largest frame, header included.
    static constexpr std::int32_t kMinimumStorage =
        static_cast<std::int32_t>(kMaxFrameBody + kFrameHeaderSize);

    // `capacity` must be at least kMinimumStorage.
    FrameReader(unsigned char* storage, std::int32_t capacity) noexcept;

    // Copies up to `size` bytes in; returns how many were taken (fewer only
    // when the storage is full).
    std::int32_t feed(const unsigned char* data, std::int32_t size) noexcept;

    // In-place reads: the contiguous free room, and commit() for what a read
    // wrote there.
    unsigned char* write_area() noexcept { return ring_.writable_data(); }
    std::int32_t write_room() const noexcept { return ring_.writable_run(); }
    void commit(std::int32_t size) noexcept { ring_.commit(size); }

    // The next complete body: true with `body` and `length` set, valid until
    // the next call of any member. Empty frames are skipped. False while the
    // next frame is incomplete.
    bool next(const unsigned char*& body, std::uint16_t& length);

    // The announced length of a frame whose header has been read but whose
    // body is incomplete; 0 when no such frame is under way.
    std::uint16_t pending_length() const noexcept { return pending_length_; }
    // Bytes are held that do not yet form a complete frame.
    bool partial() const noexcept { return pending_length_ != 0 || ring_.count() > 0; }
    std::int32_t buffered() const noexcept { return ring_.count(); }
    // Hands over every held byte not yet cut into a frame (a header already
    // read is put back in front) and empties the reader.
    std::vector<unsigned char> take();

    const RingBuffer& ring() const noexcept { return ring_; }

private:
    RingBuffer ring_;
    std::uint16_t pending_length_ = 0;
    // Bodies that wrap around the storage end are gathered here; kept
    // between frames so that reading does not allocate.
    std::vector<unsigned char> wrapped_body_;
};

}  // namespace kivsdk
