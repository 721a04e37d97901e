// Reading requests: the services read a body with the library's
// PacketReader and FieldCursor, in the order of the message's fields.
// read_fields() takes several fields at once by the types of the values
// they land in; BLOB16 and raw fields are read with the cursor itself.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "wire/field_cursor.h"

namespace kivsdk::sandbox {

// One field by the type of `value`: INT32, BYTE, FLOAT (kept single),
// DOUBLE or STRING. `value` stays as it was when the field is missing.
inline bool read_field(FieldCursor& fields, std::int32_t& value) noexcept {
    return fields.int32(value);
}
inline bool read_field(FieldCursor& fields, std::uint8_t& value) noexcept {
    return fields.byte(value);
}
inline bool read_field(FieldCursor& fields, float& value) noexcept {
    double wide = 0;
    if (!fields.float32(wide)) return false;
    value = static_cast<float>(wide);
    return true;
}
inline bool read_field(FieldCursor& fields, double& value) noexcept {
    return fields.float64(value);
}
inline bool read_field(FieldCursor& fields, std::string& value) { return fields.string(value); }
inline bool read_field(FieldCursor& fields, std::string_view& value) noexcept {
    return fields.string(value);
}

// The next fields, in order; true when the message held them all.
template <class... Values>
bool read_fields(FieldCursor& fields, Values&... values) {
    (read_field(fields, values), ...);
    return fields.intact();
}

}  // namespace kivsdk::sandbox
