#include "view/view_hub.h"

#include <algorithm>
#include <utility>

#include "json_text.h"

namespace kivsdk::sandbox::view {

using json::append_number;
using json::append_string;
using json::json_quoted;

ViewerQueue::ViewerQueue(std::string world, std::size_t max_messages, std::size_t max_bytes)
    : world_(std::move(world)), max_messages_(max_messages), max_bytes_(max_bytes) {}

bool ViewerQueue::push(std::string message) {
    {
        const std::lock_guard<std::mutex> lock(mutex_);
        if (closed_) return false;
        if (messages_.size() >= max_messages_ || bytes_ + message.size() > max_bytes_) {
            messages_.clear();
            bytes_ = 0;
            closed_ = true;
            dropped_ = true;
        } else {
            bytes_ += message.size();
            messages_.push_back(std::move(message));
        }
    }
    arrived_.notify_all();
    return !dropped();
}

void ViewerQueue::close() {
    {
        const std::lock_guard<std::mutex> lock(mutex_);
        closed_ = true;
    }
    arrived_.notify_all();
}

std::deque<std::string> ViewerQueue::pop(std::chrono::milliseconds wait) {
    std::unique_lock<std::mutex> lock(mutex_);
    arrived_.wait_for(lock, wait, [&] { return closed_ || !messages_.empty(); });
    std::deque<std::string> taken;
    taken.swap(messages_);
    bytes_ = 0;
    return taken;
}

bool ViewerQueue::closed() const {
    const std::lock_guard<std::mutex> lock(mutex_);
    return closed_;
}

bool ViewerQueue::dropped() const {
    const std::lock_guard<std::mutex> lock(mutex_);
    return dropped_;
}

ViewHub::ViewHub(HubLimits limits) : limits_(limits) {}

std::shared_ptr<ViewerQueue> ViewHub::join(const std::string& world) {
    std::function<void()> waker;
    std::shared_ptr<ViewerQueue> viewer;
    {
        const std::lock_guard<std::mutex> lock(mutex_);
        if (shut_ || viewers_.size() >= limits_.max_viewers) return nullptr;
        viewer = std::make_shared<ViewerQueue>(world, limits_.queue_messages, limits_.queue_bytes);
        viewers_.push_back(viewer);
        waker = waker_;
    }
    if (waker) waker();
    return viewer;
}

void ViewHub::leave(const std::shared_ptr<ViewerQueue>& viewer) {
    viewer->close();
    const std::lock_guard<std::mutex> lock(mutex_);
    viewers_.erase(std::remove(viewers_.begin(), viewers_.end(), viewer), viewers_.end());
}

std::optional<std::string> ViewHub::fetch(const std::function<std::string()>& read) {
    std::unique_lock<std::mutex> lock(mutex_);
    if (shut_) return std::nullopt;
    if (generation_ > 0 && Clock::now() - published_at_ < limits_.fresh) return read();
    wanted_ = true;
    const std::uint64_t seen = generation_;
    const std::function<void()> waker = waker_;
    lock.unlock();
    if (waker) waker();
    lock.lock();
    if (!published_.wait_for(lock, limits_.answer_wait,
                             [&] { return shut_ || generation_ > seen; }) ||
        shut_) {
        return std::nullopt;
    }
    return read();
}

std::optional<std::string> ViewHub::world_list() {
    return fetch([this] { return list_; });
}

std::optional<std::string> ViewHub::world(const std::string& name) {
    return fetch([&] {
        const auto found = worlds_.find(name);
        return found == worlds_.end() ? std::string() : found->second;
    });
}

void ViewHub::count_request(const std::string& what) {
    const std::lock_guard<std::mutex> lock(mutex_);
    ++requests_[what];
}

std::string ViewHub::stats_json() const {
    const std::lock_guard<std::mutex> lock(mutex_);
    std::string out = "{\"requests\":{";
    bool first = true;
    for (const auto& entry : requests_) {
        if (!first) out += ',';
        first = false;
        append_string(out, entry.first);
        out += ':' + std::to_string(entry.second);
    }
    out += "},\"viewers\":" + std::to_string(viewers_.size());
    out += ",\"dropped_viewers\":" + std::to_string(dropped_);
    out += ",\"clients\":" + std::to_string(clients_);
    out += ",\"frames_in_per_s\":";
    append_number(out, frames_in_per_s_);
    out += ",\"frames_out_per_s\":";
    append_number(out, frames_out_per_s_);
    out += '}';
    return out;
}

void ViewHub::set_waker(std::function<void()> waker) {
    const std::lock_guard<std::mutex> lock(mutex_);
    waker_ = std::move(waker);
}

std::vector<std::shared_ptr<ViewerQueue>> ViewHub::viewers() const {
    const std::lock_guard<std::mutex> lock(mutex_);
    return viewers_;
}

std::size_t ViewHub::viewer_count() const {
    const std::lock_guard<std::mutex> lock(mutex_);
    return viewers_.size();
}

bool ViewHub::take_wanted() {
    const std::lock_guard<std::mutex> lock(mutex_);
    return std::exchange(wanted_, false);
}

void ViewHub::publish(std::string list, std::map<std::string, std::string> worlds) {
    {
        const std::lock_guard<std::mutex> lock(mutex_);
        list_ = std::move(list);
        worlds_ = std::move(worlds);
        published_at_ = Clock::now();
        ++generation_;
    }
    published_.notify_all();
}

void ViewHub::publish_stats(std::size_t clients, double frames_in_per_s, double frames_out_per_s) {
    const std::lock_guard<std::mutex> lock(mutex_);
    clients_ = clients;
    frames_in_per_s_ = frames_in_per_s;
    frames_out_per_s_ = frames_out_per_s;
}

void ViewHub::count_drop() {
    const std::lock_guard<std::mutex> lock(mutex_);
    ++dropped_;
}

void ViewHub::shut() {
    std::vector<std::shared_ptr<ViewerQueue>> viewers;
    {
        const std::lock_guard<std::mutex> lock(mutex_);
        shut_ = true;
        viewers = viewers_;
    }
    for (const auto& viewer : viewers) viewer->close();
    published_.notify_all();
}

}  // namespace kivsdk::sandbox::view
