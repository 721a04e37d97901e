// The world list, user attributes and friends: requests, entry messages and
// their transaction results.
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

// Registers a request of the given type and sends what `fields` appends
// after the type byte (the reference number goes where `fields` puts it).
template <class Fields>
int universe_request(Instance& instance, std::uint8_t type, int callback, Fields&& fields) {
    if (!instance.universe) return KIV_RC_NOT_IN_UNIVERSE;
    return send_async_request(
        instance, Side::kUniverse,
        [&](PacketWriter& writer, std::int32_t number) {
            writer.append_byte(type);
            fields(writer, number);
        },
        [&](std::int32_t number) {
            return std::make_unique<CallbackInfo>(number, callback,
                                                  instance.int_at(KIV_REFERENCE_NUMBER));
        });
}

}  // namespace

void on_world_list_entry(Instance& instance, PacketReader& body) {
    std::uint8_t state = 0;
    std::string name;
    std::int32_t value = 0;
    body.read_byte(state);
    body.read_string(name);
    body.read_int32(value);
    instance.set_int(KIV_WORLD_VALUE, value);
    instance.set_int(KIV_WORLD_STATE, state);
    instance.set_string(KIV_WORLD_NAME, name.data(), name.size());
    instance.fire_event(KIV_EVENT_WORLD_LIST);
}

void on_user_attributes(Instance& instance, PacketReader& body) {
    std::int32_t numbers[4] = {0, 0, 0, 0};
    std::string first, second;
    for (std::int32_t& number : numbers) body.read_int32(number);
    body.read_string(first);
    body.read_string(second);
    instance.set_int(KIV_USER_ID, numbers[0]);
    instance.set_int(KIV_USER_INT_1, numbers[1]);
    instance.set_int(KIV_USER_INT_2, numbers[2]);
    instance.set_int(KIV_USER_INT_3, numbers[3]);
    instance.set_string(KIV_USER_STRING_1, first.data(), first.size());
    instance.set_string(KIV_USER_STRING_2, second.data(), second.size());
    instance.fire_event(KIV_EVENT_USER_ATTRIBUTES);
}

void on_friend_entry(Instance& instance, PacketReader& body) {
    std::int32_t user_id = 0, friend_id = 0;
    std::string name;
    std::uint8_t unused = 0, state = 0;
    body.read_int32(user_id);
    body.read_int32(friend_id);
    body.read_string(name);
    body.read_byte(unused);
    body.read_byte(state);
    instance.set_int(KIV_FRIEND_ID, friend_id);
    instance.set_int(KIV_FRIEND_USER_ID, user_id);
    instance.set_int(KIV_FRIEND_STATE, state);
    instance.set_string(KIV_FRIEND_NAME, name.data(), name.size());
    instance.fire_event(KIV_EVENT_FRIEND);
}

void complete_list_or_friend_request(Instance& instance, const CallbackInfo& record,
                                     std::uint8_t result, PacketReader& body) {
    if (record.callback_number == KIV_CALLBACK_FRIEND_DELETE) {
        std::int32_t friend_id = 0;
        body.read_int32(friend_id);
        instance.set_int(KIV_FRIEND_ID, friend_id);
        instance.set_int(KIV_FRIEND_USER_ID, friend_id);
    }
    instance.fire_callback(record.callback_number,
                           result == 0 ? KIV_RC_SUCCESS : KIV_RC_REQUEST_FAILED, record.reference);
}

}  // namespace kivsdk

using kivsdk::Instance;
using kivsdk::PacketWriter;

extern "C" {

KIVSDK_API int kiv_world_list(KIVInstance* handle, int value) {
    return kivsdk::run_request(handle, [&](Instance& instance) -> int {
        return kivsdk::universe_request(instance, kivsdk::universe_message::kWorldList,
                                        KIV_CALLBACK_WORLD_LIST,
                                        [&](PacketWriter& writer, std::int32_t number) {
                                            writer.append_int32(value);
                                            writer.append_int32(number);
                                        });
    });
}

KIVSDK_API int kiv_user_attributes_by_id(KIVInstance* handle, int user_id) {
    return kivsdk::run_request(handle, [&](Instance& instance) -> int {
        if (!instance.universe) return KIV_RC_NOT_IN_UNIVERSE;
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
            instance, kivsdk::universe_message::kFriendList, KIV_CALLBACK_FRIENDS_GET,
            [&](PacketWriter& writer, std::int32_t number) { writer.append_int32(number); });
    });
}

KIVSDK_API int kiv_friend_add_by_name(KIVInstance* handle, const char* name) {
    return kivsdk::run_request(handle, [&](Instance& instance) -> int {
        return kivsdk::universe_request(instance, kivsdk::universe_message::kFriendAdd,
                                        KIV_CALLBACK_FRIEND_ADD,
                                        [&](PacketWriter& writer, std::int32_t number) {
                                            writer.append_int32(number);
                                            writer.append_string(kivsdk::text_or_empty(name));
                                        });
    });
}

KIVSDK_API int kiv_friend_delete(KIVInstance* handle, int friend_id) {
    return kivsdk::run_request(handle, [&](Instance& instance) -> int {
        return kivsdk::universe_request(instance, kivsdk::universe_message::kFriendDelete,
                                        KIV_CALLBACK_FRIEND_DELETE,
                                        [&](PacketWriter& writer, std::int32_t number) {
                                            writer.append_int32(number);
                                            writer.append_int32(friend_id);
                                        });
    });
}

}  // extern "C"
