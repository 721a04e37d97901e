#include "support/tls_test_server.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <utility>

#include <mbedtls/net_sockets.h>
#include <mbedtls/ssl.h>

#include "connection/tls_status.h"
#include "wire/packet_writer.h"

namespace kivsdk::test {
namespace {

using server::tls_error_text;

constexpr std::size_t kRecordHeader = 5;
constexpr std::size_t kMaxRecordBody = 16384 + 2048;
// Blocking transport: want-read and want-write mean no progress; a handful in
// a row is already odd, this many is a fault.
constexpr int kMaxIdleRetries = 1000;

// Not TLS: the first byte is no record type.
const Bytes kHandshakeGarbage = {'n', 'o', 't', ' ', 'a', ' ', 'T', 'L', 'S', ' ', 's',
                                 'e', 'r', 'v', 'e', 'r', ' ', 'h', 'e', 'l', 'l', 'o',
                                 ',', ' ', 'g', 'a', 'r', 'b', 'a', 'g', 'e', '\n'};

bool want_more(int result) { return tls_would_block(result); }

}  // namespace

// The server-side TLS of one connection: the shared server configuration
// (certificate, key, versions) and this connection's SSL context.
struct ServerConnection::Tls {
    std::unique_ptr<server::ServerTlsConfig> config;
    mbedtls_ssl_context ssl;

    Tls() { mbedtls_ssl_init(&ssl); }
    ~Tls() { mbedtls_ssl_free(&ssl); }
    Tls(const Tls&) = delete;
    Tls& operator=(const Tls&) = delete;
};

// State shared by the server, its accept thread and its connection threads.
struct ServerConnection::Shared {
    explicit Shared(const ServerOptions& server_options) : options(server_options) {}

    const ServerOptions options;
    TestSocket listener;
    mutable std::mutex mutex;
    mutable std::condition_variable changed;
    TlsTestServer::Script script;
    bool stopping = false;
    std::vector<ConnectionReport> reports;
    std::vector<std::unique_ptr<ServerConnection>> connections;
    std::vector<std::thread> threads;
    std::size_t finished = 0;
};

std::vector<Bytes> ConnectionReport::bodies() const {
    std::vector<Bytes> all;
    all.reserve(frames.size());
    for (const ReceivedFrame& frame : frames) all.push_back(frame.body);
    return all;
}

// ---- Gate ------------------------------------------------------------------

void Gate::open() {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        open_ = true;
    }
    opened_.notify_all();
}

bool Gate::is_open() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return open_;
}

bool Gate::wait_for(std::chrono::milliseconds limit) const {
    std::unique_lock<std::mutex> lock(mutex_);
    return opened_.wait_for(lock, limit, [this] { return open_; });
}

// ---- ServerConnection ------------------------------------------------------

ServerConnection::ServerConnection(Shared& shared, std::size_t index, TestSocket socket)
    : shared_(shared), index_(index), socket_(std::move(socket)) {}

ServerConnection::~ServerConnection() = default;

template <typename Change>
void ServerConnection::update(Change change) {
    {
        std::lock_guard<std::mutex> lock(shared_.mutex);
        change(shared_.reports[index_]);
    }
    shared_.changed.notify_all();
}

void ServerConnection::fail(const std::string& what) {
    throw ScriptError("connection " + std::to_string(index_) + ": " + what);
}

int ServerConnection::bio_send(void* context, const unsigned char* data, std::size_t length) {
    auto& self = *static_cast<ServerConnection*>(context);
    std::size_t allowed = length;
    if (self.first_record_only_) {
        // Pass the first record on and refuse the rest, so that the client
        // gets exactly that record before the connection closes.
        if (!self.first_record_.empty() || length < kRecordHeader) {
            return MBEDTLS_ERR_NET_SEND_FAILED;
        }
        const std::size_t body = (std::size_t{data[3]} << 8) | data[4];
        allowed = std::min(length, kRecordHeader + body);
        self.first_record_.assign(data, data + allowed);
    }
    const IoResult r = self.socket_.send_some(data, allowed);
    switch (r.kind) {
        case IoResult::Kind::kData:
            if (self.first_record_only_ && r.count != allowed) return MBEDTLS_ERR_NET_SEND_FAILED;
            return static_cast<int>(r.count);
        case IoResult::Kind::kTimedOut: self.timed_out_ = true; return MBEDTLS_ERR_SSL_TIMEOUT;
        case IoResult::Kind::kClosed:
        case IoResult::Kind::kError: break;
    }
    return MBEDTLS_ERR_NET_SEND_FAILED;
}

