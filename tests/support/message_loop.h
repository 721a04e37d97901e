// Driving a Windows thread's message loop in tests. Windows only.
#pragma once
#ifdef _WIN32

#include <windows.h>

#include <functional>

namespace kivsdk::test {

// Dispatches this thread's messages until `done` holds; at most `rounds`
// waits of up to 20 ms for a message.
inline bool dispatch_until(const std::function<bool()>& done, int rounds = 500) {
    for (int round = 0; round < rounds && !done(); ++round) {
        static_cast<void>(::MsgWaitForMultipleObjects(0, nullptr, FALSE, 20, QS_ALLINPUT));
        MSG message;
        while (::PeekMessageA(&message, nullptr, 0, 0, PM_REMOVE)) {
            ::TranslateMessage(&message);
            ::DispatchMessageA(&message);
        }
    }
    return done();
}

}  // namespace kivsdk::test

#endif  // _WIN32
