// TestSocket: a blocking loopback TCP socket for test servers and test
// clients. It is the one place where test support touches the platform's
// sockets (Winsock on Windows, POSIX elsewhere).
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>

namespace kivsdk::test {

enum class Loopback { kIPv4, kIPv6 };

// "127.0.0.1" or "::1".
const char* loopback_host(Loopback address);

// True when the machine has the loopback address (an IPv6 test may skip).
bool loopback_available(Loopback address);

// Outcome of one send or receive.
struct IoResult {
    enum class Kind { kData, kClosed, kTimedOut, kError } kind;
    std::size_t count;  // bytes moved, for kData
};

class TestSocket {
public:
    TestSocket() noexcept = default;
    ~TestSocket();
    TestSocket(TestSocket&& other) noexcept;
    TestSocket& operator=(TestSocket&& other) noexcept;
    TestSocket(const TestSocket&) = delete;
    TestSocket& operator=(const TestSocket&) = delete;

    // A socket listening on the loopback address, on an ephemeral port.
    // Invalid when that fails.
    static TestSocket listen(Loopback address);
    // A blocking connect to the loopback address. Invalid when it fails.
    // `receive_buffer` > 0 asks for that receive buffer (SO_RCVBUF) first:
    // a client that stops reading then fills up soon.
    static TestSocket connect(Loopback address, int port, int receive_buffer = 0);

    bool valid() const noexcept { return handle_ != kInvalid; }
    int port() const;  // the local port, -1 when unknown

    // Waits up to `limit` for a connection on a listening socket.
    std::optional<TestSocket> accept_for(std::chrono::milliseconds limit);

    // Bounds every later blocking send and receive.
    void set_timeouts(std::chrono::milliseconds limit);

    IoResult send_some(const unsigned char* data, std::size_t length);
    IoResult recv_some(unsigned char* buffer, std::size_t capacity);
    // Sends everything or fails.
    bool send_all(const unsigned char* data, std::size_t length);
    // Receives exactly `length` bytes unless the stream ends, times out or fails.
    IoResult recv_exact(unsigned char* buffer, std::size_t length);
    // Receives and discards what is already waiting, without blocking.
    void discard_pending();

    void shutdown_send();  // FIN: the peer reads the end of the stream
    // Ends both directions; safe from another thread while this socket is
    // blocked in a receive, which then returns.
    void shutdown_both();
    void close();
    void close_with_reset();  // SO_LINGER 0: the peer sees a reset

    // The platform's error text of the last failed call on this thread.
    static std::string last_error_text();

private:
    static constexpr std::intptr_t kInvalid = -1;
    explicit TestSocket(std::intptr_t handle) noexcept : handle_(handle) {}

    std::intptr_t handle_ = kInvalid;
};

}  // namespace kivsdk::test
