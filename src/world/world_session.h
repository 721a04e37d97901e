// The world session: its dispatcher table, the world Connection's handlers,
// the world login and secure channel, its send gate and request road, and
// the routing of world transaction results. Topic files hold their own
// requests and message handlers.
#pragma once

#include <cstdint>
#include <utility>

#include "api/request_flow.h"
#include "api/session.h"
#include "connection/connection.h"
#include "wire/packet_writer.h"

namespace kivsdk {

class FieldCursor;
class Instance;
class PacketReader;

DispatchTable& world_dispatch_table() noexcept;

// The world Connection's message handler: the world dispatcher.
void dispatch_world_message(Connection& connection, PacketReader& body);

// Handlers for a new world Connection, with or without the secure channel.
ConnectionHandlers world_connection_handlers(bool secure) noexcept;

// The world send gate: 8 without a world connection or while it is not
// ready, otherwise the frame is queued on the world Connection.
int world_send_gate(Instance& instance, PacketWriter& writer);

// A world message without an answer: 4 when it cannot be framed, otherwise
// the world send gate decides.
int world_message_request(Instance& instance, PacketWriter& writer);

// A world request answered by a transaction result: the type byte, then
// what `fields(writer, number)` appends. `object_id` is reported back by
// change and delete answers.
template <class Fields>
int world_object_request(Instance& instance, std::uint8_t type, int callback,
                         std::int32_t object_id, Fields&& fields,
                         std::size_t size_hint = PacketWriter::kDefaultCapacity) {
    return send_recorded_request(
        instance, Side::kWorld, &world_send_gate, callback, object_id,
        [&](PacketWriter& writer, std::int32_t number) {
            writer.append_byte(type);
            fields(writer, number);
        },
        size_hint);
}

template <class Fields>
int world_request(Instance& instance, std::uint8_t type, int callback, Fields&& fields,
                  std::size_t size_hint = PacketWriter::kDefaultCapacity) {
    return world_object_request(instance, type, callback, 0, std::forward<Fields>(fields),
                                size_hint);
}

// Ends a kiv_enter with a return code: KIV_CALLBACK_ENTER, or a queued Response.
// During a re-entry it ends the library's own step instead.
void complete_enter(Instance& instance, int rc);
// A re-entry that failed tries again (true), or there was none (false).
bool reentry_failed(Instance& instance, int rc);

// Topic handlers, registered in the table by the session. Each reads the
// fields after the type byte.
// Entering (a universe message: the world entry reply).
void on_world_entry_reply(Instance& instance, PacketReader& body);
// Avatars and chat.
void on_chat(Instance& instance, PacketReader& body);
void on_avatar_added(Instance& instance, PacketReader& body);
void on_avatar_changed(Instance& instance, PacketReader& body);
void on_avatar_deleted(Instance& instance, PacketReader& body);
// Objects and cells.
void on_cell(Instance& instance, PacketReader& body);
void on_object_announced(Instance& instance, PacketReader& body);
void on_object_changed(Instance& instance, PacketReader& body);
void on_object_deleted(Instance& instance, PacketReader& body);
void on_object_clicked(Instance& instance, PacketReader& body);
void on_object_bump_begin(Instance& instance, PacketReader& body);
void on_object_bump_end(Instance& instance, PacketReader& body);
// Terrain.
void on_terrain_nodes(Instance& instance, PacketReader& body);
void on_terrain_node_changed(Instance& instance, PacketReader& body);
// Settings and permissions.
void on_world_setting(Instance& instance, PacketReader& body);
void on_world_settings_end(Instance& instance, PacketReader& body);
void on_world_permissions(Instance& instance, PacketReader& body);
// Clicks, teleports and URLs addressed to this client.
void on_avatar_clicked(Instance& instance, PacketReader& body);
void on_teleport(Instance& instance, PacketReader& body);
void on_url(Instance& instance, PacketReader& body);

// What a successful object get's transaction result carries after its
// result byte: the object's record.
void read_object_record(Instance& instance, PacketReader& body);

}  // namespace kivsdk
