#include "net/epoll_set.h"

#if defined(__linux__)

#include <sys/epoll.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>

namespace kivsdk::net {
namespace {

// Readiness by list, as poll()'s: read <- EPOLLIN, write <- EPOLLOUT,
// exception <- EPOLLPRI; errors and hang-ups belong to no list.
constexpr std::uint32_t kListEvent[3] = {EPOLLIN, EPOLLOUT, EPOLLPRI};
constexpr std::uint32_t kErrorEvents = EPOLLERR | EPOLLHUP;

std::size_t index_of(WatchList list) { return static_cast<std::size_t>(list); }

}  // namespace

std::unique_ptr<EpollSet> EpollSet::create() {
    const int descriptor = ::epoll_create1(EPOLL_CLOEXEC);
    if (descriptor < 0) return nullptr;
    return std::unique_ptr<EpollSet>(new EpollSet(descriptor));
}

EpollSet::EpollSet(int descriptor) noexcept : descriptor_(descriptor) {}

EpollSet::~EpollSet() { ::close(descriptor_); }

std::uint32_t EpollSet::wanted(SocketHandle handle) const noexcept {
    const auto found = interest_.find(handle);
    if (found == interest_.end()) return 0;
    std::uint32_t events = 0;
    for (std::size_t list = 0; list < 3; ++list) {
        if (found->second[list] > 0) events |= kListEvent[list];
    }
    return events;
}

void EpollSet::update(SocketHandle handle, std::uint32_t before) {
    const std::uint32_t after = wanted(handle);
    if (after == before) return;
    epoll_event event{};
    event.events = after;
    event.data.fd = handle;
    const int operation = before == 0 ? EPOLL_CTL_ADD : after == 0 ? EPOLL_CTL_DEL : EPOLL_CTL_MOD;
    // A handle closed before it was unwatched has left the set by itself;
    // there is nothing else to repair.
    static_cast<void>(::epoll_ctl(descriptor_, operation, handle, &event));
    if (after == 0) interest_.erase(handle);
}

void EpollSet::add(SocketHandle handle, WatchList list) {
    const std::uint32_t before = wanted(handle);
    ++interest_[handle][index_of(list)];
    update(handle, before);
}

void EpollSet::remove(SocketHandle handle, WatchList list) {
    const auto found = interest_.find(handle);
    if (found == interest_.end() || found->second[index_of(list)] == 0) return;
    const std::uint32_t before = wanted(handle);
    --found->second[index_of(list)];
    update(handle, before);
}

int EpollSet::wait(int milliseconds) {
    using Clock = std::chrono::steady_clock;
    const auto start = Clock::now();
    epoll_event events[kEventsPerPass];
    int remaining = milliseconds;
    for (;;) {
        const int count = ::epoll_wait(descriptor_, events, kEventsPerPass, remaining);
        if (count >= 0) {
            ready_.clear();
            for (int i = 0; i < count; ++i) ready_[events[i].data.fd] |= events[i].events;
            return count;
        }
        if (errno != EINTR) return -1;
        if (milliseconds >= 0) {
            const auto spent =
                std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
            remaining = spent >= milliseconds ? 0 : static_cast<int>(milliseconds - spent);
        }
    }
}

std::uint32_t EpollSet::ready_events(SocketHandle handle) const noexcept {
    const auto found = ready_.find(handle);
    return found == ready_.end() ? 0 : found->second;
}

// Few handles are ready in a pass: their events are looked at first.
bool EpollSet::ready(SocketHandle handle, WatchList list) const noexcept {
    const std::uint32_t event = kListEvent[index_of(list)];
    return (ready_events(handle) & event) != 0 && (wanted(handle) & event) != 0;
}

bool EpollSet::failed(SocketHandle handle, WatchList list) const noexcept {
    const std::uint32_t event = kListEvent[index_of(list)];
    return (ready_events(handle) & kErrorEvents) != 0 && (wanted(handle) & event) != 0;
}

}  // namespace kivsdk::net

#else  // !__linux__

namespace kivsdk::net {

std::unique_ptr<EpollSet> EpollSet::create() { return nullptr; }
EpollSet::EpollSet(int descriptor) noexcept : descriptor_(descriptor) {}
EpollSet::~EpollSet() = default;
void EpollSet::add(SocketHandle, WatchList) {}
void EpollSet::remove(SocketHandle, WatchList) {}
int EpollSet::wait(int) { return -1; }
bool EpollSet::ready(SocketHandle, WatchList) const noexcept { return false; }
bool EpollSet::failed(SocketHandle, WatchList) const noexcept { return false; }

}  // namespace kivsdk::net

#endif
