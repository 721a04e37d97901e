#include "wire/ring_buffer.h"

#include <algorithm>
#include <cstring>

namespace kivsdk {

RingBuffer::RingBuffer(unsigned char* storage, std::int32_t capacity) noexcept
    : storage_(storage), capacity_(capacity), writable_run_(capacity) {}

std::int32_t RingBuffer::write(const unsigned char* source, std::int32_t n) noexcept {
    std::int32_t stored = 0;
    for (int piece = 0; piece < 2 && stored < n && writable_run_ > 0; ++piece) {
        const std::int32_t size = std::min(n - stored, writable_run_);
        std::memcpy(storage_ + write_position_, source + stored, static_cast<std::size_t>(size));
        write_position_ += size;
        count_ += size;
        stored += size;
        update_runs();
    }
    return stored;
}

std::int32_t RingBuffer::read(unsigned char* destination, std::int32_t n) noexcept {
    const std::int32_t size = std::min(n, readable_run_);
    if (size <= 0) return 0;
    std::memcpy(destination, storage_ + read_position_, static_cast<std::size_t>(size));
    consume(size);
    return size;
}

void RingBuffer::consume_and_wrap(std::int32_t n) noexcept {
    const std::int32_t size = std::min(n, readable_run_);
    if (size <= 0) return;
    read_position_ += size;
    count_ -= size;
    update_runs();
}

void RingBuffer::commit(std::int32_t n) noexcept {
    const std::int32_t size = std::min(n, writable_run_);
    if (size <= 0) return;
    write_position_ += size;
    count_ += size;
    update_runs();
}

void RingBuffer::update_runs() noexcept {
    if (write_position_ == capacity_) write_position_ = 0;
    if (read_position_ == capacity_) read_position_ = 0;
    if (write_position_ == read_position_) {
        if (count_ > 0) {
            readable_run_ = capacity_ - read_position_;
            writable_run_ = 0;
        } else {
            readable_run_ = 0;
            writable_run_ = capacity_ - write_position_;
        }
    } else if (write_position_ > read_position_) {
        readable_run_ = write_position_ - read_position_;
        writable_run_ = capacity_ - write_position_;
    } else {
        readable_run_ = capacity_ - read_position_;
        writable_run_ = read_position_ - write_position_;
    }
}

}  // namespace kivsdk
