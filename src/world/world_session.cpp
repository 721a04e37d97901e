// The world session: dispatcher table, connection handlers, the world login
// and its secure channel, the send gate and the routing of world transaction
// results.
#include "world/world_session.h"

#include "api/instance.h"
#include "api/staying_up.h"
#include "base/clock.h"
#include "universe/universe_session.h"
#include "wire/field_cursor.h"
#include "wire/packet_reader.h"
#include "wire/universe_messages.h"
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
        note_failure(instance, Side::kWorld, failure_detail(instance, connection, status),
                     &connection);
        complete_enter(instance, KIV_RC_CONNECTION_ERROR);
        return;
    }
    // On the plain path the gate opens with the TCP connection.
    instance.world.ready = true;
    instance.world.state = KIV_STATE_LOGGING_IN;
    send_world_login(connection, instance);
}

void on_secure_connect_result(Connection& connection, int status) {
    Instance& instance = Instance::owning(connection);
    if (status != 0) {
        if (instance.has_callback_handler(KIV_CALLBACK_ENTER)) {
            instance.set_int(KIV_DISCONNECT_REASON, status);
        }
        note_failure(instance, Side::kWorld, failure_detail(instance, connection, status),
                     &connection);
        complete_enter(instance, KIV_RC_CONNECTION_ERROR);
        return;
    }
    instance.world.state = KIV_STATE_SECURING;
    send_secure_channel_request(connection, world_message::kSecureChannel);
}

// ---- Reconnection ----------------------------------------------------------

// Schedules the world's next re-entry, or gives up. The new world
// Connection only holds the timer until the universe names the world's
// address again.
void retry(Instance& instance, int detail) {
    if (next_attempt(instance, Side::kWorld, detail) < 0 || instance.discarded()) return;
    if (!instance.world.reconnecting) return;  // a handler took over
    instance.install(Side::kWorld, world_connection_handlers(false));
    arm_side_alarm(instance, Side::kWorld);
}

// Asks the universe for the world again once the universe is logged in;
// until then the universe's own reconnection calls back.
void reenter_now(Instance& instance) {
    SideState& world = instance.world;
    if (!world.reconnecting || world.wake_at > now_seconds()) return;
    // Due: from now on only the universe's return can hold it up, and that
    // calls back (on_universe_back).
    world.wake_at = -1;
    arm_side_alarm(instance, Side::kWorld);
    const SideState& universe = instance.universe;
    if (universe.reconnecting || universe.state != KIV_STATE_LOGGED_IN || !universe.connection) {
        return;
    }
    PacketWriter writer;
    writer.append_byte(universe_message::kWorldEntry);
    writer.append_string(instance.world_entered);
    await_answer(instance, Side::kUniverse, kInternalStep, Response::kWorldEnter);
    universe.connection->send(writer);
}

void on_universe_back(Instance& instance) { reenter_now(instance); }

void on_reentry_timed_out(Instance& instance) {
    if (!instance.world.reconnecting) return;
    note_failure(instance, Side::kWorld, KIV_DETAIL_TIMED_OUT, nullptr);
    retry(instance, KIV_DETAIL_TIMED_OUT);
}

// ---- Connection handlers ---------------------------------------------------

void on_disconnected(Connection& connection, int reason) {
    Instance& instance = Instance::owning(connection);
    const bool was_entered = instance.world.state == KIV_STATE_READY;
    const bool was_reconnecting = instance.world.reconnecting;
    if (!report_disconnect(instance, Side::kWorld, connection, KIV_EVENT_WORLD_DISCONNECT,
                           reason)) {
        return;
    }
    if (reconnection_applies(instance) && !instance.world_entered.empty() &&
        (was_entered || was_reconnecting)) {
        retry(instance, instance.world.last_detail);
    }
}

