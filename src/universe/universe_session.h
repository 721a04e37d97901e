// The universe session: the universe Connection's handlers, its message
// dispatcher and the handlers of each universe message.
#pragma once

#include <cstdint>

#include "connection/connection.h"

namespace kivsdk {

class Instance;
class PacketReader;
class CallbackInfo;

// Handlers given to every universe Connection.
ConnectionHandlers universe_connection_handlers() noexcept;

// The server connect step, shared with world connections: the alternative
// connect when int attribute 19 is 1 (never supported: -1, the socket is not
// touched), otherwise the socket layer's connect.
int server_connect(Connection& connection, Instance& instance, const char* host,
                   std::uint16_t port);

// The universe Connection's message handler.
void dispatch_universe_message(Instance& instance, PacketReader& body);

// Entry messages and answers of the universe's lists, user attributes and
// friends.
void on_world_list_entry(Instance& instance, PacketReader& body);
void on_user_attributes(Instance& instance, PacketReader& body);
void on_friend_entry(Instance& instance, PacketReader& body);
// Incoming join requests and invitations.
void on_join_request(Instance& instance, PacketReader& body);
void on_invitation(Instance& instance, PacketReader& body);

// The rest of a transaction result for a found record, by request type.
void complete_list_or_friend_request(Instance& instance, const CallbackInfo& record,
                                     std::uint8_t result, PacketReader& body);
void complete_join_request(Instance& instance, const CallbackInfo& record, std::uint8_t result,
                           PacketReader& body);
void complete_invitation(Instance& instance, const CallbackInfo& record, std::uint8_t result,
                         PacketReader& body);

}  // namespace kivsdk
