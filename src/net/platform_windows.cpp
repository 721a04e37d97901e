// Windows side of the platform seam: the real Winsock calls, and the pass's
// readiness wait with select(), whose sets hold 64 handles each.
#ifdef _WIN32

#include "kivsdk.h"
#include "net/platform.h"

namespace kivsdk::net {
namespace {

int platform_resolve(const char* host, const char* service, const addrinfo* hints,
                     addrinfo** result) {
    return ::getaddrinfo(host, service, hints, result);
}

void platform_release(addrinfo* list) { ::freeaddrinfo(list); }

constexpr Resolver kPlatformResolver{&platform_resolve, &platform_release};
Resolver resolver = kPlatformResolver;

static_assert(FD_SETSIZE >= kMaxHandlesPerList, "a set must take a full list");

std::size_t index_of(WatchList list) { return static_cast<std::size_t>(list); }

bool contains(const fd_set& set, SocketHandle handle) {
    for (u_int i = 0; i < set.fd_count; ++i) {
        if (set.fd_array[i] == handle) return true;
    }
    return false;
}

}  // namespace

SOCKET open_socket(const addrinfo& address) {
    return ::socket(address.ai_family, address.ai_socktype, address.ai_protocol);
}

int connect_to(SOCKET handle, const addrinfo& address) {
    return ::connect(handle, address.ai_addr, static_cast<int>(address.ai_addrlen));
}

// Winsock raises no signal for a peer that has gone.
int send_some(SOCKET handle, const char* data, int length) {
    return ::send(handle, data, length, 0);
}

int receive_some(SOCKET handle, char* buffer, int capacity) {
    return ::recv(handle, buffer, capacity, 0);
}

int failure_detail(int error) noexcept {
    switch (error) {
        case WSAECONNREFUSED: return KIV_DETAIL_REFUSED;
        case WSAENETUNREACH:
        case WSAEHOSTUNREACH:
        case WSAENETDOWN:
        case WSAEHOSTDOWN:
        case WSAETIMEDOUT: return KIV_DETAIL_UNREACHABLE;
        case WSAECONNRESET: return KIV_DETAIL_RESET;
        default: return KIV_DETAIL_CONNECT_FAILED;
    }
}

int pending_error(SOCKET handle) {
    int error = -1;
    int length = sizeof error;
    if (::getsockopt(handle, SOL_SOCKET, SO_ERROR, reinterpret_cast<char*>(&error), &length) != 0) {
        return -1;
    }
    return error;
}

void tune_stream_socket(SOCKET handle) {
    const BOOL on = TRUE;
    // Best effort: a socket without it still works.
    static_cast<void>(::setsockopt(handle, IPPROTO_TCP, TCP_NODELAY,
                                   reinterpret_cast<const char*>(&on), sizeof on));
}

Resolver current_resolver() noexcept { return resolver; }

void set_resolver_for_testing(const Resolver* replacement) noexcept {
    resolver = replacement != nullptr ? *replacement : kPlatformResolver;
}

ReadySet::ReadySet() noexcept {
    for (fd_set& set : sets_) set.fd_count = 0;
}

bool ReadySet::admit(SocketHandle handle, WatchList list) noexcept {
    fd_set& set = sets_[index_of(list)];
    if (contains(set, handle)) return true;
    if (set.fd_count == kMaxHandlesPerList) return false;
    set.fd_array[set.fd_count++] = handle;
    return true;
}

int ReadySet::wait(int milliseconds) noexcept {
    timeval limit{};
    timeval* limit_or_none = nullptr;  // no limit: block until a handle is ready
    if (milliseconds >= 0) {
        limit.tv_sec = milliseconds / 1000;
        limit.tv_usec = (milliseconds % 1000) * 1000;
        limit_or_none = &limit;
    }
    // A pass with nothing to watch only waits out its time: select() would
    // refuse three empty sets.
    if (sets_[0].fd_count == 0 && sets_[1].fd_count == 0 && sets_[2].fd_count == 0) {
        if (milliseconds > 0) ::Sleep(static_cast<DWORD>(milliseconds));
        return 0;
    }
    // Winsock refuses empty sets: an empty one is passed as none.
    fd_set* sets[3];
    for (std::size_t i = 0; i < sets_.size(); ++i) {
        sets[i] = sets_[i].fd_count != 0 ? &sets_[i] : nullptr;
    }
    // Winsock ignores the first argument (the largest descriptor plus one
    // elsewhere); interrupted calls do not occur without blocking hooks.
    const int count = ::select(0, sets[0], sets[1], sets[2], limit_or_none);
    return count == SOCKET_ERROR ? -1 : count;
}

// select() leaves in each set only the handles that are ready for it; a
// failed connect shows in the exception set.
bool ReadySet::ready(SocketHandle handle, WatchList list) const noexcept {
    return contains(sets_[index_of(list)], handle);
}

bool ReadySet::failed(SocketHandle, WatchList) const noexcept { return false; }

}  // namespace kivsdk::net

#endif  // _WIN32
