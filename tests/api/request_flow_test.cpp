// Pending requests, send gates and blocking waits.
#include <gtest/gtest.h>

#include <string>

#include "api/boundary.h"
#include "api/request_flow.h"
#include "connection/connection.h"
#include "support/fake_clock.h"
#include "support/recording_table.h"
#include "universe/universe_session.h"
#include "world/world_session.h"

namespace kivsdk::test {
namespace {

void ignore_connect(Connection&, int) {}
void ignore_disconnect(Connection&, int) {}
void ignore_message(Connection&, PacketReader&) {}

struct Calls {
    std::vector<int> callbacks, rcs, references, nested;
};
Calls calls;

void record_callback(KIVInstance* instance, int rc, int reference) {
    calls.callbacks.push_back(kiv_int(instance, KIV_CURRENT_CALLBACK));
    calls.rcs.push_back(rc);
    calls.references.push_back(reference);
}

class Requests : public ::testing::Test {
protected:
    void SetUp() override {
        calls = Calls{};
        const KIVNetConfig config = net.table();
        handle = kiv_create(&config);
        ASSERT_NE(handle, nullptr);
        const ConnectionHandlers handlers{&ignore_connect, &ignore_disconnect, &ignore_message,
                                          nullptr};
        instance().universe.connection = std::make_unique<Connection>(config, handlers, instance());
        instance().world.connection = std::make_unique<Connection>(config, handlers, instance());
    }
    void TearDown() override { kiv_destroy(handle); }

    Instance& instance() { return *Instance::from_handle(handle); }

    // A universe request message: type, reference number, one INT32.
    int universe_request(int callback, int value) {
        return send_recorded_request(instance(), Side::kUniverse, &universe_send_gate, callback, 0,
                                     [&](PacketWriter& writer, std::int32_t number) {
                                         writer.append_byte(3);
                                         writer.append_int32(number);
                                         writer.append_int32(value);
                                     });
    }

    void answer(Side side, std::int32_t number, int rc) {
        auto& pending =
            side == Side::kUniverse ? instance().universe.pending : instance().world.pending;
        CallbackInfo record(0, 0, 0);
        if (take_pending_request(pending, number, rc, record)) {
            instance().fire_callback(record.callback_number, rc, record.reference);
        }
    }

