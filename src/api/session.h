// Plumbing shared by the universe and the world session: the dispatcher
// table, the report of a lost connection, the secure-channel exchange and
// the mapping of result bytes to return codes.
#pragma once

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

#include "api/instance.h"
#include "base/diagnostics.h"
#include "connection/connection.h"

namespace kivsdk {

class PacketReader;
class PacketWriter;

// Reads one received message's fields after its type byte.
using MessageHandler = void (*)(Instance& instance, PacketReader& body);

// A session's dispatcher: type byte → handler. A type without a handler
// writes "Unknown message type: %d".
class DispatchTable {
public:
    // The side whose messages it dispatches (its diagnostic lines and its
    // count of unknown messages).
    explicit DispatchTable(Side side) noexcept : side_(side) {}

    void set(std::uint8_t type, MessageHandler handler) noexcept { handlers_[type] = handler; }
    // Marks a type as known and answered by nothing (the keep-alive).
    void ignore(std::uint8_t type) noexcept { handlers_[type] = &ignore_message; }
    bool handles(std::uint8_t type) const noexcept { return handlers_[type] != nullptr; }
    // Reads the type byte and runs its handler. A body without a type byte
    // is dropped.
    void dispatch(Instance& instance, PacketReader& body) const;

private:
    static void ignore_message(Instance&, PacketReader&) noexcept {}

    Side side_;
    std::array<MessageHandler, 256> handlers_{};
};

// A lost stream or a stalled frame of the side's Connection: KIV_DISCONNECT_REASON
// takes the reason (KIV_DISCONNECT_DETAIL, _SIDE and _TEXT the detail of a loss) and
// `event` fires. A loss (-1, 9) then ends everything pending on that
// Connection with 9; a stall (16) ends nothing. True when it was a loss and
// the Connection is still the side's afterwards (the session may reconnect).
bool report_disconnect(Instance& instance, Side side, const Connection& connection, int event,
                       int reason);

// What the universe session asks of the world session while reconnecting,
// registered by the world session (the universe knows nothing of worlds):
// a reconnected universe is logged in again (a world lost as well is
// entered again), and a re-entry asked of the universe passed its limit.
struct WorldHooks {
    void (*universe_back)(Instance& instance) = nullptr;
    void (*reentry_timed_out)(Instance& instance) = nullptr;
};
WorldHooks& world_hooks() noexcept;

// The send gate of a side: 9 while the side is lost, reconnecting or gave
// up; `closed_code` without a Connection or before it is ready; 32 when the
// frame would pass the queue limit (nothing queued); otherwise the frame is
// queued (4 for a body the length field cannot express).
int side_send_gate(Instance& instance, Side side, int closed_code, PacketWriter& writer);

// A client TLS configuration over a side's built-in CA bundle. Nothing is
// parsed yet.
std::shared_ptr<ClientTlsConfig> make_client_tls(Side side, const LogSource& log);

// The secure-channel request (message 39, no fields) travels in the clear,
// past the side's gate.
void send_secure_channel_request(Connection& connection, std::uint8_t type);
// True while the Connection has asked for the secure channel and not yet
// started it: the only time a server's message 39 means anything.
bool awaits_secure_channel(const Connection* connection) noexcept;
// Switches the Connection to TLS with its side's client configuration,
// built at the side's first use from the side's CA bundle. 0 while under way
// or done; -1 when it could not start (the caller reports the failure).
int start_secure_channel(Instance& instance, Side side, Connection& connection,
                         Connection::HandshakeCompletion completion);

// Return codes for result bytes 0..N-1; a larger byte counts as the last.
template <std::size_t N>
using ResultCodes = std::array<int, N>;

template <std::size_t N>
constexpr int code_for(const ResultCodes<N>& codes, std::uint8_t result) noexcept {
    return codes[std::min<std::size_t>(result, N - 1)];
}

}  // namespace kivsdk
