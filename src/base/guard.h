// Boundary guards: nothing thrown inside the library may cross the C
// interface.
#pragma once

#include <utility>

namespace kivsdk {

// Runs `body`, turning any exception (in practice a failed allocation) into
// `on_failure`.
template <class Result, class Body>
Result guarded(Result on_failure, Body&& body) noexcept {
    try {
        return std::forward<Body>(body)();
    } catch (...) {
        return on_failure;
    }
}

template <class Body>
void guarded_void(Body&& body) noexcept {
    try {
        std::forward<Body>(body)();
    } catch (...) {
    }
}

// Holds a flag set for the lifetime of the scope, however the scope is left
// (a handler's exception included).
class ScopedFlag {
public:
    explicit ScopedFlag(bool& flag) noexcept : flag_(flag) { flag_ = true; }
    ~ScopedFlag() { flag_ = false; }
    ScopedFlag(const ScopedFlag&) = delete;
    ScopedFlag& operator=(const ScopedFlag&) = delete;

private:
    bool& flag_;
};

// A null string argument is the empty string.
inline const char* text_or_empty(const char* text) noexcept { return text != nullptr ? text : ""; }

}  // namespace kivsdk
