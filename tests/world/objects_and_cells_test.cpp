// Object and cell requests and notifications, and the world transaction
// result with its result mapping, over the recording table.
#include <iterator>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "api/request_flow.h"
#include "support/session_fixture.h"
#include "world/handler_recorder.h"

namespace kivsdk::test {
namespace {

// An object blob with a zero byte inside: it must travel whole.
const std::string kBlob("a\0b", 3);

class ObjectsAndCells : public SessionTest {
protected:
    void SetUp() override {
        SessionTest::SetUp();
        recorder.attach(handle);
    }

    // An object description whose floats differ between single and double
    // precision, so the FLOAT and DOUBLE copies of the position can be told
    // apart.
    void describe_object() {
        kiv_int_set(handle, KIV_OBJECT_ID, 42);
        kiv_int_set(handle, KIV_OBJECT_TYPE, 0x1FF);  // only the low 8 bits go
        kiv_int_set(handle, KIV_OBJECT_INT_1, 501);
        kiv_int_set(handle, KIV_OBJECT_INT_2, 502);
        for (int i = 0; i < 7; ++i) kiv_double_set(handle, KIV_OBJECT_X + i, 0.1 * (i + 1));
        kiv_string_set(handle, KIV_OBJECT_STRING_1, "one");
        kiv_string_set(handle, KIV_OBJECT_STRING_2, "two");
        kiv_string_set(handle, KIV_OBJECT_STRING_3, "three");
        kiv_data_set(handle, KIV_OBJECT_DATA, static_cast<int>(kBlob.size()), kBlob.data());
    }
    static Message& floats(Message& message, int count) {
        for (int i = 0; i < count; ++i) message.float32(static_cast<float>(0.1 * (i + 1)));
        return message;
    }
    static Message& strings_and_data(Message& message) {
        return message.string("one").string("two").string("three").blob16(kBlob);
    }
    static Message& double_position(Message& message) {
        return message.float64(0.1).float64(0.1 * 2).float64(0.1 * 3);
    }

    void answer(RecordingTable::Socket& world, std::int32_t number, std::uint8_t result) {
        receive(world, Message(17).int32(number).byte(result).bytes());
    }
    // Registers a record as the requests of other parts of the world do.
    void pending(std::int32_t number, int callback, int reference = 0) {
        instance().world.pending.insert_or_assign(number,
                                                  CallbackInfo(number, callback, reference));
    }

