// Arbitrary frame bodies to the world message dispatcher, through a world
// Connection entered the host's way, with requests of every kind waiting so
// that transaction results take each branch.
#include <cstddef>
#include <cstdint>

#include "harness.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    kivsdk::fuzz::Session session;
    session.open_universe();
    kivsdk::fuzz::RecordingTable::Socket& world = session.enter_world();
    session.register_world_requests();
    session.deliver_frames(world, data, size);
    return 0;
}
