#include "api/session.h"

#include "base/diagnostics.h"
#include "connection/client_tls_config.h"
#include "connection/trust_anchors.h"
#include "wire/packet_reader.h"
#include "wire/packet_writer.h"

namespace kivsdk {

void DispatchTable::dispatch(Instance& instance, PacketReader& body) const {
    std::uint8_t type = 0;
    if (!body.read_byte(type)) return;
    const MessageHandler handler = handlers_[type];
    if (handler == nullptr) {
        report(DiagnosticLevel::kWarning, category_, "Unknown message type: %d\n", type);
        return;
    }
    handler(instance, body);
}

void report_disconnect(Instance& instance, int event, int reason) {
    instance.set_int(KIV_DISCONNECT_REASON, reason);
    instance.fire_event(event);
}

void send_secure_channel_request(Connection& connection, std::uint8_t type) {
    PacketWriter writer(1);
    writer.append_byte(type);
    connection.send(writer);
}

int start_secure_channel(Instance& instance, Side side, Connection& connection,
                         Connection::HandshakeCompletion completion) {
    SideState& state = instance.side(side);
    if (!state.tls) {
        const TrustAnchor anchors =
            side == Side::kUniverse ? universe_trust_anchors() : world_trust_anchors();
        state.tls = std::make_unique<ClientTlsConfig>(anchors.pem, anchors.length);
    }
    return connection.start_tls(completion, *state.tls);
}

}  // namespace kivsdk
