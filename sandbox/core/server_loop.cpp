#include "core/server_loop.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <stdexcept>
#include <utility>

#include <mbedtls/net_sockets.h>

#include "connection/tls_status.h"
#include "wire/packet_reader.h"
#include "wire/packet_writer.h"

namespace kivsdk::server {
namespace {

constexpr std::uint64_t kWakeKey = 0;
// Listener keys have the top bit set, watched inputs the next one (with
// their descriptor below it); peer ids never reach either.
constexpr std::uint64_t kListenerBit = std::uint64_t{1} << 63;
constexpr std::uint64_t kInputBit = std::uint64_t{1} << 62;
constexpr std::size_t kReadChunk = 16384;
// Frames a virtual peer keeps; older ones go first.
constexpr std::size_t kMaxInbox = 4096;
constexpr int kMaxEvents = 256;

std::string errno_text(int error) { return std::strerror(error); }

std::string address_text(const sockaddr_storage& address) {
    char host[INET6_ADDRSTRLEN] = "?";
    int port = 0;
    if (address.ss_family == AF_INET) {
        const auto& a = reinterpret_cast<const sockaddr_in&>(address);
        inet_ntop(AF_INET, &a.sin_addr, host, sizeof host);
        port = ntohs(a.sin_port);
        return std::string(host) + ":" + std::to_string(port);
    }
    if (address.ss_family == AF_INET6) {
        const auto& a = reinterpret_cast<const sockaddr_in6&>(address);
        inet_ntop(AF_INET6, &a.sin6_addr, host, sizeof host);
        port = ntohs(a.sin6_port);
    }
    return "[" + std::string(host) + "]:" + std::to_string(port);
}

// `milliseconds`, or less so that a wait ends by `deadline`.
int limit_wait(int milliseconds, std::chrono::steady_clock::time_point deadline) {
    const long long left = std::chrono::duration_cast<std::chrono::milliseconds>(
                               deadline - std::chrono::steady_clock::now())
                               .count() +
                           1;
    return static_cast<int>(std::max(0LL, std::min<long long>(milliseconds, left)));
}

}  // namespace

// ---- Peer ------------------------------------------------------------------

struct Peer::Tls {
    mbedtls_ssl_context ssl;
    Bytes prefix;  // received in the clear after the switch request
    std::size_t prefix_used = 0;
    // Frames queued while the handshake runs.
    std::vector<Bytes> held;

