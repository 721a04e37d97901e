// World permissions and settings: the six requests that change or list
// them, and the setting, end-of-settings and permission-entry messages.
#include <string>
#include <string_view>

#include "api/boundary.h"
#include "api/instance.h"
#include "api/request_flow.h"
#include "connection/connection.h"
#include "wire/packet_reader.h"
#include "wire/packet_writer.h"
#include "wire/world_messages.h"
#include "world/message_fields.h"
#include "world/world_session.h"

namespace kivsdk {
namespace {

constexpr std::size_t kMaxNameLength = 255;

// Messages 40 and 41: the same fields, for a user or for a session.
int permission_set(Instance& instance, std::uint8_t type, int callback, const char* permission,
                   std::int32_t holder, int enable) {
    const std::string_view name = text_or_empty(permission);
    if (name.size() > kMaxNameLength) return KIV_RC_STRING_TOO_LONG;
    return world_request(instance, type, callback, [&](PacketWriter& writer, std::int32_t number) {
        writer.append_int32(number);
        writer.append_byte(enable != 0 ? 1 : 0);
        writer.append_string(name);
        writer.append_int32(holder);
    });
}

int permissions_get(Instance& instance, std::uint8_t type, int callback) {
    return world_request(instance, type, callback, [&](PacketWriter& writer, std::int32_t number) {
        writer.append_int32(number);
    });
}

}  // namespace

void on_world_setting(Instance& instance, PacketReader& body) {
    FieldCursor fields(body);
    std::string name, value;
    fields.string(name);
    fields.string(value);
    instance.set_string(KIV_WORLD_SETTING_NAME, name.data(), name.size());
    instance.set_string(KIV_WORLD_SETTING_VALUE, value.data(), value.size());
    instance.fire_event(KIV_EVENT_WORLD_SETTING);
    // A setting is readable only while its event runs.
    instance.clear_string(KIV_WORLD_SETTING_NAME);
    instance.clear_string(KIV_WORLD_SETTING_VALUE);
}

void on_world_settings_end(Instance& instance, PacketReader&) {
    instance.fire_event(KIV_EVENT_WORLD_SETTINGS_END);
}

void on_world_permissions(Instance& instance, PacketReader& body) {
    // A handler may leave or replace the world between two events: the rest
    // of the message belongs to a Connection that is gone.
    const Connection* delivering = instance.world.connection.get();
    FieldCursor fields(body);
    std::int32_t unused = 0;
    std::uint8_t count = 0;
    fields.int32(unused);
    fields.byte(count);
    // An entry cut short keeps the holder of the entry before it; the count
    // is honoured even when the message ends early.
    std::int32_t holder = 0;
    for (unsigned entry = 0; entry < count; ++entry) {
        std::string name;
        fields.int32(holder);
        fields.string(name);
        instance.set_int(KIV_WORLD_PERMISSION_HOLDER, holder);
        instance.set_string(KIV_WORLD_PERMISSION_NAME, name.data(), name.size());
        instance.fire_event(KIV_EVENT_WORLD_PERMISSION);
        if (instance.discarded() || instance.world.connection.get() != delivering) return;
    }
}

}  // namespace kivsdk

using kivsdk::Instance;
using kivsdk::PacketWriter;

extern "C" {

KIVSDK_API int kiv_world_permission_user_set(KIVInstance* handle, const char* permission,
                                             int user_id, int enable) {
    return kivsdk::run_request(handle, [&](Instance& instance) -> int {
        return kivsdk::permission_set(instance, kivsdk::world_message::kPermissionUserSet,
                                      KIV_CALLBACK_WORLD_PERMISSION_USER_SET, permission, user_id,
                                      enable);
    });
}

KIVSDK_API int kiv_world_permission_session_set(KIVInstance* handle, const char* permission,
                                                int session, int enable) {
    return kivsdk::run_request(handle, [&](Instance& instance) -> int {
        return kivsdk::permission_set(instance, kivsdk::world_message::kPermissionSessionSet,
                                      KIV_CALLBACK_WORLD_PERMISSION_SESSION_SET, permission,
                                      session, enable);
    });
}

KIVSDK_API int kiv_world_permissions_get_all(KIVInstance* handle) {
    return kivsdk::run_request(handle, [&](Instance& instance) -> int {
        return kivsdk::permissions_get(instance, kivsdk::world_message::kPermissionsGetAll,
                                       KIV_CALLBACK_WORLD_PERMISSIONS_GET_ALL);
    });
}

KIVSDK_API int kiv_world_permissions_get_by_user(KIVInstance* handle, int user_id) {
    return kivsdk::run_request(handle, [&](Instance& instance) -> int {
        return kivsdk::world_request(instance, kivsdk::world_message::kPermissionsGetByUser,
                                     KIV_CALLBACK_WORLD_PERMISSIONS_GET_BY_USER,
                                     [&](PacketWriter& writer, std::int32_t number) {
                                         writer.append_int32(number);
                                         writer.append_int32(user_id);
                                     });
    });
}

KIVSDK_API int kiv_world_permissions_get_my(KIVInstance* handle) {
    return kivsdk::run_request(handle, [&](Instance& instance) -> int {
        return kivsdk::permissions_get(instance, kivsdk::world_message::kPermissionsGetMy,
                                       KIV_CALLBACK_WORLD_PERMISSIONS_GET_MY);
    });
}

KIVSDK_API int kiv_world_setting_set(KIVInstance* handle, const char* setting, const char* value,
                                     int target) {
    return kivsdk::run_request(handle, [&](Instance& instance) -> int {
        const std::string_view name = kivsdk::text_or_empty(setting);
        const std::string_view text = kivsdk::text_or_empty(value);
        if (name.size() > kivsdk::kMaxNameLength) return KIV_RC_STRING_TOO_LONG;
        if (text.size() > kivsdk::kMaxNameLength) return KIV_RC_STRING_TOO_LONG;
        return kivsdk::world_request(instance, kivsdk::world_message::kWorldSetting,
                                     KIV_CALLBACK_WORLD_SETTING_SET,
                                     [&](PacketWriter& writer, std::int32_t number) {
                                         writer.append_int32(number);
                                         writer.append_int32(target);
                                         writer.append_string(name);
                                         writer.append_string(text);
                                     });
    });
}

}  // extern "C"
