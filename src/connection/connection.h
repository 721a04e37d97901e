// Connection: one TCP stream to a server. It queues and sends finished
// frames, cuts received bytes into frames for its session, keeps the stream
// alive, supervises stalled frames and reports the stream's loss. It knows
// nothing of message types, and of its owner only that it can be kept alive
// while the Connection delivers.
#pragma once

#include <mbedtls/ssl.h>

#include <array>
#include <cstdint>
#include <memory>
#include <string>

#include "base/lifetime.h"
#include "connection/output_queue.h"
#include "kivsdk.h"
#include "wire/frame_reader.h"

namespace kivsdk {

class ClientTlsConfig;
class PacketReader;
class PacketWriter;
class Connection;

// What the session that owns a Connection is told.
struct ConnectionHandlers {
    // Once per connect: 0 when the TCP connection stands, else the socket
    // layer's failure status.
    void (*connect_result)(Connection& connection, int status);
    // A lost stream: -1 closed or receive error, 9 send failed; 16 (repeated
    // at each tick) while a received frame stays incomplete.
    void (*disconnected)(Connection& connection, int reason);
    // One call per received frame body, in order.
    void (*message)(Connection& connection, PacketReader& body);
};

class Connection final : public Releasable {
public:
    static constexpr std::int32_t kReceiveStorage = 81920;
    static constexpr std::int32_t kReadSize = 10240;
    static constexpr std::int64_t kKeepAliveSeconds = 30;
    static constexpr std::int64_t kStallSeconds = 10;

    enum class TlsState { kPlain = 0, kHandshaking = 1, kEstablished = 2, kFailed = 3 };

    // Copies the operations and, as the last step, creates the socket object.
    // `owner` is kept alive while the Connection delivers to its handlers.
    Connection(const KIVNetConfig& operations, const ConnectionHandlers& handlers,
               Releasable& owner);
    ~Connection() override;

    // Records host as the server name and starts connecting; returns the
    // socket layer's connect result unchanged.
    int connect(const char* host, std::uint16_t port);

    // Queues a finished frame and flushes. Returns 0, or KIV_RC_STRING_TOO_LONG
    // for a body that the length field cannot express (nothing is queued).
    int send(PacketWriter& writer);
    void send_frame(const unsigned char* frame, std::size_t size);

    // Switches the stream to TLS with a side's client configuration and
    // starts the handshake. 0 while under way or done; -1 when setup or the
    // first handshake step failed (the caller reports it; the handshake is
    // then over for good and the socket closed).
    using HandshakeCompletion = void (*)(Connection& connection, int status);
    int start_tls(HandshakeCompletion completion, ClientTlsConfig& config);

    // The session asked the server for the secure channel on this stream;
    // only then does the server's go-ahead start TLS.
    void mark_secure_channel_requested() noexcept { secure_channel_requested_ = true; }
    bool secure_channel_requested() const noexcept { return secure_channel_requested_; }
    // start_tls has run once; a Connection never starts TLS twice.
    bool tls_started() const noexcept { return tls_started_; }

    // The Connection's side of kiv_net_notify.
    void notify(int kind, int status);

    // Cancels the timer and destroys the socket; no callback, nothing sent.
    // Safe to call more than once.
    void close() noexcept;

    Releasable& owner() const noexcept { return owner_; }
    void* socket() const noexcept { return socket_; }
    const std::string& host() const noexcept { return host_; }
    TlsState tls_state() const noexcept { return tls_state_; }
    // True after the first loss was reported: nothing more is read, written
    // or reported.
    bool lost() const noexcept { return lost_; }
    // True once the socket layer reported the end of the connection attempt.
    bool connect_reported() const noexcept { return connect_reported_; }
    const OutputQueue& output_queue() const noexcept { return queue_; }
    const RingBuffer& receive_buffer() const noexcept { return frames_.ring(); }
    std::uint16_t pending_length() const noexcept { return frames_.pending_length(); }

private:
    void on_connect_result(int status);
    void on_disconnected();
    void receive();
    void receive_plain();
    unsigned char* read_target(unsigned char* scratch) noexcept;
    void take_in(const unsigned char* bytes, int n);
    void deliver_frames();
    void flush();
    void flush_plain();
    void tick();
    void lose(int reason);
    void handshake_step();
    void finish_handshake();
    void fail_handshake(int status);
    void receive_secure();
    void flush_secure();
    void drop_socket() noexcept;
    static int tls_send_hook(void* context, const unsigned char* data, std::size_t length);
    static int tls_receive_hook(void* context, unsigned char* buffer, std::size_t length);
    bool stopped() const noexcept { return discarded() || lost_; }

    void* socket_ = nullptr;
    KIVNetConfig operations_;
    ConnectionHandlers handlers_;
    std::int64_t header_time_ = 0;
    bool header_timed_ = false;  // header_time_ belongs to the pending frame
    std::int64_t last_send_ = 0;
    OutputQueue queue_;
    Releasable& owner_;
    std::string host_;
    HandshakeCompletion handshake_completion_ = nullptr;
    // The TLS session, made when the stream switches to TLS.
    struct TlsSession {
        TlsSession() noexcept { mbedtls_ssl_init(&ssl); }
        ~TlsSession() { mbedtls_ssl_free(&ssl); }
        TlsSession(const TlsSession&) = delete;
        TlsSession& operator=(const TlsSession&) = delete;
        mbedtls_ssl_context ssl;
    };
    std::unique_ptr<TlsSession> tls_;
    TlsState tls_state_ = TlsState::kPlain;
    std::size_t pending_tls_write_ = 0;
    bool lost_ = false;
    bool connect_reported_ = false;
    bool secure_channel_requested_ = false;
    bool tls_started_ = false;
    bool receiving_ = false;
    std::array<unsigned char, kReceiveStorage> storage_;
    FrameReader frames_;
};

}  // namespace kivsdk
