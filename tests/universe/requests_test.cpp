// Universe requests on the wire, entry messages into attributes and events,
// and transaction results into callbacks.
#include <string>

#include "support/session_fixture.h"

namespace kivsdk::test {
namespace {

struct Seen {
    std::vector<int> events;
    std::vector<int> callbacks, rcs, references;
    std::vector<std::string> strings;  // a string attribute read in a handler
    int string_index = -1;
};
Seen seen;

void on_event(KIVInstance* instance) {
    seen.events.push_back(kiv_int(instance, KIV_CURRENT_EVENT));
    if (seen.string_index >= 0) seen.strings.push_back(kiv_string(instance, seen.string_index));
}
void on_callback(KIVInstance* instance, int rc, int reference) {
    seen.callbacks.push_back(kiv_int(instance, KIV_CURRENT_CALLBACK));
    seen.rcs.push_back(rc);
    seen.references.push_back(reference);
}

class Universe : public SessionTest {
protected:
    void SetUp() override {
        SessionTest::SetUp();
        seen = Seen{};
        for (int event = 0; event < KIV_EVENT_COUNT; ++event)
            kiv_event_set(handle, event, on_event);
        for (int callback = 0; callback < KIV_CALLBACK_COUNT; ++callback) {
            if (callback != KIV_CALLBACK_LOGIN && callback != KIV_CALLBACK_CONNECT_UNIVERSE &&
                callback != KIV_CALLBACK_ENTER) {
                kiv_callback_set(handle, callback, on_callback);
            }
        }
    }

