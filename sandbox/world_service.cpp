#include "world_service.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <ctime>
#include <limits>
#include <string_view>

#include "fields.h"
#include "wire/byte_order.h"
#include "wire/field_cursor.h"
#include "wire/packet_reader.h"
#include "wire/packet_writer.h"
#include "wire/world_messages.h"

namespace kivsdk::sandbox {
namespace {

// Result bytes of the world's answers; the client maps them per request.
enum Result : std::uint8_t {
    kOk = 0,
    kInvalid = 1,   // objects: malformed description; get: no such object
    kDenied = 2,    // objects: not allowed
    kFull = 3,      // objects: the cell holds no more
    kNoObject = 4,  // change or delete of an unknown object
};
// Permission and setting changes: 1 not allowed, 2 bad holder or value,
// 3 unknown name. Permission lists: 1 not allowed.
enum ChangeResult : std::uint8_t { kNotAllowed = 1, kBadValue = 2, kUnknownName = 3 };
// Terrain: 1 no such node, 2 not allowed, 3 malformed, 4 the world keeps no
// more nodes.
enum TerrainResult : std::uint8_t {
    kNoNode = 1,
    kTerrainDenied = 2,
    kTerrainMalformed = 3,
    kTerrainFull = 4
};

const std::set<std::string> kPermissionNames = {"admin", "build", "terrain", "settings", "eject"};
// Settings that exist; "cell size" cannot be changed.
const char* const kReadOnlySetting = "cell size";

constexpr std::size_t kPermissionsPerMessage = 64;

}  // namespace

WorldService::WorldService(server::ServerLoop& loop, Directory& directory,
                           const server::Identity& identity, WorldSettings settings)
    : loop_(loop), directory_(directory), settings_(std::move(settings)) {
    if (settings_.secure) tls_ = std::make_unique<server::ServerTlsConfig>(identity);
    char cell[32];
    std::snprintf(cell, sizeof cell, "%g", settings_.cell_size);
    world_settings_ = {{"title", settings_.name},
                       {"welcome", "Welcome to " + settings_.name + "!"},
                       {"sky", "blue"},
                       {"gravity", "1.0"},
                       {kReadOnlySetting, cell}};
}

WorldService::~WorldService() = default;

PacketWriter WorldService::result(std::int32_t reference, std::uint8_t code) {
    PacketWriter writer;
    writer.append_byte(world_message::kTransactionResult);
    writer.append_int32(reference);
    writer.append_byte(code);
    return writer;
}

void WorldService::malformed(server::Peer& peer, std::uint8_t type) {
    loop_.log_error(settings_.name + " " + peer.remote() + ": malformed message of type " +
                    std::to_string(type));
}

WorldService::Avatar* WorldService::by_session(std::int32_t session) {
    const auto found = sessions_.find(session);
    if (found == sessions_.end()) return nullptr;
    const auto avatar = avatars_.find(found->second);
    return avatar == avatars_.end() ? nullptr : &avatar->second;
}

void WorldService::to_others(const Avatar& from, PacketWriter& writer) {
    for (const auto& entry : sessions_) {
        if (entry.second == from.peer) continue;
        if (server::Peer* peer = loop_.find(entry.second)) peer->send(writer);
    }
}

void WorldService::to_all(PacketWriter& writer) {
    for (const auto& entry : sessions_) {
        if (server::Peer* peer = loop_.find(entry.second)) peer->send(writer);
    }
}

void WorldService::on_frame(server::Peer& peer, PacketReader& body) {
    std::uint8_t type = 0;
    body.read_byte(type);
    Avatar& avatar = avatars_[peer.id()];
    avatar.peer = peer.id();
    if (avatar.session == 0) {
        opening(peer, avatar, type, body);
    } else {
        dispatch(peer, avatar, type, body);
    }
}

void WorldService::opening(server::Peer& peer, Avatar& avatar, std::uint8_t type,
                           PacketReader& body) {
    if (type == world_message::kSecureChannel && !peer.secure()) {
        // Granted on a TLS world only.
        PacketWriter reply(2);
        reply.append_byte(world_message::kSecureChannel);
        reply.append_byte(tls_ ? 0 : 1);
        peer.send(reply);
        if (tls_) peer.start_tls(*tls_);
        return;
    }
    if (type == world_message::kKeepAlive) return;
    if (type != world_message::kLogin || (tls_ && !peer.secure())) {
        peer.close("type " + std::to_string(type) + " before the world login");
        return;
    }
    login(peer, avatar, body);
}

void WorldService::login(server::Peer& peer, Avatar& avatar, PacketReader& body) {
    FieldCursor fields(body);
    Ticket ticket{};
    fields.raw(ticket.data(), ticket.size());
    std::optional<TicketEntry> entry;
    if (read_fields(fields, avatar.extra_1, avatar.extra_2)) {
        entry = directory_.redeem(ticket, settings_.name);
    }
    const Account* account = entry ? directory_.find(entry->user_id) : nullptr;
    PacketWriter reply(2);
    reply.append_byte(world_message::kLogin);
    if (!account) {
        reply.append_byte(1);
        peer.send(reply);
        peer.close_after_flush("login refused: no valid ticket");
        return;
    }
    reply.append_byte(0);
    peer.send(reply);
    avatar.session = next_session_++;
    avatar.user_id = account->id;
    avatar.name = account->name;
    sessions_[avatar.session] = peer.id();
    peer.set_label(avatar.name);
    if (owner_ == 0) owner_ = account->id;
    directory_.entered(account->id, settings_.name);
    loop_.log_connection(settings_.name + " " + peer.remote() + " entered as " + avatar.name +
                         " (session " + std::to_string(avatar.session) + ")");

    for (const auto& setting : world_settings_) {
        PacketWriter writer;
        writer.append_byte(world_message::kWorldSetting);
        writer.append_string(setting.first);
        writer.append_string(setting.second);
        peer.send(writer);
    }
    PacketWriter end(1);
    end.append_byte(world_message::kWorldSettingsEnd);
    peer.send(end);
    for (const auto& entry_of_session : sessions_) {
        const Avatar* other = by_session(entry_of_session.first);
        if (!other || !other->visible || other->peer == peer.id()) continue;
        PacketWriter added;
        added.append_byte(world_message::kAvatarAdd);
        added.append_int32(other->session);
        for (const float v : {other->x, other->y, other->z, other->yaw, other->pitch}) {
            added.append_float(v);
        }
        added.append_int32(other->type);
        added.append_string(other->name);
        added.append_int32(other->user_id);
        added.append_string(other->extra_1);
        added.append_string(other->extra_2);
        peer.send(added);
    }
}

void WorldService::dispatch(server::Peer& peer, Avatar& avatar, std::uint8_t type,
                            PacketReader& body) {
    switch (type) {
        case world_message::kKeepAlive: return;
        case world_message::kAvatarChange: return state(avatar, body);
        case world_message::kChat: return chat(avatar, body);
        case world_message::kConsoleMessage: return console(avatar, body);
        case world_message::kObjectAdd: return object_add(peer, avatar, body, false);
        case world_message::kObjectLoad: return object_add(peer, avatar, body, true);
        case world_message::kObjectChange: return object_change(peer, avatar, body);
        case world_message::kObjectDelete: return object_delete(peer, avatar, body);
        case world_message::kObjectGet: return object_get(peer, body);
        case world_message::kCell: return cell_query(peer, body);
        case world_message::kObjectClick:
        case world_message::kBumpBegin:
        case world_message::kBumpEnd:
        case world_message::kAvatarClick:
        case world_message::kTeleport:
        case world_message::kUrl: return directed(avatar, type, body);
        case world_message::kTerrainQuery: return terrain_query(peer, body);
        case world_message::kTerrainNodeSet: return terrain_set(peer, avatar, body);
        case world_message::kPermissionUserSet:
        case world_message::kPermissionSessionSet: return permission_set(peer, avatar, type, body);
        case world_message::kPermissionsGetMy:
        case world_message::kPermissionsGetByUser:
        case world_message::kPermissionsGetAll: return permission_list(peer, avatar, type, body);
        case world_message::kWorldSetting: return setting_set(peer, avatar, body);
        default:
            loop_.log_error(settings_.name + " " + peer.remote() + ": unknown message type " +
                            std::to_string(type));
    }
}

// ---- Avatars and chat ------------------------------------------------------

void WorldService::state(Avatar& avatar, PacketReader& body) {
    FieldCursor fields(body);
    float x = 0, y = 0, z = 0, yaw = 0, pitch = 0;
    std::int32_t type = 0;
    if (!read_fields(fields, x, y, z, yaw, pitch, type)) {
        return malformed(*loop_.find(avatar.peer), world_message::kAvatarChange);
    }
    avatar.x = x, avatar.y = y, avatar.z = z, avatar.yaw = yaw, avatar.pitch = pitch;
    avatar.type = type;
    const bool first = !avatar.visible;
    avatar.visible = true;
    PacketWriter notice;
    notice.append_byte(first ? world_message::kAvatarAdd : world_message::kAvatarChange);
    notice.append_int32(avatar.session);
    for (const float v : {x, y, z, yaw, pitch}) notice.append_float(v);
    notice.append_int32(type);
    notice.append_string(avatar.name);
    if (first) {
        notice.append_int32(avatar.user_id);
        notice.append_string(avatar.extra_1);
        notice.append_string(avatar.extra_2);
    }
    to_others(avatar, notice);
}

void WorldService::chat(const Avatar& avatar, PacketReader& body) {
    FieldCursor fields(body);
    std::string_view text;
    if (!read_fields(fields, text)) {
        return malformed(*loop_.find(avatar.peer), world_message::kChat);
    }
    PacketWriter line;
    line.append_byte(world_message::kChat);
    line.append_string(avatar.name);
    line.append_string(text);
    line.append_int32(avatar.session);
    line.append_byte(0);
    to_others(avatar, line);
    if (line_tap_) line_tap_({false, avatar.session, avatar.name, std::string(text), 0});
}

void WorldService::console(const Avatar& avatar, PacketReader& body) {
    FieldCursor fields(body);
    std::int32_t session = 0;
    std::string_view name;
    std::string_view message;
    std::uint8_t look[4] = {};
    if (!read_fields(fields, session, name, message, look[0], look[1], look[2], look[3])) {
        return malformed(*loop_.find(avatar.peer), world_message::kConsoleMessage);
    }
    PacketWriter line;
    line.append_byte(world_message::kChat);
    line.append_string(name);
    line.append_string(message);
    line.append_int32(avatar.session);
    line.append_byte(1);
    for (const std::uint8_t byte : look) line.append_byte(byte);
    if (session == 0) {
        to_all(line);
    } else if (const Avatar* to = by_session(session)) {
        if (server::Peer* peer = loop_.find(to->peer)) peer->send(line);
    } else {
        return;  // nobody heard it
    }
    if (line_tap_) {
        line_tap_({true, avatar.session, std::string(name), std::string(message), session});
    }
}

// ---- Objects and cells -----------------------------------------------------

bool WorldService::read_object(FieldCursor& fields, PacketReader& body, Object& object, bool load) {
    float position[3] = {};
    float* const rotation = object.rotation;
    read_fields(fields, object.type);
    if (load) read_fields(fields, object.number_2, object.number_1);
    read_fields(fields, position[0], position[1], position[2], rotation[0], rotation[1],
                rotation[2]);
    if (load) read_fields(fields, rotation[3]);
    read_fields(fields, object.strings[0], object.strings[1], object.strings[2]);
    fields.blob16(object.data);
    if (!load) read_fields(fields, rotation[3]);
    if (!fields.intact()) return false;
    object.x = position[0], object.y = position[1], object.z = position[2];
    // The position again in double precision, when the client sends it.
    if (body.remaining() >= 24) {
        body.read_double(object.x);
        body.read_double(object.y);
        body.read_double(object.z);
    }
    return std::isfinite(object.x) && std::isfinite(object.z) && std::abs(object.x) < 1e9 &&
           std::abs(object.z) < 1e9;
}

void WorldService::write_notice(PacketWriter& writer, std::uint8_t type, const Object& object,
                                std::int32_t session) {
    writer.append_byte(type);
    writer.append_int32(object.id);
    // Strings travel as the client's strings 2, 4, 3.
    writer.append_string(object.strings[0]);
    writer.append_string(object.strings[2]);
    writer.append_string(object.strings[1]);
    writer.append_float(static_cast<float>(object.x));
    writer.append_float(static_cast<float>(object.y));
    writer.append_float(static_cast<float>(object.z));
    for (int i = 0; i < 3; ++i) writer.append_float(object.rotation[i]);
    writer.append_int32(object.number_1);
    writer.append_int32(object.number_2);
    writer.append_byte(object.type);
    writer.append_blob16(object.data.data(), object.data.size());
    writer.append_float(object.rotation[3]);
    writer.append_int32(session);
    writer.append_double(object.x);
    writer.append_double(object.y);
    writer.append_double(object.z);
}

WorldService::CellKey WorldService::cell_of(const Object& object) const {
    const auto cell = [&](double v) {
        return static_cast<std::int32_t>(std::floor(v / settings_.cell_size));
    };
    return {cell(object.x), cell(object.z)};
}

void WorldService::touch_cell(const CellKey& key) { ++cells_[key].revision; }

std::size_t WorldService::objects_in(const CellKey& key) const {
    const auto found = cells_.find(key);
    return found == cells_.end() ? 0 : found->second.objects.size();
}

void WorldService::object_add(server::Peer& peer, const Avatar& avatar, PacketReader& body,
                              bool load) {
    FieldCursor fields(body);
    std::int32_t reference = 0;
    Object object;
    read_fields(fields, reference);
    const bool valid = read_object(fields, body, object, load);
    if (!fields.intact()) {
        return malformed(peer, load ? world_message::kObjectLoad : world_message::kObjectAdd);
    }
    std::uint8_t code = kOk;
    const CellKey key = cell_of(object);
    if (!valid || object.strings[0].empty()) {
        code = kInvalid;
    } else if (load ? !is_admin(avatar) : !may(avatar, "build")) {
        code = kDenied;
    } else if (objects_.size() >= settings_.max_objects ||
               objects_in(key) >= settings_.max_objects_per_cell) {
        code = kFull;
    }
    PacketWriter reply = result(reference, code);
    if (code != kOk) {
        reply.append_int32(0);
        peer.send(reply);
        return;
    }
    object.id = next_object_id_++;
    if (!load) {
        object.number_1 = avatar.user_id;
        object.number_2 = static_cast<std::int32_t>(std::time(nullptr));
    }
    objects_[object.id] = object;
    cells_[key].objects.insert(object.id);
    touch_cell(key);
    reply.append_int32(object.id);
    peer.send(reply);
    PacketWriter notice;
    write_notice(notice, world_message::kObject, object, avatar.session);
    to_others(avatar, notice);
}

void WorldService::object_change(server::Peer& peer, const Avatar& avatar, PacketReader& body) {
    FieldCursor fields(body);
    std::int32_t reference = 0;
    std::int32_t id = 0;
    Object changed;
    read_fields(fields, reference, id);
    const bool valid = read_object(fields, body, changed, false);
    if (!fields.intact()) return malformed(peer, world_message::kObjectChange);
    const auto found = objects_.find(id);
    std::uint8_t code = kOk;
    if (found == objects_.end()) {
        code = kNoObject;
    } else if (!valid || changed.strings[0].empty()) {
        code = kInvalid;
    } else if (found->second.number_1 != avatar.user_id && !is_admin(avatar)) {
        code = kDenied;
    }
    PacketWriter reply = result(reference, code);
    peer.send(reply);
    if (code != kOk) return;
    Object& object = found->second;
    const CellKey from = cell_of(object);
    changed.id = object.id;
    changed.number_1 = object.number_1;
    changed.number_2 = object.number_2;
    object = changed;
    const CellKey to = cell_of(object);
    if (from != to) {
        cells_[from].objects.erase(id);
        cells_[to].objects.insert(id);
        touch_cell(from);
    }
    touch_cell(to);
    PacketWriter notice;
    write_notice(notice, world_message::kObjectChange, object, avatar.session);
    to_others(avatar, notice);
}

void WorldService::object_delete(server::Peer& peer, const Avatar& avatar, PacketReader& body) {
    FieldCursor fields(body);
    std::int32_t reference = 0;
    std::int32_t id = 0;
    if (!read_fields(fields, reference, id)) return malformed(peer, world_message::kObjectDelete);
    const auto found = objects_.find(id);
    std::uint8_t code = kOk;
    if (found == objects_.end()) {
        code = kNoObject;
    } else if (found->second.number_1 != avatar.user_id && !is_admin(avatar)) {
        code = kDenied;
    }
    PacketWriter reply = result(reference, code);
    peer.send(reply);
    if (code != kOk) return;
    const CellKey key = cell_of(found->second);
    cells_[key].objects.erase(id);
    touch_cell(key);
    objects_.erase(found);
    PacketWriter notice;
    notice.append_byte(world_message::kObjectDelete);
    notice.append_int32(id);
    notice.append_int32(avatar.session);
    to_others(avatar, notice);
}

void WorldService::object_get(server::Peer& peer, PacketReader& body) {
    FieldCursor fields(body);
    std::int32_t reference = 0;
    std::int32_t id = 0;
    if (!read_fields(fields, reference, id)) return malformed(peer, world_message::kObjectGet);
    const auto found = objects_.find(id);
    PacketWriter reply = result(reference, found == objects_.end() ? kInvalid : kOk);
    if (found != objects_.end()) {
        const Object& object = found->second;
        reply.append_int32(object.id);
        reply.append_byte(object.type);
        reply.append_float(static_cast<float>(object.x));
        reply.append_float(static_cast<float>(object.y));
        reply.append_float(static_cast<float>(object.z));
        for (const float v : object.rotation) reply.append_float(v);
        reply.append_int32(object.number_1);
        reply.append_int32(object.number_2);
        reply.append_string(object.strings[0]);
        reply.append_string(object.strings[2]);
        reply.append_string(object.strings[1]);
        reply.append_blob16(object.data.data(), object.data.size());
        reply.append_double(object.x);
        reply.append_double(object.y);
        reply.append_double(object.z);
    }
    peer.send(reply);
}

void WorldService::cell_query(server::Peer& peer, PacketReader& body) {
    FieldCursor fields(body);
    std::int32_t x = 0;
    std::int32_t z = 0;
    std::int32_t revision = 0;
    if (!read_fields(fields, x, z, revision)) return malformed(peer, world_message::kCell);
    const auto found = cells_.find({x, z});
    const std::int32_t current = found == cells_.end() ? 0 : found->second.revision;
    // Status 1: the client's revision is current, nothing was sent.
    const bool unchanged = revision != 0 && revision == current;
    if (!unchanged && found != cells_.end()) {
        for (const std::int32_t id : found->second.objects) {
            PacketWriter notice;
            write_notice(notice, world_message::kObject, objects_.at(id), 0);
            peer.send(notice);
        }
    }
    PacketWriter end;
    end.append_byte(world_message::kCell);
    end.append_int32(x);
    end.append_int32(z);
    end.append_int32(current);
    end.append_byte(unchanged ? 1 : 0);
    peer.send(end);
}

// ---- Directed requests -----------------------------------------------------

void WorldService::directed(const Avatar& avatar, std::uint8_t type, PacketReader& body) {
    FieldCursor fields(body);
    PacketWriter out;
    out.append_byte(type);
    std::int32_t target = 0;
    std::int32_t object = 0;
    // Hit points, or a teleport's place: they travel on as they came.
    float at[5] = {};
    switch (type) {
        case world_message::kObjectClick: {
            read_fields(fields, object, at[0], at[1], at[2], target);
            out.append_int32(avatar.session);
            out.append_string(avatar.name);
            out.append_int32(object);
            for (int i = 0; i < 3; ++i) out.append_float(at[i]);
            break;
        }
        case world_message::kBumpBegin:
        case world_message::kBumpEnd: {
            read_fields(fields, object, target);
            out.append_int32(avatar.session);
            out.append_int32(object);
            break;
        }
        case world_message::kAvatarClick: {
            read_fields(fields, target, at[0], at[1], at[2]);
            out.append_int32(avatar.session);
            out.append_int32(target);
            for (int i = 0; i < 3; ++i) out.append_float(at[i]);
            break;
        }
        case world_message::kTeleport: {
            std::string_view world;
            read_fields(fields, target, world, at[0], at[1], at[2], at[3], at[4]);
            out.append_int32(avatar.session);
            out.append_string(world);
            for (const float v : at) out.append_float(v);
            break;
        }
        default: {  // URL
            std::uint8_t frame = 0;
            std::string_view url;
            read_fields(fields, target, frame);
            fields.blob16(url);
            out.append_int32(avatar.session);
            out.append_byte(frame);
            out.append_blob16(url.data(), url.size());
        }
    }
    if (!fields.intact()) return malformed(*loop_.find(avatar.peer), type);
    // Session 0 addresses everyone else in the world.
    if (target == 0) {
        to_others(avatar, out);
    } else if (const Avatar* to = by_session(target)) {
        if (server::Peer* peer = loop_.find(to->peer)) peer->send(out);
    }
}

// ---- Terrain ---------------------------------------------------------------

void WorldService::terrain_query(server::Peer& peer, PacketReader& body) {
    FieldCursor fields(body);
    std::int32_t reference = 0;
    std::int32_t tile_x = 0;
    std::int32_t tile_z = 0;
    std::int32_t revisions[16] = {};
    read_fields(fields, reference, tile_x, tile_z);
    for (std::int32_t& revision : revisions) read_fields(fields, revision);
    if (!fields.intact()) return malformed(peer, world_message::kTerrainQuery);
    PacketWriter reply(16 * (4 + 64 * 6) + 32);
    reply.append_byte(world_message::kTerrainQuery);
    reply.append_int32(reference);
    reply.append_int32(0);
    reply.append_int32(tile_x);
    reply.append_int32(tile_z);
    for (std::uint8_t node_z = 0; node_z < 4; ++node_z) {
        for (std::uint8_t node_x = 0; node_x < 4; ++node_x) {
            const auto found = terrain_.find({tile_x, tile_z, node_x, node_z});
            // Only nodes newer than the client's copy travel.
            if (found == terrain_.end() ||
                found->second.revision <= revisions[node_z * 4 + node_x]) {
                reply.append_int32(-1);
                continue;
            }
            reply.append_int32(found->second.revision);
            reply.append_raw(found->second.cells.data(), found->second.cells.size());
        }
    }
    peer.send(reply);
}

void WorldService::terrain_set(server::Peer& peer, const Avatar& avatar, PacketReader& body) {
    FieldCursor fields(body);
    std::int32_t reference = 0;
    std::int32_t tile_x = 0;
    std::int32_t tile_z = 0;
    std::uint8_t node_x = 0;
    std::uint8_t node_z = 0;
    std::int32_t zero = 0;  // not used
    Node node;
    read_fields(fields, reference, tile_x, tile_z, node_x, node_z, zero);
    if (!fields.raw(node.cells.data(), node.cells.size())) {
        malformed(peer, world_message::kTerrainNodeSet);
        PacketWriter reply = result(reference, kTerrainMalformed);
        peer.send(reply);
        return;
    }
    std::uint8_t code = kOk;
    if (node_x > 3 || node_z > 3) {
        code = kNoNode;
    } else if (!may(avatar, "terrain")) {
        code = kTerrainDenied;
    } else if (terrain_.size() >= settings_.max_terrain_nodes &&
               !terrain_.count({tile_x, tile_z, node_x, node_z})) {
        code = kTerrainFull;
    }
    PacketWriter reply = result(reference, code);
    peer.send(reply);
    if (code != kOk) return;
    Node& stored = terrain_[{tile_x, tile_z, node_x, node_z}];
    node.revision = stored.revision + 1;
    stored = node;
    PacketWriter changed;
    changed.append_byte(world_message::kTerrainNodeChanged);
    changed.append_int32(tile_x);
    changed.append_int32(tile_z);
    changed.append_byte(node_x);
    changed.append_byte(node_z);
    to_others(avatar, changed);
}

// ---- Permissions and settings ----------------------------------------------

bool WorldService::is_admin(const Avatar& avatar) const {
    if (avatar.user_id == owner_) return true;
    if (std::find(settings_.admins.begin(), settings_.admins.end(), avatar.name) !=
        settings_.admins.end()) {
        return true;
    }
    const auto users = user_permissions_.find("admin");
    if (users != user_permissions_.end() && users->second.count(avatar.user_id)) return true;
    const auto sessions = session_permissions_.find("admin");
    return sessions != session_permissions_.end() && sessions->second.count(avatar.session);
}

bool WorldService::may(const Avatar& avatar, const std::string& permission) const {
    if (is_admin(avatar)) return true;
    const auto users = user_permissions_.find(permission);
    const auto sessions = session_permissions_.find(permission);
    const bool granted_to_anyone =
        (users != user_permissions_.end() && !users->second.empty()) ||
        (sessions != session_permissions_.end() && !sessions->second.empty());
    // "build" and "terrain" are open until someone is granted them.
    if (!granted_to_anyone) return permission == "build" || permission == "terrain";
    return (users != user_permissions_.end() && users->second.count(avatar.user_id)) ||
           (sessions != session_permissions_.end() && sessions->second.count(avatar.session));
}

void WorldService::permission_set(server::Peer& peer, const Avatar& avatar, std::uint8_t type,
                                  PacketReader& body) {
    FieldCursor fields(body);
    const bool for_user = type == world_message::kPermissionUserSet;
    std::int32_t reference = 0;
    std::uint8_t enable = 0;
    std::string name;
    std::int32_t holder = 0;
    if (!read_fields(fields, reference, enable, name, holder)) return malformed(peer, type);
    std::uint8_t code = kOk;
    if (!is_admin(avatar)) {
        code = kNotAllowed;
    } else if (!kPermissionNames.count(name)) {
        code = kUnknownName;
    } else if (for_user ? directory_.find(holder) == nullptr : by_session(holder) == nullptr) {
        code = kBadValue;
    } else {
        auto& holders = (for_user ? user_permissions_ : session_permissions_)[name];
        if (enable)
            holders.insert(holder);
        else
            holders.erase(holder);
    }
    PacketWriter reply = result(reference, code);
    peer.send(reply);
}

std::vector<WorldService::PermissionEntry> WorldService::permissions_of(
    std::int32_t user_id, std::int32_t session) const {
    std::vector<PermissionEntry> entries;
    if (user_id == owner_) entries.push_back({user_id, "admin"});
    for (const auto& permission : user_permissions_) {
        if (permission.second.count(user_id) &&
            !(user_id == owner_ && permission.first == "admin")) {
            entries.push_back({user_id, permission.first});
        }
    }
    for (const auto& permission : session_permissions_) {
        if (session != 0 && permission.second.count(session)) {
            entries.push_back({session, permission.first});
        }
    }
    return entries;
}

std::vector<WorldService::PermissionEntry> WorldService::all_permissions() const {
    std::vector<PermissionEntry> entries;
    if (owner_ != 0) entries.push_back({owner_, "admin"});
    for (const auto& permission : user_permissions_) {
        for (const std::int32_t holder : permission.second) {
            if (holder == owner_ && permission.first == "admin") continue;
            entries.push_back({holder, permission.first});
        }
    }
    for (const auto& permission : session_permissions_) {
        for (const std::int32_t holder : permission.second) {
            entries.push_back({holder, permission.first});
        }
    }
    return entries;
}

void WorldService::send_permissions(server::Peer& peer,
                                    const std::vector<PermissionEntry>& entries) {
    for (std::size_t first = 0; first < entries.size(); first += kPermissionsPerMessage) {
        const std::size_t count = std::min(kPermissionsPerMessage, entries.size() - first);
        PacketWriter message;
        message.append_byte(world_message::kPermissions);
        message.append_int32(0);
        message.append_byte(static_cast<std::uint8_t>(count));
        for (std::size_t i = first; i < first + count; ++i) {
            message.append_int32(entries[i].holder);
            message.append_string(entries[i].name);
        }
        peer.send(message);
    }
}

void WorldService::permission_list(server::Peer& peer, const Avatar& avatar, std::uint8_t type,
                                   PacketReader& body) {
    FieldCursor fields(body);
    std::int32_t reference = 0;
    std::int32_t user_id = 0;
    read_fields(fields, reference);
    if (type == world_message::kPermissionsGetByUser) {
        read_fields(fields, user_id);
    } else {
        user_id = avatar.user_id;
    }
    if (!fields.intact()) return malformed(peer, type);
    const bool own = type == world_message::kPermissionsGetMy ||
                     (type == world_message::kPermissionsGetByUser && user_id == avatar.user_id);
    if (!own && !is_admin(avatar)) {
        PacketWriter reply = result(reference, kNotAllowed);
        peer.send(reply);
        return;
    }
    if (type == world_message::kPermissionsGetAll) {
        send_permissions(peer, all_permissions());
    } else {
        send_permissions(peer, permissions_of(user_id, own ? avatar.session : 0));
    }
    PacketWriter reply = result(reference, kOk);
    peer.send(reply);
}

void WorldService::setting_set(server::Peer& peer, const Avatar& avatar, PacketReader& body) {
    FieldCursor fields(body);
    std::int32_t reference = 0;
    std::int32_t target = 0;
    std::string name;
    std::string value;
    if (!read_fields(fields, reference, target, name, value)) {
        return malformed(peer, world_message::kWorldSetting);
    }
    std::uint8_t code = kOk;
    Avatar* addressed = target == 0 ? nullptr : by_session(target);
    if (!may(avatar, "settings")) {
        code = kNotAllowed;
    } else if (!world_settings_.count(name)) {
        code = kUnknownName;
    } else if (name == kReadOnlySetting || value.empty() || (target != 0 && !addressed)) {
        code = kBadValue;
    }
    PacketWriter reply = result(reference, code);
    peer.send(reply);
    if (code != kOk) return;
    PacketWriter setting;
    setting.append_byte(world_message::kWorldSetting);
    setting.append_string(name);
    setting.append_string(value);
    // Target 0: the world's setting, for everyone; a session: for it alone.
    if (addressed) {
        if (server::Peer* to = loop_.find(addressed->peer)) to->send(setting);
        return;
    }
    world_settings_[name] = value;
    to_all(setting);
}

// ---- What the world holds ---------------------------------------------------

WorldState WorldService::state() const {
    WorldState state;
    for (const auto& entry : sessions_) {
        const auto found = avatars_.find(entry.second);
        if (found == avatars_.end()) continue;
        const Avatar& a = found->second;
        state.avatars.push_back(
            {a.session, a.user_id, a.name, a.visible, a.x, a.y, a.z, a.yaw, a.pitch, a.type});
    }
    for (const auto& entry : objects_) {
        const Object& o = entry.second;
        state.objects.push_back(
            {o.id, o.number_1, o.type, o.x, o.y, o.z, o.strings, o.data.size()});
    }
    for (const auto& entry : cells_) {
        state.cells.push_back({entry.first.first, entry.first.second, entry.second.revision,
                               entry.second.objects.size()});
    }
    for (const auto& entry : terrain_) {
        std::array<float, 64> heights{};
        for (std::size_t i = 0; i < heights.size(); ++i) {
            heights[i] = wire::float_from_bits(wire::load_u32(entry.second.cells.data() + i * 6));
        }
        state.terrain.push_back({std::get<0>(entry.first), std::get<1>(entry.first),
                                 std::get<2>(entry.first), std::get<3>(entry.first),
                                 entry.second.revision, heights});
    }
    state.settings = world_settings_;
    return state;
}

std::int32_t WorldService::session_of(std::uint64_t peer_id) const {
    const auto found = avatars_.find(peer_id);
    return found == avatars_.end() ? 0 : found->second.session;
}

void WorldService::add_admin(const std::string& name) {
    if (std::find(settings_.admins.begin(), settings_.admins.end(), name) == settings_.admins.end())
        settings_.admins.push_back(name);
}

// ---- Leaving and keep-alives -----------------------------------------------

void WorldService::on_quiet(server::Peer& peer) {
    // The same seven-byte frame as the client's keep-alive.
    PacketWriter keep_alive(5);
    keep_alive.append_byte(world_message::kKeepAlive);
    keep_alive.append_int32(0);
    peer.send(keep_alive);
}

void WorldService::on_close(server::Peer& peer) {
    const auto found = avatars_.find(peer.id());
    if (found == avatars_.end()) return;
    const Avatar avatar = found->second;
    avatars_.erase(found);
    if (avatar.session == 0) return;
    sessions_.erase(avatar.session);
    for (auto& permission : session_permissions_) permission.second.erase(avatar.session);
    directory_.left(avatar.user_id, settings_.name);
    if (!avatar.visible) return;
    PacketWriter gone;
    gone.append_byte(world_message::kAvatarDelete);
    gone.append_int32(avatar.session);
    gone.append_string(avatar.name);
    to_all(gone);
}

}  // namespace kivsdk::sandbox
