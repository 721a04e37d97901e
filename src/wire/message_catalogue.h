// The message catalogue: for each protocol, direction and type, the
// message's name and its fields with their encodings. It is the one written
// description of the protocol that decoders, the sandbox and the tests read;
// the sessions' readers and writers are checked against it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace kivsdk {
class PacketReader;
}  // namespace kivsdk

namespace kivsdk::wire {

enum class Protocol : std::uint8_t { kUniverse = 0, kWorld = 1 };
enum class Direction : std::uint8_t { kToServer = 0, kFromServer = 1 };

enum class Encoding : std::uint8_t {
    kByte,
    kUint16,
    kInt32,
    kFloat,
    kDouble,
    kString,  // 1-byte length, then at most 255 bytes
    kBlob16,  // 2-byte length, then the bytes
    kRaw,     // a fixed number of bytes (FieldSpec::size)
    kRest,    // everything up to the frame's end (fields that depend on context)
};

struct FieldSpec {
    const char* name;
    Encoding encoding;
    std::uint16_t size;  // for kRaw
};

struct MessageSpec {
    Protocol protocol;
    Direction direction;
    std::uint8_t type;
    const char* name;
    const FieldSpec* fields;
    std::size_t field_count;
};

// Every message of both protocols, both directions.
const MessageSpec* catalogue_begin() noexcept;
const MessageSpec* catalogue_end() noexcept;

// The message of that protocol, direction and type; null when unknown.
const MessageSpec* find_message(Protocol protocol, Direction direction, std::uint8_t type) noexcept;

// How a body (type byte first) matches its catalogue entry.
enum class Fit {
    kExact,    // every field present, nothing left over
    kShort,    // ends before its last field (a field cut inside or missing)
    kLong,     // bytes left over after the last field
    kUnknown,  // no such message, or no type byte
};

// One field's value as read: a number, or bytes (views of the body's own).
struct FieldValue {
    std::int64_t integer = 0;  // kByte, kUint16, kInt32
    double real = 0;           // kFloat, kDouble
    std::string_view bytes;    // kString, kBlob16, kRaw, kRest
};
// Reads the next field as the catalogue describes it; false when the body
// ends inside it.
bool read_field(const FieldSpec& field, PacketReader& body, FieldValue& value) noexcept;

// Reads a body field by field against the catalogue and writes a one-line
// description ("chat name=\"Ann\" text=\"hi\" session=4"), stopping at the
// first field that is cut. Strings are shown with non-printable bytes
// escaped; blobs and raw fields as their length.
Fit describe(Protocol protocol, Direction direction, const unsigned char* body, std::size_t size,
             std::string& text);

}  // namespace kivsdk::wire
