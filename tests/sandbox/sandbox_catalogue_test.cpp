// The sandbox and the message catalogue agree: every RunningSandbox holds
// what it sends to the catalogue (catalogue_check.h), so every end-to-end
// scenario of these tests is checked. Here: that the check finds what it
// must, and that one session through a TLS world makes the sandbox send
// every message the catalogue lists from servers.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "catalogue_check.h"
#include "sandbox_bot.h"
#include "wire/universe_messages.h"
#include "wire/world_messages.h"

namespace kivsdk::test {
namespace {

using wire::Protocol;
using Bytes = std::vector<unsigned char>;

std::size_t disagreements_after(const std::string& listener, const Bytes& frame) {
    CatalogueCheck check;
    check.frame(listener, frame.data(), frame.size());
    return check.disagreements().size();
}

TEST(CatalogueCheck, RefusesFramesOffTheirEntryAndLetsOnlyRefusalsEndEarly) {
    const Bytes cell_end = {world_message::kCell, 0, 0, 0, 1, 0, 0, 0, 2, 0, 0, 0, 3, 0};
    EXPECT_EQ(disagreements_after("lobby", frame_of(cell_end)), 0u);
    Bytes longer = cell_end;
    longer.push_back(0);
    EXPECT_EQ(disagreements_after("lobby", frame_of(longer)), 1u);
    EXPECT_EQ(disagreements_after("lobby", frame_of(frame_of(cell_end))), 1u)
        << "a body framed twice";
    Bytes wrong_length = frame_of(cell_end);
    wrong_length.pop_back();
    EXPECT_EQ(disagreements_after("lobby", wrong_length), 1u);
    EXPECT_EQ(disagreements_after("lobby", frame_of({200})), 1u) << "no such message";
    // The same type means another message on the other protocol.
    EXPECT_EQ(disagreements_after("universe", frame_of(cell_end)), 1u);

    // A refused login ends after its value, a refused world entry after its
    // status; nothing else may end early.
    const Bytes refused_login = {universe_message::kLogin, 2, 0, 0, 0, 0};
    EXPECT_EQ(disagreements_after("universe", frame_of(refused_login)), 0u);
    EXPECT_EQ(disagreements_after("universe", frame_of({universe_message::kLogin, 0, 0, 0, 0, 7})),
              1u)
        << "a successful login without its text";
    EXPECT_EQ(disagreements_after("universe", frame_of({universe_message::kLogin, 2, 0, 0})), 1u)
        << "a refusal cut inside its value";
    EXPECT_EQ(disagreements_after("universe", frame_of({universe_message::kWorldEntry, 1})), 0u);
    EXPECT_EQ(disagreements_after("lobby", frame_of({world_message::kCell, 0, 0})), 1u);
}

TEST(SandboxCatalogue, ASessionThroughATlsWorldSendsEveryServerMessage) {
    RunningSandbox sandbox;
    const int port = sandbox.universe_port();
    Bot alice("alice");
    Bot bob("bob");
    ASSERT_EQ(alice.connect_and_login(port), 0);
    ASSERT_EQ(bob.connect_and_login(port), 0);
    Bot twin("alice");
    EXPECT_EQ(twin.connect_and_login(port), KIV_RC_REJECTED);
    EXPECT_EQ(alice.enter("atlantis"), KIV_RC_WORLD_UNAVAILABLE);
    ASSERT_EQ(alice.enter("garden"), 0);
    ASSERT_EQ(bob.enter("garden"), 0);

    // The universe: lists, attributes, friends, an invitation and a join.
    KIVInstance* a = alice.instance();
    KIVInstance* b = bob.instance();
    ASSERT_EQ(kiv_world_list(a, 0), 0);
    ASSERT_EQ(kiv_user_attributes_by_id(a, bob.user_id()), 0);
    ASSERT_EQ(kiv_friend_add_by_name(a, "bob"), 0);
    ASSERT_EQ(kiv_friends_get(a), 0);
    ASSERT_EQ(kiv_invite(a, bob.user_id(), "garden", 1, 2, 3, 4, 5), 0);
    ASSERT_EQ(kiv_join(b, alice.user_id()), 0);

    // The world: both appear, then alice moves, talks, builds and shapes.
    for (KIVInstance* bot : {a, b, a}) ASSERT_EQ(kiv_state_change(bot), 0);
    ASSERT_TRUE(
        pump_until({&alice, &bob}, [&] { return alice.count_events(KIV_EVENT_AVATAR_ADD) == 1; }));
    const int to_bob = alice.events(KIV_EVENT_AVATAR_ADD)[0].at.i(KIV_AVATAR_SESSION);
    ASSERT_EQ(kiv_say(a, "hello"), 0);
    kiv_string_set(a, KIV_OBJECT_STRING_1, "tree.rwx");
    const Seen added = answer_of({&alice, &bob}, alice, KIV_CALLBACK_OBJECT_ADD,
                                 [&] { return kiv_object_add(a); });
    ASSERT_EQ(added.rc, 0);
    const int object = added.at.i(KIV_OBJECT_ID);
    ASSERT_EQ(kiv_object_change(a), 0);
    ASSERT_EQ(kiv_object_get(a, object), 0);
    ASSERT_EQ(kiv_query_cell(a, 0, 0), 0);
    ASSERT_EQ(kiv_object_delete(a, object), 0);
    ASSERT_EQ(kiv_console_message(a, to_bob, "System", "psst", 0, 1, 2, 3), 0);
    ASSERT_EQ(kiv_avatar_click(a, to_bob), 0);
    ASSERT_EQ(kiv_object_click(a, object, to_bob, 1, 2, 3), 0);
    ASSERT_EQ(kiv_object_bump_begin(a, object, to_bob), 0);
    ASSERT_EQ(kiv_object_bump_end(a, object, to_bob), 0);
    ASSERT_EQ(kiv_teleport_avatar(a, to_bob, "lobby", 1, 2, 3, 4, 5), 0);
    ASSERT_EQ(kiv_url_send(a, to_bob, "https://example.invalid/", 1), 0);
    const KIVTerrainCell cells[64] = {};
    const int revisions[16] = {-1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1};
    ASSERT_EQ(kiv_terrain_node_set(a, 0, 0, 1, 1, cells), 0);
    ASSERT_EQ(kiv_terrain_query(a, 0, 0, revisions), 0);
    ASSERT_EQ(kiv_world_permissions_get_my(a), 0);
    ASSERT_EQ(kiv_world_setting_set(a, "sky", "green", 0), 0);

    ASSERT_TRUE(pump_until({&alice, &bob}, [&] { return bob.count_events(KIV_EVENT_URL) == 1; }));
    ASSERT_EQ(kiv_leave(b), 0);

    // Every message from servers but the keep-alive, which the sandbox
    // never sends.
    std::vector<const wire::MessageSpec*> expected;
    for (const wire::MessageSpec* m = wire::catalogue_begin(); m != wire::catalogue_end(); ++m) {
        if (m->direction == wire::Direction::kFromServer && std::string(m->name) != "keep-alive")
            expected.push_back(m);
    }
    EXPECT_TRUE(pump_until({&alice}, [&] {
        for (const wire::MessageSpec* m : expected) {
            if (sandbox.sent().seen(m->protocol, m->type) == 0) return false;
        }
        return true;
    }));
    for (const wire::MessageSpec* m : expected) {
        EXPECT_GT(sandbox.sent().seen(m->protocol, m->type), 0u)
            << (m->protocol == Protocol::kUniverse ? "universe " : "world ") << m->name;
    }
    EXPECT_EQ(sandbox.sent().disagreements(), std::vector<std::string>{});
}

}  // namespace
}  // namespace kivsdk::test
