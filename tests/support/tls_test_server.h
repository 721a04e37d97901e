// TlsTestServer: a loopback server for tests that talk to the library over
// real sockets, in the clear and over TLS (Mbed TLS, server side).
//
// It listens on 127.0.0.1 (or ::1) on an ephemeral port and runs the test's
// script for every accepted connection, each in its own thread:
//
//   TlsTestServer server;
//   server.on_connection([&](ServerConnection& c) {
//       auto hello = c.read_frame();                  // in the clear, e.g. {0x27}
//       c.write_frame({0x27});
//       c.start_tls(pki::universe_server(), TlsVersions::kBoth);
//       auto login = c.read_frame();                  // over TLS
//       c.write_frame({...});
//   });
//   ... drive the library against server.port() ...
//   ASSERT_TRUE(server.wait_for_finished(1));
//   EXPECT_EQ(server.report(0).bodies(), ...);
//
// Every blocking step is bounded by the server's I/O limit, so a script
// whose client stays silent ends with an error instead of hanging. A script
// that throws (ScriptError on a failed read or write, or anything else) ends
// its connection; the reason lands in the report. When the script returns,
// the connection is closed cleanly unless the script already closed it.
// The destructor stops accepting, wakes scripts blocked on their sockets and
// joins every thread.
//
// Set the script before a client connects. Reports are kept per connection
// in accept order and can be read from the test thread at any time.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "core/tls_config.h"
#include "support/test_pki.h"
#include "support/test_socket.h"

namespace kivsdk::test {

using Bytes = std::vector<unsigned char>;

// The server side of TLS is the sandbox server's.
using TlsVersions = server::TlsVersions;
using TlsOptions = server::TlsOptions;

struct ReceivedFrame {
    Bytes body;
    bool secure = false;  // arrived over TLS

    bool operator==(const ReceivedFrame& other) const {
        return body == other.body && secure == other.secure;
    }
};

// What happened on one connection.
struct ConnectionReport {
    std::size_t index = 0;                // accept order, from 0
    std::vector<ReceivedFrame> frames;    // every frame read, clear and TLS, in order
    std::optional<int> handshake_result;  // Mbed TLS result of the last handshake (0: done)
    std::string tls_version;              // "TLSv1.2" or "TLSv1.3" once established
    bool peer_closed = false;             // the client ended the stream
    bool finished = false;                // the script is over and the socket closed
    std::string error;                    // why the script stopped early; empty if it did not

    // The frame bodies alone, in order.
    std::vector<Bytes> bodies() const;
};

// A script step that could not be done: the stream ended, timed out or failed.
class ScriptError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// A one-way signal from the test thread to a script, for steps that must wait
// until the library has done something, e.g. answer the ClientHello only
// after the library's first handshake call has returned:
//
//   Gate go;
//   server.on_connection([&](ServerConnection& c) {
//       c.wait_for(go);
//       c.send_server_hello_then_close(...);
//   });
//   ... start TLS in the library ...; go.open();
class Gate {
public:
    void open();
    bool is_open() const;
    // True once open; false when `limit` passed first.
    bool wait_for(std::chrono::milliseconds limit) const;

private:
    mutable std::mutex mutex_;
    mutable std::condition_variable opened_;
    bool open_ = false;
};

class ServerConnection {
public:
    ~ServerConnection();
    ServerConnection(const ServerConnection&) = delete;
    ServerConnection& operator=(const ServerConnection&) = delete;

    std::size_t index() const noexcept { return index_; }
    bool secure() const noexcept { return secure_; }

    // One frame (2-byte big-endian length, then the body) over the current
    // channel: in the clear before start_tls, over TLS after it. Throws
    // ScriptError when the stream ends, times out or fails.
    Bytes read_frame();
    // Like read_frame, but an end of stream before a frame starts gives
    // nullopt.
    std::optional<Bytes> try_read_frame();
    // Frames the body (at most 65535 bytes) and writes it.
    void write_frame(const Bytes& body);
    // Writes bytes as they are, no framing.
    void write_raw(const Bytes& bytes);