    HandlerRecorder recorder;
};

// ---- Request layouts -----------------------------------------------------

TEST_F(ObjectsAndCells, AddChangeAndLoadSendTheDescriptionInTheirOrder) {
    RecordingTable::Socket& world = open_world();
    describe_object();
    ASSERT_EQ(kiv_object_add(handle), KIV_RC_SUCCESS);
    ASSERT_EQ(kiv_object_change(handle), KIV_RC_SUCCESS);
    ASSERT_EQ(kiv_object_load(handle), KIV_RC_SUCCESS);

    Message add(10);
    add.int32(0).byte(0xFF);
    floats(add, 6);
    strings_and_data(add).float32(static_cast<float>(0.1 * 7));
    double_position(add);

    Message change(11);
    change.int32(1).int32(42).byte(0xFF);
    floats(change, 6);
    strings_and_data(change).float32(static_cast<float>(0.1 * 7));
    double_position(change);

    Message load(35);
    load.int32(2).byte(0xFF).int32(502).int32(501);
    floats(load, 7);
    strings_and_data(load);
    double_position(load);

    const std::vector<Bytes> frames = sent(world);
    ASSERT_EQ(frames.size(), 3u);
    EXPECT_EQ(frames[0], add.bytes());
    EXPECT_EQ(frames[1], change.bytes());
    EXPECT_EQ(frames[2], load.bytes());

    // Requests read their argument slots and leave them as they were.
    EXPECT_STREQ(kiv_string(handle, KIV_OBJECT_STRING_2), "two");
    int length = 0;
    const void* data = kiv_data(handle, KIV_OBJECT_DATA, &length);
    ASSERT_NE(data, nullptr);
    EXPECT_EQ(std::string(static_cast<const char*>(data), static_cast<std::size_t>(length)), kBlob);
}

TEST_F(ObjectsAndCells, NumberedAndDirectRequestsSendTheirArguments) {
    RecordingTable::Socket& world = open_world();
    ASSERT_EQ(kiv_object_delete(handle, 99), KIV_RC_SUCCESS);
    ASSERT_EQ(kiv_object_get(handle, -7), KIV_RC_SUCCESS);
    ASSERT_EQ(kiv_object_click(handle, 5, 6, 0.1f, -2.0f, 3.5f), KIV_RC_SUCCESS);
    ASSERT_EQ(kiv_object_bump_begin(handle, 8, 9), KIV_RC_SUCCESS);
    ASSERT_EQ(kiv_object_bump_end(handle, 10, 11), KIV_RC_SUCCESS);
    ASSERT_EQ(kiv_query_cell_revision(handle, -3, 4, 17), KIV_RC_SUCCESS);
    ASSERT_EQ(kiv_query_cell(handle, -3, 4), KIV_RC_SUCCESS);
    EXPECT_EQ(sent(world),
              (std::vector<Bytes>{
                  Message(12).int32(0).int32(99).bytes(),
                  Message(29).int32(1).int32(-7).bytes(),
                  Message(16).int32(5).float32(0.1f).float32(-2.0f).float32(3.5f).int32(6).bytes(),
                  Message(33).int32(8).int32(9).bytes(),
                  Message(34).int32(10).int32(11).bytes(),
                  Message(6).int32(-3).int32(4).int32(17).bytes(),
                  Message(6).int32(-3).int32(4).int32(0).bytes(),
              }));
    EXPECT_EQ(instance().world.pending.size(), 2u) << "delete and get wait for their answers";
}

// ---- Refusals ------------------------------------------------------------

using Request = int (*)(KIVInstance*);
// Every request of objects and cells; the first five take a number.
const Request kRequests[] = {
    [](KIVInstance* h) { return kiv_object_add(h); },
    [](KIVInstance* h) { return kiv_object_change(h); },
    [](KIVInstance* h) { return kiv_object_load(h); },
    [](KIVInstance* h) { return kiv_object_delete(h, 1); },
    [](KIVInstance* h) { return kiv_object_get(h, 1); },
    [](KIVInstance* h) { return kiv_object_click(h, 1, 2, 0.0f, 0.0f, 0.0f); },
    [](KIVInstance* h) { return kiv_object_bump_begin(h, 1, 2); },
    [](KIVInstance* h) { return kiv_object_bump_end(h, 1, 2); },
    [](KIVInstance* h) { return kiv_query_cell(h, 1, 2); },
    [](KIVInstance* h) { return kiv_query_cell_revision(h, 1, 2, 3); },
};

TEST_F(ObjectsAndCells, WithoutAWorldConnectionEveryRequestReturnsNotInWorldAndTakesNoNumber) {
    describe_object();
    // The missing connection is reported before a string that is too long.
    kiv_string_set(handle, KIV_OBJECT_STRING_2, std::string(256, 'x').c_str());
    for (std::size_t i = 0; i < std::size(kRequests); ++i) {
        EXPECT_EQ(kRequests[i](handle), KIV_RC_NOT_IN_WORLD) << "request " << i;
    }
    EXPECT_EQ(instance().world.peek_reference(), 0);
    EXPECT_TRUE(instance().world.pending.empty());
}

TEST_F(ObjectsAndCells, BeforeTheWorldIsReadyTheGateRefusesAndNoRecordStays) {
    RecordingTable::Socket& world = open_world(false);
    describe_object();
    for (std::size_t i = 0; i < std::size(kRequests); ++i) {
        EXPECT_EQ(kRequests[i](handle), KIV_RC_NOT_IN_WORLD) << "request " << i;
    }
    EXPECT_TRUE(sent(world).empty());
    EXPECT_EQ(instance().world.peek_reference(), 5) << "numbered requests still used a number";
    EXPECT_TRUE(instance().world.pending.empty());
}

TEST_F(ObjectsAndCells, OversizedDescriptionsReturnStringTooLongBeforeTakingANumber) {
    RecordingTable::Socket& world = open_world();
    describe_object();
    for (const int index : {KIV_OBJECT_STRING_1, KIV_OBJECT_STRING_2, KIV_OBJECT_STRING_3}) {
        kiv_string_set(handle, index, std::string(256, 'x').c_str());
        EXPECT_EQ(kiv_object_add(handle), KIV_RC_STRING_TOO_LONG) << "string " << index;
        EXPECT_EQ(kiv_object_change(handle), KIV_RC_STRING_TOO_LONG) << "string " << index;
        EXPECT_EQ(kiv_object_load(handle), KIV_RC_STRING_TOO_LONG) << "string " << index;
        kiv_string_set(handle, index, std::string(255, 'x').c_str());
    }
    // The largest blob leaves no room for the other fields of one frame.
    const std::string largest(65535, 'd');
    kiv_data_set(handle, KIV_OBJECT_DATA, static_cast<int>(largest.size()), largest.data());
    EXPECT_EQ(kiv_object_add(handle), KIV_RC_STRING_TOO_LONG);
    EXPECT_EQ(kiv_object_load(handle), KIV_RC_STRING_TOO_LONG);
    EXPECT_EQ(instance().world.peek_reference(), 0);
    EXPECT_TRUE(instance().world.pending.empty());
    EXPECT_TRUE(sent(world).empty());

    // Strings of exactly 255 bytes with a modest blob fit.
    kiv_data_set(handle, KIV_OBJECT_DATA, 1000, largest.data());
    EXPECT_EQ(kiv_object_add(handle), KIV_RC_SUCCESS);
    EXPECT_EQ(sent(world).size(), 1u);
}

// ---- Transaction results -------------------------------------------------

TEST_F(ObjectsAndCells, AddResultSetsTheNewIdAndHandsBackTheCallersReference) {
    RecordingTable::Socket& world = open_world();
    kiv_int_set(handle, KIV_REFERENCE_NUMBER, 111);
    ASSERT_EQ(kiv_object_add(handle), KIV_RC_SUCCESS);
    kiv_int_set(handle, KIV_REFERENCE_NUMBER, 222);
    ASSERT_EQ(kiv_object_add(handle), KIV_RC_SUCCESS);
    const std::vector<Bytes> frames = sent(world);
    ASSERT_EQ(frames.size(), 2u);
    EXPECT_EQ(Bytes(frames[1].begin(), frames[1].begin() + 5), (Bytes{10, 0, 0, 0, 1}));

    receive(world, Message(17).int32(0).byte(0).int32(77).bytes());
    ASSERT_EQ(recorder.callbacks.size(), 1u);
    EXPECT_EQ(recorder.callbacks[0].number, KIV_CALLBACK_OBJECT_ADD);
    EXPECT_EQ(recorder.callbacks[0].rc, KIV_RC_SUCCESS);
    EXPECT_EQ(recorder.callbacks[0].reference, 111);
    EXPECT_EQ(recorder.callbacks[0].ints[KIV_OBJECT_ID], 77);
    EXPECT_EQ(instance().world.pending.count(1), 1u) << "the second add is still pending";

    // An answer without the id gives 0.
    kiv_int_set(handle, KIV_OBJECT_ID, 5);
    answer(world, 1, 0);
    ASSERT_EQ(recorder.callbacks.size(), 2u);
    EXPECT_EQ(recorder.callbacks[1].reference, 222);
    EXPECT_EQ(recorder.callbacks[1].ints[KIV_OBJECT_ID], 0);
}

TEST_F(ObjectsAndCells, ChangeAndDeleteResultsNameTheObjectOfTheRequest) {
    RecordingTable::Socket& world = open_world();
    kiv_int_set(handle, KIV_OBJECT_ID, 42);
    ASSERT_EQ(kiv_object_change(handle), KIV_RC_SUCCESS);
    ASSERT_EQ(kiv_object_delete(handle, 99), KIV_RC_SUCCESS);
    kiv_int_set(handle, KIV_OBJECT_ID, 5);

    // A trailing number is not an id for these two.
    receive(world, Message(17).int32(0).byte(1).int32(777).bytes());
    answer(world, 1, 0);
    ASSERT_EQ(recorder.callbacks.size(), 2u);
    EXPECT_EQ(recorder.callbacks[0].number, KIV_CALLBACK_OBJECT_CHANGE);
    EXPECT_EQ(recorder.callbacks[0].rc, KIV_RC_REJECTED);
    EXPECT_EQ(recorder.callbacks[0].ints[KIV_OBJECT_ID], 42);
    EXPECT_EQ(recorder.callbacks[1].number, KIV_CALLBACK_OBJECT_DELETE);
    EXPECT_EQ(recorder.callbacks[1].rc, KIV_RC_SUCCESS);
    EXPECT_EQ(recorder.callbacks[1].ints[KIV_OBJECT_ID], 99);
}

struct MappingCase {
    const char* request;
    int callback;
    std::vector<std::pair<int, int>> result_to_rc;
};

TEST_F(ObjectsAndCells, EveryResultByteMapsAsItsRequestsTableSays) {
    RecordingTable::Socket& world = open_world();
    const std::vector<std::pair<int, int>> object_change = {{0, 0},  {1, 14}, {2, 13},  {3, 29},
                                                            {4, 20}, {9, 20}, {255, 20}};
    const std::vector<std::pair<int, int>> setting_change = {{0, 0},  {1, 13}, {2, 14},
                                                             {3, 26}, {4, 20}, {200, 20}};
    const std::vector<std::pair<int, int>> permission_query = {{0, 0},  {1, 13}, {2, 20},
                                                               {3, 20}, {4, 20}, {77, 20}};
    const std::vector<std::pair<int, int>> unchanged = {{0, 0}, {1, 1},     {3, 3},
                                                        {5, 5}, {200, 200}, {255, 255}};
    const std::vector<MappingCase> cases = {
        {"object add", KIV_CALLBACK_OBJECT_ADD, object_change},
        {"object change", KIV_CALLBACK_OBJECT_CHANGE, object_change},
        {"object delete", KIV_CALLBACK_OBJECT_DELETE, object_change},
        {"object get",
         KIV_CALLBACK_OBJECT_GET,
         {{0, 0}, {1, 19}, {2, 14}, {3, 20}, {4, 20}, {7, 20}}},
        {"object load",
         KIV_CALLBACK_OBJECT_LOAD,
         {{0, 0}, {1, 14}, {2, 13}, {3, 29}, {4, 29}, {200, 29}}},
        {"permission for a user", KIV_CALLBACK_WORLD_PERMISSION_USER_SET, setting_change},
        {"permission for a session", KIV_CALLBACK_WORLD_PERMISSION_SESSION_SET, setting_change},
        {"world setting", KIV_CALLBACK_WORLD_SETTING_SET, setting_change},
        {"own permissions", KIV_CALLBACK_WORLD_PERMISSIONS_GET_MY, permission_query},
        {"permissions of a user", KIV_CALLBACK_WORLD_PERMISSIONS_GET_BY_USER, permission_query},
        {"all permissions", KIV_CALLBACK_WORLD_PERMISSIONS_GET_ALL, permission_query},
        {"terrain query", KIV_CALLBACK_TERRAIN_QUERY, unchanged},
        {"terrain node set", KIV_CALLBACK_TERRAIN_NODE_SET, unchanged},
    };
    std::int32_t number = 1000;
    for (const MappingCase& mapping : cases) {
        for (const auto& [result, rc] : mapping.result_to_rc) {
            pending(number, mapping.callback, number * 2);
            answer(world, number, static_cast<std::uint8_t>(result));
            ASSERT_FALSE(recorder.callbacks.empty());
            const Seen& fired = recorder.callbacks.back();
            EXPECT_EQ(fired.number, mapping.callback) << mapping.request << ", result " << result;
            EXPECT_EQ(fired.rc, rc) << mapping.request << ", result " << result;
            EXPECT_EQ(fired.reference, number * 2) << mapping.request;
            ++number;
        }
    }
    EXPECT_TRUE(instance().world.pending.empty());
}

TEST_F(ObjectsAndCells, SuccessfulGetWritesTheRecordBeforeItsCallback) {
    RecordingTable::Socket& world = open_world();
    ASSERT_EQ(kiv_object_get(handle, 31), KIV_RC_SUCCESS);
    receive(world, Message(17)
                       .int32(0)
                       .byte(0)
                       .int32(31)
                       .byte(9)
                       .float32(1.0f)
                       .float32(2.0f)
                       .float32(3.0f)
                       .float32(4.0f)
                       .float32(5.0f)
                       .float32(6.0f)
                       .float32(7.0f)
                       .int32(51)
                       .int32(52)
                       .string("s1")
                       .string("s2")
                       .string("s3")
                       .blob16(kBlob)
                       .float64(0.1)
                       .float64(0.2)
                       .float64(0.3)
                       .bytes());
    ASSERT_EQ(recorder.callbacks.size(), 1u);
    const Seen& got = recorder.callbacks[0];
    EXPECT_EQ(got.rc, KIV_RC_SUCCESS);
    EXPECT_EQ(got.ints[KIV_OBJECT_ID], 31);
    EXPECT_EQ(got.ints[KIV_OBJECT_TYPE], 9);
    EXPECT_EQ(got.floats[KIV_OBJECT_X], 0.1) << "the DOUBLE wins over the FLOAT";
    EXPECT_EQ(got.floats[KIV_OBJECT_Z], 0.3);
    EXPECT_EQ(got.floats[KIV_OBJECT_ROTATION_X], 4.0);
    EXPECT_EQ(got.floats[KIV_OBJECT_ROTATION_ANGLE], 7.0);
    EXPECT_EQ(got.ints[KIV_OBJECT_INT_1], 51);
    EXPECT_EQ(got.ints[KIV_OBJECT_INT_2], 52);
    EXPECT_EQ(got.strings[KIV_OBJECT_STRING_1], "s1");
    EXPECT_EQ(got.strings[KIV_OBJECT_STRING_3], "s2") << "the second string goes to string 4";
    EXPECT_EQ(got.strings[KIV_OBJECT_STRING_2], "s3");
    EXPECT_EQ(got.data, kBlob);
    EXPECT_STREQ(kiv_string(handle, KIV_OBJECT_STRING_1), "s1") << "a get's strings stay";

    // Without the DOUBLEs the widened FLOATs stay.
    ASSERT_EQ(kiv_object_get(handle, 32), KIV_RC_SUCCESS);
    receive(world, Message(17)
                       .int32(1)
                       .byte(0)
                       .int32(32)
                       .byte(1)
                       .float32(0.5f)
                       .float32(0.25f)
                       .float32(0.125f)
                       .float32(0)
                       .float32(0)
                       .float32(0)
                       .float32(0)
                       .int32(0)
                       .int32(0)
                       .string("")
                       .string("")
                       .string("")
                       .blob16("")
                       .bytes());
    ASSERT_EQ(recorder.callbacks.size(), 2u);
    EXPECT_EQ(recorder.callbacks[1].floats[KIV_OBJECT_X], 0.5);
    EXPECT_EQ(recorder.callbacks[1].floats[KIV_OBJECT_Z], 0.125);
    EXPECT_TRUE(recorder.callbacks[1].data_null);

    // A refused get writes nothing, whatever follows the result byte.
    kiv_int_set(handle, KIV_OBJECT_ID, 3);
    ASSERT_EQ(kiv_object_get(handle, 33), KIV_RC_SUCCESS);
    receive(world, Message(17).int32(2).byte(1).int32(33).byte(9).bytes());
    ASSERT_EQ(recorder.callbacks.size(), 3u);
    EXPECT_EQ(recorder.callbacks[2].rc, KIV_RC_OBJECT_GET_REFUSED);
    EXPECT_EQ(kiv_int(handle, KIV_OBJECT_ID), 3);
    EXPECT_EQ(kiv_int(handle, KIV_OBJECT_TYPE), 1);
}

TEST_F(ObjectsAndCells, UnknownOrAnsweredNumbersPrintOneLineAndFireNothing) {
    RecordingTable::Socket& world = open_world();
    testing::internal::CaptureStdout();
    receive(world, Message(17).int32(5).byte(0).int32(1).bytes());
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "Unknown transaction ID 5 with result 0\n");
    EXPECT_TRUE(recorder.callbacks.empty());

