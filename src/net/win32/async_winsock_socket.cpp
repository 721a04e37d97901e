// The window-message sockets and the exported functions that set them up.
#ifdef _WIN32

#include "net/win32/async_winsock_socket.h"

#include <algorithm>
#include <memory>
#include <new>

#include "base/guard.h"
#include "net/win32/message_window.h"

namespace kivsdk {
namespace {

constexpr long kNetworkEvents = FD_READ | FD_WRITE | FD_CONNECT | FD_CLOSE;

void* create_async_socket(void* connection, void* context) {
    if (context == nullptr) return nullptr;  // nothing to keep its entries
    // Handed out as void*; destroy owns it again.
    return new (std::nothrow) AsyncWinsockSocket(connection, static_cast<PollLoop*>(context));
}

}  // namespace

AsyncWinsockSocket::AsyncWinsockSocket(void* connection, PollLoop* loop) noexcept
    : BSDSocket(connection, loop), window_(create_message_window(this)) {}

AsyncWinsockSocket::~AsyncWinsockSocket() { AsyncWinsockSocket::close(); }

void AsyncWinsockSocket::set_handle(SocketHandle handle) {
    BSDSocket::set_handle(handle);
    // A closed handle's registration ends with it; only new ones register.
    if (handle != kInvalidHandle && window_ != nullptr) {
        static_cast<void>(::WSAAsyncSelect(handle, window_, kNetworkMessage, kNetworkEvents));
    }
}

int AsyncWinsockSocket::timeout(int seconds) {
    if (window_ == nullptr) return 0;
    if (seconds < 0) {
        static_cast<void>(::KillTimer(window_, 0));
    } else {
        const unsigned long long milliseconds = std::min<unsigned long long>(
            static_cast<unsigned long long>(seconds) * 1000u, USER_TIMER_MAXIMUM);
        static_cast<void>(::SetTimer(window_, 0, static_cast<UINT>(milliseconds), nullptr));
    }
    return 0;
}

void AsyncWinsockSocket::close() noexcept {
    if (window_ != nullptr) {
        static_cast<void>(::KillTimer(window_, 0));
        retire_message_window(window_);
        window_ = nullptr;
    }
    BSDSocket::close();
}

void AsyncWinsockSocket::timer_expired() { post(KIV_NET_TIMER, 0); }

void AsyncWinsockSocket::network_event(WPARAM handle, WORD event, WORD error) {
    // A message about a handle closed since it was queued is stale.
    if (static_cast<SocketHandle>(handle) != this->handle()) return;
    switch (event) {
        case FD_READ: post(KIV_NET_READABLE, 0); break;
        case FD_WRITE: post(KIV_NET_WRITABLE, 0); break;
        case FD_CONNECT: complete_connect(error); break;
        case FD_CLOSE: post(KIV_NET_DISCONNECTED, 0); break;
        default: break;
    }
}

}  // namespace kivsdk

extern "C" KIVSDK_API int kiv_winsock_async_init(void) {
    return kivsdk::register_message_window_class() ? 0 : KIV_RC_REQUEST_FAILED;
}

extern "C" KIVSDK_API int kiv_winsock_async_term(void) {
    kivsdk::unregister_message_window_class();
    return 0;
}

extern "C" KIVSDK_API int kiv_winsock_async_create(KIVNetConfig* config) {
    if (config == nullptr) return KIV_RC_INVALID_ARGUMENT;
    auto loop = kivsdk::guarded<std::unique_ptr<kivsdk::PollLoop>>(
        nullptr, [] { return std::make_unique<kivsdk::PollLoop>(); });
    // The default table's operations serve these sockets too (timeout and
    // destruction dispatch to the subclass); the host's wait stays.
    const auto wait = config->wait;
    *config = kivsdk::default_socket_table(loop.release());
    config->create = &kivsdk::create_async_socket;
    config->wait = wait;
    return 0;
}

extern "C" KIVSDK_API int kiv_winsock_async_destroy(KIVNetConfig* config) {
    if (config == nullptr) return KIV_RC_INVALID_ARGUMENT;
    // The slot keeps its value: the host owns the table.
    const std::unique_ptr<kivsdk::PollLoop> released(
        static_cast<kivsdk::PollLoop*>(config->context));
    return 0;
}

#endif  // _WIN32
