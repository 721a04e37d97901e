#include "connection/output_queue.h"

#include <algorithm>
#include <cstring>

namespace kivsdk {

void OutputQueue::append(const unsigned char* bytes, std::size_t n) {
    if (n == 0) return;
    bytes_ += n;
    if (!chunks_.empty()) {
        Chunk& last = chunks_.back();
        const std::size_t room = static_cast<std::size_t>(kChunkSize - last.filled);
        const std::size_t taken = std::min(room, n);
        std::memcpy(last.data + last.filled, bytes, taken);
        last.filled += static_cast<std::int32_t>(taken);
        bytes += taken;
        n -= taken;
    }
    while (n > 0) {
        Chunk& chunk = chunks_.emplace_back();
        const std::size_t taken = std::min<std::size_t>(kChunkSize, n);
        std::memcpy(chunk.data, bytes, taken);
        chunk.filled = static_cast<std::int32_t>(taken);
        bytes += taken;
        n -= taken;
    }
}

std::size_t OutputQueue::peek(unsigned char* destination, std::size_t m) const noexcept {
    std::size_t copied = 0;
    for (const Chunk& chunk : chunks_) {
        if (copied == m) break;
        const std::size_t unread = static_cast<std::size_t>(chunk.filled - chunk.consumed);
        const std::size_t taken = std::min(unread, m - copied);
        std::memcpy(destination + copied, chunk.data + chunk.consumed, taken);
        copied += taken;
    }
    return copied;
}

const unsigned char* OutputQueue::front(unsigned char* scratch, std::size_t m,
                                        std::size_t& count) const noexcept {
    count = std::min(m, bytes_);
    if (count == 0) return scratch;
    const Chunk& first = chunks_.front();
    if (static_cast<std::size_t>(first.filled - first.consumed) >= count) {
        return first.data + first.consumed;
    }
    count = peek(scratch, m);
    return scratch;
}

void OutputQueue::consume(std::size_t k) noexcept {
    bytes_ -= std::min(k, bytes_);
    while (!chunks_.empty()) {
        Chunk& first = chunks_.front();
        const std::size_t unread = static_cast<std::size_t>(first.filled - first.consumed);
        if (k < unread) {
            first.consumed += static_cast<std::int32_t>(k);
            return;
        }
        k -= unread;
        chunks_.pop_front();
    }
}

}  // namespace kivsdk
