#include "api/session.h"

#include "api/request_flow.h"
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

void report_disconnect(Instance& instance, Side side, const Connection& connection, int event,
                       int reason) {
    const SideState& state = instance.side(side);
    const bool current = state.connection.get() == &connection;
    const std::uint64_t generation = state.generation;
    instance.set_int(KIV_DISCONNECT_REASON, reason);
    instance.fire_event(event);
    if (reason == KIV_RC_TIMEOUT || !current || instance.discarded()) return;
    end_pending_work(instance, side, generation);
}

void send_secure_channel_request(Connection& connection, std::uint8_t type) {
    connection.mark_secure_channel_requested();
    PacketWriter writer(1);
    writer.append_byte(type);
    connection.send(writer);
}

bool awaits_secure_channel(const Connection* connection) noexcept {
    return connection != nullptr && connection->secure_channel_requested() &&
           !connection->tls_started() && connection->tls_state() == Connection::TlsState::kPlain;
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
