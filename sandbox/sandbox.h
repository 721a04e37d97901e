// Sandbox: a universe and its worlds in one process on one ServerLoop.
//
//   Options options;                       // or parse_options(argc, argv)
//   options.worlds = {{"lobby", false}, {"garden", true}};
//   Sandbox sandbox(options);              // listens; throws on failure
//   std::cout << sandbox.ready_line();     // "ready universe=P world lobby=P ..."
//   sandbox.run();                         // until stop(), from any thread
#pragma once

#include <array>
#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "core/server_loop.h"
#include "core/tls_config.h"

namespace kivsdk::sandbox {

class Actors;
class ControlPort;
class ScriptRunner;
class Directory;
class UniverseService;
class WorldService;

struct WorldOption {
    std::string name;
    bool secure = false;
    int port = 0;  // 0: any free port
};

struct Options {
    std::string bind = "127.0.0.1";
    // Host name that world tickets carry; empty: the bind address.
    std::string world_host;
    int universe_port = 0;
    std::vector<WorldOption> worlds;
    std::optional<std::string> password;
    std::vector<std::string> admins;
    server::Identity universe_identity;
    server::Identity world_identity;
    server::Limits limits;
    // Objects one cell of a world holds at most.
    std::size_t max_objects_per_cell = 256;
    bool log_connections = true;
    std::string port_file;
    // The first `refused_logins` logins that would succeed get
    // `refusal_result` instead.
    int refused_logins = 0;
    std::uint8_t refusal_result = 1;
    // Loopback port of the control commands (control.h); -1: none, 0: any.
    int control_port = -1;
    // A scene to play from the start (script.h); empty: none.
    std::string script;
    // The live view's HTTP port (view/live_view.h, made by kivsandbox's
    // main); -1: none, 0: any. It listens on `http_bind`.
    int http_port = -1;
    std::string http_bind = "127.0.0.1";
};

// The worlds when none is given: "lobby" in the clear, "garden" over TLS.
std::vector<WorldOption> default_worlds();

class Sandbox {
public:
    // Loads the certificates and listens on every port. Throws
    // std::runtime_error (server::TlsSetupError for certificates and keys).
    explicit Sandbox(const Options& options);
    ~Sandbox();
    Sandbox(const Sandbox&) = delete;
    Sandbox& operator=(const Sandbox&) = delete;

    int universe_port() const noexcept { return universe_port_; }
    // The port of world `name`, or -1.
    int world_port(const std::string& name) const;
    // The control port, or -1.
    int control_port() const noexcept;
    // "ready universe=PORT world NAME=PORT ... [control=PORT]", no newline.
    std::string ready_line() const;

    void run() { loop_.run(); }
    void run_once(int milliseconds) { loop_.run_once(milliseconds); }
    // Safe from any thread and from a signal handler.
    void stop() noexcept { loop_.stop(); }
    std::size_t client_count() const noexcept { return loop_.client_count(); }
    // Shows `tap` every frame sent to a client; before the loop runs.
    void tap_sent_frames(server::FrameTap tap) { loop_.tap_sent_frames(std::move(tap)); }

    // A ticket for entering `world` as `user` without a universe login, for
    // tools and tests that speak the world protocol themselves. Call it
    // before the loop runs or from the loop's thread.
    std::array<unsigned char, 32> issue_ticket(const std::string& world, const std::string& user);

    // Faults for tests of clients that must ride them out (control.h has
    // them as commands). From the loop's thread, or before the loop runs.
    //
    // Keep-alive after this many seconds without sending; 0: never.
    void set_keepalive(int seconds) { loop_.set_keepalive_seconds(seconds); }
    // The next `count` logins that would succeed get `result` instead.
    void refuse_logins(int count, std::uint8_t result);
    // No reading, writing or accepting for `duration`; the connections stay
    // open. Zero resumes at once.
    void freeze(std::chrono::milliseconds duration) { loop_.freeze(duration); }
    // Close clients (cleanly, or with a TCP reset); each returns how many.
    std::size_t drop_universe_clients(bool reset = false);
    // Nothing when there is no such world.
    std::optional<std::size_t> drop_world_clients(const std::string& world, bool reset = false);
    std::size_t drop_all_clients(bool reset = false);
    // Drops the world's clients, closes its port and stops listing it;
    // entering it is refused. False when there is no such world.
    bool remove_world(const std::string& world);

    // For the test kit, from the loop's thread: the loop, and the service
    // of "universe" or of a world (null when there is none).
    server::ServerLoop& loop() noexcept { return loop_; }
    server::Service* service(const std::string& where) const;
    WorldService* world(const std::string& name) const;
    // Names of the worlds, in the order given.
    std::vector<std::string> world_names() const;
    // The scripted users (actors.h).
    Actors& actors() noexcept { return *actors_; }
    // The accounts and who is in which world (directory.h).
    Directory& directory() noexcept { return *directory_; }

private:
    server::ServerLoop loop_;
    std::unique_ptr<Directory> directory_;
    std::unique_ptr<UniverseService> universe_;
    std::vector<std::unique_ptr<WorldService>> worlds_;
    std::vector<std::pair<std::string, int>> world_ports_;
    int universe_port_ = 0;
    std::unique_ptr<Actors> actors_;
    std::unique_ptr<ControlPort> control_;
    std::unique_ptr<ScriptRunner> script_;
};

}  // namespace kivsdk::sandbox
