// The claim every call on an Instance or a loop takes: nested claims of the
// claiming thread go on, other threads are refused, and only the outermost
// claim lets go.
#include <gtest/gtest.h>

#include <thread>

#include "base/thread_claim.h"

namespace kivsdk {
namespace {

bool claimable_from_another_thread(ClaimSlot& slot) {
    bool allowed = false;
    std::thread([&] { allowed = ThreadClaim(slot).allowed(); }).join();
    return allowed;
}

TEST(ThreadClaim, NestedClaimsOfTheHolderGoOnAndOnlyTheOutermostReleases) {
    ClaimSlot slot{};
    {
        const ThreadClaim outer(slot);
        ASSERT_TRUE(outer.allowed());
        EXPECT_EQ(slot.load(), std::this_thread::get_id());
        {
            const ThreadClaim inner(slot);
            EXPECT_TRUE(inner.allowed());
        }
        EXPECT_EQ(slot.load(), std::this_thread::get_id()) << "the inner claim kept it";
        EXPECT_FALSE(claimable_from_another_thread(slot));
    }
    EXPECT_EQ(slot.load(), std::thread::id{});
    EXPECT_TRUE(claimable_from_another_thread(slot));
    EXPECT_EQ(slot.load(), std::thread::id{}) << "the other thread's claim ended with it";
}

TEST(ThreadClaim, EarlyReleaseLetsGoOnceAndARefusedClaimNeverReleases) {
    ClaimSlot slot{};
    ThreadClaim claim(slot);
    ASSERT_TRUE(claim.allowed());
    claim.release();
    EXPECT_EQ(slot.load(), std::thread::id{});

    // Held by another thread now: this thread's claim is refused, and its end
    // leaves the other thread's hold alone.
    std::thread::id other;
    std::thread([&] { other = std::this_thread::get_id(); }).join();
    slot.store(other);
    {
        const ThreadClaim refused(slot);
        EXPECT_FALSE(refused.allowed());
    }
    EXPECT_EQ(slot.load(), other);
    claim.release();  // a second release does nothing
    EXPECT_EQ(slot.load(), other);
}

}  // namespace
}  // namespace kivsdk
