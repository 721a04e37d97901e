// A traffic capture: the world login's ticket never reaches the file, and
// the size limit ends it. (Decoding a captured session and the masked
// universe login are tested with kivdump.)
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
