// Shared pieces of the fuzz targets: an Instance over the recording socket
// table whose every event and callback handler reads every attribute, with
// universe and world Connections up and requests of every kind waiting for
// their answers.
#pragma once

#include <cstddef>
#include <cstdint>

#include "api/instance.h"
#include "kivsdk.h"
#include "support/fake_clock.h"
#include "support/recording_table.h"

// The entry point every fuzz target defines; libFuzzer or the replay driver
// calls it once per input.
extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size);

namespace kivsdk::fuzz {

using test::Bytes;
using test::RecordingTable;

// Reads every int, float, string and data attribute, touching each byte, so
// that a dangling or short attribute shows up under the sanitizers.
void read_every_attribute(KIVInstance* handle);

class Session {
public:
    Session();
    ~Session();
    Session(const Session&) = delete;
    Session& operator=(const Session&) = delete;

    KIVInstance* handle() const noexcept { return handle_; }
    Instance& instance() const noexcept { return *Instance::from_handle(handle_); }
    RecordingTable& net() noexcept { return net_; }
    test::FakeClock& clock() noexcept { return clock_; }

    // A universe Connection whose TCP connection is up and whose secure
    // channel counts as established.
    RecordingTable::Socket& open_universe();
    // A world entered the way a host does it: kiv_enter, the universe's
    // reply, the TCP connection, the world's acceptance. Needs the universe.
    RecordingTable::Socket& enter_world();

    // One request of every kind that the universe's transaction result
    // answers, with reference numbers from 0 on. Returns how many.
    int register_universe_requests();
    // Same for the world's transaction result.
    int register_world_requests();

    // Cuts input into frames (a 2-byte big-endian length, then that many
    // bytes, the last one cut to what is left) and delivers them through the
    // socket's Connection in one burst.
    void deliver_frames(RecordingTable::Socket& socket, const std::uint8_t* data, std::size_t size);

private:
    test::FakeClock clock_{100000};
    RecordingTable net_;
    KIVInstance* handle_ = nullptr;
};

// Frames with clamped lengths, as deliver_frames builds them.
Bytes frames_from_input(const std::uint8_t* data, std::size_t size);

}  // namespace kivsdk::fuzz
