#include "core/frame_codec.h"

#include "wire/byte_order.h"

namespace kivsdk::server {

bool append_frame(Bytes& out, const unsigned char* body, std::size_t size) {
    if (size > kMaxBody) return false;
    unsigned char header[2];
    wire::store_u16(header, static_cast<std::uint16_t>(size));
    out.insert(out.end(), header, header + 2);
    out.insert(out.end(), body, body + size);
    return true;
}

Bytes frame_of(const Bytes& body) {
    Bytes frame;
    frame.reserve(body.size() + 2);
    append_frame(frame, body.data(), body.size());
    return frame;
}

bool FrameDecoder::feed(const unsigned char* data, std::size_t size) {
    if (size > kMaxChunk) return false;
    compact();
    buffer_.insert(buffer_.end(), data, data + size);
    return true;
}

bool FrameDecoder::next(const unsigned char*& body, std::size_t& size) {
    for (;;) {
        const std::size_t held = buffer_.size() - consumed_;
        if (held < 2) return false;
        const std::size_t length = wire::load_u16(buffer_.data() + consumed_);
        if (held < 2 + length) return false;
        body = buffer_.data() + consumed_ + 2;
        size = length;
        consumed_ += 2 + length;
        if (length > 0) return true;
    }
}

Bytes FrameDecoder::take() {
    Bytes rest(buffer_.begin() + static_cast<std::ptrdiff_t>(consumed_), buffer_.end());
    buffer_.clear();
    consumed_ = 0;
    return rest;
}

void FrameDecoder::compact() {
    if (consumed_ == 0) return;
    buffer_.erase(buffer_.begin(), buffer_.begin() + static_cast<std::ptrdiff_t>(consumed_));
    consumed_ = 0;
}

}  // namespace kivsdk::server
