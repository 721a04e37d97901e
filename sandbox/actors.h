// Actors: scripted users that a test moves about. Each is logged in to the
// universe and is in at most one world, through peers without a connection
// (ServerLoop::add_virtual_peer): their requests take the same way through
// the services as a client's, so bots see exactly what another user would
// cause. Actors hold "admin" in the worlds they enter.
//
// Everything here runs on the loop's thread. Results: ActorStatus.
#pragma once

#include <array>
#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "core/server_loop.h"
#include "directory.h"

namespace kivsdk {
class PacketWriter;
}

namespace kivsdk::sandbox {

class Sandbox;

enum class ActorStatus {
    kOk = 0,
    kNoActor,   // no actor of that name (or it is in no world)
    kNoWorld,   // no world of that name
    kRefused,   // the sandbox answered the request with a nonzero result
    kBadValue,  // an argument the protocol cannot carry
};

struct Place {
    double x = 0, y = 0, z = 0;
    float yaw = 0, pitch = 0;
};

// An object as an actor adds or changes it.
struct ObjectSpec {
    std::uint8_t type = 0;
    double x = 0, y = 0, z = 0;
    float rotation[4] = {0, 0, 0, 0};    // axis x, y, z and angle
    std::array<std::string, 3> strings;  // the first one (the model) is required
    std::string data;
};

class Actors {
public:
    Actors(Sandbox& sandbox, std::optional<std::string> password);

    // Enters `world` (leaving the world it was in) and shows the avatar at
    // `place`; `session` receives its session number.
    ActorStatus enter(const std::string& name, const std::string& world, const Place& place,
                      std::int32_t avatar_type, std::int32_t& session);
    ActorStatus move(const std::string& name, const Place& place, std::int32_t avatar_type);
    ActorStatus say(const std::string& name, const std::string& text);
    // Leaves its world (bots see the avatar go); it stays in the universe.
    ActorStatus leave(const std::string& name);

    // Directed at one session; 0 addresses everyone else in the world.
    ActorStatus click_avatar(const std::string& name, std::int32_t session);
    ActorStatus click_object(const std::string& name, std::int32_t object_id, std::int32_t session);
    ActorStatus bump(const std::string& name, std::int32_t object_id, bool begin,
                     std::int32_t session);
    ActorStatus teleport(const std::string& name, std::int32_t session, const std::string& world,
                         const Place& place);
    ActorStatus send_url(const std::string& name, std::int32_t session, const std::string& url);
    ActorStatus console(const std::string& name, std::int32_t session, const std::string& text);

    ActorStatus add_object(const std::string& name, const ObjectSpec& object, std::int32_t& id);
    ActorStatus change_object(const std::string& name, std::int32_t id, const ObjectSpec& object);
    ActorStatus delete_object(const std::string& name, std::int32_t id);
    // Every one of the node's 8 x 8 cells gets `height` and `attributes`.
    ActorStatus set_terrain(const std::string& name, std::int32_t tile_x, std::int32_t tile_z,
                            int node_x, int node_z, float height, std::uint16_t attributes);
    ActorStatus set_setting(const std::string& name, const std::string& setting,
                            const std::string& value);
    ActorStatus set_permission(const std::string& name, const std::string& permission,
                               std::int32_t user_id, bool enable);

    // Universe requests to a bot (by its user id): the bot sees an invitation
    // or a join request; its answer goes nowhere.
    ActorStatus invite(const std::string& name, std::int32_t user_id, const std::string& world,
                       const Place& place);
    ActorStatus join(const std::string& name, std::int32_t user_id);

    // The user id of the actor's account, or 0.
    std::int32_t user_id(const std::string& name) const;

private:
    struct Actor {
        std::uint64_t universe_peer = 0;
        std::int32_t user_id = 0;
        std::string world;
        std::uint64_t world_peer = 0;
    };

    ActorStatus log_in(const std::string& name, Actor& actor);
    // The actor's world peer, or null (then `status` says why).
    server::Peer* in_world(const std::string& name, ActorStatus& status);
    // Sends the request to the peer's service and returns what came back.
    std::vector<std::vector<unsigned char>> request(server::Peer& peer, PacketWriter& writer);
    // Sends a numbered request and reads its transaction result; `answer`
    // receives the INT32 that follows the result byte, when there is one.
    ActorStatus transaction(server::Peer& peer, PacketWriter& writer, std::int32_t reference,
                            std::int32_t* answer = nullptr);
    // A request of `type` from the actor in its world (or the universe),
    // `fields` writing what follows the type byte (and, for transactions and
    // universe requests, the reference number).
    template <class Fields>
    ActorStatus world_request(const std::string& name, std::uint8_t type, Fields&& fields);
    template <class Fields>
    ActorStatus world_transaction(const std::string& name, std::uint8_t type, Fields&& fields,
                                  std::int32_t* answer = nullptr);
    template <class Fields>
    ActorStatus universe_request(const std::string& name, std::uint8_t type, Fields&& fields);

    Sandbox& sandbox_;
    std::optional<std::string> password_;
    std::map<std::string, Actor> actors_;
    std::int32_t next_reference_ = 1;
};

}  // namespace kivsdk::sandbox