    Tls() { mbedtls_ssl_init(&ssl); }
    ~Tls() { mbedtls_ssl_free(&ssl); }
    Tls(const Tls&) = delete;
    Tls& operator=(const Tls&) = delete;
};

Peer::Peer(ServerLoop& loop, Service& service, std::uint64_t id, int fd, std::string remote,
           std::string listener)
    : loop_(loop),
      service_(service),
      id_(id),
      fd_(fd),
      remote_(std::move(remote)),
      listener_(std::move(listener)),
      last_input_(Clock::now()),
      last_output_(last_input_) {}

Peer::~Peer() {
    if (fd_ >= 0) ::close(fd_);
}

int Peer::bio_send(void* context, const unsigned char* data, std::size_t length) {
    auto& self = *static_cast<Peer*>(context);
    self.queue_raw(data, length);
    return static_cast<int>(length);
}

int Peer::bio_recv(void* context, unsigned char* buffer, std::size_t length) {
    auto& self = *static_cast<Peer*>(context);
    Tls& tls = *self.tls_;
    if (tls.prefix_used < tls.prefix.size()) {
        const std::size_t n = std::min(length, tls.prefix.size() - tls.prefix_used);
        std::memcpy(buffer, tls.prefix.data() + tls.prefix_used, n);
        tls.prefix_used += n;
        return static_cast<int>(n);
    }
    if (self.recv_budget_ == 0) return MBEDTLS_ERR_SSL_WANT_READ;
    const ssize_t n = ::recv(self.fd_, buffer, std::min(length, self.recv_budget_), 0);
    if (n > 0) {
        self.recv_budget_ -= static_cast<std::size_t>(n);
        return static_cast<int>(n);
    }
    if (n == 0) return 0;
    if (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR) {
        return MBEDTLS_ERR_SSL_WANT_READ;
    }
    return MBEDTLS_ERR_NET_RECV_FAILED;
}

void Peer::send(PacketWriter& writer) {
    if (!writer.fits()) {
        loop_.log_error(listener_ + " " + remote_ + ": dropped a reply too large for a frame");
        return;
    }
    const PacketWriter::Frame frame = writer.finish();
    send_frame(frame.data, frame.size);
}

void Peer::send_frame(const unsigned char* frame, std::size_t size) {
    if (!is_open()) return;
    if (phase_ == Phase::kHandshake) {
        tls_->held.emplace_back(frame, frame + size);
        return;
    }
    if (loop_.sent_tap_) loop_.sent_tap_(*this, frame, size);
    ++loop_.frames_sent_;
    last_output_ = Clock::now();
    if (virtual_) {
        if (inbox_.size() >= kMaxInbox) inbox_.erase(inbox_.begin());
        inbox_.emplace_back(frame, frame + size);
        return;
    }
    // Once one frame waits, later ones wait behind it, delay or not.
    if (loop_.delay_.count() > 0 || !delayed_.empty()) {
        const Clock::time_point due = last_output_ + loop_.delay_;
        if (loop_.delaying_.empty() || due < loop_.next_due_) loop_.next_due_ = due;
        delayed_.emplace_back(due, Bytes(frame, frame + size));
        loop_.delaying_.insert(id_);
        return;
    }
    send_now(frame, size);
}

bool Peer::release_delayed(Clock::time_point now) {
    std::size_t due = 0;
    while (due < delayed_.size() && delayed_[due].first <= now) ++due;
    std::vector<std::pair<Clock::time_point, Bytes>> ready(
        std::make_move_iterator(delayed_.begin()),
        std::make_move_iterator(delayed_.begin() + static_cast<std::ptrdiff_t>(due)));
    delayed_.erase(delayed_.begin(), delayed_.begin() + static_cast<std::ptrdiff_t>(due));
    for (const auto& entry : ready) {
        if (!is_open()) return false;
        send_now(entry.second.data(), entry.second.size());
    }
    return is_open() && !delayed_.empty();
}

void Peer::send_now(const unsigned char* frame, std::size_t size) {
    if (phase_ == Phase::kClear) {
        queue_raw(frame, size);
    } else {
        tls_plain_.insert(tls_plain_.end(), frame, frame + size);
    }
    loop_.flush_later(*this);
}

void Peer::queue_raw(const unsigned char* data, std::size_t size) {
    if (out_sent_ == out_.size()) {
        out_.clear();
        out_sent_ = 0;
        // Output waits from now on (until this pass's flush, at least): the
        // stall clock of output counts from here.
        stalled_since_ = Clock::now();
    }
    out_.insert(out_.end(), data, data + size);
}

bool Peer::seal_pending() {
    if (tls_plain_.empty() || !tls_ || phase_ == Phase::kClear) return true;
    // Into TLS records (at most 16 KiB each), which land in out_.
    std::size_t done = 0;
    while (done < tls_plain_.size()) {
        const int r =
            mbedtls_ssl_write(&tls_->ssl, tls_plain_.data() + done, tls_plain_.size() - done);
        if (r <= 0) {
            tls_plain_.clear();
            close_later("TLS write failed: " + tls_error_text(r));
            return false;
        }
        done += static_cast<std::size_t>(r);
    }
    tls_plain_.clear();
    return true;
}

void Peer::flush() {
    // A frozen loop writes nothing; thaw() flushes what was queued.
    if (loop_.frozen_) return;
    if (!seal_pending()) return;
    while (out_sent_ < out_.size()) {
        std::size_t want = out_.size() - out_sent_;
        if (cut_armed_) want = std::min(want, cut_left_);
        if (want == 0) break;
        const ssize_t n = ::send(fd_, out_.data() + out_sent_, want, MSG_NOSIGNAL);
        if (n > 0) {
            out_sent_ += static_cast<std::size_t>(n);
            if (cut_armed_) cut_left_ -= static_cast<std::size_t>(n);
            stalled_since_ = Clock::now();
            continue;
        }
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) break;
        if (n < 0 && errno == EINTR) continue;
        close_later("send failed: " + errno_text(errno));
        return;
    }
    if (cut_armed_ && cut_left_ == 0) {
        close_later("cut after its bytes ran out");
        return;
    }
    if (out_sent_ == out_.size()) {
        out_.clear();
        out_sent_ = 0;
    } else if (out_sent_ > (std::size_t{1} << 20)) {
        out_.erase(out_.begin(), out_.begin() + static_cast<std::ptrdiff_t>(out_sent_));
        out_sent_ = 0;
    }
    const std::size_t queued = out_.size() - out_sent_;
    if (queued > loop_.limits().max_output) {
        close_later("not reading: " + std::to_string(queued) + " bytes queued");
        return;
    }
    if (phase_ == Phase::kDraining && queued == 0 && !close_reason_.empty()) {
        ::shutdown(fd_, SHUT_WR);
    }
    update_interest();
}

