// Connecting to the universe, its secure channel, logging in, the lost
// connection, and the universe message dispatcher.
#include <cstdio>
#include <string>

#include "api/boundary.h"
#include "api/instance.h"
#include "api/request_flow.h"
#include "connection/connection.h"
#include "connection/trust_anchors.h"
#include "universe/universe_messages.h"
#include "universe/universe_session.h"
#include "wire/packet_reader.h"
#include "wire/packet_writer.h"
#include "world/world_session.h"

namespace kivsdk {
namespace {

constexpr std::int64_t kConnectLimitSeconds = 15;
constexpr std::int64_t kLoginLimitSeconds = 10;

void complete_connect(Instance& instance, int rc) {
    complete_blocking_request(instance, KIV_CALLBACK_CONNECT_UNIVERSE, Response::kUniverseConnect,
                              rc);
}

void on_secure_channel_complete(Connection&, Instance& instance, int status) {
    if (status == 0) instance.universe_ready = true;
    complete_connect(instance, status == 0 ? KIV_RC_SUCCESS : KIV_RC_SECURE_CHANNEL_FAILED);
}

void on_connect_result(Connection& connection, Instance& instance, int status) {
    if (status == 0) {
        // The secure-channel request travels in the clear, past the gate.
        PacketWriter writer(1);
        writer.append_byte(universe_message::kSecureChannel);
        connection.send(writer);
        return;
    }
    instance.set_int(KIV_DISCONNECT_REASON, status);
    complete_connect(instance, KIV_RC_CONNECTION_ERROR);
}

void on_disconnected(Connection&, Instance& instance, int reason) {
    instance.set_int(KIV_DISCONNECT_REASON, reason);
    instance.fire_event(KIV_EVENT_UNIVERSE_DISCONNECT);
}

void on_secure_channel_go_ahead(Instance& instance) {
    Connection* connection = instance.universe.get();
    if (connection == nullptr || connection->tls_state() != Connection::TlsState::kPlain) return;
    const TrustAnchor anchors = universe_trust_anchors();
    if (connection->start_tls(&on_secure_channel_complete, anchors.pem, anchors.length) != 0) {
        complete_connect(instance, KIV_RC_SECURE_CHANNEL_FAILED);
    }
}

void on_login_reply(Instance& instance, PacketReader& body) {
    std::uint8_t result = 0;
    std::int32_t value = 0;
    body.read_byte(result);
    body.read_int32(value);
    instance.set_int(KIV_LOGIN_REPLY_VALUE, value);
    int rc = KIV_RC_REQUEST_FAILED;
    switch (result) {
        case 0: {
            std::string text;
            body.read_string(text);
            instance.set_string(KIV_LOGIN_REPLY_STRING, text.data(), text.size());
            rc = KIV_RC_SUCCESS;
            break;
        }
        case 1: rc = KIV_RC_LOGIN_REFUSED; break;
        case 2: rc = KIV_RC_REJECTED; break;
        case 3: rc = KIV_RC_LOGIN_DENIED; break;
        default: break;
    }
    complete_blocking_request(instance, KIV_CALLBACK_LOGIN, Response::kLogin, rc);
}

void on_transaction_result(Instance& instance, PacketReader& body) {
    std::int32_t number = 0;
    std::uint8_t result = 0;
    // A result without its number or its result byte answers nothing: it
    // must not complete whichever request happens to have number 0.
    if (!body.read_int32(number) || !body.read_byte(result)) return;
    const std::unique_ptr<CallbackInfo> record =
        take_pending_request(instance.universe_pending(), number, result);
    if (!record) return;
    switch (record->callback_number) {
        case KIV_CALLBACK_FRIENDS_GET:
        case KIV_CALLBACK_FRIEND_ADD:
        case KIV_CALLBACK_FRIEND_DELETE:
        case KIV_CALLBACK_WORLD_LIST:
            complete_list_or_friend_request(instance, *record, result, body);
            break;
        case KIV_CALLBACK_JOIN: complete_join_request(instance, *record, result, body); break;
        case KIV_CALLBACK_INVITE: complete_invitation(instance, *record, result, body); break;
        default: break;
    }
}

}  // namespace

ConnectionHandlers universe_connection_handlers() noexcept {
    return ConnectionHandlers{&on_connect_result, &on_disconnected, &dispatch_universe_message};
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

void dispatch_universe_message(Instance& instance, PacketReader& body) {
    std::uint8_t type = 0;
    if (!body.read_byte(type)) return;
    switch (type) {
        case universe_message::kLogin: on_login_reply(instance, body); break;
        case universe_message::kWorldEntry: on_world_entry_reply(instance, body); break;
        case universe_message::kWorldList: on_world_list_entry(instance, body); break;
        case universe_message::kTransactionResult: on_transaction_result(instance, body); break;
        case universe_message::kUserAttributes: on_user_attributes(instance, body); break;
        case universe_message::kFriendList: on_friend_entry(instance, body); break;
        case universe_message::kKeepAlive: break;
        case universe_message::kJoin: on_join_request(instance, body); break;
        case universe_message::kSecureChannel: on_secure_channel_go_ahead(instance); break;
        case universe_message::kInvite: on_invitation(instance, body); break;
        default:
            std::printf("Unknown message type: %d\n", type);
            std::fflush(stdout);
            break;
    }
}

}  // namespace kivsdk

using kivsdk::Instance;

extern "C" {

KIVSDK_API int kiv_connect_universe(KIVInstance* handle, const char* host, int port) {
    return kivsdk::run_request(handle, [&](Instance& instance) -> int {
        Instance::discard(instance.universe);
        Instance::discard(instance.world);
        instance.universe_ready = false;
        instance.world_ready = false;
        // An answer that outlived an earlier connect must not answer this one.
        kivsdk::begin_blocking_request(instance, KIV_CALLBACK_CONNECT_UNIVERSE,
                                       kivsdk::Response::kUniverseConnect);

        instance.universe = std::make_unique<kivsdk::Connection>(
            instance.operations(), kivsdk::universe_connection_handlers(), instance);
        kivsdk::Connection& connection = *instance.universe;
        const int result = kivsdk::server_connect(connection, instance, kivsdk::text_or_empty(host),
                                                  static_cast<std::uint16_t>(port));
        if (instance.discarded()) return KIV_RC_CONNECTION_ERROR;
        if (result != 0 && result != -2) return KIV_RC_CONNECTION_ERROR;
        return kivsdk::finish_blocking_request(instance, KIV_CALLBACK_CONNECT_UNIVERSE,
                                               kivsdk::Response::kUniverseConnect,
                                               kivsdk::kConnectLimitSeconds);
    });
}

KIVSDK_API int kiv_login(KIVInstance* handle, const char* first, const char* second,
                         const char* third) {
    return kivsdk::run_request(handle, [&](Instance& instance) -> int {
        const std::string_view strings[3] = {kivsdk::text_or_empty(first),
                                             kivsdk::text_or_empty(second),
                                             kivsdk::text_or_empty(third)};
        for (const std::string_view text : strings) {
            if (text.size() > 255) return KIV_RC_STRING_TOO_LONG;
        }
        kivsdk::PacketWriter writer;
        writer.append_byte(kivsdk::universe_message::kLogin);
        writer.append_byte(1);
        for (const std::string_view text : strings) writer.append_string(text);
        writer.append_string(instance.string_at(KIV_LOGIN_EXTRA_1));
        writer.append_string(instance.string_at(KIV_LOGIN_EXTRA_2));
        kivsdk::begin_blocking_request(instance, KIV_CALLBACK_LOGIN, kivsdk::Response::kLogin);
        const int rc = kivsdk::universe_send_gate(instance, writer);
        if (rc != KIV_RC_SUCCESS) return rc;
        return kivsdk::finish_blocking_request(
            instance, KIV_CALLBACK_LOGIN, kivsdk::Response::kLogin, kivsdk::kLoginLimitSeconds);
    });
}

}  // extern "C"
