// The worlds of the sandbox, end to end through the library with several
// bots at a time: what one bot does, the others see.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <string>

#include "sandbox_bot.h"

namespace kivsdk::test {
namespace {

// Three users in one world; alice enters first and owns it.
class SandboxWorld : public ::testing::TestWithParam<const char*> {
protected:
    RunningSandbox sandbox;
    Bot alice{"alice"};
    Bot bob{"bob"};
    Bot carol{"carol"};

    void SetUp() override {
        for (Bot* bot : {&alice, &bob, &carol}) {
            ASSERT_EQ(bot->connect_and_login(sandbox.universe_port()), 0) << bot->name();
            ASSERT_EQ(bot->enter(GetParam()), 0) << bot->name();
        }
        for (Bot* bot : {&alice, &bob, &carol}) show(*bot, 1.0f * bot->user_id());
        // Everyone sees the two others appear.
        ASSERT_TRUE(pump_until({&alice, &bob, &carol}, [&] {
            return alice.count_events(KIV_EVENT_AVATAR_ADD) == 2 &&
                   bob.count_events(KIV_EVENT_AVATAR_ADD) == 2 &&
                   carol.count_events(KIV_EVENT_AVATAR_ADD) == 2;
        }));
    }

    static void show(Bot& bot, float x) {
        kiv_double_set(bot.instance(), KIV_MY_X, x);
        kiv_double_set(bot.instance(), KIV_MY_Y, 0.5);
        kiv_double_set(bot.instance(), KIV_MY_Z, -2.0);
        kiv_double_set(bot.instance(), KIV_MY_YAW, 90.0);
        kiv_double_set(bot.instance(), KIV_MY_PITCH, 15.0);
        kiv_int_set(bot.instance(), KIV_MY_TYPE, 3);
        ASSERT_EQ(kiv_state_change(bot.instance()), 0);
    }

    // The session of `who` as `observer` saw it appear.
    static int session_of(const Bot& observer, const std::string& who) {
        for (const Seen& seen : observer.events(KIV_EVENT_AVATAR_ADD)) {
            if (seen.at.s(KIV_AVATAR_NAME) == who) return seen.at.i(KIV_AVATAR_SESSION);
        }
        return -1;
    }

    void pump_all(int passes = 20) { pump({&alice, &bob, &carol}, passes); }

    static void describe_object(Bot& bot, const char* model, double x, double z) {
        KIVInstance* i = bot.instance();
        kiv_int_set(i, KIV_OBJECT_TYPE, 2);
        kiv_double_set(i, KIV_OBJECT_X, x);
        kiv_double_set(i, KIV_OBJECT_Y, 1.25);
        kiv_double_set(i, KIV_OBJECT_Z, z);
        kiv_double_set(i, KIV_OBJECT_ROTATION_Y, 1.0);
        kiv_double_set(i, KIV_OBJECT_ROTATION_ANGLE, 45.0);
        kiv_string_set(i, KIV_OBJECT_STRING_1, model);
        kiv_string_set(i, KIV_OBJECT_STRING_2, "a description");
        kiv_string_set(i, KIV_OBJECT_STRING_3, "an action");
        kiv_data_set(i, KIV_OBJECT_DATA, 4, "\x01\x00\x02\x03");
    }

