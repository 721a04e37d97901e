// Reading traffic captures (the files kiv_capture_start writes, described in
// docs/capture-format.md) and printing their records as decoded messages.
// Every message is decoded through the message catalogue.
#pragma once

#include <cstdint>
#include <ostream>
#include <string>
#include <string_view>
#include <vector>

#include "wire/capture_file.h"

namespace kivsdk::tools {

using wire::CaptureRecord;

// One line per record, without the line end.
//   text: "0.001250 universe → login version=1 name=\"XXX\" ..."
//         "0.000310 world    • connected status=0"
//   JSON: {"time_us":1250,"side":"universe","direction":"to_server","type":1,
//          "name":"login","fields":{"version":1,...},"fit":"exact"}
//         {"time_us":310,"side":"world","event":"connected","status":0,
//          "detail":0,"tls_result":0,"verify_flags":0}
std::string format_text(const CaptureRecord& record);
// The pieces of a line, for the other tools: seconds with six decimals, and
// bytes as a JSON string (printable ASCII as is, everything else escaped;
// bytes from 0x80 up as the code points U+0080..U+00FF).
std::string time_text(std::uint64_t time_us);
void append_json_string(std::string& out, std::string_view bytes);
std::string format_json(const CaptureRecord& record);

// The whole program: kivdump [--json] [--side universe|world] [--type N]... FILE.
// Returns the exit code: 0, or 2 for a bad command line or a bad file.
int run(const std::vector<std::string>& arguments, std::ostream& out, std::ostream& err);

}  // namespace kivsdk::tools
