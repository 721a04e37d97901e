// The sessions and the message catalogue agree: every message the library
// sends has exactly the catalogue's fields, and the dispatchers handle
// exactly the catalogue's messages from servers.
#include <string>

#include "support/session_fixture.h"
#include "universe/universe_session.h"
#include "wire/message_catalogue.h"
#include "world/world_session.h"

namespace kivsdk::test {
namespace {

using wire::Direction;
using wire::Protocol;

class CatalogueAgreement : public SessionTest {
protected:
    // Every frame sent on the socket since the last call matches its entry.
    void expect_exact(RecordingTable::Socket& socket, Protocol protocol, int expected_frames) {
        const std::vector<Bytes> frames = sent(socket);
        EXPECT_EQ(static_cast<int>(frames.size()), expected_frames);
        for (const Bytes& body : frames) {
            std::string text;
            EXPECT_EQ(
                wire::describe(protocol, Direction::kToServer, body.data(), body.size(), text),
                wire::Fit::kExact)
                << text;
        }
    }
};

TEST_F(CatalogueAgreement, EveryUniverseRequestHasTheCatalogueFields) {
    RecordingTable::Socket& universe = open_universe();
    kiv_string_set(handle, KIV_LOGIN_EXTRA_1, "one");
    int sent_requests = 0;
    auto expect_sent = [&](int rc) {
        EXPECT_EQ(rc, KIV_RC_SUCCESS);
        ++sent_requests;
    };
    kiv_callback_set(handle, KIV_CALLBACK_LOGIN, [](KIVInstance*, int, int) {});
    kiv_callback_set(handle, KIV_CALLBACK_ENTER, [](KIVInstance*, int, int) {});
    expect_sent(kiv_login(handle, "name", "password", "extra"));
    expect_sent(kiv_enter(handle, "plaza"));
    expect_sent(kiv_world_list(handle, 3));
    expect_sent(kiv_user_attributes_by_id(handle, 8));
    expect_sent(kiv_friends_get(handle));
    expect_sent(kiv_friend_add_by_name(handle, "Bob"));
    expect_sent(kiv_friend_delete(handle, 4));
    expect_sent(kiv_join(handle, 5));
    expect_sent(kiv_join_accept(handle, 6, "plaza", 1, 2, 3, 4, 5));
    expect_sent(kiv_join_decline(handle, 6));
    expect_sent(kiv_invite(handle, 7, "plaza", 1, 2, 3, 4, 5));
    expect_sent(kiv_invite_accept(handle, 8));
    expect_sent(kiv_invite_decline(handle, 8));
    expect_exact(universe, Protocol::kUniverse, sent_requests);
}

TEST_F(CatalogueAgreement, EveryWorldRequestHasTheCatalogueFields) {
    RecordingTable::Socket& world = open_world();
    kiv_string_set(handle, KIV_OBJECT_STRING_1, "tree.rwx");
    const char blob[] = {1, 2, 3};
    kiv_data_set(handle, KIV_OBJECT_DATA, static_cast<int>(sizeof blob), blob);
    const int revisions[16] = {};
    const KIVTerrainCell cells[64] = {};
    const int results[] = {
        kiv_state_change(handle),
        kiv_say(handle, "hello"),
        kiv_object_add(handle),
        kiv_object_change(handle),
        kiv_object_delete(handle, 3),
        kiv_object_load(handle),
        kiv_object_get(handle, 3),
        kiv_object_click(handle, 3, 2, 1, 2, 3),
        kiv_object_bump_begin(handle, 3, 2),
        kiv_object_bump_end(handle, 3, 2),
        kiv_query_cell(handle, 1, 2),
        kiv_query_cell_revision(handle, 1, 2, 3),
        kiv_terrain_query(handle, 1, 2, revisions),
        kiv_terrain_node_set(handle, 1, 2, 3, 0, cells),
        kiv_world_permission_user_set(handle, "build", 5, 1),
        kiv_world_permission_session_set(handle, "build", 6, 0),
        kiv_world_permissions_get_all(handle),
        kiv_world_permissions_get_by_user(handle, 5),
        kiv_world_permissions_get_my(handle),
        kiv_world_setting_set(handle, "name", "value", 0),
        kiv_teleport_avatar(handle, 2, "plaza", 1, 2, 3, 4, 5),
        kiv_url_send(handle, 2, "https://example.test/", 1),
        kiv_console_message(handle, 2, "host", "welcome", 1, 2, 3, 4),
        kiv_avatar_click(handle, 2),
    };
    for (const int rc : results) EXPECT_EQ(rc, KIV_RC_SUCCESS);
    expect_exact(world, Protocol::kWorld, static_cast<int>(std::size(results)));
}

TEST(CatalogueDispatch, DispatchersHandleExactlyTheCatalogueMessagesFromServers) {
    for (int type = 0; type < 256; ++type) {
        const auto byte = static_cast<std::uint8_t>(type);
        EXPECT_EQ(universe_dispatch_table().handles(byte),
                  wire::find_message(Protocol::kUniverse, Direction::kFromServer, byte) != nullptr)
            << "universe type " << type;
        EXPECT_EQ(world_dispatch_table().handles(byte),
                  wire::find_message(Protocol::kWorld, Direction::kFromServer, byte) != nullptr)
            << "world type " << type;
    }
}

}  // namespace
}  // namespace kivsdk::test
