// The context of the library's own sockets: lists of watched handles and
// timers, serviced one pass at a time by the table's wait operation.
#pragma once

#include <cstddef>
#include <cstdint>
#include <limits>
#include <memory>
#include <vector>

#include "kivsdk.h"

namespace kivsdk {

class BSDSocket;
namespace net {
class EpollSet;
}

// A platform socket handle: SOCKET on Windows, a descriptor elsewhere. Kept
// free of system headers so that users of the loop need none.
#ifdef _WIN32
using SocketHandle = std::uintptr_t;
#else
using SocketHandle = int;
#endif
// The invalid handle has all bits set (INVALID_SOCKET, or -1).
constexpr SocketHandle kInvalidHandle = static_cast<SocketHandle>(~SocketHandle{0});

// Runs when an entry is due; receives the entry's socket object.
using Handler = void (*)(BSDSocket* socket);
// Where sockets post their notifications (kiv_net_notify by default).
using NotifyFunction = int (*)(void* connection, int kind, int status);

struct WatchEntry {
    SocketHandle handle;
    Handler handler;
    BSDSocket* object;  // null in a scratch list: removed earlier in the pass
};

struct TimerEntry {
    BSDSocket* object;      // null in a scratch list: cancelled earlier in the pass
    std::int64_t deadline;  // whole seconds of now_seconds()
    Handler handler;
};

enum class WatchList { read = 0, write = 1, exception = 2 };

// A list takes at most this many distinct handles in one pass; the rest wait.
constexpr std::size_t kMaxHandlesPerList = 64;

class PollLoop {
public:
    PollLoop() noexcept;
    // A loop for many sockets: on Linux its readiness is one epoll set
    // (no limit of handles per list, and a descriptor a host can watch);
    // elsewhere, or when the kernel refuses one, the same as the default.
    struct Scalable {};
    explicit PollLoop(Scalable);
    ~PollLoop();
    PollLoop(const PollLoop&) = delete;
    PollLoop& operator=(const PollLoop&) = delete;

    // One pass: waits up to `milliseconds` (negative: until activity or the
    // nearest timer) and dispatches what is due. With nothing watched it
    // waits for the nearest timer (at most `milliseconds`) and runs it, or,
    // with no timer, waits out `milliseconds` and returns -1 (at once for a
    // negative time). Returns -1 when the wait fails, else 0.
    int run_pass(int milliseconds);

    bool watches_nothing() const noexcept {
        return read_.empty() && write_.empty() && exception_.empty();
    }

    // Appends an entry; it takes part from the next pass on.
    void watch(WatchList list, SocketHandle handle, Handler handler, BSDSocket* object);
    // Removes every entry of `handle` with `handler` from `list`.
    void unwatch(WatchList list, SocketHandle handle, Handler handler);
    // Removes every entry of `handle` from all three lists.
    void unwatch_handle(SocketHandle handle);
    // Removes every entry that names `object`, whatever its handle.
    void unwatch_object(const BSDSocket* object);

    // Sets the socket's one timer to `deadline`, replacing a pending one.
    void set_timer(BSDSocket* object, std::int64_t deadline, Handler handler);
    void cancel_timer(const BSDSocket* object);

    const std::vector<WatchEntry>& entries(WatchList list) const noexcept;
    const std::vector<TimerEntry>& timers() const noexcept { return timers_; }

    // The epoll descriptor of a scalable loop on Linux, else -1.
    int descriptor() const noexcept;
    // Milliseconds until the nearest timer is due (0 when one is), -1
    // without a timer.
    int next_timer_milliseconds() const;
    bool in_pass() const noexcept { return in_pass_; }

    // The notification entry point of this loop's sockets.
    NotifyFunction notify = &kiv_net_notify;

private:
    void run_due_timers();
    std::vector<WatchEntry>& entries_of(WatchList list) noexcept;
    // Keeps the scratch lists honest: an entry removed from the watch or
    // timer lists is blanked there too, so a pass never dispatches it.
    template <class Match>
    void remove_watches(WatchList which, Match match);
    template <class Sets>
    void collect_ready(const Sets& sets);
    void forget_expired(const BSDSocket* object) noexcept;
    int time_to_block(int milliseconds) const;

    std::vector<WatchEntry> read_;
    std::vector<WatchEntry> write_;
    std::vector<WatchEntry> exception_;
    std::vector<TimerEntry> timers_;
    std::vector<WatchEntry> ready_;    // scratch, reused by every pass
    std::vector<TimerEntry> expired_;  // scratch, reused by every pass
    bool in_pass_ = false;
    // The earliest deadline of timers_, while known (whole seconds).
    std::int64_t nearest_deadline() const noexcept;
    mutable std::int64_t nearest_ = std::numeric_limits<std::int64_t>::max();
    mutable bool nearest_known_ = true;
    std::unique_ptr<net::EpollSet> epoll_;  // a scalable loop's readiness, on Linux
};

// The default socket table over `loop` (which the caller keeps alive).
KIVNetConfig default_socket_table(PollLoop* loop) noexcept;

}  // namespace kivsdk
