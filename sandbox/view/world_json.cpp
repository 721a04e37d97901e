#include "view/world_json.h"

#include "json_text.h"

namespace kivsdk::sandbox::view {

using json::append_number;
using json::append_string;
using json::json_quoted;
namespace {

// Writes `"key":` and returns the string for chaining.
std::string& key(std::string& out, const char* name) {
    out += '"';
    out += name;
    out += "\":";
    return out;
}

void append_int(std::string& out, long long value) { out += std::to_string(value); }

}  // namespace

WorldParts world_parts(const WorldState& state, const NameOf& name_of) {
    WorldParts parts;
    std::string& a = parts.avatars;
    a.reserve(state.avatars.size() * 140 + 2);
    a += '[';
    for (const WorldState::Avatar& avatar : state.avatars) {
        if (a.size() > 1) a += ',';
        append_int(key(a += '{', "session"), avatar.session);
        append_int(key(a += ',', "user"), avatar.user_id);
        append_string(key(a += ',', "name"), avatar.name);
        key(a += ',', "visible") += avatar.visible ? "true" : "false";
        append_number(key(a += ',', "x"), avatar.x);
        append_number(key(a += ',', "y"), avatar.y);
        append_number(key(a += ',', "z"), avatar.z);
        append_number(key(a += ',', "yaw"), avatar.yaw);
        append_number(key(a += ',', "pitch"), avatar.pitch);
        append_int(key(a += ',', "type"), avatar.type);
        a += '}';
    }
    a += ']';

    std::string& s = parts.scene;
    key(s, "objects") += '[';
    bool first = true;
    for (const WorldState::Object& object : state.objects) {
        if (!first) s += ',';
        first = false;
        append_int(key(s += '{', "id"), object.id);
        append_int(key(s += ',', "owner"), object.owner);
        append_string(key(s += ',', "owner_name"), name_of ? name_of(object.owner) : "");
        append_int(key(s += ',', "type"), object.type);
        append_number(key(s += ',', "x"), object.x);
        append_number(key(s += ',', "y"), object.y);
        append_number(key(s += ',', "z"), object.z);
        append_string(key(s += ',', "model"), object.strings[0]);
        append_string(key(s += ',', "description"), object.strings[1]);
        append_string(key(s += ',', "action"), object.strings[2]);
        append_int(key(s += ',', "data_size"), static_cast<long long>(object.data_size));
        s += '}';
    }
    key(s += "],", "cells") += '[';
    first = true;
    for (const WorldState::Cell& cell : state.cells) {
        if (!first) s += ',';
        first = false;
        append_int(key(s += '{', "x"), cell.x);
        append_int(key(s += ',', "z"), cell.z);
        append_int(key(s += ',', "revision"), cell.revision);
        append_int(key(s += ',', "objects"), static_cast<long long>(cell.objects));
        s += '}';
    }
    key(s += "],", "terrain") += '[';
    first = true;
    for (const WorldState::TerrainNode& node : state.terrain) {
        if (!first) s += ',';
        first = false;
        append_int(key(s += '{', "tile_x"), node.tile_x);
        append_int(key(s += ',', "tile_z"), node.tile_z);
        append_int(key(s += ',', "node_x"), node.node_x);
        append_int(key(s += ',', "node_z"), node.node_z);
        append_int(key(s += ',', "revision"), node.revision);
        key(s += ',', "heights") += '[';
        for (std::size_t i = 0; i < node.heights.size(); ++i) {
            if (i > 0) s += ',';
            append_number(s, node.heights[i]);
        }
        s += "]}";
    }
    key(s += "],", "settings") += '{';
    first = true;
    for (const auto& setting : state.settings) {
        if (!first) s += ',';
        first = false;
        append_string(s, setting.first);
        s += ':';
        append_string(s, setting.second);
    }
    s += '}';
    return parts;
}

std::string world_object(const std::string& name, double cell_size, const WorldParts& parts) {
    std::string out;
    out.reserve(parts.avatars.size() + parts.scene.size() + name.size() + 64);
    append_string(key(out += '{', "name"), name);
    append_number(key(out += ',', "cell_size"), cell_size);
    key(out += ',', "avatars") += parts.avatars;
    out += ',';
    out += parts.scene;
    out += '}';
    return out;
}

std::string world_list(const std::vector<WorldEntry>& worlds) {
    std::string out;
    key(out += '{', "worlds") += '[';
    for (std::size_t i = 0; i < worlds.size(); ++i) {
        const WorldEntry& world = worlds[i];
        if (i > 0) out += ',';
        append_string(key(out += '{', "name"), world.name);
        key(out += ',', "secure") += world.secure ? "true" : "false";
        append_int(key(out += ',', "port"), world.port);
        key(out += ',', "users") += '[';
        for (std::size_t u = 0; u < world.users.size(); ++u) {
            if (u > 0) out += ',';
            append_string(out, world.users[u]);
        }
        out += "]}";
    }
    out += "]}";
    return out;
}

std::string line_object(const WorldLine& line) {
    std::string out;
    key(out += '{', "console") += line.console ? "true" : "false";
    append_int(key(out += ',', "session"), line.session);
    append_string(key(out += ',', "name"), line.name);
    append_string(key(out += ',', "text"), line.text);
    append_int(key(out += ',', "to"), line.to);
    out += '}';
    return out;
}

std::string event_message(const char* name, const std::string& json) {
    std::string out;
    out.reserve(json.size() + 24);
    out += "event: ";
    out += name;
    out += "\ndata: ";
    out += json;
    out += "\n\n";
    return out;
}

}  // namespace kivsdk::sandbox::view
