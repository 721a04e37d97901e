// Safe lifetimes while host code runs.
//
// A host handler runs deep inside delivery: a socket dispatches a
// notification, its Connection cuts a frame, the session fires an event, and
// the handler may call kiv_destroy or reconnect, which discards the very
// objects still on the stack. Every object that delivers derives from
// Releasable and holds a DeliveryScope while it does; discarding it meanwhile
// only marks it, and the outermost scope frees it once delivery has unwound.
#pragma once

#include <memory>

namespace kivsdk {

class Releasable {
public:
    Releasable() = default;
    Releasable(const Releasable&) = delete;
    Releasable& operator=(const Releasable&) = delete;
    virtual ~Releasable() = default;

    bool delivering() const noexcept { return depth_ > 0; }
    // True once the object was released while delivering: it must deliver
    // nothing more and only waits to be freed.
    bool discarded() const noexcept { return discarded_; }

private:
    friend class DeliveryScope;
    template <class T>
    friend void release(std::unique_ptr<T> object) noexcept;

    int depth_ = 0;
    bool discarded_ = false;
};

// Marks an object as delivering for the lifetime of the scope.
class DeliveryScope {
public:
    explicit DeliveryScope(Releasable& object) noexcept : object_(object) { ++object_.depth_; }
    ~DeliveryScope() {
        if (--object_.depth_ == 0 && object_.discarded_) {
            // The object owns itself since release(); this is its end.
            delete &object_;
        }
    }
    DeliveryScope(const DeliveryScope&) = delete;
    DeliveryScope& operator=(const DeliveryScope&) = delete;

private:
    Releasable& object_;
};

// Frees the object now or, while it is delivering, once delivery unwinds.
template <class T>
void release(std::unique_ptr<T> object) noexcept {
    if (!object) return;
    if (object->delivering()) {
        object->discarded_ = true;
        static_cast<void>(object.release());  // the last DeliveryScope frees it
        return;
    }
    object.reset();
}

}  // namespace kivsdk
