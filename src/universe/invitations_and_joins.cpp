// Invitations and joins between two users of one universe: requests,
// answers, incoming offers and the replies to this user's own requests.
#include <string>

#include "api/boundary.h"
#include "api/instance.h"
#include "api/request_flow.h"
#include "universe/universe_messages.h"
#include "universe/universe_session.h"
#include "wire/packet_reader.h"
#include "wire/packet_writer.h"

namespace kivsdk {
namespace {

int map_reply(std::uint8_t result, int refused) {
    switch (result) {
        case 0: return KIV_RC_SUCCESS;
        case 1: return refused;
        case 2: return KIV_RC_TIMEOUT;
        case 3: return KIV_RC_PEER_UNAVAILABLE;
        default: return KIV_RC_REQUEST_FAILED;
    }
}

// A place in a world as invitations and join replies carry it.
struct Place {
    double x = 0, y = 0, z = 0;
    double yaw = 0, pitch = 0;  // FLOAT on the wire
    std::string world;
};

void read_place(PacketReader& body, Place& place) {
    body.read_double(place.x);
    body.read_double(place.y);
    body.read_double(place.z);
    body.read_float(place.yaw);
    body.read_float(place.pitch);
    body.read_string(place.world);
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
    std::int32_t join_id = 0, user_id = 0;
    std::string name;
    // Only a complete request is reported.
    if (!body.read_int32(join_id) || !body.read_int32(user_id) || !body.read_string(name)) return;
    instance.set_int(KIV_JOIN_ID, join_id);
    instance.set_int(KIV_USER_ID, user_id);
    instance.set_string(KIV_JOIN_NAME, name.data(), name.size());
    instance.fire_event(KIV_EVENT_JOIN);
}

void on_invitation(Instance& instance, PacketReader& body) {
    std::int32_t invitation_id = 0, user_id = 0;
    Place place;
    std::string name;
    body.read_int32(invitation_id);
    body.read_int32(user_id);
    read_place(body, place);
    body.read_string(name);
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

void complete_join_request(Instance& instance, const CallbackInfo& record, std::uint8_t result,
                           PacketReader& body) {
    Place place;
    std::string name;
    if (result == 0) read_place(body, place);
    body.read_string(name);
    instance.set_double(KIV_JOIN_X, place.x);
    instance.set_double(KIV_JOIN_Y, place.y);
    instance.set_double(KIV_JOIN_Z, place.z);
    instance.set_double(KIV_JOIN_YAW, place.yaw);
    instance.set_double(KIV_JOIN_PITCH, place.pitch);
    instance.set_string(KIV_JOIN_WORLD, place.world.data(), place.world.size());
    instance.set_string(KIV_JOIN_NAME, name.data(), name.size());
    instance.fire_callback(KIV_CALLBACK_JOIN, map_reply(result, KIV_RC_JOIN_REFUSED),
                           record.reference);
}

void complete_invitation(Instance& instance, const CallbackInfo& record, std::uint8_t result,
                         PacketReader& body) {
    std::string name;
    body.read_string(name);
    instance.set_string(KIV_INVITE_NAME, name.data(), name.size());
    instance.fire_callback(KIV_CALLBACK_INVITE, map_reply(result, KIV_RC_INVITE_REFUSED),
                           record.reference);
}

}  // namespace kivsdk

using kivsdk::Instance;
using kivsdk::PacketWriter;

extern "C" {

KIVSDK_API int kiv_invite(KIVInstance* handle, int user_id, const char* world, double x, double y,
                          double z, float yaw, float pitch) {
    return kivsdk::run_request(handle, [&](Instance& instance) -> int {
        return kivsdk::send_async_request(
            instance, kivsdk::Side::kUniverse,
            [&](PacketWriter& writer, std::int32_t number) {
                writer.append_byte(kivsdk::universe_message::kInvite);
                writer.append_int32(number);
                writer.append_int32(user_id);
                kivsdk::append_place(writer, world, x, y, z, yaw, pitch);
            },
            [&](std::int32_t number) {
                return std::make_unique<kivsdk::CallbackInfo>(
                    number, KIV_CALLBACK_INVITE, instance.int_at(KIV_REFERENCE_NUMBER));
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
        if (!instance.universe) return KIV_RC_NOT_IN_UNIVERSE;
        return kivsdk::send_async_request(
            instance, kivsdk::Side::kUniverse,
            [&](PacketWriter& writer, std::int32_t number) {
                writer.append_byte(kivsdk::universe_message::kJoin);
                writer.append_int32(number);
                writer.append_int32(user_id);
            },
            [&](std::int32_t number) {
                return std::make_unique<kivsdk::CallbackInfo>(
                    number, KIV_CALLBACK_JOIN, instance.int_at(KIV_REFERENCE_NUMBER));
            });
    });
}

KIVSDK_API int kiv_join_accept(KIVInstance* handle, int join_id, const char* world, double x,
                               double y, double z, float yaw, float pitch) {
    return kivsdk::run_request(handle, [&](Instance& instance) -> int {
        if (!instance.universe) return KIV_RC_NOT_IN_UNIVERSE;
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
        if (!instance.universe) return KIV_RC_NOT_IN_UNIVERSE;
        PacketWriter writer;
        writer.append_byte(kivsdk::universe_message::kJoinAnswer);
        writer.append_int32(join_id);
        writer.append_byte(0);
        return kivsdk::universe_send_gate(instance, writer);
    });
}

}  // extern "C"
