// The capture file format (docs/capture-format.md): its header, its records
// and a reader over a whole file in memory. The library writes captures and
// replays them with it, and kivdump prints them with it; nothing else reads
// the format.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace kivsdk::wire {

// The version written; readers also take every older one.
constexpr std::uint16_t kCaptureVersion = 2;
constexpr std::uint16_t kCaptureOldestVersion = 1;
constexpr std::size_t kCaptureHeaderSize = 16;
constexpr std::size_t kCaptureRecordHeaderSize = 12;
// Header flag: credentials are masked (always set by the library).
constexpr std::uint16_t kCaptureCredentialsMasked = 1;
// The body of a connection record: status, detail, TLS result, verification flags.
constexpr std::size_t kConnectionNoteSize = 16;

// What a record holds. Frames in both versions; connection records from
// version 2 on.
enum class CaptureKind : std::uint8_t {
    kToServer = 0,    // a frame body the client sent
    kFromServer = 1,  // a frame body the client received
    kConnected = 2,   // the end of a connection attempt
    kSecured = 3,     // the end of a TLS handshake
    kReported = 4,    // a lost stream, or a stalled frame (status 16)
};
constexpr std::uint8_t kLastCaptureKind = static_cast<std::uint8_t>(CaptureKind::kReported);

inline bool is_frame(CaptureKind kind) noexcept {
    return kind == CaptureKind::kToServer || kind == CaptureKind::kFromServer;
}
const char* capture_kind_name(CaptureKind kind) noexcept;

// Why a connection record was written: the status the Connection's owner
// was given (a connect or handshake status, or a loss reason) and what the
// Connection knew of the failure.
struct ConnectionNote {
    std::int32_t status = 0;
    std::int32_t detail = 0;
    std::int32_t tls_result = 0;
    std::uint32_t verify_flags = 0;
};
void encode_connection_note(const ConnectionNote& note, unsigned char out[kConnectionNoteSize]);
// False for a body of another size.
bool decode_connection_note(const std::vector<unsigned char>& body, ConnectionNote& note);

void encode_capture_header(unsigned char out[kCaptureHeaderSize]);
void encode_record_header(unsigned char out[kCaptureRecordHeaderSize], std::uint64_t time_us,
                          std::uint8_t side, CaptureKind kind, std::uint16_t size);

struct CaptureRecord {
    std::uint64_t time_us = 0;  // since the capture started
    std::uint8_t side = 0;      // 0 universe, 1 world
    CaptureKind kind = CaptureKind::kToServer;
    std::vector<unsigned char> body;  // a frame: its type byte first
};

// Reads a capture held in memory, record by record. Every length is
// checked against what is there; a fault stops the reading and says where.
class CaptureParser {
public:
    CaptureParser(const unsigned char* data, std::size_t size) noexcept
        : data_(data), size_(size) {}

    // Checks the header; false with error() set when it is not a capture
    // of a known version.
    bool read_header();
    std::uint16_t version() const noexcept { return version_; }
    std::uint16_t flags() const noexcept { return flags_; }
    // The next record: false at the clean end, or at a fault (error() says
    // which; empty at the clean end).
    bool next(CaptureRecord& record);
    const std::string& error() const noexcept { return error_; }

private:
    const unsigned char* data_;
    std::size_t size_;
    std::size_t offset_ = 0;
    std::uint16_t version_ = 0;
    std::uint16_t flags_ = 0;
    std::string error_;
};

}  // namespace kivsdk::wire
