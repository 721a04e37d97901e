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

    std::int32_t type;
    std::int32_t key;
    std::int32_t result;
};

// A pending asynchronous request, kept under its reference number in the
// pending requests of the side it was sent on.
class CallbackInfo {
public:
    CallbackInfo(std::int32_t reference_number_, std::int32_t callback_number_,
                 std::int32_t reference_, std::int32_t object_id_ = 0,
                 std::uint64_t generation_ = 0)
        : reference_number(reference_number_),
          callback_number(callback_number_),
          reference(reference_),
          object_id(object_id_),
          generation(generation_) {}

    std::int32_t reference_number;
    std::int32_t callback_number;  // also the request type
    std::int32_t reference;        // KIV_REFERENCE_NUMBER at request time
    // The object an object change or delete names: its answer reports it,
    // whatever KIV_OBJECT_ID holds by then.
    std::int32_t object_id;
    // Which of its side's Connections the request was sent on.
    std::uint64_t generation;
    // When it was sent (microseconds), for the round-trip time.
    std::int64_t sent_us = 0;
};

}  // namespace kivsdk
