// A traffic capture: every frame of an Instance, both sides and both
// directions, after TLS, with a monotonic timestamp, into a file of the
// versioned capture format (docs/capture-format.md). Credentials never reach
// the file: the strings of the universe login and the ticket and strings of
// the world login are replaced by markers of the same length.
#pragma once

#include <cstdint>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "api/side.h"
#include "wire/capture_file.h"

namespace kivsdk {

class Connection;
class Instance;

class Capture {
public:
    static constexpr std::int64_t kDefaultLimit = 64LL * 1024 * 1024;
    // Every masked credential byte.
    static constexpr unsigned char kMask = 'X';

    // Opens the file and writes its header; null when it cannot be written.
    static std::unique_ptr<Capture> open(const std::string& path, std::int64_t limit_bytes);
    ~Capture();
    Capture(const Capture&) = delete;
    Capture& operator=(const Capture&) = delete;

    // One frame body. Past the size limit the capture stops (the file keeps
    // what fit); false then.
    bool record(Side side, bool outgoing, const unsigned char* body, std::size_t size);
    // The end of a connect, of a handshake, or of the stream.
    bool record_event(Side side, wire::CaptureKind kind, const wire::ConnectionNote& note);
    bool full() const noexcept { return full_; }

    // Points a Connection's frame tap at this capture for a side, or off.
    static void tap(Connection& connection, Capture* capture, Side side) noexcept;

    // Takes an open file whose header is written.
    Capture(std::FILE* file, std::int64_t limit_bytes) noexcept;

    // What a Connection's tap hands back: the capture and the side.
    struct Tap {
        Capture* capture;
        Side side;
    };

private:
    bool write(Side side, wire::CaptureKind kind, const unsigned char* body, std::size_t size);

    std::FILE* file_;
    std::vector<unsigned char> record_;  // the record being written
    Tap universe_tap_;
    Tap world_tap_;
    std::int64_t limit_;
    std::int64_t written_ = 0;
    std::int64_t started_us_;
    bool full_ = false;
};

}  // namespace kivsdk
