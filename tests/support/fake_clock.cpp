#include "support/fake_clock.h"

#include <atomic>

#include "base/clock.h"

namespace kivsdk::test {
namespace {

// Atomic: loopback tests read the library's clock on the test thread while a
// server thread may move it.
std::atomic<std::int64_t> fake_now{0};
std::atomic<std::int64_t> step_per_read{0};

std::int64_t read_fake_clock() { return fake_now.fetch_add(step_per_read.load()); }

}  // namespace

FakeClock::FakeClock(std::int64_t start) {
    fake_now = start;
    step_per_read = 0;
    set_clock_for_testing(&read_fake_clock);
}

FakeClock::~FakeClock() {
    set_clock_for_testing(nullptr);
    step_per_read = 0;
}

void FakeClock::advance(std::int64_t seconds) { fake_now += seconds; }
void FakeClock::set(std::int64_t now) { fake_now = now; }
std::int64_t FakeClock::now() const { return fake_now.load(); }
void FakeClock::advance_on_each_read(std::int64_t seconds) { step_per_read = seconds; }

}  // namespace kivsdk::test
