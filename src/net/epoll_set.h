// The readiness set of a shared loop on Linux: one epoll instance whose
// interest follows the loop's watch lists, so that a pass costs one system
// call whatever the number of sockets, and whose descriptor a host's own
// loop can watch.
#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <unordered_map>
#include <vector>

#include "net/poll_loop.h"

namespace kivsdk::net {

class EpollSet {
public:
    // Null when the kernel gives no epoll instance (or off Linux).
    static std::unique_ptr<EpollSet> create();
    ~EpollSet();
    EpollSet(const EpollSet&) = delete;
    EpollSet& operator=(const EpollSet&) = delete;

    // The epoll descriptor: readable while a watched handle is ready.
    int descriptor() const noexcept { return descriptor_; }

    // One more, or one fewer, watch entry of `list` names `handle`; the
    // kernel's interest follows when the count of a list passes 0.
    void add(SocketHandle handle, WatchList list);
    void remove(SocketHandle handle, WatchList list);

    // Blocks up to `milliseconds` (negative: no limit) and takes in at most
    // kEventsPerPass ready handles (the rest stay ready for the next pass).
    // An interrupted wait is resumed with the time that is left. Returns -1
    // when the wait fails, else the count.
    int wait(int milliseconds);
    // After wait, as ReadySet's: ready for the list, or failed (an error or
    // a hang-up) while watched for it.
    bool ready(SocketHandle handle, WatchList list) const noexcept;
    bool failed(SocketHandle handle, WatchList list) const noexcept;

    static constexpr int kEventsPerPass = 256;

private:
    explicit EpollSet(int descriptor) noexcept;
    std::uint32_t wanted(SocketHandle handle) const noexcept;
    void update(SocketHandle handle, std::uint32_t before);
    std::uint32_t ready_events(SocketHandle handle) const noexcept;

    int descriptor_;
    // Per handle, how many entries of each list name it.
    std::unordered_map<SocketHandle, std::array<int, 3>> interest_;
    // The last wait's ready handles and their events.
    std::unordered_map<SocketHandle, std::uint32_t> ready_;
};

}  // namespace kivsdk::net
