// The host's own state and chat going out; chat and avatar notifications
// coming in, over the recording table.
#include <string>

#include "support/session_fixture.h"
#include "world/handler_recorder.h"

namespace kivsdk::test {
namespace {

Bytes framed(const Bytes& body) {
    Bytes frame{static_cast<unsigned char>(body.size() >> 8),
                static_cast<unsigned char>(body.size())};
    frame.insert(frame.end(), body.begin(), body.end());
    return frame;
}

class AvatarsAndChat : public SessionTest {
protected:
    void SetUp() override {
        SessionTest::SetUp();
        recorder.attach(handle);
    }
    HandlerRecorder recorder;
};

// ---- Requests ------------------------------------------------------------

TEST_F(AvatarsAndChat, StateChangeSendsOwnStateInSinglePrecision) {
    RecordingTable::Socket& world = open_world();
    kiv_double_set(handle, KIV_MY_X, 0.1);
    kiv_double_set(handle, KIV_MY_Y, 2.5);
    kiv_double_set(handle, KIV_MY_Z, -3.0);
    kiv_double_set(handle, KIV_MY_YAW, 90.0);
    kiv_double_set(handle, KIV_MY_PITCH, 10.0);
    kiv_int_set(handle, KIV_MY_TYPE, 7);
    ASSERT_EQ(kiv_state_change(handle), KIV_RC_SUCCESS);
    const std::vector<Bytes> frames = sent(world);
    ASSERT_EQ(frames.size(), 1u);
    // 0.1 goes as the nearest single-precision value, not as the double's
    // high word.
    EXPECT_EQ(Bytes(frames[0].begin(), frames[0].begin() + 5), (Bytes{14, 0x3D, 0xCC, 0xCC, 0xCD}));
    // Yaw before pitch: the own state keeps the attribute order.
    EXPECT_EQ(frames[0], Message(14)
                             .float32(0.1f)
                             .float32(2.5f)
                             .float32(-3.0f)
                             .float32(90.0f)
                             .float32(10.0f)
                             .int32(7)
                             .bytes());
}

TEST_F(AvatarsAndChat, SayTakesUpTo255Bytes) {
    RecordingTable::Socket& world = open_world();
    const std::string longest(255, 'a');
    ASSERT_EQ(kiv_say(handle, longest.c_str()), KIV_RC_SUCCESS);
    ASSERT_EQ(kiv_say(handle, nullptr), KIV_RC_SUCCESS);
    EXPECT_EQ(sent(world), (std::vector<Bytes>{Message(9).string(longest).bytes(), Bytes{9, 0}}));

    const std::string too_long(256, 'a');
    EXPECT_EQ(kiv_say(handle, too_long.c_str()), KIV_RC_STRING_TOO_LONG);
    EXPECT_TRUE(sent(world).empty());
}

TEST_F(AvatarsAndChat, RequestsOutsideAWorldAreRefusedWithNotInWorld) {
    EXPECT_EQ(kiv_state_change(handle), KIV_RC_NOT_IN_WORLD);
    EXPECT_EQ(kiv_say(handle, "hello"), KIV_RC_NOT_IN_WORLD);
    // The length is looked at first.
    EXPECT_EQ(kiv_say(handle, std::string(256, 'a').c_str()), KIV_RC_STRING_TOO_LONG);

    // A world connection whose login has not been accepted yet.
    RecordingTable::Socket& world = open_world(false);
    EXPECT_EQ(kiv_state_change(handle), KIV_RC_NOT_IN_WORLD);
    EXPECT_EQ(kiv_say(handle, "hello"), KIV_RC_NOT_IN_WORLD);
    EXPECT_TRUE(sent(world).empty());
}

// ---- Chat ----------------------------------------------------------------

TEST_F(AvatarsAndChat, ChatLineFillsTheChatSlotsAndEmptiesTheStringsAfterwards) {
    RecordingTable::Socket& world = open_world();
    kiv_int_set(handle, KIV_CHAT_TYPE, 5);
    receive(world, Message(9).string("Bob").string("hello there").int32(31).bytes());
    ASSERT_EQ(recorder.events.size(), 1u);
    const Seen& chat = recorder.events[0];
    EXPECT_EQ(chat.number, KIV_EVENT_CHAT);
    EXPECT_EQ(chat.ints[KIV_AVATAR_SESSION], 31);
    EXPECT_EQ(chat.strings[KIV_AVATAR_NAME], "Bob");
    EXPECT_EQ(chat.strings[KIV_CHAT_MESSAGE], "hello there");
    EXPECT_EQ(chat.ints[KIV_CHAT_TYPE], 0) << "no type byte is an ordinary line";

    EXPECT_STREQ(kiv_string(handle, KIV_AVATAR_NAME), "");
    EXPECT_STREQ(kiv_string(handle, KIV_CHAT_MESSAGE), "");
    EXPECT_EQ(kiv_int(handle, KIV_AVATAR_SESSION), 31);
}

TEST_F(AvatarsAndChat, ConsoleLinesCarryEffectsAndColour) {
    RecordingTable::Socket& world = open_world();
    receive(world, Message(9)
                       .string("")
                       .string("notice")
                       .int32(0)
                       .byte(1)
                       .byte(1)
                       .byte(255)
                       .byte(0)
                       .byte(128)
                       .bytes());
    ASSERT_EQ(recorder.events.size(), 1u);
    const Seen& console = recorder.events[0];
    EXPECT_EQ(console.ints[KIV_CHAT_TYPE], 1);
    EXPECT_EQ(console.ints[KIV_CHAT_EFFECTS], 1);
    EXPECT_EQ(console.ints[KIV_CHAT_COLOR_RED], 255);
    EXPECT_EQ(console.ints[KIV_CHAT_COLOR_GREEN], 0);
    EXPECT_EQ(console.ints[KIV_CHAT_COLOR_BLUE], 128);

    // Other chat types leave the console slots as the last console line set
    // them, whatever bytes follow.
    receive(world, Message(9).string("Ann").string("hi").int32(4).byte(2).byte(9).byte(9).bytes());
    receive(world, Message(9).string("Ann").string("hi").int32(4).bytes());
    ASSERT_EQ(recorder.events.size(), 3u);
    for (std::size_t i = 1; i < 3; ++i) {
        EXPECT_EQ(recorder.events[i].ints[KIV_CHAT_EFFECTS], 1);
        EXPECT_EQ(recorder.events[i].ints[KIV_CHAT_COLOR_RED], 255);
        EXPECT_EQ(recorder.events[i].ints[KIV_CHAT_COLOR_BLUE], 128);
    }
    EXPECT_EQ(recorder.events[1].ints[KIV_CHAT_TYPE], 2);

    // A console line cut after red: the missing bytes count as 0.
    receive(world, Message(9).string("").string("cut").int32(0).byte(1).byte(3).byte(200).bytes());
    const Seen& cut = recorder.events.back();
    EXPECT_EQ(cut.ints[KIV_CHAT_EFFECTS], 3);
    EXPECT_EQ(cut.ints[KIV_CHAT_COLOR_RED], 200);
    EXPECT_EQ(cut.ints[KIV_CHAT_COLOR_GREEN], 0);
    EXPECT_EQ(cut.ints[KIV_CHAT_COLOR_BLUE], 0);
}

TEST_F(AvatarsAndChat, ChatCutInsideItsTextReadsNothingAfterTheCut) {
    RecordingTable::Socket& world = open_world();
    kiv_int_set(handle, KIV_AVATAR_SESSION, 66);
    // The text announces 10 bytes and 4 follow; they look like a session
    // and must not be taken for one.
    Bytes body = Message(9).string("Bob").bytes();
    for (const unsigned char byte : {10, 0, 0, 0, 1}) body.push_back(byte);
    receive(world, body);
    ASSERT_EQ(recorder.events.size(), 1u);
    EXPECT_EQ(recorder.events[0].strings[KIV_AVATAR_NAME], "Bob");
    EXPECT_EQ(recorder.events[0].strings[KIV_CHAT_MESSAGE], "");
    EXPECT_EQ(recorder.events[0].ints[KIV_AVATAR_SESSION], 0);
    EXPECT_EQ(recorder.events[0].ints[KIV_CHAT_TYPE], 0);
}

// ---- Avatars -------------------------------------------------------------

TEST_F(AvatarsAndChat, AvatarAddedSwapsTheAnglesAndEmptiesItsStrings) {
    RecordingTable::Socket& world = open_world();
    receive(world, Message(13)
                       .int32(12)
                       .float32(1.5f)
                       .float32(2.5f)
                       .float32(3.5f)
                       .float32(90.0f)
                       .float32(10.0f)
                       .int32(4)
                       .string("Ann")
                       .int32(1001)
                       .string("first")
                       .string("second")
                       .bytes());
    ASSERT_EQ(recorder.events.size(), 1u);
    const Seen& added = recorder.events[0];
    EXPECT_EQ(added.number, KIV_EVENT_AVATAR_ADD);
    EXPECT_EQ(added.ints[KIV_AVATAR_SESSION], 12);
    EXPECT_EQ(added.floats[KIV_AVATAR_X], 1.5);
    EXPECT_EQ(added.floats[KIV_AVATAR_Y], 2.5);
    EXPECT_EQ(added.floats[KIV_AVATAR_Z], 3.5);
    EXPECT_EQ(added.floats[KIV_AVATAR_YAW], 90.0) << "the fourth float";
    EXPECT_EQ(added.floats[KIV_AVATAR_PITCH], 10.0) << "the fifth float";
    EXPECT_EQ(added.ints[KIV_AVATAR_TYPE], 4);
    EXPECT_EQ(added.strings[KIV_AVATAR_NAME], "Ann");
    EXPECT_EQ(added.ints[KIV_USER_ID], 1001);
    EXPECT_EQ(added.strings[KIV_AVATAR_STRING_1], "first");
    EXPECT_EQ(added.strings[KIV_AVATAR_STRING_2], "second");

    for (const int index : {KIV_AVATAR_NAME, KIV_AVATAR_STRING_1, KIV_AVATAR_STRING_2}) {
        EXPECT_STREQ(kiv_string(handle, index), "") << "string " << index;
    }
    EXPECT_EQ(kiv_int(handle, KIV_AVATAR_SESSION), 12);
    EXPECT_EQ(kiv_double(handle, KIV_AVATAR_PITCH), 10.0);
}

TEST_F(AvatarsAndChat, AvatarChangedLeavesTheAddedOnlySlotsAlone) {
    RecordingTable::Socket& world = open_world();
    kiv_int_set(handle, KIV_USER_ID, 77);
    kiv_string_set(handle, KIV_AVATAR_STRING_1, "host's");
    receive(world, Message(14)
                       .int32(3)
                       .float32(0.25f)
                       .float32(0.5f)
                       .float32(0.75f)
                       .float32(45.0f)
                       .float32(-5.0f)
                       .int32(2)
                       .string("Cat")
                       .int32(999)
                       .string("ignored")
                       .bytes());
    ASSERT_EQ(recorder.events.size(), 1u);
    const Seen& changed = recorder.events[0];
    EXPECT_EQ(changed.number, KIV_EVENT_AVATAR_CHANGE);
    EXPECT_EQ(changed.ints[KIV_AVATAR_SESSION], 3);
    EXPECT_EQ(changed.floats[KIV_AVATAR_YAW], 45.0);
    EXPECT_EQ(changed.floats[KIV_AVATAR_PITCH], -5.0);
    EXPECT_EQ(changed.ints[KIV_AVATAR_TYPE], 2);
    EXPECT_EQ(changed.strings[KIV_AVATAR_NAME], "Cat");
    EXPECT_EQ(changed.ints[KIV_USER_ID], 77);
    EXPECT_EQ(changed.strings[KIV_AVATAR_STRING_1], "host's");
    EXPECT_STREQ(kiv_string(handle, KIV_AVATAR_NAME), "");
    EXPECT_STREQ(kiv_string(handle, KIV_AVATAR_STRING_1), "host's");
}

TEST_F(AvatarsAndChat, ShortAvatarMessagesKeepMissingNumbersAndEmptyMissingStrings) {
    RecordingTable::Socket& world = open_world();
    kiv_double_set(handle, KIV_AVATAR_Z, 8.0);
    kiv_double_set(handle, KIV_AVATAR_PITCH, 9.0);
    kiv_int_set(handle, KIV_AVATAR_TYPE, 6);
    kiv_string_set(handle, KIV_AVATAR_NAME, "stale");
    receive(world, Message(14).int32(21).float32(1.0f).float32(2.0f).bytes());
    ASSERT_EQ(recorder.events.size(), 1u);
    const Seen& changed = recorder.events[0];
    EXPECT_EQ(changed.ints[KIV_AVATAR_SESSION], 21);
    EXPECT_EQ(changed.floats[KIV_AVATAR_Y], 2.0);
    EXPECT_EQ(changed.floats[KIV_AVATAR_Z], 8.0);
    EXPECT_EQ(changed.floats[KIV_AVATAR_PITCH], 9.0);
    EXPECT_EQ(changed.ints[KIV_AVATAR_TYPE], 6);
    EXPECT_EQ(changed.strings[KIV_AVATAR_NAME], "");

    receive(world, Message(15).int32(21).string("Dan").bytes());
    receive(world, Message(15).bytes());
    ASSERT_EQ(recorder.events.size(), 3u);
    EXPECT_EQ(recorder.events[1].number, KIV_EVENT_AVATAR_DELETE);
    EXPECT_EQ(recorder.events[1].strings[KIV_AVATAR_NAME], "Dan");
    EXPECT_EQ(recorder.events[2].ints[KIV_AVATAR_SESSION], 21);
    EXPECT_EQ(recorder.events[2].strings[KIV_AVATAR_NAME], "");
    EXPECT_STREQ(kiv_string(handle, KIV_AVATAR_NAME), "");
}

// ---- Handlers that end the world ---------------------------------------

Bytes three_chat_lines() {
    Bytes stream;
    for (const char* text : {"one", "two", "three"}) {
        const Bytes frame = framed(Message(9).string("Bob").string(text).int32(1).bytes());
        stream.insert(stream.end(), frame.begin(), frame.end());
    }
    return stream;
}

TEST_F(AvatarsAndChat, LeavingFromAChatHandlerDeliversNothingMore) {
    RecordingTable::Socket& world = open_world();
    recorder.inside = [](KIVInstance* instance) { EXPECT_EQ(kiv_leave(instance), KIV_RC_SUCCESS); };
    net.deliver(world, three_chat_lines());  // one chunk, three frames
    ASSERT_EQ(recorder.events.size(), 1u);
    EXPECT_EQ(recorder.events[0].strings[KIV_CHAT_MESSAGE], "one");
    EXPECT_TRUE(world.destroyed);
    EXPECT_EQ(kiv_say(handle, "after"), KIV_RC_NOT_IN_WORLD);
}

TEST_F(AvatarsAndChat, DestroyingFromAChatHandlerDeliversNothingMore) {
    RecordingTable::Socket& world = open_world();
    recorder.inside = [](KIVInstance* instance) {
        EXPECT_EQ(kiv_destroy(instance), KIV_RC_SUCCESS);
    };
    net.deliver(world, three_chat_lines());
    handle = nullptr;  // gone with the delivery
    ASSERT_EQ(recorder.events.size(), 1u);
    EXPECT_TRUE(world.destroyed);
    EXPECT_EQ(world.operations_after_destroy, 0);
}

}  // namespace
}  // namespace kivsdk::test
