// Arbitrary frame bodies to the universe message dispatcher, through the
// universe Connection, with requests of every kind waiting so that
// transaction results take each branch.
#include <cstddef>
#include <cstdint>

#include "harness.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    kivsdk::fuzz::Session session;
    kivsdk::fuzz::RecordingTable::Socket& universe = session.open_universe();
    session.register_universe_requests();
    session.deliver_frames(universe, data, size);
    return 0;
}
