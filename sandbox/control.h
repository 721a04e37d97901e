// The sandbox's runtime switches as lines of text, for tests of clients that
// must ride out faults. kivsandbox serves them on a loopback control port
// (--control-port): a test connects, writes one command per line and reads
// one answer line per command.
//
//   freeze SECONDS            stop serving clients (0 resumes; fractions allowed)
//   drop universe|all [reset] close the universe's or every client
//   drop world NAME [reset]   close the clients of one world
//   refuse-logins N RESULT    the next N logins get RESULT (1 refused, 2
//                             rejected, 3 denied); N 0 ends the refusals
//   remove-world NAME         drop its clients, close its port, unlist it
//   keepalive SECONDS         keep-alive after this much silence (0: none)
//
// Answers: "ok", "ok N" for drops (clients closed), or "error: TEXT".
#pragma once

#include <functional>
#include <map>
#include <string>

#include "core/server_loop.h"

namespace kivsdk::sandbox {

class Sandbox;

// Carries out one command line on `sandbox` (from the loop's thread) and
// returns its answer, without a newline.
std::string run_control_line(Sandbox& sandbox, const std::string& line);

// A loopback port on the loop whose connections send command lines; each
// line is answered with what `run` returns, plus a newline.
class ControlPort {
public:
    using Runner = std::function<std::string(const std::string& line)>;

    // Listens on 127.0.0.1 `port` (0: a free one). Throws std::runtime_error.
    ControlPort(server::ServerLoop& loop, Runner run, int port);
    ~ControlPort();
    ControlPort(const ControlPort&) = delete;
    ControlPort& operator=(const ControlPort&) = delete;

    int port() const noexcept { return port_; }

private:
    void accept_all();
    void read_from(int fd);
    void close_connection(int fd);

    server::ServerLoop& loop_;
    Runner run_;
    int listen_fd_ = -1;
    int port_ = 0;
    std::map<int, std::string> connections_;  // descriptor -> unfinished line
};

}  // namespace kivsdk::sandbox