int ServerConnection::bio_recv(void* context, unsigned char* buffer, std::size_t length) {
    auto& self = *static_cast<ServerConnection*>(context);
    const IoResult r = self.socket_.recv_some(buffer, length);
    switch (r.kind) {
        case IoResult::Kind::kData: return static_cast<int>(r.count);
        case IoResult::Kind::kClosed: return 0;  // Mbed TLS: end of stream
        case IoResult::Kind::kTimedOut: self.timed_out_ = true; return MBEDTLS_ERR_SSL_TIMEOUT;
        case IoResult::Kind::kError: break;
    }
    return MBEDTLS_ERR_NET_RECV_FAILED;
}

IoResult ServerConnection::read_exact(unsigned char* buffer, std::size_t length) {
    if (!secure_) return socket_.recv_exact(buffer, length);
    std::size_t done = 0;
    int idle = 0;
    while (done < length) {
        const int r = mbedtls_ssl_read(&tls_->ssl, buffer + done, length - done);
        if (r > 0) {
            done += static_cast<std::size_t>(r);
            idle = 0;
            continue;
        }
        if (r == 0 || r == MBEDTLS_ERR_SSL_PEER_CLOSE_NOTIFY || r == MBEDTLS_ERR_SSL_CONN_EOF) {
            return {IoResult::Kind::kClosed, done};
        }
        if (want_more(r) && ++idle < kMaxIdleRetries) continue;
        last_tls_error_ = r;
        return {timed_out_ ? IoResult::Kind::kTimedOut : IoResult::Kind::kError, done};
    }
    return {IoResult::Kind::kData, done};
}

void ServerConnection::write_all(const unsigned char* data, std::size_t length) {
    if (!secure_) {
        if (!socket_.send_all(data, length)) fail("send failed: " + TestSocket::last_error_text());
        return;
    }
    std::size_t done = 0;
    int idle = 0;
    while (done < length) {
        const int r = mbedtls_ssl_write(&tls_->ssl, data + done, length - done);
        if (r > 0) {
            done += static_cast<std::size_t>(r);
            idle = 0;
        } else if (!(want_more(r) && ++idle < kMaxIdleRetries)) {
            fail("TLS write failed: " + tls_error_text(r));
        }
    }
}

std::optional<Bytes> ServerConnection::try_read_frame() {
    unsigned char header[2];
    IoResult r = read_exact(header, sizeof header);
    if (r.kind == IoResult::Kind::kClosed && r.count == 0) {
        update([](ConnectionReport& report) { report.peer_closed = true; });
        return std::nullopt;
    }
    Bytes body;
    if (r.kind == IoResult::Kind::kData) {
        body.resize((std::size_t{header[0]} << 8) | header[1]);
        r = read_exact(body.data(), body.size());
    }
    switch (r.kind) {
        case IoResult::Kind::kData: break;
        case IoResult::Kind::kClosed:
            update([](ConnectionReport& report) { report.peer_closed = true; });
            fail("the stream ended inside a frame");
        case IoResult::Kind::kTimedOut: fail("timed out reading a frame");
        case IoResult::Kind::kError:
            fail(secure_ ? "TLS read failed: " + tls_error_text(last_tls_error_)
                         : "receive failed: " + TestSocket::last_error_text());
    }
    const bool secure = secure_;
    update([&](ConnectionReport& report) { report.frames.push_back({body, secure}); });
    return body;
}

Bytes ServerConnection::read_frame() {
    std::optional<Bytes> frame = try_read_frame();
    if (!frame) fail("the client ended the stream instead of sending a frame");
    return std::move(*frame);
}

void ServerConnection::write_frame(const Bytes& body) {
    PacketWriter writer(body.size());
    writer.append_raw(body.data(), body.size());
    if (!writer.fits()) fail("a frame body holds at most 65535 bytes");
    const PacketWriter::Frame frame = writer.finish();
    write_all(frame.data, frame.size);
}

void ServerConnection::write_raw(const Bytes& bytes) { write_all(bytes.data(), bytes.size()); }

