// Invitations and joins between two users of one universe: requests,
// answers, incoming offers and the replies to this user's own requests.
#include <string_view>

#include "api/boundary.h"
#include "api/instance.h"
#include "api/request_flow.h"
#include "universe/universe_session.h"
#include "wire/field_cursor.h"
#include "wire/packet_reader.h"
#include "wire/packet_writer.h"
#include "wire/universe_messages.h"

namespace kivsdk {
namespace {

// A place in a world as invitations and join replies carry it.
struct Place {
    double x = 0, y = 0, z = 0;
    double yaw = 0, pitch = 0;  // FLOAT on the wire
    std::string_view world;
};

void read_place(FieldCursor& fields, Place& place) {
    fields.float64(place.x);
    fields.float64(place.y);
    fields.float64(place.z);
    fields.float32(place.yaw);
    fields.float32(place.pitch);
    fields.string(place.world);
}

void append_place(PacketWriter& writer, const char* world, double x, double y, double z, float yaw,
                  float pitch) {
    writer.append_double(x);
    writer.append_double(y);
    writer.append_double(z);
    writer.append_float(yaw);
    writer.append_float(pitch);
    writer.append_string(text_or_empty(world));
}

int answer_invitation(KIVInstance* handle, int invitation_id, std::uint8_t accept) {
    return run_request(handle, [&](Instance& instance) -> int {
        PacketWriter writer;
        writer.append_byte(universe_message::kInviteAnswer);
        writer.append_int32(invitation_id);
        writer.append_byte(accept);
        return universe_send_gate(instance, writer);
    });
}

}  // namespace

void on_join_request(Instance& instance, PacketReader& body) {
    FieldCursor fields(body);
    std::int32_t join_id = 0, user_id = 0;
    std::string_view name;
    // Only a complete request is reported.
    if (!fields.int32(join_id) || !fields.int32(user_id) || !fields.string(name)) return;
    instance.set_int(KIV_JOIN_ID, join_id);
    instance.set_int(KIV_USER_ID, user_id);
    instance.set_string(KIV_JOIN_NAME, name.data(), name.size());
    instance.fire_event(KIV_EVENT_JOIN);
}

void on_invitation(Instance& instance, PacketReader& body) {
    FieldCursor fields(body);
    std::int32_t invitation_id = 0, user_id = 0;
    Place place;
    std::string_view name;
    fields.int32(invitation_id);
    fields.int32(user_id);
    read_place(fields, place);
    fields.string(name);
    instance.set_int(KIV_INVITE_ID, invitation_id);
    instance.set_int(KIV_INVITE_USER_ID, user_id);
    instance.set_double(KIV_INVITE_X, place.x);
    instance.set_double(KIV_INVITE_Y, place.y);
    instance.set_double(KIV_INVITE_Z, place.z);
    instance.set_double(KIV_INVITE_YAW, place.yaw);
    instance.set_double(KIV_INVITE_PITCH, place.pitch);
    instance.set_string(KIV_INVITE_WORLD, place.world.data(), place.world.size());
    instance.set_string(KIV_INVITE_NAME, name.data(), name.size());
    instance.fire_event(KIV_EVENT_INVITE);
}

void read_join_answer(Instance& instance, std::uint8_t result, FieldCursor& fields) {
    Place place;
    std::string_view name;
    if (result == 0) read_place(fields, place);
    fields.string(name);
    instance.set_double(KIV_JOIN_X, place.x);
    instance.set_double(KIV_JOIN_Y, place.y);
    instance.set_double(KIV_JOIN_Z, place.z);
    instance.set_double(KIV_JOIN_YAW, place.yaw);
    instance.set_double(KIV_JOIN_PITCH, place.pitch);
    instance.set_string(KIV_JOIN_WORLD, place.world.data(), place.world.size());
    instance.set_string(KIV_JOIN_NAME, name.data(), name.size());
}

void read_invitation_answer(Instance& instance, FieldCursor& fields) {
    std::string_view name;
    fields.string(name);
    instance.set_string(KIV_INVITE_NAME, name.data(), name.size());
}

}  // namespace kivsdk

using kivsdk::Instance;
using kivsdk::PacketWriter;

extern "C" {

KIVSDK_API int kiv_invite(KIVInstance* handle, int user_id, const char* world, double x, double y,
                          double z, float yaw, float pitch) {
    return kivsdk::run_request(handle, [&](Instance& instance) -> int {
        // No connection check first: the invitation takes its number either way.
        return kivsdk::send_recorded_request(
            instance, kivsdk::Side::kUniverse, &kivsdk::universe_send_gate, KIV_CALLBACK_INVITE, 0,
            [&](PacketWriter& writer, std::int32_t number) {
                writer.append_byte(kivsdk::universe_message::kInvite);
                writer.append_int32(number);
                writer.append_int32(user_id);
                kivsdk::append_place(writer, world, x, y, z, yaw, pitch);
            });
    });
}

KIVSDK_API int kiv_invite_accept(KIVInstance* handle, int invitation_id) {
    return kivsdk::answer_invitation(handle, invitation_id, 1);
}

KIVSDK_API int kiv_invite_decline(KIVInstance* handle, int invitation_id) {
    return kivsdk::answer_invitation(handle, invitation_id, 0);
}

// Joins report the gate's result (0 or 17): a message that was not sent is
// not reported as sent.
KIVSDK_API int kiv_join(KIVInstance* handle, int user_id) {
    return kivsdk::run_request(handle, [&](Instance& instance) -> int {
        return kivsdk::universe_request(instance, KIV_CALLBACK_JOIN,
                                        [&](PacketWriter& writer, std::int32_t number) {
                                            writer.append_byte(kivsdk::universe_message::kJoin);
                                            writer.append_int32(number);
                                            writer.append_int32(user_id);
                                        });
    });
}

KIVSDK_API int kiv_join_accept(KIVInstance* handle, int join_id, const char* world, double x,
                               double y, double z, float yaw, float pitch) {
    return kivsdk::run_request(handle, [&](Instance& instance) -> int {
        if (!instance.universe.connection) return KIV_RC_NOT_IN_UNIVERSE;
        PacketWriter writer;
        writer.append_byte(kivsdk::universe_message::kJoinAnswer);
        writer.append_int32(join_id);
        writer.append_byte(1);
        kivsdk::append_place(writer, world, x, y, z, yaw, pitch);
        return kivsdk::universe_send_gate(instance, writer);
    });
}

KIVSDK_API int kiv_join_decline(KIVInstance* handle, int join_id) {
    return kivsdk::run_request(handle, [&](Instance& instance) -> int {
        if (!instance.universe.connection) return KIV_RC_NOT_IN_UNIVERSE;
        PacketWriter writer;
        writer.append_byte(kivsdk::universe_message::kJoinAnswer);
        writer.append_int32(join_id);
        writer.append_byte(0);
        return kivsdk::universe_send_gate(instance, writer);
    });
}

}  // extern "C"
