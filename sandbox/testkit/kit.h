// Kit: the sandbox inside a test process. The universe and its worlds run on
// the kit's own thread, on loopback; the test's thread reaches them only
// through run(), which hands a task over a socket pair and waits until the
// kit's thread has carried it out. Nothing else is shared between the two.
//
//   Kit kit(options);                       // listening when it returns
//   int port = kit.universe_port();
//   kit.run([&](KitThread& k) { k.sandbox.freeze(std::chrono::seconds(2)); });
//   // ~Kit stops the loop and joins the thread
#pragma once

#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "sandbox.h"
#include "testkit/recorder.h"

namespace kivsdk::testkit {

// What lives on the kit's thread; tasks get it.
struct KitThread {
    explicit KitThread(const sandbox::Options& options);

    sandbox::Sandbox sandbox;
    Recorder recorder;
};

class Kit {
public:
    // Loads the certificates, listens and starts the thread. Throws
    // std::runtime_error (with the sandbox's reason) when it cannot.
    explicit Kit(const sandbox::Options& options);
    ~Kit();
    Kit(const Kit&) = delete;
    Kit& operator=(const Kit&) = delete;

    // Runs `task` on the kit's thread and returns once it has run. An
    // exception thrown by the task comes back as a std::runtime_error.
    void run(const std::function<void(KitThread&)>& task);

    int universe_port();
    // -1 when there is no such world.
    int world_port(const std::string& world);

private:
    void serve_tasks();

    std::unique_ptr<KitThread> state_;
    std::mutex test_side_;  // one task at a time from the test's threads
    int test_end_ = -1;     // the test's end of the socket pair
    int kit_end_ = -1;
    std::thread thread_;
};

// Options for a kit from kivsandbox's command-line arguments: certificates
// from `pki_dir` unless given, quiet, and loopback only (another --bind is
// an error). Throws std::invalid_argument with the reason.
sandbox::Options kit_options(const std::vector<std::string>& arguments, const std::string& pki_dir);

}  // namespace kivsdk::testkit