void Peer::update_interest() {
    const bool want = out_sent_ < out_.size();
    if (want == want_write_ || fd_ < 0) return;
    if (want) stalled_since_ = Clock::now();
    want_write_ = want;
    loop_.watch(fd_, id_, want);
}

void Peer::start_tls(const ServerTlsConfig& config) {
    if (phase_ != Phase::kClear) return;
    tls_ = std::make_unique<Tls>();
    const int r = mbedtls_ssl_setup(&tls_->ssl, config.config());
    if (r != 0) {
        close("TLS set-up failed: " + tls_error_text(r));
        return;
    }
    mbedtls_ssl_set_bio(&tls_->ssl, this, &Peer::bio_send, &Peer::bio_recv, nullptr);
    tls_->prefix = input_.frames().take();
    phase_ = Phase::kHandshake;
    stalled_since_ = Clock::now();
    stall_clock_running_ = true;
}

void Peer::close_later(const std::string& reason) {
    if (phase_ == Phase::kClosed || doomed_) return;
    doomed_ = true;
    loop_.doomed_.emplace_back(id_, reason);
}

void Peer::close(const std::string& reason) {
    if (phase_ == Phase::kClosed) return;
    // What this pass sent it goes first, as it would have at once.
    if (flush_due_ && fd_ >= 0 && !doomed_) flush();
    if (phase_ == Phase::kClosed) return;
    const bool was_open = phase_ != Phase::kDraining;
    phase_ = Phase::kClosed;
    finish_close(reason);
    if (was_open) service_.on_close(*this);
}

void Peer::close_after_flush(const std::string& reason) {
    if (!is_open()) return;
    if (virtual_) return close(reason);  // nothing to flush
    // The frames of this pass go into TLS before the close notification.
    if (!seal_pending()) return;
    if (phase_ == Phase::kSecure) mbedtls_ssl_close_notify(&tls_->ssl);
    phase_ = Phase::kDraining;
    close_reason_ = reason;
    stalled_since_ = Clock::now();
    stall_clock_running_ = true;
    service_.on_close(*this);
    if (phase_ == Phase::kDraining) flush();
}

void Peer::reset(const std::string& reason) {
    if (phase_ == Phase::kClosed) return;
    if (fd_ >= 0) {
        // Closing with a zero linger time sends a reset instead of a FIN.
        const linger abort{1, 0};
        ::setsockopt(fd_, SOL_SOCKET, SO_LINGER, &abort, sizeof abort);
    }
    close(reason);
}

void Peer::thaw(Clock::time_point now) {
    if (phase_ == Phase::kClosed || fd_ < 0) return;
    last_input_ = now;
    last_output_ = now;
    stalled_since_ = now;
    want_write_ = out_sent_ < out_.size();
    loop_.watch(fd_, id_, want_write_, true);
    flush();
}

void Peer::finish_close(const std::string& reason) {
    const std::string why = close_reason_.empty() ? reason : close_reason_;
    if (fd_ >= 0) {
        loop_.unwatch(fd_);
        ::close(fd_);
        fd_ = -1;
    }
    loop_.log_connection(listener_ + " " + remote_ + " closed: " + why);
    loop_.retire(id_);
}

void Peer::on_readable() {
    std::size_t budget = loop_.limits().read_budget;
    if (phase_ == Phase::kDraining) {
        // The stream is ending: read and drop until the client closes too.
        unsigned char buffer[kReadChunk];
        for (;;) {
            const ssize_t n = ::recv(fd_, buffer, sizeof buffer, 0);
            if (n > 0) continue;
            if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) return;
            if (n < 0 && errno == EINTR) continue;
            close("");
            return;
        }
    }
    if (phase_ == Phase::kClear) read_clear(budget);
    if (phase_ == Phase::kHandshake || phase_ == Phase::kSecure) read_tls(budget);
}

