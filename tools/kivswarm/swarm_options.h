// Command line of kivswarm: where the universe is, how many bots, how fast
// they come, what they do once in, what to report and when to fail.
#pragma once

#include <optional>
#include <string>
#include <vector>

namespace kivsdk::tools::swarm {

// Exit codes of kivswarm.
enum ExitCode : int {
    kExitOk = 0,
    kExitFailed = 1,      // a threshold was exceeded, or the run could not be made
    kExitBadCommand = 2,  // bad command line, or a report path that cannot be written
};

enum class PathShape { kCircle, kSquare };

struct Options {
    std::string host = "127.0.0.1";
    int port = 6670;
    std::vector<std::string> worlds;  // bot i enters worlds[i % size]; "lobby" when none given
    int bots = 50;
    double ramp = 20;      // bots started per second
    double duration = 60;  // seconds from the first connect to the end

    // What a bot does once in a world; 0 turns a behaviour off.
    double walk_hz = 1;
    PathShape path = PathShape::kCircle;
    double path_size = 10;  // radius of the circle, half the side of the square (m)
    double walk_speed = 2;  // m/s along the path
    double chat_every = 10;
    double build_every = 30;
    double query_every = 20;
    double reenter_every = 0;

    // 0: a pass whenever the loop has work (every readiness wakes the
    // process); N: one non-blocking pass every N ms, so that each pass reads
    // whatever arrived meanwhile, many frames at a time.
    int pass_every_ms = 0;

    std::string name_prefix = "swarm";
    std::string password;
    unsigned seed = 1;

    std::string json_path;
    std::string html_path;
    std::optional<double> max_p99_ms;
    std::optional<long> max_failures;
};

struct CommandLine {
    enum class Action { kRun, kHelp, kError } action = Action::kRun;
    Options options;
    std::string error;  // for kError
};

// The arguments after the program name.
CommandLine parse_command_line(const std::vector<std::string>& arguments);

std::string usage_text();

const char* path_name(PathShape shape);

}  // namespace kivsdk::tools::swarm
