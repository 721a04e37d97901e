// A world's state as lines of tab-separated fields, the form kivsandbox.h
// documents for kivsb_world_state.
#pragma once

#include <string>

#include "world_service.h"

namespace kivsdk::testkit {

std::string state_text(const sandbox::WorldState& state);

}  // namespace kivsdk::testkit
