// The window-message sockets: a BSDSocket whose network events and timer
// arrive as messages of a hidden window it owns, for hosts that run a
// Windows message loop instead of calling kiv_wait. Windows only.
#pragma once

#ifdef _WIN32

#include "net/bsd_socket.h"
#include "net/platform.h"

#include <windows.h>

namespace kivsdk {

class AsyncWinsockSocket : public BSDSocket {
public:
    // Makes the socket's window; without the registered class it has none
    // and never notifies.
    AsyncWinsockSocket(void* connection, PollLoop* loop) noexcept;
    ~AsyncWinsockSocket() override;

    // Also registers a valid handle for window notifications.
    void set_handle(SocketHandle handle) override;
    // A periodic window timer (`seconds` >= 0) or none (negative).
    int timeout(int seconds) override;
    // The window stops delivering and goes, then the stream closes.
    void close() noexcept override;

    // What the window procedure delivers.
    void timer_expired();
    // `event` is the network event of a message for `handle`.
    void network_event(WPARAM handle, WORD event, WORD error = 0);

    HWND window() const noexcept { return window_; }

private:
    HWND window_ = nullptr;
};

}  // namespace kivsdk

#endif  // _WIN32
