#include "swarm_options.h"

#include <cerrno>
#include <cmath>
#include <cstdlib>

namespace kivsdk::tools::swarm {
namespace {

// A decimal number in [low, high] and nothing else.
bool parse_real(const std::string& text, double low, double high, double& value) {
    if (text.empty() || text.front() == ' ' || text.front() == '\t') return false;
    char* end = nullptr;
    errno = 0;
    const double parsed = std::strtod(text.c_str(), &end);
    if (errno != 0 || end != text.c_str() + text.size() || !std::isfinite(parsed)) return false;
    if (parsed < low || parsed > high) return false;
    value = parsed;
    return true;
}

bool parse_whole(const std::string& text, long low, long high, long& value) {
    if (text.empty() || (text.front() != '-' && (text.front() < '0' || text.front() > '9')))
        return false;
    char* end = nullptr;
    errno = 0;
    const long parsed = std::strtol(text.c_str(), &end, 10);
    if (errno != 0 || end != text.c_str() + text.size()) return false;
    if (parsed < low || parsed > high) return false;
    value = parsed;
    return true;
}

constexpr double kWeek = 7 * 86400.0;

}  // namespace

const char* path_name(PathShape shape) { return shape == PathShape::kCircle ? "circle" : "square"; }

std::string usage_text() {
    return R"(Usage: kivswarm [options]

Runs many bots from one process, on one thread, through the library's
shared loop, against a universe server and its worlds; measures round trips,
events, CPU and memory; prints a table and optionally writes a JSON report
and a self-contained HTML page. Linux only (epoll, getrusage, /proc).

Where:
  --host HOST             universe server address (default 127.0.0.1)
  --port PORT             universe server port (default 6670)
  --world NAME            a world to enter; repeatable: bot i enters the
                          (i mod count)-th one (default: lobby)
  --name PREFIX           bots log in as PREFIX0, PREFIX1, ... (default swarm)
  --password TEXT         password of every login (default: empty)

How many and how long:
  --bots N                number of bots (default 50)
  --ramp R                bots started per second; connects are spaced 1/R s
                          apart, which keeps under a server's join throttle
                          (default 20; fractions allowed)
  --duration SECONDS      length of the run from the first connect, ramp
                          included (default 60; fractions allowed)

What a bot does once in (0 turns a behaviour off; first times are spread
at random over one period, --seed fixes them):
  --walk-hz HZ            state changes per second while walking along its
                          path (default 1)
  --path circle|square    the path's shape (default circle); every bot has a
                          path of its own, laid out on a grid
  --path-size METRES      radius of the circle, half the side of the square
                          (default 10)
  --walk-speed M/S        speed along the path (default 2)
  --chat-every SECONDS    say a line (default 10); another bot of the same
                          world, chosen at random, times its arrival
  --build-every SECONDS   add an object, a third of the period later move
                          it, a third later delete it (default 30)
  --query-every SECONDS   query the cell the bot stands in (default 20)
  --reenter-every SECONDS leave the world and enter it again (default 0)
  --seed N                seed of the random choices (default 1)

How the process runs its bots:
  --pass-every MS         one non-blocking pass of the shared loop every MS
                          milliseconds instead of a pass at every readiness
                          (default 0: at every readiness). Each pass then
                          reads many frames at once: far less CPU under a
                          busy world, at the price of up to MS ms of lag

Reports:
  --json PATH             write the report as JSON: totals, round-trip
                          percentiles per kind, events/s, bots online,
                          failures, CPU and memory, one sample per second
  --html PATH             write the report as one HTML page with inline SVG
                          plots (round trips, events/s, bots online, memory);
                          it fetches nothing
  --max-p99-ms MS         fail when the p99 of any kind of round trip
                          exceeds MS milliseconds
  --max-failures N        fail when more than N failures happened (bots that
                          could not get in or lost a connection, requests
                          refused or answered with an error)
  --help                  show this text

Round trips measured: connect (to the secure channel), login, enter,
reenter, chat (said by one bot, heard by another), object add, change and
delete (request to callback), cell query (request to the cell's end).
Events counted: every event and callback delivered to a bot.

On a terminal, a progress line is redrawn once a second: bots in,
connecting and failed, events/s, round-trip p50 and p99 of the last second,
CPU and memory. The soft limit of open files is raised to the hard limit at
start (two connections per bot). SIGINT or SIGTERM ends the run early; the
report covers the time that ran.

Exit status: 0 the run ended within its thresholds; 1 a threshold was
exceeded (--max-p99-ms, --max-failures) or the run could not be made;
2 a bad command line or a report path that cannot be written.
)";
}

CommandLine parse_command_line(const std::vector<std::string>& arguments) {
    CommandLine line;
    Options& o = line.options;
    const auto error = [&](const std::string& text) {
        line.action = CommandLine::Action::kError;
        line.error = text;
        return line;
    };
    for (std::size_t i = 0; i < arguments.size(); ++i) {
        const std::string& name = arguments[i];
        if (name == "--help" || name == "-h") {
            line.action = CommandLine::Action::kHelp;
            return line;
        }
        if (name.rfind("--", 0) != 0) return error("unexpected argument " + name);
        if (i + 1 >= arguments.size()) return error(name + " needs a value (see --help)");
        const std::string& value = arguments[++i];
        const std::string bad = "bad " + name + ": " + value;
        long whole = 0;
        double real = 0;
        // A period in seconds, 0 for off.
        const auto period = [&](double& into) {
            if (!parse_real(value, 0, kWeek, real) || (real > 0 && real < 0.01)) return false;
            into = real;
            return true;
        };
        if (name == "--host") {
            if (value.empty()) return error(bad);
            o.host = value;
        } else if (name == "--port") {
            if (!parse_whole(value, 1, 65535, whole)) return error(bad);
            o.port = static_cast<int>(whole);
        } else if (name == "--world") {
            if (value.empty() || value.size() > 255) return error(bad);
            o.worlds.push_back(value);
        } else if (name == "--name") {
            if (value.empty() || value.size() > 200) return error(bad);
            o.name_prefix = value;
        } else if (name == "--password") {
            if (value.size() > 255) return error(bad);
            o.password = value;
        } else if (name == "--bots") {
            if (!parse_whole(value, 1, 100000, whole)) return error(bad);
            o.bots = static_cast<int>(whole);
        } else if (name == "--ramp") {
            if (!parse_real(value, 0.001, 100000, real)) return error(bad);
            o.ramp = real;
        } else if (name == "--duration") {
            if (!parse_real(value, 0.1, kWeek, real)) return error(bad);
            o.duration = real;
        } else if (name == "--walk-hz") {
            if (!parse_real(value, 0, 100, real)) return error(bad);
            o.walk_hz = real;
        } else if (name == "--path") {
            if (value == "circle")
                o.path = PathShape::kCircle;
            else if (value == "square")
                o.path = PathShape::kSquare;
            else
                return error(bad + " (circle or square)");
        } else if (name == "--path-size") {
            if (!parse_real(value, 0.1, 100000, real)) return error(bad);
            o.path_size = real;
        } else if (name == "--walk-speed") {
            if (!parse_real(value, 0, 1000, real)) return error(bad);
            o.walk_speed = real;
        } else if (name == "--chat-every") {
            if (!period(o.chat_every)) return error(bad);
        } else if (name == "--build-every") {
            if (!period(o.build_every)) return error(bad);
        } else if (name == "--query-every") {
            if (!period(o.query_every)) return error(bad);
        } else if (name == "--reenter-every") {
            if (!period(o.reenter_every)) return error(bad);
        } else if (name == "--seed") {
            if (!parse_whole(value, 0, 4294967295L, whole)) return error(bad);
            o.seed = static_cast<unsigned>(whole);
        } else if (name == "--json") {
            if (value.empty()) return error(bad);
            o.json_path = value;
        } else if (name == "--html") {
            if (value.empty()) return error(bad);
            o.html_path = value;
        } else if (name == "--pass-every") {
            if (!parse_whole(value, 0, 1000, whole)) return error(bad);
            o.pass_every_ms = static_cast<int>(whole);
        } else if (name == "--max-p99-ms") {
            if (!parse_real(value, 0, 1e9, real)) return error(bad);
            o.max_p99_ms = real;
        } else if (name == "--max-failures") {
            if (!parse_whole(value, 0, 1000000000L, whole)) return error(bad);
            o.max_failures = whole;
        } else {
            return error("unknown option " + name + " (see --help)");
        }
    }
    if (o.worlds.empty()) o.worlds.push_back("lobby");
    return line;
}

}  // namespace kivsdk::tools::swarm