    // Switches to TLS as the server with this certificate and key and runs the
    // handshake to its end. Returns the handshake's Mbed TLS result (0 when it
    // completed) and records it; throws ScriptError when the set-up itself
    // fails (unreadable certificate or key, ...).
    int start_tls(const CertAndKey& identity, TlsVersions versions);
    int start_tls(const CertAndKey& identity, const TlsOptions& options);
    // The negotiated version, e.g. "TLSv1.3"; empty before a completed handshake.
    std::string tls_version() const;

    // Handshake breakers, in the clear. Reads the client's first TLS record
    // (its ClientHello) and returns it.
    Bytes read_client_hello();
    // Reads the ClientHello, then answers with bytes that are not TLS.
    void break_handshake();
    // Answers the ClientHello with a genuine ServerHello record and nothing
    // more, then closes the connection (FIN).
    void send_server_hello_then_close(const CertAndKey& identity, TlsVersions versions);

    // Waits until the test opens the gate; throws ScriptError when the I/O
    // limit passes first or the server is being destroyed.
    void wait_for(const Gate& gate);

    // Reads (and records) frames until the client ends the stream. True when it
    // did; false when the wait timed out or failed.
    bool wait_for_close();
    // Close-notify when over TLS, then the end of the stream (FIN).
    void close();
    // A reset (SO_LINGER 0): no close-notify, no FIN.
    void close_abruptly();

private:
    friend class TlsTestServer;
    struct Shared;
    struct Tls;

    ServerConnection(Shared& shared, std::size_t index, TestSocket socket);

    static int bio_send(void* context, const unsigned char* data, std::size_t length);
    static int bio_recv(void* context, unsigned char* buffer, std::size_t length);

    int setup_tls(const CertAndKey& identity, const TlsOptions& options);
    IoResult read_exact(unsigned char* buffer, std::size_t length);
    void write_all(const unsigned char* data, std::size_t length);
    [[noreturn]] void fail(const std::string& what);
    void finish();     // after the script: closes, frees TLS, marks the report
    void interrupt();  // from the destructor's thread: wakes a blocked read
    void close_socket(bool reset);
    template <typename Change>
    void update(Change change);

    Shared& shared_;
    std::size_t index_;
    TestSocket socket_;
    std::unique_ptr<Tls> tls_;
    bool secure_ = false;
    int last_tls_error_ = 0;
    // The transport's last receive or send timed out.
    bool timed_out_ = false;
    // send_server_hello_then_close: forward only the first record.
    bool first_record_only_ = false;
    Bytes first_record_;
};

struct ServerOptions {
    Loopback address = Loopback::kIPv4;
    // Bounds every blocking receive and send of a connection.
    std::chrono::milliseconds io_timeout{10000};
};

class TlsTestServer {
public:
    using Script = std::function<void(ServerConnection&)>;

    TlsTestServer();
    explicit TlsTestServer(const ServerOptions& options);
    ~TlsTestServer();
    TlsTestServer(const TlsTestServer&) = delete;
    TlsTestServer& operator=(const TlsTestServer&) = delete;

    int port() const noexcept { return port_; }
    const char* host() const noexcept;  // "127.0.0.1" or "::1"

    // The script run for each accepted connection. Without one, a connection
    // just waits for the client to close it.
    void on_connection(Script script);

    std::size_t accepted() const;
    // Waits (bounded by `limit`) until `count` connections have been accepted.
    bool wait_for_accepted(std::size_t count,
                           std::chrono::milliseconds limit = std::chrono::seconds(20)) const;
    // Waits (bounded by `limit`) until `count` connections have finished
    // their script. False when the limit passed first.
    bool wait_for_finished(std::size_t count,
                           std::chrono::milliseconds limit = std::chrono::seconds(20)) const;
    // Waits (bounded by `limit`) until connection `index` has received
    // `count` frames.
    bool wait_for_frames(std::size_t index, std::size_t count,
                         std::chrono::milliseconds limit = std::chrono::seconds(20)) const;

    std::vector<ConnectionReport> reports() const;
    // A copy of one connection's report; an empty report for an index never
    // accepted.
    ConnectionReport report(std::size_t index) const;

private:
    void accept_loop();
    void run(ServerConnection& connection);

    std::unique_ptr<ServerConnection::Shared> shared_;
    int port_ = -1;
    std::thread acceptor_;
};

}  // namespace kivsdk::test
