/*
 * kivsdk/adapters/socket_core.hpp - the sockets of every event-loop adapter.
 *
 * A socket operations table (KIVNetConfig, see kivsdk.h) over non-blocking
 * BSD sockets whose readiness and timers come from the host's event loop.
 * It does everything a table has to do: a non-blocking connect that tries
 * every address of a name in turn, send and recv with the -2 (would block),
 * -1 (error) and 0 (closed) results, a timer per socket that works before
 * connect, and a destroy that may be called from inside the socket's own
 * notification. An adapter only maps two calls onto its loop: "watch this
 * handle for reading and/or writing" and "run this socket's timer in N ms";
 * and tells the core what its loop saw (SocketCore::ready, ::timer_due).
 *
 * Header-only; the library does not depend on it. Names are resolved with a
 * blocking getaddrinfo in connect (use numeric addresses where that
 * matters). Sockets, notifications and timers belong to the thread of the
 * host's loop.
 */
#ifndef KIVSDK_ADAPTERS_SOCKET_CORE_HPP
#define KIVSDK_ADAPTERS_SOCKET_CORE_HPP

#include "kivsdk.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>
#include <new>

#ifdef _WIN32
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <winsock2.h>
#include <ws2tcpip.h>
#else
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>
#endif

namespace kivsdk {
namespace adapters {

#ifdef _WIN32
using NativeHandle = SOCKET;
constexpr NativeHandle kNoHandle = INVALID_SOCKET;
#else
using NativeHandle = int;
constexpr NativeHandle kNoHandle = -1;
#endif

class AdapterSocket;

// What an adapter maps onto its loop. Every call comes from the host loop's
// thread, from inside a table operation or a notification.
class LoopHooks {
public:
    // Watch the socket's current handle for reading and/or writing; both
    // false stops watching it. Called again whenever the interest or the
    // handle changes (a connect tries a new handle per address).
    virtual void watch(AdapterSocket& socket, bool readable, bool writable) = 0;
    // The socket's one timer: due after `milliseconds` (>= 0), replacing a
    // pending one; negative cancels it. It may be armed before connect.
    virtual void set_timer(AdapterSocket& socket, int milliseconds) = 0;
    // The socket is destroyed: stop watching it and its timer. Once the loop
    // holds nothing that refers to it any more (at once, or in a close
    // callback of the loop), the adapter calls socket.released().
    virtual void forget(AdapterSocket& socket) = 0;

protected:
    ~LoopHooks() = default;
};

// One socket of the library's connections. The adapter keeps its own state
// for it in `adapter_state` (its loop's handles).
class AdapterSocket {
public:
    AdapterSocket(void* connection, LoopHooks& hooks) noexcept
        : connection_(connection), hooks_(hooks) {}
    AdapterSocket(const AdapterSocket&) = delete;
    AdapterSocket& operator=(const AdapterSocket&) = delete;

    NativeHandle handle() const noexcept { return handle_; }
    bool destroyed() const noexcept { return destroyed_; }
    void* adapter_state = nullptr;

    // What the adapter's loop saw for the handle it watches: readiness, or
    // an error or hang-up (`failed`).
    void ready(bool readable, bool writable, bool failed) {
        if (destroyed_) return;
        const Guard guard(*this);
        if (connecting()) {
            if (writable || failed) finish_attempt();
            return;
        }
        if (!connected_) return;
        if (writable && want_write_) {
            want_write_ = false;
            rewatch();
            notify(KIV_NET_WRITABLE, 0);
            if (destroyed_) return;
        }
        // recv tells the end of the stream or the error.
        if (readable || failed) notify(KIV_NET_READABLE, 0);
    }

    // The socket's timer is due.
    void timer_due() {
        if (destroyed_) return;
        const Guard guard(*this);
        notify(KIV_NET_TIMER, 0);
    }

    // The adapter lets go of the socket: the loop refers to it no more. The
    // memory goes once no notification of it is running.
    void released() noexcept {
        released_ = true;
        free_if_done();
    }

