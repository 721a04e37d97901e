// Records that carry a request to its answer.
#pragma once

#include <cstdint>

namespace kivsdk {

// A completed answer to a blocking request, queued until the blocked call
// collects it.
class Response {
public:
    // Which blocking request it answers.
    static constexpr std::int32_t kUniverseConnect = -1;
    static constexpr std::int32_t kLogin = 1;
    static constexpr std::int32_t kWorldEnter = 2;

    Response(std::int32_t type_, std::int32_t key_, std::int32_t result_)
        : type(type_), key(key_), result(result_) {}
    virtual ~Response() = default;

    std::int32_t type;
    std::int32_t key;
    std::int32_t result;
};

// A pending asynchronous request, kept under its reference number.
class CallbackInfo {
public:
    CallbackInfo(std::int32_t reference_number_, std::int32_t callback_number_,
                 std::int32_t reference_)
        : reference_number(reference_number_),
          callback_number(callback_number_),
          reference(reference_) {}
    virtual ~CallbackInfo() = default;

    std::int32_t reference_number;
    std::int32_t callback_number;  // also the request type
    std::int32_t reference;        // int attribute 9 at request time
};

// A pending object request: also remembers the object it concerns.
class ObjectCallbackInfo : public CallbackInfo {
public:
    ObjectCallbackInfo(std::int32_t reference_number_, std::int32_t callback_number_,
                       std::int32_t reference_, std::int32_t object_id_)
        : CallbackInfo(reference_number_, callback_number_, reference_), object_id(object_id_) {}

    std::int32_t object_id;
};

}  // namespace kivsdk