void Peer::read_clear(std::size_t& budget) {
    FrameReader& input = input_.frames();
    while (phase_ == Phase::kClear && is_open() && budget > 0) {
        const std::size_t room = static_cast<std::size_t>(input.write_room());
        const ssize_t n = ::recv(fd_, input.write_area(), std::min(room, budget), 0);
        if (n > 0) {
            budget -= static_cast<std::size_t>(n);
            last_input_ = Clock::now();
            input.commit(static_cast<std::int32_t>(n));
            deliver_frames();
            continue;
        }
        if (n == 0) {
            close(input.partial() ? "the client closed inside a frame" : "closed by the client");
        } else if (errno == EINTR) {
            continue;
        } else if (errno != EAGAIN && errno != EWOULDBLOCK) {
            close("receive failed: " + errno_text(errno));
        }
        return;
    }
}

void Peer::read_tls(std::size_t& budget) {
    recv_budget_ = budget;
    while (phase_ == Phase::kHandshake) {
        const int r = mbedtls_ssl_handshake(&tls_->ssl);
        if (r == 0) {
            phase_ = Phase::kSecure;
            stall_clock_running_ = false;
            last_input_ = Clock::now();
            loop_.log_connection(listener_ + " " + remote_ + " secured with " +
                                 mbedtls_ssl_get_version(&tls_->ssl));
            flush();
            const std::vector<Bytes> held = std::move(tls_->held);
            for (const Bytes& frame : held) send_frame(frame.data(), frame.size());
            if (is_open()) service_.on_secure(*this);
            break;
        }
        if (tls_would_block(r)) {
            flush();
            budget = recv_budget_;
            return;
        }
        flush();
        close("TLS handshake failed: " + tls_error_text(r));
        return;
    }
    FrameReader& input = input_.frames();
    while (phase_ == Phase::kSecure && is_open()) {
        const int r = mbedtls_ssl_read(&tls_->ssl, input.write_area(),
                                       static_cast<std::size_t>(input.write_room()));
        if (r > 0) {
            last_input_ = Clock::now();
            input.commit(r);
            deliver_frames();
            continue;
        }
        if (tls_would_block(r)) break;
        if (r == MBEDTLS_ERR_SSL_RECEIVED_NEW_SESSION_TICKET) continue;
        if (r == 0 || r == MBEDTLS_ERR_SSL_PEER_CLOSE_NOTIFY || r == MBEDTLS_ERR_SSL_CONN_EOF) {
            close(input.partial() ? "the client closed inside a frame" : "closed by the client");
        } else {
            close("TLS read failed: " + tls_error_text(r));
        }
        break;
    }
    budget = recv_budget_;
}

void Peer::deliver_frames() {
    FrameReader& input = input_.frames();
    const unsigned char* frame = nullptr;
    std::uint16_t length = 0;
    const Phase phase = phase_;
    while (phase_ == phase && is_open() && input.next(frame, length)) {
        ++loop_.frames_received_;
        const bool ignored = length > 0 && !loop_.ignored_.empty() &&
                             loop_.ignored_.count({&service_, frame[0]}) > 0;
        if (!loop_.received_tap_) {
            if (ignored) continue;
            PacketReader body(frame, length);
            service_.on_frame(*this, body);
            continue;
        }
        // A copy for the tap: handling the frame may move the input (TLS).
        const Bytes copy(frame, frame + length);
        if (!ignored) {
            PacketReader body(copy.data(), copy.size());
            service_.on_frame(*this, body);
        }
        loop_.received_tap_(*this, copy.data(), copy.size());
    }
    if (!is_open()) return;
    // The stall clock runs while an incomplete frame waits for its rest.
    if (phase_ == Phase::kClear || phase_ == Phase::kSecure) {
        if (input.partial() && !stall_clock_running_) {
            stall_clock_running_ = true;
            stalled_since_ = Clock::now();
        } else if (!input.partial()) {
            stall_clock_running_ = false;
        }
    }
}

void Peer::on_writable() {
    if (phase_ == Phase::kClosed) return;
    flush();
    if (phase_ == Phase::kDraining && out_sent_ == out_.size()) ::shutdown(fd_, SHUT_WR);
}