    // ---- the table's operations --------------------------------------------
    int connect(const char* host, int port) {
        if (destroyed_ || host == nullptr || port < 0 || port > 65535) return -1;
        if (handle_ != kNoHandle) hooks_.watch(*this, false, false);
        close_handle();
        connected_ = false;
        addrinfo hints{};
        hints.ai_family = AF_UNSPEC;
        hints.ai_socktype = SOCK_STREAM;
        hints.ai_protocol = IPPROTO_TCP;
        char service[8];
        std::snprintf(service, sizeof service, "%d", port);
        addrinfo* list = nullptr;
        if (::getaddrinfo(host, service, &hints, &list) != 0 || list == nullptr) return -1;
        addresses_.reset(list);
        current_ = list;
        return attempt();
    }

    int send(const char* data, int length) {
        if (!connected_ || handle_ == kNoHandle || length < 0) return -1;
        if (length == 0) return 0;
#ifdef _WIN32
        const int n = ::send(handle_, data, length, 0);
#elif defined(MSG_NOSIGNAL)
        const int n =
            static_cast<int>(::send(handle_, data, static_cast<size_t>(length), MSG_NOSIGNAL));
#else
        const int n = static_cast<int>(::send(handle_, data, static_cast<size_t>(length), 0));
#endif
        if (n >= 0) {
            if (n < length) arm_writable();
            return n;
        }
        if (would_block()) {
            arm_writable();
            return -2;
        }
        return -1;
    }

    int recv(char* buffer, int capacity) {
        if (!connected_ || handle_ == kNoHandle || capacity <= 0) return -1;
#ifdef _WIN32
        const int n = ::recv(handle_, buffer, capacity, 0);
#else
        const int n = static_cast<int>(::recv(handle_, buffer, static_cast<size_t>(capacity), 0));
#endif
        if (n > 0) return n;
        if (n == 0) {
            stop_reading();
            return 0;
        }
        if (would_block()) return -2;
        stop_reading();
        return -1;
    }

    int timeout(int seconds) {
        if (destroyed_) return 0;
        hooks_.set_timer(*this, seconds < 0 ? -1 : seconds > 2000000 ? 2000000000 : seconds * 1000);
        return 0;
    }

    // The library is done with the socket; it may be inside one of the
    // socket's own notifications.
    void destroy() {
        if (destroyed_) return;
        destroyed_ = true;
        hooks_.set_timer(*this, -1);
        hooks_.watch(*this, false, false);
        close_handle();
        addresses_.reset();
        hooks_.forget(*this);
    }

private:
    struct AddressRelease {
        void operator()(addrinfo* list) const noexcept { ::freeaddrinfo(list); }
    };
    // Keeps the socket's memory while a notification of it runs.
    struct Guard {
        explicit Guard(AdapterSocket& socket) noexcept : socket_(socket) { ++socket_.running_; }
        ~Guard() {
            --socket_.running_;
            socket_.free_if_done();
        }
        Guard(const Guard&) = delete;
        Guard& operator=(const Guard&) = delete;
        AdapterSocket& socket_;
    };

    bool connecting() const noexcept { return current_ != nullptr && !connected_; }

    static bool would_block() noexcept {
#ifdef _WIN32
        const int error = ::WSAGetLastError();
        return error == WSAEWOULDBLOCK || error == WSAEINPROGRESS;
#else
        return errno == EAGAIN || errno == EWOULDBLOCK || errno == EINPROGRESS;
#endif
    }

    // Tries the current address and, while they fail at once, the next;
    // reports the end when none is left. 0 while under way or done.
    int attempt() {
        while (current_ != nullptr) {
            const addrinfo& address = *current_;
            handle_ = ::socket(address.ai_family, address.ai_socktype, address.ai_protocol);
            if (handle_ != kNoHandle && make_non_blocking()) {
                const int on = 1;
                ::setsockopt(handle_, IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<const char*>(&on),
                             sizeof on);
                const int r =
                    ::connect(handle_, address.ai_addr, static_cast<socklen_t>(address.ai_addrlen));
                if (r == 0) {
                    become_connected();
                    return 0;
                }
                if (would_block()) {
                    hooks_.watch(*this, false, true);
                    return 0;
                }
            }
            close_handle();
            current_ = current_->ai_next;
        }
        addresses_.reset();
        return -1;  // failed at once: the return code says so
    }