    FakeClock clock{100};
    RecordingTable net;
    KIVInstance* handle = nullptr;
};

TEST_F(Requests, GatesRefuseUntilReady) {
    PacketWriter writer;
    writer.append_byte(1);
    EXPECT_EQ(universe_send_gate(instance(), writer), KIV_RC_NOT_IN_UNIVERSE);
    EXPECT_EQ(world_send_gate(instance(), writer), KIV_RC_NOT_IN_WORLD);
    EXPECT_TRUE(net.sockets[0]->written.empty());
    instance().universe.ready = true;
    instance().world.ready = true;
    EXPECT_EQ(universe_send_gate(instance(), writer), KIV_RC_SUCCESS);
    EXPECT_EQ(world_send_gate(instance(), writer), KIV_RC_SUCCESS);
    EXPECT_EQ(net.sockets[0]->written, (Bytes{0, 1, 1}));
    EXPECT_EQ(net.sockets[1]->written, (Bytes{0, 1, 1}));
    Instance::discard(instance().world.connection);
    EXPECT_EQ(world_send_gate(instance(), writer), KIV_RC_NOT_IN_WORLD);
}

TEST_F(Requests, AnswersInReverseOrderCarryTheirOwnReferences) {
    instance().universe.ready = true;
    kiv_callback_set(handle, KIV_CALLBACK_WORLD_LIST, record_callback);
    kiv_int_set(handle, KIV_REFERENCE_NUMBER, 111);
    ASSERT_EQ(universe_request(KIV_CALLBACK_WORLD_LIST, 0), 0);
    kiv_int_set(handle, KIV_REFERENCE_NUMBER, 222);
    ASSERT_EQ(universe_request(KIV_CALLBACK_WORLD_LIST, 0), 0);
    EXPECT_EQ(instance().universe.pending.size(), 2u);
    const Bytes& sent = net.sockets[0]->written;
    ASSERT_EQ(sent.size(), 2u * 11);
    EXPECT_EQ(sent[6], 0) << "the first request has number 0";
    EXPECT_EQ(sent[11 + 6], 1) << "the second request has number 1";

    answer(Side::kUniverse, 1, KIV_RC_SUCCESS);
    answer(Side::kUniverse, 0, KIV_RC_REQUEST_FAILED);
    EXPECT_EQ(calls.references, (std::vector<int>{222, 111}));
    EXPECT_EQ(calls.rcs, (std::vector<int>{0, 20}));
    EXPECT_EQ(calls.callbacks, (std::vector<int>{18, 18}));
    EXPECT_TRUE(instance().universe.pending.empty());
}

TEST_F(Requests, CountersAreIndependent) {
    instance().universe.ready = true;
    for (int i = 0; i < 10; ++i) universe_request(KIV_CALLBACK_FRIENDS_GET, i);
    EXPECT_EQ(instance().universe.peek_reference(), 10);
    EXPECT_EQ(instance().world.take_reference(), 0);
}

TEST_F(Requests, RefusedRecordIsErasedButTheNumberIsUsed) {
    EXPECT_EQ(universe_request(KIV_CALLBACK_FRIEND_ADD, 1), KIV_RC_NOT_IN_UNIVERSE);
    EXPECT_TRUE(instance().universe.pending.empty());
    EXPECT_EQ(instance().universe.peek_reference(), 1);
}

TEST_F(Requests, OversizedMessageRegistersNothingAndKeepsTheCounter) {
    instance().world.ready = true;
    const int rc =
        send_recorded_request(instance(), Side::kWorld, &world_send_gate, KIV_CALLBACK_OBJECT_ADD,
                              5, [](PacketWriter& writer, std::int32_t number) {
                                  writer.append_byte(10);
                                  writer.append_int32(number);
                                  const std::string blob(65535, 'x');
                                  writer.append_blob16(blob.data(), blob.size());
                              });
    EXPECT_EQ(rc, KIV_RC_STRING_TOO_LONG);
    EXPECT_TRUE(instance().world.pending.empty());
    EXPECT_EQ(instance().world.peek_reference(), 0);
    EXPECT_TRUE(net.sockets[1]->written.empty());
}

TEST_F(Requests, UnknownTransactionPrintsOneLine) {
    testing::internal::CaptureStdout();
    answer(Side::kWorld, 5, 0);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "Unknown transaction ID 5 with result 0\n");
    EXPECT_TRUE(calls.callbacks.empty());
}

TEST_F(Requests, BlockingWaitGivesUpAtTheLimit) {
    net.on_wait = [this](int milliseconds) {
        EXPECT_EQ(milliseconds, 100);
        clock.advance(1);
        return 0;
    };
    EXPECT_EQ(finish_blocking_request(instance(), KIV_CALLBACK_LOGIN, Response::kLogin, 10),
              KIV_RC_TIMEOUT);
    EXPECT_EQ(net.waits(), 10);
}

TEST_F(Requests, BlockingWaitReturnsTheAnswerAndKeepsOthersInOrder) {
    instance().pending_responses().emplace_back(Response::kWorldEnter, 0, 6);
    net.on_wait = [this](int) {
        complete_blocking_request(instance(), KIV_CALLBACK_LOGIN, Response::kLogin,
                                  KIV_RC_LOGIN_DENIED);
        return 0;
    };
    EXPECT_EQ(finish_blocking_request(instance(), KIV_CALLBACK_LOGIN, Response::kLogin, 10),
              KIV_RC_LOGIN_DENIED);
    ASSERT_EQ(instance().pending_responses().size(), 1u);
    EXPECT_EQ(instance().pending_responses().front().type, Response::kWorldEnter);
}

TEST_F(Requests, HandlerTurnsTheBlockingFormIntoACallback) {
    kiv_callback_set(handle, KIV_CALLBACK_CONNECT_UNIVERSE, record_callback);
    EXPECT_EQ(finish_blocking_request(instance(), KIV_CALLBACK_CONNECT_UNIVERSE,
                                      Response::kUniverseConnect, 15),
              KIV_RC_SUCCESS);
    EXPECT_EQ(net.waits(), 0) << "returns without waiting";
    complete_blocking_request(instance(), KIV_CALLBACK_CONNECT_UNIVERSE, Response::kUniverseConnect,
                              KIV_RC_SECURE_CHANNEL_FAILED);
    EXPECT_EQ(calls.rcs, (std::vector<int>{24}));
    EXPECT_EQ(calls.references, (std::vector<int>{0}));
    EXPECT_TRUE(instance().pending_responses().empty());
}

TEST_F(Requests, StaleResponsesAreDroppedWhenABlockingRequestStarts) {
    auto& responses = instance().pending_responses();
    responses.emplace_back(Response::kUniverseConnect, 0, 9);
    responses.emplace_back(Response::kLogin, 0, 0);
    responses.emplace_back(Response::kUniverseConnect, 0, 0);
    discard_responses(instance(), Response::kUniverseConnect);
    ASSERT_EQ(responses.size(), 1u);
    EXPECT_EQ(responses.front().type, Response::kLogin);
}

void block_inside_handler(KIVInstance* handle) {
    Instance& instance = *Instance::from_handle(handle);
    calls.nested.push_back(
        finish_blocking_request(instance, KIV_CALLBACK_ENTER, Response::kWorldEnter, 20));
}

TEST_F(Requests, BlockingCallInsideAHandlerGetsRecursiveWait) {
    kiv_event_set(handle, KIV_EVENT_CHAT, block_inside_handler);
    net.on_wait = [this](int) {
        instance().fire_event(KIV_EVENT_CHAT);
        return 0;
    };
    EXPECT_EQ(kiv_wait(handle, 0), KIV_RC_SUCCESS);
    EXPECT_EQ(calls.nested, (std::vector<int>{KIV_RC_RECURSIVE_WAIT}));
}

void destroy_instance(KIVInstance* handle) { kiv_destroy(handle); }

TEST_F(Requests, DestroyDuringABlockingWaitReturnsConnectionError) {
    kiv_event_set(handle, KIV_EVENT_UNIVERSE_DISCONNECT, destroy_instance);
    net.on_wait = [this](int) {
        instance().fire_event(KIV_EVENT_UNIVERSE_DISCONNECT);
        return 0;
    };
    // As an exported blocking request runs it: inside run_request.
    const int rc = run_request(handle, [](Instance& instance) {
        return finish_blocking_request(instance, KIV_CALLBACK_ENTER, Response::kWorldEnter, 20);
    });
    handle = nullptr;
    EXPECT_EQ(rc, KIV_RC_CONNECTION_ERROR);
}

}  // namespace
}  // namespace kivsdk::test
