// The universe session: its dispatcher table, the universe Connection's
// handlers, its send gate and request road, and the routing of transaction
// results. Topic files hold their own requests and message handlers.
#pragma once

#include <cstdint>

#include "api/request_flow.h"
#include "api/session.h"
#include "connection/connection.h"

namespace kivsdk {

class FieldCursor;
class Instance;
class PacketReader;

// The universe dispatcher. Other sessions register the universe messages
// they own (the world session: the world entry reply).
DispatchTable& universe_dispatch_table() noexcept;

// Handlers given to every universe Connection.
ConnectionHandlers universe_connection_handlers() noexcept;

// The server connect step, shared with world connections: the alternative
// connect when KIV_CONNECT_MODE is 1 (never supported: -1, the socket is not
// touched), otherwise the socket layer's connect.
int server_connect(Connection& connection, Instance& instance, const char* host,
                   std::uint16_t port);

// The universe send gate: 17 without a universe connection or before its
// secure channel is up, otherwise the frame is queued on the universe
// Connection.
int universe_send_gate(Instance& instance, PacketWriter& writer);

// A universe request answered by a transaction result: `build(writer,
// number)` writes the whole message. 17 without a universe Connection.
template <class BuildMessage>
int universe_request(Instance& instance, int callback, BuildMessage&& build) {
    if (!instance.universe.connection) return KIV_RC_NOT_IN_UNIVERSE;
    return send_recorded_request(instance, Side::kUniverse, &universe_send_gate, callback, 0,
                                 std::forward<BuildMessage>(build));
}

// Completes a connect with a result: callback or queued Response.
void complete_connect(Instance& instance, int rc);
// A reconnection's login was answered: back in, give up, or try again.
void reconnect_login_answered(Instance& instance, int rc);

// Topic handlers, registered in the table by the session.
// Connect and login.
void on_login_reply(Instance& instance, PacketReader& body);
// World list, user attributes and friends.
void on_world_list_entry(Instance& instance, PacketReader& body);
void on_user_attributes(Instance& instance, PacketReader& body);
void on_friend_entry(Instance& instance, PacketReader& body);
// Incoming join requests and invitations.
void on_join_request(Instance& instance, PacketReader& body);
void on_invitation(Instance& instance, PacketReader& body);

// What a transaction result carries after its number and result byte, read
// for the request it answers.
void read_friend_delete_answer(Instance& instance, FieldCursor& fields);
void read_join_answer(Instance& instance, std::uint8_t result, FieldCursor& fields);
void read_invitation_answer(Instance& instance, FieldCursor& fields);

}  // namespace kivsdk
