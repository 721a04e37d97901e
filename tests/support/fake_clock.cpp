#include "support/fake_clock.h"

#include "api/clock.h"

namespace kivsdk::test {
namespace {

std::int64_t fake_now = 0;
std::int64_t read_fake_clock() { return fake_now; }

}  // namespace

FakeClock::FakeClock(std::int64_t start) {
    fake_now = start;
    set_clock_for_testing(&read_fake_clock);
}

FakeClock::~FakeClock() { set_clock_for_testing(nullptr); }

void FakeClock::advance(std::int64_t seconds) { fake_now += seconds; }
void FakeClock::set(std::int64_t now) { fake_now = now; }
std::int64_t FakeClock::now() const { return fake_now; }

}  // namespace kivsdk::test
