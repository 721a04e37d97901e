/*
 * kivsdk/adapters/frame_tick.hpp - Instances served once per rendered
 * frame, for game engines.
 *
 *   kivsdk::adapters::FrameTick tick;
 *   KIVInstance* bot = kiv_create(&tick.table());   // callback style
 *   kiv_connect_universe(bot, "127.0.0.1", 6670);
 *   // in the engine's frame update:
 *   tick();                                          // one pass, never blocks
 *
 * The Instances share one library loop (kiv_loop_create); each tick is one
 * non-blocking pass over all of them (kiv_loop_wait with 0 ms), delivering
 * what has arrived since the last frame. A pass is not cut short: it has no
 * time budget, so a frame that follows a burst of traffic takes as long as
 * delivering it does. Any platform. Destroy the Instances before the
 * FrameTick.
 */
#ifndef KIVSDK_ADAPTERS_FRAME_TICK_HPP
#define KIVSDK_ADAPTERS_FRAME_TICK_HPP

#include "kivsdk.h"

namespace kivsdk {
namespace adapters {

class FrameTick {
public:
    FrameTick() noexcept : loop_(kiv_loop_create()) {
        if (loop_ != nullptr) kiv_loop_table(loop_, &table_);
    }
    ~FrameTick() { kiv_loop_destroy(loop_); }
    FrameTick(const FrameTick&) = delete;
    FrameTick& operator=(const FrameTick&) = delete;

    // False when the loop could not be made.
    explicit operator bool() const noexcept { return loop_ != nullptr; }
    const KIVNetConfig& table() const noexcept { return table_; }
    KIVLoop* loop() const noexcept { return loop_; }

    // One pass for every Instance: what arrived since the last frame is
    // delivered to the handlers now. Returns kiv_loop_wait's code.
    int operator()() noexcept { return kiv_loop_wait(loop_, 0); }

private:
    KIVLoop* loop_;
    KIVNetConfig table_{};
};

}  // namespace adapters
}  // namespace kivsdk

#endif  // KIVSDK_ADAPTERS_FRAME_TICK_HPP
