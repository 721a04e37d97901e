// ViewHub: what the server loop's thread and the HTTP threads of the live
// view share, and nothing else. The loop publishes into it (the latest JSON
// of each world and the world list, and messages into each viewer's bounded
// queue); HTTP threads only copy what was published and pop their queue.
// Nobody holds its lock for longer than a copy or a push.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

namespace kivsdk::sandbox::view {

// The messages waiting for one viewer of a world's event stream. When a
// push would take it past its bounds the viewer is dropped: the queue is
// emptied and closed, and its stream ends.
class ViewerQueue {
public:
    ViewerQueue(std::string world, std::size_t max_messages, std::size_t max_bytes);

    const std::string& world() const noexcept { return world_; }

    // From the loop's thread. False when the viewer is closed (now or
    // before).
    bool push(std::string message);
    void close();

    // From the viewer's HTTP thread: what waits, after at most `wait` for
    // something to arrive. Empty with closed() true: the stream is over.
    std::deque<std::string> pop(std::chrono::milliseconds wait);
    bool closed() const;
    // Closed because it fell behind.
    bool dropped() const;

    // The loop's own bookkeeping for this viewer (its thread only).
    bool primed = false;

private:
    const std::string world_;
    const std::size_t max_messages_;
    const std::size_t max_bytes_;
    mutable std::mutex mutex_;
    std::condition_variable arrived_;
    std::deque<std::string> messages_;
    std::size_t bytes_ = 0;
    bool closed_ = false;
    bool dropped_ = false;
};

struct HubLimits {
    std::size_t max_viewers = 8;
    std::size_t queue_messages = 64;
    std::size_t queue_bytes = std::size_t{16} << 20;
    // A published snapshot younger than this is served as it is; older
    // ones are refreshed by the loop first.
    std::chrono::milliseconds fresh{100};
    // How long an API call waits for the loop's snapshot.
    std::chrono::milliseconds answer_wait{3000};
};

class ViewHub {
public:
    using Clock = std::chrono::steady_clock;

    explicit ViewHub(HubLimits limits = {});

    // ---- HTTP threads ----
    // A new viewer of `world`'s events; null when there are max_viewers
    // already or the hub has shut.
    std::shared_ptr<ViewerQueue> join(const std::string& world);
    void leave(const std::shared_ptr<ViewerQueue>& viewer);
    // The latest world list, or of world `name` (its JSON; "" when there is
    // no such world), refreshed by the loop when older than `fresh`. Null
    // when the loop did not answer in time (it is stopped).
    std::optional<std::string> world_list();
    std::optional<std::string> world(const std::string& name);
    // Counts one request for `what` (a route).
    void count_request(const std::string& what);
    // {"requests":{ROUTE:N,...},"viewers":N,"dropped_viewers":N,"clients":N,
    //  "frames_in_per_s":F,"frames_out_per_s":F}
    std::string stats_json() const;

    // ---- the loop's thread ----
    // Called (from HTTP threads) when the loop has work: a new viewer, or a
    // snapshot wanted.
    void set_waker(std::function<void()> waker);
    // The viewers there are now.
    std::vector<std::shared_ptr<ViewerQueue>> viewers() const;
    std::size_t viewer_count() const;
    // True once, after an API call asked for a fresh snapshot.
    bool take_wanted();
    // The latest snapshot: the world list and the JSON of every world.
    void publish(std::string list, std::map<std::string, std::string> worlds);
    // The loop's counters, for stats_json.
    void publish_stats(std::size_t clients, double frames_in_per_s, double frames_out_per_s);
    // A viewer was dropped for falling behind.
    void count_drop();
    // Closes every viewer and refuses new ones; waiting API calls give up.
    void shut();

private:
    std::optional<std::string> fetch(const std::function<std::string()>& read);

    const HubLimits limits_;
    mutable std::mutex mutex_;
    std::condition_variable published_;
    std::function<void()> waker_;
    std::vector<std::shared_ptr<ViewerQueue>> viewers_;
    bool shut_ = false;
    bool wanted_ = false;
    std::uint64_t generation_ = 0;
    Clock::time_point published_at_{};
    std::string list_;
    std::map<std::string, std::string> worlds_;
    std::map<std::string, std::uint64_t> requests_;
    std::uint64_t dropped_ = 0;
    std::size_t clients_ = 0;
    double frames_in_per_s_ = 0;
    double frames_out_per_s_ = 0;
};

}  // namespace kivsdk::sandbox::view
