// POSIX side of the platform seam: Winsock names over BSD sockets, and the
// pass's readiness wait with poll(), which has no FD_SETSIZE limit.
#ifndef _WIN32

#include <netinet/in.h>
#include <netinet/tcp.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <climits>

#include "kivsdk.h"
#include "net/platform.h"

namespace kivsdk::net {
namespace {

int platform_resolve(const char* host, const char* service, const addrinfo* hints,
                     addrinfo** result) {
    const int status = ::getaddrinfo(host, service, hints, result);
    // errno is meaningful only for EAI_SYSTEM; otherwise leave nothing in it
    // that would read as would-block.
    if (status != 0 && status != EAI_SYSTEM) errno = 0;
    return status;
}

void platform_release(addrinfo* list) { ::freeaddrinfo(list); }

constexpr Resolver kPlatformResolver{&platform_resolve, &platform_release};
Resolver resolver = kPlatformResolver;

int platform_poll(pollfd* descriptors, nfds_t count, int timeout_milliseconds) {
    return ::poll(descriptors, count, timeout_milliseconds);
}

PollFunction poll_function = &platform_poll;

#ifdef MSG_NOSIGNAL
constexpr int kSendFlags = MSG_NOSIGNAL;
#else
constexpr int kSendFlags = 0;  // SO_NOSIGPIPE is set on the socket instead
#endif

// Readiness of poll() by list:
//   read list      <- POLLIN
//   write list     <- POLLOUT
//   exception list <- POLLPRI
// POLLERR, POLLHUP and POLLNVAL are always reported and belong to no list;
// failed() exposes them and the loop decides which handler they wake.
constexpr short kListEvent[3] = {POLLIN, POLLOUT, POLLPRI};
constexpr short kErrorEvents = POLLERR | POLLHUP | POLLNVAL;

std::size_t index_of(WatchList list) { return static_cast<std::size_t>(list); }

}  // namespace

int closesocket(SOCKET handle) { return ::close(handle); }

int ioctlsocket(SOCKET handle, long command, unsigned long* argument) {
    if (command != static_cast<long>(FIONBIO) || argument == nullptr) {
        errno = EINVAL;
        return -1;
    }
    int non_blocking = *argument != 0 ? 1 : 0;
    return ::ioctl(handle, FIONBIO, &non_blocking);
}

int WSAGetLastError() {
    const int error = errno;
    if (error == EWOULDBLOCK || error == EAGAIN || error == EINPROGRESS) return WSAEWOULDBLOCK;
    return error;
}

void WSASetLastError(int error) { errno = error == WSAEWOULDBLOCK ? EWOULDBLOCK : error; }

int WSAStartup(unsigned short, WSADATA*) { return 0; }
int WSACleanup() { return 0; }

SOCKET open_socket(const addrinfo& address) {
    return ::socket(address.ai_family, address.ai_socktype, address.ai_protocol);
}

int connect_to(SOCKET handle, const addrinfo& address) {
    return ::connect(handle, address.ai_addr, address.ai_addrlen);
}

int send_some(SOCKET handle, const char* data, int length) {
    return static_cast<int>(::send(handle, data, static_cast<std::size_t>(length), kSendFlags));
}

int receive_some(SOCKET handle, char* buffer, int capacity) {
    return static_cast<int>(::recv(handle, buffer, static_cast<std::size_t>(capacity), 0));
}

int failure_detail(int error) noexcept {
    switch (error) {
        case ECONNREFUSED: return KIV_DETAIL_REFUSED;
        case ENETUNREACH:
        case EHOSTUNREACH:
        case ENETDOWN:
        case EHOSTDOWN:
        case ETIMEDOUT: return KIV_DETAIL_UNREACHABLE;
        case ECONNRESET:
        case EPIPE: return KIV_DETAIL_RESET;
        default: return KIV_DETAIL_CONNECT_FAILED;
    }
}

int pending_error(SOCKET handle) {
    int error = -1;
    socklen_t length = sizeof error;
    if (::getsockopt(handle, SOL_SOCKET, SO_ERROR, &error, &length) != 0) return -1;
    return error;
}

void tune_stream_socket(SOCKET handle) {
    const int on = 1;
    // Best effort: a socket without these options still works.
    static_cast<void>(::setsockopt(handle, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on));
#ifdef SO_NOSIGPIPE
    static_cast<void>(::setsockopt(handle, SOL_SOCKET, SO_NOSIGPIPE, &on, sizeof on));
#endif
}

Resolver current_resolver() noexcept { return resolver; }

void set_resolver_for_testing(const Resolver* replacement) noexcept {
    resolver = replacement != nullptr ? *replacement : kPlatformResolver;
}

void set_poll_for_testing(PollFunction function) noexcept {
    poll_function = function != nullptr ? function : &platform_poll;
}

ReadySet::ReadySet() noexcept : descriptors_{} {}

std::size_t ReadySet::find(SocketHandle handle) const noexcept {
    std::size_t i = 0;
    while (i < used_ && descriptors_[i].fd != handle) ++i;
    return i;
}

bool ReadySet::admit(SocketHandle handle, WatchList list) noexcept {
    const short event = kListEvent[index_of(list)];
    std::size_t& admitted = admitted_[index_of(list)];
    const std::size_t index = find(handle);
    if (index < used_ && (descriptors_[index].events & event) != 0) return true;
    if (admitted == kMaxHandlesPerList) return false;
    if (index == used_) {
        // Cannot overflow: each list adds at most kMaxHandlesPerList handles.
        descriptors_[used_++] = pollfd{handle, 0, 0};
    }
    pollfd& slot = descriptors_[index];
    slot.events = static_cast<short>(slot.events | event);
    ++admitted;
    return true;
}

int ReadySet::wait(int milliseconds) noexcept {
    using Clock = std::chrono::steady_clock;
    const auto start = Clock::now();
    int remaining = milliseconds;
    for (;;) {
        const int count = poll_function(descriptors_.data(), static_cast<nfds_t>(used_), remaining);
        if (count >= 0) return count;
        if (errno != EINTR) return -1;
        // A signal is not a failure: wait again for what is left of the time.
        if (milliseconds >= 0) {
            const auto spent =
                std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
            remaining = static_cast<int>(
                std::max<long long>(0, static_cast<long long>(milliseconds) - spent));
        }
    }
}

bool ReadySet::ready(SocketHandle handle, WatchList list) const noexcept {
    const short event = kListEvent[index_of(list)];
    const std::size_t index = find(handle);
    if (index == used_) return false;
    const pollfd& slot = descriptors_[index];
    return (slot.events & event) != 0 && (slot.revents & event) != 0;
}

bool ReadySet::failed(SocketHandle handle, WatchList list) const noexcept {
    const short event = kListEvent[index_of(list)];
    const std::size_t index = find(handle);
    if (index == used_) return false;
    const pollfd& slot = descriptors_[index];
    return (slot.events & event) != 0 && (slot.revents & kErrorEvents) != 0;
}

}  // namespace kivsdk::net

#endif  // !_WIN32