    // Answered once; without a handler the outcome is dropped all the same.
    kiv_callback_set(handle, KIV_CALLBACK_OBJECT_DELETE, nullptr);
    ASSERT_EQ(kiv_object_delete(handle, 8), KIV_RC_SUCCESS);
    answer(world, 0, 2);
    EXPECT_TRUE(instance().world.pending.empty());
    testing::internal::CaptureStdout();
    answer(world, 0, 3);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "Unknown transaction ID 0 with result 3\n");
    EXPECT_TRUE(recorder.callbacks.empty());
}

// ---- Object notifications ------------------------------------------------

Bytes object_notice(std::uint8_t type, bool with_doubles) {
    Message message(type);
    message.int32(600)
        .string("first")
        .string("second")
        .string("third")
        .float32(1.5f)
        .float32(2.5f)
        .float32(3.5f)
        .float32(0.0f)
        .float32(1.0f)
        .float32(0.0f)
        .int32(61)
        .int32(62)
        .byte(200)
        .blob16(kBlob)
        .float32(90.0f)
        .int32(14);
    if (with_doubles) message.float64(1.25).float64(2.25).float64(3.25);
    return message.bytes();
}

TEST_F(ObjectsAndCells, ObjectNoticesSwapStringsThreeAndFourAndKeepTheData) {
    RecordingTable::Socket& world = open_world();
    receive(world, object_notice(7, true));
    receive(world, object_notice(11, false));
    ASSERT_EQ(recorder.events.size(), 2u);
    EXPECT_EQ(recorder.events[0].number, KIV_EVENT_OBJECT);
    EXPECT_EQ(recorder.events[1].number, KIV_EVENT_OBJECT_CHANGE);
    for (const Seen& notice : recorder.events) {
        EXPECT_EQ(notice.ints[KIV_OBJECT_ID], 600);
        EXPECT_EQ(notice.strings[KIV_OBJECT_STRING_1], "first");
        EXPECT_EQ(notice.strings[KIV_OBJECT_STRING_3], "second");
        EXPECT_EQ(notice.strings[KIV_OBJECT_STRING_2], "third");
        EXPECT_EQ(notice.floats[KIV_OBJECT_ROTATION_Y], 1.0);
        EXPECT_EQ(notice.ints[KIV_OBJECT_INT_1], 61);
        EXPECT_EQ(notice.ints[KIV_OBJECT_INT_2], 62);
        EXPECT_EQ(notice.ints[KIV_OBJECT_TYPE], 200);
        EXPECT_EQ(notice.data, kBlob);
        EXPECT_EQ(notice.floats[KIV_OBJECT_ROTATION_ANGLE], 90.0);
        EXPECT_EQ(notice.ints[KIV_AVATAR_SESSION], 14);
    }
    EXPECT_EQ(recorder.events[0].floats[KIV_OBJECT_X], 1.25);
    EXPECT_EQ(recorder.events[0].floats[KIV_OBJECT_Z], 3.25);
    EXPECT_EQ(recorder.events[1].floats[KIV_OBJECT_X], 1.5) << "no DOUBLEs: the FLOAT stays";
    EXPECT_EQ(recorder.events[1].floats[KIV_OBJECT_Z], 3.5);

    for (const int index : {KIV_OBJECT_STRING_1, KIV_OBJECT_STRING_2, KIV_OBJECT_STRING_3}) {
        EXPECT_STREQ(kiv_string(handle, index), "") << "string " << index;
    }
    int length = 0;
    const void* data = kiv_data(handle, KIV_OBJECT_DATA, &length);
    ASSERT_NE(data, nullptr);
    EXPECT_EQ(std::string(static_cast<const char*>(data), static_cast<std::size_t>(length)), kBlob);
}

