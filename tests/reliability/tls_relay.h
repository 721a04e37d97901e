// TlsRelay: a loopback man in the middle between the library and a TLS test
// server. It forwards both directions and cuts the server's stream along TLS
// record boundaries: once its gate is open, the next record from the server
// is either cut in half and the connection closed, or replaced by bytes that
// are not TLS at all. With the gate open from the start, the first record
// (the ServerHello) is the one cut: a close in the middle of the handshake.
#pragma once

#include <atomic>
#include <cstddef>
#include <mutex>
#include <thread>

#include "support/test_socket.h"
#include "support/tls_test_server.h"

namespace kivsdk::test {

class TlsRelay {
public:
    enum class Mischief { kCutRecord, kGarbage };

    // Forwards one client connection to `upstream_port` on 127.0.0.1. The
    // server's first `plain_bytes` (its answer in the clear before TLS
    // starts) pass as they are.
    TlsRelay(int upstream_port, std::size_t plain_bytes, Mischief mischief);
    ~TlsRelay();
    TlsRelay(const TlsRelay&) = delete;
    TlsRelay& operator=(const TlsRelay&) = delete;

    int port() const { return port_; }
    Gate& gate() { return gate_; }
    // True once the mischief was done.
    bool done() const { return done_.load(); }

private:
    void run(int upstream_port, std::size_t plain_bytes);
    void client_to_server();
    void server_to_client(std::size_t plain_bytes);

    Mischief mischief_;
    Gate gate_;
    std::mutex sockets_mutex_;  // the destructor may shut the streams while they are set
    TestSocket listener_;
    TestSocket client_;
    TestSocket server_;
    int port_ = -1;
    std::atomic<bool> done_{false};
    std::atomic<bool> stopping_{false};
    std::thread main_;
};

}  // namespace kivsdk::test
