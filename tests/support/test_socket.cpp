#include "support/test_socket.h"

#include <cerrno>
#include <cstring>
#include <system_error>
#include <utility>

#ifdef _WIN32
#include <winsock2.h>
#include <ws2tcpip.h>
#else
#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>
#endif

namespace kivsdk::test {
namespace {

#ifdef _WIN32
using Native = SOCKET;
using SockLen = int;
constexpr int kShutSend = SD_SEND;
constexpr int kShutBoth = SD_BOTH;
constexpr int kSendFlags = 0;

int last_error() { return WSAGetLastError(); }
bool timed_out(int error) { return error == WSAETIMEDOUT || error == WSAEWOULDBLOCK; }
bool interrupted(int error) { return error == WSAEINTR; }
int close_native(Native s) { return closesocket(s); }

// Winsock must be started once before the first socket call.
void ensure_started() {
    static const bool started = [] {
        WSADATA data;
        return WSAStartup(MAKEWORD(2, 2), &data) == 0;
    }();
    (void)started;
}
#else
using Native = int;
using SockLen = socklen_t;
constexpr int kShutSend = SHUT_WR;
constexpr int kShutBoth = SHUT_RDWR;
#ifdef MSG_NOSIGNAL
constexpr int kSendFlags = MSG_NOSIGNAL;  // a closed peer is an error, not SIGPIPE
#else
constexpr int kSendFlags = 0;
#endif

int last_error() { return errno; }
bool timed_out(int error) { return error == EAGAIN || error == EWOULDBLOCK; }
bool interrupted(int error) { return error == EINTR; }
int close_native(Native s) { return ::close(s); }
void ensure_started() {}
#endif

Native native(std::intptr_t handle) { return static_cast<Native>(handle); }

// Fills `storage` with the loopback address and port; returns its length.
SockLen loopback_address(Loopback address, int port, sockaddr_storage& storage) {
    std::memset(&storage, 0, sizeof storage);
    if (address == Loopback::kIPv6) {
        sockaddr_in6 six{};
        six.sin6_family = AF_INET6;
        six.sin6_addr = in6addr_loopback;
        six.sin6_port = htons(static_cast<std::uint16_t>(port));
        std::memcpy(&storage, &six, sizeof six);
        return static_cast<SockLen>(sizeof six);
    }
    sockaddr_in four{};
    four.sin_family = AF_INET;
    four.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    four.sin_port = htons(static_cast<std::uint16_t>(port));
    std::memcpy(&storage, &four, sizeof four);
    return static_cast<SockLen>(sizeof four);
}

int family(Loopback address) { return address == Loopback::kIPv6 ? AF_INET6 : AF_INET; }

// Waits until the socket is readable; false on timeout or error.
bool wait_readable(Native s, std::chrono::milliseconds limit) {
#ifdef _WIN32
    fd_set readable;
    FD_ZERO(&readable);
    FD_SET(s, &readable);
    timeval tv{};
    tv.tv_sec = static_cast<long>(limit.count() / 1000);
    tv.tv_usec = static_cast<long>((limit.count() % 1000) * 1000);
    return select(0, &readable, nullptr, nullptr, &tv) > 0;
#else
    pollfd entry{};
    entry.fd = s;
    entry.events = POLLIN;
    return ::poll(&entry, 1, static_cast<int>(limit.count())) > 0;
#endif
}

}  // namespace

const char* loopback_host(Loopback address) {
    return address == Loopback::kIPv6 ? "::1" : "127.0.0.1";
}

bool loopback_available(Loopback address) { return TestSocket::listen(address).valid(); }

TestSocket::~TestSocket() { close(); }

TestSocket::TestSocket(TestSocket&& other) noexcept
    : handle_(std::exchange(other.handle_, kInvalid)) {}

TestSocket& TestSocket::operator=(TestSocket&& other) noexcept {
    if (this != &other) {
        close();
        handle_ = std::exchange(other.handle_, kInvalid);
    }
    return *this;
}

TestSocket TestSocket::listen(Loopback address) {
    ensure_started();
    TestSocket s(static_cast<std::intptr_t>(::socket(family(address), SOCK_STREAM, IPPROTO_TCP)));
    if (!s.valid()) return s;
    sockaddr_storage storage;
    const SockLen length = loopback_address(address, 0, storage);
    if (::bind(native(s.handle_), reinterpret_cast<const sockaddr*>(&storage), length) != 0 ||
        // A full backlog drops connects, which then retry only after a
        // second or more: tests open hundreds at once.
        ::listen(native(s.handle_), SOMAXCONN) != 0) {
        s.close();
    }
    return s;
}

TestSocket TestSocket::connect(Loopback address, int port, int receive_buffer) {
    ensure_started();
    TestSocket s(static_cast<std::intptr_t>(::socket(family(address), SOCK_STREAM, IPPROTO_TCP)));
    if (!s.valid()) return s;
    if (receive_buffer > 0) {
        static_cast<void>(::setsockopt(native(s.handle_), SOL_SOCKET, SO_RCVBUF,
                                       reinterpret_cast<const char*>(&receive_buffer),
                                       static_cast<SockLen>(sizeof receive_buffer)));
    }
    sockaddr_storage storage;
    const SockLen length = loopback_address(address, port, storage);
    if (::connect(native(s.handle_), reinterpret_cast<const sockaddr*>(&storage), length) != 0) {
        s.close();
    }
    return s;
}

int TestSocket::port() const {
    sockaddr_storage storage{};
    SockLen length = static_cast<SockLen>(sizeof storage);
    if (!valid() ||
        ::getsockname(native(handle_), reinterpret_cast<sockaddr*>(&storage), &length) != 0) {
        return -1;
    }
    if (storage.ss_family == AF_INET6) {
        sockaddr_in6 six;
        std::memcpy(&six, &storage, sizeof six);
        return ntohs(six.sin6_port);
    }
    sockaddr_in four;
    std::memcpy(&four, &storage, sizeof four);
    return ntohs(four.sin_port);
}

std::optional<TestSocket> TestSocket::accept_for(std::chrono::milliseconds limit) {
    if (!valid() || !wait_readable(native(handle_), limit)) return std::nullopt;
    TestSocket accepted(static_cast<std::intptr_t>(::accept(native(handle_), nullptr, nullptr)));
    if (!accepted.valid()) return std::nullopt;
    // Frames are small; send them at once rather than wait for more.
    int on = 1;
    ::setsockopt(native(accepted.handle_), IPPROTO_TCP, TCP_NODELAY,
                 reinterpret_cast<const char*>(&on), sizeof on);
    return accepted;
}

void TestSocket::set_timeouts(std::chrono::milliseconds limit) {
    if (!valid()) return;
#ifdef _WIN32
    const DWORD value = static_cast<DWORD>(limit.count());
#else
    timeval value{};
    value.tv_sec = static_cast<decltype(value.tv_sec)>(limit.count() / 1000);
    value.tv_usec = static_cast<decltype(value.tv_usec)>((limit.count() % 1000) * 1000);
#endif
    ::setsockopt(native(handle_), SOL_SOCKET, SO_RCVTIMEO, reinterpret_cast<const char*>(&value),
                 sizeof value);
    ::setsockopt(native(handle_), SOL_SOCKET, SO_SNDTIMEO, reinterpret_cast<const char*>(&value),
                 sizeof value);
}

IoResult TestSocket::send_some(const unsigned char* data, std::size_t length) {
    if (!valid()) return {IoResult::Kind::kError, 0};
    for (;;) {
        const auto n = ::send(native(handle_), reinterpret_cast<const char*>(data),
                              static_cast<int>(length), kSendFlags);
        if (n >= 0) return {IoResult::Kind::kData, static_cast<std::size_t>(n)};
        const int error = last_error();
        if (interrupted(error)) continue;
        return {timed_out(error) ? IoResult::Kind::kTimedOut : IoResult::Kind::kError, 0};
    }
}

IoResult TestSocket::recv_some(unsigned char* buffer, std::size_t capacity) {
    if (!valid()) return {IoResult::Kind::kError, 0};
    for (;;) {
        const auto n =
            ::recv(native(handle_), reinterpret_cast<char*>(buffer), static_cast<int>(capacity), 0);
        if (n > 0) return {IoResult::Kind::kData, static_cast<std::size_t>(n)};
        if (n == 0) return {IoResult::Kind::kClosed, 0};
        const int error = last_error();
        if (interrupted(error)) continue;
        return {timed_out(error) ? IoResult::Kind::kTimedOut : IoResult::Kind::kError, 0};
    }
}

bool TestSocket::send_all(const unsigned char* data, std::size_t length) {
    std::size_t done = 0;
    while (done < length) {
        const IoResult r = send_some(data + done, length - done);
        if (r.kind != IoResult::Kind::kData || r.count == 0) return false;
        done += r.count;
    }
    return true;
}

IoResult TestSocket::recv_exact(unsigned char* buffer, std::size_t length) {
    std::size_t done = 0;
    while (done < length) {
        const IoResult r = recv_some(buffer + done, length - done);
        if (r.kind != IoResult::Kind::kData) return {r.kind, done};
        done += r.count;
    }
    return {IoResult::Kind::kData, done};
}

void TestSocket::discard_pending() {
    unsigned char scratch[4096];
    // Bounded: each pass empties up to 4 KB of what has already arrived.
    for (int pass = 0; pass < 256 && valid(); ++pass) {
        if (!wait_readable(native(handle_), std::chrono::milliseconds(0))) return;
        if (recv_some(scratch, sizeof scratch).kind != IoResult::Kind::kData) return;
    }
}

void TestSocket::shutdown_send() {
    if (valid()) ::shutdown(native(handle_), kShutSend);
}

void TestSocket::shutdown_both() {
    if (valid()) ::shutdown(native(handle_), kShutBoth);
}

void TestSocket::close() {
    if (valid()) close_native(native(std::exchange(handle_, kInvalid)));
}

void TestSocket::close_with_reset() {
    if (!valid()) return;
    linger option{};
    option.l_onoff = 1;
    option.l_linger = 0;
    ::setsockopt(native(handle_), SOL_SOCKET, SO_LINGER, reinterpret_cast<const char*>(&option),
                 sizeof option);
    close();
}

std::string TestSocket::last_error_text() { return std::system_category().message(last_error()); }

}  // namespace kivsdk::test
