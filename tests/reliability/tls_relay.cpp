#include "reliability/tls_relay.h"

#include <chrono>
#include <vector>

namespace kivsdk::test {
namespace {

constexpr std::chrono::milliseconds kLimit{10000};

}  // namespace

TlsRelay::TlsRelay(int upstream_port, std::size_t plain_bytes, Mischief mischief)
    : mischief_(mischief), listener_(TestSocket::listen(Loopback::kIPv4)) {
    port_ = listener_.port();
    main_ = std::thread([this, upstream_port, plain_bytes] { run(upstream_port, plain_bytes); });
}

TlsRelay::~TlsRelay() {
    stopping_ = true;
    gate_.open();
    {
        std::lock_guard<std::mutex> lock(sockets_mutex_);
        client_.shutdown_both();
        server_.shutdown_both();
    }
    if (main_.joinable()) main_.join();
}

void TlsRelay::run(int upstream_port, std::size_t plain_bytes) {
    std::optional<TestSocket> accepted;
    while (!stopping_ && !accepted) accepted = listener_.accept_for(std::chrono::milliseconds(100));
    if (!accepted) return;
    {
        std::lock_guard<std::mutex> lock(sockets_mutex_);
        if (stopping_) return;
        client_ = std::move(*accepted);
        server_ = TestSocket::connect(Loopback::kIPv4, upstream_port);
        if (!server_.valid()) return;
        client_.set_timeouts(kLimit);
        server_.set_timeouts(kLimit);
    }
    std::thread upward([this] { client_to_server(); });
    server_to_client(plain_bytes);
    // Whatever ended the downward stream ends the upward one too.
    client_.shutdown_both();
    server_.shutdown_both();
    upward.join();
}

void TlsRelay::client_to_server() {
    unsigned char buffer[4096];
    for (;;) {
        const IoResult r = client_.recv_some(buffer, sizeof buffer);
        if (r.kind != IoResult::Kind::kData) break;
        if (!server_.send_all(buffer, r.count)) break;
    }
    server_.shutdown_send();
}

void TlsRelay::server_to_client(std::size_t plain_bytes) {
    if (plain_bytes > 0) {
        std::vector<unsigned char> plain(plain_bytes);
        if (server_.recv_exact(plain.data(), plain.size()).kind != IoResult::Kind::kData) return;
        if (!client_.send_all(plain.data(), plain.size())) return;
    }
    for (;;) {
        unsigned char header[5];
        if (server_.recv_exact(header, sizeof header).kind != IoResult::Kind::kData) return;
        std::vector<unsigned char> body(static_cast<std::size_t>(header[3] << 8 | header[4]));
        if (!body.empty() &&
            server_.recv_exact(body.data(), body.size()).kind != IoResult::Kind::kData) {
            return;
        }
        if (gate_.is_open() && !stopping_) {
            if (mischief_ == Mischief::kCutRecord) {
                // The header and half of the record, then the end.
                client_.send_all(header, sizeof header);
                client_.send_all(body.data(), body.size() / 2);
                done_ = true;
                client_.shutdown_send();
                return;
            }
            // Not a record type, not a version: nothing a TLS client can
            // read. The stream stays open; the server's later records are
            // dropped until one side ends.
            if (!done_) {
                // Marked first: the client may report the loss before
                // send_all returns here.
                done_ = true;
                const std::vector<unsigned char> garbage(300, 0x42);
                client_.send_all(garbage.data(), garbage.size());
            }
            continue;
        }
        if (!client_.send_all(header, sizeof header)) return;
        if (!body.empty() && !client_.send_all(body.data(), body.size())) return;
    }
}

}  // namespace kivsdk::test
