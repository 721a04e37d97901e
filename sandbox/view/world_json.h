// The live view's JSON for a world, built from the WorldState that
// WorldService::state() returns (the test kit's world-state query).
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "world_service.h"

namespace kivsdk::sandbox::view {

// A user's name by user id ("" when unknown), for objects' owners.
using NameOf = std::function<std::string(std::int32_t user_id)>;

// The parts of a world's JSON: its avatars as an array, and the members for
// objects, cells, terrain and settings ("\"objects\":[...],...").
struct WorldParts {
    std::string avatars;
    std::string scene;
};
WorldParts world_parts(const WorldState& state, const NameOf& name_of);

// The whole world:
// {"name":N,"cell_size":S,"avatars":[...],"objects":[...],"cells":[...],
//  "terrain":[...],"settings":{...}}
std::string world_object(const std::string& name, double cell_size, const WorldParts& parts);

// One world of the list: its users are the names of its avatars.
struct WorldEntry {
    std::string name;
    bool secure = false;
    int port = 0;
    std::vector<std::string> users;
};
// {"worlds":[{"name":N,"secure":B,"port":P,"users":[...]},...]}
std::string world_list(const std::vector<WorldEntry>& worlds);

// {"console":B,"session":S,"name":N,"text":T,"to":S}
std::string line_object(const WorldLine& line);

// One Server-Sent Events message: "event: NAME\ndata: JSON\n\n". The JSON
// holds no line breaks (the writers above escape them).
std::string event_message(const char* name, const std::string& json);

}  // namespace kivsdk::sandbox::view
