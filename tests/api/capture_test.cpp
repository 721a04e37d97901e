// A traffic capture holds every frame both ways, decodable by the message
// catalogue, and never a credential.
#include <cstdio>
#include <fstream>
#include <iterator>
#include <string>

#include "support/session_fixture.h"
#include "wire/byte_order.h"
#include "wire/message_catalogue.h"

namespace kivsdk::test {
namespace {

struct Record {
    int side, direction;
    std::string text;  // the catalogue's description
    Bytes body;
};

std::vector<Record> read_capture(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    const Bytes file((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    EXPECT_GE(file.size(), 16u);
    EXPECT_EQ(std::string(file.begin(), file.begin() + 6), "KIVCAP");
    EXPECT_EQ(wire::load_u16(file.data() + 6), 1) << "format version";
    std::vector<Record> records;
    std::size_t at = 16;
    while (at + 12 <= file.size()) {
        const std::size_t size = wire::load_u16(file.data() + at + 10);
        Record record{file[at + 8], file[at + 9], "", Bytes()};
        record.body.assign(file.begin() + static_cast<long>(at + 12),
                           file.begin() + static_cast<long>(at + 12 + size));
        wire::describe(
            record.side == 0 ? wire::Protocol::kUniverse : wire::Protocol::kWorld,
            record.direction == 0 ? wire::Direction::kToServer : wire::Direction::kFromServer,
            record.body.data(), record.body.size(), record.text);
        records.push_back(record);
        at += 12 + size;
    }
    EXPECT_EQ(at, file.size()) << "no partial record";
    return records;
}

class Capturing : public SessionTest {
protected:
    std::string path = ::testing::TempDir() + "kivsdk-capture-test.kivcap";
    void TearDown() override {
        SessionTest::TearDown();
        std::remove(path.c_str());
    }
};

TEST_F(Capturing, FramesOfBothSidesAndDirectionsWithTheCredentialsMasked) {
    RecordingTable::Socket& universe = open_universe();
    ASSERT_EQ(kiv_capture_start(handle, path.c_str(), 0), KIV_RC_SUCCESS);
    kiv_string_set(handle, KIV_LOGIN_EXTRA_1, "token-19");
    kiv_callback_set(handle, KIV_CALLBACK_LOGIN, [](KIVInstance*, int, int) {});
    ASSERT_EQ(kiv_login(handle, "ann", "hunter2", "third"), KIV_RC_SUCCESS);
    receive(universe, Message(1).byte(0).int32(5).string("hi ann").bytes());
    RecordingTable::Socket& world = open_world();
    receive(world, Message(9).string("Bob").string("hello").int32(2).bytes());
    ASSERT_EQ(kiv_say(handle, "hi bob"), KIV_RC_SUCCESS);
    ASSERT_EQ(kiv_capture_stop(handle), KIV_RC_SUCCESS);
    ASSERT_EQ(kiv_say(handle, "not captured"), KIV_RC_SUCCESS);

    const std::vector<Record> records = read_capture(path);
    std::vector<std::string> seen;
    for (const Record& record : records) {
        seen.push_back(std::to_string(record.side) + std::to_string(record.direction) + " " +
                       record.text);
    }
    EXPECT_EQ(seen, (std::vector<std::string>{
                        "00 login version=1 name=\"XXX\" password=\"XXXXXXX\" extra=\"XXXXX\" "
                        "extra_1=\"XXXXXXXX\" extra_2=\"\"",
                        "01 login reply result=0 value=5 text=\"hi ann\"",
                        "11 chat name=\"Bob\" text=\"hello\" session=2 console=<0 bytes>",
                        "10 say text=\"hi bob\"",
                    }));
    std::ifstream in(path, std::ios::binary);
    const std::string file((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    for (const char* secret : {"hunter2", "token-19", "ann\x07"}) {
        EXPECT_EQ(file.find(secret), std::string::npos) << secret;
    }
}

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
    const std::vector<Record> records = read_capture(path);
    ASSERT_FALSE(records.empty());
    const Record& login = records.back();
    EXPECT_EQ(login.side, 1);
    Bytes expected(1, 1);
    expected.insert(expected.end(), 32, 'X');
    expected.insert(expected.end(), {0, 0});  // strings 19 and 20, empty
    EXPECT_EQ(login.body, expected);
}

}  // namespace
}  // namespace kivsdk::test
