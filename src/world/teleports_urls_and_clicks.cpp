// Requests addressed to one other avatar (click, teleport, URL, console
// message) and the clicks, teleports and URLs the world sends this client.
#include <cstring>
#include <string>
#include <string_view>

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

constexpr std::size_t kMaxUrlLength = 2048;
constexpr std::size_t kMaxConsoleTextLength = 255;

}  // namespace

void on_avatar_clicked(Instance& instance, PacketReader& body) {
    if (body.remaining() < 8) return;
    std::int32_t session = 0, clicked = 0;
    body.read_int32(session);
    body.read_int32(clicked);
    instance.set_int(KIV_AVATAR_SESSION, session);
    instance.set_int(KIV_CLICKED_SESSION, clicked);
    // A hit coordinate missing from the end keeps its previous value.
    for (const int slot : {KIV_CLICK_HIT_X, KIV_CLICK_HIT_Y, KIV_CLICK_HIT_Z}) {
        double coordinate = 0.0;
        if (!body.read_float(coordinate)) break;
        instance.set_double(slot, coordinate);
    }
    instance.fire_event(KIV_EVENT_AVATAR_CLICK);
}

void on_teleport(Instance& instance, PacketReader& body) {
    FieldCursor fields(body);
    std::int32_t session = 0;
    std::string world;
    double position[5] = {0.0, 0.0, 0.0, 0.0, 0.0};
    fields.int32(session);
    fields.string(world);
    for (double& value : position) fields.float32(value);
    instance.set_int(KIV_AVATAR_SESSION, session);
    instance.set_string(KIV_TELEPORT_WORLD, world.data(), world.size());
    instance.set_double(KIV_TELEPORT_X, position[0]);
    instance.set_double(KIV_TELEPORT_Y, position[1]);
    instance.set_double(KIV_TELEPORT_Z, position[2]);
    instance.set_double(KIV_TELEPORT_YAW, position[3]);
    instance.set_double(KIV_TELEPORT_PITCH, position[4]);
    instance.fire_event(KIV_EVENT_TELEPORT);
}

void on_url(Instance& instance, PacketReader& body) {
    std::int32_t session = 0;
    std::uint8_t target = 0;
    std::string url;
    if (!body.read_int32(session) || !body.read_byte(target) || !body.read_blob16(url)) return;
    instance.set_int(KIV_URL_TARGET, target);
    instance.set_int(KIV_AVATAR_SESSION, session);
    // The URL is text: it ends at its first zero byte.
    instance.set_string(KIV_URL, url.data(), std::strlen(url.c_str()));
    instance.fire_event(KIV_EVENT_URL);
    instance.clear_string(KIV_URL);
}

}  // namespace kivsdk

using kivsdk::Instance;
using kivsdk::PacketWriter;

extern "C" {

KIVSDK_API int kiv_avatar_click(KIVInstance* handle, int session) {
    return kivsdk::run_request(handle, [&](Instance& instance) -> int {
        if (!instance.world.connection) return KIV_RC_NOT_IN_WORLD;
        PacketWriter writer;
        writer.append_byte(kivsdk::world_message::kAvatarClick);
        writer.append_int32(session);
        writer.append_float(static_cast<float>(instance.double_at(KIV_CLICK_HIT_X)));
        writer.append_float(static_cast<float>(instance.double_at(KIV_CLICK_HIT_Y)));
        writer.append_float(static_cast<float>(instance.double_at(KIV_CLICK_HIT_Z)));
        return kivsdk::world_message_request(instance, writer);
    });
}

KIVSDK_API int kiv_teleport_avatar(KIVInstance* handle, int session, const char* world, float x,
                                   float y, float z, float yaw, float pitch) {
    return kivsdk::run_request(handle, [&](Instance& instance) -> int {
        if (!instance.world.connection) return KIV_RC_NOT_IN_WORLD;
        PacketWriter writer;
        writer.append_byte(kivsdk::world_message::kTeleport);
        writer.append_int32(session);
        writer.append_string(kivsdk::text_or_empty(world));  // cut to 255 bytes
        for (const float value : {x, y, z, yaw, pitch}) writer.append_float(value);
        return kivsdk::world_message_request(instance, writer);
    });
}

KIVSDK_API int kiv_url_send(KIVInstance* handle, int session, const char* url, int target) {
    return kivsdk::run_request(handle, [&](Instance& instance) -> int {
        const std::string_view text = kivsdk::text_or_empty(url);
        if (!instance.world.connection) return KIV_RC_NOT_IN_WORLD;
        if (text.size() > kivsdk::kMaxUrlLength) return KIV_RC_STRING_TOO_LONG;
        PacketWriter writer(text.size() + 10);
        writer.append_byte(kivsdk::world_message::kUrl);
        writer.append_int32(session);
        writer.append_byte(static_cast<std::uint8_t>(target));
        writer.append_blob16(text.data(), text.size());
        return kivsdk::world_message_request(instance, writer);
    });
}

KIVSDK_API int kiv_console_message(KIVInstance* handle, int session, const char* name,
                                   const char* message, int effects, int red, int green, int blue) {
    return kivsdk::run_request(handle, [&](Instance& instance) -> int {
        const std::string_view sender = kivsdk::text_or_empty(name);
        const std::string_view text = kivsdk::text_or_empty(message);
        if (text.size() > kivsdk::kMaxConsoleTextLength) return KIV_RC_STRING_TOO_LONG;
        if (sender.size() > kivsdk::kMaxConsoleTextLength) return KIV_RC_STRING_TOO_LONG;
        PacketWriter writer;
        writer.append_byte(kivsdk::world_message::kConsoleMessage);
        writer.append_int32(session);
        writer.append_string(sender);
        writer.append_string(text);
        for (const int value : {effects, red, green, blue}) {
            writer.append_byte(static_cast<std::uint8_t>(value));
        }
        return kivsdk::world_message_request(instance, writer);
    });
}

}  // extern "C"
