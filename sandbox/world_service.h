// WorldService: one sandbox world. Login with a universe ticket, the world's
// settings, avatars and chat, objects and cells, terrain, permissions and
// the directed requests (clicks, bumps, teleports, URLs, console lines)
// relayed to the addressed session.
//
// Rules of the sandbox: the first user to enter a world owns it (holds
// "admin"), as do the users named as admins. "build" and "terrain" are open
// to everyone until someone is granted them; after that only holders and
// admins may build or shape terrain. Objects are changed and deleted by their
// owner or an admin; loading objects, setting permissions, listing other
// users' permissions and changing settings need "admin" (settings also
// "settings").
#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <tuple>
#include <unordered_map>
#include <utility>
#include <vector>

#include "core/server_loop.h"
#include "core/tls_config.h"
#include "directory.h"

namespace kivsdk {
class FieldCursor;
class PacketReader;
class PacketWriter;
}  // namespace kivsdk

namespace kivsdk::sandbox {

struct WorldSettings {
    std::string name;
    bool secure = false;
    // Users who hold "admin" in the world from the start.
    std::vector<std::string> admins;
    // Side of a cell in world units: an object at (x, z) is in cell
    // (floor(x / size), floor(z / size)).
    double cell_size = 10.0;
    std::size_t max_objects_per_cell = 256;
    // Bounds on what one world keeps, whatever its clients send.
    std::size_t max_objects = 100000;
    std::size_t max_terrain_nodes = 100000;
};

// What a world holds at one moment, for tests and views.
struct WorldState {
    struct Avatar {
        std::int32_t session;
        std::int32_t user_id;
        std::string name;
        bool visible;  // has published its state
        float x, y, z, yaw, pitch;
        std::int32_t type;
    };
    struct Object {
        std::int32_t id;
        std::int32_t owner;  // user id
        std::uint8_t type;
        double x, y, z;
        std::array<std::string, 3> strings;  // as the add request's string_1 to 3
        std::size_t data_size;
    };
    struct Cell {
        std::int32_t x, z, revision;
        std::size_t objects;
    };
    struct TerrainNode {
        std::int32_t tile_x, tile_z;
        std::uint8_t node_x, node_z;
        std::int32_t revision;
        // The heights of the node's 64 cells, in wire order (8 rows of 8,
        // the inner position varying fastest).
        std::array<float, 64> heights;
    };
    std::vector<Avatar> avatars;  // by session
    std::vector<Object> objects;  // by id
    std::vector<Cell> cells;
    std::vector<TerrainNode> terrain;
    std::map<std::string, std::string> settings;
};

// A chat or console line as the world relays it, for views.
struct WorldLine {
    bool console = false;
    std::int32_t session = 0;  // the sender's avatar
    // The sender's name; for a console line the name it chose to show.
    std::string name;
    std::string text;
    std::int32_t to = 0;  // a console line's addressee; 0: everyone
};
// Sees every line relayed, on the loop's thread.
using LineTap = std::function<void(const WorldLine&)>;

class WorldService : public server::Service {
public:
    WorldService(server::ServerLoop& loop, Directory& directory, const server::Identity& identity,
                 WorldSettings settings);
    ~WorldService() override;

    const std::string& name() const noexcept { return settings_.name; }
    WorldState state() const;
    // `name` holds "admin" from now on.
    void add_admin(const std::string& name);
    // The session of the peer's avatar; 0 before its login.
    std::int32_t session_of(std::uint64_t peer_id) const;
    // Before the loop runs, or from its thread.
    void tap_lines(LineTap tap) { line_tap_ = std::move(tap); }
    const WorldSettings& settings() const noexcept { return settings_; }