void Peer::sweep(Clock::time_point now) {
    if (phase_ == Phase::kClosed || virtual_) return;
    const auto stall = std::chrono::seconds(loop_.limits().stall_seconds);
    const bool output_waiting = out_sent_ < out_.size();
    if ((stall_clock_running_ || output_waiting) && now - stalled_since_ > stall) {
        const char* what = phase_ == Phase::kHandshake  ? "the TLS handshake stalled"
                           : phase_ == Phase::kDraining ? "closing took too long"
                           : output_waiting             ? "the client stopped reading"
                                                        : "an incomplete frame stalled";
        close(what);
        return;
    }
    if (now - last_input_ > std::chrono::seconds(loop_.limits().idle_seconds)) {
        close("idle");
        return;
    }
    const int keepalive = loop_.limits().keepalive_seconds;
    if (keepalive > 0 && (phase_ == Phase::kClear || phase_ == Phase::kSecure) && !doomed_ &&
        now - last_output_ >= std::chrono::seconds(keepalive)) {
        last_output_ = now;
        service_.on_quiet(*this);
    }
}

// ---- ServerLoop ------------------------------------------------------------

ServerLoop::ServerLoop(const Limits& limits, LogOptions log)
    : limits_(limits), log_(std::move(log)), next_sweep_(std::chrono::steady_clock::now()) {
    epoll_fd_ = ::epoll_create1(EPOLL_CLOEXEC);
    wake_fd_ = ::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    if (epoll_fd_ < 0 || wake_fd_ < 0) {
        const int error = errno;
        if (epoll_fd_ >= 0) ::close(epoll_fd_);
        if (wake_fd_ >= 0) ::close(wake_fd_);
        throw std::runtime_error("cannot create the event loop: " + errno_text(error));
    }
    epoll_event event{};
    event.events = EPOLLIN;
    event.data.u64 = kWakeKey;
    ::epoll_ctl(epoll_fd_, EPOLL_CTL_ADD, wake_fd_, &event);
}

ServerLoop::~ServerLoop() {
    // Peers close their sockets without calling back into services, which may
    // already be gone.
    peers_.clear();
    retired_.clear();
    for (auto& entry : listeners_) ::close(entry.second.fd);
    ::close(wake_fd_);
    ::close(epoll_fd_);
}

long ServerLoop::raise_open_file_limit() {
    rlimit limit{};
    if (::getrlimit(RLIMIT_NOFILE, &limit) != 0) return -1;
    if (limit.rlim_cur < limit.rlim_max) {
        rlimit raised = limit;
        raised.rlim_cur = limit.rlim_max;
        if (::setrlimit(RLIMIT_NOFILE, &raised) == 0) limit = raised;
    }
    return limit.rlim_cur == RLIM_INFINITY ? -1 : static_cast<long>(limit.rlim_cur);
}

int ServerLoop::listen(const std::string& address, int port, Service& service,
                       const std::string& name) {
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_flags = AI_NUMERICHOST | AI_PASSIVE | AI_NUMERICSERV;
    addrinfo* found = nullptr;
    const std::string port_text = std::to_string(port);
    if (::getaddrinfo(address.c_str(), port_text.c_str(), &hints, &found) != 0 || !found) {
        throw std::runtime_error(name + ": not a numeric address: " + address);
    }
    const int fd = ::socket(found->ai_family, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        ::freeaddrinfo(found);
        throw std::runtime_error(name + ": socket: " + errno_text(errno));
    }
    const int one = 1;
    ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    if (::bind(fd, found->ai_addr, found->ai_addrlen) != 0 || ::listen(fd, 1024) != 0) {
        const int error = errno;
        ::freeaddrinfo(found);
        ::close(fd);
        throw std::runtime_error(name + ": cannot listen on " + address + " port " + port_text +
                                 ": " + errno_text(error));
    }
    ::freeaddrinfo(found);
    sockaddr_storage bound{};
    socklen_t length = sizeof bound;
    ::getsockname(fd, reinterpret_cast<sockaddr*>(&bound), &length);
    const int taken = bound.ss_family == AF_INET
                          ? ntohs(reinterpret_cast<sockaddr_in&>(bound).sin_port)
                          : ntohs(reinterpret_cast<sockaddr_in6&>(bound).sin6_port);
    const std::uint64_t key = kListenerBit | next_id_++;
    listeners_.emplace(key, Listener{fd, &service, name});
    epoll_event event{};
    event.events = EPOLLIN;
    event.data.u64 = key;
    ::epoll_ctl(epoll_fd_, EPOLL_CTL_ADD, fd, &event);
    return taken;
}

