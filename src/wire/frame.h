// Frames on the wire: a 2-byte big-endian length, then the body (type byte
// and fields). The one place that writes and reads the length header.
#pragma once

#include <cstddef>
#include <cstdint>

#include "wire/byte_order.h"

namespace kivsdk {

// The largest body (type byte and fields) the 16-bit length can express.
constexpr std::size_t kMaxFrameBody = 65535;
constexpr std::size_t kFrameHeaderSize = 2;

namespace wire {

// Writes the length header of a body of `body_size` bytes (at most
// kMaxFrameBody; callers refuse larger bodies before they get here).
inline void store_frame_header(unsigned char* header, std::size_t body_size) noexcept {
    store_u16(header, static_cast<std::uint16_t>(body_size));
}

inline std::uint16_t load_frame_header(const unsigned char* header) noexcept {
    return load_u16(header);
}

}  // namespace wire
}  // namespace kivsdk
