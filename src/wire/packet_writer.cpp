#include "wire/packet_writer.h"

#include <algorithm>

#include "wire/byte_order.h"

namespace kivsdk {

PacketWriter::PacketWriter(std::size_t capacity_hint) {
    bytes_.reserve(capacity_hint + kFrameHeaderSize);
    bytes_.resize(kFrameHeaderSize, 0);  // place of the length field
}

void PacketWriter::append_byte(std::uint8_t value) { bytes_.push_back(value); }

void PacketWriter::append_uint16(std::uint16_t value) {
    unsigned char field[2];
    wire::store_u16(field, value);
    bytes_.insert(bytes_.end(), field, field + sizeof field);
}

void PacketWriter::append_int32(std::int32_t value) {
    append_uint32(static_cast<std::uint32_t>(value));
}

void PacketWriter::append_uint32(std::uint32_t value) {
    unsigned char field[4];
    wire::store_u32(field, value);
    bytes_.insert(bytes_.end(), field, field + sizeof field);
}

void PacketWriter::append_float(float value) { append_uint32(wire::float_bits(value)); }

void PacketWriter::append_double(double value) {
    unsigned char field[8];
    wire::store_u64(field, wire::double_bits(value));
    bytes_.insert(bytes_.end(), field, field + sizeof field);
}

void PacketWriter::append_string(std::string_view text) {
    const std::size_t size = std::min<std::size_t>(text.size(), 255);
    append_byte(static_cast<std::uint8_t>(size));
    append_raw(text.data(), size);
}

void PacketWriter::append_blob16(const void* data, std::size_t size) {
    const std::size_t kept = std::min<std::size_t>(size, 65535);
    append_uint16(static_cast<std::uint16_t>(kept));
    append_raw(data, kept);
}

void PacketWriter::append_raw(const void* data, std::size_t size) {
    if (size == 0) return;
    const auto* first = static_cast<const unsigned char*>(data);
    bytes_.insert(bytes_.end(), first, first + size);
}

PacketWriter::Frame PacketWriter::finish() noexcept {
    // An oversized body gets a saturated length; fits() is what callers check.
    const std::size_t body = std::min(body_size(), kMaxFrameBody);
    wire::store_frame_header(bytes_.data(), body);
    return Frame{bytes_.data(), bytes_.size()};
}

}  // namespace kivsdk
