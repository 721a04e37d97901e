// ServerLoop: a single-threaded epoll loop serving the protocol's framed
// streams to many clients: clear-text frames, the switch to TLS, frames over
// TLS, an output queue per client and bounded input. Services (the universe,
// the worlds) see only whole frame bodies and Peer handles.
//
//   ServerLoop loop(limits, log);
//   int port = loop.listen("127.0.0.1", 0, my_service, "universe");
//   while (!done) loop.run_once(100);      // or loop.run() until stop()
//
// Everything runs on the thread that calls run_once/run; only stop() may be
// called from another thread or from a signal handler.
#pragma once

#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <set>
#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

#include "core/frame_codec.h"
#include "core/tls_config.h"

namespace kivsdk {
class PacketReader;
class PacketWriter;
}  // namespace kivsdk

namespace kivsdk::server {

struct Limits {
    std::size_t max_clients = 4096;
    // Bytes queued for one client beyond which it is dropped as not reading.
    std::size_t max_output = std::size_t{8} << 20;
    // A handshake, an incomplete frame or unsent output that makes no
    // progress for this long closes the client.
    int stall_seconds = 20;
    // A client that sends nothing (keep-alives included) for this long is
    // closed.
    int idle_seconds = 120;
    // A client that was sent nothing for this long is offered to its
    // service's on_quiet (which sends a keep-alive); 0: never.
    int keepalive_seconds = 30;
    // The kernel's send buffer of each client socket (0: the system's
    // default): with the output queue it bounds what a client that stops
    // reading can hold up.
    int socket_send_buffer = 256 * 1024;
    // Bytes read from one client per pass, so one busy client cannot starve
    // the others.
    std::size_t read_budget = 65536;
};

struct LogOptions {
    std::string prefix = "server";
    // One line per opened and closed connection; errors are always logged.
    bool connections = true;
};

class ServerLoop;
class Peer;

// Sees every frame as it is queued for a client (length field included), on
// the loop's thread: for tests and traces.
using FrameTap =
    std::function<void(const Peer& peer, const unsigned char* frame, std::size_t size)>;
// Sees every frame body a client sent (type byte first, no length field),
// after its service has handled it, on the loop's thread.
using BodyTap = std::function<void(const Peer& peer, const unsigned char* body, std::size_t size)>;

class Service {
public:
    virtual ~Service() = default;
    virtual void on_open(Peer&) {}
    // One complete, non-empty frame body (type byte first), valid while the
    // call runs.
    virtual void on_frame(Peer& peer, PacketReader& body) = 0;
    // The TLS handshake started with Peer::start_tls has completed.
    virtual void on_secure(Peer&) {}
    virtual void on_close(Peer&) {}
    // Nothing was sent to the peer for Limits::keepalive_seconds.
    virtual void on_quiet(Peer&) {}
};

class Peer {
public:
    ~Peer();
    Peer(const Peer&) = delete;
    Peer& operator=(const Peer&) = delete;

    std::uint64_t id() const noexcept { return id_; }
    const std::string& remote() const noexcept { return remote_; }
    const std::string& listener() const noexcept { return listener_; }
    bool is_open() const noexcept {
        return phase_ != Phase::kClosed && phase_ != Phase::kDraining && !doomed_;
    }
    bool secure() const noexcept { return phase_ == Phase::kSecure; }
    // A peer without a connection (ServerLoop::add_virtual_peer).
    bool is_virtual() const noexcept { return virtual_; }
    // Who the client is, once its service knows (a user name).
    const std::string& label() const noexcept { return label_; }
    void set_label(std::string label) { label_ = std::move(label); }
    // What a virtual peer was sent, oldest first (bounded); emptied by take.
    std::vector<Bytes> take_inbox() { return std::move(inbox_); }

    // Queues the writer's frame (over TLS once switched) and sends what the
    // socket takes. Ignored once the peer is closing.
    void send(PacketWriter& writer);

    // Switches the stream to TLS as the server; bytes already received after
    // the current frame go to the handshake. Service::on_secure follows once
    // the handshake has completed; a failed handshake closes the peer.
    void start_tls(const ServerTlsConfig& config);

    // Closes at once (output still queued is dropped).
    void close(const std::string& reason);
    // Sends what is queued (and a TLS close-notify), then ends the stream.
    void close_after_flush(const std::string& reason);
    // Ends the stream with a TCP reset: the client sees the connection
    // reset rather than closed.
    void reset(const std::string& reason);

private:
    friend class ServerLoop;
    enum class Phase { kClear, kHandshake, kSecure, kDraining, kClosed };
    struct Tls;
    using Clock = std::chrono::steady_clock;

