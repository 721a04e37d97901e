// Helpers of the network-layer tests: loopback listeners and peers, a
// recorder for notifications, a scripted resolver, a counting socket table
// and, on POSIX, a spy on the readiness call. Everything stays on 127.0.0.1
// and ::1.
#pragma once

#include <cstdint>
#include <functional>
#include <list>
#include <string>
#include <vector>

#include "kivsdk.h"
#include "net/platform.h"
#include "net/poll_loop.h"

namespace kivsdk::nettest {

enum class Family { v4, v6 };

// The platform's would-block code (a macro on Windows).
#ifdef _WIN32
constexpr int kWouldBlock = WSAEWOULDBLOCK;
#else
constexpr int kWouldBlock = net::WSAEWOULDBLOCK;
#endif

// Whether a listener can be bound on the family's loopback address.
bool loopback_available(Family family);

// Raises the soft limit of open descriptors to at least `wanted`; false when
// the hard limit does not allow it. Always true where there is no such limit.
bool raise_descriptor_limit(unsigned long wanted);

// One end of a stream held by the test (non-blocking).
class Peer {
public:
    Peer() = default;
    explicit Peer(net::SOCKET handle) : handle_(handle) {}
    Peer(Peer&& other) noexcept;
    Peer& operator=(Peer&& other) noexcept;
    Peer(const Peer&) = delete;
    Peer& operator=(const Peer&) = delete;
    ~Peer();

    bool valid() const { return handle_ != kInvalidHandle; }
    net::SOCKET handle() const { return handle_; }
    // Sends everything (loopback takes small amounts at once); false on error.
    bool send_all(const std::string& bytes);
    // Reads whatever is there now; the count, 0 at the end, -1 on error.
    long long drain();
    void close();
    // Closes with SO_LINGER 0: the other end sees a reset.
    void reset();

private:
    net::SOCKET handle_ = kInvalidHandle;
};

// A listening socket on the loopback address of one family.
class Listener {
public:
    explicit Listener(Family family, int backlog = 128);
    ~Listener();
    Listener(const Listener&) = delete;
    Listener& operator=(const Listener&) = delete;

    bool valid() const { return handle_ != kInvalidHandle; }
    int port() const { return port_; }
    // Accepts one pending connection, waiting up to `milliseconds` for it.
    Peer accept(int milliseconds = 2000);
    void close();

private:
    net::SOCKET handle_ = kInvalidHandle;
    int port_ = 0;
};

// Blocks up to `milliseconds` until the handle is ready for `list`.
bool wait_for(net::SOCKET handle, WatchList list, int milliseconds);
#ifndef _WIN32
// Waits up to `milliseconds` until poll() reports an error or hang-up.
bool wait_for_failure(net::SOCKET handle, int milliseconds);
#endif

// An integer socket option, or -1 when it cannot be read.
int int_option(net::SOCKET handle, int level, int name);

// A port on which nothing listens on either loopback address (freed at once).
int unused_port();

// What a socket posted through its loop's notify function.
struct Notification {
    void* connection;
    int kind;
    int status;
};

// Installs itself as the notify function of the loops it is given and keeps
// every notification in order. `reaction` runs after each is recorded.
class NotificationLog {
public:
    NotificationLog();
    ~NotificationLog();
    NotificationLog(const NotificationLog&) = delete;
    NotificationLog& operator=(const NotificationLog&) = delete;

    void attach(PollLoop& loop) const { loop.notify = &NotificationLog::record; }
    static int record(void* connection, int kind, int status);

    int count(const void* connection, int kind) const;
    std::vector<int> statuses(const void* connection, int kind) const;

    std::vector<Notification> all;
    std::function<void(const Notification&)> reaction;
};

// Answers name resolution for the sockets under test. Each address is a
// loopback address with a port; port 0 takes the port of the service, as a
// real resolver would. A fault makes socket() or connect() refuse the
// address at once.
class ScriptedResolver {
public:
    enum class Fault { none, no_socket, bad_address };
    struct Address {
        Family family;
        int port = 0;
        Fault fault = Fault::none;
    };

    ScriptedResolver();
    ~ScriptedResolver();
    ScriptedResolver(const ScriptedResolver&) = delete;
    ScriptedResolver& operator=(const ScriptedResolver&) = delete;

    void answer(std::vector<Address> addresses);
    // Fails, leaving `last_error` as the platform's last error.
    void fail(int last_error);

    int resolutions = 0;
    int releases = 0;
    std::string last_host;
    std::string last_service;
    int last_hint_family = -1;
    int last_hint_socktype = -1;
    int last_hint_protocol = -1;

private:
    struct Node;
    static int resolve(const char* host, const char* service, const addrinfo* hints,
                       addrinfo** result);
    static void release(addrinfo* list);

    std::vector<Address> addresses_;
    bool failing_ = false;
    int last_error_ = 0;
    std::list<Node> nodes_;
};

// Wraps a socket table and counts the recv and send calls made through it.
struct CountingTable {
    static KIVNetConfig wrap(const KIVNetConfig& real);
    static KIVNetConfig real;
    static int recv_calls;
    static int send_calls;
};

#ifndef _WIN32
// Replaces the readiness call: records each timeout and hands the call to
// poll() with a zero timeout (so no test blocks), then lets `adjust` change
// the results. `interruptions` calls fail with EINTR first.
class PollSpy {
public:
    PollSpy();
    ~PollSpy();
    PollSpy(const PollSpy&) = delete;
    PollSpy& operator=(const PollSpy&) = delete;

    std::vector<int> timeouts;
    int interruptions = 0;
    std::function<void(pollfd* descriptors, nfds_t count)> adjust;

private:
    static int call(pollfd* descriptors, nfds_t count, int timeout_milliseconds);
};
#endif

}  // namespace kivsdk::nettest
