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

#include "base/diagnostics.h"
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
    // The alarm set with set_alarm is due. May be null when never set.
    void (*alarm)(Connection& connection);
};

// What passed through a Connection, for the Instance's counters.
struct TrafficCounters {
    std::int64_t bytes_in = 0;
    std::int64_t bytes_out = 0;
    std::int64_t frames_in = 0;
    std::int64_t frames_out = 0;
    std::int64_t queue_peak = 0;
    std::int64_t handshake_us = -1;  // the TLS handshake's duration, when it completed
};

// What the Connection knows of why it failed or was lost, for the session's
// detailed reason (a KIV_DETAIL_* value and, for TLS, the Mbed TLS result).
struct FailureNote {
    int detail = KIV_DETAIL_NONE;
    int tls_result = 0;              // the failing Mbed TLS call's result
    std::uint32_t verify_flags = 0;  // certificate verification flags
};

// What a traffic capture is shown besides frames.
enum class ConnectionEvent {
    kConnected,  // the connect's result (status as handed to the session)
    kSecured,    // the handshake's result (0, 1, or 2 for a rejected certificate)
    kReported,   // a loss (-1 or 9) or a stalled frame (16)
};

struct ConnectionTap {
    void (*frame)(void* context, bool outgoing, const unsigned char* body,
                  std::size_t size) = nullptr;
    void (*event)(void* context, ConnectionEvent event, int status,
                  const FailureNote& note) = nullptr;
    void* context = nullptr;
};

// Recorded traffic standing in for a socket and TLS. A Connection made over
// a feed connects, finishes its handshake, receives and ends only when the
// feed's owner says so (the replay_* calls below), and hands every frame it
// is asked to send to the feed, which drops it. No timer runs for it.
class ReplayFeed {
public:
    virtual void sent(Connection& connection, const unsigned char* body, std::size_t size) = 0;
    // The Connection closes: the feed forgets it.
    virtual void closed(Connection& connection) noexcept = 0;

protected:
    ~ReplayFeed() = default;
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
    // A Connection over recorded traffic: no socket is made.
    Connection(const ConnectionHandlers& handlers, Releasable& owner, ReplayFeed& feed);
    ~Connection() override;

    // Records host as the server name and starts connecting; returns the
    // socket layer's connect result unchanged.
    int connect(const char* host, std::uint16_t port);

    // Queues a finished frame and flushes. Returns 0, or KIV_RC_STRING_TOO_LONG
    // for a body that the length field cannot express (nothing is queued).
    int send(PacketWriter& writer);
    void send_frame(const unsigned char* frame, std::size_t size);

    // Switches the stream to TLS with a side's client configuration (kept
    // alive by the Connection) and starts the handshake. 0 while under way or
    // done; -1 when setup or the first handshake step failed (the caller
    // reports it; the handshake is then over for good and the socket closed).
    // A handshake failure reports status 2 for a rejected certificate, else 1.
    using HandshakeCompletion = void (*)(Connection& connection, int status);
    int start_tls(HandshakeCompletion completion, std::shared_ptr<ClientTlsConfig> config);

    // Liveness: a connected stream that receives nothing for `seconds` is
    // lost (detail silent, or stalled with a frame or output unfinished);
    // 0 turns it off. A stalled frame then ends the stream instead of being
    // reported (reason 16) at every tick.
    void set_liveness(std::int64_t seconds);
    // One alarm, at a time of the library's clock (whole seconds); the timer
    // is armed for the nearest of it, the keep-alive and the liveness limit.
    // A negative time clears it. Works before connect too.
    void set_alarm(std::int64_t at);
    std::int64_t alarm() const noexcept { return alarm_at_; }
    // Ends the stream as lost with the given reason and detail (once).
    void fail(int reason, int detail);
    // Sees every frame body in both directions, after TLS, and the ends of
    // the connect, the handshake and the stream (a traffic capture). An
    // empty tap turns it off.
    void set_tap(const ConnectionTap& tap) noexcept { tap_ = tap; }
    // Whose diagnostic lines this Connection writes.
    void set_log_source(const LogSource& source) noexcept { log_ = source; }
    const LogSource& log_source() const noexcept { return log_; }

    // The session asked the server for the secure channel on this stream;
    // only then does the server's go-ahead start TLS.
    void mark_secure_channel_requested() noexcept { secure_channel_requested_ = true; }
    bool secure_channel_requested() const noexcept { return secure_channel_requested_; }
    // start_tls has run once; a Connection never starts TLS twice.
    bool tls_started() const noexcept { return tls_started_; }

    // The Connection's side of kiv_net_notify.
    void notify(int kind, int status);

    // Recorded traffic, for a Connection over a feed: the connect's result,
    // the handshake's result, one received frame body, a loss or stall.
    // Each is told to the session as the socket's would be; one that does
    // not fit the Connection's state (a frame before the connect, a result
    // told twice, anything after a loss) is ignored.
    void replay_connect_result(int status, const FailureNote& note);
    void replay_secured(int status, const FailureNote& note);
    void replay_frame(const unsigned char* body, std::uint16_t size);
    void replay_report(int reason, const FailureNote& note);
    bool replayed() const noexcept { return feed_ != nullptr; }

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
    std::size_t queued_bytes() const noexcept { return queue_.size(); }
    const TrafficCounters& counters() const noexcept { return counters_; }
    const FailureNote& failure() const noexcept { return failure_; }
    // True between a connect result of 0 and the loss.
    bool connected() const noexcept { return connected_; }
    std::uint16_t pending_length() const noexcept { return frames_.pending_length(); }

private:
    void on_connect_result(int status);
    void on_disconnected();
    void receive();
    void receive_plain();
    unsigned char* read_target(unsigned char* scratch) noexcept;
    void take_in(const unsigned char* bytes, int n);
    void deliver_frames();
    void deliver(const unsigned char* body, std::uint16_t length);
    void tap_event(ConnectionEvent event, int status) const;
    void flush();
    // Hands up to `count` bytes to the socket, or to TLS once it is set up:
    // the bytes taken, 0 when nothing can be taken now, -1 on a failure
    // (which the caller reports).
    int write_some(const unsigned char* data, std::size_t count);
    bool writable_now() const noexcept;
    void tick();
    void rearm(std::int64_t now);
    void lose(int reason, int detail);
    void handshake_step();
    void finish_handshake();
    void note_handshake_failure(int result) noexcept;
    void fail_handshake(int status);
    void receive_secure();
    int write_secure(const unsigned char* data, std::size_t count);  // as write_some
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
    std::int64_t last_received_ = 0;
    std::int64_t liveness_ = 0;
    std::int64_t alarm_at_ = -1;
    FailureNote failure_;
    TrafficCounters counters_;
    ConnectionTap tap_;
    ReplayFeed* feed_ = nullptr;
    std::int64_t handshake_started_us_ = 0;
    LogSource log_;
    std::uint16_t port_ = 0;
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
    std::shared_ptr<ClientTlsConfig> tls_config_;
    TlsState tls_state_ = TlsState::kPlain;
    std::size_t pending_tls_write_ = 0;
    bool lost_ = false;
    bool connected_ = false;
    bool connect_reported_ = false;
    bool secure_channel_requested_ = false;
    bool tls_started_ = false;
    bool receiving_ = false;
    std::array<unsigned char, kReceiveStorage> storage_;
    FrameReader frames_;
};

}  // namespace kivsdk
