// Entering a world through the universe, the world Connection's handlers,
// leaving, and the world message dispatcher.
#include <array>
#include <cstdio>
#include <string>

#include "api/boundary.h"
#include "api/instance.h"
#include "api/request_flow.h"
#include "connection/trust_anchors.h"
#include "universe/universe_messages.h"
#include "universe/universe_session.h"
#include "wire/packet_reader.h"
#include "wire/packet_writer.h"
#include "world/world_messages.h"
#include "world/world_session.h"

namespace kivsdk {
namespace {

constexpr std::int64_t kEnterLimitSeconds = 20;
constexpr std::uint16_t kDefaultWorldPort = 57002;

void send_world_login(Connection& connection, Instance& instance) {
    PacketWriter writer;
    writer.append_byte(world_message::kLogin);
    writer.append_raw(instance.world_ticket().data(), instance.world_ticket().size());
    writer.append_string(instance.string_at(KIV_LOGIN_EXTRA_1));
    writer.append_string(instance.string_at(KIV_LOGIN_EXTRA_2));
    connection.send(writer);
}

void on_plain_connect_result(Connection& connection, Instance& instance, int status) {
    if (status != 0) {
        instance.set_int(KIV_DISCONNECT_REASON, status);
        complete_enter(instance, KIV_RC_CONNECTION_ERROR);
        return;
    }
    // On the plain path the gate opens with the TCP connection.
    instance.world_ready = true;
    send_world_login(connection, instance);
}

void on_secure_connect_result(Connection& connection, Instance& instance, int status) {
    if (status != 0) {
        if (instance.has_callback_handler(KIV_CALLBACK_ENTER)) {
            instance.set_int(KIV_DISCONNECT_REASON, status);
        }
        complete_enter(instance, KIV_RC_CONNECTION_ERROR);
        return;
    }
    PacketWriter writer(1);
    writer.append_byte(world_message::kSecureChannel);
    connection.send(writer);
}

void on_disconnected(Connection&, Instance& instance, int reason) {
    instance.set_int(KIV_DISCONNECT_REASON, reason);
    instance.fire_event(KIV_EVENT_WORLD_DISCONNECT);
}

void on_secure_channel_complete(Connection& connection, Instance& instance, int status) {
    if (status != 0) {
        complete_enter(instance, KIV_RC_SECURE_CHANNEL_FAILED);
        return;
    }
    send_world_login(connection, instance);
}

void on_secure_channel_reply(Instance& instance, PacketReader& body) {
    std::uint8_t status = 0;
    body.read_byte(status);
    Connection* connection = instance.world.get();
    if (connection == nullptr || connection->tls_state() != Connection::TlsState::kPlain) return;
    if (status != 0) {
        complete_enter(instance, KIV_RC_SECURE_CHANNEL_FAILED);
        return;
    }
    const TrustAnchor anchors = world_trust_anchors();
    if (connection->start_tls(&on_secure_channel_complete, anchors.pem, anchors.length) != 0) {
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

}  // namespace

void complete_enter(Instance& instance, int rc) {
    if (rc == KIV_RC_SUCCESS) instance.world_ready = true;
    complete_blocking_request(instance, KIV_CALLBACK_ENTER, Response::kWorldEnter, rc);
}

void on_world_entry_reply(Instance& instance, PacketReader& body) {
    std::uint8_t status = 0;
    body.read_byte(status);
    if (status != 0) {
        complete_enter(instance, KIV_RC_WORLD_UNAVAILABLE);
        return;
    }
    std::array<unsigned char, 32> ticket{};
    if (body.read_raw(ticket.data(), ticket.size())) instance.world_ticket() = ticket;
    unsigned char address[4] = {0, 0, 0, 0};
    body.read_raw(address, sizeof address);
    std::uint16_t port = kDefaultWorldPort;
    body.read_uint16(port);
    std::string host;
    body.read_string(host);
    std::uint8_t flags = 0;
    body.read_byte(flags);
    std::int32_t entry_value = 0;
    if (body.read_int32(entry_value)) instance.set_int(KIV_WORLD_ENTRY_VALUE, entry_value);

    const bool secure = (flags & 1) != 0;
    Instance::discard(instance.world);
    ConnectionHandlers handlers{secure ? &on_secure_connect_result : &on_plain_connect_result,
                                &on_disconnected, &dispatch_world_message};
    instance.world = std::make_unique<Connection>(instance.operations(), handlers, instance);
    if (host.empty()) {
        char dotted[16];
        std::snprintf(dotted, sizeof dotted, "%d.%d.%d.%d", address[0], address[1], address[2],
                      address[3]);
        host = dotted;
    }
    Connection* connection = instance.world.get();
    const int result = server_connect(*connection, instance, host.c_str(), port);
    if (result == 0 || instance.discarded()) return;
    // A connect that failed at once may already have reported its result from
    // inside the call, completing the enter; it completes exactly once.
    const bool completed_inside =
        instance.world.get() != connection || connection->connect_reported();
    if (instance.world.get() == connection) Instance::discard(instance.world);
    if (!completed_inside) complete_enter(instance, KIV_RC_CONNECTION_ERROR);
}

void dispatch_world_message(Instance& instance, PacketReader& body) {
    std::uint8_t type = 0;
    if (!body.read_byte(type)) return;
    switch (type) {
        case world_message::kLogin: on_world_login_reply(instance, body); break;
        case world_message::kCell: on_cell(instance, body); break;
        case world_message::kObject: on_object_announced(instance, body); break;
        case world_message::kChat: on_chat(instance, body); break;
        case world_message::kObjectChange: on_object_changed(instance, body); break;
        case world_message::kObjectDelete: on_object_deleted(instance, body); break;
        case world_message::kAvatarAdd: on_avatar_added(instance, body); break;
        case world_message::kAvatarChange: on_avatar_changed(instance, body); break;
        case world_message::kAvatarDelete: on_avatar_deleted(instance, body); break;
        case world_message::kObjectClick: on_object_clicked(instance, body); break;
        case world_message::kTransactionResult: on_world_transaction_result(instance, body); break;
        case world_message::kWorldSetting: on_world_setting(instance, body); break;
        case world_message::kWorldSettingsEnd: on_world_settings_end(instance, body); break;
        case world_message::kTerrainQuery: on_terrain_nodes(instance, body); break;
        case world_message::kKeepAlive: break;
        case world_message::kAvatarClick: on_avatar_clicked(instance, body); break;
        case world_message::kTeleport: on_teleport(instance, body); break;
        case world_message::kUrl: on_url(instance, body); break;
        case world_message::kBumpBegin: on_object_bump_begin(instance, body); break;
        case world_message::kBumpEnd: on_object_bump_end(instance, body); break;
        case world_message::kTerrainNodeChanged: on_terrain_node_changed(instance, body); break;
        case world_message::kSecureChannel: on_secure_channel_reply(instance, body); break;
        case world_message::kPermissions: on_world_permissions(instance, body); break;
        default:
            std::printf("Unknown message type: %d\n", type);
            std::fflush(stdout);
            break;
    }
}

}  // namespace kivsdk

using kivsdk::Instance;

extern "C" {

KIVSDK_API int kiv_enter(KIVInstance* handle, const char* world) {
    return kivsdk::run_request(handle, [&](Instance& instance) -> int {
        instance.world_ready = false;
        const std::string_view name = kivsdk::text_or_empty(world);
        if (name.size() > 255) return KIV_RC_STRING_TOO_LONG;
        Instance::discard(instance.world);
        kivsdk::PacketWriter writer;
        writer.append_byte(kivsdk::universe_message::kWorldEntry);
        writer.append_string(name);
        // An enter that outlived an earlier blocking call must not answer this one.
        kivsdk::begin_blocking_request(instance, KIV_CALLBACK_ENTER, kivsdk::Response::kWorldEnter);
        const int rc = kivsdk::universe_send_gate(instance, writer);
        if (rc != KIV_RC_SUCCESS) return rc;
        return kivsdk::finish_blocking_request(instance, KIV_CALLBACK_ENTER,
                                               kivsdk::Response::kWorldEnter,
                                               kivsdk::kEnterLimitSeconds);
    });
}

KIVSDK_API int kiv_leave(KIVInstance* handle) {
    return kivsdk::run_request(handle, [&](Instance& instance) -> int {
        if (!instance.world) return KIV_RC_NOT_IN_WORLD;
        Instance::discard(instance.world);
        return KIV_RC_SUCCESS;
    });
}

}  // extern "C"