TEST_F(ObjectsAndCells, ShortObjectNoticeKeepsNumbersAndEmptiesDataAndSession) {
    RecordingTable::Socket& world = open_world();
    kiv_int_set(handle, KIV_OBJECT_INT_1, 5);
    kiv_int_set(handle, KIV_OBJECT_TYPE, 6);
    kiv_double_set(handle, KIV_OBJECT_ROTATION_ANGLE, 7.0);
    kiv_int_set(handle, KIV_AVATAR_SESSION, 8);
    kiv_data_set(handle, KIV_OBJECT_DATA, 3, "old");
    receive(world, Message(7).int32(600).string("first").string("second").float32(1.5f).bytes());
    ASSERT_EQ(recorder.events.size(), 1u);
    const Seen& notice = recorder.events[0];
    EXPECT_EQ(notice.ints[KIV_OBJECT_ID], 600);
    EXPECT_EQ(notice.strings[KIV_OBJECT_STRING_1], "first");
    EXPECT_EQ(notice.strings[KIV_OBJECT_STRING_3], "second");
    // The third string's length byte was the float's first byte; nothing
    // after it is read.
    EXPECT_EQ(notice.strings[KIV_OBJECT_STRING_2], "");
    EXPECT_EQ(notice.ints[KIV_OBJECT_INT_1], 5);
    EXPECT_EQ(notice.ints[KIV_OBJECT_TYPE], 6);
    EXPECT_EQ(notice.floats[KIV_OBJECT_ROTATION_ANGLE], 7.0);
    EXPECT_TRUE(notice.data_null);
    EXPECT_EQ(notice.ints[KIV_AVATAR_SESSION], 0);
}

