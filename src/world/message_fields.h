// Helpers shared by the terrain, permission/setting and directed-request
// code of the world session.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

#include "api/instance.h"
#include "api/request_flow.h"
#include "wire/field_cursor.h"
#include "wire/packet_reader.h"
#include "wire/packet_writer.h"

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

// A world request answered through a callback: the next world reference
// number, a CallbackInfo with `callback` and int 9, and one message of
// `type` whose fields `fields(writer, number)` appends after the type byte.
// Returns the gate's result (or 4 for a message too large for a frame).
template <class Fields>
int recorded_world_request(Instance& instance, std::uint8_t type, int callback, Fields&& fields) {
    return send_async_request(
        instance, Side::kWorld,
        [&](PacketWriter& writer, std::int32_t number) {
            writer.append_byte(type);
            fields(writer, number);
        },
        [&](std::int32_t number) {
            return std::make_unique<CallbackInfo>(number, callback,
                                                  instance.int_at(KIV_REFERENCE_NUMBER));
        });
}

// A world request without an answer: refused with 4 when it cannot be
// framed, otherwise the world send gate decides.
inline int unrecorded_world_request(Instance& instance, PacketWriter& writer) {
    if (!writer.fits()) return KIV_RC_STRING_TOO_LONG;
    return world_send_gate(instance, writer);
}

}  // namespace kivsdk::world_fields
