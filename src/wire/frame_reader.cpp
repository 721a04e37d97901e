#include "wire/frame_reader.h"

namespace kivsdk {

FrameReader::FrameReader(unsigned char* storage, std::int32_t capacity) noexcept
    : ring_(storage, capacity) {}

std::int32_t FrameReader::feed(const unsigned char* data, std::int32_t size) noexcept {
    return ring_.write(data, size);
}

bool FrameReader::next(const unsigned char*& body, std::uint16_t& length) {
    // The common case first: a whole frame, header and body, before the
    // wrap point, handed out in one step.
    constexpr auto kHeader = static_cast<std::int32_t>(kFrameHeaderSize);
    if (pending_length_ == 0 && ring_.readable_run() > kHeader) {
        const unsigned char* at = ring_.readable_data();
        const std::uint16_t size = wire::load_frame_header(at);
        if (size != 0 && ring_.readable_run() - kHeader >= size) {
            body = at + kHeader;
            length = size;
            ring_.consume(kHeader + size);
            return true;
        }
    }
    for (;;) {
        if (pending_length_ == 0) {
            if (ring_.count() < static_cast<std::int32_t>(kFrameHeaderSize)) return false;
            unsigned char header[kFrameHeaderSize];
            if (ring_.readable_run() >= static_cast<std::int32_t>(kFrameHeaderSize)) {
                header[0] = ring_.readable_data()[0];
                header[1] = ring_.readable_data()[1];
                ring_.consume(static_cast<std::int32_t>(kFrameHeaderSize));
            } else {
                ring_.read(header, 1);  // the second byte is past the wrap point
                ring_.read(header + 1, 1);
            }
            pending_length_ = wire::load_frame_header(header);
            continue;  // a zero length stays 0: an empty frame is skipped
        }
        if (ring_.count() < pending_length_) return false;
        length = pending_length_;
        if (ring_.readable_run() >= length) {
            // Whole in the storage: hand out the ring's own bytes. Nothing
            // writes to the ring before the caller's next call.
            body = ring_.readable_data();
            ring_.consume(length);
        } else {
            wrapped_body_.resize(length);
            const std::int32_t first = ring_.read(wrapped_body_.data(), length);
            ring_.read(wrapped_body_.data() + first, length - first);
            body = wrapped_body_.data();
        }
        pending_length_ = 0;
        return true;
    }
}

std::vector<unsigned char> FrameReader::take() {
    std::vector<unsigned char> rest;
    rest.reserve(static_cast<std::size_t>(ring_.count()) + kFrameHeaderSize);
    if (pending_length_ != 0) {
        unsigned char header[kFrameHeaderSize];
        wire::store_frame_header(header, pending_length_);
        rest.insert(rest.end(), header, header + kFrameHeaderSize);
        pending_length_ = 0;
    }
    while (ring_.count() > 0) {
        const std::int32_t run = ring_.readable_run();
        rest.insert(rest.end(), ring_.readable_data(), ring_.readable_data() + run);
        ring_.consume(run);
    }
    return rest;
}

}  // namespace kivsdk
