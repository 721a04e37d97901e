// Capture files written record by record, for tests of what reads them.
#pragma once

#include <cstdint>
#include <fstream>
#include <string>
#include <vector>

#include "wire/capture_file.h"

namespace kivsdk::test {

class CaptureBuilder {
public:
    using Bytes = std::vector<unsigned char>;
    static constexpr unsigned char kUniverse = 0;
    static constexpr unsigned char kWorld = 1;

    CaptureBuilder() {
        bytes_.resize(wire::kCaptureHeaderSize);
        wire::encode_capture_header(bytes_.data());
    }
    CaptureBuilder& frame(std::uint64_t time_us, wire::CaptureKind kind, const Bytes& body,
                          unsigned char side = kUniverse) {
        unsigned char head[wire::kCaptureRecordHeaderSize];
        wire::encode_record_header(head, time_us, side, kind,
                                   static_cast<std::uint16_t>(body.size()));
        bytes_.insert(bytes_.end(), head, head + sizeof head);
        bytes_.insert(bytes_.end(), body.begin(), body.end());
        return *this;
    }
    CaptureBuilder& event(std::uint64_t time_us, wire::CaptureKind kind, int status, int detail = 0,
                          unsigned char side = kUniverse) {
        Bytes note(wire::kConnectionNoteSize);
        wire::encode_connection_note(wire::ConnectionNote{status, detail, 0, 0}, note.data());
        return frame(time_us, kind, note, side);
    }
    // The universe's opening: connected, the secure channel asked for and
    // granted, the handshake done.
    CaptureBuilder& opening() {
        return event(0, wire::CaptureKind::kConnected, 0)
            .frame(10, wire::CaptureKind::kToServer, {39})
            .frame(20, wire::CaptureKind::kFromServer, {39})
            .event(30, wire::CaptureKind::kSecured, 0);
    }
    // A login ("ann", masked strings) and its reply: accepted with value 7
    // and "welcome".
    CaptureBuilder& login(std::uint64_t reply_us = 50) {
        return frame(40, wire::CaptureKind::kToServer, {1, 1, 3, 'a', 'n', 'n', 0, 0, 0, 0})
            .frame(reply_us, wire::CaptureKind::kFromServer,
                   {1, 0, 0, 0, 0, 7, 7, 'w', 'e', 'l', 'c', 'o', 'm', 'e'});
    }
    void save(const std::string& path) const { save(path, bytes_); }
    static void save(const std::string& path, const Bytes& bytes) {
        std::ofstream out(path, std::ios::binary | std::ios::trunc);
        out.write(reinterpret_cast<const char*>(bytes.data()),
                  static_cast<std::streamsize>(bytes.size()));
    }
    const Bytes& bytes() const { return bytes_; }

private:
    Bytes bytes_;
};

}  // namespace kivsdk::test
