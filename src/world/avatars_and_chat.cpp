// Avatars and chat: the host's own state and chat lines going out, chat and
// the avatars around the host coming in.
#include <cstdint>
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

using world_fields::float_into;
using world_fields::int_into;
using world_fields::set_text;

constexpr std::uint8_t kConsoleLine = 1;
constexpr std::size_t kMaxChatText = 255;

// Messages 13 and 14 begin alike. The two angles travel yaw first, the
// reverse of their attribute order.
void read_avatar(Instance& instance, FieldCursor& fields, std::string_view& name) {
    int_into(instance, fields, KIV_AVATAR_SESSION);
    float_into(instance, fields, KIV_AVATAR_X);
    float_into(instance, fields, KIV_AVATAR_Y);
    float_into(instance, fields, KIV_AVATAR_Z);
    float_into(instance, fields, KIV_AVATAR_YAW);
    float_into(instance, fields, KIV_AVATAR_PITCH);
    int_into(instance, fields, KIV_AVATAR_TYPE);
    fields.string(name);
}

}  // namespace

void on_chat(Instance& instance, PacketReader& body) {
    FieldCursor fields(body);
    std::string_view name;
    std::string_view text;
    std::int32_t session = 0;
    std::uint8_t chat_type = 0;
    fields.string(name);
    fields.string(text);
    fields.int32(session);
    fields.byte(chat_type);
    instance.set_int(KIV_AVATAR_SESSION, session);
    set_text(instance, KIV_AVATAR_NAME, name);
    set_text(instance, KIV_CHAT_MESSAGE, text);
    instance.set_int(KIV_CHAT_TYPE, chat_type);
    if (chat_type == kConsoleLine) {
        std::uint8_t effects = 0;
        std::uint8_t red = 0;
        std::uint8_t green = 0;
        std::uint8_t blue = 0;
        fields.byte(effects);
        fields.byte(red);
        fields.byte(green);
        fields.byte(blue);
        instance.set_int(KIV_CHAT_EFFECTS, effects);
        instance.set_int(KIV_CHAT_COLOR_RED, red);
        instance.set_int(KIV_CHAT_COLOR_GREEN, green);
        instance.set_int(KIV_CHAT_COLOR_BLUE, blue);
    }
    instance.fire_event(KIV_EVENT_CHAT);
    instance.clear_string(KIV_AVATAR_NAME);
    instance.clear_string(KIV_CHAT_MESSAGE);
}

void on_avatar_added(Instance& instance, PacketReader& body) {
    FieldCursor fields(body);
    std::string_view name;
    std::string_view first;
    std::string_view second;
    read_avatar(instance, fields, name);
    int_into(instance, fields, KIV_USER_ID);
    fields.string(first);
    fields.string(second);
    set_text(instance, KIV_AVATAR_NAME, name);
    set_text(instance, KIV_AVATAR_STRING_1, first);
    set_text(instance, KIV_AVATAR_STRING_2, second);
    instance.fire_event(KIV_EVENT_AVATAR_ADD);
    instance.clear_string(KIV_AVATAR_NAME);
    instance.clear_string(KIV_AVATAR_STRING_1);
    instance.clear_string(KIV_AVATAR_STRING_2);
}

void on_avatar_changed(Instance& instance, PacketReader& body) {
    FieldCursor fields(body);
    std::string_view name;
    read_avatar(instance, fields, name);
    set_text(instance, KIV_AVATAR_NAME, name);
    instance.fire_event(KIV_EVENT_AVATAR_CHANGE);
    instance.clear_string(KIV_AVATAR_NAME);
}

void on_avatar_deleted(Instance& instance, PacketReader& body) {
    FieldCursor fields(body);
    std::string_view name;
    int_into(instance, fields, KIV_AVATAR_SESSION);
    fields.string(name);
    set_text(instance, KIV_AVATAR_NAME, name);
    instance.fire_event(KIV_EVENT_AVATAR_DELETE);
    instance.clear_string(KIV_AVATAR_NAME);
}

}  // namespace kivsdk

using kivsdk::Instance;
using kivsdk::PacketWriter;

extern "C" {

KIVSDK_API int kiv_state_change(KIVInstance* handle) {
    return kivsdk::run_request(handle, [&](Instance& instance) -> int {
        PacketWriter writer;
        writer.append_byte(kivsdk::world_message::kAvatarChange);
        for (const int index : {KIV_MY_X, KIV_MY_Y, KIV_MY_Z, KIV_MY_YAW, KIV_MY_PITCH}) {
            writer.append_float(static_cast<float>(instance.double_at(index)));
        }
        writer.append_int32(instance.int_at(KIV_MY_TYPE));
        const int rc = kivsdk::world_send_gate(instance, writer);
        if (rc == KIV_RC_SUCCESS) {
            // Sent again after the library enters the world anew.
            const PacketWriter::Frame frame = writer.finish();
            instance.last_state.assign(frame.data, frame.data + frame.size);
        }
        return rc;
    });
}

KIVSDK_API int kiv_say(KIVInstance* handle, const char* text) {
    return kivsdk::run_request(handle, [&](Instance& instance) -> int {
        const std::string_view line = kivsdk::text_or_empty(text);
        if (line.size() > kivsdk::kMaxChatText) return KIV_RC_STRING_TOO_LONG;
        PacketWriter writer;
        writer.append_byte(kivsdk::world_message::kChat);
        writer.append_string(line);
        return kivsdk::world_send_gate(instance, writer);
    });
}

}  // extern "C"
