// The universe session: dispatcher table, connection handlers, the secure
// channel, the send gate and the routing of transaction results.
#include "universe/universe_session.h"

#include "api/instance.h"
#include "wire/universe_messages.h"
#include "wire/field_cursor.h"
#include "wire/packet_reader.h"
#include "wire/packet_writer.h"

namespace kivsdk {
namespace {

constexpr ResultCodes<2> kListCodes = {KIV_RC_SUCCESS, KIV_RC_REQUEST_FAILED};
constexpr ResultCodes<5> kJoinCodes = {KIV_RC_SUCCESS, KIV_RC_JOIN_REFUSED, KIV_RC_TIMEOUT,
                                       KIV_RC_PEER_UNAVAILABLE, KIV_RC_REQUEST_FAILED};
constexpr ResultCodes<5> kInvitationCodes = {KIV_RC_SUCCESS, KIV_RC_INVITE_REFUSED,
                                             KIV_RC_TIMEOUT, KIV_RC_PEER_UNAVAILABLE,
                                             KIV_RC_REQUEST_FAILED};

void on_secure_channel_complete(Connection& connection, int status) {
    Instance& instance = Instance::owning(connection);
    if (status == 0) instance.universe.ready = true;
    complete_connect(instance, status == 0 ? KIV_RC_SUCCESS : KIV_RC_SECURE_CHANNEL_FAILED);
}

void on_connect_result(Connection& connection, int status) {
    Instance& instance = Instance::owning(connection);
    if (status == 0) {
        send_secure_channel_request(connection, universe_message::kSecureChannel);
        return;
    }
    instance.set_int(KIV_DISCONNECT_REASON, status);
    complete_connect(instance, KIV_RC_CONNECTION_ERROR);
}

void on_disconnected(Connection& connection, int reason) {
    report_disconnect(Instance::owning(connection), Side::kUniverse, connection,
                      KIV_EVENT_UNIVERSE_DISCONNECT, reason);
}

void on_message(Connection& connection, PacketReader& body) {
    universe_dispatch_table().dispatch(Instance::owning(connection), body);
}

void on_secure_channel_go_ahead(Instance& instance, PacketReader&) {
    Connection* connection = instance.universe.connection.get();
    if (!awaits_secure_channel(connection)) return;
    if (start_secure_channel(instance, Side::kUniverse, *connection,
                             &on_secure_channel_complete) != 0) {
        complete_connect(instance, KIV_RC_SECURE_CHANNEL_FAILED);
    }
}

void on_transaction_result(Instance& instance, PacketReader& body) {
    FieldCursor fields(body);
    std::int32_t number = 0;
    std::uint8_t result = 0;
    // A result without its number or its result byte answers nothing: it
    // must not complete whichever request happens to have number 0.
    if (!fields.int32(number) || !fields.byte(result)) return;
    CallbackInfo record(0, 0, 0);
    if (!take_pending_request(instance.universe.pending, number, result, record)) return;
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
    DispatchTable table(DiagnosticCategory::kUniverse);
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
    return ConnectionHandlers{&on_connect_result, &on_disconnected, &on_message};
}

int server_connect(Connection& connection, Instance& instance, const char* host,
                   std::uint16_t port) {
    if (instance.int_at(KIV_CONNECT_MODE) == 1) {
        // The alternative connect is handed int 20 and string 11 but is not
        // supported: it fails without touching the socket.
        return -1;
    }
    return connection.connect(host, port);
}

int universe_send_gate(Instance& instance, PacketWriter& writer) {
    SideState& universe = instance.universe;
    if (universe.connection && universe.connection->lost()) return KIV_RC_CONNECTION_ERROR;
    if (!universe.connection || !universe.ready) return KIV_RC_NOT_IN_UNIVERSE;
    return universe.connection->send(writer);
}

void complete_connect(Instance& instance, int rc) {
    complete_blocking_request(instance, KIV_CALLBACK_CONNECT_UNIVERSE, Response::kUniverseConnect,
                              rc);
}

}  // namespace kivsdk
