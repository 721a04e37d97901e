// kivsandbox: the sandbox universe and worlds as a program.
#include <unistd.h>

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <memory>
#include <string>
#include <vector>

#include "options.h"
#include "sandbox.h"
#include "view/live_view.h"

namespace {

kivsdk::sandbox::Sandbox* g_running = nullptr;

extern "C" void on_stop_signal(int) {
    if (g_running) g_running->stop();
}

// The sandbox PKI: $KIVSDK_SANDBOX_PKI when set; else the one installed
// beside this program (<prefix>/bin/../share/kivsdk/sandbox-pki) when it is
// there; else the build tree's own.
std::string default_pki_dir() {
    const char* chosen = std::getenv("KIVSDK_SANDBOX_PKI");
    if (chosen && *chosen) return chosen;
    std::string program(4096, '\0');
    const ssize_t length = ::readlink("/proc/self/exe", program.data(), program.size());
    if (length > 0 && static_cast<std::size_t>(length) < program.size()) {
        program.resize(static_cast<std::size_t>(length));
        std::string folder = program.substr(0, program.find_last_of('/') + 1);
        folder += KIVSANDBOX_INSTALLED_PKI;
        if (::access((folder + "/universe-server.pem").c_str(), R_OK) == 0) {
            std::unique_ptr<char, decltype(&std::free)> real(::realpath(folder.c_str(), nullptr),
                                                             &std::free);
            return real ? std::string(real.get()) : folder;
        }
    }
    return KIVSANDBOX_PKI_DIR;
}

}  // namespace

int main(int argc, char** argv) {
    using kivsdk::sandbox::CommandLine;
    const std::vector<std::string> arguments(argv + 1, argv + argc);
    const std::string pki = default_pki_dir();
    const CommandLine line = kivsdk::sandbox::parse_command_line(arguments, pki);
    if (line.action == CommandLine::Action::kHelp) {
        std::fputs(kivsdk::sandbox::usage_text().c_str(), stdout);
        std::printf("\nSandbox PKI (the default certificates and keys): %s\n", pki.c_str());
        return 0;
    }
    if (line.action == CommandLine::Action::kError) {
        std::fprintf(stderr, "kivsandbox: %s\n", line.error.c_str());
        return 2;
    }
    const long files = kivsdk::server::ServerLoop::raise_open_file_limit();
    try {
        kivsdk::sandbox::Sandbox sandbox(line.options);
        std::unique_ptr<kivsdk::sandbox::view::LiveView> view;
        if (line.options.http_port >= 0) {
            kivsdk::sandbox::view::ViewOptions view_options;
            view_options.bind = line.options.http_bind;
            view_options.port = line.options.http_port;
            view = std::make_unique<kivsdk::sandbox::view::LiveView>(sandbox, view_options);
        }
        g_running = &sandbox;
        struct sigaction action {};
        action.sa_handler = on_stop_signal;
        sigemptyset(&action.sa_mask);
        sigaction(SIGINT, &action, nullptr);
        sigaction(SIGTERM, &action, nullptr);
        std::signal(SIGPIPE, SIG_IGN);

        std::string ready = sandbox.ready_line();
        if (view) ready += " http=" + std::to_string(view->port());
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
        if (view) {
            std::fprintf(stderr, "kivsandbox: live view at http://%s%s%s:%d/\n",
                         line.options.http_bind.find(':') == std::string::npos ? "" : "[",
                         line.options.http_bind.c_str(),
                         line.options.http_bind.find(':') == std::string::npos ? "" : "]",
                         view->port());
        }
        sandbox.run();
        g_running = nullptr;
        view.reset();
        std::fprintf(stderr, "kivsandbox: stopped\n");
    } catch (const std::exception& e) {
        std::fprintf(stderr, "kivsandbox: %s\n", e.what());
        return 1;
    }
    return 0;
}
