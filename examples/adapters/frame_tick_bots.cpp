// Bots served once per frame of a 60 Hz render loop
// (kivsdk/adapters/frame_tick.hpp): the farm of bots.h runs inside tick();
// the program never calls kiv_wait. Its loop wakes for every frame, as a
// game's does, so it counts no idle wakeups.
#include <thread>

#include "bots.h"
#include "kivsdk/adapters/frame_tick.hpp"

int main(int argc, char** argv) {
    examples::Farm farm(argc, argv, "framebot");

    // The host's glue: one tick a frame.
    kivsdk::adapters::FrameTick tick;
    if (!tick) return 1;
    farm.start(tick.table());

    const auto frame = std::chrono::microseconds(16667);
    auto next_frame = examples::Farm::Clock::now();
    long frames = 0;
    do {
        tick();
        ++frames;
        next_frame += frame;  // the frame's rendering would happen here
        std::this_thread::sleep_until(next_frame);
    } while (farm.after_wakeup());
    std::printf("%ld frames\n", frames);
    return farm.finish("a 60 Hz frame tick");
}