int ServerConnection::setup_tls(const CertAndKey& identity, const TlsOptions& options) {
    if (tls_) fail("TLS was already started on this connection");
    tls_ = std::make_unique<Tls>();
    Tls& t = *tls_;
    try {
        t.config = std::make_unique<server::ServerTlsConfig>(
            server::Identity{identity.cert, identity.key}, options);
    } catch (const server::TlsSetupError& e) {
        fail(e.what());
    }
    int r = 0;
    if ((r = mbedtls_ssl_setup(&t.ssl, t.config->config())) != 0) {
        fail("mbedtls_ssl_setup: " + tls_error_text(r));
    }
    mbedtls_ssl_set_bio(&t.ssl, this, &ServerConnection::bio_send, &ServerConnection::bio_recv,
                        nullptr);
    secure_ = true;

    int idle = 0;
    do {
        r = mbedtls_ssl_handshake(&t.ssl);
    } while (want_more(r) && ++idle < kMaxIdleRetries);
    const std::string version = r == 0 ? mbedtls_ssl_get_version(&t.ssl) : "";
    update([&](ConnectionReport& report) {
        report.handshake_result = r;
        report.tls_version = version;
    });
    return r;
}

int ServerConnection::start_tls(const CertAndKey& identity, TlsVersions versions) {
    TlsOptions options;
    options.versions = versions;
    return start_tls(identity, options);
}

int ServerConnection::start_tls(const CertAndKey& identity, const TlsOptions& options) {
    return setup_tls(identity, options);
}

std::string ServerConnection::tls_version() const {
    if (!tls_ || !mbedtls_ssl_is_handshake_over(&tls_->ssl)) return {};
    return mbedtls_ssl_get_version(&tls_->ssl);
}

Bytes ServerConnection::read_client_hello() {
    if (secure_) fail("read_client_hello is a clear-text step");
    Bytes record(kRecordHeader);
    IoResult r = socket_.recv_exact(record.data(), kRecordHeader);
    if (r.kind == IoResult::Kind::kData) {
        if (record[0] != 22) fail("the client's first record is not a handshake record");
        const std::size_t body = (std::size_t{record[3]} << 8) | record[4];
        if (body > kMaxRecordBody) fail("the client's first record is too long");
        record.resize(kRecordHeader + body);
        r = socket_.recv_exact(record.data() + kRecordHeader, body);
    }
    if (r.kind != IoResult::Kind::kData) fail("no ClientHello arrived");
    return record;
}

void ServerConnection::break_handshake() {
    read_client_hello();
    write_raw(kHandshakeGarbage);
}

void ServerConnection::send_server_hello_then_close(const CertAndKey& identity,
                                                    TlsVersions versions) {
    TlsOptions options;
    options.versions = versions;
    first_record_only_ = true;
    setup_tls(identity, options);  // fails once the ServerHello record is out
    close_socket(false);
    // Handshake record (22) whose first message is a ServerHello (2).
    if (first_record_.size() <= kRecordHeader || first_record_[0] != 22 ||
        first_record_[kRecordHeader] != 2) {
        fail("the server's first record was not a ServerHello");
    }
}

void ServerConnection::wait_for(const Gate& gate) {
    // Short slices, so that a destroyed server does not wait out the limit.
    constexpr std::chrono::milliseconds kSlice{50};
    const auto slices = shared_.options.io_timeout / kSlice + 1;
    for (auto i = slices; i > 0; --i) {
        if (gate.wait_for(kSlice)) return;
        std::lock_guard<std::mutex> lock(shared_.mutex);
        if (shared_.stopping) fail("the server stopped while waiting for a gate");
    }
    fail("timed out waiting for a gate");
}

bool ServerConnection::wait_for_close() {
    try {
        // Each pass reads one frame or ends; the stream ends at the latest
        // when the I/O limit passes without bytes.
        while (try_read_frame()) {
        }
        return true;
    } catch (const ScriptError&) {
        std::lock_guard<std::mutex> lock(shared_.mutex);
        return shared_.reports[index_].peer_closed;
    }
}

void ServerConnection::close() {
    if (secure_ && tls_ && mbedtls_ssl_is_handshake_over(&tls_->ssl)) {
        mbedtls_ssl_close_notify(&tls_->ssl);
    }
    close_socket(false);
}

void ServerConnection::close_abruptly() { close_socket(true); }

void ServerConnection::close_socket(bool reset) {
    std::lock_guard<std::mutex> lock(shared_.mutex);
    if (!socket_.valid()) return;
    if (reset) {
        socket_.close_with_reset();
        return;
    }
    // FIN first, then drop what the client already sent: closing with unread
    // bytes would turn the FIN into a reset.
    socket_.shutdown_send();
    socket_.discard_pending();
    socket_.close();
}

void ServerConnection::interrupt() {
    // Called with the shared mutex held.
    socket_.shutdown_both();
}

void ServerConnection::finish() {
    try {
        close();
    } catch (...) {
        close_socket(true);
    }
    tls_.reset();
    update([](ConnectionReport& report) { report.finished = true; });
}

// ---- TlsTestServer ---------------------------------------------------------

