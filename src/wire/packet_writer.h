// PacketWriter: builds one outgoing frame, length field first.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string_view>
#include <vector>

#include "wire/byte_order.h"
#include "wire/frame.h"

namespace kivsdk {

class PacketWriter {
public:
    static constexpr std::size_t kDefaultCapacity = 64;
    // Frames up to this size, length field included, are built inside the
    // writer itself: most messages never touch the heap.
    static constexpr std::size_t kInlineCapacity = 256;

    // Room for hint + 2 bytes; callers pass the default, 1 for a bare type,
    // or the size of a large message they know.
    explicit PacketWriter(std::size_t capacity_hint = kDefaultCapacity);
    PacketWriter(PacketWriter&& other) noexcept;
    PacketWriter(const PacketWriter&) = delete;
    PacketWriter& operator=(const PacketWriter&) = delete;
    PacketWriter& operator=(PacketWriter&&) = delete;

    void append_byte(std::uint8_t value) { *room(1) = value; }
    void append_uint16(std::uint16_t value) { wire::store_u16(room(2), value); }
    void append_int32(std::int32_t value) { append_uint32(static_cast<std::uint32_t>(value)); }
    void append_uint32(std::uint32_t value) { wire::store_u32(room(4), value); }
    void append_float(float value) { append_uint32(wire::float_bits(value)); }
    void append_double(double value) { wire::store_u64(room(8), wire::double_bits(value)); }
    // Length byte, then at most 255 bytes: longer text is cut.
    void append_string(std::string_view text);
    // UINT16 length, then at most 65535 bytes: longer data is cut.
    void append_blob16(const void* data, std::size_t size);
    void append_raw(const void* data, std::size_t size);

    // False once the body has outgrown the 16-bit length field; such a frame
    // must be refused, never sent.
    bool fits() const noexcept { return body_size() <= kMaxFrameBody; }
    std::size_t body_size() const noexcept { return size_ - kFrameHeaderSize; }

    struct Frame {
        const unsigned char* data;
        std::size_t size;  // length field included
    };
    // Writes the length field and yields the whole frame. The writer stays
    // usable; the receiver copies the bytes.
    Frame finish() noexcept;

private:
    // n more bytes at the end of the frame, to be written by the caller.
    unsigned char* room(std::size_t n) {
        if (capacity_ - size_ < n) grow(n);
        unsigned char* at = data_ + size_;
        size_ += n;
        return at;
    }
    void grow(std::size_t n);

    std::array<unsigned char, kInlineCapacity> inline_;
    std::vector<unsigned char> heap_;  // once the frame outgrows inline_
    unsigned char* data_;
    std::size_t size_ = kFrameHeaderSize;
    std::size_t capacity_;
};

}  // namespace kivsdk
