// EpollTable: non-blocking TCP sockets, one epoll set, per-socket timers.
#include "epoll_table.h"

#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/epoll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

namespace kivsdk::examples {

namespace {

using Clock = std::chrono::steady_clock;

int socket_error(int fd) {
    int error = 0;
    socklen_t length = sizeof error;
    if (getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &length) != 0) return errno;
    return error;
}

}  // namespace

struct EpollTable::Socket {
    EpollTable* table = nullptr;
    void* connection = nullptr;
    std::uint64_t id = 0;
    int fd = -1;
    bool connecting = false;
    bool want_write = false;
    std::optional<Clock::time_point> deadline;

    void post(int kind, int status) const { kiv_net_notify(connection, kind, status); }
};

EpollTable::EpollTable() : epoll_fd_(epoll_create1(EPOLL_CLOEXEC)) {
    if (epoll_fd_ < 0)
        throw std::runtime_error(std::string("epoll_create1: ") + std::strerror(errno));
}

EpollTable::~EpollTable() {
    for (auto& entry : sockets_) {
        if (entry.second->fd >= 0) close(entry.second->fd);
    }
    close(epoll_fd_);
}

KIVNetConfig EpollTable::table() {
    KIVNetConfig config{};
    config.create = &op_create;
    config.destroy = &op_destroy;
    config.connect = &op_connect;
    config.send = &op_send;
    config.recv = &op_recv;
    config.timeout = &op_timeout;
    config.wait = &op_wait;
    config.context = this;
    return config;
}

void* EpollTable::op_create(void* connection, void* context) {
    auto* self = static_cast<EpollTable*>(context);
    const std::uint64_t id = self->next_id_++;
    auto socket = std::make_unique<Socket>();
    socket->table = self;
    socket->connection = connection;
    socket->id = id;
    Socket* raw = socket.get();
    self->sockets_.emplace(id, std::move(socket));
    return raw;
}

int EpollTable::op_destroy(void* handle) {
    if (handle == nullptr) return 0;
    auto* socket = static_cast<Socket*>(handle);
    if (socket->fd >= 0) {
        epoll_ctl(socket->table->epoll_fd_, EPOLL_CTL_DEL, socket->fd, nullptr);
        close(socket->fd);
    }
    socket->table->sockets_.erase(socket->id);  // frees *socket
    return 0;
}

int EpollTable::op_connect(void* handle, const char* host, int port) {
    auto* socket = static_cast<Socket*>(handle);
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_flags = AI_NUMERICSERV;
    addrinfo* found = nullptr;
    // Name resolution blocks, as in the library's own sockets; a host that
    // cares resolves beforehand and passes numeric addresses.
    const std::string service = std::to_string(port);
    if (getaddrinfo(host, service.c_str(), &hints, &found) != 0 || found == nullptr) {
        socket->post(KIV_NET_CONNECT_RESULT, -1);
        return -1;
    }
    int status = -1;
    for (addrinfo* address = found; address != nullptr; address = address->ai_next) {
        const int fd =
            ::socket(address->ai_family, address->ai_socktype | SOCK_NONBLOCK | SOCK_CLOEXEC,
                     address->ai_protocol);
        if (fd < 0) continue;
        const int one = 1;
        setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
        if (::connect(fd, address->ai_addr, address->ai_addrlen) == 0 || errno == EINPROGRESS) {
            socket->fd = fd;
            socket->connecting = true;
            status = 0;
            break;
        }
        status = errno;
        close(fd);
    }
    freeaddrinfo(found);
    if (status != 0) {
        socket->post(KIV_NET_CONNECT_RESULT, status);
        return -1;
    }
    // The end of the attempt shows as writability.
    epoll_event event{};
    event.events = EPOLLOUT;
    event.data.u64 = socket->id;
    epoll_ctl(socket->table->epoll_fd_, EPOLL_CTL_ADD, socket->fd, &event);
    return 0;
}