    Seen add_object(Bot& bot, const char* model, double x, double z) {
        describe_object(bot, model, x, z);
        return answer_of({&alice, &bob, &carol}, bot, KIV_CALLBACK_OBJECT_ADD,
                         [&] { return kiv_object_add(bot.instance()); });
    }
};

INSTANTIATE_TEST_SUITE_P(PlainAndTls, SandboxWorld, ::testing::Values("lobby", "garden"));

TEST_P(SandboxWorld, SettingsArriveAtEntryThenTheirEnd) {
    ASSERT_TRUE(pump_until({&alice},
                           [&] { return alice.count_events(KIV_EVENT_WORLD_SETTINGS_END) == 1; }));
    const auto settings = alice.events(KIV_EVENT_WORLD_SETTING);
    ASSERT_FALSE(settings.empty());
    bool titled = false;
    for (const Seen& seen : settings) {
        titled = titled || (seen.at.s(KIV_WORLD_SETTING_NAME) == "title" &&
                            seen.at.s(KIV_WORLD_SETTING_VALUE) == GetParam());
    }
    EXPECT_TRUE(titled);
    ASSERT_EQ(alice.count_events(KIV_EVENT_WORLD_SETTINGS_END), 1u);
    // The end comes after the last setting.
    std::size_t last_setting = 0, end = 0;
    for (std::size_t k = 0; k < alice.seen().size(); ++k) {
        if (alice.seen()[k].callback) continue;
        if (alice.seen()[k].number == KIV_EVENT_WORLD_SETTING) last_setting = k;
        if (alice.seen()[k].number == KIV_EVENT_WORLD_SETTINGS_END) end = k;
    }
    EXPECT_GT(end, last_setting);
}

TEST_P(SandboxWorld, AvatarsAreAnnouncedMovedAndRemoved) {
    const Seen added = bob.events(KIV_EVENT_AVATAR_ADD)[0];
    const std::string first = added.at.s(KIV_AVATAR_NAME);
    const Bot& shown = first == "alice" ? alice : carol;
    EXPECT_EQ(added.at.i(KIV_USER_ID), shown.user_id());
    EXPECT_DOUBLE_EQ(added.at.f(KIV_AVATAR_X), 1.0 * shown.user_id());
    EXPECT_DOUBLE_EQ(added.at.f(KIV_AVATAR_Y), 0.5);
    EXPECT_DOUBLE_EQ(added.at.f(KIV_AVATAR_YAW), 90.0);
    EXPECT_DOUBLE_EQ(added.at.f(KIV_AVATAR_PITCH), 15.0);
    EXPECT_EQ(added.at.i(KIV_AVATAR_TYPE), 3);
    EXPECT_NE(session_of(bob, "alice"), session_of(bob, "carol"));

    // A move is a change, not a second arrival.
    show(alice, 50.0f);
    ASSERT_TRUE(pump_until({&alice, &bob, &carol}, [&] {
        return bob.count_events(KIV_EVENT_AVATAR_CHANGE) == 1 &&
               carol.count_events(KIV_EVENT_AVATAR_CHANGE) == 1;
    }));
    const Seen moved = bob.events(KIV_EVENT_AVATAR_CHANGE)[0];
    EXPECT_EQ(moved.at.s(KIV_AVATAR_NAME), "alice");
    EXPECT_EQ(moved.at.i(KIV_AVATAR_SESSION), session_of(bob, "alice"));
    EXPECT_DOUBLE_EQ(moved.at.f(KIV_AVATAR_X), 50.0);
    EXPECT_EQ(alice.count_events(KIV_EVENT_AVATAR_CHANGE), 0u);  // not to oneself
    EXPECT_EQ(bob.count_events(KIV_EVENT_AVATAR_ADD), 2u);

    ASSERT_EQ(kiv_leave(alice.instance()), 0);
    ASSERT_TRUE(pump_until({&bob, &carol}, [&] {
        return bob.count_events(KIV_EVENT_AVATAR_DELETE) == 1 &&
               carol.count_events(KIV_EVENT_AVATAR_DELETE) == 1;
    }));
    EXPECT_EQ(bob.events(KIV_EVENT_AVATAR_DELETE)[0].at.s(KIV_AVATAR_NAME), "alice");
    EXPECT_EQ(bob.events(KIV_EVENT_AVATAR_DELETE)[0].at.i(KIV_AVATAR_SESSION),
              session_of(bob, "alice"));

    // Coming back, alice is told about everyone who is already there.
    alice.forget();
    ASSERT_EQ(alice.enter(GetParam()), 0);
    ASSERT_TRUE(
        pump_until({&alice}, [&] { return alice.count_events(KIV_EVENT_AVATAR_ADD) == 2; }));
}

TEST_P(SandboxWorld, LoginStringsTravelWithTheAvatar) {
    Bot dave("dave");
    kiv_string_set(dave.instance(), KIV_LOGIN_EXTRA_1, "robot");
    kiv_string_set(dave.instance(), KIV_LOGIN_EXTRA_2, "v2");
    ASSERT_EQ(dave.connect_and_login(sandbox.universe_port()), 0);
    ASSERT_EQ(dave.enter(GetParam()), 0);
    show(dave, 7.0f);
    ASSERT_TRUE(
        pump_until({&alice, &dave}, [&] { return alice.count_events(KIV_EVENT_AVATAR_ADD) == 3; }));
    const Seen arrived = alice.events(KIV_EVENT_AVATAR_ADD)[2];
    EXPECT_EQ(arrived.at.s(KIV_AVATAR_NAME), "dave");
    EXPECT_EQ(arrived.at.s(KIV_AVATAR_STRING_1), "robot");
    EXPECT_EQ(arrived.at.s(KIV_AVATAR_STRING_2), "v2");
}

TEST_P(SandboxWorld, ChatGoesToEveryoneElseAndConsoleLinesToOneSession) {
    ASSERT_EQ(kiv_say(alice.instance(), "hello, world"), 0);
    ASSERT_TRUE(pump_until({&alice, &bob, &carol}, [&] {
        return bob.count_events(KIV_EVENT_CHAT) == 1 && carol.count_events(KIV_EVENT_CHAT) == 1;
    }));
    const Seen line = bob.events(KIV_EVENT_CHAT)[0];
    EXPECT_EQ(line.at.s(KIV_CHAT_MESSAGE), "hello, world");
    EXPECT_EQ(line.at.s(KIV_AVATAR_NAME), "alice");
    EXPECT_EQ(line.at.i(KIV_AVATAR_SESSION), session_of(bob, "alice"));
    EXPECT_EQ(line.at.i(KIV_CHAT_TYPE), 0);
    EXPECT_EQ(alice.count_events(KIV_EVENT_CHAT), 0u);

    ASSERT_EQ(kiv_console_message(alice.instance(), session_of(alice, "bob"), "System",
                                  "for bob only", 1, 255, 0, 128),
              0);
    ASSERT_TRUE(
        pump_until({&alice, &bob, &carol}, [&] { return bob.count_events(KIV_EVENT_CHAT) == 2; }));
    const Seen console = bob.events(KIV_EVENT_CHAT)[1];
    EXPECT_EQ(console.at.i(KIV_CHAT_TYPE), 1);
    EXPECT_EQ(console.at.s(KIV_AVATAR_NAME), "System");
    EXPECT_EQ(console.at.s(KIV_CHAT_MESSAGE), "for bob only");
    EXPECT_EQ(console.at.i(KIV_CHAT_EFFECTS), 1);
    EXPECT_EQ(console.at.i(KIV_CHAT_COLOR_RED), 255);
    EXPECT_EQ(console.at.i(KIV_CHAT_COLOR_BLUE), 128);
    pump_all();
    EXPECT_EQ(carol.count_events(KIV_EVENT_CHAT), 1u);
}

TEST_P(SandboxWorld, ObjectsAreAddedSeenChangedFetchedAndDeleted) {
    kiv_int_set(alice.instance(), KIV_REFERENCE_NUMBER, 31);
    const Seen added = add_object(alice, "tree.rwx", 12.5, -3.0);
    ASSERT_EQ(added.rc, 0);
    EXPECT_EQ(added.reference, 31);
    const int id = added.at.i(KIV_OBJECT_ID);
    EXPECT_GT(id, 0);

    ASSERT_TRUE(pump_until({&alice, &bob, &carol},
                           [&] { return bob.count_events(KIV_EVENT_OBJECT) == 1; }));
    const Seen seen = bob.events(KIV_EVENT_OBJECT)[0];
    EXPECT_EQ(seen.at.i(KIV_OBJECT_ID), id);
    EXPECT_EQ(seen.at.s(KIV_OBJECT_STRING_1), "tree.rwx");
    EXPECT_EQ(seen.at.s(KIV_OBJECT_STRING_2), "a description");
    EXPECT_EQ(seen.at.s(KIV_OBJECT_STRING_3), "an action");
    EXPECT_EQ(seen.at.data[KIV_OBJECT_DATA], std::string("\x01\x00\x02\x03", 4));
    EXPECT_DOUBLE_EQ(seen.at.f(KIV_OBJECT_X), 12.5);
    EXPECT_DOUBLE_EQ(seen.at.f(KIV_OBJECT_Z), -3.0);
    EXPECT_DOUBLE_EQ(seen.at.f(KIV_OBJECT_ROTATION_ANGLE), 45.0);
    EXPECT_EQ(seen.at.i(KIV_OBJECT_TYPE), 2);
    EXPECT_EQ(seen.at.i(KIV_OBJECT_INT_1), alice.user_id());  // the owner
    EXPECT_EQ(seen.at.i(KIV_AVATAR_SESSION), session_of(bob, "alice"));

    // Only the owner (or an admin) may change it; bob is neither.
    describe_object(bob, "bush.rwx", 12.5, -3.0);
    kiv_int_set(bob.instance(), KIV_OBJECT_ID, id);
    EXPECT_EQ(answer_of({&alice, &bob, &carol}, bob, KIV_CALLBACK_OBJECT_CHANGE,
                        [&] { return kiv_object_change(bob.instance()); })
                  .rc,
              KIV_RC_DENIED);
    EXPECT_EQ(answer_of({&alice, &bob, &carol}, bob, KIV_CALLBACK_OBJECT_DELETE,
                        [&] { return kiv_object_delete(bob.instance(), id); })
                  .rc,
              KIV_RC_DENIED);

    describe_object(alice, "oak.rwx", 13.0, -3.0);
    kiv_int_set(alice.instance(), KIV_OBJECT_ID, id);
    const Seen changed = answer_of({&alice, &bob, &carol}, alice, KIV_CALLBACK_OBJECT_CHANGE,
                                   [&] { return kiv_object_change(alice.instance()); });
    EXPECT_EQ(changed.rc, 0);
    EXPECT_EQ(changed.at.i(KIV_OBJECT_ID), id);
    ASSERT_TRUE(pump_until({&alice, &bob, &carol},
                           [&] { return carol.count_events(KIV_EVENT_OBJECT_CHANGE) == 1; }));
    EXPECT_EQ(carol.events(KIV_EVENT_OBJECT_CHANGE)[0].at.s(KIV_OBJECT_STRING_1), "oak.rwx");
    EXPECT_DOUBLE_EQ(carol.events(KIV_EVENT_OBJECT_CHANGE)[0].at.f(KIV_OBJECT_X), 13.0);

    const Seen got = answer_of({&alice, &bob, &carol}, carol, KIV_CALLBACK_OBJECT_GET,
                               [&] { return kiv_object_get(carol.instance(), id); });
    EXPECT_EQ(got.rc, 0);
    EXPECT_EQ(got.at.i(KIV_OBJECT_ID), id);
    EXPECT_EQ(got.at.s(KIV_OBJECT_STRING_1), "oak.rwx");
    EXPECT_EQ(got.at.s(KIV_OBJECT_STRING_2), "a description");
    EXPECT_EQ(got.at.s(KIV_OBJECT_STRING_3), "an action");
    EXPECT_DOUBLE_EQ(got.at.f(KIV_OBJECT_Y), 1.25);
    EXPECT_EQ(got.at.i(KIV_OBJECT_INT_1), alice.user_id());

    const Seen deleted = answer_of({&alice, &bob, &carol}, alice, KIV_CALLBACK_OBJECT_DELETE,
                                   [&] { return kiv_object_delete(alice.instance(), id); });
    EXPECT_EQ(deleted.rc, 0);
    ASSERT_TRUE(pump_until({&alice, &bob, &carol},
                           [&] { return bob.count_events(KIV_EVENT_OBJECT_DELETE) == 1; }));
    EXPECT_EQ(bob.events(KIV_EVENT_OBJECT_DELETE)[0].at.i(KIV_OBJECT_ID), id);
    EXPECT_EQ(bob.events(KIV_EVENT_OBJECT_DELETE)[0].at.i(KIV_AVATAR_SESSION),
              session_of(bob, "alice"));

    // Gone: fetching fails, deleting again fails.
    EXPECT_EQ(answer_of({&alice, &bob, &carol}, carol, KIV_CALLBACK_OBJECT_GET,
                        [&] { return kiv_object_get(carol.instance(), id); })
                  .rc,
              KIV_RC_OBJECT_GET_REFUSED);
    EXPECT_EQ(answer_of({&alice, &bob, &carol}, alice, KIV_CALLBACK_OBJECT_DELETE,
                        [&] { return kiv_object_delete(alice.instance(), id); })
                  .rc,
              KIV_RC_REQUEST_FAILED);
}

TEST_P(SandboxWorld, ObjectRequestsThatAreRefused) {
    // A description without a model is rejected.
    EXPECT_EQ(add_object(bob, "", 0, 0).rc, KIV_RC_REJECTED);
    // Loading needs "admin": bob is refused, alice owns the world.
    describe_object(bob, "statue.rwx", 1, 1);
    EXPECT_EQ(answer_of({&alice, &bob, &carol}, bob, KIV_CALLBACK_OBJECT_LOAD,
                        [&] { return kiv_object_load(bob.instance()); })
                  .rc,
              KIV_RC_DENIED);
    describe_object(alice, "statue.rwx", 1, 1);
    kiv_int_set(alice.instance(), KIV_OBJECT_INT_1, 4242);
    kiv_int_set(alice.instance(), KIV_OBJECT_INT_2, 1700000000);
    const Seen loaded = answer_of({&alice, &bob, &carol}, alice, KIV_CALLBACK_OBJECT_LOAD,
                                  [&] { return kiv_object_load(alice.instance()); });
    ASSERT_EQ(loaded.rc, 0);
    const Seen record = answer_of({&alice, &bob, &carol}, bob, KIV_CALLBACK_OBJECT_GET, [&] {
        return kiv_object_get(bob.instance(), loaded.at.i(KIV_OBJECT_ID));
    });
    EXPECT_EQ(record.at.i(KIV_OBJECT_INT_1), 4242);
    EXPECT_EQ(record.at.i(KIV_OBJECT_INT_2), 1700000000);

    // Once "build" is granted to someone, the others may no longer build.
    EXPECT_EQ(answer_of({&alice, &bob, &carol}, alice, KIV_CALLBACK_WORLD_PERMISSION_USER_SET,
                        [&] {
                            return kiv_world_permission_user_set(alice.instance(), "build",
                                                                 carol.user_id(), 1);
                        })
                  .rc,
              0);
    EXPECT_EQ(add_object(bob, "hut.rwx", 2, 2).rc, KIV_RC_DENIED);
    EXPECT_EQ(add_object(carol, "hut.rwx", 2, 2).rc, 0);
}

TEST_P(SandboxWorld, CellQueriesAnswerWithTheCellsObjectsThenTheCell) {
    const int first = add_object(alice, "a.rwx", 3.0, 4.0).at.i(KIV_OBJECT_ID);
    const int second = add_object(alice, "b.rwx", 9.5, 9.5).at.i(KIV_OBJECT_ID);
    add_object(alice, "elsewhere.rwx", 25.0, 4.0);  // cell (2, 0)
    bob.forget();
    ASSERT_EQ(kiv_query_cell(bob.instance(), 0, 0), 0);
    ASSERT_TRUE(pump_until({&alice, &bob, &carol},
                           [&] { return bob.count_events(KIV_EVENT_CELL_END) == 1; }));
    const auto objects = bob.events(KIV_EVENT_OBJECT);
    ASSERT_EQ(objects.size(), 2u);
    EXPECT_EQ(objects[0].at.i(KIV_OBJECT_ID), first);
    EXPECT_EQ(objects[1].at.i(KIV_OBJECT_ID), second);
    const Snapshot cell = bob.events(KIV_EVENT_CELL_END)[0].at;
    EXPECT_EQ(cell.i(KIV_CELL_X), 0);
    EXPECT_EQ(cell.i(KIV_CELL_Z), 0);
    EXPECT_EQ(cell.i(KIV_CELL_STATUS), 0);
    const int revision = cell.i(KIV_CELL_REVISION);
    EXPECT_GT(revision, 0);

    // Asking with the current revision sends nothing but the cell.
    bob.forget();
    ASSERT_EQ(kiv_query_cell_revision(bob.instance(), 0, 0, revision), 0);
    ASSERT_TRUE(pump_until({&bob}, [&] { return bob.count_events(KIV_EVENT_CELL_END) == 1; }));
    EXPECT_EQ(bob.count_events(KIV_EVENT_OBJECT), 0u);
    EXPECT_EQ(bob.events(KIV_EVENT_CELL_END)[0].at.i(KIV_CELL_STATUS), 1);

    // An empty cell is just the cell.
    bob.forget();
    ASSERT_EQ(kiv_query_cell(bob.instance(), -40, 7), 0);
    ASSERT_TRUE(pump_until({&bob}, [&] { return bob.count_events(KIV_EVENT_CELL_END) == 1; }));
    EXPECT_EQ(bob.count_events(KIV_EVENT_OBJECT), 0u);
    EXPECT_EQ(bob.events(KIV_EVENT_CELL_END)[0].at.i(KIV_CELL_X), -40);
}

TEST_P(SandboxWorld, ClicksBumpsTeleportsAndUrlsReachTheAddressedSession) {
    const int to_bob = session_of(alice, "bob");
    kiv_double_set(alice.instance(), KIV_CLICK_HIT_X, 0.25);
    ASSERT_EQ(kiv_avatar_click(alice.instance(), to_bob), 0);
    ASSERT_EQ(kiv_object_click(alice.instance(), 17, to_bob, 1.0f, 2.0f, 3.0f), 0);
    ASSERT_EQ(kiv_object_bump_begin(alice.instance(), 18, to_bob), 0);
    ASSERT_EQ(kiv_object_bump_end(alice.instance(), 18, to_bob), 0);
    ASSERT_EQ(kiv_teleport_avatar(alice.instance(), to_bob, "garden", 1, 2, 3, 90, 0), 0);
    ASSERT_EQ(kiv_url_send(alice.instance(), to_bob, "https://example.invalid/page", 2), 0);
    ASSERT_TRUE(
        pump_until({&alice, &bob, &carol}, [&] { return bob.count_events(KIV_EVENT_URL) == 1; }));

    const int from_alice = session_of(bob, "alice");
    ASSERT_EQ(bob.count_events(KIV_EVENT_AVATAR_CLICK), 1u);
    const Snapshot click = bob.events(KIV_EVENT_AVATAR_CLICK)[0].at;
    EXPECT_EQ(click.i(KIV_AVATAR_SESSION), from_alice);
    EXPECT_EQ(click.i(KIV_CLICKED_SESSION), to_bob);
    EXPECT_DOUBLE_EQ(click.f(KIV_CLICK_HIT_X), 0.25);

    ASSERT_EQ(bob.count_events(KIV_EVENT_OBJECT_CLICK), 1u);
    const Snapshot object_click = bob.events(KIV_EVENT_OBJECT_CLICK)[0].at;
    EXPECT_EQ(object_click.i(KIV_OBJECT_ID), 17);
    EXPECT_EQ(object_click.s(KIV_AVATAR_NAME), "alice");
    EXPECT_DOUBLE_EQ(object_click.f(KIV_CLICK_HIT_Z), 3.0);

    ASSERT_EQ(bob.count_events(KIV_EVENT_OBJECT_BUMP_BEGIN), 1u);
    ASSERT_EQ(bob.count_events(KIV_EVENT_OBJECT_BUMP_END), 1u);
    EXPECT_EQ(bob.events(KIV_EVENT_OBJECT_BUMP_END)[0].at.i(KIV_OBJECT_ID), 18);

    ASSERT_EQ(bob.count_events(KIV_EVENT_TELEPORT), 1u);
    const Snapshot teleport = bob.events(KIV_EVENT_TELEPORT)[0].at;
    EXPECT_EQ(teleport.s(KIV_TELEPORT_WORLD), "garden");
    EXPECT_DOUBLE_EQ(teleport.f(KIV_TELEPORT_Z), 3.0);
    EXPECT_DOUBLE_EQ(teleport.f(KIV_TELEPORT_YAW), 90.0);

    const Snapshot url = bob.events(KIV_EVENT_URL)[0].at;
    EXPECT_EQ(url.s(KIV_URL), "https://example.invalid/page");
    EXPECT_EQ(url.i(KIV_URL_TARGET), 2);
    EXPECT_EQ(url.i(KIV_AVATAR_SESSION), from_alice);

    // Carol was not addressed and got nothing of it.
    pump_all();
    for (const int event : {KIV_EVENT_AVATAR_CLICK, KIV_EVENT_OBJECT_CLICK,
                            KIV_EVENT_OBJECT_BUMP_BEGIN, KIV_EVENT_TELEPORT, KIV_EVENT_URL}) {
        EXPECT_EQ(carol.count_events(event), 0u) << event;
    }
}

TEST_P(SandboxWorld, TerrainNodesAreStoredAnnouncedAndSentWhenNewer) {
    KIVTerrainCell cells[64];
    for (int k = 0; k < 64; ++k) {
        cells[k].height = 0.5f * static_cast<float>(k);
        cells[k].attributes = static_cast<unsigned short>(1000 + k);
        cells[k].padding = 0xFFFF;  // ignored on sending
    }
    const Seen set = answer_of({&alice, &bob, &carol}, alice, KIV_CALLBACK_TERRAIN_NODE_SET, [&] {
        return kiv_terrain_node_set(alice.instance(), -1, 2, 3, 1, cells);
    });
    EXPECT_EQ(set.rc, 0);
    ASSERT_TRUE(pump_until({&alice, &bob, &carol},
                           [&] { return bob.count_events(KIV_EVENT_TERRAIN_NODE_CHANGED) == 1; }));
    const Snapshot changed = bob.events(KIV_EVENT_TERRAIN_NODE_CHANGED)[0].at;
    EXPECT_EQ(changed.i(KIV_TERRAIN_TILE_X), -1);
    EXPECT_EQ(changed.i(KIV_TERRAIN_TILE_Z), 2);
    EXPECT_EQ(changed.i(KIV_TERRAIN_NODE_X), 3);
    EXPECT_EQ(changed.i(KIV_TERRAIN_NODE_Z), 1);

    int revisions[16];
    for (int& r : revisions) r = -1;
    const Seen query = answer_of({&alice, &bob, &carol}, bob, KIV_CALLBACK_TERRAIN_QUERY, [&] {
        return kiv_terrain_query(bob.instance(), -1, 2, revisions);
    });
    EXPECT_EQ(query.rc, 0);
    ASSERT_EQ(bob.count_events(KIV_EVENT_TERRAIN_NODE), 1u);
    const Snapshot node = bob.events(KIV_EVENT_TERRAIN_NODE)[0].at;
    EXPECT_EQ(node.i(KIV_TERRAIN_NODE_X), 3);
    EXPECT_EQ(node.i(KIV_TERRAIN_NODE_Z), 1);
    EXPECT_EQ(node.i(KIV_TERRAIN_NODE_REVISION), 1);
    const std::string& data = node.data[KIV_TERRAIN_NODE_DATA];
    ASSERT_EQ(data.size(), sizeof cells);
    KIVTerrainCell received[64];
    std::memcpy(received, data.data(), sizeof received);
    for (int k = 0; k < 64; ++k) {
        EXPECT_EQ(received[k].height, cells[k].height) << k;
        EXPECT_EQ(received[k].attributes, cells[k].attributes) << k;
        EXPECT_EQ(received[k].padding, 0) << k;
    }

    // Holding revision 1 of that node, nothing newer comes.
    revisions[4 * 1 + 3] = 1;
    bob.forget();
    EXPECT_EQ(answer_of({&bob}, bob, KIV_CALLBACK_TERRAIN_QUERY,
                        [&] { return kiv_terrain_query(bob.instance(), -1, 2, revisions); })
                  .rc,
              0);
    EXPECT_EQ(bob.count_events(KIV_EVENT_TERRAIN_NODE), 0u);

    // A node outside the tile, and shaping once "terrain" is granted to
    // someone else.
    EXPECT_EQ(answer_of({&alice, &bob, &carol}, alice, KIV_CALLBACK_TERRAIN_NODE_SET,
                        [&] { return kiv_terrain_node_set(alice.instance(), 0, 0, 4, 0, cells); })
                  .rc,
              1);
    EXPECT_EQ(answer_of({&alice, &bob, &carol}, alice, KIV_CALLBACK_WORLD_PERMISSION_USER_SET,
                        [&] {
                            return kiv_world_permission_user_set(alice.instance(), "terrain",
                                                                 carol.user_id(), 1);
                        })
                  .rc,
              0);
    EXPECT_EQ(answer_of({&alice, &bob, &carol}, bob, KIV_CALLBACK_TERRAIN_NODE_SET,
                        [&] { return kiv_terrain_node_set(bob.instance(), 0, 0, 0, 0, cells); })
                  .rc,
              2);
}

TEST_P(SandboxWorld, PermissionsAreSetByTheOwnerAndListed) {
    const auto set_for_user = [&](Bot& by, const char* permission, int user, int enable) {
        return answer_of({&alice, &bob, &carol}, by, KIV_CALLBACK_WORLD_PERMISSION_USER_SET,
                         [&] {
                             return kiv_world_permission_user_set(by.instance(), permission, user,
                                                                  enable);
                         })
            .rc;
    };
    const int carol_session = session_of(alice, "carol");
    EXPECT_EQ(set_for_user(bob, "build", bob.user_id(), 1), KIV_RC_DENIED);  // not an admin
    EXPECT_EQ(set_for_user(alice, "flying", bob.user_id(), 1), KIV_RC_SETTING_REFUSED);
    EXPECT_EQ(set_for_user(alice, "build", 987654, 1), KIV_RC_REJECTED);  // no such user
    EXPECT_EQ(set_for_user(alice, "eject", bob.user_id(), 1), 0);
    EXPECT_EQ(answer_of({&alice, &bob, &carol}, alice, KIV_CALLBACK_WORLD_PERMISSION_SESSION_SET,
                        [&] {
                            return kiv_world_permission_session_set(alice.instance(), "settings",
                                                                    carol_session, 1);
                        })
                  .rc,
              0);

    bob.forget();
    EXPECT_EQ(answer_of({&bob}, bob, KIV_CALLBACK_WORLD_PERMISSIONS_GET_MY,
                        [&] { return kiv_world_permissions_get_my(bob.instance()); })
                  .rc,
              0);
    ASSERT_EQ(bob.count_events(KIV_EVENT_WORLD_PERMISSION), 1u);
    EXPECT_EQ(bob.events(KIV_EVENT_WORLD_PERMISSION)[0].at.s(KIV_WORLD_PERMISSION_NAME), "eject");
    EXPECT_EQ(bob.events(KIV_EVENT_WORLD_PERMISSION)[0].at.i(KIV_WORLD_PERMISSION_HOLDER),
              bob.user_id());

    // Only an admin lists everything or someone else's.
    EXPECT_EQ(answer_of({&bob}, bob, KIV_CALLBACK_WORLD_PERMISSIONS_GET_ALL,
                        [&] { return kiv_world_permissions_get_all(bob.instance()); })
                  .rc,
              KIV_RC_DENIED);
    EXPECT_EQ(
        answer_of(
            {&bob}, bob, KIV_CALLBACK_WORLD_PERMISSIONS_GET_BY_USER,
            [&] { return kiv_world_permissions_get_by_user(bob.instance(), alice.user_id()); })
            .rc,
        KIV_RC_DENIED);
    alice.forget();
    EXPECT_EQ(answer_of({&alice}, alice, KIV_CALLBACK_WORLD_PERMISSIONS_GET_ALL,
                        [&] { return kiv_world_permissions_get_all(alice.instance()); })
                  .rc,
              0);
    std::vector<std::pair<int, std::string>> all;
    for (const Seen& seen : alice.events(KIV_EVENT_WORLD_PERMISSION)) {
        all.emplace_back(seen.at.i(KIV_WORLD_PERMISSION_HOLDER),
                         seen.at.s(KIV_WORLD_PERMISSION_NAME));
    }
    const std::vector<std::pair<int, std::string>> expected = {
        {alice.user_id(), "admin"}, {bob.user_id(), "eject"}, {carol_session, "settings"}};
    EXPECT_EQ(all, expected);

    // Revoked, it is gone from the list.
    EXPECT_EQ(set_for_user(alice, "eject", bob.user_id(), 0), 0);
    alice.forget();
    answer_of({&alice}, alice, KIV_CALLBACK_WORLD_PERMISSIONS_GET_BY_USER,
              [&] { return kiv_world_permissions_get_by_user(alice.instance(), bob.user_id()); });
    EXPECT_EQ(alice.count_events(KIV_EVENT_WORLD_PERMISSION), 0u);
}

TEST_P(SandboxWorld, SettingsChangeForEveryoneOrForOneSession) {
    const auto set = [&](Bot& by, const char* name, const char* value, int target) {
        return answer_of({&alice, &bob, &carol}, by, KIV_CALLBACK_WORLD_SETTING_SET,
                         [&] { return kiv_world_setting_set(by.instance(), name, value, target); })
            .rc;
    };
    EXPECT_EQ(set(bob, "sky", "red", 0), KIV_RC_DENIED);
    EXPECT_EQ(set(alice, "no such setting", "x", 0), KIV_RC_SETTING_REFUSED);
    EXPECT_EQ(set(alice, "cell size", "20", 0), KIV_RC_REJECTED);  // read-only
    EXPECT_EQ(set(alice, "sky", "", 0), KIV_RC_REJECTED);

    bob.forget();
    carol.forget();
    EXPECT_EQ(set(alice, "sky", "purple", 0), 0);
    ASSERT_TRUE(pump_until({&alice, &bob, &carol}, [&] {
        return bob.count_events(KIV_EVENT_WORLD_SETTING) == 1 &&
               carol.count_events(KIV_EVENT_WORLD_SETTING) == 1;
    }));
    EXPECT_EQ(bob.events(KIV_EVENT_WORLD_SETTING)[0].at.s(KIV_WORLD_SETTING_NAME), "sky");
    EXPECT_EQ(bob.events(KIV_EVENT_WORLD_SETTING)[0].at.s(KIV_WORLD_SETTING_VALUE), "purple");

    EXPECT_EQ(set(alice, "fog", "x", 0), KIV_RC_SETTING_REFUSED);
    EXPECT_EQ(set(alice, "gravity", "0.5", session_of(alice, "carol")), 0);
    ASSERT_TRUE(pump_until({&alice, &bob, &carol},
                           [&] { return carol.count_events(KIV_EVENT_WORLD_SETTING) == 2; }));
    EXPECT_EQ(carol.events(KIV_EVENT_WORLD_SETTING)[1].at.s(KIV_WORLD_SETTING_VALUE), "0.5");
    pump_all();
    EXPECT_EQ(bob.count_events(KIV_EVENT_WORLD_SETTING), 1u);

    // A newcomer gets the world's values, not the one-session value.
    Bot dave("dave");
    ASSERT_EQ(dave.connect_and_login(sandbox.universe_port()), 0);
    ASSERT_EQ(dave.enter(GetParam()), 0);
    ASSERT_TRUE(
        pump_until({&dave}, [&] { return dave.count_events(KIV_EVENT_WORLD_SETTINGS_END) == 1; }));
    std::string sky, gravity;
    for (const Seen& seen : dave.events(KIV_EVENT_WORLD_SETTING)) {
        if (seen.at.s(KIV_WORLD_SETTING_NAME) == "sky") sky = seen.at.s(KIV_WORLD_SETTING_VALUE);
        if (seen.at.s(KIV_WORLD_SETTING_NAME) == "gravity")
            gravity = seen.at.s(KIV_WORLD_SETTING_VALUE);
    }
    EXPECT_EQ(sky, "purple");
    EXPECT_EQ(gravity, "1.0");
}

TEST(SandboxWorldEntry, UnknownWorldsAreUnavailableAndTicketsWorkOnce) {
    RunningSandbox sandbox;
    Bot erin("erin");
    ASSERT_EQ(erin.connect_and_login(sandbox.universe_port()), 0);
    EXPECT_EQ(erin.enter("atlantis"), KIV_RC_WORLD_UNAVAILABLE);
    EXPECT_EQ(erin.enter("lobby"), 0);
    EXPECT_EQ(erin.enter("garden"), 0);  // leaving the lobby on the way
    EXPECT_EQ(kiv_leave(erin.instance()), 0);
}

TEST(SandboxWorldLimits, AFullCellRefusesMoreObjects) {
    sandbox::Options options = sandbox_options();
    options.max_objects_per_cell = 2;
    RunningSandbox sandbox(options);
    Bot frank("frank");
    ASSERT_EQ(frank.connect_and_login(sandbox.universe_port()), 0);
    ASSERT_EQ(frank.enter("lobby"), 0);
    const auto add_at = [&](double x) {
        kiv_string_set(frank.instance(), KIV_OBJECT_STRING_1, "crate.rwx");
        kiv_double_set(frank.instance(), KIV_OBJECT_X, x);
        return answer_of({&frank}, frank, KIV_CALLBACK_OBJECT_ADD,
                         [&] { return kiv_object_add(frank.instance()); })
            .rc;
    };
    EXPECT_EQ(add_at(1.0), 0);
    EXPECT_EQ(add_at(2.0), 0);
    EXPECT_EQ(add_at(3.0), KIV_RC_OBJECT_REFUSED);  // cell (0, 0) is full
    EXPECT_EQ(add_at(11.0), 0);                     // cell (1, 0) is not
}

TEST(SandboxWorldEntry, ManyBotsInOneWorldAllSeeEachOther) {
    RunningSandbox sandbox;
    constexpr int kBots = 12;
    std::vector<std::unique_ptr<Bot>> bots;
    for (int n = 0; n < kBots; ++n) {
        bots.push_back(std::make_unique<Bot>("bot" + std::to_string(n)));
        ASSERT_EQ(bots.back()->connect_and_login(sandbox.universe_port()), 0);
        ASSERT_EQ(bots.back()->enter(n % 2 ? "garden" : "lobby"), 0);
        ASSERT_EQ(kiv_state_change(bots.back()->instance()), 0);
    }
    const auto everyone_seen = [&] {
        for (const auto& bot : bots) {
            if (bot->count_events(KIV_EVENT_AVATAR_ADD) != kBots / 2 - 1) return false;
        }
        return true;
    };
    bool done = false;
    for (int pass = 0; pass < 1000 && !(done = everyone_seen()); ++pass) {
        for (const auto& bot : bots) kiv_wait(bot->instance(), 2);
    }
    EXPECT_TRUE(done);
}

}  // namespace
}  // namespace kivsdk::test
