// The universe side of the sandbox, end to end through the library: login,
// the world list, user attributes, friends, invitations and joins between
// two connected bots.
#include <gtest/gtest.h>

#include <memory>

#include "sandbox_bot.h"

namespace kivsdk::test {
namespace {

class SandboxUniverse : public ::testing::Test {
protected:
    RunningSandbox sandbox;
    Bot alice{"alice"};
    Bot bob{"bob"};

    void SetUp() override {
        ASSERT_EQ(alice.connect_and_login(sandbox.universe_port()), 0);
        ASSERT_EQ(bob.connect_and_login(sandbox.universe_port()), 0);
    }
};

TEST_F(SandboxUniverse, LoginGivesEachAccountItsOwnIdAndAWelcome) {
    EXPECT_GT(alice.user_id(), 0);
    EXPECT_GT(bob.user_id(), 0);
    EXPECT_NE(alice.user_id(), bob.user_id());
    EXPECT_NE(std::string(kiv_string(bob.instance(), KIV_LOGIN_REPLY_STRING)).find("bob"),
              std::string::npos);

    // The same name again while online is rejected; an empty name is denied.
    Bot twin("alice");
    EXPECT_EQ(twin.connect_and_login(sandbox.universe_port()), KIV_RC_REJECTED);
    Bot nameless("");
    EXPECT_EQ(nameless.connect_and_login(sandbox.universe_port()), KIV_RC_LOGIN_DENIED);

    // A second login on the same connection is rejected too.
    EXPECT_EQ(kiv_login(alice.instance(), "alice", "", ""), KIV_RC_REJECTED);
}

TEST_F(SandboxUniverse, WorldListNamesEveryWorldThenEnds) {
    kiv_int_set(alice.instance(), KIV_REFERENCE_NUMBER, 77);
    const Seen done = answer_of({&alice}, alice, KIV_CALLBACK_WORLD_LIST,
                                [&] { return kiv_world_list(alice.instance(), 0); });
    ASSERT_EQ(done.number, KIV_CALLBACK_WORLD_LIST);
    EXPECT_EQ(done.rc, 0);
    EXPECT_EQ(done.reference, 77);
    const auto entries = alice.events(KIV_EVENT_WORLD_LIST);
    ASSERT_EQ(entries.size(), 2u);
    EXPECT_EQ(entries[0].at.s(KIV_WORLD_NAME), "lobby");
    EXPECT_EQ(entries[0].at.i(KIV_WORLD_STATE), 1);  // open, in the clear
    EXPECT_EQ(entries[1].at.s(KIV_WORLD_NAME), "garden");
    EXPECT_EQ(entries[1].at.i(KIV_WORLD_STATE), 3);  // open, over TLS

    // The value counts the users in the world.
    ASSERT_EQ(bob.enter("lobby"), 0);
    alice.forget();
    answer_of({&alice, &bob}, alice, KIV_CALLBACK_WORLD_LIST,
              [&] { return kiv_world_list(alice.instance(), 0); });
    ASSERT_EQ(alice.count_events(KIV_EVENT_WORLD_LIST), 2u);
    EXPECT_EQ(alice.events(KIV_EVENT_WORLD_LIST)[0].at.i(KIV_WORLD_VALUE), 1);
    EXPECT_EQ(alice.events(KIV_EVENT_WORLD_LIST)[1].at.i(KIV_WORLD_VALUE), 0);
}

TEST_F(SandboxUniverse, UserAttributesTellNameOnlineStateAndWorld) {
    ASSERT_EQ(bob.enter("garden"), 0);
    ASSERT_EQ(kiv_user_attributes_by_id(alice.instance(), bob.user_id()), 0);
    ASSERT_TRUE(pump_until({&alice, &bob},
                           [&] { return alice.count_events(KIV_EVENT_USER_ATTRIBUTES) == 1; }));
    const Snapshot at = alice.events(KIV_EVENT_USER_ATTRIBUTES)[0].at;
    EXPECT_EQ(at.i(KIV_USER_ID), bob.user_id());
    EXPECT_EQ(at.i(KIV_USER_INT_1), 1);
    EXPECT_EQ(at.s(KIV_USER_STRING_1), "bob");
    EXPECT_EQ(at.s(KIV_USER_STRING_2), "garden");

    // An unknown user comes back empty.
    ASSERT_EQ(kiv_user_attributes_by_id(alice.instance(), 99999), 0);
    ASSERT_TRUE(
        pump_until({&alice}, [&] { return alice.count_events(KIV_EVENT_USER_ATTRIBUTES) == 2; }));
    EXPECT_EQ(alice.events(KIV_EVENT_USER_ATTRIBUTES)[1].at.s(KIV_USER_STRING_1), "");
    EXPECT_EQ(alice.events(KIV_EVENT_USER_ATTRIBUTES)[1].at.i(KIV_USER_INT_1), 0);
}

TEST_F(SandboxUniverse, FriendsAreAddedListedDeletedAndKeptPerAccount) {
    const auto add = [&](const char* name) {
        return answer_of({&alice}, alice, KIV_CALLBACK_FRIEND_ADD,
                         [&] { return kiv_friend_add_by_name(alice.instance(), name); });
    };
    EXPECT_EQ(add("bob").rc, 0);
    EXPECT_EQ(add("bob").rc, KIV_RC_REQUEST_FAILED);     // already a friend
    EXPECT_EQ(add("nobody").rc, KIV_RC_REQUEST_FAILED);  // no such account
    EXPECT_EQ(add("alice").rc, KIV_RC_REQUEST_FAILED);   // not oneself

    const auto list = [&](Bot& bot) {
        bot.forget();
        const Seen done = answer_of({&bot}, bot, KIV_CALLBACK_FRIENDS_GET,
                                    [&] { return kiv_friends_get(bot.instance()); });
        EXPECT_EQ(done.rc, 0);
        return bot.events(KIV_EVENT_FRIEND);
    };
    auto friends = list(alice);
    ASSERT_EQ(friends.size(), 1u);
    EXPECT_EQ(friends[0].at.s(KIV_FRIEND_NAME), "bob");
    EXPECT_EQ(friends[0].at.i(KIV_FRIEND_USER_ID), bob.user_id());
    EXPECT_EQ(friends[0].at.i(KIV_FRIEND_STATE), 1);  // online
    const int friend_id = friends[0].at.i(KIV_FRIEND_ID);
    EXPECT_NE(friend_id, bob.user_id());
    EXPECT_TRUE(list(bob).empty());  // friendship is one-way

    // Kept with the account: a new connection of alice still has bob.
    ASSERT_EQ(alice.connect_and_login(sandbox.universe_port()), 0);
    Bot& again = alice;
    friends = list(again);
    ASSERT_EQ(friends.size(), 1u);
    EXPECT_EQ(friends[0].at.i(KIV_FRIEND_ID), friend_id);

    const Seen deleted = answer_of({&again}, again, KIV_CALLBACK_FRIEND_DELETE,
                                   [&] { return kiv_friend_delete(again.instance(), friend_id); });
    EXPECT_EQ(deleted.rc, 0);
    EXPECT_EQ(deleted.at.i(KIV_FRIEND_ID), friend_id);
    EXPECT_TRUE(list(again).empty());
    const Seen unknown = answer_of({&again}, again, KIV_CALLBACK_FRIEND_DELETE,
                                   [&] { return kiv_friend_delete(again.instance(), friend_id); });
    EXPECT_EQ(unknown.rc, KIV_RC_REQUEST_FAILED);
}

TEST_F(SandboxUniverse, InvitationsReachTheInvitedUserAndTheAnswerComesBack) {
    kiv_int_set(alice.instance(), KIV_REFERENCE_NUMBER, 5);
    ASSERT_EQ(kiv_invite(alice.instance(), bob.user_id(), "garden", 1.5, 2.0, -3.0, 90.0f, 10.0f),
              0);
    ASSERT_TRUE(
        pump_until({&alice, &bob}, [&] { return bob.count_events(KIV_EVENT_INVITE) == 1; }));
    const Snapshot offer = bob.events(KIV_EVENT_INVITE)[0].at;
    EXPECT_EQ(offer.s(KIV_INVITE_WORLD), "garden");
    EXPECT_EQ(offer.s(KIV_INVITE_NAME), "alice");
    EXPECT_EQ(offer.i(KIV_INVITE_USER_ID), alice.user_id());
    EXPECT_DOUBLE_EQ(offer.f(KIV_INVITE_X), 1.5);
    EXPECT_DOUBLE_EQ(offer.f(KIV_INVITE_Z), -3.0);
    EXPECT_DOUBLE_EQ(offer.f(KIV_INVITE_YAW), 90.0);
    EXPECT_DOUBLE_EQ(offer.f(KIV_INVITE_PITCH), 10.0);

    ASSERT_EQ(kiv_invite_accept(bob.instance(), offer.i(KIV_INVITE_ID)), 0);
    ASSERT_TRUE(pump_until({&alice, &bob},
                           [&] { return alice.count_callbacks(KIV_CALLBACK_INVITE) == 1; }));
    const Seen accepted = alice.callbacks(KIV_CALLBACK_INVITE)[0];
    EXPECT_EQ(accepted.rc, 0);
    EXPECT_EQ(accepted.reference, 5);
    EXPECT_EQ(accepted.at.s(KIV_INVITE_NAME), "bob");

    // Declined.
    ASSERT_EQ(kiv_invite(alice.instance(), bob.user_id(), "lobby", 0, 0, 0, 0, 0), 0);
    ASSERT_TRUE(
        pump_until({&alice, &bob}, [&] { return bob.count_events(KIV_EVENT_INVITE) == 2; }));
    ASSERT_EQ(
        kiv_invite_decline(bob.instance(), bob.events(KIV_EVENT_INVITE)[1].at.i(KIV_INVITE_ID)), 0);
    ASSERT_TRUE(pump_until({&alice, &bob},
                           [&] { return alice.count_callbacks(KIV_CALLBACK_INVITE) == 2; }));
    EXPECT_EQ(alice.callbacks(KIV_CALLBACK_INVITE)[1].rc, KIV_RC_INVITE_REFUSED);

    // An answer to someone else's invitation id is ignored: nothing arrives.
    ASSERT_EQ(kiv_invite_accept(alice.instance(), offer.i(KIV_INVITE_ID)), 0);
    pump({&alice, &bob}, 20);
    EXPECT_EQ(alice.count_callbacks(KIV_CALLBACK_INVITE), 2u);

    // Nobody online with that id.
    const Seen nobody = answer_of({&alice}, alice, KIV_CALLBACK_INVITE, [&] {
        return kiv_invite(alice.instance(), 424242, "lobby", 0, 0, 0, 0, 0);
    });
    EXPECT_EQ(nobody.rc, KIV_RC_PEER_UNAVAILABLE);
}

TEST_F(SandboxUniverse, JoinRequestsAreRelayedWithThePlaceOfTheAnswer) {
    kiv_int_set(bob.instance(), KIV_REFERENCE_NUMBER, 9);
    ASSERT_EQ(kiv_join(bob.instance(), alice.user_id()), 0);
    ASSERT_TRUE(
        pump_until({&alice, &bob}, [&] { return alice.count_events(KIV_EVENT_JOIN) == 1; }));
    const Snapshot request = alice.events(KIV_EVENT_JOIN)[0].at;
    EXPECT_EQ(request.i(KIV_USER_ID), bob.user_id());
    EXPECT_EQ(request.s(KIV_JOIN_NAME), "bob");

    ASSERT_EQ(kiv_join_accept(alice.instance(), request.i(KIV_JOIN_ID), "lobby", 10.0, 0.5, -7.25,
                              45.0f, -5.0f),
              0);
    ASSERT_TRUE(
        pump_until({&alice, &bob}, [&] { return bob.count_callbacks(KIV_CALLBACK_JOIN) == 1; }));
    const Seen joined = bob.callbacks(KIV_CALLBACK_JOIN)[0];
    EXPECT_EQ(joined.rc, 0);
    EXPECT_EQ(joined.reference, 9);
    EXPECT_EQ(joined.at.s(KIV_JOIN_WORLD), "lobby");
    EXPECT_EQ(joined.at.s(KIV_JOIN_NAME), "alice");
    EXPECT_DOUBLE_EQ(joined.at.f(KIV_JOIN_X), 10.0);
    EXPECT_DOUBLE_EQ(joined.at.f(KIV_JOIN_Z), -7.25);
    EXPECT_DOUBLE_EQ(joined.at.f(KIV_JOIN_YAW), 45.0);

    ASSERT_EQ(kiv_join(bob.instance(), alice.user_id()), 0);
    ASSERT_TRUE(
        pump_until({&alice, &bob}, [&] { return alice.count_events(KIV_EVENT_JOIN) == 2; }));
    ASSERT_EQ(kiv_join_decline(alice.instance(), alice.events(KIV_EVENT_JOIN)[1].at.i(KIV_JOIN_ID)),
              0);
    ASSERT_TRUE(
        pump_until({&alice, &bob}, [&] { return bob.count_callbacks(KIV_CALLBACK_JOIN) == 2; }));
    EXPECT_EQ(bob.callbacks(KIV_CALLBACK_JOIN)[1].rc, KIV_RC_JOIN_REFUSED);
    EXPECT_EQ(bob.callbacks(KIV_CALLBACK_JOIN)[1].at.s(KIV_JOIN_WORLD), "");
}

TEST_F(SandboxUniverse, AUserWhoLeavesWithARequestPendingMakesItUnavailable) {
    auto carol = std::make_unique<Bot>("carol");
    ASSERT_EQ(carol->connect_and_login(sandbox.universe_port()), 0);
    ASSERT_EQ(kiv_join(bob.instance(), carol->user_id()), 0);
    ASSERT_TRUE(
        pump_until({&bob, carol.get()}, [&] { return carol->count_events(KIV_EVENT_JOIN) == 1; }));
    carol.reset();
    ASSERT_TRUE(pump_until({&bob}, [&] { return bob.count_callbacks(KIV_CALLBACK_JOIN) == 1; }));
    EXPECT_EQ(bob.callbacks(KIV_CALLBACK_JOIN)[0].rc, KIV_RC_PEER_UNAVAILABLE);
    EXPECT_EQ(bob.callbacks(KIV_CALLBACK_JOIN)[0].at.s(KIV_JOIN_NAME), "carol");
}

TEST(SandboxLogin, APasswordRuleRefusesOtherPasswords) {
    sandbox::Options options = sandbox_options();
    options.password = "open sesame";
    RunningSandbox sandbox(options);
    Bot carol("carol");
    EXPECT_EQ(carol.connect_and_login(sandbox.universe_port(), "wrong"), KIV_RC_LOGIN_REFUSED);
    Bot dave("dave");
    EXPECT_EQ(dave.connect_and_login(sandbox.universe_port(), "open sesame"), 0);
    // Nothing but the secure-channel request before it: a world request on
    // a connection that never logged in is refused.
    EXPECT_EQ(kiv_enter(carol.instance(), "lobby"), KIV_RC_WORLD_UNAVAILABLE);
}

}  // namespace
}  // namespace kivsdk::test