int EpollTable::op_send(void* handle, const char* data, int length) {
    auto* socket = static_cast<Socket*>(handle);
    if (socket->fd < 0 || socket->connecting) return -1;
    const ssize_t sent = ::send(socket->fd, data, static_cast<std::size_t>(length), MSG_NOSIGNAL);
    if (sent < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
        socket->want_write = true;
        socket->table->watch(*socket);
        return -2;
    }
    if (sent < 0) return -1;
    if (sent < length) {
        socket->want_write = true;
        socket->table->watch(*socket);
    }
    return static_cast<int>(sent);
}

int EpollTable::op_recv(void* handle, char* buffer, int capacity) {
    auto* socket = static_cast<Socket*>(handle);
    if (socket->fd < 0 || socket->connecting) return -1;
    const ssize_t got = ::recv(socket->fd, buffer, static_cast<std::size_t>(capacity), 0);
    if (got < 0) return (errno == EAGAIN || errno == EWOULDBLOCK) ? -2 : -1;
    return static_cast<int>(got);  // 0: the peer closed the stream
}

int EpollTable::op_timeout(void* handle, int seconds) {
    auto* socket = static_cast<Socket*>(handle);
    if (seconds < 0) {
        socket->deadline.reset();
    } else {
        socket->deadline = Clock::now() + std::chrono::seconds(seconds);
    }
    return 0;
}

int EpollTable::op_wait(void* context, int milliseconds) {
    return static_cast<EpollTable*>(context)->run_once(milliseconds);
}

void EpollTable::watch(Socket& socket) {
    epoll_event event{};
    event.events = EPOLLIN | EPOLLRDHUP | (socket.want_write ? EPOLLOUT : 0u);
    event.data.u64 = socket.id;
    epoll_ctl(epoll_fd_, EPOLL_CTL_MOD, socket.fd, &event);
}

void EpollTable::handle_event(std::uint64_t id, std::uint32_t events) {
    auto found = sockets_.find(id);
    if (found == sockets_.end()) return;  // destroyed earlier in this pass
    Socket& socket = *found->second;
    if (socket.connecting) {
        socket.connecting = false;
        const int error = socket_error(socket.fd);
        if (error == 0) watch(socket);
        socket.post(KIV_NET_CONNECT_RESULT, error);
        return;
    }
    if (events & EPOLLOUT) {
        socket.want_write = false;
        watch(socket);
        socket.post(KIV_NET_WRITABLE, 0);
        // The handler may have destroyed the socket.
        if (sockets_.find(id) == sockets_.end()) return;
    }
    if (events & (EPOLLIN | EPOLLRDHUP | EPOLLHUP | EPOLLERR)) {
        // recv reports the end of the stream (0) or the error (-1).
        socket.post(KIV_NET_READABLE, 0);
    }
}

int EpollTable::fire_timers() {
    const Clock::time_point now = Clock::now();
    std::vector<std::uint64_t> due;
    for (const auto& entry : sockets_) {
        if (entry.second->deadline && *entry.second->deadline <= now) due.push_back(entry.first);
    }
    for (const std::uint64_t id : due) {
        auto found = sockets_.find(id);
        if (found == sockets_.end() || !found->second->deadline) continue;
        found->second->deadline.reset();
        found->second->post(KIV_NET_TIMER, 0);
    }
    return static_cast<int>(due.size());
}

int EpollTable::run_once(int milliseconds) {
    int limit = milliseconds < 0 ? 0 : milliseconds;
    const Clock::time_point now = Clock::now();
    for (const auto& entry : sockets_) {
        if (!entry.second->deadline) continue;
        // Rounded up: a timer due in less than a millisecond must not make
        // the wait return at once and spin until it is due.
        const auto left =
            std::chrono::ceil<std::chrono::milliseconds>(*entry.second->deadline - now);
        if (left.count() < limit) limit = left.count() < 0 ? 0 : static_cast<int>(left.count());
    }
    epoll_event events[256];
    const int count = epoll_wait(epoll_fd_, events, 256, limit);
    if (count < 0 && errno != EINTR) return -1;
    for (int i = 0; i < count; ++i) handle_event(events[i].data.u64, events[i].events);
    const int timers = fire_timers();
    if (count <= 0 && timers == 0) ++idle_passes_;
    return 0;
}

}  // namespace kivsdk::examples