TEST_F(ObjectsAndCells, DeletedClickedAndBumpedObjects) {
    RecordingTable::Socket& world = open_world();
    receive(world, Message(12).int32(600).int32(14).bytes());
    receive(world, Message(12).int32(601).bytes());
    receive(world, Message(16)
                       .int32(15)
                       .string("Eve")
                       .int32(602)
                       .float32(0.5f)
                       .float32(1.5f)
                       .float32(2.5f)
                       .bytes());
    receive(world, Message(33).int32(16).int32(603).bytes());
    receive(world, Message(34).int32(17).int32(604).bytes());
    ASSERT_EQ(recorder.events.size(), 5u);

    EXPECT_EQ(recorder.events[0].number, KIV_EVENT_OBJECT_DELETE);
    EXPECT_EQ(recorder.events[0].ints[KIV_OBJECT_ID], 600);
    EXPECT_EQ(recorder.events[0].ints[KIV_AVATAR_SESSION], 14);
    EXPECT_EQ(recorder.events[1].ints[KIV_OBJECT_ID], 601);
    EXPECT_EQ(recorder.events[1].ints[KIV_AVATAR_SESSION], 0) << "a missing session is 0";

    const Seen& click = recorder.events[2];
    EXPECT_EQ(click.number, KIV_EVENT_OBJECT_CLICK);
    EXPECT_EQ(click.ints[KIV_AVATAR_SESSION], 15);
    EXPECT_EQ(click.strings[KIV_AVATAR_NAME], "Eve");
    EXPECT_EQ(click.ints[KIV_OBJECT_ID], 602);
    EXPECT_EQ(click.floats[KIV_CLICK_HIT_X], 0.5);
    EXPECT_EQ(click.floats[KIV_CLICK_HIT_Z], 2.5);

    EXPECT_EQ(recorder.events[3].number, KIV_EVENT_OBJECT_BUMP_BEGIN);
    EXPECT_EQ(recorder.events[3].ints[KIV_AVATAR_SESSION], 16);
    EXPECT_EQ(recorder.events[3].ints[KIV_OBJECT_ID], 603);
    EXPECT_EQ(recorder.events[4].number, KIV_EVENT_OBJECT_BUMP_END);
    EXPECT_EQ(recorder.events[4].ints[KIV_AVATAR_SESSION], 17);
    EXPECT_EQ(recorder.events[4].ints[KIV_OBJECT_ID], 604);

    // Unlike other notifications the clicker's name outlives the event,
    // until a later notification empties string 0.
    receive(world, Message(33).int32(18).bytes());
    receive(world, Message(34).bytes());
    EXPECT_EQ(recorder.events.size(), 5u) << "a bump without both numbers is dropped";
    EXPECT_STREQ(kiv_string(handle, KIV_AVATAR_NAME), "Eve");
    EXPECT_EQ(kiv_int(handle, KIV_AVATAR_SESSION), 17);

    // A short click keeps the numbers it lacks.
    receive(world, Message(16).int32(19).string("Fay").bytes());
    ASSERT_EQ(recorder.events.size(), 6u);
    EXPECT_EQ(recorder.events[5].ints[KIV_AVATAR_SESSION], 19);
    EXPECT_EQ(recorder.events[5].ints[KIV_OBJECT_ID], 604);
    EXPECT_EQ(recorder.events[5].floats[KIV_CLICK_HIT_Y], 1.5);
}

