// Frames on the server side. What a client sends is cut into bodies by the
// library's FrameReader over storage each client owns; replies are built
// whole, length first, by PacketWriter and queued as they are, so no body is
// ever framed a second time.
#pragma once

#include <cstdint>
#include <memory>
#include <vector>

#include "wire/frame_reader.h"

namespace kivsdk::server {

using Bytes = std::vector<unsigned char>;

// One client's input: a FrameReader over room for one largest frame plus one
// read, so that a read always finds room after the frames it completed have
// been taken.
class ClientInput {
public:
    static constexpr std::int32_t kReadRoom = 16384;
    static constexpr std::int32_t kStorage = FrameReader::kMinimumStorage + kReadRoom;

    ClientInput();
    ClientInput(const ClientInput&) = delete;
    ClientInput& operator=(const ClientInput&) = delete;

    FrameReader& frames() noexcept { return frames_; }
    const FrameReader& frames() const noexcept { return frames_; }

private:
    std::unique_ptr<unsigned char[]> storage_;
    FrameReader frames_;
};

}  // namespace kivsdk::server
