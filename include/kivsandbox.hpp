/*
 * kivsandbox.hpp - optional, header-only C++17 layer over kivsandbox.h.
 *
 *   kivsdk::Sandbox kit({"--world", "lobby"});   // started; stopped on scope exit
 *   bot.connect_universe("127.0.0.1", kit.universe_port());
 *   int ann = kit.actor_enter("ann", "lobby", {0, 0, 0});
 *   kit.actor_say("ann", "hello");
 *   ...
 *   auto lines = kit.sent("greeter", "lobby");   // {"world login ...", "say text=\"hi ann\""}
 *   kivsdk::WorldState world = kit.world_state("lobby");
 *
 * - A Sandbox owns its kit (kivsb_stop in the destructor) and is movable,
 *   not copyable.
 * - Every failure throws kivsdk::SandboxError, which carries the
 *   KIVSBReturnCode; nothing returns a code.
 * - Everything here is inline; the kit's library exports nothing for it.
 */
#ifndef KIVSANDBOX_HPP
#define KIVSANDBOX_HPP

#include "kivsandbox.h"
#include "kivsdk.h"

#include <cstddef>
#include <cstdlib>
#include <fstream>
#include <initializer_list>
#include <iterator>
#include <map>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

namespace kivsdk {

class SandboxError : public std::runtime_error {
public:
    SandboxError(int code, const std::string& what)
        : std::runtime_error(what + " (kivsandbox code " + std::to_string(code) + ")"),
          code_(code) {}
    int code() const noexcept { return code_; }

private:
    int code_;
};

struct SandboxPlace {
    double x = 0, y = 0, z = 0, yaw = 0;
};

// What a world holds (kivsb_world_state), parsed.
struct WorldState {
    struct Avatar {
        int session, user_id;
        bool visible;
        double x, y, z, yaw, pitch;
        int type;
        std::string name;
    };
    struct Object {
        int id, owner, type;
        double x, y, z;
        std::string model, description, action;
        std::size_t data_size;
    };
    struct Cell {
        int x, z, revision;
        std::size_t objects;
    };
    struct TerrainNode {
        int tile_x, tile_z, node_x, node_z, revision;
    };
    std::vector<Avatar> avatars;
    std::vector<Object> objects;
    std::vector<Cell> cells;
    std::vector<TerrainNode> terrain;
    std::map<std::string, std::string> settings;

