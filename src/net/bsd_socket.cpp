#include "net/bsd_socket.h"

#include <cstdio>

#include "base/clock.h"
#include "net/platform.h"

namespace kivsdk {

using namespace net;

void AddressListRelease::operator()(addrinfo* list) const noexcept {
    if (list != nullptr && release != nullptr) release(list);
}

BSDSocket::BSDSocket(void* connection, PollLoop* loop) noexcept
    : connection_(connection), loop_(loop) {
    WSADATA data{};
    static_cast<void>(WSAStartup(kWinsockVersion, &data));  // balanced in close()
}

BSDSocket::~BSDSocket() { BSDSocket::close(); }

void BSDSocket::set_handle(SocketHandle handle) { handle_ = handle; }

void BSDSocket::close() noexcept {
    if (!open_) return;
    open_ = false;
    loop_->unwatch_object(this);
    loop_->cancel_timer(this);
    close_handle();
    addresses_.reset();
    current_ = nullptr;
    static_cast<void>(WSACleanup());
}

int BSDSocket::connect(const char* host, int port) {
    // A result posted from in here may destroy this socket; it stays valid
    // until the call returns.
    DeliveryScope scope(*this);
    if (!open_) return -1;
    // One connect per socket is the contract; a second one starts afresh.
    close_handle();
    addresses_.reset();
    current_ = nullptr;

    char service[16];
    std::snprintf(service, sizeof service, "%d", port);
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_protocol = IPPROTO_TCP;
    const Resolver resolver = current_resolver();
    addrinfo* list = nullptr;
    const bool resolved =
        host != nullptr && resolver.resolve(host, service, &hints, &list) == 0 && list != nullptr;
    if (!resolved) {
        unresolved_ = true;
        const int status = host != nullptr && WSAGetLastError() == WSAEWOULDBLOCK ? -2 : -1;
        if (list != nullptr) resolver.release(list);
        post(KIV_NET_CONNECT_RESULT, status);
        return status;
    }
    addresses_ = AddressList{list, AddressListRelease{resolver.release}};
    current_ = list;
    attempt();
    return 0;
}

void BSDSocket::attempt() {
    // The status reported when no address is left describes the last one
    // tried: its platform error code when connect() refused it at once (as
    // for a single address), -1 when socket() failed or when the refusal
    // came later, through Connect completion.
    int status = -1;
    for (; current_ != nullptr; current_ = current_->ai_next) {
        close_handle();
        const SOCKET opened = open_socket(*current_);
        if (opened == INVALID_SOCKET) {
            status = -1;
            continue;
        }
        set_handle(opened);
        unsigned long non_blocking = 1;
        if (ioctlsocket(handle_, FIONBIO, &non_blocking) != 0) {
            // A blocking connect would stall the host; this address is unusable.
            status = -1;
            continue;
        }
        tune_stream_socket(handle_);
        loop_->watch(WatchList::write, handle_, &connect_ready, this);
        loop_->watch(WatchList::exception, handle_, &connect_ready, this);
        if (connect_to(handle_, *current_) == 0) {
            become_connected();
            return;
        }
        const int error = WSAGetLastError();
        if (error == WSAEWOULDBLOCK) return;  // in progress: Connect completion follows
        stop_connecting();
        status = error;
        failure_code_ = error;
    }
    close_handle();
    addresses_.reset();
    post(KIV_NET_CONNECT_RESULT, status);
}

void BSDSocket::complete_connect(int reported_error) {
    // Only an attempt in progress completes; the entries are gone otherwise.
    if (handle_ == kInvalidHandle || !connecting()) return;
    stop_connecting();
    // A completion message carries its own error; the socket's pending error
    // need not still hold it when the message is read.
    const int error = reported_error != 0 ? reported_error : pending_error(handle_);
    if (error == 0) {
        become_connected();
        return;
    }
    failure_code_ = error;
    close_handle();
    current_ = current_->ai_next;
    attempt();  // the next address, or the result when none is left
}

int BSDSocket::failure_detail() const noexcept {
    if (unresolved_) return KIV_DETAIL_HOST_NOT_FOUND;
    return net::failure_detail(failure_code_);
}

void BSDSocket::become_connected() {
    stop_connecting();
    addresses_.reset();
    current_ = nullptr;
    loop_->watch(WatchList::read, handle_, &readable_notifier, this);
    loop_->watch(WatchList::exception, handle_, &closed_notifier, this);
    post(KIV_NET_CONNECT_RESULT, 0);
}

void BSDSocket::stop_connecting() {
    if (handle_ == kInvalidHandle) return;
    loop_->unwatch(WatchList::write, handle_, &connect_ready);
    loop_->unwatch(WatchList::exception, handle_, &connect_ready);
}

void BSDSocket::close_handle() noexcept {
    if (handle_ == kInvalidHandle) return;
    // Nothing may watch a closed handle: its number is reused at once.
    loop_->unwatch_handle(handle_);
    write_armed_ = false;
    static_cast<void>(closesocket(handle_));
    set_handle(kInvalidHandle);
}

int BSDSocket::send(const char* data, int length) {
    if (handle_ == kInvalidHandle || length < 0 || (data == nullptr && length > 0)) return -1;
    const int sent = send_some(handle_, data, length);
    if (sent < 0) {
        if (WSAGetLastError() == WSAEWOULDBLOCK) {
            arm_writable();
            return -2;
        }
        forget_dead_stream();
        return -1;
    }
    if (sent < length) {
        arm_writable();
    } else if (write_armed_) {
        loop_->unwatch(WatchList::write, handle_, &writable_notifier);
        write_armed_ = false;
    }
    return sent;
}

void BSDSocket::arm_writable() {
    // At most one writable notifier per handle.
    loop_->unwatch(WatchList::write, handle_, &writable_notifier);
    loop_->watch(WatchList::write, handle_, &writable_notifier, this);
    write_armed_ = true;
}

int BSDSocket::recv(char* buffer, int capacity) {
    if (handle_ == kInvalidHandle || buffer == nullptr || capacity <= 0) return -1;
    const int received = receive_some(handle_, buffer, capacity);
    if (received > 0) return received;
    if (received < 0 && WSAGetLastError() == WSAEWOULDBLOCK) return -2;
    forget_dead_stream();
    return received == 0 ? 0 : -1;
}

void BSDSocket::forget_dead_stream() {
    // A closed handle stays readable and a reset one writable: watching them
    // would wake every pass. While connecting, Connect completion decides.
    if (connecting()) return;
    loop_->unwatch_handle(handle_);
    write_armed_ = false;
}

int BSDSocket::timeout(int seconds) {
    if (!open_) return 0;
    if (seconds < 0) {
        loop_->cancel_timer(this);
    } else {
        loop_->set_timer(this, now_seconds() + seconds, &timer_notifier);
    }
    return 0;
}

void BSDSocket::post(int kind, int status) {
    if (loop_->notify != nullptr) loop_->notify(connection_, kind, status);
}

void BSDSocket::connect_ready(BSDSocket* socket) { socket->complete_connect(); }
void BSDSocket::readable_notifier(BSDSocket* socket) { socket->post(KIV_NET_READABLE, 0); }
void BSDSocket::closed_notifier(BSDSocket* socket) {
    // Reported once: the condition (urgent data, say) would persist and be
    // reported again at every pass.
    socket->forget_dead_stream();
    socket->post(KIV_NET_DISCONNECTED, 0);
}
void BSDSocket::writable_notifier(BSDSocket* socket) { socket->post(KIV_NET_WRITABLE, 0); }
void BSDSocket::timer_notifier(BSDSocket* socket) { socket->post(KIV_NET_TIMER, 0); }

}  // namespace kivsdk
