// A traffic capture: the world ticket never reaches the file, neither in the
// universe's entry reply nor in the world login, and the size limit ends it.
// (Decoding a captured session and the masked universe login are tested
// with kivdump.)
#include <algorithm>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <string>

#include "support/session_fixture.h"
#include "support/temp_path.h"
#include "wire/capture_file.h"

namespace kivsdk::test {
namespace {

// Every record of a capture file, read with the library's own reader.
std::vector<wire::CaptureRecord> read_capture(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    const Bytes file((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    wire::CaptureParser parser(file.data(), file.size());
    EXPECT_TRUE(parser.read_header()) << parser.error();
    EXPECT_EQ(parser.version(), wire::kCaptureVersion);
    std::vector<wire::CaptureRecord> records;
    for (wire::CaptureRecord record; parser.next(record);) records.push_back(record);
    EXPECT_EQ(parser.error(), "") << "no partial record";
    return records;
}

class Capturing : public SessionTest {
protected:
    std::string path = temp_path_for_this_test(".kivcap");
    void TearDown() override {
        SessionTest::TearDown();
        std::remove(path.c_str());
    }
};

TEST_F(Capturing, AWorldLoginsTicketIsMaskedAndTheSizeLimitEndsTheCapture) {
    EXPECT_EQ(kiv_capture_start(handle, "", 0), KIV_RC_INVALID_ARGUMENT);
    EXPECT_EQ(kiv_capture_start(handle, path.c_str(), -1), KIV_RC_INVALID_ARGUMENT);
    EXPECT_EQ(kiv_capture_start(handle, "/nonexistent-dir/x.kivcap", 0), KIV_RC_CONNECTION_ERROR);
    open_universe();
    RecordingTable::Socket& world = open_world();
    ASSERT_EQ(kiv_capture_start(handle, path.c_str(), 16 + 12 + 8), KIV_RC_SUCCESS);
    receive(world, Message(9).string("a").string("b").int32(1).bytes());  // 11 bytes: no room
    ASSERT_EQ(kiv_say(handle, "hey"), KIV_RC_SUCCESS);
    ASSERT_EQ(kiv_capture_stop(handle), KIV_RC_SUCCESS);
    EXPECT_TRUE(read_capture(path).empty()) << "nothing past the limit";

    ASSERT_EQ(kiv_capture_start(handle, path.c_str(), 0), KIV_RC_SUCCESS);
    kiv_callback_set(handle, KIV_CALLBACK_ENTER, [](KIVInstance*, int, int) {});
    ASSERT_EQ(kiv_enter(handle, "plaza"), KIV_RC_SUCCESS);
    Bytes ticket(32, 0x5a);
    receive(*universe_socket,
            Message(2).byte(0).raw(ticket).raw({127, 0, 0, 1}).uint16(7000).bytes());
    net.post(net.last_socket(), KIV_NET_CONNECT_RESULT, 0);
    kiv_destroy(handle);  // ends the capture as well
    handle = nullptr;
    const std::vector<wire::CaptureRecord> records = read_capture(path);
    ASSERT_FALSE(records.empty());
    const wire::CaptureRecord& login = records.back();
    EXPECT_EQ(login.side, 1);
    EXPECT_EQ(login.kind, wire::CaptureKind::kToServer);
    Bytes expected(1, 1);
    expected.insert(expected.end(), 32, 'X');
    expected.insert(expected.end(), {0, 0});  // strings 19 and 20, empty
    EXPECT_EQ(login.body, expected);
    const auto reply = std::find_if(records.begin(), records.end(), [](const auto& record) {
        return record.kind == wire::CaptureKind::kFromServer && record.body.at(0) == 2;
    });
    ASSERT_NE(reply, records.end());
    Bytes masked_reply{2, 0};
    masked_reply.insert(masked_reply.end(), 32, 'X');
    masked_reply.insert(masked_reply.end(), {127, 0, 0, 1, 0x1b, 0x58});  // address and port kept
    EXPECT_EQ(reply->body, masked_reply);
}

}  // namespace
}  // namespace kivsdk::test
