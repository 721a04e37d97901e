// The output queue of a Connection: frames copied into 1024-byte chunks and
// sent strictly in order.
#pragma once

#include <cstddef>
#include <cstdint>
#include <iterator>
#include <list>

namespace kivsdk {

class OutputQueue {
public:
    static constexpr std::int32_t kChunkSize = 1024;

    struct Chunk {
        std::int32_t consumed = 0;
        std::int32_t filled = 0;
        unsigned char data[kChunkSize];
    };

    // Fills the last chunk's free space first, then appends new chunks.
    void append(const unsigned char* bytes, std::size_t n);
    // Copies up to m queued bytes from the front without removing them.
    std::size_t peek(unsigned char* destination, std::size_t m) const noexcept;
    // Up to m queued bytes from the front as one run, without removing them:
    // the front chunk's own bytes when it holds all of them (a lone frame is
    // sent without a copy), otherwise copied into `scratch` (m bytes long).
    // `count` is the run's length; 0 when the queue is empty.
    const unsigned char* front(unsigned char* scratch, std::size_t m,
                               std::size_t& count) const noexcept;
    // Removes k bytes from the front.
    void consume(std::size_t k) noexcept;

    bool empty() const noexcept { return chunks_.empty(); }
    std::size_t chunk_count() const noexcept { return chunks_.size(); }
    const Chunk& chunk(std::size_t index) const noexcept {
        return *std::next(chunks_.begin(), static_cast<std::ptrdiff_t>(index));
    }
    // Bytes queued and not yet consumed.
    std::size_t size() const noexcept { return bytes_; }

private:
    // A list holds no memory while empty (a deque keeps a chunk even then),
    // and an idle Connection's queue is empty.
    std::list<Chunk> chunks_;
    std::size_t bytes_ = 0;
};

}  // namespace kivsdk
