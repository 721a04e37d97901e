// Fields: reads a request's fields in order from one frame body. The first
// field that is missing makes every later read fail too, and ok() tells
// whether the message was whole. Reads return the value, or zero/empty once
// the message is cut.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "wire/field_cursor.h"
#include "wire/packet_reader.h"

namespace kivsdk::sandbox {

class Fields {
public:
    Fields(const unsigned char* body, std::size_t size) noexcept
        : reader_(body, static_cast<std::uint16_t>(size)) {
        cursor_.byte(type_);
    }
    // The cursor refers to this object's reader.
    Fields(const Fields&) = delete;
    Fields& operator=(const Fields&) = delete;

    std::uint8_t type() const noexcept { return type_; }
    bool ok() const noexcept { return cursor_.intact(); }
    std::size_t remaining() const noexcept { return reader_.remaining(); }

    std::uint8_t byte() noexcept { return read<std::uint8_t>(&FieldCursor::byte); }
    std::uint16_t uint16() noexcept { return read<std::uint16_t>(&FieldCursor::uint16); }
    std::int32_t int32() noexcept { return read<std::int32_t>(&FieldCursor::int32); }
    float float32() noexcept { return static_cast<float>(read<double>(&FieldCursor::float32)); }
    double float64() noexcept { return read<double>(&FieldCursor::float64); }
    std::string string() {
        std::string value;
        cursor_.string(value);
        return value;
    }
    std::string blob16() {
        std::string value;
        cursor_.blob16(value);
        return value;
    }
    bool raw(void* destination, std::size_t size) noexcept {
        return cursor_.raw(destination, size);
    }

private:
    template <class T>
    T read(bool (FieldCursor::*field)(T&) noexcept) noexcept {
        T value{};
        (cursor_.*field)(value);
        return value;
    }

    PacketReader reader_;
    FieldCursor cursor_{reader_};
    std::uint8_t type_ = 0;
};

}  // namespace kivsdk::sandbox