void ServerLoop::watch(int fd, std::uint64_t key, bool writable, bool add) {
    // A frozen loop watches no client; thaw() adds them back.
    if (frozen_ && !add) return;
    epoll_event event{};
    event.events = EPOLLIN | (writable ? EPOLLOUT : 0u);
    event.data.u64 = key;
    ::epoll_ctl(epoll_fd_, add ? EPOLL_CTL_ADD : EPOLL_CTL_MOD, fd, &event);
}

void ServerLoop::unwatch(int fd) { ::epoll_ctl(epoll_fd_, EPOLL_CTL_DEL, fd, nullptr); }

void ServerLoop::accept_from(Listener& listener) {
    for (int accepted = 0; accepted < 64; ++accepted) {
        sockaddr_storage address{};
        socklen_t length = sizeof address;
        const int fd = ::accept4(listener.fd, reinterpret_cast<sockaddr*>(&address), &length,
                                 SOCK_NONBLOCK | SOCK_CLOEXEC);
        if (fd < 0) {
            if (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR ||
                errno == ECONNABORTED) {
                return;
            }
            log_error(listener.name + ": accept failed: " + errno_text(errno));
            if (errno == EMFILE || errno == ENFILE || errno == ENOBUFS || errno == ENOMEM) {
                // Out of descriptors: stop accepting until the next sweep
                // instead of spinning on a listener that stays readable.
                epoll_event event{};
                event.data.u64 = 0;
                for (auto& entry : listeners_) {
                    if (&entry.second == &listener) event.data.u64 = entry.first;
                }
                ::epoll_ctl(epoll_fd_, EPOLL_CTL_MOD, listener.fd, &event);
                listener.paused = true;
            }
            return;
        }
        const std::string remote = address_text(address);
        if (peers_.size() >= limits_.max_clients) {
            log_error(listener.name + " " + remote + " refused: too many clients");
            ::close(fd);
            continue;
        }
        const int one = 1;
        ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
        if (limits_.socket_send_buffer > 0) {
            ::setsockopt(fd, SOL_SOCKET, SO_SNDBUF, &limits_.socket_send_buffer,
                         sizeof limits_.socket_send_buffer);
        }
        const std::uint64_t id = next_id_++;
        auto peer = std::unique_ptr<Peer>(
            new Peer(*this, *listener.service, id, fd, remote, listener.name));
        Peer& added = *peer;
        arm_cut(added);
        peers_.emplace(id, std::move(peer));
        epoll_event event{};
        event.events = EPOLLIN;
        event.data.u64 = id;
        ::epoll_ctl(epoll_fd_, EPOLL_CTL_ADD, fd, &event);
        log_connection(listener.name + " " + remote + " connected");
        listener.service->on_open(added);
    }
}

void ServerLoop::close_doomed() {
    // Closing may doom more peers (services tell the others); the list is
    // taken afresh until it stays empty.
    while (!doomed_.empty()) {
        const auto doomed = std::move(doomed_);
        doomed_.clear();
        for (const auto& entry : doomed) {
            const auto found = peers_.find(entry.first);
            if (found != peers_.end()) found->second->close(entry.second);
        }
    }
}

void ServerLoop::flush_later(Peer& peer) {
    // Outside a pass (a call from the host of the loop) nothing would flush
    // it soon: at once, as before.
    if (!in_pass_) {
        peer.flush();
        return;
    }
    if (peer.flush_due_) return;
    peer.flush_due_ = true;
    flush_due_.push_back(peer.id_);
}

void ServerLoop::flush_due() {
    // A flush may close a peer, and closing may queue nothing new: the list
    // is taken whole first.
    std::vector<std::uint64_t> due;
    due.swap(flush_due_);
    for (const std::uint64_t id : due) {
        const auto found = peers_.find(id);
        if (found == peers_.end()) continue;
        Peer& peer = *found->second;
        peer.flush_due_ = false;
        if (peer.phase_ != Peer::Phase::kClosed) peer.flush();
    }
    due.clear();
    if (flush_due_.empty()) flush_due_.swap(due);  // keep the capacity
}