    // A transaction result frame for a reference number.
    static Message result(std::int32_t number, std::uint8_t byte) {
        return std::move(Message(17).int32(number).byte(byte));
    }
};

TEST_F(Universe, WorldListSendsValueThenNumberAndEndsWithItsCallback) {
    RecordingTable::Socket& socket = open_universe();
    kiv_int_set(handle, KIV_REFERENCE_NUMBER, 77);
    ASSERT_EQ(kiv_world_list(handle, 5), 0);
    kiv_int_set(handle, KIV_REFERENCE_NUMBER, 99);  // later changes do not matter
    EXPECT_EQ(sent(socket), (std::vector<Bytes>{Message(3).int32(5).int32(0).bytes()}));

    seen.string_index = KIV_WORLD_NAME;
    receive(socket, Message(3).byte(1).string("alpha").int32(10).bytes());
    receive(socket, Message(3).byte(2).string("beta").int32(20).bytes());
    EXPECT_EQ(kiv_int(handle, KIV_WORLD_STATE), 2);
    EXPECT_EQ(kiv_int(handle, KIV_WORLD_VALUE), 20);
    EXPECT_EQ(seen.strings, (std::vector<std::string>{"alpha", "beta"}));
    EXPECT_EQ(seen.events, (std::vector<int>{8, 8}));

    receive(socket, result(0, 0).bytes());
    EXPECT_EQ(seen.callbacks, (std::vector<int>{18}));
    EXPECT_EQ(seen.rcs, (std::vector<int>{0}));
    EXPECT_EQ(seen.references, (std::vector<int>{77}));
    EXPECT_TRUE(instance().universe.pending.empty());
}

TEST_F(Universe, FriendRequestsPutTheNumberFirstAndShareTheCounter) {
    RecordingTable::Socket& socket = open_universe();
    ASSERT_EQ(kiv_friends_get(handle), 0);
    ASSERT_EQ(kiv_friend_add_by_name(handle, std::string(300, 'n').c_str()), 0);
    ASSERT_EQ(kiv_friend_delete(handle, 42), 0);
    ASSERT_EQ(kiv_invite(handle, 1234, "plaza", 1.5, 2.0, -3.0, 90.0f, 0.0f), 0);
    ASSERT_EQ(kiv_join(handle, 55), 0);
    EXPECT_EQ(sent(socket), (std::vector<Bytes>{
                                Message(21).int32(0).bytes(),
                                Message(22).int32(1).string(std::string(255, 'n')).bytes(),
                                Message(24).int32(2).int32(42).bytes(),
                                Message(42)
                                    .int32(3)
                                    .int32(1234)
                                    .float64(1.5)
                                    .float64(2.0)
                                    .float64(-3.0)
                                    .float32(90.0f)
                                    .float32(0.0f)
                                    .string("plaza")
                                    .bytes(),
                                Message(37).int32(4).int32(55).bytes(),
                            }));
    EXPECT_EQ(instance().world.peek_reference(), 0) << "world numbers are separate";
}

TEST_F(Universe, AnswersAndOtherRequestsOnTheWire) {
    RecordingTable::Socket& socket = open_universe();
    EXPECT_EQ(kiv_user_attributes_by_id(handle, 9), 0);
    EXPECT_EQ(kiv_invite_accept(handle, 3), 0);
    EXPECT_EQ(kiv_invite_decline(handle, 4), 0);
    EXPECT_EQ(kiv_join_accept(handle, 6, "home", 1.0, 2.0, 3.0, 4.0f, 5.0f), 0);
    EXPECT_EQ(kiv_join_decline(handle, 7), 0);
    EXPECT_EQ(kiv_user_attributes_by_name(handle, "bob"), KIV_RC_NOT_IMPLEMENTED);
    EXPECT_EQ(sent(socket), (std::vector<Bytes>{
                                Message(18).int32(9).bytes(),
                                Message(43).int32(3).byte(1).bytes(),
                                Message(43).int32(4).byte(0).bytes(),
                                Message(38)
                                    .int32(6)
                                    .byte(1)
                                    .float64(1.0)
                                    .float64(2.0)
                                    .float64(3.0)
                                    .float32(4.0f)
                                    .float32(5.0f)
                                    .string("home")
                                    .bytes(),
                                Message(38).int32(7).byte(0).bytes(),
                            }));
    EXPECT_TRUE(instance().universe.pending.empty());
}

TEST_F(Universe, WithoutAUniverseConnection) {
    EXPECT_EQ(kiv_world_list(handle, 1), KIV_RC_NOT_IN_UNIVERSE);
    EXPECT_EQ(kiv_friends_get(handle), KIV_RC_NOT_IN_UNIVERSE);
    EXPECT_EQ(kiv_friend_add_by_name(handle, nullptr), KIV_RC_NOT_IN_UNIVERSE);
    EXPECT_EQ(kiv_friend_delete(handle, 1), KIV_RC_NOT_IN_UNIVERSE);
    EXPECT_EQ(kiv_user_attributes_by_id(handle, 1), KIV_RC_NOT_IN_UNIVERSE);
    EXPECT_EQ(instance().universe.peek_reference(), 0) << "no number taken without a connection";
    EXPECT_EQ(kiv_invite(handle, 1, nullptr, 0, 0, 0, 0, 0), KIV_RC_NOT_IN_UNIVERSE);
    EXPECT_EQ(instance().universe.peek_reference(), 1) << "an invitation takes its number first";
    EXPECT_EQ(kiv_invite_accept(handle, 1), KIV_RC_NOT_IN_UNIVERSE);
    EXPECT_EQ(kiv_join(handle, 1), KIV_RC_NOT_IN_UNIVERSE);
    EXPECT_EQ(kiv_join_accept(handle, 1, "w", 0, 0, 0, 0, 0), KIV_RC_NOT_IN_UNIVERSE);
    EXPECT_EQ(kiv_join_decline(handle, 1), KIV_RC_NOT_IN_UNIVERSE);
    EXPECT_TRUE(instance().universe.pending.empty());
}

TEST_F(Universe, JoinsReportTheGateWhenNotReady) {
    RecordingTable::Socket& socket = open_universe(false);
    EXPECT_EQ(kiv_join(handle, 1), KIV_RC_NOT_IN_UNIVERSE);
    EXPECT_EQ(kiv_join_accept(handle, 1, "w", 0, 0, 0, 0, 0), KIV_RC_NOT_IN_UNIVERSE);
    EXPECT_EQ(kiv_join_decline(handle, 1), KIV_RC_NOT_IN_UNIVERSE);
    EXPECT_EQ(kiv_world_list(handle, 1), KIV_RC_NOT_IN_UNIVERSE);
    EXPECT_TRUE(sent(socket).empty());
    EXPECT_TRUE(instance().universe.pending.empty()) << "refused records are erased";
    EXPECT_EQ(instance().universe.peek_reference(), 2);
}

TEST_F(Universe, ListAndFriendResultsMapToSuccessOrRequestFailed) {
    RecordingTable::Socket& socket = open_universe();
    kiv_friends_get(handle);
    kiv_friend_add_by_name(handle, "x");
    kiv_world_list(handle, 0);
    receive(socket, result(0, 1).bytes());
    receive(socket, result(1, 3).bytes());
    receive(socket, result(2, 255).bytes());
    EXPECT_EQ(seen.callbacks, (std::vector<int>{3, 4, 18}));
    EXPECT_EQ(seen.rcs, (std::vector<int>{20, 20, 20}));
}

TEST_F(Universe, FriendDeleteResultSetsBothFriendNumbers) {
    RecordingTable::Socket& socket = open_universe();
    kiv_friend_delete(handle, 42);
    receive(socket, result(0, 0).int32(42).bytes());
    EXPECT_EQ(kiv_int(handle, KIV_FRIEND_ID), 42);
    EXPECT_EQ(kiv_int(handle, KIV_FRIEND_USER_ID), 42);
    EXPECT_EQ(seen.rcs, (std::vector<int>{0}));
}

TEST_F(Universe, EntryMessagesFillTheirAttributes) {
    RecordingTable::Socket& socket = open_universe();
    receive(socket,
            Message(18).int32(11).int32(12).int32(13).int32(14).string("s1").string("s2").bytes());
    EXPECT_EQ(kiv_int(handle, KIV_USER_ID), 11);
    EXPECT_EQ(kiv_int(handle, KIV_USER_INT_3), 14);
    EXPECT_STREQ(kiv_string(handle, KIV_USER_STRING_1), "s1");
    EXPECT_STREQ(kiv_string(handle, KIV_USER_STRING_2), "s2");

    // The friend state is the fifth field, not the fourth.
    receive(socket, Message(21).int32(100).int32(200).string("pal").byte(7).byte(1).bytes());
    EXPECT_EQ(kiv_int(handle, KIV_FRIEND_USER_ID), 100);
    EXPECT_EQ(kiv_int(handle, KIV_FRIEND_ID), 200);
    EXPECT_EQ(kiv_int(handle, KIV_FRIEND_STATE), 1);
    EXPECT_STREQ(kiv_string(handle, KIV_FRIEND_NAME), "pal");

    // A short entry: the fields present are used, the rest count as 0 or "".
    receive(socket, Message(21).int32(5).bytes());
    EXPECT_EQ(kiv_int(handle, KIV_FRIEND_USER_ID), 5);
    EXPECT_EQ(kiv_int(handle, KIV_FRIEND_ID), 0);
    EXPECT_STREQ(kiv_string(handle, KIV_FRIEND_NAME), "");
    EXPECT_EQ(seen.events, (std::vector<int>{14, 11, 11}));
}

TEST_F(Universe, IncomingInvitationAndJoinRequest) {
    RecordingTable::Socket& socket = open_universe();
    receive(socket, Message(42)
                        .int32(8)
                        .int32(9)
                        .float64(1.0)
                        .float64(2.0)
                        .float64(3.0)
                        .float32(4.5f)
                        .float32(-1.0f)
                        .string("garden")
                        .string("Alice")
                        .bytes());
    EXPECT_EQ(kiv_int(handle, KIV_INVITE_ID), 8);
    EXPECT_EQ(kiv_int(handle, KIV_INVITE_USER_ID), 9);
    EXPECT_EQ(kiv_double(handle, KIV_INVITE_Z), 3.0);
    EXPECT_EQ(kiv_double(handle, KIV_INVITE_YAW), 4.5);
    EXPECT_EQ(kiv_double(handle, KIV_INVITE_PITCH), -1.0);
    EXPECT_STREQ(kiv_string(handle, KIV_INVITE_WORLD), "garden") << "the first string is the world";
    EXPECT_STREQ(kiv_string(handle, KIV_INVITE_NAME), "Alice");

    receive(socket, Message(37).int32(3).int32(4).string("Bob").bytes());
    EXPECT_EQ(kiv_int(handle, KIV_JOIN_ID), 3);
    EXPECT_EQ(kiv_int(handle, KIV_USER_ID), 4);
    EXPECT_STREQ(kiv_string(handle, KIV_JOIN_NAME), "Bob");

    // A join request without its name changes nothing and fires nothing.
    receive(socket, Message(37).int32(30).int32(40).bytes());
    EXPECT_EQ(kiv_int(handle, KIV_JOIN_ID), 3);
    EXPECT_EQ(seen.events, (std::vector<int>{24, 23}));
}

TEST_F(Universe, JoinAndInvitationRepliesMapTheirResults) {
    RecordingTable::Socket& socket = open_universe();
    kiv_int_set(handle, KIV_REFERENCE_NUMBER, 5);
    kiv_join(handle, 1);
    kiv_join(handle, 2);
    receive(socket, result(0, 0)
                        .float64(1)
                        .float64(2)
                        .float64(3)
                        .float32(4)
                        .float32(5)
                        .string("there")
                        .string("Carol")
                        .bytes());
    EXPECT_EQ(kiv_double(handle, KIV_JOIN_PITCH), 5.0);
    EXPECT_STREQ(kiv_string(handle, KIV_JOIN_WORLD), "there");
    receive(socket, result(1, 1).string("Dave").bytes());
    EXPECT_EQ(kiv_double(handle, KIV_JOIN_X), 0.0) << "a failed join leaves zeros";
    EXPECT_STREQ(kiv_string(handle, KIV_JOIN_WORLD), "");
    EXPECT_STREQ(kiv_string(handle, KIV_JOIN_NAME), "Dave");

    for (int i = 0; i < 5; ++i) kiv_invite(handle, i, "w", 0, 0, 0, 0, 0);
    for (int i = 0; i < 5; ++i)
        receive(socket, result(2 + i, static_cast<std::uint8_t>(i)).string("Eve").bytes());
    EXPECT_EQ(seen.callbacks, (std::vector<int>{12, 12, 17, 17, 17, 17, 17}));
    EXPECT_EQ(seen.rcs, (std::vector<int>{0, 22, 0, 28, 16, 15, 20}));
    EXPECT_EQ(seen.references, (std::vector<int>(7, 5)));
    EXPECT_STREQ(kiv_string(handle, KIV_INVITE_NAME), "Eve");
}

TEST_F(Universe, UnknownTypesAndTransactionsPrintOneLineEach) {
    RecordingTable::Socket& socket = open_universe();
    testing::internal::CaptureStdout();
    receive(socket, Message(50).int32(1).bytes());
    receive(socket, result(7, 0).bytes());
    receive(socket, Message(28).int32(0).bytes());
    EXPECT_EQ(testing::internal::GetCapturedStdout(),
              "Unknown message type: 50\nUnknown transaction ID 7 with result 0\n");
    EXPECT_TRUE(seen.events.empty());
    EXPECT_TRUE(seen.callbacks.empty());
}

}  // namespace
}  // namespace kivsdk::test
