// The load-time entry point of KIVSDK.dll: it keeps the module handle that
// the window-message sockets register their class and windows for.
#ifdef _WIN32

#include "net/win32/message_window.h"

extern "C" BOOL WINAPI DllMain(HINSTANCE module, DWORD reason, LPVOID reserved);

extern "C" BOOL WINAPI DllMain(HINSTANCE module, DWORD reason, LPVOID) {
    if (reason == DLL_PROCESS_ATTACH) kivsdk::set_module_handle(module);
    return TRUE;
}

#endif  // _WIN32
