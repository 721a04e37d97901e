// The world session: dispatcher table, connection handlers, the world login
// and its secure channel, the send gate and the routing of world transaction
// results.
#include "world/world_session.h"

#include "api/instance.h"
#include "wire/universe_messages.h"
#include "universe/universe_session.h"
#include "wire/field_cursor.h"
#include "wire/packet_reader.h"
#include "wire/world_messages.h"

namespace kivsdk {
namespace {

constexpr ResultCodes<5> kObjectChangeCodes = {KIV_RC_SUCCESS, KIV_RC_REJECTED, KIV_RC_DENIED,
                                               KIV_RC_OBJECT_REFUSED, KIV_RC_REQUEST_FAILED};
constexpr ResultCodes<4> kObjectGetCodes = {KIV_RC_SUCCESS, KIV_RC_OBJECT_GET_REFUSED,
                                            KIV_RC_REJECTED, KIV_RC_REQUEST_FAILED};
constexpr ResultCodes<4> kObjectLoadCodes = {KIV_RC_SUCCESS, KIV_RC_REJECTED, KIV_RC_DENIED,
                                             KIV_RC_OBJECT_REFUSED};
constexpr ResultCodes<5> kSettingChangeCodes = {KIV_RC_SUCCESS, KIV_RC_DENIED, KIV_RC_REJECTED,
                                                KIV_RC_SETTING_REFUSED, KIV_RC_REQUEST_FAILED};
constexpr ResultCodes<3> kPermissionQueryCodes = {KIV_RC_SUCCESS, KIV_RC_DENIED,
                                                  KIV_RC_REQUEST_FAILED};

// The return code of a world transaction result for the request it answers.
int return_code_for(int callback, std::uint8_t result) {
    switch (callback) {
        case KIV_CALLBACK_OBJECT_ADD:
        case KIV_CALLBACK_OBJECT_CHANGE:
        case KIV_CALLBACK_OBJECT_DELETE: return code_for(kObjectChangeCodes, result);
        case KIV_CALLBACK_OBJECT_GET: return code_for(kObjectGetCodes, result);
        case KIV_CALLBACK_OBJECT_LOAD: return code_for(kObjectLoadCodes, result);
        case KIV_CALLBACK_WORLD_PERMISSION_USER_SET:
        case KIV_CALLBACK_WORLD_PERMISSION_SESSION_SET:
        case KIV_CALLBACK_WORLD_SETTING_SET: return code_for(kSettingChangeCodes, result);
        case KIV_CALLBACK_WORLD_PERMISSIONS_GET_MY:
        case KIV_CALLBACK_WORLD_PERMISSIONS_GET_BY_USER:
        case KIV_CALLBACK_WORLD_PERMISSIONS_GET_ALL: return code_for(kPermissionQueryCodes, result);
        default: return result;  // terrain: the server's byte as it is
    }
}

void send_world_login(Connection& connection, Instance& instance) {
    PacketWriter writer;
    writer.append_byte(world_message::kLogin);
    writer.append_raw(instance.world_ticket().data(), instance.world_ticket().size());
    writer.append_string(instance.string_at(KIV_LOGIN_EXTRA_1));
    writer.append_string(instance.string_at(KIV_LOGIN_EXTRA_2));
    connection.send(writer);
}

void on_plain_connect_result(Connection& connection, int status) {
    Instance& instance = Instance::owning(connection);
    if (status != 0) {
        instance.set_int(KIV_DISCONNECT_REASON, status);
        complete_enter(instance, KIV_RC_CONNECTION_ERROR);
        return;
    }
    // On the plain path the gate opens with the TCP connection.
    instance.world.ready = true;
    send_world_login(connection, instance);
}

void on_secure_connect_result(Connection& connection, int status) {
    Instance& instance = Instance::owning(connection);
    if (status != 0) {
        if (instance.has_callback_handler(KIV_CALLBACK_ENTER)) {
            instance.set_int(KIV_DISCONNECT_REASON, status);
        }
        complete_enter(instance, KIV_RC_CONNECTION_ERROR);
        return;
    }
    send_secure_channel_request(connection, world_message::kSecureChannel);
}

void on_disconnected(Connection& connection, int reason) {
    report_disconnect(Instance::owning(connection), Side::kWorld, connection,
                      KIV_EVENT_WORLD_DISCONNECT, reason);
}

void on_secure_channel_complete(Connection& connection, int status) {
    Instance& instance = Instance::owning(connection);
    if (status != 0) {
        complete_enter(instance, KIV_RC_SECURE_CHANNEL_FAILED);
        return;
    }
    send_world_login(connection, instance);
}

void on_secure_channel_reply(Instance& instance, PacketReader& body) {
    std::uint8_t status = 0;
    body.read_byte(status);
    Connection* connection = instance.world.connection.get();
    // A plain world, or one already past its switch, ignores it.
    if (!awaits_secure_channel(connection)) return;
    if (status != 0) {
        complete_enter(instance, KIV_RC_SECURE_CHANNEL_FAILED);
        return;
    }
    if (start_secure_channel(instance, Side::kWorld, *connection, &on_secure_channel_complete) !=
        0) {
        complete_enter(instance, KIV_RC_SECURE_CHANNEL_FAILED);
    }
}

void on_world_login_reply(Instance& instance, PacketReader& body) {
    std::uint8_t status = 0;
    // A reply without its status byte is no acceptance.
    if (!body.read_byte(status)) {
        complete_enter(instance, KIV_RC_ENTER_REFUSED);
        return;
    }
    complete_enter(instance, status == 0 ? KIV_RC_SUCCESS : KIV_RC_ENTER_REFUSED);
}

void on_transaction_result(Instance& instance, PacketReader& body) {
    FieldCursor fields(body);
    std::int32_t number = 0;
    std::uint8_t result = 0;
    // Without both there is nothing to answer.
    if (!fields.int32(number) || !fields.byte(result)) return;
    CallbackInfo record(0, 0, 0);
    if (!take_pending_request(instance.world.pending, number, result, record)) return;
    const int callback = record.callback_number;
    const int rc = return_code_for(callback, result);
    switch (callback) {
        case KIV_CALLBACK_OBJECT_ADD:
        case KIV_CALLBACK_OBJECT_LOAD: {
            std::int32_t object_id = 0;
            fields.int32(object_id);
            instance.set_int(KIV_OBJECT_ID, object_id);
            break;
        }
        case KIV_CALLBACK_OBJECT_CHANGE:
        case KIV_CALLBACK_OBJECT_DELETE:
            // The object the request named, whatever int 3 holds by now.
            instance.set_int(KIV_OBJECT_ID, record.object_id);
            break;
        case KIV_CALLBACK_OBJECT_GET:
            if (rc == KIV_RC_SUCCESS) read_object_record(instance, body);
            break;
        default: break;
    }
    instance.fire_callback(callback, rc, record.reference);
}

DispatchTable make_table() noexcept {
    DispatchTable table(DiagnosticCategory::kWorld);
    table.set(world_message::kLogin, &on_world_login_reply);
    table.set(world_message::kCell, &on_cell);
    table.set(world_message::kObject, &on_object_announced);
    table.set(world_message::kChat, &on_chat);
    table.set(world_message::kObjectChange, &on_object_changed);
    table.set(world_message::kObjectDelete, &on_object_deleted);
    table.set(world_message::kAvatarAdd, &on_avatar_added);
    table.set(world_message::kAvatarChange, &on_avatar_changed);
    table.set(world_message::kAvatarDelete, &on_avatar_deleted);
    table.set(world_message::kObjectClick, &on_object_clicked);
    table.set(world_message::kTransactionResult, &on_transaction_result);
    table.set(world_message::kWorldSetting, &on_world_setting);
    table.set(world_message::kWorldSettingsEnd, &on_world_settings_end);
    table.set(world_message::kTerrainQuery, &on_terrain_nodes);
    table.ignore(world_message::kKeepAlive);
    table.set(world_message::kAvatarClick, &on_avatar_clicked);
    table.set(world_message::kTeleport, &on_teleport);
    table.set(world_message::kUrl, &on_url);
    table.set(world_message::kBumpBegin, &on_object_bump_begin);
    table.set(world_message::kBumpEnd, &on_object_bump_end);
    table.set(world_message::kTerrainNodeChanged, &on_terrain_node_changed);
    table.set(world_message::kSecureChannel, &on_secure_channel_reply);
    table.set(world_message::kPermissions, &on_world_permissions);
    return table;
}

// The world entry reply arrives on the universe: the world session owns it
// and registers it there, so that the universe session knows nothing of
// worlds.
const bool registered_with_universe = [] {
    universe_dispatch_table().set(universe_message::kWorldEntry, &on_world_entry_reply);
    return true;
}();

}  // namespace

DispatchTable& world_dispatch_table() noexcept {
    static DispatchTable table = make_table();
    return table;
}

void dispatch_world_message(Connection& connection, PacketReader& body) {
    world_dispatch_table().dispatch(Instance::owning(connection), body);
}

ConnectionHandlers world_connection_handlers(bool secure) noexcept {
    return ConnectionHandlers{secure ? &on_secure_connect_result : &on_plain_connect_result,
                              &on_disconnected, &dispatch_world_message};
}

int world_send_gate(Instance& instance, PacketWriter& writer) {
    SideState& world = instance.world;
    if (world.connection && world.connection->lost()) return KIV_RC_CONNECTION_ERROR;
    if (!world.connection || !world.ready) return KIV_RC_NOT_IN_WORLD;
    return world.connection->send(writer);
}

int world_message_request(Instance& instance, PacketWriter& writer) {
    if (!writer.fits()) return KIV_RC_STRING_TOO_LONG;
    return world_send_gate(instance, writer);
}

void complete_enter(Instance& instance, int rc) {
    if (rc == KIV_RC_SUCCESS) instance.world.ready = true;
    complete_blocking_request(instance, KIV_CALLBACK_ENTER, Response::kWorldEnter, rc);
}

}  // namespace kivsdk
