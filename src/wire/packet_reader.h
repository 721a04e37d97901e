// PacketReader: a cursor over the body of one received frame. Every read
// stays inside the body and reports failure instead of reading past it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "wire/byte_order.h"

namespace kivsdk {

class PacketReader {
public:
    PacketReader(const unsigned char* body, std::uint16_t length) noexcept
        : start_(body), position_(body), end_(body + length) {}

    const unsigned char* body() const noexcept { return start_; }
    std::size_t remaining() const noexcept { return static_cast<std::size_t>(end_ - position_); }

    // On failure these leave the destination and the position unchanged.
    bool read_byte(std::uint8_t& value) noexcept {
        if (remaining() < 1) return false;
        value = *position_++;
        return true;
    }
    bool read_uint16(std::uint16_t& value) noexcept {
        if (remaining() < 2) return false;
        value = wire::load_u16(position_);
        position_ += 2;
        return true;
    }
    bool read_int32(std::int32_t& value) noexcept {
        if (remaining() < 4) return false;
        value = static_cast<std::int32_t>(wire::load_u32(position_));
        position_ += 4;
        return true;
    }
    // FLOAT is widened: received floats always land in double attributes.
    bool read_float(double& value) noexcept {
        if (remaining() < 4) return false;
        value = static_cast<double>(wire::float_from_bits(wire::load_u32(position_)));
        position_ += 4;
        return true;
    }
    bool read_double(double& value) noexcept {
        if (remaining() < 8) return false;
        value = wire::double_from_bits(wire::load_u64(position_));
        position_ += 8;
        return true;
    }
    bool read_raw(void* destination, std::size_t size) noexcept;

    // Length-prefixed reads consume the length even when the text that it
    // announces is missing; the destination is then left as it was.
    bool read_string(std::string& value);
    bool read_blob16(std::string& value);
    // The same, as views of the body's own bytes: valid while the body is.
    bool read_string(std::string_view& value) noexcept {
        std::uint8_t size = 0;
        return read_byte(size) && read_view(size, value);
    }
    bool read_blob16(std::string_view& value) noexcept {
        std::uint16_t size = 0;
        return read_uint16(size) && read_view(size, value);
    }
    // The next `size` bytes as a view.
    bool read_view(std::size_t size, std::string_view& value) noexcept {
        if (remaining() < size) return false;
        value = std::string_view(reinterpret_cast<const char*>(position_), size);
        position_ += size;
        return true;
    }

private:
    const unsigned char* start_;
    const unsigned char* position_;
    const unsigned char* end_;
};

}  // namespace kivsdk