    Peer(ServerLoop& loop, Service& service, std::uint64_t id, int fd, std::string remote,
         std::string listener);

    void on_readable();
    void on_writable();
    void sweep(Clock::time_point now);
    void read_clear(std::size_t& budget);
    void read_tls(std::size_t& budget);
    void deliver_frames();
    // A whole frame, length field included.
    void send_frame(const unsigned char* frame, std::size_t size);
    // The frame goes out now, past the reply delay.
    void send_now(const unsigned char* frame, std::size_t size);
    // Sends the delayed frames that are due; true when some remain.
    bool release_delayed(Clock::time_point now);
    void queue_raw(const unsigned char* data, std::size_t size);
    void flush();
    void update_interest();
    // The loop's freeze has ended: the peer is watched again and its clocks
    // start afresh (the silence was the server's).
    void thaw(Clock::time_point now);
    void finish_close(const std::string& reason);
    // A failure found while sending: the peer stops taking frames now and is
    // closed by the loop once the current handler has returned, so services
    // never see a peer vanish in the middle of their own loops.
    void close_later(const std::string& reason);

    // Writes the frames waiting for TLS into records; false when TLS failed
    // (the peer is doomed).
    bool seal_pending();
    static int bio_send(void* context, const unsigned char* data, std::size_t length);
    static int bio_recv(void* context, unsigned char* buffer, std::size_t length);

    ServerLoop& loop_;
    Service& service_;
    const std::uint64_t id_;
    int fd_;
    const std::string remote_;
    const std::string listener_;
    Phase phase_ = Phase::kClear;
    std::unique_ptr<Tls> tls_;
    ClientInput input_;
    Bytes out_;
    std::size_t out_sent_ = 0;
    // Frames for a TLS client not yet written into TLS: one pass's frames
    // go out in as few records (and sends) as they fit.
    Bytes tls_plain_;
    bool flush_due_ = false;  // in the loop's list of peers to flush after the pass
    bool want_write_ = false;
    bool doomed_ = false;
    std::size_t recv_budget_ = 0;  // socket bytes still allowed in this pass
    std::string close_reason_;
    Clock::time_point last_input_;
    Clock::time_point last_output_;    // the last frame queued for the client
    Clock::time_point stalled_since_;  // handshake start, first partial byte, or unsent output
    bool stall_clock_running_ = false;
    bool virtual_ = false;
    std::string label_;
    std::vector<Bytes> inbox_;
    // Frames held back by the reply delay, with the time each is due.
    std::vector<std::pair<Clock::time_point, Bytes>> delayed_;
    // Bytes still allowed out before the connection is cut (ServerLoop::cut_after).
    bool cut_armed_ = false;
    std::size_t cut_left_ = 0;
};

class ServerLoop {
public:
    explicit ServerLoop(const Limits& limits = {}, LogOptions log = {});
    ~ServerLoop();
    ServerLoop(const ServerLoop&) = delete;
    ServerLoop& operator=(const ServerLoop&) = delete;

    // Listens on `address` (numeric IPv4 or IPv6) and `port` (0: any free
    // port) for `service`; returns the port taken. Throws std::runtime_error.
    int listen(const std::string& address, int port, Service& service, const std::string& name);

    // One pass: waits at most `milliseconds` for activity, handles it, and
    // about once a second closes stalled and idle clients.
    void run_once(int milliseconds);
    // Passes until stop().
    void run();
    // Ends run(); safe from any thread and from a signal handler.
    void stop() noexcept;
    bool stopping() const noexcept { return stop_.load(); }

    // The open peer with this id, or null.
    Peer* find(std::uint64_t id);
    std::size_t client_count() const noexcept { return peers_.size(); }
    // Frames taken from clients (virtual peers' included) and frames queued
    // for them, since the loop was made; read on the loop's thread.
    std::uint64_t frames_received() const noexcept { return frames_received_; }
    std::uint64_t frames_sent() const noexcept { return frames_sent_; }
    const Limits& limits() const noexcept { return limits_; }
    void set_keepalive_seconds(int seconds) noexcept { limits_.keepalive_seconds = seconds; }
    // Before the loop runs, or from its thread.
    void tap_sent_frames(FrameTap tap) { sent_tap_ = std::move(tap); }
    void tap_received_frames(BodyTap tap) { received_tap_ = std::move(tap); }

