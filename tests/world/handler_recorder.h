// Records what the host's handlers see: for each event or callback, its
// number (and rc and reference) and a copy of every attribute at that
// moment. Attach it to an Instance; it travels as the Instance's user data.
#pragma once

#include <array>
#include <functional>
#include <string>
#include <vector>

#include "kivsdk.h"

namespace kivsdk::test {

struct Seen {
    int number = -1;
    int rc = 0;
    int reference = 0;
    std::array<int, KIV_INT_ATTRIBUTE_COUNT> ints{};
    std::array<double, KIV_FLOAT_ATTRIBUTE_COUNT> floats{};
    std::array<std::string, KIV_STRING_ATTRIBUTE_COUNT> strings{};
    std::string data;  // data attribute 0
    bool data_null = true;
};

class HandlerRecorder {
public:
    std::vector<Seen> events;
    std::vector<Seen> callbacks;
    // Runs inside every handler, after the snapshot.
    std::function<void(KIVInstance*)> inside;

    void attach(KIVInstance* instance) {
        kiv_user_data_set(instance, this);
        for (int event = 0; event < KIV_EVENT_COUNT; ++event) {
            kiv_event_set(instance, event, &on_event);
        }
        for (int callback = 0; callback < KIV_CALLBACK_COUNT; ++callback) {
            // Callback 11 stays unset: it would turn kiv_enter asynchronous.
            if (callback != KIV_CALLBACK_ENTER) kiv_callback_set(instance, callback, &on_callback);
        }
    }

    static Seen snapshot(KIVInstance* instance) {
        Seen seen;
        for (int i = 0; i < KIV_INT_ATTRIBUTE_COUNT; ++i) {
            seen.ints[static_cast<std::size_t>(i)] = kiv_int(instance, i);
        }
        for (int i = 0; i < KIV_FLOAT_ATTRIBUTE_COUNT; ++i) {
            seen.floats[static_cast<std::size_t>(i)] = kiv_double(instance, i);
        }
        for (int i = 0; i < KIV_STRING_ATTRIBUTE_COUNT; ++i) {
            seen.strings[static_cast<std::size_t>(i)] = kiv_string(instance, i);
        }
        int length = 0;
        const void* bytes = kiv_data(instance, KIV_OBJECT_DATA, &length);
        seen.data_null = bytes == nullptr;
        if (bytes != nullptr) {
            seen.data.assign(static_cast<const char*>(bytes), static_cast<std::size_t>(length));
        }
        return seen;
    }

private:
    static HandlerRecorder& of(KIVInstance* instance) {
        return *static_cast<HandlerRecorder*>(kiv_user_data(instance));
    }
    static void on_event(KIVInstance* instance) {
        Seen seen = snapshot(instance);
        seen.number = kiv_int(instance, KIV_CURRENT_EVENT);
        HandlerRecorder& recorder = of(instance);
        recorder.events.push_back(std::move(seen));
        if (recorder.inside) recorder.inside(instance);
    }
    static void on_callback(KIVInstance* instance, int rc, int reference) {
        Seen seen = snapshot(instance);
        seen.number = kiv_int(instance, KIV_CURRENT_CALLBACK);
        seen.rc = rc;
        seen.reference = reference;
        HandlerRecorder& recorder = of(instance);
        recorder.callbacks.push_back(std::move(seen));
        if (recorder.inside) recorder.inside(instance);
    }
};

}  // namespace kivsdk::test
