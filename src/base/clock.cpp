#include "base/clock.h"

#include <chrono>

namespace kivsdk {
namespace {

std::int64_t monotonic_seconds() {
    // steady_clock is CLOCK_MONOTONIC on POSIX and QueryPerformanceCounter on
    // Windows: a wall-clock step can neither stall nor expire anything.
    const auto since_origin = std::chrono::steady_clock::now().time_since_epoch();
    return std::chrono::duration_cast<std::chrono::seconds>(since_origin).count();
}

ClockFunction current_clock = &monotonic_seconds;

}  // namespace

std::int64_t now_seconds() { return current_clock(); }

std::int64_t now_microseconds() {
    if (current_clock != &monotonic_seconds) return current_clock() * 1000000;
    const auto since_origin = std::chrono::steady_clock::now().time_since_epoch();
    return std::chrono::duration_cast<std::chrono::microseconds>(since_origin).count();
}

void set_clock_for_testing(ClockFunction clock) {
    current_clock = clock != nullptr ? clock : &monotonic_seconds;
}

}  // namespace kivsdk
