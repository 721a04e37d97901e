// UniverseService: the sandbox universe. Secure channel, login, world list,
// world entry tickets, user attributes, friends, and invitations and joins
// relayed between two connected users.
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <unordered_map>
#include <vector>

#include "core/server_loop.h"
#include "core/tls_config.h"
#include "directory.h"

namespace kivsdk {
class PacketReader;
class PacketWriter;
}  // namespace kivsdk

namespace kivsdk::sandbox {

// A world as the universe announces it.
struct WorldAddress {
    std::string name;
    bool secure = false;
    int port = 0;
};

struct UniverseSettings {
    // Login needs this password when set; any password otherwise.
    std::optional<std::string> password;
    // The host name and IPv4 address handed out with world tickets.
    std::string world_host = "127.0.0.1";
    std::vector<WorldAddress> worlds;
};

class UniverseService : public server::Service {
public:
    UniverseService(server::ServerLoop& loop, Directory& directory,
                    const server::Identity& identity, UniverseSettings settings);

    void on_frame(server::Peer& peer, PacketReader& body) override;
    void on_close(server::Peer& peer) override;
    void on_quiet(server::Peer& peer) override;

    // The next `count` logins that would succeed get `result` instead (1
    // refused, 2 rejected, 3 denied, ...); a count of 0 ends the refusals.
    // Scripted actors (virtual peers) are not refused.
    void refuse_logins(int count, std::uint8_t result);
    // The world is no longer listed, and entering it is refused (status 1).
    // False when it was not listed.
    bool remove_world(const std::string& name);

private:
    struct Client {
        std::int32_t user_id = 0;  // 0 until logged in
        std::string name;
    };
    // An invitation or join waiting for the addressed user's answer.
    struct Relay {
        std::uint64_t asker_peer;
        std::int32_t reference;
        std::int32_t target_user;
    };

    void dispatch(server::Peer& peer, Client& client, std::uint8_t type, PacketReader& body);
    void login(server::Peer& peer, Client& client, PacketReader& body);
    void world_entry(server::Peer& peer, const Client& client, PacketReader& body);
    void world_list(server::Peer& peer, const Client& client, PacketReader& body);
    void user_attributes(server::Peer& peer, PacketReader& body);
    void friend_list(server::Peer& peer, const Client& client, PacketReader& body);
    void friend_add(server::Peer& peer, const Client& client, PacketReader& body);
    void friend_delete(server::Peer& peer, const Client& client, PacketReader& body);
    void invite(server::Peer& peer, const Client& client, PacketReader& body);
    void invite_answer(server::Peer& peer, const Client& client, PacketReader& body);
    void join(server::Peer& peer, const Client& client, PacketReader& body);
    void join_answer(server::Peer& peer, const Client& client, PacketReader& body);

    // Transaction result (17) with the reference and the result byte; the
    // caller appends request-specific fields before sending.
    static PacketWriter result(std::int32_t reference, std::uint8_t code);
    server::Peer* online_peer(std::int32_t user_id);
    // The peer of the user an invitation or join addresses; when that user
    // is not online (or is the asker), answers "unavailable" and gives null.
    server::Peer* addressed_user(server::Peer& peer, const Client& client, std::int32_t reference,
                                 std::int32_t target);
    // Removes and returns the relay `id` when `client` is the one it awaits.
    std::optional<Relay> take_relay(std::map<std::int32_t, Relay>& relays, std::int32_t id,
                                    server::Peer& peer, const Client& client, const char* what);
    void malformed(server::Peer& peer, std::uint8_t type);

    server::ServerLoop& loop_;
    Directory& directory_;
    server::ServerTlsConfig tls_;
    UniverseSettings settings_;
    std::unordered_map<std::uint64_t, Client> clients_;
    std::unordered_map<std::int32_t, std::uint64_t> online_;  // user id -> peer
    std::map<std::int32_t, Relay> invitations_;
    std::map<std::int32_t, Relay> joins_;
    std::int32_t next_relay_id_ = 1;
    int refusals_left_ = 0;
    std::uint8_t refusal_result_ = 0;
};

}  // namespace kivsdk::sandbox