    void log_connection(const std::string& line) const;
    void log_error(const std::string& line) const;

    // Raises the soft limit of open files as far as the hard limit allows;
    // returns the soft limit in effect.
    static long raise_open_file_limit();

    // Faults for tests of clients, from the loop's thread.
    //
    // Stops reading, writing and accepting for `duration` while every TCP
    // connection stays open (new ones wait in the listen backlog); frames
    // sent meanwhile are queued. A later call sets a new end; zero or less
    // ends the freeze now. Other watched inputs (watch_input) stay served.
    void freeze(std::chrono::milliseconds duration);
    bool frozen() const noexcept { return frozen_; }
    // Closes every open client of `service` (every client when null), after
    // their queued output or, with `reset`, at once with a TCP reset.
    // Returns how many.
    std::size_t drop_clients(const Service* service, const std::string& reason, bool reset = false);
    // Closes the listening sockets of `service`; its clients stay.
    void stop_listening(const Service& service);

    // Calls `on_readable` on the loop's thread whenever `fd` is readable,
    // frozen or not; the loop neither reads nor closes `fd`.
    void watch_input(int fd, std::function<void()> on_readable);
    void forget_input(int fd);

    // Every frame sent to a client leaves `delay` later (in order); zero
    // sends new ones at once again.
    void delay_replies(std::chrono::milliseconds delay) { delay_ = delay; }
    // Frames of `type` from the clients of `service` are read and dropped
    // unanswered while `ignore` holds.
    void ignore_requests(const Service& service, std::uint8_t type, bool ignore);
    // Each connection of `service` (of every service when null), present
    // and future, is closed once `bytes` more bytes went out to it; 0 ends
    // the rule.
    void cut_after(const Service* service, std::size_t bytes);

    // A peer of `service` without a connection, for scripted actors: what
    // it is sent is kept in its inbox, and deliver() hands its frames to the
    // service. It counts as secure; drops, freezes and timers pass it by.
    Peer& add_virtual_peer(Service& service, const std::string& listener);
    // Hands one frame body (type byte first) of a virtual peer to its
    // service.
    void deliver(Peer& peer, const unsigned char* body, std::size_t size);

private:
    friend class Peer;
    struct Listener {
        int fd;
        Service* service;
        std::string name;
        bool paused = false;
    };

    void accept_from(Listener& listener);
    void watch(int fd, std::uint64_t key, bool writable, bool add = false);
    void unwatch(int fd);
    void sweep();
    void retire(std::uint64_t id);
    void close_doomed();
    // A pass's output goes out once per client, after the pass: one send
    // for everything a client was sent in it, however many frames.
    void flush_later(Peer& peer);
    void flush_due();
    // Calls `action` on each peer there is now that is still there.
    void for_each_peer(const std::function<void(Peer&)>& action);
    void thaw();
    // Sends the delayed frames that are due and notes when the next is.
    void release_delayed();
    void arm_cut(Peer& peer) const;

    Limits limits_;
    LogOptions log_;
    int epoll_fd_ = -1;
    int wake_fd_ = -1;
    std::atomic<bool> stop_{false};
    std::unordered_map<std::uint64_t, Listener> listeners_;
    std::unordered_map<std::uint64_t, std::unique_ptr<Peer>> peers_;
    std::vector<std::unique_ptr<Peer>> retired_;
    std::vector<std::pair<std::uint64_t, std::string>> doomed_;
    std::vector<std::uint64_t> flush_due_;  // peers with output queued in this pass
    bool in_pass_ = false;
    std::uint64_t next_id_ = 1;
    std::chrono::steady_clock::time_point next_sweep_;
    FrameTap sent_tap_;
    bool frozen_ = false;
    std::chrono::steady_clock::time_point thaw_at_;
    std::unordered_map<std::uint64_t, std::function<void()>> inputs_;
    BodyTap received_tap_;
    std::chrono::milliseconds delay_{0};
    std::set<std::uint64_t> delaying_;                // peers holding delayed frames
    std::chrono::steady_clock::time_point next_due_;  // of the first delayed frame
    std::set<std::pair<const Service*, std::uint8_t>> ignored_;
    std::unordered_map<const Service*, std::size_t> cut_rules_;  // null: every service
    std::uint64_t frames_received_ = 0;
    std::uint64_t frames_sent_ = 0;
};

}  // namespace kivsdk::server
