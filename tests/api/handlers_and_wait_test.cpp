// Handler registration, event and callback delivery, and kiv_wait's codes.
#include <gtest/gtest.h>

#include <functional>
#include <vector>

#include "api/instance.h"
#include "kivsdk.h"

namespace {

using kivsdk::Instance;

// A host table whose wait operation runs whatever the test puts in it.
struct ScriptedWait {
    std::function<int(int)> pass = [](int) { return 0; };
    int passes = 0;

    KIVNetConfig table() {
        KIVNetConfig config{};
        config.wait = [](void* context, int milliseconds) {
            auto* self = static_cast<ScriptedWait*>(context);
            ++self->passes;
            return self->pass(milliseconds);
        };
        config.context = this;
        return config;
    }
};

struct Seen {
    std::vector<int> current_events;
    std::vector<int> current_callbacks;
    std::vector<int> rcs;
    std::vector<int> references;
    std::vector<int> nested_wait_results;
};
Seen seen;

void record_event(KIVInstance* instance) {
    seen.current_events.push_back(kiv_int(instance, KIV_CURRENT_EVENT));
}

void record_callback(KIVInstance* instance, int rc, int reference) {
    seen.current_callbacks.push_back(kiv_int(instance, KIV_CURRENT_CALLBACK));
    seen.rcs.push_back(rc);
    seen.references.push_back(reference);
}

void wait_again(KIVInstance* instance) {
    seen.nested_wait_results.push_back(kiv_wait(instance, 0));
}

void destroy_from_handler(KIVInstance* instance) { kiv_destroy(instance); }

class Handlers : public ::testing::Test {
protected:
    void SetUp() override {
        seen = Seen{};
        const KIVNetConfig table = script.table();
        handle = kiv_create(&table);
        ASSERT_NE(handle, nullptr);
    }
    void TearDown() override { kiv_destroy(handle); }

    Instance& instance() { return *Instance::from_handle(handle); }