void ServerLoop::run_once(int milliseconds) {
    // Wake up in time to end a freeze, or for the first delayed frame.
    if (frozen_) {
        milliseconds = limit_wait(milliseconds, thaw_at_);
    } else if (!delaying_.empty()) {
        milliseconds = limit_wait(milliseconds, next_due_);
    }
    epoll_event events[kMaxEvents];
    const int count = ::epoll_wait(epoll_fd_, events, kMaxEvents, milliseconds);
    if (count < 0 && errno != EINTR) log_error("epoll_wait failed: " + errno_text(errno));
    in_pass_ = true;
    for (int i = 0; i < count; ++i) {
        const std::uint64_t key = events[i].data.u64;
        if (key == kWakeKey) {
            std::uint64_t value = 0;
            while (::read(wake_fd_, &value, sizeof value) > 0) {
            }
            continue;
        }
        if (key & kListenerBit) {
            const auto found = listeners_.find(key);
            if (found != listeners_.end() && !frozen_) accept_from(found->second);
            continue;
        }
        if (key & kInputBit) {
            const auto found = inputs_.find(key);
            if (found == inputs_.end()) continue;
            // A copy: the handler may forget its own input.
            const std::function<void()> handler = found->second;
            handler();
            close_doomed();
            continue;
        }
        if (frozen_) continue;  // frozen by an earlier event of this pass
        const auto found = peers_.find(key);
        if (found == peers_.end()) continue;
        Peer& peer = *found->second;
        if (events[i].events & EPOLLOUT) peer.on_writable();
        if (events[i].events & (EPOLLIN | EPOLLHUP | EPOLLERR)) {
            if (peer.phase_ != Peer::Phase::kClosed && !peer.doomed_) peer.on_readable();
        }
        close_doomed();
    }
    // This pass's output goes out before anything judges what is waiting.
    flush_due();
    const auto now = std::chrono::steady_clock::now();
    if (frozen_ && now >= thaw_at_) thaw();
    if (!frozen_ && !delaying_.empty() && now >= next_due_) release_delayed();
    if (!frozen_ && now >= next_sweep_) sweep();
    flush_due();
    in_pass_ = false;
    close_doomed();
    retired_.clear();
}

void ServerLoop::run() {
    while (!stop_.load()) run_once(1000);
}

void ServerLoop::stop() noexcept {
    stop_.store(true);
    const std::uint64_t one = 1;
    const ssize_t written = ::write(wake_fd_, &one, sizeof one);
    static_cast<void>(written);
}

Peer* ServerLoop::find(std::uint64_t id) {
    const auto found = peers_.find(id);
    if (found == peers_.end() || !found->second->is_open()) return nullptr;
    return found->second.get();
}

void ServerLoop::for_each_peer(const std::function<void(Peer&)>& action) {
    std::vector<std::uint64_t> ids;
    ids.reserve(peers_.size());
    for (const auto& entry : peers_) ids.push_back(entry.first);
    for (const std::uint64_t id : ids) {
        // Looked up again: an action may close others (services tell the rest).
        const auto found = peers_.find(id);
        if (found != peers_.end()) action(*found->second);
    }
}

void ServerLoop::sweep() {
    const auto now = std::chrono::steady_clock::now();
    next_sweep_ = now + std::chrono::seconds(1);
    for_each_peer([&](Peer& peer) { peer.sweep(now); });
    for (auto& entry : listeners_) {
        if (!entry.second.paused) continue;
        entry.second.paused = false;
        epoll_event event{};
        event.events = EPOLLIN;
        event.data.u64 = entry.first;
        ::epoll_ctl(epoll_fd_, EPOLL_CTL_MOD, entry.second.fd, &event);
    }
}

void ServerLoop::freeze(std::chrono::milliseconds duration) {
    if (duration.count() <= 0) {
        thaw();
        return;
    }
    thaw_at_ = std::chrono::steady_clock::now() + duration;
    log_connection("frozen for " + std::to_string(duration.count()) + " ms");
    if (frozen_) return;
    frozen_ = true;
    for (const auto& entry : listeners_) unwatch(entry.second.fd);
    for (const auto& entry : peers_) {
        if (entry.second->fd_ >= 0) unwatch(entry.second->fd_);
    }
}

void ServerLoop::thaw() {
    if (!frozen_) return;
    frozen_ = false;
    const auto now = std::chrono::steady_clock::now();
    for (auto& entry : listeners_) {
        entry.second.paused = false;
        watch(entry.second.fd, entry.first, false, true);
    }
    for_each_peer([&](Peer& peer) { peer.thaw(now); });
    next_sweep_ = now + std::chrono::seconds(1);
    log_connection("thawed");
}

