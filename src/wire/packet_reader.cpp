#include "wire/packet_reader.h"

#include <cstring>

#include "wire/byte_order.h"

namespace kivsdk {

bool PacketReader::read_byte(std::uint8_t& value) noexcept {
    if (remaining() < 1) return false;
    value = *position_++;
    return true;
}

bool PacketReader::read_uint16(std::uint16_t& value) noexcept {
    if (remaining() < 2) return false;
    value = wire::load_u16(position_);
    position_ += 2;
    return true;
}

bool PacketReader::read_int32(std::int32_t& value) noexcept {
    if (remaining() < 4) return false;
    value = static_cast<std::int32_t>(wire::load_u32(position_));
    position_ += 4;
    return true;
}

bool PacketReader::read_float(double& value) noexcept {
    if (remaining() < 4) return false;
    value = static_cast<double>(wire::float_from_bits(wire::load_u32(position_)));
    position_ += 4;
    return true;
}

bool PacketReader::read_double(double& value) noexcept {
    if (remaining() < 8) return false;
    value = wire::double_from_bits(wire::load_u64(position_));
    position_ += 8;
    return true;
}

bool PacketReader::read_raw(void* destination, std::size_t size) noexcept {
    if (remaining() < size) return false;
    if (size > 0) std::memcpy(destination, position_, size);
    position_ += size;
    return true;
}

bool PacketReader::read_string(std::string& value) {
    std::uint8_t size = 0;
    if (!read_byte(size)) return false;
    if (remaining() < size) return false;
    value.assign(reinterpret_cast<const char*>(position_), size);
    position_ += size;
    return true;
}

bool PacketReader::read_blob16(std::string& value) {
    std::uint16_t size = 0;
    if (!read_uint16(size)) return false;
    if (remaining() < size) return false;
    value.assign(reinterpret_cast<const char*>(position_), size);
    position_ += size;
    return true;
}

}  // namespace kivsdk
