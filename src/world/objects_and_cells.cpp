// Objects and cells: object requests and notifications, cell queries, and
// the transaction result that answers every recorded world request.
#include <algorithm>
#include <array>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <utility>

#include "api/boundary.h"
#include "api/instance.h"
#include "api/request_flow.h"
#include "wire/packet_reader.h"
#include "wire/packet_writer.h"
#include "wire/world_messages.h"
#include "world/message_fields.h"
#include "world/world_session.h"

namespace kivsdk {
namespace {

using world_fields::float_into;
using world_fields::int_into;
using world_fields::set_text;

constexpr std::size_t kMaxObjectString = 255;
constexpr std::array<int, 3> kObjectStrings = {KIV_OBJECT_STRING_1, KIV_OBJECT_STRING_2,
                                               KIV_OBJECT_STRING_3};
constexpr std::array<int, 3> kObjectPosition = {KIV_OBJECT_X, KIV_OBJECT_Y, KIV_OBJECT_Z};

// ---- Reading -------------------------------------------------------------

// The position again, in double precision, at the end of object messages.
// Only an intact message has them; a message that ends first keeps the
// FLOAT values already stored.
void double_position_into(Instance& instance, const FieldCursor& fields, PacketReader& body) {
    if (!fields.intact()) return;
    for (const int index : kObjectPosition) {
        double value = 0.0;
        if (!body.read_double(value)) return;
        instance.set_double(index, value);
    }
}

// Object strings arrive as KIV_OBJECT_STRING_1, _3, _2.
void set_received_strings(Instance& instance, const std::array<std::string_view, 3>& strings) {
    set_text(instance, KIV_OBJECT_STRING_1, strings[0]);
    set_text(instance, KIV_OBJECT_STRING_3, strings[1]);
    set_text(instance, KIV_OBJECT_STRING_2, strings[2]);
}

// An empty or missing blob leaves data 0 empty (null), not a zero-length buffer.
void set_object_data(Instance& instance, std::string_view data) {
    instance.set_data(KIV_OBJECT_DATA, data.empty() ? nullptr : data.data(),
                      static_cast<std::int32_t>(data.size()));
}

// Messages 7 and 11.
void on_object_notice(Instance& instance, PacketReader& body, int event) {
    FieldCursor fields(body);
    std::array<std::string_view, 3> strings;
    std::string_view data;
    int_into(instance, fields, KIV_OBJECT_ID);
    for (std::string_view& text : strings) fields.string(text);
    for (const int index : {KIV_OBJECT_X, KIV_OBJECT_Y, KIV_OBJECT_Z, KIV_OBJECT_ROTATION_X,
                            KIV_OBJECT_ROTATION_Y, KIV_OBJECT_ROTATION_Z}) {
        float_into(instance, fields, index);
    }
    int_into(instance, fields, KIV_OBJECT_INT_1);
    int_into(instance, fields, KIV_OBJECT_INT_2);
    std::uint8_t type = 0;
    if (fields.byte(type)) instance.set_int(KIV_OBJECT_TYPE, type);
    fields.blob16(data);
    set_object_data(instance, data);
    float_into(instance, fields, KIV_OBJECT_ROTATION_ANGLE);
    instance.set_int(KIV_AVATAR_SESSION, 0);
    int_into(instance, fields, KIV_AVATAR_SESSION);
    double_position_into(instance, fields, body);
    set_received_strings(instance, strings);
    instance.fire_event(event);
    for (const int index : kObjectStrings) instance.clear_string(index);
}

// Messages 33 and 34: nothing happens unless both numbers arrived.
void on_bump(Instance& instance, PacketReader& body, int event) {
    FieldCursor fields(body);
    std::int32_t session = 0;
    std::int32_t object_id = 0;
    fields.int32(session);
    fields.int32(object_id);
    if (!fields.intact()) return;
    instance.set_int(KIV_AVATAR_SESSION, session);
    instance.set_int(KIV_OBJECT_ID, object_id);
    instance.fire_event(event);
}

// ---- Requests ------------------------------------------------------------

bool object_strings_fit(const Instance& instance) {
    return std::all_of(kObjectStrings.begin(), kObjectStrings.end(), [&](int index) {
        return instance.string_at(index).size() <= kMaxObjectString;
    });
}

void append_object_strings_and_data(PacketWriter& writer, const Instance& instance) {
    for (const int index : kObjectStrings) writer.append_string(instance.string_at(index));
    const DataAttribute* data = instance.data_attribute(KIV_OBJECT_DATA);
    const std::size_t size = data->bytes ? static_cast<std::size_t>(data->length) : 0;
    writer.append_blob16(data->bytes.get(), size);
}

void append_floats(PacketWriter& writer, const Instance& instance, int first, int last) {
    for (int index = first; index <= last; ++index) {
        writer.append_float(static_cast<float>(instance.double_at(index)));
    }
}

void append_double_position(PacketWriter& writer, const Instance& instance) {
    for (const int index : kObjectPosition) writer.append_double(instance.double_at(index));
}

// The description that add and change send, from the type byte on.
void append_description(PacketWriter& writer, const Instance& instance) {
    writer.append_byte(static_cast<std::uint8_t>(instance.int_at(KIV_OBJECT_TYPE)));
    append_floats(writer, instance, KIV_OBJECT_X, KIV_OBJECT_ROTATION_Z);
    append_object_strings_and_data(writer, instance);
    append_floats(writer, instance, KIV_OBJECT_ROTATION_ANGLE, KIV_OBJECT_ROTATION_ANGLE);
    append_double_position(writer, instance);
}

// Add, change and load: described by the object attributes, answered with
// the object kept as KIV_OBJECT_ID.
template <class Fields>
int described_object_request(Instance& instance, std::uint8_t type, int callback, Fields&& fields) {
    if (!instance.world.connection) return KIV_RC_NOT_IN_WORLD;
    if (!object_strings_fit(instance)) return KIV_RC_STRING_TOO_LONG;
    return world_object_request(instance, type, callback, instance.int_at(KIV_OBJECT_ID),
                                std::forward<Fields>(fields));
}

int unrecorded_request(Instance& instance, PacketWriter& writer) {
    if (!instance.world.connection) return KIV_RC_NOT_IN_WORLD;
    return world_message_request(instance, writer);
}

int bump(Instance& instance, std::uint8_t type, std::int32_t object_id, std::int32_t session) {
    PacketWriter writer;
    writer.append_byte(type);
    writer.append_int32(object_id);
    writer.append_int32(session);
    return unrecorded_request(instance, writer);
}

}  // namespace

void on_cell(Instance& instance, PacketReader& body) {
    FieldCursor fields(body);
    std::int32_t cell_x = 0;
    std::int32_t cell_z = 0;
    std::int32_t revision = 0;
    std::uint8_t status = 0;
    fields.int32(cell_x);
    fields.int32(cell_z);
    fields.int32(revision);
    fields.byte(status);
    instance.set_int(KIV_CELL_X, cell_x);
    instance.set_int(KIV_CELL_Z, cell_z);
    instance.set_int(KIV_CELL_REVISION, revision);
    instance.set_int(KIV_CELL_STATUS, status);
    instance.fire_event(KIV_EVENT_CELL_END);
}

void on_object_announced(Instance& instance, PacketReader& body) {
    on_object_notice(instance, body, KIV_EVENT_OBJECT);
}

void on_object_changed(Instance& instance, PacketReader& body) {
    on_object_notice(instance, body, KIV_EVENT_OBJECT_CHANGE);
}

void on_object_deleted(Instance& instance, PacketReader& body) {
    FieldCursor fields(body);
    instance.set_int(KIV_AVATAR_SESSION, 0);
    instance.set_int(KIV_OBJECT_ID, 0);
    int_into(instance, fields, KIV_OBJECT_ID);
    int_into(instance, fields, KIV_AVATAR_SESSION);
    instance.fire_event(KIV_EVENT_OBJECT_DELETE);
}

void on_object_clicked(Instance& instance, PacketReader& body) {
    FieldCursor fields(body);
    std::string name;
    int_into(instance, fields, KIV_AVATAR_SESSION);
    fields.string(name);
    set_text(instance, KIV_AVATAR_NAME, name);
    int_into(instance, fields, KIV_OBJECT_ID);
    float_into(instance, fields, KIV_CLICK_HIT_X);
    float_into(instance, fields, KIV_CLICK_HIT_Y);
    float_into(instance, fields, KIV_CLICK_HIT_Z);
    // The clicker's name stays readable after the event.
    instance.fire_event(KIV_EVENT_OBJECT_CLICK);
}

void on_object_bump_begin(Instance& instance, PacketReader& body) {
    on_bump(instance, body, KIV_EVENT_OBJECT_BUMP_BEGIN);
}

void on_object_bump_end(Instance& instance, PacketReader& body) {
    on_bump(instance, body, KIV_EVENT_OBJECT_BUMP_END);
}

void read_object_record(Instance& instance, PacketReader& body) {
    FieldCursor fields(body);
    std::uint8_t type = 0;
    std::array<std::string_view, 3> strings;
    std::string_view data;
    int_into(instance, fields, KIV_OBJECT_ID);
    fields.byte(type);
    for (int index = KIV_OBJECT_X; index <= KIV_OBJECT_ROTATION_ANGLE; ++index) {
        float_into(instance, fields, index);
    }
    int_into(instance, fields, KIV_OBJECT_INT_1);
    int_into(instance, fields, KIV_OBJECT_INT_2);
    for (std::string_view& text : strings) fields.string(text);
    fields.blob16(data);
    double_position_into(instance, fields, body);
    instance.set_int(KIV_OBJECT_TYPE, type);
    set_received_strings(instance, strings);
    set_object_data(instance, data);
}

}  // namespace kivsdk

