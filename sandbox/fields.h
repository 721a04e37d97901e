// Reading requests: the services read a body with the library's
// PacketReader and FieldCursor, in the order of the message's fields; these
// helpers keep the sandbox's single-precision values single.
#pragma once

#include "wire/field_cursor.h"

namespace kivsdk::sandbox {

// A FLOAT field into a float (the cursor widens FLOAT to double); `value`
// stays as it was when the field is missing.
inline bool float_field(FieldCursor& fields, float& value) noexcept {
    double wide = 0;
    if (!fields.float32(wide)) return false;
    value = static_cast<float>(wide);
    return true;
}

}  // namespace kivsdk::sandbox
