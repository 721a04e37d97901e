// The socket object of the library's own network layer: one non-blocking TCP
// stream whose activity the PollLoop reports to its connection.
#pragma once

#include <memory>

#include "base/lifetime.h"
#include "net/poll_loop.h"

struct addrinfo;

namespace kivsdk {

// Frees a resolved address list with the function of the resolver that made it.
struct AddressListRelease {
    void (*release)(addrinfo* list) = nullptr;
    void operator()(addrinfo* list) const noexcept;
};
using AddressList = std::unique_ptr<addrinfo, AddressListRelease>;

class BSDSocket : public Releasable {
public:
    // `loop` must outlive the socket's close(); it is never null.
    BSDSocket(void* connection, PollLoop* loop) noexcept;
    ~BSDSocket() override;

    // Every change of the handle goes through here, the reset to the invalid
    // handle after a close too, so a subclass can follow the handle.
    virtual void set_handle(SocketHandle handle);

    // The operations of the socket table.
    int connect(const char* host, int port);
    int send(const char* data, int length);
    int recv(char* buffer, int capacity);
    // Arms (seconds >= 0) or cancels the socket's one timer; here a timer of
    // the loop, in a subclass whatever delivers its timers.
    virtual int timeout(int seconds);

    // What destroying does that anyone can see: every watch entry and the
    // timer removed, the handle closed, the address list freed, Winsock
    // released. Runs once; the memory may outlive it (see destroy).
    virtual void close() noexcept;

    // Connect completion: the outcome of the pending attempt decides between
    // the connected state and the next address.
    // Ends the attempt in progress; `reported_error` is a failure the
    // platform reported with the completion (0: read the socket's own).
    void complete_connect(int reported_error = 0);

    SocketHandle handle() const noexcept { return handle_; }
    void* connection() const noexcept { return connection_; }
    PollLoop* loop() const noexcept { return loop_; }
    bool connecting() const noexcept { return addresses_ != nullptr; }
    // Why the last connection attempt failed, as a KIV_DETAIL_* value: the
    // name did not resolve, or the platform error of the last address tried.
    int failure_detail() const noexcept;

    // The handlers that appear in the loop's entries.
    static void connect_ready(BSDSocket* socket);
    static void readable_notifier(BSDSocket* socket);
    static void closed_notifier(BSDSocket* socket);
    static void writable_notifier(BSDSocket* socket);
    static void timer_notifier(BSDSocket* socket);

protected:
    // Reports to the connection through the loop's notify function.
    void post(int kind, int status);

private:
    // Attempt: tries the current address and, while they fail at once, the
    // ones after it; posts the result when none is left.
    void attempt();
    void become_connected();
    void stop_connecting();
    void close_handle() noexcept;
    void arm_writable();
    // A closed or failed stream: nothing of it is watched any more.
    void forget_dead_stream();

    SocketHandle handle_ = kInvalidHandle;
    void* connection_;
    PollLoop* loop_;
    AddressList addresses_;
    const addrinfo* current_ = nullptr;
    bool open_ = true;         // until close(): Winsock started, entries may exist
    bool unresolved_ = false;  // the last connect's name did not resolve
    // The writable notifier is watched: a send that empties the queue
    // removes it, and only then does a send touch the watch lists.
    bool write_armed_ = false;
    int failure_code_ = 0;  // the platform error of the last failed address
};

}  // namespace kivsdk
