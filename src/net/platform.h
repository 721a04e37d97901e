// The one platform seam of the network layer. The socket code is written
// against Winsock 2; on Windows these are the real Winsock names, elsewhere
// small POSIX stand-ins with the same names and meanings.
#pragma once

#include <array>
#include <cstddef>
#include <type_traits>

#include "net/poll_loop.h"

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
#include <netdb.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#endif

namespace kivsdk::net {

#ifdef _WIN32
using ::closesocket;
using ::ioctlsocket;
using ::SOCKET;
using ::WSACleanup;
using ::WSADATA;
using ::WSAGetLastError;
using ::WSASetLastError;
using ::WSAStartup;
#else
using SOCKET = int;
constexpr SOCKET INVALID_SOCKET = -1;
// The would-block code: EWOULDBLOCK, EAGAIN and EINPROGRESS all read as it.
constexpr int WSAEWOULDBLOCK = 10035;
struct WSADATA {};

int closesocket(SOCKET handle);
// Only FIONBIO is supported: a non-zero argument makes the handle non-blocking.
int ioctlsocket(SOCKET handle, long command, unsigned long* argument);
// errno as a Winsock code: WSAEWOULDBLOCK for the three would-block values,
// else the positive errno value itself.
int WSAGetLastError();
void WSASetLastError(int error);
// Nothing to start or clean up on POSIX; both succeed.
int WSAStartup(unsigned short version, WSADATA* data);
int WSACleanup();
#endif

static_assert(std::is_same<SOCKET, SocketHandle>::value, "the loop stores platform handles");

// Winsock version 2.0, as WSAStartup takes it.
constexpr unsigned short kWinsockVersion = 0x0002;

// Stream-socket calls whose signatures differ between the platforms. Each
// returns what the platform call returns; errors are read with WSAGetLastError.
SOCKET open_socket(const addrinfo& address);
int connect_to(SOCKET handle, const addrinfo& address);
// send without raising SIGPIPE for a peer that has gone.
int send_some(SOCKET handle, const char* data, int length);
int receive_some(SOCKET handle, char* buffer, int capacity);
// The pending error of a connection attempt (SO_ERROR); -1 when unreadable.
int pending_error(SOCKET handle);
// A platform error of a failed connect as a KIV_DETAIL_* value (refused,
// unreachable, reset, or connect failed for anything else and for 0).
int failure_detail(int error) noexcept;
// TCP_NODELAY: the protocol is a conversation of small frames. Where SIGPIPE
// is suppressed per socket (SO_NOSIGPIPE), that is set here too.
void tune_stream_socket(SOCKET handle);

// Name resolution, replaceable by tests: getaddrinfo and freeaddrinfo unless
// a test installs its own pair. A list is always released by the release
// function of the resolver that made it.
using ResolveFunction = int (*)(const char* host, const char* service, const addrinfo* hints,
                                addrinfo** result);
using ReleaseFunction = void (*)(addrinfo* list);
struct Resolver {
    ResolveFunction resolve;
    ReleaseFunction release;
};
Resolver current_resolver() noexcept;
// A null resolver restores the platform's.
void set_resolver_for_testing(const Resolver* resolver) noexcept;

#ifndef _WIN32
// The readiness call, replaceable by tests that observe or script it. A null
// function restores poll().
using PollFunction = int (*)(pollfd* descriptors, nfds_t count, int timeout_milliseconds);
void set_poll_for_testing(PollFunction function) noexcept;
#endif

// The handles one pass waits on, built afresh on the stack by every pass.
// Each list admits at most kMaxHandlesPerList distinct handles.
class ReadySet {
public:
    ReadySet() noexcept;

    // True when `handle` is (now) in the list's set; false when the set is
    // already full with other handles.
    bool admit(SocketHandle handle, WatchList list) noexcept;
    // Blocks up to `milliseconds` (negative: no limit) until a handle is
    // ready. An interrupted wait is resumed with the time that is left.
    // Returns -1 when the platform call fails, else the platform's count.
    int wait(int milliseconds) noexcept;
    // After wait: the handle, admitted to `list`, is ready for it.
    bool ready(SocketHandle handle, WatchList list) const noexcept;
    // After wait: the handle, admitted to `list`, reported an error or a
    // hang-up that the list's own readiness does not show (poll only).
    bool failed(SocketHandle handle, WatchList list) const noexcept;

private:
#ifdef _WIN32
    std::array<fd_set, 3> sets_;
#else
    // The slot of `handle`, or used_ when it has none.
    std::size_t find(SocketHandle handle) const noexcept;

    std::array<pollfd, 3 * kMaxHandlesPerList> descriptors_;
    std::size_t used_ = 0;
    std::array<std::size_t, 3> admitted_{};
#endif
};

}  // namespace kivsdk::net