    // The pending attempt ended: connected, or on to the next address.
    void finish_attempt() {
        int error = 0;
        socklen_t length = sizeof error;
        if (::getsockopt(handle_, SOL_SOCKET, SO_ERROR, reinterpret_cast<char*>(&error), &length) !=
            0) {
            error = -1;
        }
        if (error == 0) {
            become_connected();
            return;
        }
        hooks_.watch(*this, false, false);
        close_handle();
        current_ = current_->ai_next;
        if (attempt() != 0) notify(KIV_NET_CONNECT_RESULT, error != 0 ? error : -1);
    }

    void become_connected() {
        connected_ = true;
        current_ = nullptr;
        addresses_.reset();
        rewatch();
        notify(KIV_NET_CONNECT_RESULT, 0);
    }

    bool make_non_blocking() noexcept {
#ifdef _WIN32
        u_long on = 1;
        return ::ioctlsocket(handle_, FIONBIO, &on) == 0;
#else
        const int flags = ::fcntl(handle_, F_GETFL, 0);
        return flags >= 0 && ::fcntl(handle_, F_SETFL, flags | O_NONBLOCK) == 0;
#endif
    }

    void arm_writable() {
        if (want_write_) return;
        want_write_ = true;
        rewatch();
    }
    void stop_reading() {
        reading_ = false;
        rewatch();
    }
    void rewatch() {
        if (destroyed_ || handle_ == kNoHandle) return;
        hooks_.watch(*this, connected_ && reading_, want_write_);
    }

    void close_handle() noexcept {
        if (handle_ == kNoHandle) return;
#ifdef _WIN32
        ::closesocket(handle_);
#else
        ::close(handle_);
#endif
        handle_ = kNoHandle;
        want_write_ = false;
        reading_ = true;
    }

    void notify(int kind, int status) { kiv_net_notify(connection_, kind, status); }

    void free_if_done() noexcept {
        if (released_ && running_ == 0) delete this;  // made by SocketCore::create
    }

    void* connection_;
    LoopHooks& hooks_;
    NativeHandle handle_ = kNoHandle;
    std::unique_ptr<addrinfo, AddressRelease> addresses_;
    const addrinfo* current_ = nullptr;
    bool connected_ = false;
    bool reading_ = true;
    bool want_write_ = false;
    bool destroyed_ = false;
    bool released_ = false;
    int running_ = 0;
};

// The table of an adapter: its context is the adapter (the LoopHooks).
inline KIVNetConfig socket_core_table(LoopHooks& hooks) noexcept {
    KIVNetConfig table{};
    table.create = [](void* connection, void* context) -> void* {
        return new (std::nothrow) AdapterSocket(connection, *static_cast<LoopHooks*>(context));
    };
    table.destroy = [](void* socket) -> int {
        if (socket != nullptr) static_cast<AdapterSocket*>(socket)->destroy();
        return 0;
    };
    table.connect = [](void* socket, const char* host, int port) -> int {
        return socket != nullptr ? static_cast<AdapterSocket*>(socket)->connect(host, port) : -1;
    };
    table.send = [](void* socket, const char* data, int length) -> int {
        return socket != nullptr ? static_cast<AdapterSocket*>(socket)->send(data, length) : -1;
    };
    table.recv = [](void* socket, char* buffer, int capacity) -> int {
        return socket != nullptr ? static_cast<AdapterSocket*>(socket)->recv(buffer, capacity) : -1;
    };
    table.timeout = [](void* socket, int seconds) -> int {
        return socket != nullptr ? static_cast<AdapterSocket*>(socket)->timeout(seconds) : 0;
    };
    table.wait = nullptr;  // the host's loop runs; kiv_wait is not used
    table.context = &hooks;
    return table;
}

}  // namespace adapters
}  // namespace kivsdk

#endif  // KIVSDK_ADAPTERS_SOCKET_CORE_HPP
