// Shared pieces of the benchmark program: timing, figures, the host's event
// handlers, loopback sockets and a world Connection attached by hand.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "kivsdk.h"

namespace kivsdk {
class Connection;
class Instance;
}  // namespace kivsdk

namespace kivsdk::bench {

double seconds_now();
double median(std::vector<double> values);

// One figure: "FIGURE <key> <value> <unit>" on standard output, which
// scripts/bench.sh collects into its table.
void figure(const std::string& key, double value, const char* unit);
// A line of context (machine, cipher suite, ...), shown as it is.
void note(const std::string& text);

// Resident memory of this process, in bytes.
double resident_bytes();

// Repetitions of a measurement, by default 5; "--reps N" changes it.
int repetitions();
void set_repetitions(int count);

// Event handlers that read every attribute their event is given (events 0,
// 2, 4 and 6), and the number of events they have seen.
void install_reading_handlers(KIVInstance* instance);
std::uint64_t events_seen();
void reset_events_seen();

// Blocking loopback TCP sockets (127.0.0.1) for senders, sinks and raw
// receivers. Each returns -1 on failure.
int listen_loopback(int& port);
int accept_within(int listener, int milliseconds);
int connect_loopback(int port);
void close_socket(int handle);
bool send_everything(int handle, const unsigned char* data, std::size_t size);

// A Connection made by hand on an Instance with the library's own sockets,
// connected to 127.0.0.1:port and switched to TLS when `tls`. As the world
// connection it hands frames to the world message dispatcher and trusts the
// world anchors; as the universe connection it only counts frames
// (frames_counted) and trusts the universe anchors.
enum class Side { kUniverse, kWorld };
struct Attached {
    bool connected = false;
    bool ready = false;  // connected, and the handshake done when TLS
    bool lost = false;
    int status = 0;
    double ready_at = 0;  // seconds_now() when ready
};
Attached& attach(Instance& instance, Side side, int port, bool tls);
std::uint64_t frames_counted();

// Runs kiv_wait(instance, step) until `done` or `limit` seconds pass; false
// on time-out.
bool wait_until(KIVInstance* instance, const std::function<bool()>& done, double limit,
                int step_milliseconds = 100);

}  // namespace kivsdk::bench
