// The world list, user attributes and friends: requests, entry messages and
// their transaction results.
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

void on_world_list_entry(Instance& instance, PacketReader& body) {
    FieldCursor fields(body);
    std::uint8_t state = 0;
    std::string_view name;
    std::int32_t value = 0;
    fields.byte(state);
    fields.string(name);
    fields.int32(value);
    instance.set_int(KIV_WORLD_VALUE, value);
    instance.set_int(KIV_WORLD_STATE, state);
    instance.set_string(KIV_WORLD_NAME, name.data(), name.size());
    instance.fire_event(KIV_EVENT_WORLD_LIST);
}

void on_user_attributes(Instance& instance, PacketReader& body) {
    FieldCursor fields(body);
    std::int32_t numbers[4] = {0, 0, 0, 0};
    std::string_view first, second;
    for (std::int32_t& number : numbers) fields.int32(number);
    fields.string(first);
    fields.string(second);
    instance.set_int(KIV_USER_ID, numbers[0]);
    instance.set_int(KIV_USER_INT_1, numbers[1]);
    instance.set_int(KIV_USER_INT_2, numbers[2]);
    instance.set_int(KIV_USER_INT_3, numbers[3]);
    instance.set_string(KIV_USER_STRING_1, first.data(), first.size());
    instance.set_string(KIV_USER_STRING_2, second.data(), second.size());
    instance.fire_event(KIV_EVENT_USER_ATTRIBUTES);
}

void on_friend_entry(Instance& instance, PacketReader& body) {
    FieldCursor fields(body);
    std::int32_t user_id = 0, friend_id = 0;
    std::string_view name;
    std::uint8_t unused = 0, state = 0;
    fields.int32(user_id);
    fields.int32(friend_id);
    fields.string(name);
    fields.byte(unused);
    fields.byte(state);
    instance.set_int(KIV_FRIEND_ID, friend_id);
    instance.set_int(KIV_FRIEND_USER_ID, user_id);
    instance.set_int(KIV_FRIEND_STATE, state);
    instance.set_string(KIV_FRIEND_NAME, name.data(), name.size());
    instance.fire_event(KIV_EVENT_FRIEND);
}

void read_friend_delete_answer(Instance& instance, FieldCursor& fields) {
    std::int32_t friend_id = 0;
    fields.int32(friend_id);
    instance.set_int(KIV_FRIEND_ID, friend_id);
    instance.set_int(KIV_FRIEND_USER_ID, friend_id);
}

}  // namespace kivsdk

using kivsdk::Instance;
using kivsdk::PacketWriter;

extern "C" {

KIVSDK_API int kiv_world_list(KIVInstance* handle, int value) {
    return kivsdk::run_request(handle, [&](Instance& instance) -> int {
        return kivsdk::universe_request(
            instance, KIV_CALLBACK_WORLD_LIST, [&](PacketWriter& writer, std::int32_t number) {
                writer.append_byte(kivsdk::universe_message::kWorldList);
                writer.append_int32(value);
                writer.append_int32(number);
            });
    });
}

KIVSDK_API int kiv_user_attributes_by_id(KIVInstance* handle, int user_id) {
    return kivsdk::run_request(handle, [&](Instance& instance) -> int {
        if (!instance.universe.connection) return KIV_RC_NOT_IN_UNIVERSE;
        PacketWriter writer;
        writer.append_byte(kivsdk::universe_message::kUserAttributes);
        writer.append_int32(user_id);
        return kivsdk::universe_send_gate(instance, writer);
    });
}

KIVSDK_API int kiv_user_attributes_by_name(KIVInstance* handle, const char* name) {
    static_cast<void>(name);
    if (handle == nullptr) return KIV_RC_INVALID_ARGUMENT;
    return KIV_RC_NOT_IMPLEMENTED;
}

KIVSDK_API int kiv_friends_get(KIVInstance* handle) {
    return kivsdk::run_request(handle, [&](Instance& instance) -> int {
        return kivsdk::universe_request(
            instance, KIV_CALLBACK_FRIENDS_GET, [&](PacketWriter& writer, std::int32_t number) {
                writer.append_byte(kivsdk::universe_message::kFriendList);
                writer.append_int32(number);
            });
    });
}

KIVSDK_API int kiv_friend_add_by_name(KIVInstance* handle, const char* name) {
    return kivsdk::run_request(handle, [&](Instance& instance) -> int {
        return kivsdk::universe_request(
            instance, KIV_CALLBACK_FRIEND_ADD, [&](PacketWriter& writer, std::int32_t number) {
                writer.append_byte(kivsdk::universe_message::kFriendAdd);
                writer.append_int32(number);
                writer.append_string(kivsdk::text_or_empty(name));
            });
    });
}

KIVSDK_API int kiv_friend_delete(KIVInstance* handle, int friend_id) {
    return kivsdk::run_request(handle, [&](Instance& instance) -> int {
        return kivsdk::universe_request(
            instance, KIV_CALLBACK_FRIEND_DELETE, [&](PacketWriter& writer, std::int32_t number) {
                writer.append_byte(kivsdk::universe_message::kFriendDelete);
                writer.append_int32(number);
                writer.append_int32(friend_id);
            });
    });
}

}  // extern "C"
