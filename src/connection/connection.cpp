#include "connection/connection.h"

#include <algorithm>
#include <limits>

#include "base/clock.h"
#include "base/guard.h"
#include "wire/packet_reader.h"
#include "wire/packet_writer.h"

namespace kivsdk {
namespace {

// The keep-alive message, the same on both protocols: its type and one
// INT32 0.
constexpr std::uint8_t kKeepAliveType = 28;

}  // namespace

Connection::Connection(const KIVNetConfig& operations, const ConnectionHandlers& handlers,
                       Releasable& owner)
    : operations_(operations),
      handlers_(handlers),
      owner_(owner),
      frames_(storage_.data(), kReceiveStorage) {
    last_send_ = now_seconds();
    socket_ = operations_.create(this, operations_.context);
}

Connection::Connection(const ConnectionHandlers& handlers, Releasable& owner, ReplayFeed& feed)
    : operations_{},
      handlers_(handlers),
      feed_(&feed),
      owner_(owner),
      frames_(storage_.data(), kReceiveStorage) {
    last_send_ = now_seconds();
}

Connection::~Connection() { close(); }

void Connection::close() noexcept {
    if (feed_ != nullptr) {
        ReplayFeed* feed = feed_;
        feed_ = nullptr;
        feed->closed(*this);
    }
    if (socket_ == nullptr) return;
    void* socket = socket_;
    socket_ = nullptr;
    operations_.timeout(socket, -1);
    operations_.destroy(socket);
}

int Connection::connect(const char* host, std::uint16_t port) {
    host_ = host != nullptr ? host : "";
    port_ = port;
    if (feed_ != nullptr) {
        report(log_, DiagnosticLevel::kInfo, DiagnosticCategory::kNet,
               "replaying a connection to %s:%u\n", host_.c_str(), static_cast<unsigned>(port));
        return 0;  // the result comes from the recording
    }
    // A host table whose create gave no socket object gets no connect call.
    if (socket_ == nullptr) return -1;
    report(log_, DiagnosticLevel::kInfo, DiagnosticCategory::kNet, "connecting to %s:%u\n",
           host_.c_str(), static_cast<unsigned>(port));
    return operations_.connect(socket_, host_.c_str(), port);
}

int Connection::send(PacketWriter& writer) {
    if (!writer.fits()) return KIV_RC_STRING_TOO_LONG;
    const PacketWriter::Frame frame = writer.finish();
    send_frame(frame.data, frame.size);
    return KIV_RC_SUCCESS;
}

void Connection::send_frame(const unsigned char* frame, std::size_t size) {
    if (tap_.frame != nullptr && size >= kFrameHeaderSize) {
        tap_.frame(tap_.context, true, frame + kFrameHeaderSize, size - kFrameHeaderSize);
    }
    if (feed_ != nullptr) {
        // Recorded traffic: the frame is counted and dropped.
        ++counters_.frames_out;
        counters_.bytes_out += static_cast<std::int64_t>(size);
        if (size >= kFrameHeaderSize && !lost_) {
            feed_->sent(*this, frame + kFrameHeaderSize, size - kFrameHeaderSize);
        }
        return;
    }
    ++counters_.frames_out;
    // A failed send reports the loss at once, and the host's handler may
    // release this Connection or its Instance.
    DeliveryScope owner_delivering(owner_);
    DeliveryScope delivering(*this);
    if (!queue_.empty() || !writable_now()) {
        queue_.append(frame, size);
        counters_.queue_peak =
            std::max(counters_.queue_peak, static_cast<std::int64_t>(queue_.size()));
        flush();
        return;
    }
    // Nothing waits before it: the frame goes from the caller's bytes, in
    // the same pieces the queue would send, and only what the socket does
    // not take is queued.
    last_send_ = now_seconds();
    const std::size_t first = std::min(size, static_cast<std::size_t>(kReadSize));
    const int taken = write_some(frame, first);
    const std::size_t sent = taken > 0 ? static_cast<std::size_t>(taken) : 0;
    if (sent < size) {
        queue_.append(frame + sent, size - sent);
        counters_.queue_peak =
            std::max(counters_.queue_peak, static_cast<std::int64_t>(queue_.size()));
    }
    if (taken < 0) {
        lose(9, KIV_DETAIL_RESET);  // the data stays queued
    } else if (taken > 0 && sent < size) {
        flush();
    }
}

bool Connection::writable_now() const noexcept {
    return !stopped() && socket_ != nullptr &&
           (tls_state_ == TlsState::kPlain || tls_state_ == TlsState::kEstablished);
}

void Connection::notify(int kind, int status) {
    if (discarded()) return;
    // Host code may release this Connection or its Instance from any handler
    // called below; both stay allocated until this call unwinds.
    DeliveryScope owner_delivering(owner_);
    DeliveryScope delivering(*this);
    switch (kind) {
        case KIV_NET_CONNECT_RESULT: on_connect_result(status); break;
        case KIV_NET_DISCONNECTED: on_disconnected(); break;
        case KIV_NET_READABLE: receive(); break;
        case KIV_NET_WRITABLE:
            // A handshake that had to wait for room to write goes on here.
            if (tls_state_ == TlsState::kHandshaking) {
                receive();
            } else {
                flush();
            }
            break;
        case KIV_NET_TIMER: tick(); break;
        default: break;
    }
}

void Connection::on_connect_result(int status) {
    connect_reported_ = true;
    if (status == 0) {
        report(log_, DiagnosticLevel::kInfo, DiagnosticCategory::kNet, "connected to %s:%u\n",
               host_.c_str(), static_cast<unsigned>(port_));
    } else {
        report(log_, DiagnosticLevel::kInfo, DiagnosticCategory::kNet,
               "connecting to %s:%u failed (status %d)\n", host_.c_str(),
               static_cast<unsigned>(port_), status);
    }
    tap_event(ConnectionEvent::kConnected, status);
    if (status == 0 && (socket_ != nullptr || feed_ != nullptr)) {
        connected_ = true;
        const std::int64_t now = now_seconds();
        last_send_ = now;  // nothing could be sent before; the keep-alive counts from here
        last_received_ = now;
        rearm(now);
    }
    handlers_.connect_result(*this, status);
}

void Connection::on_disconnected() {
    // A host table may post this on a hang-up while the peer's last frames
    // still wait in the socket: read until the stream ends or would block,
    // deliver what is complete, then report the loss once.
    if (tls_state_ == TlsState::kPlain || tls_state_ == TlsState::kEstablished) receive();
    lose(-1, KIV_DETAIL_CLOSED_BY_PEER);
}

void Connection::fail(int reason, int detail) { lose(reason, detail); }

void Connection::set_liveness(std::int64_t seconds) {
    liveness_ = std::max<std::int64_t>(0, seconds);
    if (!stopped() && socket_ != nullptr && connected_) rearm(now_seconds());
}

void Connection::set_alarm(std::int64_t at) {
    alarm_at_ = at < 0 ? -1 : at;
    if (!stopped() && socket_ != nullptr && (connected_ || !connect_reported_)) {
        rearm(now_seconds());
    }
}

void Connection::lose(int reason, int detail) {
    if (lost_) return;
    lost_ = true;
    connected_ = false;
    if (failure_.detail == KIV_DETAIL_NONE) failure_.detail = detail;
    // A dead stream is closed at once: its timer stops, and a handle that
    // stays readable (a peer's end of stream seen only by TLS) is no longer
    // watched, so nothing spins and nothing is reported twice.
    if (socket_ != nullptr) {
        operations_.timeout(socket_, -1);
        drop_socket();
    }
    tap_event(ConnectionEvent::kReported, reason);
    handlers_.disconnected(*this, reason);
}

void Connection::tap_event(ConnectionEvent event, int status) const {
    if (tap_.event != nullptr) tap_.event(tap_.context, event, status, failure_);
}

void Connection::replay_connect_result(int status, const FailureNote& note) {
    if (feed_ == nullptr || connect_reported_ || stopped()) return;
    DeliveryScope owner_delivering(owner_);
    DeliveryScope delivering(*this);
    if (status != 0) failure_ = note;
    on_connect_result(status);
}

void Connection::replay_secured(int status, const FailureNote& note) {
    if (feed_ == nullptr || tls_state_ != TlsState::kHandshaking || stopped()) return;
    DeliveryScope owner_delivering(owner_);
    DeliveryScope delivering(*this);
    if (status == 0) {
        tls_state_ = TlsState::kEstablished;
        counters_.handshake_us = 0;
    } else {
        tls_state_ = TlsState::kFailed;
        failure_ = note;
    }
    tap_event(ConnectionEvent::kSecured, status);
    if (handshake_completion_ != nullptr) handshake_completion_(*this, status);
}

void Connection::replay_frame(const unsigned char* body, std::uint16_t size) {
    if (feed_ == nullptr || !connected_ || stopped()) return;
    DeliveryScope owner_delivering(owner_);
    DeliveryScope delivering(*this);
    last_received_ = now_seconds();
    counters_.bytes_in += static_cast<std::int64_t>(size) + kFrameHeaderSize;
    deliver(body, size);
}

void Connection::replay_report(int reason, const FailureNote& note) {
    if (feed_ == nullptr || stopped()) return;
    DeliveryScope owner_delivering(owner_);
    DeliveryScope delivering(*this);
    if (reason == KIV_RC_TIMEOUT) {
        tap_event(ConnectionEvent::kReported, reason);
        handlers_.disconnected(*this, reason);
        return;
    }
    failure_ = note;
    lose(reason, note.detail);
}

void Connection::receive() {
    // A nested readable notification (from a handler's own message loop) is
    // left to the outer loop, which reads until the socket is drained.
    if (receiving_ || stopped() || socket_ == nullptr) return;
    const ScopedFlag receiving(receiving_);
    switch (tls_state_) {
        case TlsState::kPlain: receive_plain(); break;
        case TlsState::kHandshaking:
            handshake_step();
            // Application data may have come with the handshake's last
            // records; the socket will not be readable again for it.
            if (tls_state_ == TlsState::kEstablished && !stopped()) receive_secure();
            break;
        case TlsState::kEstablished: receive_secure(); break;
        case TlsState::kFailed: break;
    }
}

unsigned char* Connection::read_target(unsigned char* scratch) noexcept {
    // A whole read that fits before the wrap point goes straight into the
    // receive buffer; otherwise through scratch, in two pieces.
    return frames_.write_room() >= kReadSize ? frames_.write_area() : scratch;
}

void Connection::take_in(const unsigned char* bytes, int n) {
    last_received_ = now_seconds();
    counters_.bytes_in += n;
    const std::int32_t size = std::min(n, kReadSize);
    if (bytes == frames_.write_area()) {
        frames_.commit(size);
    } else {
        frames_.feed(bytes, size);
    }
    deliver_frames();
}

void Connection::receive_plain() {
    unsigned char scratch[kReadSize];
    // Leave as soon as a handler switched the stream to TLS, so that no TLS
    // record enters the receive buffer as plain data.
    while (!stopped() && socket_ != nullptr && tls_state_ == TlsState::kPlain) {
        unsigned char* target = read_target(scratch);
        const int n = operations_.recv(socket_, reinterpret_cast<char*>(target), kReadSize);
        if (n > 0) {
            take_in(target, n);
        } else if (n == -2) {
            return;
        } else {
            // 0: closed by the peer; -1: a receive error (a reset).
            lose(-1, n == 0 ? KIV_DETAIL_CLOSED_BY_PEER : KIV_DETAIL_RESET);
            return;
        }
    }
}

inline void Connection::deliver(const unsigned char* body, std::uint16_t length) {
    ++counters_.frames_in;
    if (tap_.frame != nullptr) tap_.frame(tap_.context, false, body, length);
    PacketReader reader(body, length);
    handlers_.message(*this, reader);
}

void Connection::deliver_frames() {
    const unsigned char* body = nullptr;
    std::uint16_t length = 0;
    while (!discarded() && frames_.next(body, length)) {
        header_timed_ = false;
        deliver(body, length);
    }
    // The stall clock starts when a frame's header has arrived without its
    // whole body.
    if (frames_.pending_length() != 0 && !header_timed_) {
        header_timed_ = true;
        header_time_ = now_seconds();
    }
}

void Connection::flush() {
    // A handshake in progress keeps the queue until it is done.
    if (queue_.empty() || !writable_now()) return;
    last_send_ = now_seconds();
    unsigned char buffer[kReadSize];
    while (writable_now()) {
        // A TLS write that has to be repeated passes the same data and length.
        std::size_t count = 0;
        const unsigned char* run = queue_.front(
            buffer, pending_tls_write_ != 0 ? pending_tls_write_ : sizeof buffer, count);
        if (count == 0) return;
        const int taken = write_some(run, count);
        if (taken > 0) {
            queue_.consume(std::min(static_cast<std::size_t>(taken), count));
        } else if (taken == 0) {
            return;  // KIV_NET_WRITABLE resumes
        } else {
            lose(9, KIV_DETAIL_RESET);  // the data stays queued
            return;
        }
    }
}

int Connection::write_some(const unsigned char* data, std::size_t count) {
    if (tls_state_ == TlsState::kEstablished) return write_secure(data, count);
    const int n =
        operations_.send(socket_, reinterpret_cast<const char*>(data), static_cast<int>(count));
    if (n >= 1) {
        const int taken = std::min(n, static_cast<int>(count));
        counters_.bytes_out += taken;
        return taken;
    }
    return n == -2 ? 0 : -1;
}

void Connection::tick() {
    if (stopped() || socket_ == nullptr) return;
    const std::int64_t now = now_seconds();
    if (alarm_at_ >= 0 && now >= alarm_at_) {
        alarm_at_ = -1;
        if (handlers_.alarm != nullptr) handlers_.alarm(*this);
        if (stopped() || socket_ == nullptr) return;
    }
    if (!connected_) {
        rearm(now);  // waiting to connect: only the alarm matters
        return;
    }
    if (liveness_ > 0) {
        if (now - last_received_ >= liveness_) {
            const bool unfinished = frames_.pending_length() != 0 || !queue_.empty();
            lose(-1, unfinished ? KIV_DETAIL_STALLED : KIV_DETAIL_SILENT);
            return;
        }
    } else if (frames_.pending_length() != 0 && header_time_ < now - kStallSeconds) {
        // Not a loss: repeated at every tick while the frame stays incomplete.
        tap_event(ConnectionEvent::kReported, KIV_RC_TIMEOUT);
        handlers_.disconnected(*this, KIV_RC_TIMEOUT);
        if (stopped() || socket_ == nullptr) return;
    }
    if (now - last_send_ >= kKeepAliveSeconds) {
        PacketWriter keep_alive(5);
        keep_alive.append_byte(kKeepAliveType);
        keep_alive.append_int32(0);
        const PacketWriter::Frame frame = keep_alive.finish();
        if (tap_.frame != nullptr) {
            tap_.frame(tap_.context, true, frame.data + kFrameHeaderSize,
                       frame.size - kFrameHeaderSize);
        }
        queue_.append(frame.data, frame.size);
        ++counters_.frames_out;
        flush();
        if (stopped() || socket_ == nullptr) return;
        last_send_ = now;
    }
    rearm(now);
}

void Connection::rearm(std::int64_t now) {
    // The timer serves the nearest of the keep-alive, the liveness limit and
    // the alarm; an idle stream sees only those. Recorded traffic has no
    // timer.
    if (socket_ == nullptr) return;
    std::int64_t next = -1;
    const auto consider = [&](std::int64_t at) {
        if (next < 0 || at < next) next = at;
    };
    if (connected_) {
        // A clock that went backwards counts as no time passed.
        consider(std::min(last_send_, now) + kKeepAliveSeconds);
        if (liveness_ > 0) consider(std::min(last_received_, now) + liveness_);
    }
    if (alarm_at_ >= 0) consider(alarm_at_);
    if (next < 0) return;
    const std::int64_t seconds = std::min<std::int64_t>(std::max<std::int64_t>(0, next - now),
                                                        std::numeric_limits<int>::max());
    operations_.timeout(socket_, static_cast<int>(seconds));
}

}  // namespace kivsdk
