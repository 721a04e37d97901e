#include "wire/packet_reader.h"

#include <cstring>

namespace kivsdk {

bool PacketReader::read_raw(void* destination, std::size_t size) noexcept {
    if (remaining() < size) return false;
    if (size > 0) std::memcpy(destination, position_, size);
    position_ += size;
    return true;
}

bool PacketReader::read_string(std::string& value) {
    std::string_view text;
    if (!read_string(text)) return false;
    value.assign(text.data(), text.size());
    return true;
}

bool PacketReader::read_blob16(std::string& value) {
    std::string_view bytes;
    if (!read_blob16(bytes)) return false;
    value.assign(bytes.data(), bytes.size());
    return true;
}

}  // namespace kivsdk
