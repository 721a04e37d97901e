// Field-to-attribute helpers shared by the world session's topic files.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

#include "api/instance.h"
#include "wire/field_cursor.h"

namespace kivsdk::world_fields {

// A field read straight into an attribute: a missing field leaves the
// attribute as it was.
inline void int_into(Instance& instance, FieldCursor& fields, int index) {
    std::int32_t value = 0;
    if (fields.int32(value)) instance.set_int(index, value);
}

inline void float_into(Instance& instance, FieldCursor& fields, int index) {
    double value = 0.0;
    if (fields.float32(value)) instance.set_double(index, value);
}

inline void set_text(Instance& instance, int index, std::string_view text) {
    instance.set_string(index, text.data(), text.size());
}

}  // namespace kivsdk::world_fields
