#include "actors.h"

#include <utility>

#include "sandbox.h"
#include "wire/frame.h"
#include "wire/packet_reader.h"
#include "wire/packet_writer.h"
#include "wire/universe_messages.h"
#include "wire/world_messages.h"
#include "world_service.h"

namespace kivsdk::sandbox {
namespace {

using Frames = std::vector<std::vector<unsigned char>>;

constexpr std::size_t kMaxString = 255;

void write_place(PacketWriter& writer, const Place& place) {
    writer.append_float(static_cast<float>(place.x));
    writer.append_float(static_cast<float>(place.y));
    writer.append_float(static_cast<float>(place.z));
    writer.append_float(place.yaw);
    writer.append_float(place.pitch);
}

// The object's fields as an add or change request carries them.
void write_object(PacketWriter& writer, const ObjectSpec& object) {
    writer.append_byte(object.type);
    writer.append_float(static_cast<float>(object.x));
    writer.append_float(static_cast<float>(object.y));
    writer.append_float(static_cast<float>(object.z));
    for (int i = 0; i < 3; ++i) writer.append_float(object.rotation[i]);
    for (const std::string& text : object.strings) writer.append_string(text);
    writer.append_blob16(object.data.data(), object.data.size());
    writer.append_float(object.rotation[3]);
    writer.append_double(object.x);
    writer.append_double(object.y);
    writer.append_double(object.z);
}

bool carries(const ObjectSpec& object) {
    for (const std::string& text : object.strings) {
        if (text.size() > kMaxString) return false;
    }
    return !object.strings[0].empty() && object.data.size() <= 0xFFFF;
}

// The body of the first frame of `type` in `frames`, or null.
const std::vector<unsigned char>* find_reply(const Frames& frames, std::uint8_t type) {
    for (const auto& frame : frames) {
        if (frame.size() > kFrameHeaderSize && frame[kFrameHeaderSize] == type) return &frame;
    }
    return nullptr;
}

}  // namespace

Actors::Actors(Sandbox& sandbox, std::optional<std::string> password)
    : sandbox_(sandbox), password_(std::move(password)) {}

Frames Actors::request(server::Peer& peer, PacketWriter& writer) {
    peer.take_inbox();
    const PacketWriter::Frame frame = writer.finish();
    sandbox_.loop().deliver(peer, frame.data + kFrameHeaderSize, frame.size - kFrameHeaderSize);
    return peer.take_inbox();
}

ActorStatus Actors::transaction(server::Peer& peer, PacketWriter& writer, std::int32_t reference,
                                std::int32_t* answer) {
    for (const auto& frame : request(peer, writer)) {
        PacketReader reader(frame.data() + kFrameHeaderSize, frame.size() - kFrameHeaderSize);
        std::uint8_t type = 0;
        std::int32_t number = 0;
        std::uint8_t result = 0;
        // Both protocols number their transaction result 17.
        if (!reader.read_byte(type) || type != world_message::kTransactionResult ||
            !reader.read_int32(number) || number != reference || !reader.read_byte(result)) {
            continue;
        }
        if (answer) reader.read_int32(*answer);
        return result == 0 ? ActorStatus::kOk : ActorStatus::kRefused;
    }
    return ActorStatus::kRefused;  // unanswered
}

ActorStatus Actors::log_in(const std::string& name, Actor& actor) {
    if (actor.universe_peer != 0 && sandbox_.loop().find(actor.universe_peer))
        return ActorStatus::kOk;
    server::Peer& peer =
        sandbox_.loop().add_virtual_peer(*sandbox_.service("universe"), "universe");
    PacketWriter login;
    login.append_byte(universe_message::kLogin);
    login.append_byte(0);  // version
    login.append_string(name);
    login.append_string(password_.value_or(""));
    for (int i = 0; i < 3; ++i) login.append_string("");
    const Frames replies = request(peer, login);
    const auto* reply = find_reply(replies, universe_message::kLogin);
    PacketReader reader(reply ? reply->data() + kFrameHeaderSize : nullptr,
                        reply ? reply->size() - kFrameHeaderSize : 0);
    std::uint8_t type = 0;
    std::uint8_t result = 1;
    if (!reply || !reader.read_byte(type) || !reader.read_byte(result) || result != 0 ||
        !reader.read_int32(actor.user_id)) {
        peer.close("the actor's login failed");
        return ActorStatus::kRefused;
    }
    actor.universe_peer = peer.id();
    return ActorStatus::kOk;
}

ActorStatus Actors::enter(const std::string& name, const std::string& world, const Place& place,
                          std::int32_t avatar_type, std::int32_t& session) {
    if (name.empty() || name.size() > kMaxString) return ActorStatus::kBadValue;
    WorldService* service = sandbox_.world(world);
    if (!service) return ActorStatus::kNoWorld;
    Actor& actor = actors_[name];
    const ActorStatus logged_in = log_in(name, actor);
    if (logged_in != ActorStatus::kOk) return logged_in;
    leave(name);
    service->add_admin(name);
    server::Peer& peer = sandbox_.loop().add_virtual_peer(*service, world);
    const auto ticket = sandbox_.issue_ticket(world, name);
    PacketWriter login;
    login.append_byte(world_message::kLogin);
    login.append_raw(ticket.data(), ticket.size());
    login.append_string("");
    login.append_string("");
    const Frames replies = request(peer, login);
    const auto* reply = find_reply(replies, world_message::kLogin);
    if (!reply || reply->size() < kFrameHeaderSize + 2 || (*reply)[kFrameHeaderSize + 1] != 0) {
        peer.close("the actor's world login failed");
        return ActorStatus::kRefused;
    }
    actor.world = world;
    actor.world_peer = peer.id();
    session = service->session_of(peer.id());
    return move(name, place, avatar_type);
}

server::Peer* Actors::in_world(const std::string& name, ActorStatus& status) {
    const auto found = actors_.find(name);
    server::Peer* peer = found == actors_.end() || found->second.world_peer == 0
                             ? nullptr
                             : sandbox_.loop().find(found->second.world_peer);
    status = peer ? ActorStatus::kOk : ActorStatus::kNoActor;
    return peer;
}

template <class Fields>
ActorStatus Actors::world_request(const std::string& name, std::uint8_t type, Fields&& fields) {
    ActorStatus status = ActorStatus::kOk;
    server::Peer* peer = in_world(name, status);
    if (!peer) return status;
    PacketWriter writer;
    writer.append_byte(type);
    fields(writer);
    request(*peer, writer);
    return status;
}

template <class Fields>
ActorStatus Actors::world_transaction(const std::string& name, std::uint8_t type, Fields&& fields,
                                      std::int32_t* answer) {
    ActorStatus status = ActorStatus::kOk;
    server::Peer* peer = in_world(name, status);
    if (!peer) return status;
    const std::int32_t reference = next_reference_++;
    PacketWriter writer;
    writer.append_byte(type);
    writer.append_int32(reference);
    fields(writer);
    return transaction(*peer, writer, reference, answer);
}

template <class Fields>
ActorStatus Actors::universe_request(const std::string& name, std::uint8_t type, Fields&& fields) {
    const auto found = actors_.find(name);
    server::Peer* peer =
        found == actors_.end() ? nullptr : sandbox_.loop().find(found->second.universe_peer);
    if (!peer) return ActorStatus::kNoActor;
    PacketWriter writer;
    writer.append_byte(type);
    writer.append_int32(next_reference_++);
    fields(writer);
    // Refused at once when the user is not online; otherwise relayed.
    return find_reply(request(*peer, writer), universe_message::kTransactionResult)
               ? ActorStatus::kRefused
               : ActorStatus::kOk;
}

ActorStatus Actors::move(const std::string& name, const Place& place, std::int32_t avatar_type) {
    return world_request(name, world_message::kAvatarChange, [&](PacketWriter& state) {
        write_place(state, place);
        state.append_int32(avatar_type);
    });
}

ActorStatus Actors::say(const std::string& name, const std::string& text) {
    if (text.size() > kMaxString) return ActorStatus::kBadValue;
    return world_request(name, world_message::kChat,
                         [&](PacketWriter& chat) { chat.append_string(text); });
}

ActorStatus Actors::leave(const std::string& name) {
    ActorStatus status = ActorStatus::kOk;
    server::Peer* peer = in_world(name, status);
    if (peer) peer->close("the actor left");
    const auto found = actors_.find(name);
    if (found != actors_.end()) {
        found->second.world.clear();
        found->second.world_peer = 0;
    }
    return status;
}

ActorStatus Actors::click_avatar(const std::string& name, std::int32_t session) {
    return world_request(name, world_message::kAvatarClick, [&](PacketWriter& click) {
        click.append_int32(session);
        for (int i = 0; i < 3; ++i) click.append_float(0);  // where it was hit
    });
}

ActorStatus Actors::click_object(const std::string& name, std::int32_t object_id,
                                 std::int32_t session) {
    return world_request(name, world_message::kObjectClick, [&](PacketWriter& click) {
        click.append_int32(object_id);
        for (int i = 0; i < 3; ++i) click.append_float(0);  // where it was hit
        click.append_int32(session);
    });
}

ActorStatus Actors::bump(const std::string& name, std::int32_t object_id, bool begin,
                         std::int32_t session) {
    return world_request(name, begin ? world_message::kBumpBegin : world_message::kBumpEnd,
                         [&](PacketWriter& bump) {
                             bump.append_int32(object_id);
                             bump.append_int32(session);
                         });
}

ActorStatus Actors::teleport(const std::string& name, std::int32_t session,
                             const std::string& world, const Place& place) {
    if (world.size() > kMaxString) return ActorStatus::kBadValue;
    return world_request(name, world_message::kTeleport, [&](PacketWriter& teleport) {
        teleport.append_int32(session);
        teleport.append_string(world);
        write_place(teleport, place);
    });
}

ActorStatus Actors::send_url(const std::string& name, std::int32_t session,
                             const std::string& url) {
    if (url.size() > 0xFFFF) return ActorStatus::kBadValue;
    return world_request(name, world_message::kUrl, [&](PacketWriter& message) {
        message.append_int32(session);
        message.append_byte(0);  // the frame it opens in
        message.append_blob16(url.data(), url.size());
    });
}

ActorStatus Actors::console(const std::string& name, std::int32_t session,
                            const std::string& text) {
    if (text.size() > kMaxString) return ActorStatus::kBadValue;
    return world_request(name, world_message::kConsoleMessage, [&](PacketWriter& line) {
        line.append_int32(session);
        line.append_string(name);
        line.append_string(text);
        for (int i = 0; i < 4; ++i) line.append_byte(0);  // effects, red, green, blue
    });
}

ActorStatus Actors::add_object(const std::string& name, const ObjectSpec& object,
                               std::int32_t& id) {
    if (!carries(object)) return ActorStatus::kBadValue;
    return world_transaction(
        name, world_message::kObjectAdd, [&](PacketWriter& add) { write_object(add, object); },
        &id);
}

ActorStatus Actors::change_object(const std::string& name, std::int32_t id,
                                  const ObjectSpec& object) {
    if (!carries(object)) return ActorStatus::kBadValue;
    return world_transaction(name, world_message::kObjectChange, [&](PacketWriter& change) {
        change.append_int32(id);
        write_object(change, object);
    });
}

ActorStatus Actors::delete_object(const std::string& name, std::int32_t id) {
    return world_transaction(name, world_message::kObjectDelete,
                             [&](PacketWriter& removal) { removal.append_int32(id); });
}

ActorStatus Actors::set_terrain(const std::string& name, std::int32_t tile_x, std::int32_t tile_z,
                                int node_x, int node_z, float height, std::uint16_t attributes) {
    if (node_x < 0 || node_x > 3 || node_z < 0 || node_z > 3) return ActorStatus::kBadValue;
    return world_transaction(name, world_message::kTerrainNodeSet, [&](PacketWriter& node) {
        node.append_int32(tile_x);
        node.append_int32(tile_z);
        node.append_byte(static_cast<std::uint8_t>(node_x));
        node.append_byte(static_cast<std::uint8_t>(node_z));
        node.append_int32(0);
        for (int cell = 0; cell < 64; ++cell) {
            node.append_float(height);
            node.append_uint16(attributes);
        }
    });
}

ActorStatus Actors::set_setting(const std::string& name, const std::string& setting,
                                const std::string& value) {
    if (setting.size() > kMaxString || value.size() > kMaxString) return ActorStatus::kBadValue;
    return world_transaction(name, world_message::kWorldSetting, [&](PacketWriter& change) {
        change.append_int32(0);  // the world's setting, for everyone
        change.append_string(setting);
        change.append_string(value);
    });
}

ActorStatus Actors::set_permission(const std::string& name, const std::string& permission,
                                   std::int32_t user_id, bool enable) {
    if (permission.size() > kMaxString) return ActorStatus::kBadValue;
    return world_transaction(name, world_message::kPermissionUserSet, [&](PacketWriter& grant) {
        grant.append_byte(enable ? 1 : 0);
        grant.append_string(permission);
        grant.append_int32(user_id);
    });
}

ActorStatus Actors::invite(const std::string& name, std::int32_t user_id, const std::string& world,
                           const Place& place) {
    if (world.size() > kMaxString) return ActorStatus::kBadValue;
    return universe_request(name, universe_message::kInvite, [&](PacketWriter& invitation) {
        invitation.append_int32(user_id);
        invitation.append_double(place.x);
        invitation.append_double(place.y);
        invitation.append_double(place.z);
        invitation.append_float(place.yaw);
        invitation.append_float(place.pitch);
        invitation.append_string(world);
    });
}

ActorStatus Actors::join(const std::string& name, std::int32_t user_id) {
    return universe_request(name, universe_message::kJoin,
                            [&](PacketWriter& ask) { ask.append_int32(user_id); });
}

std::int32_t Actors::user_id(const std::string& name) const {
    const auto found = actors_.find(name);
    return found == actors_.end() ? 0 : found->second.user_id;
}

}  // namespace kivsdk::sandbox
