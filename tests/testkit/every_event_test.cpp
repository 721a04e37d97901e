// Every event and callback of kivsdk.h, caused in the test process by the
// kit's calls (and, for callbacks, the bot's own requests): the causes that
// docs/testing-bots.md lists, one step each. An event or callback the header
// gains without a cause here fails the last check.
#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "kivsandbox.hpp"
#include "sandbox_bot.h"

namespace kivsdk::test {
namespace {

struct Fired {
    bool callback;
    int number;
    int rc;  // what a callback completes with
};
Fired E(int event) { return {false, event, 0}; }
Fired C(int callback, int rc = KIV_RC_SUCCESS) { return {true, callback, rc}; }

std::size_t count(const Bot& bot, const Fired& fired) {
    return fired.callback ? bot.count_callbacks(fired.number) : bot.count_events(fired.number);
}

// The Bot leaves connect, login and enter blocking; here they report too.
template <int N>
void record(KIVInstance* instance, int rc, int reference) {
    static_cast<Bot*>(kiv_user_data(instance))->record(true, N, rc, reference);
}

struct Step {
    const char* cause;
    std::vector<Fired> fires;
    std::function<int()> act;  // 0 when the request or kit call went out
};

TEST(KitCauses, EveryEventAndCallback) {
    Sandbox kit{"--world", "lobby", "--world", "garden:tls"};
    Bot bot("bot");
    KIVInstance* const b = bot.instance();
    ASSERT_EQ(Sandbox::trust(b), 0);
    kiv_callback_set(b, KIV_CALLBACK_CONNECT_UNIVERSE, record<KIV_CALLBACK_CONNECT_UNIVERSE>);
    kiv_callback_set(b, KIV_CALLBACK_LOGIN, record<KIV_CALLBACK_LOGIN>);
    kiv_callback_set(b, KIV_CALLBACK_ENTER, record<KIV_CALLBACK_ENTER>);
    const KIVReconnectPolicy policy = {sizeof(KIVReconnectPolicy), 1, 100, 100, 0, 0};
    ASSERT_EQ(kiv_reconnect_set(b, &policy), 0);

    const auto last = [&](int callback, int attribute) {
        return bot.callbacks(callback).back().at.i(attribute);
    };
    const int nobody = 999999;  // no account: invitations and joins are unavailable
    int ann = 0, tree = 0, lamp = 0;
    const int revisions[16] = {};
    const KIVTerrainCell cells[64] = {};
    const std::vector<Step> steps = {
        {"kiv_connect_universe",
         {C(KIV_CALLBACK_CONNECT_UNIVERSE)},
         [&] { return kiv_connect_universe(b, "127.0.0.1", kit.universe_port()); }},
        {"kiv_login", {C(KIV_CALLBACK_LOGIN)}, [&] { return kiv_login(b, "bot", "pw", ""); }},
        {"kiv_world_list",
         {E(KIV_EVENT_WORLD_LIST), C(KIV_CALLBACK_WORLD_LIST)},
         [&] { return kiv_world_list(b, 0); }},
        {"kiv_enter",
         {E(KIV_EVENT_WORLD_SETTING), E(KIV_EVENT_WORLD_SETTINGS_END), C(KIV_CALLBACK_ENTER)},
         [&] { return kiv_enter(b, "lobby"); }},
        // What actors do.
        {"kivsb_actor_enter",
         {E(KIV_EVENT_AVATAR_ADD)},
         [&] {
             return (ann = kit.actor_enter("ann", "lobby", {1, 0, 1})) > 0 ? 0 : 1;
         }},
        {"kivsb_actor_move",
         {E(KIV_EVENT_AVATAR_CHANGE)},
         [&] {
             return kit.actor_move("ann", {2, 0, 2}), 0;
         }},
        {"kivsb_actor_say", {E(KIV_EVENT_CHAT)}, [&] { return kit.actor_say("ann", "hi"), 0; }},
        {"kivsb_actor_click_avatar",
         {E(KIV_EVENT_AVATAR_CLICK)},
         [&] { return kit.actor_click_avatar("ann", 0), 0; }},
        {"kivsb_actor_object_add",
         {E(KIV_EVENT_OBJECT)},
         [&] {
             return (tree = kit.actor_object_add("ann", "tree.rwx", {3, 0, 3})) > 0 ? 0 : 1;
         }},
        {"kivsb_actor_object_change",
         {E(KIV_EVENT_OBJECT_CHANGE)},
         [&] {
             return kit.actor_object_change("ann", tree, "oak.rwx", {3, 0, 4}), 0;
         }},
        {"kivsb_actor_click_object",
         {E(KIV_EVENT_OBJECT_CLICK)},
         [&] { return kit.actor_click_object("ann", tree), 0; }},
        {"kivsb_actor_bump begin",
         {E(KIV_EVENT_OBJECT_BUMP_BEGIN)},
         [&] { return kit.actor_bump("ann", tree, true), 0; }},
        {"kivsb_actor_bump end",
         {E(KIV_EVENT_OBJECT_BUMP_END)},
         [&] { return kit.actor_bump("ann", tree, false), 0; }},
        {"kivsb_actor_object_delete",
         {E(KIV_EVENT_OBJECT_DELETE)},
         [&] { return kit.actor_object_delete("ann", tree), 0; }},
        {"kivsb_actor_terrain",
         {E(KIV_EVENT_TERRAIN_NODE_CHANGED)},
         [&] { return kit.actor_terrain("ann", 0, 0, 1, 1, 2.5), 0; }},
        {"kivsb_actor_setting",
         {E(KIV_EVENT_WORLD_SETTING)},
         [&] { return kit.actor_setting("ann", "sky", "red"), 0; }},
        {"kivsb_actor_url",
         {E(KIV_EVENT_URL)},
         [&] { return kit.actor_url("ann", 0, "https://example.test/"), 0; }},
        {"kivsb_actor_teleport",
         {E(KIV_EVENT_TELEPORT)},
         [&] {
             return kit.actor_teleport("ann", 0, "garden", {1, 2, 3}), 0;
         }},
        {"kivsb_actor_invite",
         {E(KIV_EVENT_INVITE)},
         [&] {
             return kit.actor_invite("ann", last(KIV_CALLBACK_LOGIN, KIV_LOGIN_REPLY_VALUE),
                                     "garden"),
                    0;
         }},
        {"kivsb_actor_join",
         {E(KIV_EVENT_JOIN)},
         [&] { return kit.actor_join("ann", last(KIV_CALLBACK_LOGIN, KIV_LOGIN_REPLY_VALUE)), 0; }},
        // The bot's own requests, answered by the kit.
        {"kiv_user_attributes_by_id",
         {E(KIV_EVENT_USER_ATTRIBUTES)},
         [&] { return kiv_user_attributes_by_id(b, kit.actor_user_id("ann")); }},
        {"kiv_friend_add_by_name",
         {C(KIV_CALLBACK_FRIEND_ADD)},
         [&] { return kiv_friend_add_by_name(b, "ann"); }},
        {"kiv_friends_get",
         {E(KIV_EVENT_FRIEND), C(KIV_CALLBACK_FRIENDS_GET)},
         [&] { return kiv_friends_get(b); }},
        {"kiv_friend_delete",
         {C(KIV_CALLBACK_FRIEND_DELETE)},
         [&] {
             return kiv_friend_delete(b, bot.events(KIV_EVENT_FRIEND).back().at.i(KIV_FRIEND_ID));
         }},
        {"kiv_invite",
         {C(KIV_CALLBACK_INVITE, KIV_RC_PEER_UNAVAILABLE)},
         [&] { return kiv_invite(b, nobody, "lobby", 0, 0, 0, 0, 0); }},
        {"kiv_join",
         {C(KIV_CALLBACK_JOIN, KIV_RC_PEER_UNAVAILABLE)},
         [&] { return kiv_join(b, nobody); }},
        {"kiv_object_add",
         {C(KIV_CALLBACK_OBJECT_ADD)},
         [&] {
             kiv_string_set(b, KIV_OBJECT_STRING_1, "lamp.rwx");
             kiv_double_set(b, KIV_OBJECT_X, 4);
             return kiv_object_add(b);
         }},
        {"kiv_object_change",
         {C(KIV_CALLBACK_OBJECT_CHANGE)},
         [&] {
             lamp = last(KIV_CALLBACK_OBJECT_ADD, KIV_OBJECT_ID);
             kiv_int_set(b, KIV_OBJECT_ID, lamp);
             return kiv_object_change(b);
         }},
        {"kiv_object_get", {C(KIV_CALLBACK_OBJECT_GET)}, [&] { return kiv_object_get(b, lamp); }},
        {"kiv_query_cell",
         {E(KIV_EVENT_OBJECT), E(KIV_EVENT_CELL_END)},
         [&] { return kiv_query_cell(b, 0, 0); }},
        {"kiv_object_delete",
         {C(KIV_CALLBACK_OBJECT_DELETE)},
         [&] { return kiv_object_delete(b, lamp); }},
        {"kiv_object_load",
         {C(KIV_CALLBACK_OBJECT_LOAD)},
         [&] {
             kiv_string_set(b, KIV_OBJECT_STRING_1, "lamp.rwx");  // events empty strings
             return kiv_object_load(b);
         }},
        {"kiv_terrain_query",
         {E(KIV_EVENT_TERRAIN_NODE), C(KIV_CALLBACK_TERRAIN_QUERY)},
         [&] { return kiv_terrain_query(b, 0, 0, revisions); }},
        {"kiv_terrain_node_set",
         {C(KIV_CALLBACK_TERRAIN_NODE_SET)},
         [&] { return kiv_terrain_node_set(b, 0, 0, 2, 2, cells); }},
        {"kiv_world_permission_user_set",
         {C(KIV_CALLBACK_WORLD_PERMISSION_USER_SET)},
         [&] { return kiv_world_permission_user_set(b, "build", kit.actor_user_id("ann"), 1); }},
        {"kiv_world_permission_session_set",
         {C(KIV_CALLBACK_WORLD_PERMISSION_SESSION_SET)},
         [&] { return kiv_world_permission_session_set(b, "eject", ann, 1); }},
        {"kiv_world_setting_set",
         {C(KIV_CALLBACK_WORLD_SETTING_SET)},
         [&] { return kiv_world_setting_set(b, "sky", "blue", 0); }},
        {"kiv_world_permissions_get_my",
         {E(KIV_EVENT_WORLD_PERMISSION), C(KIV_CALLBACK_WORLD_PERMISSIONS_GET_MY)},
         [&] { return kiv_world_permissions_get_my(b); }},
        {"kiv_world_permissions_get_by_user",
         {C(KIV_CALLBACK_WORLD_PERMISSIONS_GET_BY_USER)},
         [&] { return kiv_world_permissions_get_by_user(b, kit.actor_user_id("ann")); }},
        {"kiv_world_permissions_get_all",
         {C(KIV_CALLBACK_WORLD_PERMISSIONS_GET_ALL)},
         [&] { return kiv_world_permissions_get_all(b); }},
        {"kivsb_actor_leave",
         {E(KIV_EVENT_AVATAR_DELETE)},
         [&] { return kit.actor_leave("ann"), 0; }},
        // Faults, met by a bot that stays up.
        {"kivsb_drop world",
         {E(KIV_EVENT_WORLD_DISCONNECT), E(KIV_EVENT_RECONNECTING), E(KIV_EVENT_RECONNECTED)},
         [&] { return kit.drop("lobby"), 0; }},
        {"kivsb_refuse_logins, kivsb_drop universe",
         {E(KIV_EVENT_UNIVERSE_DISCONNECT), E(KIV_EVENT_RECONNECTING), E(KIV_EVENT_GAVE_UP)},
         [&] { return kit.refuse_logins(1, 1), kit.drop("universe"), 0; }},
    };

    for (const Step& step : steps) {
        std::vector<std::size_t> before;
        for (const Fired& fired : step.fires) before.push_back(count(bot, fired));
        ASSERT_EQ(step.act(), 0) << step.cause;
        const auto all_fired = [&] {
            for (std::size_t i = 0; i < step.fires.size(); ++i) {
                if (count(bot, step.fires[i]) <= before[i]) return false;
            }
            return true;
        };
        ASSERT_TRUE(pump_until({&bot}, all_fired)) << step.cause << " caused too little";
        for (const Fired& fired : step.fires) {
            if (fired.callback) {
                EXPECT_EQ(bot.callbacks(fired.number).back().rc, fired.rc) << step.cause;
            }
        }
    }
    for (int event = 0; event < KIV_EVENT_COUNT; ++event) {
        EXPECT_GT(bot.count_events(event), 0u) << "event " << event << " has no cause here";
    }
    for (int callback = 0; callback < KIV_CALLBACK_COUNT; ++callback) {
        EXPECT_GT(bot.count_callbacks(callback), 0u)
            << "callback " << callback << " has no cause here";
    }
}

}  // namespace
}  // namespace kivsdk::test
