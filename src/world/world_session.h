// The world session: the world Connection's handlers, its message
// dispatcher and the handler of each world message.
#pragma once

#include <cstdint>

#include "connection/connection.h"

namespace kivsdk {

class Instance;
class PacketReader;

// The universe's reply to a world entry request (universe message 2): opens
// the world Connection.
void on_world_entry_reply(Instance& instance, PacketReader& body);

// The world Connection's message handler.
void dispatch_world_message(Instance& instance, PacketReader& body);

// Ends a kiv_enter with a return code: callback 11, or a queued Response.
void complete_enter(Instance& instance, int rc);

// World messages, by the part of the world they concern. Each reads the
// fields after the type byte.
// Avatars and chat.
void on_chat(Instance& instance, PacketReader& body);            // 9
void on_avatar_added(Instance& instance, PacketReader& body);    // 13
void on_avatar_changed(Instance& instance, PacketReader& body);  // 14
void on_avatar_deleted(Instance& instance, PacketReader& body);  // 15
// Objects and cells.
void on_cell(Instance& instance, PacketReader& body);                      // 6
void on_object_announced(Instance& instance, PacketReader& body);          // 7
void on_object_changed(Instance& instance, PacketReader& body);            // 11
void on_object_deleted(Instance& instance, PacketReader& body);            // 12
void on_object_clicked(Instance& instance, PacketReader& body);            // 16
void on_world_transaction_result(Instance& instance, PacketReader& body);  // 17
void on_object_bump_begin(Instance& instance, PacketReader& body);         // 33
void on_object_bump_end(Instance& instance, PacketReader& body);           // 34
// Terrain.
void on_terrain_nodes(Instance& instance, PacketReader& body);         // 26
void on_terrain_node_changed(Instance& instance, PacketReader& body);  // 36
// Settings and permissions.
void on_world_setting(Instance& instance, PacketReader& body);       // 20
void on_world_settings_end(Instance& instance, PacketReader& body);  // 25
void on_world_permissions(Instance& instance, PacketReader& body);   // 44
// Clicks, teleports and URLs addressed to this client.
void on_avatar_clicked(Instance& instance, PacketReader& body);  // 30
void on_teleport(Instance& instance, PacketReader& body);        // 31
void on_url(Instance& instance, PacketReader& body);             // 32

}  // namespace kivsdk