using kivsdk::Instance;
using kivsdk::PacketWriter;

extern "C" {

KIVSDK_API int kiv_object_add(KIVInstance* handle) {
    return kivsdk::run_request(handle, [&](Instance& instance) -> int {
        return kivsdk::described_object_request(instance, kivsdk::world_message::kObjectAdd,
                                                KIV_CALLBACK_OBJECT_ADD,
                                                [&](PacketWriter& writer, std::int32_t number) {
                                                    writer.append_int32(number);
                                                    kivsdk::append_description(writer, instance);
                                                });
    });
}

KIVSDK_API int kiv_object_change(KIVInstance* handle) {
    return kivsdk::run_request(handle, [&](Instance& instance) -> int {
        return kivsdk::described_object_request(
            instance, kivsdk::world_message::kObjectChange, KIV_CALLBACK_OBJECT_CHANGE,
            [&](PacketWriter& writer, std::int32_t number) {
                writer.append_int32(number);
                writer.append_int32(instance.int_at(KIV_OBJECT_ID));
                kivsdk::append_description(writer, instance);
            });
    });
}

KIVSDK_API int kiv_object_load(KIVInstance* handle) {
    return kivsdk::run_request(handle, [&](Instance& instance) -> int {
        return kivsdk::described_object_request(
            instance, kivsdk::world_message::kObjectLoad, KIV_CALLBACK_OBJECT_LOAD,
            [&](PacketWriter& writer, std::int32_t number) {
                writer.append_int32(number);
                writer.append_byte(static_cast<std::uint8_t>(instance.int_at(KIV_OBJECT_TYPE)));
                writer.append_int32(instance.int_at(KIV_OBJECT_INT_2));
                writer.append_int32(instance.int_at(KIV_OBJECT_INT_1));
                kivsdk::append_floats(writer, instance, KIV_OBJECT_X, KIV_OBJECT_ROTATION_ANGLE);
                kivsdk::append_object_strings_and_data(writer, instance);
                kivsdk::append_double_position(writer, instance);
            });
    });
}

KIVSDK_API int kiv_object_delete(KIVInstance* handle, int object_id) {
    return kivsdk::run_request(handle, [&](Instance& instance) -> int {
        if (!instance.world.connection) return KIV_RC_NOT_IN_WORLD;
        return kivsdk::world_object_request(instance, kivsdk::world_message::kObjectDelete,
                                            KIV_CALLBACK_OBJECT_DELETE, object_id,
                                            [&](PacketWriter& writer, std::int32_t number) {
                                                writer.append_int32(number);
                                                writer.append_int32(object_id);
                                            });
    });
}

KIVSDK_API int kiv_object_get(KIVInstance* handle, int object_id) {
    return kivsdk::run_request(handle, [&](Instance& instance) -> int {
        if (!instance.world.connection) return KIV_RC_NOT_IN_WORLD;
        return kivsdk::world_request(instance, kivsdk::world_message::kObjectGet,
                                     KIV_CALLBACK_OBJECT_GET,
                                     [&](PacketWriter& writer, std::int32_t number) {
                                         writer.append_int32(number);
                                         writer.append_int32(object_id);
                                     });
    });
}

KIVSDK_API int kiv_object_click(KIVInstance* handle, int object_id, int session, float hit_x,
                                float hit_y, float hit_z) {
    return kivsdk::run_request(handle, [&](Instance& instance) -> int {
        PacketWriter writer;
        writer.append_byte(kivsdk::world_message::kObjectClick);
        writer.append_int32(object_id);
        writer.append_float(hit_x);
        writer.append_float(hit_y);
        writer.append_float(hit_z);
        writer.append_int32(session);
        return kivsdk::unrecorded_request(instance, writer);
    });
}

KIVSDK_API int kiv_object_bump_begin(KIVInstance* handle, int object_id, int session) {
    return kivsdk::run_request(handle, [&](Instance& instance) -> int {
        return kivsdk::bump(instance, kivsdk::world_message::kBumpBegin, object_id, session);
    });
}

KIVSDK_API int kiv_object_bump_end(KIVInstance* handle, int object_id, int session) {
    return kivsdk::run_request(handle, [&](Instance& instance) -> int {
        return kivsdk::bump(instance, kivsdk::world_message::kBumpEnd, object_id, session);
    });
}

KIVSDK_API int kiv_query_cell_revision(KIVInstance* handle, int cell_x, int cell_z, int revision) {
    return kivsdk::run_request(handle, [&](Instance& instance) -> int {
        PacketWriter writer;
        writer.append_byte(kivsdk::world_message::kCell);
        writer.append_int32(cell_x);
        writer.append_int32(cell_z);
        writer.append_int32(revision);
        return kivsdk::unrecorded_request(instance, writer);
    });
}

KIVSDK_API int kiv_query_cell(KIVInstance* handle, int cell_x, int cell_z) {
    return kiv_query_cell_revision(handle, cell_x, cell_z, 0);
}

}  // extern "C"
