// A loop shared by Instances: one pass of any of them serves all, a pass is
// a wait of each and belongs to its thread, a foreign loop drives it by its
// descriptor and nearest timer, and it goes only after its Instances.
#include <gtest/gtest.h>

#include <memory>
#include <thread>
#include <vector>

#ifndef _WIN32
#include <poll.h>
#endif

#include "kivsdk.h"
#include "support/scripted_servers.h"
#include "support/test_socket.h"

namespace kivsdk::test {
namespace {

struct Member {
    KIVInstance* instance = nullptr;
    int connected = -1;
    int logged_in = -1;
    // Runs inside the login callback, on the thread of the pass.
    void (*inside_login)(Member& member) = nullptr;
    KIVLoop* loop = nullptr;
    KIVInstance* other = nullptr;
    std::vector<int> seen_inside;
};

void on_connect(KIVInstance* instance, int rc, int) {
    auto* member = static_cast<Member*>(kiv_user_data(instance));
    member->connected = rc;
    if (rc == KIV_RC_SUCCESS) kiv_login(instance, "bot", "secret", "");
}

void on_login(KIVInstance* instance, int rc, int) {
    auto* member = static_cast<Member*>(kiv_user_data(instance));
    member->logged_in = rc;
    if (member->inside_login != nullptr) member->inside_login(*member);
}

class SharedLoop : public ::testing::Test {
protected:
    void SetUp() override {
        if (!kLibraryTrustsSandbox) GTEST_SKIP() << "the library trusts the deployment's CAs";
        loop = kiv_loop_create();
        ASSERT_NE(loop, nullptr);
        ASSERT_EQ(kiv_loop_table(loop, &table), KIV_RC_SUCCESS);
        server.on_connection([](ServerConnection& c) {
            if (universe_opening(c) != 0) return;
            answer_login(c);
            c.wait_for_close();
        });
    }
    void TearDown() override {
        for (auto& member : members) kiv_destroy(member->instance);
        EXPECT_EQ(kiv_loop_destroy(loop), KIV_RC_SUCCESS);
    }

    // `count` Instances on the loop, connecting (and then logging in) at once.
    void start(int count) {
        for (int i = 0; i < count; ++i) {
            auto member = std::make_unique<Member>();
            member->instance = kiv_create(&table);
            ASSERT_NE(member->instance, nullptr);
            member->loop = loop;
            kiv_user_data_set(member->instance, member.get());
            kiv_callback_set(member->instance, KIV_CALLBACK_CONNECT_UNIVERSE, on_connect);
            kiv_callback_set(member->instance, KIV_CALLBACK_LOGIN, on_login);
            ASSERT_EQ(kiv_connect_universe(member->instance, server.host(), server.port()), 0);
            members.push_back(std::move(member));
        }
    }
    bool all_logged_in() const {
        for (const auto& member : members) {
            if (member->logged_in != KIV_RC_SUCCESS) return false;
        }
        return true;
    }

    TlsTestServer server;
    KIVLoop* loop = nullptr;
    KIVNetConfig table{};
    std::vector<std::unique_ptr<Member>> members;
};

TEST_F(SharedLoop, OnePassOfAnyOfItsInstancesServesAllOfThem) {
    start(8);
    // Only the first Instance is ever waited on.
    for (int pass = 0; pass < 400 && !all_logged_in(); ++pass) {
        ASSERT_EQ(kiv_wait(members.front()->instance, 50), KIV_RC_SUCCESS);
    }
    EXPECT_TRUE(all_logged_in());
    EXPECT_TRUE(server.wait_for_accepted(8));

    EXPECT_EQ(kiv_loop_destroy(loop), KIV_RC_INVALID_ARGUMENT) << "its Instances still use it";
    EXPECT_EQ(kiv_loop_destroy(nullptr), KIV_RC_SUCCESS);
    EXPECT_EQ(kiv_loop_wait(nullptr, 0), KIV_RC_INVALID_ARGUMENT);
    EXPECT_EQ(kiv_loop_table(loop, nullptr), KIV_RC_INVALID_ARGUMENT);
    EXPECT_EQ(kiv_loop_next_ms(nullptr), -1);
    EXPECT_EQ(kiv_loop_fd(nullptr), -1);
}

TEST_F(SharedLoop, APassIsAWaitOfEachInstanceAndBelongsToItsThread) {
    start(2);
    members[0]->other = members[1]->instance;
    members[0]->inside_login = [](Member& member) {
        // Inside the pass: every Instance of the loop is in a wait.
        member.seen_inside.push_back(kiv_wait(member.instance, 0));
        member.seen_inside.push_back(kiv_wait(member.other, 0));
        member.seen_inside.push_back(kiv_loop_wait(member.loop, 0));
        member.seen_inside.push_back(kiv_loop_destroy(member.loop));
        // And to every other thread, all of them are busy.
        std::thread other([&] {
            member.seen_inside.push_back(kiv_say(member.other, "hi"));
            member.seen_inside.push_back(kiv_loop_wait(member.loop, 0));
            member.seen_inside.push_back(kiv_loop_destroy(member.loop));
            member.seen_inside.push_back(kiv_loop_next_ms(member.loop));
        });
        other.join();
    };
    for (int pass = 0; pass < 400 && !all_logged_in(); ++pass) {
        ASSERT_EQ(kiv_loop_wait(loop, 50), KIV_RC_SUCCESS);
    }
    ASSERT_TRUE(all_logged_in());
    EXPECT_EQ(members[0]->seen_inside,
              (std::vector<int>{KIV_RC_RECURSIVE_WAIT, KIV_RC_RECURSIVE_WAIT, KIV_RC_RECURSIVE_WAIT,
                                KIV_RC_INVALID_ARGUMENT, KIV_RC_WRONG_THREAD, KIV_RC_WRONG_THREAD,
                                KIV_RC_WRONG_THREAD, -1}));
    // Out of the pass, the other thread may have the loop.
    int rc = -1;
    std::thread([&] { rc = kiv_loop_wait(loop, 0); }).join();
    EXPECT_EQ(rc, KIV_RC_SUCCESS);
}

#ifdef __linux__
TEST_F(SharedLoop, AForeignLoopDrivesItByItsDescriptorAndItsNearestTimer) {
    const int descriptor = kiv_loop_fd(loop);
    ASSERT_GE(descriptor, 0);
    start(4);
    int wakeups = 0;
    for (; wakeups < 400 && !all_logged_in(); ++wakeups) {
        const int next = kiv_loop_next_ms(loop);
        pollfd watched{descriptor, POLLIN, 0};
        ::poll(&watched, 1, next < 0 || next > 1000 ? 1000 : next);
        ASSERT_EQ(kiv_loop_wait(loop, 0), KIV_RC_SUCCESS);
    }
    ASSERT_TRUE(all_logged_in());
    // Idle: the descriptor stays quiet and the nearest timer is a
    // keep-alive's, so such a loop sleeps instead of spinning.
    const int next = kiv_loop_next_ms(loop);
    EXPECT_GT(next, 1000);
    EXPECT_LE(next, 30000);
    pollfd watched{descriptor, POLLIN, 0};
    EXPECT_EQ(::poll(&watched, 1, 200), 0) << "nothing to serve";
}
#else
TEST_F(SharedLoop, HasNoDescriptorOffLinux) { EXPECT_EQ(kiv_loop_fd(loop), -1); }
#endif

}  // namespace
}  // namespace kivsdk::test