    // The avatar of that name, or null.
    const Avatar* avatar(const std::string& name) const {
        for (const Avatar& a : avatars) {
            if (a.name == name) return &a;
        }
        return nullptr;
    }
};

namespace sandbox_detail {

inline void check(int rc, const char* what) {
    if (rc != KIVSB_OK) throw SandboxError(rc, what);
}

// Splits a line at tabs and undoes the escapes of kivsb_world_state.
inline std::vector<std::string> fields(const std::string& line) {
    std::vector<std::string> out(1);
    for (std::size_t i = 0; i < line.size(); ++i) {
        const char c = line[i];
        if (c == '\t') {
            out.emplace_back();
        } else if (c == '\\' && i + 1 < line.size()) {
            const char next = line[++i];
            out.back() += next == 't' ? '\t' : next == 'n' ? '\n' : next;
        } else {
            out.back() += c;
        }
    }
    return out;
}

inline std::vector<std::string> lines(const std::string& text) {
    std::vector<std::string> out;
    std::size_t start = 0;
    for (std::size_t end; (end = text.find('\n', start)) != std::string::npos; start = end + 1) {
        out.push_back(text.substr(start, end - start));
    }
    return out;
}

inline int i(const std::string& text) { return std::atoi(text.c_str()); }
inline double d(const std::string& text) { return std::strtod(text.c_str(), nullptr); }

inline WorldState parse_world_state(const std::string& text) {
    WorldState state;
    for (const std::string& line : lines(text)) {
        const std::vector<std::string> f = fields(line);
        if (f[0] == "avatar" && f.size() == 11) {
            state.avatars.push_back({i(f[1]), i(f[2]), f[3] == "1", d(f[4]), d(f[5]), d(f[6]),
                                     d(f[7]), d(f[8]), i(f[9]), f[10]});
        } else if (f[0] == "object" && f.size() == 11) {
            state.objects.push_back({i(f[1]), i(f[2]), i(f[3]), d(f[4]), d(f[5]), d(f[6]), f[7],
                                     f[8], f[9], static_cast<std::size_t>(d(f[10]))});
        } else if (f[0] == "cell" && f.size() == 5) {
            state.cells.push_back({i(f[1]), i(f[2]), i(f[3]), static_cast<std::size_t>(d(f[4]))});
        } else if (f[0] == "terrain" && f.size() == 6) {
            state.terrain.push_back({i(f[1]), i(f[2]), i(f[3]), i(f[4]), i(f[5])});
        } else if (f[0] == "setting" && f.size() == 3) {
            state.settings[f[1]] = f[2];
        }
    }
    return state;
}

}  // namespace sandbox_detail

class Sandbox {
public:
    // Starts a kit with kivsandbox's options, e.g. {"--world", "lobby"}.
    explicit Sandbox(const std::vector<std::string>& options = {}) {
        std::vector<const char*> arguments;
        for (const std::string& option : options) arguments.push_back(option.c_str());
        char error[512] = "";
        const int rc = kivsb_start(arguments.data(), static_cast<int>(arguments.size()), error,
                                   sizeof error, &kit_);
        if (rc != KIVSB_OK) throw SandboxError(rc, std::string("kivsb_start: ") + error);
    }
    Sandbox(std::initializer_list<std::string> options)
        : Sandbox(std::vector<std::string>(options)) {}
    ~Sandbox() { kivsb_stop(kit_); }
    Sandbox(Sandbox&& other) noexcept : kit_(std::exchange(other.kit_, nullptr)) {}
    Sandbox& operator=(Sandbox&& other) noexcept {
        if (this != &other) {
            kivsb_stop(kit_);
            kit_ = std::exchange(other.kit_, nullptr);
        }
        return *this;
    }
    Sandbox(const Sandbox&) = delete;
    Sandbox& operator=(const Sandbox&) = delete;

    KIVSandbox* handle() const noexcept { return kit_; }
    static std::string pki_dir() { return kivsb_pki_dir(); }

    // Makes a bot's Instance trust the kit's CAs on both sides
    // (kiv_trust_set), so it reaches the kit over TLS whatever CAs the
    // library was built with. Returns 0, or the first failing code.
    static int trust(KIVInstance* instance) {
        const struct {
            int side;
            const char* file;
        } bundles[] = {{KIV_SIDE_UNIVERSE, "/universe-bundle.pem"},
                       {KIV_SIDE_WORLD, "/world-bundle.pem"}};
        for (const auto& bundle : bundles) {
            std::ifstream in(pki_dir() + bundle.file, std::ios::binary);
            const std::string pem((std::istreambuf_iterator<char>(in)),
                                  std::istreambuf_iterator<char>());
            const int rc =
                kiv_trust_set(instance, bundle.side, pem.data(), static_cast<int>(pem.size()));
            if (rc != 0) return rc;
        }
        return 0;
    }

    int universe_port() const {
        int port = 0;
        sandbox_detail::check(kivsb_universe_port(kit_, &port), "kivsb_universe_port");
        return port;
    }
    int world_port(const std::string& world) const {
        int port = 0;
        sandbox_detail::check(kivsb_world_port(kit_, world.c_str(), &port), "kivsb_world_port");
        return port;
    }

