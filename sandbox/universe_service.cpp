#include "universe_service.h"

#include <arpa/inet.h>

#include <algorithm>
#include <cstring>
#include <string_view>
#include <utility>

#include "fields.h"
#include "wire/field_cursor.h"
#include "wire/packet_reader.h"
#include "wire/packet_writer.h"
#include "wire/universe_messages.h"

namespace kivsdk::sandbox {
namespace {

// Result bytes shared by the universe's answers.
enum Result : std::uint8_t {
    kOk = 0,
    kRefused = 1,
    kRejected = 2,
    kUnavailable = 3,
    kFailed = 4,
};

// World list state: bit 0 open, bit 1 over TLS.
constexpr std::uint8_t kWorldOpen = 1;
constexpr std::uint8_t kWorldSecure = 2;

struct Place {
    double x = 0, y = 0, z = 0;
    float yaw = 0, pitch = 0;
    std::string world;
};

bool read_place(FieldCursor& fields, Place& place) {
    return read_fields(fields, place.x, place.y, place.z, place.yaw, place.pitch, place.world);
}

void write_place(PacketWriter& writer, const Place& place) {
    writer.append_double(place.x);
    writer.append_double(place.y);
    writer.append_double(place.z);
    writer.append_float(place.yaw);
    writer.append_float(place.pitch);
    writer.append_string(place.world);
}

}  // namespace

UniverseService::UniverseService(server::ServerLoop& loop, Directory& directory,
                                 const server::Identity& identity, UniverseSettings settings)
    : loop_(loop), directory_(directory), tls_(identity), settings_(std::move(settings)) {}

PacketWriter UniverseService::result(std::int32_t reference, std::uint8_t code) {
    PacketWriter writer;
    writer.append_byte(universe_message::kTransactionResult);
    writer.append_int32(reference);
    writer.append_byte(code);
    return writer;
}

server::Peer* UniverseService::online_peer(std::int32_t user_id) {
    const auto found = online_.find(user_id);
    return found == online_.end() ? nullptr : loop_.find(found->second);
}

server::Peer* UniverseService::addressed_user(server::Peer& peer, const Client& client,
                                              std::int32_t reference, std::int32_t target) {
    server::Peer* found = target == client.user_id ? nullptr : online_peer(target);
    if (!found) {
        const Account* account = directory_.find(target);
        PacketWriter reply = result(reference, kUnavailable);
        reply.append_string(account ? account->name : "");
        peer.send(reply);
    }
    return found;
}

std::optional<UniverseService::Relay> UniverseService::take_relay(
    std::map<std::int32_t, Relay>& relays, std::int32_t id, server::Peer& peer,
    const Client& client, const char* what) {
    const auto found = relays.find(id);
    if (found == relays.end() || found->second.target_user != client.user_id) {
        loop_.log_error("universe " + peer.remote() + ": answer to unknown " + what + " " +
                        std::to_string(id));
        return std::nullopt;
    }
    const Relay relay = found->second;
    relays.erase(found);
    return relay;
}

void UniverseService::malformed(server::Peer& peer, std::uint8_t type) {
    loop_.log_error("universe " + peer.remote() + ": malformed message of type " +
                    std::to_string(type));
}

void UniverseService::on_frame(server::Peer& peer, PacketReader& body) {
    std::uint8_t type = 0;
    body.read_byte(type);
    if (!peer.secure()) {
        // Only the request for the secure channel may come in the clear.
        if (type != universe_message::kSecureChannel) {
            peer.close("type " + std::to_string(type) + " before the secure channel");
            return;
        }
        PacketWriter go_ahead(1);
        go_ahead.append_byte(universe_message::kSecureChannel);
        peer.send(go_ahead);
        peer.start_tls(tls_);
        return;
    }
    dispatch(peer, clients_[peer.id()], type, body);
}

void UniverseService::dispatch(server::Peer& peer, Client& client, std::uint8_t type,
                               PacketReader& body) {
    if (type == universe_message::kKeepAlive) return;
    if (type == universe_message::kLogin) {
        login(peer, client, body);
        return;
    }
    if (client.user_id == 0) {
        // Everything else needs a login; requests with a reference get a
        // refusal, the rest is dropped.
        if (type == universe_message::kWorldEntry) {
            PacketWriter reply;
            reply.append_byte(universe_message::kWorldEntry);
            reply.append_byte(kRefused);
            peer.send(reply);
        } else if (type == universe_message::kWorldList || type == universe_message::kFriendList ||
                   type == universe_message::kFriendAdd ||
                   type == universe_message::kFriendDelete || type == universe_message::kJoin ||
                   type == universe_message::kInvite) {
            FieldCursor fields(body);
            std::int32_t value = 0;  // the world list's host value: not used
            std::int32_t reference = 0;
            if (type == universe_message::kWorldList) read_fields(fields, value);
            read_fields(fields, reference);
            PacketWriter reply = result(reference, kRefused);
            if (type == universe_message::kFriendDelete) reply.append_int32(0);
            if (type == universe_message::kJoin || type == universe_message::kInvite)
                reply.append_string("");
            peer.send(reply);
        }
        loop_.log_error("universe " + peer.remote() + ": type " + std::to_string(type) +
                        " before login");
        return;
    }
    switch (type) {
        case universe_message::kWorldEntry: world_entry(peer, client, body); break;
        case universe_message::kWorldList: world_list(peer, client, body); break;
        case universe_message::kUserAttributes: user_attributes(peer, body); break;
        case universe_message::kFriendList: friend_list(peer, client, body); break;
        case universe_message::kFriendAdd: friend_add(peer, client, body); break;
        case universe_message::kFriendDelete: friend_delete(peer, client, body); break;
        case universe_message::kInvite: invite(peer, client, body); break;
        case universe_message::kInviteAnswer: invite_answer(peer, client, body); break;
        case universe_message::kJoin: join(peer, client, body); break;
        case universe_message::kJoinAnswer: join_answer(peer, client, body); break;
        default:
            loop_.log_error("universe " + peer.remote() + ": unknown message type " +
                            std::to_string(type));
    }
}

void UniverseService::login(server::Peer& peer, Client& client, PacketReader& body) {
    FieldCursor fields(body);
    std::uint8_t version = 0;
    std::string name;
    std::string password;
    std::string_view unused;  // the third login string and the two extras
    std::uint8_t code = kOk;
    std::string text;
    if (!read_fields(fields, version, name, password, unused, unused, unused)) {
        malformed(peer, universe_message::kLogin);
        code = kFailed;
    } else if (client.user_id != 0) {
        code = kRejected;  // one login per connection
    } else if (name.empty()) {
        code = kUnavailable;
    } else if (settings_.password && password != *settings_.password) {
        code = kRefused;
    } else if (refusals_left_ > 0 && !peer.is_virtual()) {
        --refusals_left_;
        code = refusal_result_;
    } else {
        Account& account = directory_.account(name);
        if (online_.count(account.id)) {
            code = kRejected;  // logged in elsewhere
        } else {
            client.user_id = account.id;
            client.name = name;
            online_[account.id] = peer.id();
            peer.set_label(name);
            text = "Welcome to the KIVSDK sandbox, " + name + "!";
            loop_.log_connection("universe " + peer.remote() + " logged in as " + name + " (user " +
                                 std::to_string(account.id) + ")");
        }
    }
    PacketWriter reply;
    reply.append_byte(universe_message::kLogin);
    reply.append_byte(code);
    reply.append_int32(client.user_id);
    if (code == kOk) reply.append_string(text);
    peer.send(reply);
}

void UniverseService::world_entry(server::Peer& peer, const Client& client, PacketReader& body) {
    FieldCursor fields(body);
    std::string name;
    read_fields(fields, name);
    const auto world = std::find_if(settings_.worlds.begin(), settings_.worlds.end(),
                                    [&](const WorldAddress& w) { return w.name == name; });
    PacketWriter reply;
    reply.append_byte(universe_message::kWorldEntry);
    if (!fields.intact() || world == settings_.worlds.end()) {
        reply.append_byte(kRefused);
        peer.send(reply);
        return;
    }
    const Ticket ticket = directory_.issue(world->name, client.user_id);
    unsigned char address[4] = {127, 0, 0, 1};
    in_addr parsed{};
    if (inet_pton(AF_INET, settings_.world_host.c_str(), &parsed) == 1) {
        std::memcpy(address, &parsed, sizeof address);
    }
    reply.append_byte(kOk);
    reply.append_raw(ticket.data(), ticket.size());
    reply.append_raw(address, sizeof address);
    reply.append_uint16(static_cast<std::uint16_t>(world->port));
    reply.append_string(settings_.world_host);
    reply.append_byte(world->secure ? 1 : 0);
    reply.append_int32(directory_.population(world->name));
    peer.send(reply);
}

void UniverseService::world_list(server::Peer& peer, const Client&, PacketReader& body) {
    FieldCursor fields(body);
    std::int32_t value = 0;  // the host's value: not used
    std::int32_t reference = 0;
    if (!read_fields(fields, value, reference)) {
        return malformed(peer, universe_message::kWorldList);
    }
    for (const WorldAddress& world : settings_.worlds) {
        PacketWriter entry;
        entry.append_byte(universe_message::kWorldList);
        entry.append_byte(kWorldOpen | (world.secure ? kWorldSecure : 0));
        entry.append_string(world.name);
        entry.append_int32(directory_.population(world.name));
        peer.send(entry);
    }
    PacketWriter done = result(reference, kOk);
    peer.send(done);
}

void UniverseService::user_attributes(server::Peer& peer, PacketReader& body) {
    FieldCursor fields(body);
    std::int32_t user_id = 0;
    if (!read_fields(fields, user_id)) return malformed(peer, universe_message::kUserAttributes);
    const Account* account = directory_.find(user_id);
    PacketWriter reply;
    reply.append_byte(universe_message::kUserAttributes);
    reply.append_int32(user_id);
    reply.append_int32(account && online_.count(user_id) ? 1 : 0);
    reply.append_int32(account ? static_cast<std::int32_t>(account->friends.size()) : 0);
    reply.append_int32(account ? directory_.population(directory_.world_of(user_id)) : 0);
    reply.append_string(account ? account->name : "");
    reply.append_string(account ? directory_.world_of(user_id) : "");
    peer.send(reply);
}

void UniverseService::friend_list(server::Peer& peer, const Client& client, PacketReader& body) {
    FieldCursor fields(body);
    std::int32_t reference = 0;
    if (!read_fields(fields, reference)) return malformed(peer, universe_message::kFriendList);
    const Account* account = directory_.find(client.user_id);
    for (const Friend& f : account->friends) {
        const Account* other = directory_.find(f.user_id);
        PacketWriter entry;
        entry.append_byte(universe_message::kFriendList);
        entry.append_int32(f.user_id);
        entry.append_int32(f.id);
        entry.append_string(other ? other->name : "");
        entry.append_byte(0);
        entry.append_byte(online_.count(f.user_id) ? 1 : 0);
        peer.send(entry);
    }
    PacketWriter done = result(reference, kOk);
    peer.send(done);
}

void UniverseService::friend_add(server::Peer& peer, const Client& client, PacketReader& body) {
    FieldCursor fields(body);
    std::int32_t reference = 0;
    std::string name;
    if (!read_fields(fields, reference, name)) return malformed(peer, universe_message::kFriendAdd);
    Account& account = *directory_.find(client.user_id);
    const Account* other = directory_.find(name);
    std::uint8_t code = kOk;
    if (!other || other->id == account.id) {
        code = kRefused;
    } else if (std::any_of(account.friends.begin(), account.friends.end(),
                           [&](const Friend& f) { return f.user_id == other->id; })) {
        code = kRejected;
    } else {
        account.friends.push_back(Friend{directory_.next_friend_id(), other->id});
    }
    PacketWriter reply = result(reference, code);
    peer.send(reply);
}

void UniverseService::friend_delete(server::Peer& peer, const Client& client, PacketReader& body) {
    FieldCursor fields(body);
    std::int32_t reference = 0;
    std::int32_t friend_id = 0;
    if (!read_fields(fields, reference, friend_id)) {
        return malformed(peer, universe_message::kFriendDelete);
    }
    auto& friends = directory_.find(client.user_id)->friends;
    const auto found = std::find_if(friends.begin(), friends.end(),
                                    [&](const Friend& f) { return f.id == friend_id; });
    const bool known = found != friends.end();
    if (known) friends.erase(found);
    PacketWriter reply = result(reference, known ? kOk : kRefused);
    reply.append_int32(friend_id);
    peer.send(reply);
}

void UniverseService::invite(server::Peer& peer, const Client& client, PacketReader& body) {
    FieldCursor fields(body);
    std::int32_t reference = 0, target = 0;
    Place place;
    read_fields(fields, reference, target);
    if (!read_place(fields, place)) return malformed(peer, universe_message::kInvite);
    server::Peer* invited = addressed_user(peer, client, reference, target);
    if (!invited) return;
    const std::int32_t id = next_relay_id_++;
    invitations_[id] = Relay{peer.id(), reference, target};
    PacketWriter offer;
    offer.append_byte(universe_message::kInvite);
    offer.append_int32(id);
    offer.append_int32(client.user_id);
    write_place(offer, place);
    offer.append_string(client.name);
    invited->send(offer);
}

void UniverseService::invite_answer(server::Peer& peer, const Client& client, PacketReader& body) {
    FieldCursor fields(body);
    std::int32_t id = 0;
    std::uint8_t accept = 0;
    if (!read_fields(fields, id, accept)) return malformed(peer, universe_message::kInviteAnswer);
    const std::optional<Relay> relay = take_relay(invitations_, id, peer, client, "invitation");
    if (!relay) return;
    if (server::Peer* asker = loop_.find(relay->asker_peer)) {
        PacketWriter reply = result(relay->reference, accept ? kOk : kRefused);
        reply.append_string(client.name);
        asker->send(reply);
    }
}

void UniverseService::join(server::Peer& peer, const Client& client, PacketReader& body) {
    FieldCursor fields(body);
    std::int32_t reference = 0;
    std::int32_t target = 0;
    if (!read_fields(fields, reference, target)) return malformed(peer, universe_message::kJoin);
    server::Peer* asked = addressed_user(peer, client, reference, target);
    if (!asked) return;
    const std::int32_t id = next_relay_id_++;
    joins_[id] = Relay{peer.id(), reference, target};
    PacketWriter request;
    request.append_byte(universe_message::kJoin);
    request.append_int32(id);
    request.append_int32(client.user_id);
    request.append_string(client.name);
    asked->send(request);
}

void UniverseService::join_answer(server::Peer& peer, const Client& client, PacketReader& body) {
    FieldCursor fields(body);
    std::int32_t id = 0;
    std::uint8_t accept = 0;
    Place place;
    read_fields(fields, id, accept);
    if (accept) read_place(fields, place);
    if (!fields.intact()) return malformed(peer, universe_message::kJoinAnswer);
    const std::optional<Relay> relay = take_relay(joins_, id, peer, client, "join request");
    if (!relay) return;
    if (server::Peer* asker = loop_.find(relay->asker_peer)) {
        PacketWriter reply = result(relay->reference, accept ? kOk : kRefused);
        if (accept) write_place(reply, place);
        reply.append_string(client.name);
        asker->send(reply);
    }
}

void UniverseService::refuse_logins(int count, std::uint8_t result) {
    refusals_left_ = count > 0 ? count : 0;
    refusal_result_ = result;
}

bool UniverseService::remove_world(const std::string& name) {
    const auto found = std::find_if(settings_.worlds.begin(), settings_.worlds.end(),
                                    [&](const WorldAddress& w) { return w.name == name; });
    if (found == settings_.worlds.end()) return false;
    settings_.worlds.erase(found);
    return true;
}

void UniverseService::on_quiet(server::Peer& peer) {
    // The same seven-byte frame as the client's keep-alive.
    PacketWriter keep_alive(5);
    keep_alive.append_byte(universe_message::kKeepAlive);
    keep_alive.append_int32(0);
    peer.send(keep_alive);
}

void UniverseService::on_close(server::Peer& peer) {
    const auto found = clients_.find(peer.id());
    if (found == clients_.end()) return;
    const Client client = found->second;
    clients_.erase(found);
    if (client.user_id == 0) return;
    online_.erase(client.user_id);
    // Invitations and joins addressed to this user can no longer be answered.
    for (auto* relays : {&invitations_, &joins_}) {
        for (auto it = relays->begin(); it != relays->end();) {
            const Relay relay = it->second;
            if (relay.target_user != client.user_id && relay.asker_peer != peer.id()) {
                ++it;
                continue;
            }
            it = relays->erase(it);
            if (relay.target_user != client.user_id) continue;
            if (server::Peer* asker = loop_.find(relay.asker_peer)) {
                PacketWriter reply = result(relay.reference, kUnavailable);
                reply.append_string(client.name);
                asker->send(reply);
            }
        }
    }
}

}  // namespace kivsdk::sandbox
