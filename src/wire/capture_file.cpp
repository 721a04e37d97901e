#include "wire/capture_file.h"

#include <cstring>
#include <string_view>

#include "wire/byte_order.h"

namespace kivsdk::wire {
namespace {

constexpr unsigned char kMagic[6] = {'K', 'I', 'V', 'C', 'A', 'P'};

}  // namespace

const char* capture_kind_name(CaptureKind kind) noexcept {
    switch (kind) {
        case CaptureKind::kToServer: return "to_server";
        case CaptureKind::kFromServer: return "from_server";
        case CaptureKind::kConnected: return "connected";
        case CaptureKind::kSecured: return "secured";
        case CaptureKind::kReported: return "reported";
    }
    return "unknown";
}

void encode_connection_note(const ConnectionNote& note, unsigned char out[kConnectionNoteSize]) {
    store_u32(out, static_cast<std::uint32_t>(note.status));
    store_u32(out + 4, static_cast<std::uint32_t>(note.detail));
    store_u32(out + 8, static_cast<std::uint32_t>(note.tls_result));
    store_u32(out + 12, note.verify_flags);
}

bool decode_connection_note(const std::vector<unsigned char>& body, ConnectionNote& note) {
    if (body.size() != kConnectionNoteSize) return false;
    note.status = static_cast<std::int32_t>(load_u32(body.data()));
    note.detail = static_cast<std::int32_t>(load_u32(body.data() + 4));
    note.tls_result = static_cast<std::int32_t>(load_u32(body.data() + 8));
    note.verify_flags = load_u32(body.data() + 12);
    return true;
}

void encode_capture_header(unsigned char out[kCaptureHeaderSize]) {
    std::memset(out, 0, kCaptureHeaderSize);
    std::memcpy(out, kMagic, sizeof kMagic);
    store_u16(out + 6, kCaptureVersion);
    store_u16(out + 8, kCaptureCredentialsMasked);
}

void encode_record_header(unsigned char out[kCaptureRecordHeaderSize], std::uint64_t time_us,
                          std::uint8_t side, CaptureKind kind, std::uint16_t size) {
    store_u64(out, time_us);
    out[8] = side;
    out[9] = static_cast<unsigned char>(kind);
    store_u16(out + 10, size);
}

bool CaptureParser::read_header() {
    if (size_ < sizeof kMagic || std::memcmp(data_, kMagic, sizeof kMagic) != 0) {
        error_ = "not a capture file (no KIVCAP at its start)";
        return false;
    }
    if (size_ < kCaptureHeaderSize) {
        error_ = "truncated header: " + std::to_string(size_) + " of " +
                 std::to_string(kCaptureHeaderSize) + " bytes";
        return false;
    }
    version_ = load_u16(data_ + 6);
    if (version_ < kCaptureOldestVersion || version_ > kCaptureVersion) {
        error_ = "unknown capture format version " + std::to_string(version_) +
                 " (this reader reads versions " + std::to_string(kCaptureOldestVersion) + " to " +
                 std::to_string(kCaptureVersion) + ")";
        return false;
    }
    flags_ = load_u16(data_ + 8);
    offset_ = kCaptureHeaderSize;
    return true;
}

bool CaptureParser::next(CaptureRecord& record) {
    if (!error_.empty() || offset_ < kCaptureHeaderSize || offset_ >= size_) return false;
    const std::string where = "record at byte " + std::to_string(offset_);
    const std::size_t left = size_ - offset_;
    if (left < kCaptureRecordHeaderSize) {
        error_ = "truncated " + where + ": " + std::to_string(left) + " of " +
                 std::to_string(kCaptureRecordHeaderSize) + " header bytes";
        return false;
    }
    const unsigned char* head = data_ + offset_;
    const std::uint8_t kind = head[9];
    // Version 1 knew frames only.
    const std::uint8_t last_kind = version_ == 1 ? 1 : kLastCaptureKind;
    if (head[8] > 1) {
        error_ = where + " names side " + std::to_string(head[8]);
        return false;
    }
    if (kind > last_kind) {
        error_ = where + " names direction " + std::to_string(kind);
        return false;
    }
    const std::size_t size = load_u16(head + 10);
    if (left - kCaptureRecordHeaderSize < size) {
        error_ = "truncated " + where + ": " + std::to_string(left - kCaptureRecordHeaderSize) +
                 " of " + std::to_string(size) + " body bytes";
        return false;
    }
    record.kind = static_cast<CaptureKind>(kind);
    if (!is_frame(record.kind) && size != kConnectionNoteSize) {
        error_ = where + " is a connection record of " + std::to_string(size) + " bytes, not " +
                 std::to_string(kConnectionNoteSize);
        return false;
    }
    record.time_us = load_u64(head);
    record.side = head[8];
    const unsigned char* body = head + kCaptureRecordHeaderSize;
    record.body.assign(body, body + size);
    offset_ += kCaptureRecordHeaderSize + size;
    return true;
}

}  // namespace kivsdk::wire
