// kivsandbox: the sandbox universe and worlds as a program.
#include <csignal>
#include <cstdio>
#include <exception>
#include <string>
#include <vector>

#include "options.h"
#include "sandbox.h"

namespace {

kivsdk::sandbox::Sandbox* g_running = nullptr;

extern "C" void on_stop_signal(int) {
    if (g_running) g_running->stop();
}

}  // namespace

int main(int argc, char** argv) {
    using kivsdk::sandbox::CommandLine;
    const std::vector<std::string> arguments(argv + 1, argv + argc);
    const CommandLine line = kivsdk::sandbox::parse_command_line(arguments, KIVSANDBOX_PKI_DIR);
    if (line.action == CommandLine::Action::kHelp) {
        std::fputs(kivsdk::sandbox::usage_text().c_str(), stdout);
        return 0;
    }
    if (line.action == CommandLine::Action::kError) {
        std::fprintf(stderr, "kivsandbox: %s\n", line.error.c_str());
        return 2;
    }
    const long files = kivsdk::server::ServerLoop::raise_open_file_limit();
    try {
        kivsdk::sandbox::Sandbox sandbox(line.options);
        g_running = &sandbox;
        struct sigaction action {};
        action.sa_handler = on_stop_signal;
        sigemptyset(&action.sa_mask);
        sigaction(SIGINT, &action, nullptr);
        sigaction(SIGTERM, &action, nullptr);
        std::signal(SIGPIPE, SIG_IGN);

        const std::string ready = sandbox.ready_line();
        if (!line.options.port_file.empty()) {
            // Written under a temporary name and renamed, so a reader never
            // sees half a line.
            const std::string temporary = line.options.port_file + ".tmp";
            std::FILE* file = std::fopen(temporary.c_str(), "w");
            if (!file || std::fprintf(file, "%s\n", ready.c_str()) < 0 || std::fclose(file) != 0 ||
                std::rename(temporary.c_str(), line.options.port_file.c_str()) != 0) {
                std::fprintf(stderr, "kivsandbox: cannot write %s\n",
                             line.options.port_file.c_str());
                return 1;
            }
        }
        std::printf("%s\n", ready.c_str());
        std::fflush(stdout);
        std::fprintf(stderr, "kivsandbox: listening on %s (open-file limit %ld)\n",
                     line.options.bind.c_str(), files);
        sandbox.run();
        g_running = nullptr;
        std::fprintf(stderr, "kivsandbox: stopped\n");
    } catch (const std::exception& e) {
        std::fprintf(stderr, "kivsandbox: %s\n", e.what());
        return 1;
    }
    return 0;
}
