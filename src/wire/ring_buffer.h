// RingBuffer: the fixed receive buffer of a Connection. Copies go in at most
// two contiguous pieces; the storage belongs to the caller and never moves.
#pragma once

#include <cstdint>

namespace kivsdk {

class RingBuffer {
public:
    RingBuffer(unsigned char* storage, std::int32_t capacity) noexcept;

    // Stores up to n bytes (in two pieces when the write position wraps);
    // bytes that do not fit are dropped. Returns the number stored.
    std::int32_t write(const unsigned char* source, std::int32_t n) noexcept;
    // Copies at most the readable run (never across the wrap point) and
    // returns the number copied.
    std::int32_t read(unsigned char* destination, std::int32_t n) noexcept;

    // The bytes at the read position up to the wrap point, without copying.
    const unsigned char* readable_data() const noexcept { return storage_ + read_position_; }
    std::int32_t readable_run() const noexcept { return readable_run_; }
    std::int32_t writable_run() const noexcept { return writable_run_; }
    // Drops n bytes (at most the readable run) from the read position.
    void consume(std::int32_t n) noexcept {
        // Once per received frame: the common case, where the read position
        // stays behind the write position, needs no wrap or full/empty check.
        if (n > 0 && n < readable_run_ && write_position_ > read_position_) {
            read_position_ += n;
            count_ -= n;
            readable_run_ -= n;
            return;
        }
        consume_and_wrap(n);
    }
    // Room at the write position up to the wrap point, for a source that
    // writes in place; commit() then counts what it wrote (at most the
    // writable run).
    unsigned char* writable_data() noexcept { return storage_ + write_position_; }
    void commit(std::int32_t n) noexcept;

    std::int32_t count() const noexcept { return count_; }
    std::int32_t capacity() const noexcept { return capacity_; }
    std::int32_t read_position() const noexcept { return read_position_; }
    std::int32_t write_position() const noexcept { return write_position_; }

private:
    void consume_and_wrap(std::int32_t n) noexcept;
    void update_runs() noexcept;

    unsigned char* storage_;
    std::int32_t capacity_;
    std::int32_t write_position_ = 0;
    std::int32_t read_position_ = 0;
    std::int32_t writable_run_;
    std::int32_t readable_run_ = 0;
    std::int32_t count_ = 0;
};

}  // namespace kivsdk
