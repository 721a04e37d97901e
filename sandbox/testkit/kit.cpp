#include "testkit/kit.h"

#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <stdexcept>

#include "options.h"

namespace kivsdk::testkit {
namespace {

// One task handed to the kit's thread: the work, and the reason it failed.
struct Task {
    const std::function<void(KitThread&)>* work;
    std::string error;
};

}  // namespace

KitThread::KitThread(const sandbox::Options& options) : sandbox(options) {
    recorder.attach(sandbox.loop());
}

Kit::Kit(const sandbox::Options& options) : state_(std::make_unique<KitThread>(options)) {
    // Packets keep each task's pointer whole.
    int ends[2];
    if (::socketpair(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0, ends) != 0) {
        throw std::runtime_error(std::string("the kit's socket pair: ") + std::strerror(errno));
    }
    test_end_ = ends[0];
    kit_end_ = ends[1];
    state_->sandbox.loop().watch_input(kit_end_, [this] { serve_tasks(); });
    thread_ = std::thread([this] { state_->sandbox.run(); });
}

Kit::~Kit() {
    try {
        run([](KitThread& kit) { kit.sandbox.stop(); });
    } catch (const std::exception&) {
        // The thread has ended already.
    }
    thread_.join();
    state_->sandbox.loop().forget_input(kit_end_);
    ::close(test_end_);
    ::close(kit_end_);
}

void Kit::run(const std::function<void(KitThread&)>& work) {
    const std::lock_guard<std::mutex> lock(test_side_);
    Task task{&work, {}};
    Task* handed = &task;
    char done = 0;
    if (::send(test_end_, &handed, sizeof handed, MSG_NOSIGNAL) != sizeof handed ||
        ::recv(test_end_, &done, 1, 0) != 1) {
        throw std::runtime_error("the kit's thread is not running");
    }
    if (!task.error.empty()) throw std::runtime_error(task.error);
}

void Kit::serve_tasks() {
    for (;;) {
        Task* task = nullptr;
        if (::recv(kit_end_, &task, sizeof task, MSG_DONTWAIT) != sizeof task) return;
        try {
            (*task->work)(*state_);
        } catch (const std::exception& e) {
            task->error = *e.what() ? e.what() : "the task failed";
        } catch (...) {
            task->error = "the task failed";
        }
        const char done = 1;
        if (::send(kit_end_, &done, 1, MSG_NOSIGNAL) != 1) return;
    }
}

int Kit::universe_port() {
    int port = -1;
    run([&](KitThread& kit) { port = kit.sandbox.universe_port(); });
    return port;
}

int Kit::world_port(const std::string& world) {
    int port = -1;
    run([&](KitThread& kit) { port = kit.sandbox.world_port(world); });
    return port;
}

sandbox::Options kit_options(const std::vector<std::string>& arguments,
                             const std::string& pki_dir) {
    const sandbox::CommandLine line = sandbox::parse_command_line(arguments, pki_dir);
    if (line.action == sandbox::CommandLine::Action::kError) {
        throw std::invalid_argument(line.error);
    }
    if (line.action == sandbox::CommandLine::Action::kHelp) {
        throw std::invalid_argument("--help is no option of the kit");
    }
    sandbox::Options options = line.options;
    if (options.bind != "127.0.0.1" && options.bind != "::1") {
        throw std::invalid_argument("the kit listens on loopback only, not on " + options.bind);
    }
    if (options.http_port >= 0) {
        throw std::invalid_argument("--http is kivsandbox's live view, not an option of the kit");
    }
    options.log_connections = false;
    return options;
}

}  // namespace kivsdk::testkit
