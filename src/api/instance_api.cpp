// Exported functions of the library and the Instance.
#include <memory>
#include <new>

#include "api/boundary.h"
#include "api/instance.h"
#include "kivsdk.h"
#include "net/poll_loop.h"

using kivsdk::guarded;
using kivsdk::guarded_void;
using kivsdk::Instance;

extern "C" {

KIVSDK_API int kiv_init(int version) {
    return version == KIVSDK_INTERFACE_VERSION ? KIV_RC_SUCCESS : KIV_RC_VERSION_MISMATCH;
}

KIVSDK_API KIVInstance* kiv_create(const KIVNetConfig* config) {
    return guarded<KIVInstance*>(nullptr, [&]() -> KIVInstance* {
        std::unique_ptr<Instance> instance;
        if (config != nullptr) {
            instance = std::make_unique<Instance>(*config, nullptr);
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
    // Stop all network activity now; the memory goes once delivery unwinds.
    instance->close_connections();
    kivsdk::release(std::unique_ptr<Instance>(instance));
    return KIV_RC_SUCCESS;
}

KIVSDK_API int kiv_wait(KIVInstance* handle, int milliseconds) {
    Instance* instance = Instance::from_handle(handle);
    if (instance == nullptr) return KIV_RC_INVALID_ARGUMENT;
    return guarded<int>(KIV_RC_CONNECTION_ERROR, [&] { return instance->wait(milliseconds); });
}

KIVSDK_API int kiv_int(KIVInstance* handle, int index) {
    const Instance* instance = Instance::from_handle(handle);
    std::int32_t value = 0;
    if (instance == nullptr || !instance->get_int(index, value)) return 0;
    return value;
}

KIVSDK_API int kiv_int_get(KIVInstance* handle, int index, int* value) {
    const Instance* instance = Instance::from_handle(handle);
    std::int32_t stored = 0;
    if (instance == nullptr || value == nullptr || !instance->get_int(index, stored)) {
        return KIV_RC_INVALID_ARGUMENT;
    }
    *value = stored;
    return KIV_RC_SUCCESS;
}

KIVSDK_API int kiv_int_set(KIVInstance* handle, int index, int value) {
    Instance* instance = Instance::from_handle(handle);
    if (instance == nullptr || !instance->set_int(index, value)) return KIV_RC_INVALID_ARGUMENT;
    return KIV_RC_SUCCESS;
}

KIVSDK_API float kiv_float(KIVInstance* handle, int index) {
    const Instance* instance = Instance::from_handle(handle);
    double value = 0.0;
    if (instance == nullptr || !instance->get_double(index, value)) return 0.0f;
    return static_cast<float>(value);
}

KIVSDK_API int kiv_float_get(KIVInstance* handle, int index, float* value) {
    const Instance* instance = Instance::from_handle(handle);
    double stored = 0.0;
    if (instance == nullptr || value == nullptr || !instance->get_double(index, stored)) {
        return KIV_RC_INVALID_ARGUMENT;
    }
    *value = static_cast<float>(stored);
    return KIV_RC_SUCCESS;
}

KIVSDK_API int kiv_float_set(KIVInstance* handle, int index, float value) {
    Instance* instance = Instance::from_handle(handle);
    if (instance == nullptr || !instance->set_double(index, static_cast<double>(value))) {
        return KIV_RC_INVALID_ARGUMENT;
    }
    return KIV_RC_SUCCESS;
}

KIVSDK_API double kiv_double(KIVInstance* handle, int index) {
    const Instance* instance = Instance::from_handle(handle);
    double value = 0.0;
    if (instance == nullptr || !instance->get_double(index, value)) return 0.0;
    return value;
}

KIVSDK_API int kiv_double_get(KIVInstance* handle, int index, double* value) {
    const Instance* instance = Instance::from_handle(handle);
    double stored = 0.0;
    if (instance == nullptr || value == nullptr || !instance->get_double(index, stored)) {
        return KIV_RC_INVALID_ARGUMENT;
    }
    *value = stored;
    return KIV_RC_SUCCESS;
}

KIVSDK_API int kiv_double_set(KIVInstance* handle, int index, double value) {
    Instance* instance = Instance::from_handle(handle);
    if (instance == nullptr || !instance->set_double(index, value)) return KIV_RC_INVALID_ARGUMENT;
    return KIV_RC_SUCCESS;
}

KIVSDK_API const char* kiv_string(KIVInstance* handle, int index) {
    const Instance* instance = Instance::from_handle(handle);
    if (instance == nullptr) return nullptr;
    const std::string* text = instance->string_attribute(index);
    return text != nullptr ? text->c_str() : nullptr;
}

KIVSDK_API int kiv_string_get(KIVInstance* handle, int index, const char** value) {
    const Instance* instance = Instance::from_handle(handle);
    if (instance == nullptr || value == nullptr) return KIV_RC_INVALID_ARGUMENT;
    const std::string* text = instance->string_attribute(index);
    if (text == nullptr) return KIV_RC_INVALID_ARGUMENT;
    *value = text->c_str();
    return KIV_RC_SUCCESS;
}

KIVSDK_API void kiv_string_set(KIVInstance* handle, int index, const char* value) {
    Instance* instance = Instance::from_handle(handle);
    if (instance == nullptr) return;
    // On a failed allocation the attribute keeps its old text.
    guarded_void([&] { instance->set_string(index, value); });
}

KIVSDK_API const void* kiv_data(KIVInstance* handle, int index, int* length) {
    const Instance* instance = Instance::from_handle(handle);
    if (instance == nullptr || length == nullptr) return nullptr;
    const kivsdk::DataAttribute* data = instance->data_attribute(index);
    if (data == nullptr) return nullptr;
    *length = data->length;
    return data->bytes.get();
}

KIVSDK_API int kiv_data_set(KIVInstance* handle, int index, int length, const void* data) {
    Instance* instance = Instance::from_handle(handle);
    if (instance == nullptr || instance->data_attribute(index) == nullptr) {
        return KIV_RC_INVALID_ARGUMENT;
    }
    if (length < 0) return KIV_RC_INVALID_LENGTH;
    // A failed allocation leaves the attribute as it was.
    return guarded<int>(KIV_RC_CONNECTION_ERROR, [&] {
        instance->set_data(index, data, length);
        return KIV_RC_SUCCESS;
    });
}

KIVSDK_API int kiv_event_set(KIVInstance* handle, int event, KIVEventHandler handler) {
    Instance* instance = Instance::from_handle(handle);
    if (instance == nullptr || !instance->set_event_handler(event, handler)) {
        return KIV_RC_INVALID_ARGUMENT;
    }
    return KIV_RC_SUCCESS;
}

KIVSDK_API int kiv_callback_set(KIVInstance* handle, int callback, KIVCallbackHandler handler) {
    Instance* instance = Instance::from_handle(handle);
    if (instance == nullptr || !instance->set_callback_handler(callback, handler)) {
        return KIV_RC_INVALID_ARGUMENT;
    }
    return KIV_RC_SUCCESS;
}

KIVSDK_API void* kiv_user_data(KIVInstance* handle) {
    const Instance* instance = Instance::from_handle(handle);
    return instance != nullptr ? instance->user_data() : nullptr;
}

KIVSDK_API void kiv_user_data_set(KIVInstance* handle, void* data) {
    Instance* instance = Instance::from_handle(handle);
    if (instance != nullptr) instance->set_user_data(data);
}

}  // extern "C"
