// EpollTable: a host-supplied socket operations table over Linux epoll.
//
// One EpollTable is the context of the KIVNetConfig that every Instance of
// the host is created with; one run_once() pass serves the sockets of all of
// them, so a thousand bots need one loop and one thread, not a thousand
// kiv_wait calls. The host can equally fold poll_fd() into an epoll set of
// its own and call run_once(0) when it becomes readable.
//
//   EpollTable loop;
//   KIVNetConfig table = loop.table();
//   KIVInstance* a = kiv_create(&table);
//   KIVInstance* b = kiv_create(&table);
//   ... set callback handlers, start requests ...
//   while (running) loop.run_once(100);
//
// Use callback-style requests: a blocking connect, login or enter loops on
// kiv_wait of its own Instance, which runs this same loop, so every other
// Instance's handlers would run nested inside it.
//
// Every notification is posted on the thread that calls run_once (or from
// inside connect), as the socket-table contract requires. The table must
// outlive every Instance created with it.
#pragma once

#include <cstdint>
#include <memory>
#include <unordered_map>

#include "kivsdk.h"

namespace kivsdk::examples {

class EpollTable {
public:
    EpollTable();
    ~EpollTable();
    EpollTable(const EpollTable&) = delete;
    EpollTable& operator=(const EpollTable&) = delete;

    // The operations table to hand to kiv_create; its context is this object.
    KIVNetConfig table();

    // One pass: waits at most `milliseconds` (and no longer than the nearest
    // timer) for activity, then posts every notification that is due.
    // Returns 0, or -1 when epoll fails.
    int run_once(int milliseconds);

    int poll_fd() const noexcept { return epoll_fd_; }
    std::size_t socket_count() const noexcept { return sockets_.size(); }
    // Passes that posted nothing: a way to see that the loop does not spin.
    std::uint64_t idle_passes() const noexcept { return idle_passes_; }

private:
    struct Socket;

    static void* op_create(void* connection, void* context);
    static int op_destroy(void* socket);
    static int op_connect(void* socket, const char* host, int port);
    static int op_send(void* socket, const char* data, int length);
    static int op_recv(void* socket, char* buffer, int capacity);
    static int op_timeout(void* socket, int seconds);
    static int op_wait(void* context, int milliseconds);

    void watch(Socket& socket);
    void handle_event(std::uint64_t id, std::uint32_t events);
    int fire_timers();

    int epoll_fd_ = -1;
    std::uint64_t next_id_ = 1;
    // Keyed by id, not address: an event for a socket destroyed earlier in
    // the same pass finds nothing, even if a new socket reuses the address.
    std::unordered_map<std::uint64_t, std::unique_ptr<Socket>> sockets_;
    std::uint64_t idle_passes_ = 0;
};

}  // namespace kivsdk::examples