void on_alarm(Connection& connection) {
    Instance& instance = Instance::owning(connection);
    const ExpiredSteps expired = expire_awaited(instance, Side::kWorld);
    if (instance.discarded() || instance.world.connection.get() != &connection) return;
    if (expired.world) {
        on_reentry_timed_out(instance);
        return;
    }
    reenter_now(instance);
}

void on_secure_channel_complete(Connection& connection, int status) {
    Instance& instance = Instance::owning(connection);
    if (status != 0) {
        note_failure(instance, Side::kWorld, failure_detail(instance, connection, status),
                     &connection);
        complete_enter(instance, KIV_RC_SECURE_CHANNEL_FAILED);
        return;
    }
    instance.world.state = KIV_STATE_LOGGING_IN;
    send_world_login(connection, instance);
}

void on_secure_channel_reply(Instance& instance, PacketReader& body) {
    std::uint8_t status = 0;
    body.read_byte(status);
    Connection* connection = instance.world.connection.get();
    // A plain world, or one already past its switch, ignores it.
    if (!awaits_secure_channel(connection)) return;
    if (status != 0) {
        note_failure(instance, Side::kWorld, KIV_DETAIL_CHANNEL_REFUSED, connection);
        complete_enter(instance, KIV_RC_SECURE_CHANNEL_FAILED);
        return;
    }
    if (start_secure_channel(instance, Side::kWorld, *connection, &on_secure_channel_complete) !=
        0) {
        on_secure_channel_complete(*connection, 1);
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
    std::uint8_t result = 0;
    CallbackInfo record(0, 0, 0);
    if (!take_transaction_result(instance, Side::kWorld, fields, result, record)) return;
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
            // The object the request named, whatever KIV_OBJECT_ID holds by now.
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
    DispatchTable table(Side::kWorld);
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
    world_hooks().universe_back = &on_universe_back;
    world_hooks().reentry_timed_out = &on_reentry_timed_out;
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
                              &on_disconnected, &dispatch_world_message, &on_alarm};
}

int world_send_gate(Instance& instance, PacketWriter& writer) {
    return side_send_gate(instance, Side::kWorld, KIV_RC_NOT_IN_WORLD, writer);
}

bool reentry_failed(Instance& instance, int rc) {
    SideState& world = instance.world;
    if (!world.reconnecting) return false;
    int detail = world.last_detail;
    if (rc == KIV_RC_WORLD_UNAVAILABLE || rc == KIV_RC_ENTER_REFUSED) {
        detail = KIV_DETAIL_ENTER_REFUSED;
        note_failure(instance, Side::kWorld, detail, world.connection.get());
    }
    retry(instance, detail);
    return true;
}

int world_message_request(Instance& instance, PacketWriter& writer) {
    if (!writer.fits()) return KIV_RC_STRING_TOO_LONG;
    return world_send_gate(instance, writer);
}

void complete_enter(Instance& instance, int rc) {
    SideState& world = instance.world;
    if (world.reconnecting) {
        // The library's own re-entry: no KIV_CALLBACK_ENTER, no Response.
        forget_awaited(instance, Response::kWorldEnter);
        if (rc != KIV_RC_SUCCESS) {
            reentry_failed(instance, rc);
            return;
        }
        world.ready = true;
        reconnected(instance, Side::kWorld);
        if (instance.discarded() || !world.connection || instance.last_state.empty()) return;
        // Where the bot stood: its last own state goes out again.
        world.connection->send_frame(instance.last_state.data(), instance.last_state.size());
        return;
    }
    if (rc == KIV_RC_SUCCESS) {
        world.ready = true;
        world.state = KIV_STATE_READY;
        world.ready_since = now_seconds();
        instance.world_entered = instance.world_requested;
    } else if (world.connection) {
        world.state = KIV_STATE_FAILED;
    } else {
        world.state = KIV_STATE_NONE;
    }
    complete_blocking_request(instance, KIV_CALLBACK_ENTER, Response::kWorldEnter, rc);
}

}  // namespace kivsdk
