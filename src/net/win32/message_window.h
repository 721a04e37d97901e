// Hidden message-only windows of the window-message sockets: the
// "KivMessageWindow" class, the window procedure that turns network and
// timer messages into notifications, and safe destruction of a window whose
// procedure may be running. Windows only.
#pragma once

#ifdef _WIN32

#include "net/platform.h"

#include <windows.h>

namespace kivsdk {

class AsyncWinsockSocket;

// The window message that WSAAsyncSelect posts for a socket (WM_USER + 1).
constexpr UINT kNetworkMessage = WM_USER + 1;
// The class of every socket window.
constexpr const char* kMessageWindowClass = "KivMessageWindow";

// The library's own module, stored by its load-time entry point; the
// process's module when none was stored (the library linked statically).
HINSTANCE module_handle() noexcept;
void set_module_handle(HINSTANCE module) noexcept;

// Registers the class; false when RegisterClassA fails (already registered,
// say).
bool register_message_window_class() noexcept;
void unregister_message_window_class() noexcept;

// A message-only window of the class whose messages go to `socket`; null when
// it cannot be made (the class not registered, say).
HWND create_message_window(AsyncWinsockSocket* socket) noexcept;

// Detaches the window from its socket (later messages are ignored) and
// destroys it: at once, or, while a procedure of these windows runs on this
// thread, once the outermost one has returned.
void retire_message_window(HWND window) noexcept;

// The window procedure: 1025 and WM_TIMER become notifications of the
// window's socket, everything else goes to DefWindowProcA.
LRESULT CALLBACK message_window_procedure(HWND window, UINT message, WPARAM wparam, LPARAM lparam);

}  // namespace kivsdk

#endif  // _WIN32
