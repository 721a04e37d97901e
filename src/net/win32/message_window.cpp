// The windows of the window-message sockets and their procedure.
#ifdef _WIN32

#include "net/win32/message_window.h"

#include <utility>
#include <vector>

#include "base/lifetime.h"
#include "net/win32/async_winsock_socket.h"

namespace kivsdk {
namespace {

HINSTANCE stored_module = nullptr;

// Socket-window procedures running on this thread, and the windows retired
// while one runs: a window is never destroyed under its own procedure.
struct ProcedureState {
    int depth = 0;
    std::vector<HWND> retired;
};
thread_local ProcedureState procedures;

class ProcedureScope {
public:
    ProcedureScope() noexcept { ++procedures.depth; }
    ~ProcedureScope() {
        if (--procedures.depth != 0) return;
        // Taken out first: destroying sends messages to the procedure again.
        std::vector<HWND> retired;
        retired.swap(procedures.retired);
        for (const HWND window : retired) static_cast<void>(::DestroyWindow(window));
    }
    ProcedureScope(const ProcedureScope&) = delete;
    ProcedureScope& operator=(const ProcedureScope&) = delete;
};

AsyncWinsockSocket* socket_of(HWND window) noexcept {
    return reinterpret_cast<AsyncWinsockSocket*>(::GetWindowLongPtrA(window, GWLP_USERDATA));
}

}  // namespace

HINSTANCE module_handle() noexcept {
    return stored_module != nullptr ? stored_module : ::GetModuleHandleA(nullptr);
}

void set_module_handle(HINSTANCE module) noexcept { stored_module = module; }

bool register_message_window_class() noexcept {
    WNDCLASSA window_class{};
    window_class.lpfnWndProc = &message_window_procedure;
    window_class.hInstance = module_handle();
    window_class.lpszClassName = kMessageWindowClass;
    return ::RegisterClassA(&window_class) != 0;
}

void unregister_message_window_class() noexcept {
    static_cast<void>(::UnregisterClassA(kMessageWindowClass, module_handle()));
}

HWND create_message_window(AsyncWinsockSocket* socket) noexcept {
    const HWND window = ::CreateWindowExA(0, kMessageWindowClass, "", 0, 0, 0, 0, 0, HWND_MESSAGE,
                                          nullptr, module_handle(), nullptr);
    if (window != nullptr) {
        ::SetWindowLongPtrA(window, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(socket));
    }
    return window;
}

void retire_message_window(HWND window) noexcept {
    if (window == nullptr) return;
    // Messages still queued for it find no socket.
    ::SetWindowLongPtrA(window, GWLP_USERDATA, 0);
    if (procedures.depth > 0) {
        try {
            procedures.retired.push_back(window);
            return;
        } catch (...) {
            // No memory to remember it: the host's dispatch closes it later.
            static_cast<void>(::PostMessageA(window, WM_CLOSE, 0, 0));
            return;
        }
    }
    static_cast<void>(::DestroyWindow(window));
}

LRESULT CALLBACK message_window_procedure(HWND window, UINT message, WPARAM wparam, LPARAM lparam) {
    if (message != WM_TIMER && message != kNetworkMessage) {
        return ::DefWindowProcA(window, message, wparam, lparam);
    }
    AsyncWinsockSocket* socket = socket_of(window);
    if (socket == nullptr) return 0;  // the socket is gone; a late message
    const ProcedureScope running;
    {
        // A handler may destroy the socket; it is freed when this scope ends.
        const DeliveryScope delivering(*socket);
        try {
            if (message == WM_TIMER) {
                socket->timer_expired();
            } else {
                socket->network_event(wparam, WSAGETSELECTEVENT(lparam), WSAGETSELECTERROR(lparam));
            }
        } catch (...) {
            // Nothing may unwind through the system's dispatch.
        }
    }
    return message == WM_TIMER ? ::DefWindowProcA(window, message, wparam, lparam) : 0;
}

}  // namespace kivsdk

#endif  // _WIN32
