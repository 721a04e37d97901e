#include "net/poll_loop.h"

#include <algorithm>
#include <climits>
#include <limits>

#include "base/clock.h"
#include "base/guard.h"
#include "base/lifetime.h"
#include "net/bsd_socket.h"
#include "net/epoll_set.h"
#include "net/platform.h"

namespace kivsdk {
namespace {

// Readiness that no list asks for (poll()'s POLLERR, POLLHUP and POLLNVAL)
// wakes only these handlers:
//  - connect-ready, while connecting: it reads SO_ERROR and moves on;
//  - the readable notifier, once connected: recv then sees the end or the
//    error and the stream stops being watched.
bool woken_by_failure(Handler handler) {
    return handler == &BSDSocket::connect_ready || handler == &BSDSocket::readable_notifier;
}

constexpr WatchList kLists[] = {WatchList::read, WatchList::write, WatchList::exception};

}  // namespace

PollLoop::PollLoop() noexcept = default;

PollLoop::PollLoop(Scalable) : epoll_(net::EpollSet::create()) {}

PollLoop::~PollLoop() = default;

int PollLoop::descriptor() const noexcept { return epoll_ ? epoll_->descriptor() : -1; }

int PollLoop::next_timer_milliseconds() const { return timers_.empty() ? -1 : time_to_block(-1); }

std::vector<WatchEntry>& PollLoop::entries_of(WatchList list) noexcept {
    switch (list) {
        case WatchList::read: return read_;
        case WatchList::write: return write_;
        case WatchList::exception: break;
    }
    return exception_;
}

const std::vector<WatchEntry>& PollLoop::entries(WatchList list) const noexcept {
    switch (list) {
        case WatchList::read: return read_;
        case WatchList::write: return write_;
        case WatchList::exception: break;
    }
    return exception_;
}

void PollLoop::watch(WatchList list, SocketHandle handle, Handler handler, BSDSocket* object) {
    entries_of(list).push_back(WatchEntry{handle, handler, object});
    if (epoll_) epoll_->add(handle, list);
}

// Removal keeps the order of the rest. Matching entries already collected
// for the running pass are blanked: whatever a handler removes is not
// dispatched later in the same pass. Each handler lives in fixed lists (and
// connect-ready leaves both of its lists together), so matching on handle,
// handler and object is exact.
template <class Match>
void PollLoop::remove_watches(WatchList which, Match match) {
    std::vector<WatchEntry>& list = entries_of(which);
    if (epoll_) {
        for (const WatchEntry& entry : list) {
            if (match(entry)) epoll_->remove(entry.handle, which);
        }
    }
    list.erase(std::remove_if(list.begin(), list.end(), match), list.end());
    for (WatchEntry& entry : ready_) {
        if (entry.object != nullptr && match(entry)) entry.object = nullptr;
    }
}

void PollLoop::unwatch(WatchList list, SocketHandle handle, Handler handler) {
    remove_watches(list, [&](const WatchEntry& entry) {
        return entry.handle == handle && entry.handler == handler;
    });
}

void PollLoop::unwatch_handle(SocketHandle handle) {
    const auto match = [&](const WatchEntry& entry) { return entry.handle == handle; };
    remove_watches(WatchList::read, match);
    remove_watches(WatchList::write, match);
    remove_watches(WatchList::exception, match);
}

void PollLoop::unwatch_object(const BSDSocket* object) {
    const auto match = [&](const WatchEntry& entry) { return entry.object == object; };
    remove_watches(WatchList::read, match);
    remove_watches(WatchList::write, match);
    remove_watches(WatchList::exception, match);
}

void PollLoop::forget_expired(const BSDSocket* object) noexcept {
    for (TimerEntry& entry : expired_) {
        if (entry.object == object) entry.object = nullptr;
    }
}

void PollLoop::set_timer(BSDSocket* object, std::int64_t deadline, Handler handler) {
    // One timer per socket: an expiry still waiting in this pass is replaced
    // as well.
    forget_expired(object);
    for (TimerEntry& entry : timers_) {
        if (entry.object == object) {
            // A nearest timer moved later leaves the nearest unknown.
            if (entry.deadline == nearest_ && deadline > nearest_) nearest_known_ = false;
            entry.deadline = deadline;
            entry.handler = handler;
            if (deadline < nearest_) nearest_ = deadline;
            return;
        }
    }
    timers_.push_back(TimerEntry{object, deadline, handler});
    if (deadline < nearest_) nearest_ = deadline;
}

std::int64_t PollLoop::nearest_deadline() const noexcept {
    if (!nearest_known_) {
        nearest_ = std::numeric_limits<std::int64_t>::max();
        for (const TimerEntry& entry : timers_) nearest_ = std::min(nearest_, entry.deadline);
        nearest_known_ = true;
    }
    return nearest_;
}

void PollLoop::cancel_timer(const BSDSocket* object) {
    forget_expired(object);
    timers_.erase(std::remove_if(timers_.begin(), timers_.end(),
                                 [&](const TimerEntry& entry) {
                                     if (entry.object != object) return false;
                                     if (entry.deadline == nearest_) nearest_known_ = false;
                                     return true;
                                 }),
                  timers_.end());
}

int PollLoop::time_to_block(int milliseconds) const {
    // Negative milliseconds: no limit of its own, only the nearest timer's.
    if (timers_.empty()) return milliseconds < 0 ? -1 : milliseconds;
    const std::int64_t nearest = nearest_deadline();
    const std::int64_t seconds = std::max<std::int64_t>(0, nearest - now_seconds());
    const std::int64_t until_timer = std::min<std::int64_t>(seconds, INT_MAX / 1000) * 1000;
    if (milliseconds < 0) return static_cast<int>(until_timer);
    return static_cast<int>(std::min<std::int64_t>(milliseconds, until_timer));
}

int PollLoop::run_pass(int milliseconds) {
    // A handler calling back into its own loop fails at once.
    if (in_pass_) return -1;
    if (watches_nothing()) {
        // Nothing to watch never returns at once (a host's loop would spin):
        // with a timer pending the pass waits for it and runs it; without
        // one it waits out its time and fails. Without a time of its own it
        // fails at once.
        if (timers_.empty() && milliseconds < 0) return -1;
        net::ReadySet nothing;
        if (nothing.wait(time_to_block(milliseconds)) < 0) return -1;
        if (timers_.empty()) return -1;
        const ScopedFlag in_pass(in_pass_);
        run_due_timers();
        return 0;
    }

    if (epoll_) {
        // The kernel keeps the interest; one call waits on all of it.
        const int count = epoll_->wait(time_to_block(milliseconds));
        if (count < 0) return -1;
        ready_.clear();
        if (count > 0) collect_ready(*epoll_);  // a quiet pass looks at no entry
    } else {
        // Each list admits its first 64 distinct handles, in list order.
        net::ReadySet sets;
        for (const WatchList list : kLists) {
            for (const WatchEntry& entry : entries_of(list)) {
                static_cast<void>(sets.admit(entry.handle, list));
            }
        }
        if (sets.wait(time_to_block(milliseconds)) < 0) return -1;
        collect_ready(sets);
    }

    const ScopedFlag in_pass(in_pass_);
    for (std::size_t i = 0; i < ready_.size(); ++i) {
        const WatchEntry entry = ready_[i];
        if (entry.object == nullptr) continue;  // removed earlier in this pass
        // A handler may destroy the socket; its memory waits for this scope.
        const DeliveryScope delivering(*entry.object);
        entry.handler(entry.object);
    }
    ready_.clear();
    run_due_timers();
    return 0;
}

template <class Sets>
void PollLoop::collect_ready(const Sets& sets) {
    // The ready list, in list order: read, then write, then exception. An
    // entry counts only if its list watched its handle in this pass.
    ready_.clear();
    for (const WatchList list : kLists) {
        for (const WatchEntry& entry : entries_of(list)) {
            if (sets.ready(entry.handle, list) ||
                (woken_by_failure(entry.handler) && sets.failed(entry.handle, list))) {
                ready_.push_back(entry);
            }
        }
    }
}

void PollLoop::run_due_timers() {
    // Due timers move, in order, from the timer list to the expired list.
    // Most passes have none due: the nearest deadline says so without a scan.
    const std::int64_t now = now_seconds();
    if (timers_.empty() || now < nearest_deadline()) return;
    nearest_known_ = false;
    expired_.clear();
    std::size_t kept = 0;
    for (const TimerEntry& entry : timers_) {
        if (entry.deadline <= now) {
            expired_.push_back(entry);
        } else {
            timers_[kept++] = entry;
        }
    }
    timers_.resize(kept);
    for (std::size_t i = 0; i < expired_.size(); ++i) {
        const TimerEntry entry = expired_[i];
        if (entry.object == nullptr) continue;  // cancelled or re-armed earlier in this pass
        const DeliveryScope delivering(*entry.object);
        entry.handler(entry.object);
    }
    expired_.clear();
}

}  // namespace kivsdk
