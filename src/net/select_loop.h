// The context of the library's own sockets: lists of watched handles and
// timers, serviced one pass at a time by the table's wait operation.
#pragma once

#include <cstdint>
#include <vector>

#include "kivsdk.h"

namespace kivsdk {

class SelectLoop {
public:
    SelectLoop() = default;
    SelectLoop(const SelectLoop&) = delete;
    SelectLoop& operator=(const SelectLoop&) = delete;

    // One pass: -1 at once when nothing is watched, else 0 after dispatching.
    int run_pass(int milliseconds);

    bool watches_nothing() const noexcept { return watched_handles_ == 0; }

private:
    std::size_t watched_handles_ = 0;
};

// The default socket table over `loop` (which the caller keeps alive).
KIVNetConfig default_socket_table(SelectLoop* loop) noexcept;

}  // namespace kivsdk
