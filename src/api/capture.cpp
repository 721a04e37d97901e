#include "api/capture.h"

#include <cstring>
#include <vector>

#include "api/instance.h"
#include "base/clock.h"
#include "connection/connection.h"
#include "wire/byte_order.h"
#include "wire/capture_file.h"
#include "wire/field_cursor.h"
#include "wire/packet_reader.h"
#include "wire/universe_messages.h"
#include "wire/world_messages.h"

namespace kivsdk {
namespace {

constexpr std::size_t kTicketSize = 32;

// Replaces the bytes of the next `count` STRING fields (their lengths stay).
void mask_strings(std::vector<unsigned char>& body, std::size_t offset, int count) {
    for (int field = 0; field < count && offset < body.size(); ++field) {
        const std::size_t length = body[offset];
        const std::size_t end = std::min(body.size(), offset + 1 + length);
        std::memset(body.data() + offset + 1, Capture::kMask, end - (offset + 1));
        offset = end;
    }
}

// Masks `count` bytes from `offset` on, as far as the body goes.
void mask_bytes(std::vector<unsigned char>& body, std::size_t offset, std::size_t count) {
    if (offset >= body.size()) return;
    std::memset(body.data() + offset, Capture::kMask, std::min(count, body.size() - offset));
}

// The bodies that carry credentials, with them masked: the universe login
// (its version byte, then name, password, third string and string
// attributes 19 and 20), the world entry reply (its result byte, then the
// ticket) and the world login (the ticket, then strings 19 and 20).
bool carries_credentials(Side side, bool outgoing, const unsigned char* body, std::size_t size) {
    if (size < 1) return false;
    if (!outgoing) return side == Side::kUniverse && body[0] == universe_message::kWorldEntry;
    return side == Side::kUniverse ? body[0] == universe_message::kLogin
                                   : body[0] == world_message::kLogin;
}

std::vector<unsigned char> masked(Side side, bool outgoing, const unsigned char* body,
                                  std::size_t size) {
    std::vector<unsigned char> copy(body, body + size);
    if (!outgoing) {
        mask_bytes(copy, 2, kTicketSize);
    } else if (side == Side::kUniverse) {
        mask_strings(copy, 2, 5);  // type, version byte, then five strings
    } else {
        mask_bytes(copy, 1, kTicketSize);
        mask_strings(copy, 1 + kTicketSize, 2);
    }
    return copy;
}

void on_frame(void* context, bool outgoing, const unsigned char* body, std::size_t size) {
    auto* tap = static_cast<Capture::Tap*>(context);
    tap->capture->record(tap->side, outgoing, body, size);
}

void on_event(void* context, ConnectionEvent event, int status, const FailureNote& note) {
    auto* tap = static_cast<Capture::Tap*>(context);
    wire::CaptureKind kind = wire::CaptureKind::kReported;
    if (event == ConnectionEvent::kConnected) kind = wire::CaptureKind::kConnected;
    if (event == ConnectionEvent::kSecured) kind = wire::CaptureKind::kSecured;
    const wire::ConnectionNote recorded{status, note.detail, note.tls_result, note.verify_flags};
    tap->capture->record_event(tap->side, kind, recorded);
}

}  // namespace

std::unique_ptr<Capture> Capture::open(const std::string& path, std::int64_t limit_bytes) {
    std::FILE* file = std::fopen(path.c_str(), "wb");
    if (file == nullptr) return nullptr;
    unsigned char header[wire::kCaptureHeaderSize];
    wire::encode_capture_header(header);
    if (std::fwrite(header, 1, sizeof header, file) != sizeof header) {
        std::fclose(file);
        return nullptr;
    }
    auto capture = std::make_unique<Capture>(file, limit_bytes);
    capture->written_ = wire::kCaptureHeaderSize;
    return capture;
}

Capture::Capture(std::FILE* file, std::int64_t limit_bytes) noexcept
    : file_(file),
      universe_tap_{this, Side::kUniverse},
      world_tap_{this, Side::kWorld},
      limit_(limit_bytes),
      started_us_(now_microseconds()) {}

Capture::~Capture() {
    if (file_ != nullptr) std::fclose(file_);
}

bool Capture::record(Side side, bool outgoing, const unsigned char* body, std::size_t size) {
    std::vector<unsigned char> hidden;
    if (carries_credentials(side, outgoing, body, size)) {
        hidden = masked(side, outgoing, body, size);
        body = hidden.data();
    }
    return write(side, outgoing ? wire::CaptureKind::kToServer : wire::CaptureKind::kFromServer,
                 body, size);
}

bool Capture::record_event(Side side, wire::CaptureKind kind, const wire::ConnectionNote& note) {
    unsigned char body[wire::kConnectionNoteSize];
    wire::encode_connection_note(note, body);
    return write(side, kind, body, sizeof body);
}

bool Capture::write(Side side, wire::CaptureKind kind, const unsigned char* body,
                    std::size_t size) {
    if (full_ || file_ == nullptr) return false;
    const std::int64_t needed = static_cast<std::int64_t>(wire::kCaptureRecordHeaderSize + size);
    if (written_ + needed > limit_) {
        full_ = true;
        std::fflush(file_);
        return false;
    }
    // One write per record: its header and body together.
    record_.resize(wire::kCaptureRecordHeaderSize + size);
    wire::encode_record_header(
        record_.data(), static_cast<std::uint64_t>(now_microseconds() - started_us_),
        side == Side::kUniverse ? 0 : 1, kind, static_cast<std::uint16_t>(size));
    if (size > 0) std::memcpy(record_.data() + wire::kCaptureRecordHeaderSize, body, size);
    std::fwrite(record_.data(), 1, record_.size(), file_);
    written_ += needed;
    return true;
}

void Capture::tap(Connection& connection, Capture* capture, Side side) noexcept {
    if (capture == nullptr) {
        connection.set_tap(ConnectionTap{});
        return;
    }
    ConnectionTap tap;
    tap.frame = &on_frame;
    tap.event = &on_event;
    tap.context = side == Side::kUniverse ? &capture->universe_tap_ : &capture->world_tap_;
    connection.set_tap(tap);
}

}  // namespace kivsdk