    // ---- Actors: each returns what the request gave (a session, an id).
    int actor_enter(const std::string& name, const std::string& world, const SandboxPlace& at = {},
                    int avatar_type = 0) {
        int session = 0;
        sandbox_detail::check(kivsb_actor_enter(kit_, name.c_str(), world.c_str(), at.x, at.y, at.z,
                                                at.yaw, avatar_type, &session),
                              "kivsb_actor_enter");
        return session;
    }
    void actor_move(const std::string& name, const SandboxPlace& at, int avatar_type = 0) {
        sandbox_detail::check(
            kivsb_actor_move(kit_, name.c_str(), at.x, at.y, at.z, at.yaw, avatar_type),
            "kivsb_actor_move");
    }
    void actor_say(const std::string& name, const std::string& text) {
        sandbox_detail::check(kivsb_actor_say(kit_, name.c_str(), text.c_str()), "kivsb_actor_say");
    }
    void actor_leave(const std::string& name) {
        sandbox_detail::check(kivsb_actor_leave(kit_, name.c_str()), "kivsb_actor_leave");
    }
    void actor_click_avatar(const std::string& name, int session) {
        sandbox_detail::check(kivsb_actor_click_avatar(kit_, name.c_str(), session),
                              "kivsb_actor_click_avatar");
    }
    void actor_click_object(const std::string& name, int object_id, int session = 0) {
        sandbox_detail::check(kivsb_actor_click_object(kit_, name.c_str(), object_id, session),
                              "kivsb_actor_click_object");
    }
    void actor_bump(const std::string& name, int object_id, bool begin, int session = 0) {
        sandbox_detail::check(kivsb_actor_bump(kit_, name.c_str(), object_id, begin, session),
                              "kivsb_actor_bump");
    }
    void actor_teleport(const std::string& name, int session, const std::string& world,
                        const SandboxPlace& at) {
        sandbox_detail::check(kivsb_actor_teleport(kit_, name.c_str(), session, world.c_str(), at.x,
                                                   at.y, at.z, at.yaw),
                              "kivsb_actor_teleport");
    }
    void actor_url(const std::string& name, int session, const std::string& url) {
        sandbox_detail::check(kivsb_actor_url(kit_, name.c_str(), session, url.c_str()),
                              "kivsb_actor_url");
    }
    void actor_console(const std::string& name, int session, const std::string& text) {
        sandbox_detail::check(kivsb_actor_console(kit_, name.c_str(), session, text.c_str()),
                              "kivsb_actor_console");
    }
    int actor_object_add(const std::string& name, const std::string& model, const SandboxPlace& at,
                         const std::string& description = "", const std::string& action = "") {
        int id = 0;
        sandbox_detail::check(
            kivsb_actor_object_add(kit_, name.c_str(), model.c_str(), description.c_str(),
                                   action.c_str(), at.x, at.y, at.z, &id),
            "kivsb_actor_object_add");
        return id;
    }
    void actor_object_change(const std::string& name, int object_id, const std::string& model,
                             const SandboxPlace& at, const std::string& description = "",
                             const std::string& action = "") {
        sandbox_detail::check(
            kivsb_actor_object_change(kit_, name.c_str(), object_id, model.c_str(),
                                      description.c_str(), action.c_str(), at.x, at.y, at.z),
            "kivsb_actor_object_change");
    }
    void actor_object_delete(const std::string& name, int object_id) {
        sandbox_detail::check(kivsb_actor_object_delete(kit_, name.c_str(), object_id),
                              "kivsb_actor_object_delete");
    }
    void actor_terrain(const std::string& name, int tile_x, int tile_z, int node_x, int node_z,
                       double height, int attributes = 0) {
        sandbox_detail::check(kivsb_actor_terrain(kit_, name.c_str(), tile_x, tile_z, node_x,
                                                  node_z, height, attributes),
                              "kivsb_actor_terrain");
    }
    void actor_setting(const std::string& name, const std::string& setting,
                       const std::string& value) {
        sandbox_detail::check(
            kivsb_actor_setting(kit_, name.c_str(), setting.c_str(), value.c_str()),
            "kivsb_actor_setting");
    }
    void actor_permission(const std::string& name, const std::string& permission, int user_id,
                          bool enable = true) {
        sandbox_detail::check(
            kivsb_actor_permission(kit_, name.c_str(), permission.c_str(), user_id, enable),
            "kivsb_actor_permission");
    }
    void actor_invite(const std::string& name, int user_id, const std::string& world,
                      const SandboxPlace& at = {}) {
        sandbox_detail::check(kivsb_actor_invite(kit_, name.c_str(), user_id, world.c_str(), at.x,
                                                 at.y, at.z, at.yaw),
                              "kivsb_actor_invite");
    }
    void actor_join(const std::string& name, int user_id) {
        sandbox_detail::check(kivsb_actor_join(kit_, name.c_str(), user_id), "kivsb_actor_join");
    }
    int actor_user_id(const std::string& name) const {
        int id = 0;
        sandbox_detail::check(kivsb_actor_user_id(kit_, name.c_str(), &id), "kivsb_actor_user_id");
        return id;
    }