    ScriptedWait script;
    KIVInstance* handle = nullptr;
};

TEST_F(Handlers, RegistrationRangesAreChecked) {
    EXPECT_EQ(kiv_event_set(handle, KIV_EVENT_COUNT - 1, record_event), KIV_RC_SUCCESS);
    EXPECT_EQ(kiv_event_set(handle, KIV_EVENT_COUNT, record_event), KIV_RC_INVALID_ARGUMENT);
    EXPECT_EQ(kiv_event_set(handle, -1, record_event), KIV_RC_INVALID_ARGUMENT);
    EXPECT_EQ(kiv_callback_set(handle, 21, record_callback), KIV_RC_SUCCESS);
    EXPECT_EQ(kiv_callback_set(handle, 22, record_callback), KIV_RC_INVALID_ARGUMENT);
    EXPECT_EQ(kiv_callback_set(handle, -1, record_callback), KIV_RC_INVALID_ARGUMENT);
}

TEST_F(Handlers, EventsSetTheCurrentEventAttribute) {
    kiv_event_set(handle, KIV_EVENT_AVATAR_ADD, record_event);
    kiv_event_set(handle, KIV_EVENT_WORLD_PERMISSION, record_event);
    instance().fire_event(KIV_EVENT_AVATAR_ADD);
    instance().fire_event(KIV_EVENT_WORLD_PERMISSION);
    instance().fire_event(KIV_EVENT_CHAT);  // no handler: nothing happens
    EXPECT_EQ(seen.current_events, (std::vector<int>{1, 25}));
    EXPECT_EQ(kiv_int(handle, KIV_CURRENT_EVENT), 25);
}

TEST_F(Handlers, ClearedHandlerIsNotCalled) {
    kiv_event_set(handle, KIV_EVENT_CHAT, record_event);
    kiv_event_set(handle, KIV_EVENT_CHAT, nullptr);
    instance().fire_event(KIV_EVENT_CHAT);
    EXPECT_TRUE(seen.current_events.empty());
    EXPECT_EQ(kiv_int(handle, KIV_CURRENT_EVENT), 0) << "int 36 is written only on delivery";
}

TEST_F(Handlers, CallbacksCarryCodeReferenceAndCurrentCallback) {
    kiv_callback_set(handle, KIV_CALLBACK_WORLD_LIST, record_callback);
    EXPECT_TRUE(instance().fire_callback(KIV_CALLBACK_WORLD_LIST, KIV_RC_REQUEST_FAILED, 1234));
    EXPECT_FALSE(instance().fire_callback(KIV_CALLBACK_LOGIN, 0, 0)) << "no handler is reported";
    EXPECT_EQ(seen.current_callbacks, (std::vector<int>{18}));
    EXPECT_EQ(seen.rcs, (std::vector<int>{20}));
    EXPECT_EQ(seen.references, (std::vector<int>{1234}));
}

TEST(Wait, WithoutWaitOperationReturnsNoWaitFunction) {
    KIVNetConfig table{};
    KIVInstance* instance = kiv_create(&table);
    EXPECT_EQ(kiv_wait(instance, 100), KIV_RC_NO_WAIT_FUNCTION);
    kiv_destroy(instance);
}

TEST(Wait, DefaultSocketsWithNothingToWatchReturnConnectionError) {
    KIVInstance* instance = kiv_create(nullptr);
    ASSERT_NE(instance, nullptr);
    EXPECT_EQ(kiv_wait(instance, 10000), KIV_RC_CONNECTION_ERROR);
    kiv_destroy(instance);
}

TEST_F(Handlers, WaitPassesMillisecondsAndMapsFailureToConnectionError) {
    std::vector<int> given;
    script.pass = [&](int milliseconds) {
        given.push_back(milliseconds);
        return milliseconds < 0 ? -1 : 0;
    };
    EXPECT_EQ(kiv_wait(handle, 250), KIV_RC_SUCCESS);
    EXPECT_EQ(kiv_wait(handle, -7), KIV_RC_CONNECTION_ERROR);
    EXPECT_EQ(given, (std::vector<int>{250, -7}));
}

TEST_F(Handlers, WaitFromAHandlerReturnsRecursiveWaitAndTheOuterWaitContinues) {
    kiv_event_set(handle, KIV_EVENT_CHAT, wait_again);
    kiv_event_set(handle, KIV_EVENT_AVATAR_ADD, record_event);
    script.pass = [&](int) {
        instance().fire_event(KIV_EVENT_CHAT);
        instance().fire_event(KIV_EVENT_AVATAR_ADD);  // still delivered after the refusal
        return 0;
    };
    EXPECT_EQ(kiv_wait(handle, 0), KIV_RC_SUCCESS);
    EXPECT_EQ(seen.nested_wait_results, (std::vector<int>{KIV_RC_RECURSIVE_WAIT}));
    EXPECT_EQ(seen.current_events, (std::vector<int>{KIV_EVENT_AVATAR_ADD}));
    EXPECT_EQ(script.passes, 1) << "the nested call did not run a pass";

    // The in-wait flag is cleared afterwards: a later wait runs normally.
    script.pass = [](int) { return 0; };
    EXPECT_EQ(kiv_wait(handle, 0), KIV_RC_SUCCESS);
    EXPECT_EQ(script.passes, 2);
}

TEST(Wait, DestroyFromAHandlerEndsTheWaitWithSuccess) {
    ScriptedWait script;
    const KIVNetConfig table = script.table();
    KIVInstance* handle = kiv_create(&table);
    kiv_event_set(handle, KIV_EVENT_CHAT, destroy_from_handler);
    bool still_usable_after_destroy = false;
    script.pass = [&](int) {
        Instance& instance = *Instance::from_handle(handle);
        instance.fire_event(KIV_EVENT_CHAT);
        // Released only after delivery unwinds: still readable here.
        still_usable_after_destroy = instance.discarded();
        return -1;
    };
    EXPECT_EQ(kiv_wait(handle, 0), KIV_RC_SUCCESS);
    EXPECT_TRUE(still_usable_after_destroy);
    // The Instance is gone now; the sanitizer build catches any use after free.
}

}  // namespace
