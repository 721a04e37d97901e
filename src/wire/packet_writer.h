// PacketWriter: builds one outgoing frame, length field first.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>
#include <vector>

#include "wire/frame.h"

namespace kivsdk {

class PacketWriter {
public:
    static constexpr std::size_t kDefaultCapacity = 64;

    // Reserves hint + 2 bytes; callers pass the default, 1 for a bare type,
    // or the size of a large message they know.
    explicit PacketWriter(std::size_t capacity_hint = kDefaultCapacity);

    void append_byte(std::uint8_t value);
    void append_uint16(std::uint16_t value);
    void append_int32(std::int32_t value);
    void append_uint32(std::uint32_t value);
    void append_float(float value);
    void append_double(double value);
    // Length byte, then at most 255 bytes: longer text is cut.
    void append_string(std::string_view text);
    // UINT16 length, then at most 65535 bytes: longer data is cut.
    void append_blob16(const void* data, std::size_t size);
    void append_raw(const void* data, std::size_t size);

    // False once the body has outgrown the 16-bit length field; such a frame
    // must be refused, never sent.
    bool fits() const noexcept { return bytes_.size() - kFrameHeaderSize <= kMaxFrameBody; }
    std::size_t body_size() const noexcept { return bytes_.size() - kFrameHeaderSize; }

    struct Frame {
        const unsigned char* data;
        std::size_t size;  // length field included
    };
    // Writes the length field and yields the whole frame. The writer stays
    // usable; the receiver copies the bytes.
    Frame finish() noexcept;

private:
    std::vector<unsigned char> bytes_;
};

}  // namespace kivsdk
