#include "wire/packet_writer.h"

#include <algorithm>
#include <cstring>

namespace kivsdk {

PacketWriter::PacketWriter(std::size_t capacity_hint) {
    const std::size_t wanted = capacity_hint + kFrameHeaderSize;
    if (wanted <= kInlineCapacity) {
        data_ = inline_.data();
        capacity_ = kInlineCapacity;
    } else {
        heap_.resize(wanted);
        data_ = heap_.data();
        capacity_ = wanted;
    }
    std::fill_n(data_, kFrameHeaderSize, 0);  // place of the length field
}

PacketWriter::PacketWriter(PacketWriter&& other) noexcept
    : heap_(std::move(other.heap_)), size_(other.size_), capacity_(other.capacity_) {
    if (other.data_ == other.inline_.data()) {
        std::memcpy(inline_.data(), other.inline_.data(), size_);
        data_ = inline_.data();
    } else {
        data_ = heap_.data();
    }
    other.heap_.clear();
    other.data_ = other.inline_.data();
    other.capacity_ = kInlineCapacity;
    other.size_ = kFrameHeaderSize;
}

void PacketWriter::grow(std::size_t n) {
    const std::size_t wanted = std::max(capacity_ * 2, size_ + n);
    if (data_ == inline_.data()) {
        heap_.resize(wanted);
        std::memcpy(heap_.data(), inline_.data(), size_);
    } else {
        heap_.resize(wanted);
    }
    data_ = heap_.data();
    capacity_ = wanted;
}

void PacketWriter::append_string(std::string_view text) {
    const std::size_t size = std::min<std::size_t>(text.size(), 255);
    append_byte(static_cast<std::uint8_t>(size));
    append_raw(text.data(), size);
}

void PacketWriter::append_blob16(const void* data, std::size_t size) {
    const std::size_t kept = std::min<std::size_t>(size, 65535);
    append_uint16(static_cast<std::uint16_t>(kept));
    append_raw(data, kept);
}

void PacketWriter::append_raw(const void* data, std::size_t size) {
    if (size == 0) return;
    std::memcpy(room(size), data, size);
}

PacketWriter::Frame PacketWriter::finish() noexcept {
    // An oversized body gets a saturated length; fits() is what callers check.
    const std::size_t body = std::min(body_size(), kMaxFrameBody);
    wire::store_frame_header(data_, body);
    return Frame{data_, size_};
}

}  // namespace kivsdk
