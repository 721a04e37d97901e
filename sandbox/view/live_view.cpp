#include "view/live_view.h"

#include <sys/eventfd.h>
#include <sys/socket.h>
#include <sys/timerfd.h>
#include <unistd.h>

#include <httplib.h>
#include <algorithm>
#include <cerrno>
#include <cstring>
#include <stdexcept>
#include <utility>

#include "directory.h"
#include "json_text.h"
#include "view/page_files.h"
#include "view/world_json.h"
#include "world_service.h"

namespace kivsdk::sandbox::view {

using json::append_number;
using json::append_string;
using json::json_quoted;
namespace {

constexpr char kEventsSuffix[] = "/events";
constexpr char kWorldsPrefix[] = "/api/worlds/";

bool is_loopback(const std::string& address) {
    return address.rfind("127.", 0) == 0 || address == "::1" || address == "localhost";
}

// The host part of a Host header ("[::1]:8080" -> "::1", "a:1" -> "a").
std::string host_of(const std::string& header) {
    if (!header.empty() && header.front() == '[') {
        const std::size_t end = header.find(']');
        return end == std::string::npos ? header : header.substr(1, end - 1);
    }
    return header.substr(0, header.find(':'));
}

// Bytes of the request line and the headers, as they came (near enough:
// the separators are counted as sent).
std::size_t request_size(const httplib::Request& request) {
    std::size_t size = request.method.size() + request.target.size() + request.version.size() + 4;
    for (const auto& header : request.headers)
        size += header.first.size() + header.second.size() + 4;
    return size;
}

// The route a request is counted under: paths are the client's to choose,
// so only a few names are ever kept.
std::string route_of(const httplib::Request& request) {
    const std::string& path = request.path;
    std::string route;
    if (path == "/api/worlds" || path == "/api/stats") {
        route = path;
    } else if (path.rfind(kWorldsPrefix, 0) == 0) {
        const std::size_t suffix = sizeof kEventsSuffix - 1;
        const bool events =
            path.size() > suffix && path.compare(path.size() - suffix, suffix, kEventsSuffix) == 0;
        route = events ? "/api/worlds/NAME/events" : "/api/worlds/NAME";
    } else if (find_page_file(path)) {
        route = "page";
    } else {
        route = "other";
    }
    const bool usual = request.method == "GET" || request.method == "HEAD";
    return (usual ? request.method : std::string("other method")) + " " + route;
}

void answer(httplib::Response& response, int status, const std::string& text) {
    response.status = status;
    response.set_content(text + "\n", "text/plain; charset=utf-8");
}

void answer_json(httplib::Response& response, const std::string& json) {
    response.set_header("Cache-Control", "no-store");
    response.set_content(json, "application/json");
}

}  // namespace

struct LiveView::Http {
    httplib::Server server;
};

LiveView::LiveView(Sandbox& sandbox, ViewOptions options)
    : sandbox_(sandbox),
      options_(std::move(options)),
      hub_(options_.limits),
      http_(std::make_unique<Http>()) {
    httplib::Server& server = http_->server;
    // Every viewer holds one thread for its stream; a few more serve the
    // page and the API meanwhile. The server owns (and deletes) its queue.
    const std::size_t threads = options_.limits.max_viewers + 4;
    server.new_task_queue = [threads] {
        return std::make_unique<httplib::ThreadPool>(threads).release();
    };
    // One request per connection: a thread is never held by an idle
    // keep-alive connection.
    server.set_keep_alive_max_count(1);
    server.set_read_timeout(5, 0);
    server.set_write_timeout(5, 0);
    server.set_payload_max_length(0);
    // A small send buffer (inherited by every accepted socket): what a
    // browser that stops reading holds up stays small, and its queue here
    // fills instead, which drops it.
    server.set_socket_options([](int fd) {
        const int on = 1;
        const int buffer = 256 * 1024;
        ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
        ::setsockopt(fd, SOL_SOCKET, SO_SNDBUF, &buffer, sizeof buffer);
    });
    server.set_default_headers({{"X-Content-Type-Options", "nosniff"},
                                {"Referrer-Policy", "no-referrer"},
                                {"X-Frame-Options", "DENY"}});

    const bool loopback_only = is_loopback(options_.bind);
    server.set_pre_routing_handler(
        [this, loopback_only](const httplib::Request& request, httplib::Response& response) {
            hub_.count_request(route_of(request));
            if (request.method != "GET" && request.method != "HEAD") {
                response.set_header("Allow", "GET, HEAD");
                answer(response, 405, "the view only reads: GET and HEAD");
                return httplib::Server::HandlerResponse::Handled;
            }
            if (request.has_header("Content-Length") || request.has_header("Transfer-Encoding")) {
                if (request.get_header_value("Content-Length") != "0") {
                    answer(response, 413, "requests carry no body here");
                    return httplib::Server::HandlerResponse::Handled;
                }
            }
            if (request_size(request) > options_.max_request_bytes) {
                answer(response, 431, "request too large");
                return httplib::Server::HandlerResponse::Handled;
            }
            // Bound to loopback, only loopback names: a page of another site
            // whose name was made to point here cannot read the worlds.
            if (loopback_only && !is_loopback(host_of(request.get_header_value("Host")))) {
                answer(response, 421, "this view answers to loopback names only");
                return httplib::Server::HandlerResponse::Handled;
            }
            return httplib::Server::HandlerResponse::Unhandled;
        });

    server.Get("/api/worlds", [this](const httplib::Request&, httplib::Response& response) {
        const std::optional<std::string> list = hub_.world_list();
        if (!list) return answer(response, 503, "the sandbox is not answering");
        answer_json(response, *list);
    });
    server.Get("/api/stats", [this](const httplib::Request&, httplib::Response& response) {
        answer_json(response, hub_.stats_json());
    });
    server.Get(
        "/api/worlds/.+", [this](const httplib::Request& request, httplib::Response& response) {
            std::string name = request.path.substr(sizeof kWorldsPrefix - 1);
            const std::size_t suffix = sizeof kEventsSuffix - 1;
            const bool events = name.size() > suffix &&
                                name.compare(name.size() - suffix, suffix, kEventsSuffix) == 0;
            if (events) name.resize(name.size() - suffix);
            const std::optional<std::string> world = hub_.world(name);
            if (!world) return answer(response, 503, "the sandbox is not answering");
            if (world->empty()) return answer(response, 404, "no such world");
            if (!events) return answer_json(response, *world);
            if (request.method == "HEAD") {
                // No stream, so no viewer to hold a place for.
                response.set_header("Cache-Control", "no-store");
                return response.set_content("", "text/event-stream");
            }
            std::shared_ptr<ViewerQueue> viewer = hub_.join(name);
            if (!viewer) return answer(response, 503, "too many viewers");
            response.set_header("Cache-Control", "no-store");
            response.set_chunked_content_provider(
                "text/event-stream",
                [viewer](std::size_t, httplib::DataSink& sink) {
                    std::deque<std::string> batch = viewer->pop(std::chrono::seconds(1));
                    if (batch.empty()) {
                        if (viewer->closed()) {
                            sink.done();
                            return true;
                        }
                        // A comment line: a vanished browser shows up as a
                        // failed write within a second.
                        static constexpr char kStillHere[] = ":\n\n";
                        return sink.write(kStillHere, sizeof kStillHere - 1);
                    }
                    for (const std::string& message : batch) {
                        if (!sink.write(message.data(), message.size())) return false;
                    }
                    return true;
                },
                [this, viewer](bool) { hub_.leave(viewer); });
        });
    server.Get("/.*", [](const httplib::Request& request, httplib::Response& response) {
        const PageFile* file = find_page_file(request.path);
        if (!file) return answer(response, 404, "not found");
        response.set_header("Content-Security-Policy",
                            "default-src 'none'; script-src 'self'; style-src 'self'; "
                            "connect-src 'self'; img-src 'self'; base-uri 'none'; "
                            "form-action 'none'; frame-ancestors 'none'");
        response.set_content(reinterpret_cast<const char*>(file->data), file->size, file->type);
    });

    port_ = options_.port == 0
                ? server.bind_to_any_port(options_.bind)
                : (server.bind_to_port(options_.bind, options_.port) ? options_.port : -1);
    if (port_ <= 0) {
        throw std::runtime_error("the live view cannot listen on " + options_.bind + " port " +
                                 std::to_string(options_.port));
    }
    wake_fd_ = ::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    timer_fd_ = ::timerfd_create(CLOCK_MONOTONIC, TFD_NONBLOCK | TFD_CLOEXEC);
    if (wake_fd_ < 0 || timer_fd_ < 0) {
        const std::string reason = std::strerror(errno);
        if (wake_fd_ >= 0) ::close(wake_fd_);
        if (timer_fd_ >= 0) ::close(timer_fd_);
        throw std::runtime_error("the live view's timer: " + reason);
    }
    hub_.set_waker([fd = wake_fd_] {
        const std::uint64_t one = 1;
        // A full counter already wakes the loop.
        [[maybe_unused]] const ssize_t written = ::write(fd, &one, sizeof one);
    });
    server::ServerLoop& loop = sandbox_.loop();
    loop.watch_input(wake_fd_, [this] { on_wake(); });
    loop.watch_input(timer_fd_, [this] { on_tick(); });
    for (const std::string& name : sandbox_.world_names()) {
        WorldService* world = sandbox_.world(name);
        if (!world) continue;
        world->tap_lines([this, name](const WorldLine& line) {
            WorldMemory& memory = worlds_[name];
            std::string json = line_object(line);
            if (memory.backlog.size() >= options_.backlog_lines) memory.backlog.pop_front();
            memory.backlog.push_back(json);
            // Kept for the viewers until the next publication; without
            // viewers nobody takes them, so they are bounded too.
            if (memory.fresh.size() >= 4 * options_.backlog_lines) memory.fresh.clear();
            memory.fresh.push_back(std::move(json));
        });
    }
    thread_ = std::thread([this] { http_->server.listen_after_bind(); });
}

LiveView::~LiveView() {
    hub_.shut();
    http_->server.stop();
    if (thread_.joinable()) thread_.join();
    for (const std::string& name : sandbox_.world_names()) {
        if (WorldService* world = sandbox_.world(name)) world->tap_lines(nullptr);
    }
    sandbox_.loop().forget_input(wake_fd_);
    sandbox_.loop().forget_input(timer_fd_);
    ::close(wake_fd_);
    ::close(timer_fd_);
}

void LiveView::arm_timer(bool on) {
    if (on == timer_armed_) return;
    itimerspec timing{};  // all zero: disarmed
    if (on) {
        const auto period = std::chrono::duration_cast<std::chrono::nanoseconds>(options_.period);
        timing.it_interval.tv_sec = static_cast<time_t>(period.count() / 1000000000);
        timing.it_interval.tv_nsec = static_cast<long>(period.count() % 1000000000);
        timing.it_value = timing.it_interval;
    }
    ::timerfd_settime(timer_fd_, 0, &timing, nullptr);
    timer_armed_ = on;
}

void LiveView::on_wake() {
    std::uint64_t count = 0;
    while (::read(wake_fd_, &count, sizeof count) > 0) {
    }
    const std::vector<std::shared_ptr<ViewerQueue>> viewers = hub_.viewers();
    const bool newcomer = std::any_of(viewers.begin(), viewers.end(), [](const auto& viewer) {
        return !viewer->primed && !viewer->closed();
    });
    if (hub_.take_wanted() || newcomer) publish();
    arm_timer(!viewers.empty());
}

void LiveView::on_tick() {
    std::uint64_t count = 0;
    while (::read(timer_fd_, &count, sizeof count) > 0) {
    }
    if (hub_.viewer_count() == 0) {
        arm_timer(false);
        return;
    }
    if (Clock::now() >= next_allowed_) publish();
}

void LiveView::publish() {
    const Clock::time_point start = Clock::now();
    bool stats_due = false;
    if (start - sampled_at_ >= std::chrono::seconds(1)) {
        const server::ServerLoop& loop = sandbox_.loop();
        const double seconds = std::chrono::duration<double>(start - sampled_at_).count();
        const bool first = sampled_at_ == Clock::time_point{};
        hub_.publish_stats(loop.client_count(),
                           first ? 0 : (loop.frames_received() - frames_in_) / seconds,
                           first ? 0 : (loop.frames_sent() - frames_out_) / seconds);
        frames_in_ = loop.frames_received();
        frames_out_ = loop.frames_sent();
        sampled_at_ = start;
        stats_ = hub_.stats_json();
        stats_due = true;
    }

    Directory& directory = sandbox_.directory();
    const NameOf name_of = [&directory](std::int32_t user_id) {
        const Account* account = directory.find(user_id);
        return account ? account->name : std::string();
    };
    std::vector<WorldEntry> entries;
    std::map<std::string, std::string> wholes;
    std::map<std::string, bool> scene_changed;
    std::map<std::string, bool> avatars_changed;
    for (const std::string& name : sandbox_.world_names()) {
        const WorldService* world = sandbox_.world(name);
        if (!world) continue;
        const WorldState state = world->state();
        WorldParts parts = world_parts(state, name_of);
        WorldMemory& memory = worlds_[name];
        scene_changed[name] = parts.scene != memory.scene;
        avatars_changed[name] = parts.avatars != memory.avatars;
        if (scene_changed[name] || avatars_changed[name] || memory.whole.empty()) {
            memory.whole = world_object(name, world->settings().cell_size, parts);
            memory.avatars = std::move(parts.avatars);
            memory.scene = std::move(parts.scene);
        }
        WorldEntry entry{name, world->settings().secure, sandbox_.world_port(name), {}};
        for (const WorldState::Avatar& avatar : state.avatars) entry.users.push_back(avatar.name);
        entries.push_back(std::move(entry));
        wholes[name] = memory.whole;
    }
    std::string list = world_list(entries);
    const bool list_changed = list != list_;
    list_ = list;
    send_to_viewers(list, list_changed, scene_changed, avatars_changed,
                    stats_due ? stats_ : std::string());
    hub_.publish(std::move(list), std::move(wholes));
    for (auto& world : worlds_) world.second.fresh.clear();

    // A publication that takes long spaces the next ones out: the view
    // takes at most a tenth of the loop's time.
    const Clock::duration took = Clock::now() - start;
    next_allowed_ = start + std::max<Clock::duration>(options_.period, 10 * took);
}

void LiveView::send_to_viewers(const std::string& list, bool list_changed,
                               const std::map<std::string, bool>& scene_changed,
                               const std::map<std::string, bool>& avatars_changed,
                               const std::string& stats) {
    for (const std::shared_ptr<ViewerQueue>& viewer : hub_.viewers()) {
        if (viewer->closed()) continue;
        std::vector<std::string> messages;
        const auto known = worlds_.find(viewer->world());
        if (known == worlds_.end() || !scene_changed.count(viewer->world())) {
            // The world was removed.
            messages.push_back(
                event_message("gone", "{\"name\":" + json_quoted(viewer->world()) + "}"));
            for (std::string& message : messages) viewer->push(std::move(message));
            viewer->close();
            continue;
        }
        const WorldMemory& memory = known->second;
        if (!viewer->primed) {
            viewer->primed = true;
            messages.push_back(event_message("worlds", list));
            messages.push_back(event_message("world", memory.whole));
            for (const std::string& line : memory.backlog) {
                messages.push_back(event_message("chat", line));
            }
            messages.push_back(event_message("stats", stats_.empty() ? hub_.stats_json() : stats_));
        } else {
            if (list_changed) messages.push_back(event_message("worlds", list));
            if (scene_changed.at(viewer->world())) {
                messages.push_back(event_message("world", memory.whole));
            } else if (avatars_changed.at(viewer->world())) {
                messages.push_back(
                    event_message("avatars", "{\"name\":" + json_quoted(viewer->world()) +
                                                 ",\"avatars\":" + memory.avatars + "}"));
            }
            for (const std::string& line : memory.fresh) {
                messages.push_back(event_message("chat", line));
            }
            if (!stats.empty()) messages.push_back(event_message("stats", stats));
        }
        for (std::string& message : messages) {
            if (viewer->push(std::move(message))) continue;
            if (viewer->dropped()) {
                hub_.count_drop();
                sandbox_.loop().log_error("view: a viewer of " + viewer->world() +
                                          " fell behind and was dropped");
            }
            break;
        }
    }
}

}  // namespace kivsdk::sandbox::view
