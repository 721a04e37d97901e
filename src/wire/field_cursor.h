// FieldCursor: a message's fields read in order, with everything after the
// first missing field treated as missing.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "wire/packet_reader.h"

namespace kivsdk {

// Reads a message's fields in order and treats everything after the first
// missing field as missing too: once a field is cut, the bytes that follow
// are not the next field, whatever they would decode to. A failed read
// leaves its destination as it was.
class FieldCursor {
public:
    explicit FieldCursor(PacketReader& body) noexcept : body_(body) {}

    bool intact() const noexcept { return intact_; }

    bool byte(std::uint8_t& value) noexcept { return keep(intact_ && body_.read_byte(value)); }
    bool uint16(std::uint16_t& value) noexcept { return keep(intact_ && body_.read_uint16(value)); }
    bool int32(std::int32_t& value) noexcept { return keep(intact_ && body_.read_int32(value)); }
    bool float32(double& value) noexcept { return keep(intact_ && body_.read_float(value)); }
    bool float64(double& value) noexcept { return keep(intact_ && body_.read_double(value)); }
    bool raw(void* destination, std::size_t size) noexcept {
        return keep(intact_ && body_.read_raw(destination, size));
    }
    bool string(std::string& value) { return keep(intact_ && body_.read_string(value)); }
    bool blob16(std::string& value) { return keep(intact_ && body_.read_blob16(value)); }
    // Views of the frame's own bytes, valid while the handler runs.
    bool string(std::string_view& value) noexcept {
        return keep(intact_ && body_.read_string(value));
    }
    bool blob16(std::string_view& value) noexcept {
        return keep(intact_ && body_.read_blob16(value));
    }

private:
    bool keep(bool ok) noexcept {
        intact_ = ok;
        return ok;
    }

    PacketReader& body_;
    bool intact_ = true;
};

}  // namespace kivsdk
