// Big-endian field encodings of the wire, independent of the host's order.
#pragma once

#include <cstdint>
#include <cstring>

namespace kivsdk::wire {

inline void store_u16(unsigned char* out, std::uint16_t value) noexcept {
    out[0] = static_cast<unsigned char>(value >> 8);
    out[1] = static_cast<unsigned char>(value);
}

inline void store_u32(unsigned char* out, std::uint32_t value) noexcept {
    out[0] = static_cast<unsigned char>(value >> 24);
    out[1] = static_cast<unsigned char>(value >> 16);
    out[2] = static_cast<unsigned char>(value >> 8);
    out[3] = static_cast<unsigned char>(value);
}

inline void store_u64(unsigned char* out, std::uint64_t value) noexcept {
    store_u32(out, static_cast<std::uint32_t>(value >> 32));
    store_u32(out + 4, static_cast<std::uint32_t>(value));
}

inline std::uint16_t load_u16(const unsigned char* in) noexcept {
    return static_cast<std::uint16_t>((in[0] << 8) | in[1]);
}

inline std::uint32_t load_u32(const unsigned char* in) noexcept {
    return (std::uint32_t{in[0]} << 24) | (std::uint32_t{in[1]} << 16) |
           (std::uint32_t{in[2]} << 8) | std::uint32_t{in[3]};
}

inline std::uint64_t load_u64(const unsigned char* in) noexcept {
    return (std::uint64_t{load_u32(in)} << 32) | load_u32(in + 4);
}

inline std::uint32_t float_bits(float value) noexcept {
    std::uint32_t bits;
    std::memcpy(&bits, &value, sizeof bits);
    return bits;
}

inline float float_from_bits(std::uint32_t bits) noexcept {
    float value;
    std::memcpy(&value, &bits, sizeof value);
    return value;
}

inline std::uint64_t double_bits(double value) noexcept {
    std::uint64_t bits;
    std::memcpy(&bits, &value, sizeof bits);
    return bits;
}

inline double double_from_bits(std::uint64_t bits) noexcept {
    double value;
    std::memcpy(&value, &bits, sizeof value);
    return value;
}

}  // namespace kivsdk::wire
