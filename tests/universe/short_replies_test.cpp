// Replies cut short by a server: fields after the first cut one keep their
// defaults, and a reply missing what it must carry is no success.
#include <string>

#include "support/session_fixture.h"

namespace kivsdk::test {
namespace {

std::vector<int> results;
void record_result(KIVInstance*, int rc, int) { results.push_back(rc); }

class ShortReplies : public SessionTest {
protected:
    void SetUp() override {
        SessionTest::SetUp();
        results.clear();
        kiv_callback_set(handle, KIV_CALLBACK_LOGIN, record_result);
        kiv_callback_set(handle, KIV_CALLBACK_ENTER, record_result);
        open_universe();
    }
};

TEST_F(ShortReplies, LoginReplyWithoutItsResultIsRefused) {
    ASSERT_EQ(kiv_login(handle, "name", "password", ""), 0);
    receive(*universe_socket, Message(1).bytes());
    EXPECT_EQ(results, (std::vector<int>{KIV_RC_REQUEST_FAILED}));
}

TEST_F(ShortReplies, EntryReplyCutBeforeItsAddressOpensNothing) {
    const std::size_t sockets = net.sockets.size();
    for (const Bytes& reply : {Message(2).bytes(), Message(2).byte(0).raw(Bytes(20, 1)).bytes(),
                               Message(2).byte(0).raw(Bytes(32, 1)).raw({127, 0}).bytes()}) {
        ASSERT_EQ(kiv_enter(handle, "plaza"), 0);
        receive(*universe_socket, reply);
    }
    EXPECT_EQ(results, (std::vector<int>(3, KIV_RC_WORLD_UNAVAILABLE)));
    EXPECT_EQ(net.sockets.size(), sockets) << "no world Connection was opened";
    EXPECT_EQ(instance().world_ticket(), (std::array<unsigned char, 32>{}))
        << "no ticket taken from a cut reply";
}

TEST_F(ShortReplies, FieldsAfterACutOneKeepTheirDefaults) {
    int world_value = -1;
    kiv_event_set(handle, KIV_EVENT_WORLD_LIST, [](KIVInstance* instance) {
        *static_cast<int*>(kiv_user_data(instance)) = kiv_int(instance, KIV_WORLD_VALUE);
    });
    kiv_user_data_set(handle, &world_value);
    // State 1, then a name announcing 20 bytes of which 6 arrive: the bytes
    // after the cut are no value.
    receive(*universe_socket,
            Message(3).byte(1).byte(20).raw({0x12, 0x34, 0x56, 0x78, 'a', 'b'}).bytes());
    EXPECT_EQ(world_value, 0);
    EXPECT_EQ(kiv_int(handle, KIV_WORLD_STATE), 1) << "the field before the cut is read";
}

}  // namespace
}  // namespace kivsdk::test
