// Exported functions of the library and the Instance.
#include <memory>
#include <new>

#include "api/boundary.h"
#include "api/instance.h"
#include "api/shared_loop.h"
#include "base/diagnostics.h"
#include "kivsdk.h"
#include "net/poll_loop.h"

using kivsdk::guarded;
using kivsdk::guarded_void;
using kivsdk::Instance;
using kivsdk::with_instance;

namespace {

constexpr int kNull = KIV_RC_INVALID_ARGUMENT;
constexpr int kBusy = KIV_RC_WRONG_THREAD;

}  // namespace

extern "C" {

KIVSDK_API int kiv_init(int version) {
    return version == KIVSDK_INTERFACE_VERSION ? KIV_RC_SUCCESS : KIV_RC_VERSION_MISMATCH;
}

KIVSDK_API KIVInstance* kiv_create(const KIVNetConfig* config) {
    return guarded<KIVInstance*>(nullptr, [&]() -> KIVInstance* {
        std::unique_ptr<Instance> instance;
        if (config != nullptr) {
            instance = std::make_unique<Instance>(*config, nullptr);
            kivsdk::SharedLoop* loop = kivsdk::SharedLoop::of(*config);
            if (loop != nullptr) {
                instance->join_loop(loop, &loop->busy_thread);
                ++loop->members;
            }
        } else {
            auto loop = std::make_unique<kivsdk::PollLoop>();
            const KIVNetConfig table = kivsdk::default_socket_table(loop.get());
            instance = std::make_unique<Instance>(table, std::move(loop));
        }
        return instance.release()->handle();  // owned by the host until kiv_destroy
    });
}

KIVSDK_API int kiv_destroy(KIVInstance* handle) {
    Instance* instance = Instance::from_handle(handle);
    if (instance == nullptr || instance->discarded()) return KIV_RC_SUCCESS;
    kivsdk::BusyScope claim(*instance);
    if (!claim.allowed()) return KIV_RC_WRONG_THREAD;  // another thread is inside it
    // Stop all network activity now; the memory goes once delivery unwinds.
    instance->close_connections();
    claim.release();
    // It leaves its loop now: the loop may go before the memory does.
    if (kivsdk::SharedLoop* loop = instance->shared_loop(); loop != nullptr) {
        --loop->members;
        instance->join_loop(nullptr, nullptr);
    }
    kivsdk::release(std::unique_ptr<Instance>(instance));
    return KIV_RC_SUCCESS;
}

KIVSDK_API int kiv_wait(KIVInstance* handle, int milliseconds) {
    Instance* instance = Instance::from_handle(handle);
    if (instance == nullptr) return KIV_RC_INVALID_ARGUMENT;
    // A handler may destroy the Instance during the pass: the call scope
    // keeps it allocated until the claim is let go.
    const kivsdk::CallScope call(*instance);
    if (!call.allowed()) return KIV_RC_WRONG_THREAD;
    return guarded<int>(KIV_RC_CONNECTION_ERROR, [&] { return instance->wait(milliseconds); });
}

KIVSDK_API int kiv_int(KIVInstance* handle, int index) {
    return with_instance(handle, 0, 0, [&](Instance& instance) {
        std::int32_t value = 0;
        return instance.get_int(index, value) ? value : 0;
    });
}

KIVSDK_API int kiv_int_get(KIVInstance* handle, int index, int* value) {
    return with_instance(handle, kNull, kBusy, [&](Instance& instance) -> int {
        std::int32_t stored = 0;
        if (value == nullptr || !instance.get_int(index, stored)) return kNull;
        *value = stored;
        return KIV_RC_SUCCESS;
    });
}

KIVSDK_API int kiv_int_set(KIVInstance* handle, int index, int value) {
    return with_instance(handle, kNull, kBusy, [&](Instance& instance) -> int {
        return instance.set_int(index, value) ? KIV_RC_SUCCESS : kNull;
    });
}

KIVSDK_API float kiv_float(KIVInstance* handle, int index) {
    return with_instance(handle, 0.0f, 0.0f, [&](Instance& instance) {
        double value = 0.0;
        return instance.get_double(index, value) ? static_cast<float>(value) : 0.0f;
    });
}

KIVSDK_API int kiv_float_get(KIVInstance* handle, int index, float* value) {
    return with_instance(handle, kNull, kBusy, [&](Instance& instance) -> int {
        double stored = 0.0;
        if (value == nullptr || !instance.get_double(index, stored)) return kNull;
        *value = static_cast<float>(stored);
        return KIV_RC_SUCCESS;
    });
}

KIVSDK_API int kiv_float_set(KIVInstance* handle, int index, float value) {
    return with_instance(handle, kNull, kBusy, [&](Instance& instance) -> int {
        return instance.set_double(index, static_cast<double>(value)) ? KIV_RC_SUCCESS : kNull;
    });
}

KIVSDK_API double kiv_double(KIVInstance* handle, int index) {
    return with_instance(handle, 0.0, 0.0, [&](Instance& instance) {
        double value = 0.0;
        return instance.get_double(index, value) ? value : 0.0;
    });
}

KIVSDK_API int kiv_double_get(KIVInstance* handle, int index, double* value) {
    return with_instance(handle, kNull, kBusy, [&](Instance& instance) -> int {
        double stored = 0.0;
        if (value == nullptr || !instance.get_double(index, stored)) return kNull;
        *value = stored;
        return KIV_RC_SUCCESS;
    });
}

KIVSDK_API int kiv_double_set(KIVInstance* handle, int index, double value) {
    return with_instance(handle, kNull, kBusy, [&](Instance& instance) -> int {
        return instance.set_double(index, value) ? KIV_RC_SUCCESS : kNull;
    });
}

KIVSDK_API const char* kiv_string(KIVInstance* handle, int index) {
    const char* none = nullptr;
    return with_instance(handle, none, none, [&](Instance& instance) -> const char* {
        const kivsdk::TextAttribute* text = instance.string_attribute(index);
        return text != nullptr ? text->c_str() : nullptr;
    });
}

KIVSDK_API int kiv_string_get(KIVInstance* handle, int index, const char** value) {
    return with_instance(handle, kNull, kBusy, [&](Instance& instance) -> int {
        const kivsdk::TextAttribute* text = instance.string_attribute(index);
        if (value == nullptr || text == nullptr) return kNull;
        *value = text->c_str();
        return KIV_RC_SUCCESS;
    });
}

KIVSDK_API void kiv_string_set(KIVInstance* handle, int index, const char* value) {
    with_instance(handle, 0, 0, [&](Instance& instance) {
        // On a failed allocation the attribute keeps its old text.
        guarded_void([&] { instance.set_string(index, value); });
        return 0;
    });
}

KIVSDK_API const void* kiv_data(KIVInstance* handle, int index, int* length) {
    const void* none = nullptr;
    return with_instance(handle, none, none, [&](Instance& instance) -> const void* {
        const kivsdk::DataAttribute* data = instance.data_attribute(index);
        if (length == nullptr || data == nullptr) return nullptr;
        *length = data->length;
        return data->bytes.get();
    });
}

KIVSDK_API int kiv_data_set(KIVInstance* handle, int index, int length, const void* data) {
    return with_instance(handle, kNull, kBusy, [&](Instance& instance) -> int {
        if (instance.data_attribute(index) == nullptr) return kNull;
        if (length < 0) return static_cast<int>(KIV_RC_INVALID_LENGTH);
        // A failed allocation leaves the attribute as it was.
        return guarded<int>(KIV_RC_CONNECTION_ERROR, [&] {
            instance.set_data(index, data, length);
            return KIV_RC_SUCCESS;
        });
    });
}

KIVSDK_API int kiv_event_set(KIVInstance* handle, int event, KIVEventHandler handler) {
    return with_instance(handle, kNull, kBusy, [&](Instance& instance) -> int {
        return instance.set_event_handler(event, handler) ? KIV_RC_SUCCESS : kNull;
    });
}

KIVSDK_API int kiv_callback_set(KIVInstance* handle, int callback, KIVCallbackHandler handler) {
    return with_instance(handle, kNull, kBusy, [&](Instance& instance) -> int {
        return instance.set_callback_handler(callback, handler) ? KIV_RC_SUCCESS : kNull;
    });
}

KIVSDK_API void* kiv_user_data(KIVInstance* handle) {
    void* none = nullptr;
    return with_instance(handle, none, none,
                         [&](Instance& instance) { return instance.user_data(); });
}

KIVSDK_API void kiv_user_data_set(KIVInstance* handle, void* data) {
    with_instance(handle, 0, 0, [&](Instance& instance) {
        instance.set_user_data(data);
        return 0;
    });
}

}  // extern "C"
