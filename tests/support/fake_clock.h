// A substituted library clock for tests: time moves only when a test says so.
#pragma once

#include <cstdint>

namespace kivsdk::test {

class FakeClock {
public:
    explicit FakeClock(std::int64_t start = 1000);
    ~FakeClock();
    FakeClock(const FakeClock&) = delete;
    FakeClock& operator=(const FakeClock&) = delete;

    void advance(std::int64_t seconds);
    void set(std::int64_t now);
    std::int64_t now() const;
    // Every read of the library's clock moves it on by `seconds`: time limits
    // of real loopback waits pass after a bounded number of reads.
    void advance_on_each_read(std::int64_t seconds);
};

}  // namespace kivsdk::test
