// Reading traffic captures (the files kiv_capture_start writes, described in
// docs/capture-format.md) and printing their records as decoded messages.
// Every message is decoded through the message catalogue.
#pragma once

#include <cstdint>
#include <istream>
#include <ostream>
#include <stdexcept>
#include <string>
#include <vector>

namespace kivsdk::tools {

// The one format version this reader knows.
constexpr std::uint16_t kCaptureVersion = 1;
constexpr std::size_t kCaptureHeaderSize = 16;
constexpr std::size_t kCaptureRecordHeaderSize = 12;

// A file that is not a capture this reader can read; what() says why.
class CaptureError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

struct CaptureRecord {
    std::uint64_t time_us = 0;   // since the capture started
    std::uint8_t side = 0;       // 0 universe, 1 world
    std::uint8_t direction = 0;  // 0 client to server, 1 server to client
    std::vector<unsigned char> body;  // type byte first
};

// Reads a capture record by record from a binary stream.
class CaptureReader {
public:
    // Reads and checks the header; throws CaptureError.
    explicit CaptureReader(std::istream& in);
    std::uint16_t flags() const noexcept { return flags_; }
    // The next record: false at the file's clean end; throws CaptureError on
    // a truncated record or an unknown side or direction.
    bool next(CaptureRecord& record);

private:
    std::istream& in_;
    std::uint16_t flags_ = 0;
    std::uint64_t offset_ = kCaptureHeaderSize;
};

// One line per record, without the line end.
//   text: "0.001250 universe → login version=1 name=\"XXX\" ..."
//   JSON: {"time_us":1250,"side":"universe","direction":"to_server","type":1,
//          "name":"login","fields":{"version":1,...},"fit":"exact"}
std::string format_text(const CaptureRecord& record);
std::string format_json(const CaptureRecord& record);

// The whole program: kivdump [--json] [--side universe|world] [--type N]... FILE.
// Returns the exit code: 0, or 2 for a bad command line or a bad file.
int run(const std::vector<std::string>& arguments, std::ostream& out, std::ostream& err);

}  // namespace kivsdk::tools
