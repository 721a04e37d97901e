// One event handler per event number and one callback handler per callback
// number, each handing its number to `Record(instance, callback?, number,
// rc, reference)`: how a test watches everything an Instance delivers.
#pragma once

#include <array>
#include <utility>

#include "kivsdk.h"

namespace kivsdk::test {

using RecordFunction = void (*)(KIVInstance* instance, bool callback, int number, int rc,
                                int reference);

template <RecordFunction Record>
struct HandlerTables {
    template <int N>
    static void on_event(KIVInstance* instance) {
        Record(instance, false, N, 0, 0);
    }
    template <int N>
    static void on_callback(KIVInstance* instance, int rc, int reference) {
        Record(instance, true, N, rc, reference);
    }
    template <int... N>
    static constexpr std::array<KIVEventHandler, sizeof...(N)> events_of(
        std::integer_sequence<int, N...>) {
        return {&on_event<N>...};
    }
    template <int... N>
    static constexpr std::array<KIVCallbackHandler, sizeof...(N)> callbacks_of(
        std::integer_sequence<int, N...>) {
        return {&on_callback<N>...};
    }

    static constexpr std::array<KIVEventHandler, KIV_EVENT_COUNT> events =
        events_of(std::make_integer_sequence<int, KIV_EVENT_COUNT>{});
    static constexpr std::array<KIVCallbackHandler, KIV_CALLBACK_COUNT> callbacks =
        callbacks_of(std::make_integer_sequence<int, KIV_CALLBACK_COUNT>{});
};

}  // namespace kivsdk::test
