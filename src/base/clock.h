// The library's one clock: whole seconds of a monotonic clock.
#pragma once

#include <cstdint>

namespace kivsdk {

// Whole seconds from an arbitrary origin; never steps backwards.
std::int64_t now_seconds();
// The same clock in microseconds, for measuring round trips and handshakes.
// With a test clock set it follows that clock's seconds.
std::int64_t now_microseconds();

// Tests replace the clock so time-dependent behaviour runs without sleeping.
// A null function restores the real clock.
using ClockFunction = std::int64_t (*)();
void set_clock_for_testing(ClockFunction clock);

}  // namespace kivsdk