    void on_frame(server::Peer& peer, PacketReader& body) override;
    void on_close(server::Peer& peer) override;
    void on_quiet(server::Peer& peer) override;

private:
    struct Avatar {
        std::uint64_t peer = 0;
        std::int32_t session = 0;  // 0 until logged in
        std::int32_t user_id = 0;
        std::string name;
        std::string extra_1, extra_2;
        bool visible = false;  // has published its state
        float x = 0, y = 0, z = 0, yaw = 0, pitch = 0;
        std::int32_t type = 0;
    };
    struct Object {
        std::int32_t id = 0;
        std::uint8_t type = 0;
        double x = 0, y = 0, z = 0;
        float rotation[4] = {0, 0, 0, 0};    // axis x, y, z, angle
        std::array<std::string, 3> strings;  // as the client's strings 2, 3, 4
        std::string data;
        std::int32_t number_1 = 0, number_2 = 0;  // owner's user id, creation time
    };
    using CellKey = std::pair<std::int32_t, std::int32_t>;
    struct Cell {
        std::int32_t revision = 0;
        std::set<std::int32_t> objects;
    };
    using NodeKey = std::tuple<std::int32_t, std::int32_t, std::uint8_t, std::uint8_t>;
    struct Node {
        std::int32_t revision = 0;
        std::array<unsigned char, 64 * 6> cells{};  // wire form: FLOAT height, UINT16 attributes
    };
    struct PermissionEntry {
        std::int32_t holder;
        std::string name;
    };

    void opening(server::Peer& peer, Avatar& avatar, std::uint8_t type, PacketReader& body);
    void login(server::Peer& peer, Avatar& avatar, PacketReader& body);
    void dispatch(server::Peer& peer, Avatar& avatar, std::uint8_t type, PacketReader& body);

    void state(Avatar& avatar, PacketReader& body);
    void chat(const Avatar& avatar, PacketReader& body);
    void console(const Avatar& avatar, PacketReader& body);
    void object_add(server::Peer& peer, const Avatar& avatar, PacketReader& body, bool load);
    void object_change(server::Peer& peer, const Avatar& avatar, PacketReader& body);
    void object_delete(server::Peer& peer, const Avatar& avatar, PacketReader& body);
    void object_get(server::Peer& peer, PacketReader& body);
    void cell_query(server::Peer& peer, PacketReader& body);
    void directed(const Avatar& avatar, std::uint8_t type, PacketReader& body);
    void terrain_query(server::Peer& peer, PacketReader& body);
    void terrain_set(server::Peer& peer, const Avatar& avatar, PacketReader& body);
    void permission_set(server::Peer& peer, const Avatar& avatar, std::uint8_t type,
                        PacketReader& body);
    void permission_list(server::Peer& peer, const Avatar& avatar, std::uint8_t type,
                         PacketReader& body);
    void setting_set(server::Peer& peer, const Avatar& avatar, PacketReader& body);

    bool is_admin(const Avatar& avatar) const;
    bool may(const Avatar& avatar, const std::string& permission) const;
    // Reads an object's fields (the cursor's next ones, `body` under it);
    // false when they describe no valid object.
    static bool read_object(FieldCursor& fields, PacketReader& body, Object& object, bool load);
    static void write_notice(PacketWriter& writer, std::uint8_t type, const Object& object,
                             std::int32_t session);
    CellKey cell_of(const Object& object) const;
    void touch_cell(const CellKey& key);
    std::size_t objects_in(const CellKey& key) const;
    std::vector<PermissionEntry> permissions_of(std::int32_t user_id, std::int32_t session) const;
    std::vector<PermissionEntry> all_permissions() const;
    void send_permissions(server::Peer& peer, const std::vector<PermissionEntry>& entries);

    void to_others(const Avatar& from, PacketWriter& writer);
    void to_all(PacketWriter& writer);
    Avatar* by_session(std::int32_t session);
    static PacketWriter result(std::int32_t reference, std::uint8_t code);
    void malformed(server::Peer& peer, std::uint8_t type);

    server::ServerLoop& loop_;
    Directory& directory_;
    std::unique_ptr<server::ServerTlsConfig> tls_;
    WorldSettings settings_;
    std::unordered_map<std::uint64_t, Avatar> avatars_;  // by peer
    std::map<std::int32_t, std::uint64_t> sessions_;     // session -> peer, in order
    std::int32_t next_session_ = 1;
    std::int32_t owner_ = 0;
    std::map<std::string, std::string> world_settings_;
    std::map<std::int32_t, Object> objects_;
    std::map<CellKey, Cell> cells_;
    std::int32_t next_object_id_ = 1;
    std::map<NodeKey, Node> terrain_;
    std::map<std::string, std::set<std::int32_t>> user_permissions_;
    std::map<std::string, std::set<std::int32_t>> session_permissions_;
    LineTap line_tap_;
};

}  // namespace kivsdk::sandbox
