// LiveView: kivsandbox's live view, a page and a small read-only JSON API
// over HTTP (cpp-httplib, on threads of its own):
//
//   GET /                          the page (its files are embedded)
//   GET /api/worlds                {"worlds":[{"name","secure","port","users"}]}
//   GET /api/worlds/NAME           what world NAME holds (world_json.h)
//   GET /api/worlds/NAME/events    Server-Sent Events: worlds, world, avatars,
//                                  chat, stats
//   GET /api/stats                 requests by route, viewers, counters
//
// The server loop's thread is the only one that reads the worlds: a timer
// and a wake-up descriptor on the loop publish snapshots into the ViewHub
// (at most every `period`, and only while someone watches or asks), and
// the HTTP threads serve what was published. A viewer whose queue fills up
// is dropped; the loop never waits for a browser.
//
//   Sandbox sandbox(options);
//   LiveView view(sandbox, {"127.0.0.1", 8080});   // before the loop runs
//   sandbox.run();                                 // ~LiveView after it ends
#pragma once

#include <chrono>
#include <cstdint>
#include <deque>
#include <map>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "sandbox.h"
#include "view/view_hub.h"

namespace kivsdk::sandbox::view {

struct ViewOptions {
    std::string bind = "127.0.0.1";
    int port = 0;  // 0: a free port
    HubLimits limits;
    // Between two publications while viewers watch.
    std::chrono::milliseconds period{100};
    // Chat and console lines of each world a new viewer is sent first.
    std::size_t backlog_lines = 100;
    // Request line and headers together, in bytes; a request with a body
    // is refused whatever its size.
    std::size_t max_request_bytes = 8192;
};

class LiveView {
public:
    // Listens and starts the HTTP threads; hooks into the sandbox's loop,
    // so it is made before the loop runs (or on its thread). Throws
    // std::runtime_error when it cannot listen.
    LiveView(Sandbox& sandbox, ViewOptions options);
    // After the loop has stopped (or on its thread).
    ~LiveView();
    LiveView(const LiveView&) = delete;
    LiveView& operator=(const LiveView&) = delete;

    int port() const noexcept { return port_; }

private:
    struct Http;
    using Clock = std::chrono::steady_clock;
    // What the loop remembers of a world between publications.
    struct WorldMemory {
        std::string avatars;
        std::string scene;
        std::string whole;
        std::deque<std::string> backlog;  // line JSON, oldest first
        std::vector<std::string> fresh;   // lines since the last publication
    };

    void on_wake();
    void on_tick();
    void arm_timer(bool on);
    void publish();
    void send_to_viewers(const std::string& list, bool list_changed,
                         const std::map<std::string, bool>& scene_changed,
                         const std::map<std::string, bool>& avatars_changed,
                         const std::string& stats);

    Sandbox& sandbox_;
    const ViewOptions options_;
    ViewHub hub_;
    int wake_fd_ = -1;
    int timer_fd_ = -1;
    bool timer_armed_ = false;
    Clock::time_point next_allowed_{};
    std::map<std::string, WorldMemory> worlds_;
    std::string list_;
    // The frame rates, sampled about once a second.
    Clock::time_point sampled_at_{};
    std::uint64_t frames_in_ = 0;
    std::uint64_t frames_out_ = 0;
    std::string stats_;
    std::unique_ptr<Http> http_;
    int port_ = 0;
    std::thread thread_;
};

}  // namespace kivsdk::sandbox::view
