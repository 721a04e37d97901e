// Fields: reads a request's fields in order from one frame body. The first
// field that is missing makes every later read fail too, and ok() tells
// whether the message was whole.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "wire/packet_reader.h"

namespace kivsdk::sandbox {

class Fields {
public:
    Fields(const unsigned char* body, std::size_t size) noexcept
        : reader_(body, static_cast<std::uint16_t>(size)) {
        ok_ = reader_.read_byte(type_);
    }

    std::uint8_t type() const noexcept { return type_; }
    bool ok() const noexcept { return ok_; }
    std::size_t remaining() const noexcept { return reader_.remaining(); }

    std::uint8_t byte() noexcept {
        std::uint8_t value = 0;
        keep(ok_ && reader_.read_byte(value));
        return value;
    }
    std::uint16_t uint16() noexcept {
        std::uint16_t value = 0;
        keep(ok_ && reader_.read_uint16(value));
        return value;
    }
    std::int32_t int32() noexcept {
        std::int32_t value = 0;
        keep(ok_ && reader_.read_int32(value));
        return value;
    }
    float float32() noexcept {
        double value = 0.0;
        keep(ok_ && reader_.read_float(value));
        return static_cast<float>(value);
    }
    double float64() noexcept {
        double value = 0.0;
        keep(ok_ && reader_.read_double(value));
        return value;
    }
    std::string string() {
        std::string value;
        keep(ok_ && reader_.read_string(value));
        return value;
    }
    std::string blob16() {
        std::string value;
        keep(ok_ && reader_.read_blob16(value));
        return value;
    }
    bool raw(void* destination, std::size_t size) noexcept {
        return keep(ok_ && reader_.read_raw(destination, size));
    }

private:
    bool keep(bool read) noexcept {
        ok_ = read;
        return read;
    }

    PacketReader reader_;
    std::uint8_t type_ = 0;
    bool ok_ = false;
};

}  // namespace kivsdk::sandbox