TlsTestServer::TlsTestServer() : TlsTestServer(ServerOptions{}) {}

TlsTestServer::TlsTestServer(const ServerOptions& options)
    : shared_(std::make_unique<ServerConnection::Shared>(options)) {
    shared_->listener = TestSocket::listen(options.address);
    if (!shared_->listener.valid()) {
        throw std::runtime_error(std::string("cannot listen on ") + loopback_host(options.address) +
                                 ": " + TestSocket::last_error_text());
    }
    port_ = shared_->listener.port();
    acceptor_ = std::thread([this] { accept_loop(); });
}

TlsTestServer::~TlsTestServer() {
    {
        std::lock_guard<std::mutex> lock(shared_->mutex);
        shared_->stopping = true;
        for (auto& connection : shared_->connections) connection->interrupt();
    }
    acceptor_.join();
    // The accept thread is gone: the thread list no longer changes.
    for (std::thread& thread : shared_->threads) thread.join();
}

const char* TlsTestServer::host() const noexcept { return loopback_host(shared_->options.address); }

void TlsTestServer::on_connection(Script script) {
    std::lock_guard<std::mutex> lock(shared_->mutex);
    shared_->script = std::move(script);
}

void TlsTestServer::accept_loop() {
    // Each pass waits at most 50 ms, so the loop sees `stopping` soon.
    for (;;) {
        {
            std::lock_guard<std::mutex> lock(shared_->mutex);
            if (shared_->stopping) return;
        }
        std::optional<TestSocket> accepted =
            shared_->listener.accept_for(std::chrono::milliseconds(50));
        if (!accepted) continue;
        accepted->set_timeouts(shared_->options.io_timeout);

        {
            std::lock_guard<std::mutex> lock(shared_->mutex);
            if (shared_->stopping) return;  // the accepted socket closes on return
            const std::size_t index = shared_->connections.size();
            ConnectionReport report;
            report.index = index;
            shared_->reports.push_back(std::move(report));
            shared_->connections.push_back(std::unique_ptr<ServerConnection>(
                new ServerConnection(*shared_, index, std::move(*accepted))));
            ServerConnection& connection = *shared_->connections.back();
            shared_->threads.emplace_back([this, &connection] { run(connection); });
        }
        shared_->changed.notify_all();
    }
}

void TlsTestServer::run(ServerConnection& connection) {
    Script script;
    {
        std::lock_guard<std::mutex> lock(shared_->mutex);
        script = shared_->script;
    }
    std::string error;
    try {
        if (script) {
            script(connection);
        } else {
            connection.wait_for_close();
        }
    } catch (const std::exception& e) {
        error = e.what();
    } catch (...) {
        error = "the script threw something that is not a std::exception";
    }
    if (!error.empty()) {
        connection.update([&](ConnectionReport& report) { report.error = error; });
    }
    connection.finish();
    {
        std::lock_guard<std::mutex> lock(shared_->mutex);
        ++shared_->finished;
    }
    shared_->changed.notify_all();
}

std::size_t TlsTestServer::accepted() const {
    std::lock_guard<std::mutex> lock(shared_->mutex);
    return shared_->connections.size();
}

bool TlsTestServer::wait_for_accepted(std::size_t count, std::chrono::milliseconds limit) const {
    std::unique_lock<std::mutex> lock(shared_->mutex);
    return shared_->changed.wait_for(lock, limit,
                                     [&] { return shared_->connections.size() >= count; });
}

bool TlsTestServer::wait_for_finished(std::size_t count, std::chrono::milliseconds limit) const {
    std::unique_lock<std::mutex> lock(shared_->mutex);
    return shared_->changed.wait_for(lock, limit, [&] { return shared_->finished >= count; });
}

bool TlsTestServer::wait_for_frames(std::size_t index, std::size_t count,
                                    std::chrono::milliseconds limit) const {
    std::unique_lock<std::mutex> lock(shared_->mutex);
    return shared_->changed.wait_for(lock, limit, [&] {
        return index < shared_->reports.size() && shared_->reports[index].frames.size() >= count;
    });
}

std::vector<ConnectionReport> TlsTestServer::reports() const {
    std::lock_guard<std::mutex> lock(shared_->mutex);
    return shared_->reports;
}

ConnectionReport TlsTestServer::report(std::size_t index) const {
    std::lock_guard<std::mutex> lock(shared_->mutex);
    if (index < shared_->reports.size()) return shared_->reports[index];
    ConnectionReport empty;
    empty.index = index;
    return empty;
}

}  // namespace kivsdk::test