    // ---- Faults; `where` is "universe", a world, or "" for every client.
    void freeze(int milliseconds) {
        sandbox_detail::check(kivsb_freeze(kit_, milliseconds), "kivsb_freeze");
    }
    int drop(const std::string& where = "", bool reset = false) {
        int dropped = 0;
        sandbox_detail::check(kivsb_drop(kit_, where.c_str(), reset, &dropped), "kivsb_drop");
        return dropped;
    }
    void refuse_logins(int count, int result) {
        sandbox_detail::check(kivsb_refuse_logins(kit_, count, result), "kivsb_refuse_logins");
    }
    void remove_world(const std::string& world) {
        sandbox_detail::check(kivsb_remove_world(kit_, world.c_str()), "kivsb_remove_world");
    }
    void keepalive(int seconds) {
        sandbox_detail::check(kivsb_keepalive(kit_, seconds), "kivsb_keepalive");
    }
    void delay(int milliseconds) {
        sandbox_detail::check(kivsb_delay(kit_, milliseconds), "kivsb_delay");
    }
    void ignore(const std::string& where, int message_type, bool ignore = true) {
        sandbox_detail::check(kivsb_ignore(kit_, where.c_str(), message_type, ignore),
                              "kivsb_ignore");
    }
    void cut_after(const std::string& where, int bytes) {
        sandbox_detail::check(kivsb_cut_after(kit_, where.c_str(), bytes), "kivsb_cut_after");
    }

    // ---- What happened.
    std::vector<std::string> sent(const std::string& user, const std::string& where) const {
        return sandbox_detail::lines(
            text("kivsb_sent", [&](char* b, std::size_t c, std::size_t* l) {
                return kivsb_sent(kit_, user.c_str(), where.c_str(), b, c, l);
            }));
    }
    void forget_sent() { sandbox_detail::check(kivsb_forget_sent(kit_), "kivsb_forget_sent"); }
    WorldState world_state(const std::string& world) const {
        return sandbox_detail::parse_world_state(
            text("kivsb_world_state", [&](char* b, std::size_t c, std::size_t* l) {
                return kivsb_world_state(kit_, world.c_str(), b, c, l);
            }));
    }

private:
    // Calls a text getter until the buffer is large enough.
    template <class Getter>
    static std::string text(const char* what, Getter get) {
        std::string buffer(256, '\0');
        for (;;) {
            std::size_t length = 0;
            const int rc = get(&buffer[0], buffer.size(), &length);
            if (rc == KIVSB_OK) return buffer.substr(0, length);
            if (rc != KIVSB_BUFFER_TOO_SMALL) throw SandboxError(rc, what);
            buffer.assign(length + 1, '\0');
        }
    }

    KIVSandbox* kit_ = nullptr;
};

}  // namespace kivsdk

#endif /* KIVSANDBOX_HPP */
