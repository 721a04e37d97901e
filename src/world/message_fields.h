// Helpers shared by the terrain, permission/setting and directed-request
// code of the world session.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

#include "api/instance.h"
#include "api/request_flow.h"
#include "wire/packet_reader.h"
#include "wire/packet_writer.h"

namespace kivsdk::world_fields {

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
