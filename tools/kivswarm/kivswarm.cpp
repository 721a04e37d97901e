// kivswarm: many bots from one process on one thread, through the
// library's shared loop; see --help. Linux only.
#include <signal.h>
#include <unistd.h>

#include <csignal>
#include <iostream>
#include <string>
#include <vector>

#include "swarm_command.h"

namespace {

volatile std::sig_atomic_t g_stop = 0;

void request_stop(int) { g_stop = 1; }

}  // namespace

int main(int argc, char** argv) {
    // SIGINT and SIGTERM end the run early; the report covers what ran.
    struct sigaction action {};
    action.sa_handler = &request_stop;
    sigemptyset(&action.sa_mask);
    ::sigaction(SIGINT, &action, nullptr);
    ::sigaction(SIGTERM, &action, nullptr);

    std::vector<std::string> arguments(argv + 1, argv + argc);
    const bool terminal = ::isatty(STDOUT_FILENO) == 1;
    return kivsdk::tools::swarm::swarm_command(arguments, std::cout, std::cerr, terminal, &g_stop);
}