std::size_t ServerLoop::drop_clients(const Service* service, const std::string& reason,
                                     bool reset) {
    std::size_t dropped = 0;
    for_each_peer([&](Peer& peer) {
        if (peer.virtual_ || !peer.is_open() || (service && &peer.service_ != service)) return;
        if (reset) {
            peer.reset(reason);
        } else {
            peer.close_after_flush(reason);
        }
        ++dropped;
    });
    return dropped;
}

void ServerLoop::stop_listening(const Service& service) {
    for (auto it = listeners_.begin(); it != listeners_.end();) {
        if (it->second.service != &service) {
            ++it;
            continue;
        }
        unwatch(it->second.fd);
        ::close(it->second.fd);
        it = listeners_.erase(it);
    }
}

void ServerLoop::release_delayed() {
    const auto now = std::chrono::steady_clock::now();
    auto next = std::chrono::steady_clock::time_point::max();
    for (auto it = delaying_.begin(); it != delaying_.end();) {
        const auto found = peers_.find(*it);
        if (found == peers_.end() || !found->second->release_delayed(now)) {
            it = delaying_.erase(it);
            continue;
        }
        next = std::min(next, found->second->delayed_.front().first);
        ++it;
    }
    next_due_ = next;
}

void ServerLoop::ignore_requests(const Service& service, std::uint8_t type, bool ignore) {
    if (ignore) {
        ignored_.insert({&service, type});
    } else {
        ignored_.erase({&service, type});
    }
}

void ServerLoop::cut_after(const Service* service, std::size_t bytes) {
    if (bytes == 0) {
        cut_rules_.erase(service);
    } else {
        cut_rules_[service] = bytes;
    }
    for (auto& entry : peers_) {
        Peer& peer = *entry.second;
        if (peer.virtual_ || (service && &peer.service_ != service)) continue;
        peer.cut_armed_ = bytes > 0;
        peer.cut_left_ = bytes;
    }
}

void ServerLoop::arm_cut(Peer& peer) const {
    auto rule = cut_rules_.find(&peer.service_);
    if (rule == cut_rules_.end()) rule = cut_rules_.find(nullptr);
    if (rule == cut_rules_.end()) return;
    peer.cut_armed_ = true;
    peer.cut_left_ = rule->second;
}

Peer& ServerLoop::add_virtual_peer(Service& service, const std::string& listener) {
    const std::uint64_t id = next_id_++;
    auto peer = std::unique_ptr<Peer>(new Peer(*this, service, id, -1, "actor", listener));
    peer->virtual_ = true;
    peer->phase_ = Peer::Phase::kSecure;
    Peer& added = *peer;
    peers_.emplace(id, std::move(peer));
    service.on_open(added);
    return added;
}

void ServerLoop::deliver(Peer& peer, const unsigned char* body, std::size_t size) {
    if (!peer.is_open() || size == 0) return;
    ++frames_received_;
    PacketReader reader(body, size);
    peer.service_.on_frame(peer, reader);
}

void ServerLoop::watch_input(int fd, std::function<void()> on_readable) {
    const std::uint64_t key = kInputBit | static_cast<std::uint64_t>(fd);
    inputs_[key] = std::move(on_readable);
    epoll_event event{};
    event.events = EPOLLIN;
    event.data.u64 = key;
    ::epoll_ctl(epoll_fd_, EPOLL_CTL_ADD, fd, &event);
}

void ServerLoop::forget_input(int fd) {
    inputs_.erase(kInputBit | static_cast<std::uint64_t>(fd));
    unwatch(fd);
}

void ServerLoop::retire(std::uint64_t id) {
    const auto found = peers_.find(id);
    if (found == peers_.end()) return;
    retired_.push_back(std::move(found->second));
    peers_.erase(found);
}

void ServerLoop::log_connection(const std::string& line) const {
    if (log_.connections) std::fprintf(stderr, "%s: %s\n", log_.prefix.c_str(), line.c_str());
}

void ServerLoop::log_error(const std::string& line) const {
    std::fprintf(stderr, "%s: error: %s\n", log_.prefix.c_str(), line.c_str());
}

}  // namespace kivsdk::server