TEST_F(ObjectsAndCells, CellMessageClosesACellQuery) {
    RecordingTable::Socket& world = open_world();
    receive(world, Message(6).int32(-4).int32(9).int32(12345).byte(250).bytes());
    receive(world, Message(6).int32(3).bytes());
    ASSERT_EQ(recorder.events.size(), 2u);
    EXPECT_EQ(recorder.events[0].number, KIV_EVENT_CELL_END);
    EXPECT_EQ(recorder.events[0].ints[KIV_CELL_X], -4);
    EXPECT_EQ(recorder.events[0].ints[KIV_CELL_Z], 9);
    EXPECT_EQ(recorder.events[0].ints[KIV_CELL_REVISION], 12345);
    EXPECT_EQ(recorder.events[0].ints[KIV_CELL_STATUS], 250);
    // Missing fields are 0, not the previous cell's.
    EXPECT_EQ(recorder.events[1].ints[KIV_CELL_X], 3);
    EXPECT_EQ(recorder.events[1].ints[KIV_CELL_Z], 0);
    EXPECT_EQ(recorder.events[1].ints[KIV_CELL_REVISION], 0);
    EXPECT_EQ(recorder.events[1].ints[KIV_CELL_STATUS], 0);
}

}  // namespace
}  // namespace kivsdk::test
