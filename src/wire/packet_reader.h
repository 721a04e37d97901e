// PacketReader: a cursor over the body of one received frame. Every read
// stays inside the body and reports failure instead of reading past it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace kivsdk {

class PacketReader {
public:
    PacketReader(const unsigned char* body, std::uint16_t length) noexcept
        : start_(body), position_(body), end_(body + length) {}

    const unsigned char* body() const noexcept { return start_; }
    std::size_t remaining() const noexcept { return static_cast<std::size_t>(end_ - position_); }

    // On failure these leave the destination and the position unchanged.
    bool read_byte(std::uint8_t& value) noexcept;
    bool read_uint16(std::uint16_t& value) noexcept;
    bool read_int32(std::int32_t& value) noexcept;
    // FLOAT is widened: received floats always land in double attributes.
    bool read_float(double& value) noexcept;
    bool read_double(double& value) noexcept;
    bool read_raw(void* destination, std::size_t size) noexcept;

    // Length-prefixed reads consume the length even when the text that it
    // announces is missing; the destination is then left as it was.
    bool read_string(std::string& value);
    bool read_blob16(std::string& value);

private:
    const unsigned char* start_;
    const unsigned char* position_;
    const unsigned char* end_;
};

}  // namespace kivsdk
