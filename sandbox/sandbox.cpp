#include "sandbox.h"

#include <algorithm>

#include "actors.h"
#include "control.h"
#include "directory.h"
#include "script.h"
#include "universe_service.h"
#include "world_service.h"

namespace kivsdk::sandbox {
namespace {

server::LogOptions log_options(const Options& options) {
    server::LogOptions log;
    log.prefix = "kivsandbox";
    log.connections = options.log_connections;
    return log;
}

}  // namespace

std::vector<WorldOption> default_worlds() { return {{"lobby", false, 0}, {"garden", true, 0}}; }

Sandbox::Sandbox(const Options& options)
    : loop_(options.limits, log_options(options)), directory_(std::make_unique<Directory>()) {
    const std::vector<WorldOption> worlds =
        options.worlds.empty() ? default_worlds() : options.worlds;
    UniverseSettings universe;
    universe.password = options.password;
    universe.world_host = options.world_host.empty() ? options.bind : options.world_host;
    for (const WorldOption& world : worlds) {
        WorldSettings settings;
        settings.name = world.name;
        settings.secure = world.secure;
        settings.admins = options.admins;
        settings.max_objects_per_cell = options.max_objects_per_cell;
        worlds_.push_back(
            std::make_unique<WorldService>(loop_, *directory_, options.world_identity, settings));
        const int port = loop_.listen(options.bind, world.port, *worlds_.back(), world.name);
        world_ports_.emplace_back(world.name, port);
        universe.worlds.push_back(WorldAddress{world.name, world.secure, port});
    }
    universe_ =
        std::make_unique<UniverseService>(loop_, *directory_, options.universe_identity, universe);
    universe_port_ = loop_.listen(options.bind, options.universe_port, *universe_, "universe");
    universe_->refuse_logins(options.refused_logins, options.refusal_result);
    actors_ = std::make_unique<Actors>(*this, options.password);
    if (options.control_port >= 0) {
        control_ = std::make_unique<ControlPort>(
            loop_, [this](const std::string& line) { return run_control_line(*this, line); },
            options.control_port);
    }
    if (!options.script.empty()) {
        script_ = std::make_unique<ScriptRunner>(*this, load_script(options.script));
    }
}

Sandbox::~Sandbox() = default;

int Sandbox::world_port(const std::string& name) const {
    for (const auto& entry : world_ports_) {
        if (entry.first == name) return entry.second;
    }
    return -1;
}

std::array<unsigned char, 32> Sandbox::issue_ticket(const std::string& world,
                                                    const std::string& user) {
    return directory_->issue(world, directory_->account(user).id);
}

int Sandbox::control_port() const noexcept { return control_ ? control_->port() : -1; }

std::string Sandbox::ready_line() const {
    std::string line = "ready universe=" + std::to_string(universe_port_);
    for (const auto& entry : world_ports_) {
        line += " world " + entry.first + "=" + std::to_string(entry.second);
    }
    if (control_) line += " control=" + std::to_string(control_->port());
    return line;
}

WorldService* Sandbox::world(const std::string& name) const {
    if (world_port(name) < 0) return nullptr;  // removed worlds are gone
    for (const auto& world : worlds_) {
        if (world->name() == name) return world.get();
    }
    return nullptr;
}

server::Service* Sandbox::service(const std::string& where) const {
    if (where == "universe") return universe_.get();
    return world(where);
}

std::vector<std::string> Sandbox::world_names() const {
    std::vector<std::string> names;
    for (const auto& entry : world_ports_) names.push_back(entry.first);
    return names;
}

void Sandbox::refuse_logins(int count, std::uint8_t result) {
    universe_->refuse_logins(count, result);
}

std::size_t Sandbox::drop_universe_clients(bool reset) {
    return loop_.drop_clients(universe_.get(), "dropped by the sandbox", reset);
}

std::optional<std::size_t> Sandbox::drop_world_clients(const std::string& name, bool reset) {
    WorldService* found = world(name);
    if (!found) return std::nullopt;
    return loop_.drop_clients(found, "dropped by the sandbox", reset);
}

std::size_t Sandbox::drop_all_clients(bool reset) {
    return loop_.drop_clients(nullptr, "dropped by the sandbox", reset);
}

bool Sandbox::remove_world(const std::string& name) {
    WorldService* found = world(name);
    if (!found) return false;
    universe_->remove_world(name);
    loop_.stop_listening(*found);
    loop_.drop_clients(found, "the world was removed");
    // The service stays until the sandbox ends: closing peers still name it.
    world_ports_.erase(std::find_if(world_ports_.begin(), world_ports_.end(),
                                    [&](const auto& entry) { return entry.first == name; }));
    return true;
}

}  // namespace kivsdk::sandbox
