#include "api/session.h"

#include "api/request_flow.h"
#include "api/staying_up.h"
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
        ++instance.side(side_).totals.unknown_messages;
        report(instance.log_source(), DiagnosticLevel::kWarning, category_of(side_),
               "Unknown message type: %d\n", type);
        return;
    }
    handler(instance, body);
}

bool report_disconnect(Instance& instance, Side side, const Connection& connection, int event,
                       int reason) {
    SideState& state = instance.side(side);
    const bool current = state.connection.get() == &connection;
    const std::uint64_t generation = state.generation;
    const bool loss = reason != KIV_RC_TIMEOUT;
    if (loss && current) {
        state.state = KIV_STATE_LOST;
        ++state.totals.losses;
        const int detail = failure_detail(instance, connection, reason);
        note_failure(instance, side, detail, &connection);
        if (log_enabled(instance.log_source(), DiagnosticLevel::kInfo)) {
            report(instance.log_source(), DiagnosticLevel::kInfo, category_of(side),
                   "%s connection to %s lost: %s\n", side_name(side), connection.host().c_str(),
                   failure_text(detail, &connection).c_str());
        }
    }
    instance.set_int(KIV_DISCONNECT_REASON, reason);
    instance.fire_event(event);
    if (!loss || !current || instance.discarded()) return false;
    end_pending_work(instance, side, generation);
    // Still the side's Connection after the handlers: the session may
    // reconnect it.
    return !instance.discarded() && state.connection.get() == &connection;
}

WorldHooks& world_hooks() noexcept {
    static WorldHooks hooks;
    return hooks;
}

int side_send_gate(Instance& instance, Side side, int closed_code, PacketWriter& writer) {
    SideState& state = instance.side(side);
    if (state.reconnecting || state.state == KIV_STATE_GAVE_UP) return KIV_RC_CONNECTION_ERROR;
    if (state.connection && state.connection->lost()) return KIV_RC_CONNECTION_ERROR;
    if (!state.connection || !state.ready) return closed_code;
    const std::size_t frame = writer.body_size() + kFrameHeaderSize;
    if (writer.fits() && state.connection->queued_bytes() + frame > instance.queue_limit) {
        note_failure(instance, side, KIV_DETAIL_QUEUE_FULL, state.connection.get());
        return KIV_RC_QUEUE_FULL;
    }
    return state.connection->send(writer);
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

std::shared_ptr<ClientTlsConfig> make_client_tls(Side side, const LogSource& log) {
    const TrustAnchor anchors =
        side == Side::kUniverse ? universe_trust_anchors() : world_trust_anchors();
    return std::make_shared<ClientTlsConfig>(anchors.pem, anchors.length, log);
}

int start_secure_channel(Instance& instance, Side side, Connection& connection,
                         Connection::HandshakeCompletion completion) {
    SideState& state = instance.side(side);
    if (!state.tls) state.tls = make_client_tls(side, instance.log_source());
    state.state = KIV_STATE_SECURING;
    return connection.start_tls(completion, state.tls);
}

}  // namespace kivsdk
