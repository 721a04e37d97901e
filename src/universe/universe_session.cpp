// The universe session: dispatcher table, connection handlers, the secure
// channel, the send gate and the routing of transaction results.
#include "universe/universe_session.h"

#include "api/instance.h"
#include "api/staying_up.h"
#include "base/clock.h"
#include "wire/field_cursor.h"
#include "wire/packet_reader.h"
#include "wire/packet_writer.h"
#include "wire/universe_messages.h"

namespace kivsdk {
namespace {

constexpr ResultCodes<2> kListCodes = {KIV_RC_SUCCESS, KIV_RC_REQUEST_FAILED};
constexpr ResultCodes<5> kJoinCodes = {KIV_RC_SUCCESS, KIV_RC_JOIN_REFUSED, KIV_RC_TIMEOUT,
                                       KIV_RC_PEER_UNAVAILABLE, KIV_RC_REQUEST_FAILED};
constexpr ResultCodes<5> kInvitationCodes = {KIV_RC_SUCCESS, KIV_RC_INVITE_REFUSED, KIV_RC_TIMEOUT,
                                             KIV_RC_PEER_UNAVAILABLE, KIV_RC_REQUEST_FAILED};

// ---- Reconnection ----------------------------------------------------------

// Schedules the universe's next attempt on a fresh Connection, or gives up.
void retry(Instance& instance, int detail) {
    if (next_attempt(instance, Side::kUniverse, detail) < 0 || instance.discarded()) return;
    if (!instance.universe.reconnecting) return;  // a handler took over
    instance.install(Side::kUniverse, universe_connection_handlers());
    arm_side_alarm(instance, Side::kUniverse);
}

// The scheduled attempt is due: connect to the last universe again.
void reconnect_now(Instance& instance) {
    SideState& universe = instance.universe;
    universe.wake_at = -1;
    universe.state = KIV_STATE_CONNECTING;
    await_answer(instance, Side::kUniverse, kInternalStep, Response::kUniverseConnect);
    Connection& connection = *universe.connection;
    const int result = server_connect(connection, instance, instance.universe_host.c_str(),
                                      instance.universe_port);
    if (instance.discarded() || universe.connection.get() != &connection) return;
    if (result != 0 && result != -2 && !connection.connect_reported()) {
        retry(instance, failure_detail(instance, connection, result));
    }
}

// Logs in again with the credentials of the last successful login.
void login_again(Instance& instance) {
    const Credentials& login = instance.login_good;
    PacketWriter writer;
    writer.append_byte(universe_message::kLogin);
    writer.append_byte(1);
    for (const std::string* text :
         {&login.name, &login.password, &login.extra, &login.extra_1, &login.extra_2}) {
        writer.append_string(*text);
    }
    await_answer(instance, Side::kUniverse, kInternalStep, Response::kLogin);
    instance.universe.connection->send(writer);
}

// The end of a reconnect step: back in, give up, or try again.
void reconnect_step_done(Instance& instance, int rc, int detail) {
    if (rc == KIV_RC_SUCCESS) {
        reconnected(instance, Side::kUniverse);
        if (instance.discarded()) return;
        if (world_hooks().universe_back != nullptr) world_hooks().universe_back(instance);
        return;
    }
    if (rc == KIV_RC_LOGIN_REFUSED || rc == KIV_RC_REJECTED || rc == KIV_RC_LOGIN_DENIED ||
        detail == KIV_DETAIL_CERTIFICATE) {
        give_up(instance, Side::kUniverse, detail);
        return;
    }
    retry(instance, detail);
}

// ---- Connection handlers -----------------------------------------------------

void on_secure_channel_complete(Connection& connection, int status) {
    Instance& instance = Instance::owning(connection);
    SideState& universe = instance.universe;
    if (status == 0) {
        universe.ready = true;
        universe.state = KIV_STATE_READY;
        if (universe.reconnecting) {
            forget_awaited(instance, Response::kUniverseConnect);
            login_again(instance);
            return;
        }
        complete_connect(instance, KIV_RC_SUCCESS);
        return;
    }
    const int detail = failure_detail(instance, connection, status);
    note_failure(instance, Side::kUniverse, detail, &connection);
    if (universe.reconnecting) {
        reconnect_step_done(instance, KIV_RC_SECURE_CHANNEL_FAILED, detail);
        return;
    }
    universe.state = KIV_STATE_FAILED;
    complete_connect(instance, KIV_RC_SECURE_CHANNEL_FAILED);
}

void on_connect_result(Connection& connection, int status) {
    Instance& instance = Instance::owning(connection);
    SideState& universe = instance.universe;
    if (status == 0) {
        universe.state = KIV_STATE_SECURING;
        send_secure_channel_request(connection, universe_message::kSecureChannel);
        return;
    }
    instance.set_int(KIV_DISCONNECT_REASON, status);
    const int detail = failure_detail(instance, connection, status);
    note_failure(instance, Side::kUniverse, detail, &connection);
    if (universe.reconnecting) {
        reconnect_step_done(instance, KIV_RC_CONNECTION_ERROR, detail);
        return;
    }
    universe.state = KIV_STATE_FAILED;
    // A connect that fails inside kiv_connect_universe is told by its return
    // code alone.
    if (universe.connect_in_call) {
        universe.connect_failed_in_call = true;
        forget_awaited(instance, Response::kUniverseConnect);
        return;
    }
    complete_connect(instance, KIV_RC_CONNECTION_ERROR);
}

void on_disconnected(Connection& connection, int reason) {
    Instance& instance = Instance::owning(connection);
    const bool was_reconnecting = instance.universe.reconnecting;
    const bool was_logged_in = instance.universe.state == KIV_STATE_LOGGED_IN;
    if (!report_disconnect(instance, Side::kUniverse, connection, KIV_EVENT_UNIVERSE_DISCONNECT,
                           reason)) {
        return;
    }
    if (reconnection_applies(instance) && (was_logged_in || was_reconnecting)) {
        retry(instance, instance.universe.last_detail);
    }
}

void on_alarm(Connection& connection) {
    Instance& instance = Instance::owning(connection);
    const ExpiredSteps expired = expire_awaited(instance, Side::kUniverse);
    if (instance.discarded() || instance.universe.connection.get() != &connection) return;
    if (expired.world && world_hooks().reentry_timed_out != nullptr) {
        // A re-entry asked of the universe had no answer: the world retries.
        world_hooks().reentry_timed_out(instance);
        if (instance.discarded() || instance.universe.connection.get() != &connection) return;
    }
    SideState& universe = instance.universe;
    if (expired.universe && universe.reconnecting) {
        note_failure(instance, Side::kUniverse, KIV_DETAIL_TIMED_OUT, &connection);
        retry(instance, KIV_DETAIL_TIMED_OUT);
        return;
    }
    if (universe.reconnecting && universe.wake_at >= 0 && universe.wake_at <= now_seconds()) {
        reconnect_now(instance);
    }
}

void on_message(Connection& connection, PacketReader& body) {
    universe_dispatch_table().dispatch(Instance::owning(connection), body);
}

void on_secure_channel_go_ahead(Instance& instance, PacketReader&) {
    Connection* connection = instance.universe.connection.get();
    if (!awaits_secure_channel(connection)) return;
    if (start_secure_channel(instance, Side::kUniverse, *connection, &on_secure_channel_complete) !=
        0) {
        on_secure_channel_complete(*connection, 1);
    }
}

void on_transaction_result(Instance& instance, PacketReader& body) {
    FieldCursor fields(body);
    std::uint8_t result = 0;
    CallbackInfo record(0, 0, 0);
    if (!take_transaction_result(instance, Side::kUniverse, fields, result, record)) return;
    int rc = code_for(kListCodes, result);
    switch (record.callback_number) {
        case KIV_CALLBACK_FRIEND_DELETE: read_friend_delete_answer(instance, fields); break;
        case KIV_CALLBACK_JOIN:
            read_join_answer(instance, result, fields);
            rc = code_for(kJoinCodes, result);
            break;
        case KIV_CALLBACK_INVITE:
            read_invitation_answer(instance, fields);
            rc = code_for(kInvitationCodes, result);
            break;
        case KIV_CALLBACK_FRIENDS_GET:
        case KIV_CALLBACK_FRIEND_ADD:
        case KIV_CALLBACK_WORLD_LIST: break;
        default: return;
    }
    instance.fire_callback(record.callback_number, rc, record.reference);
}

DispatchTable make_table() noexcept {
    DispatchTable table(Side::kUniverse);
    table.set(universe_message::kLogin, &on_login_reply);
    table.set(universe_message::kWorldList, &on_world_list_entry);
    table.set(universe_message::kTransactionResult, &on_transaction_result);
    table.set(universe_message::kUserAttributes, &on_user_attributes);
    table.set(universe_message::kFriendList, &on_friend_entry);
    table.ignore(universe_message::kKeepAlive);
    table.set(universe_message::kJoin, &on_join_request);
    table.set(universe_message::kSecureChannel, &on_secure_channel_go_ahead);
    table.set(universe_message::kInvite, &on_invitation);
    return table;
}

}  // namespace

DispatchTable& universe_dispatch_table() noexcept {
    static DispatchTable table = make_table();
    return table;
}

ConnectionHandlers universe_connection_handlers() noexcept {
    return ConnectionHandlers{&on_connect_result, &on_disconnected, &on_message, &on_alarm};
}

int server_connect(Connection& connection, Instance& instance, const char* host,
                   std::uint16_t port) {
    if (instance.int_at(KIV_CONNECT_MODE) == 1) {
        // The alternative connect is handed KIV_CONNECT_ALT_PORT and its host string but is not
        // supported: it fails without touching the socket.
        return -1;
    }
    return connection.connect(host, port);
}

int universe_send_gate(Instance& instance, PacketWriter& writer) {
    return side_send_gate(instance, Side::kUniverse, KIV_RC_NOT_IN_UNIVERSE, writer);
}

void reconnect_login_answered(Instance& instance, int rc) {
    const int detail = rc == KIV_RC_SUCCESS ? KIV_DETAIL_NONE : KIV_DETAIL_LOGIN_REFUSED;
    if (rc != KIV_RC_SUCCESS) {
        note_failure(instance, Side::kUniverse, detail, instance.universe.connection.get());
    }
    reconnect_step_done(instance, rc, detail);
}

void complete_connect(Instance& instance, int rc) {
    complete_blocking_request(instance, KIV_CALLBACK_CONNECT_UNIVERSE, Response::kUniverseConnect,
                              rc);
}

}  // namespace kivsdk
