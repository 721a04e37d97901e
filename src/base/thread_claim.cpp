#include "base/thread_claim.h"

namespace kivsdk {

#if !(defined(__linux__) && defined(__GNUC__) && !defined(__clang__) && \
      (defined(__x86_64__) || defined(__aarch64__)))
std::uintptr_t current_thread_token() noexcept {
    // Each live thread has its own instance of this byte, so its address
    // names the thread.
    thread_local const char mark = 0;
    return reinterpret_cast<std::uintptr_t>(&mark);
}
#endif

}  // namespace kivsdk
