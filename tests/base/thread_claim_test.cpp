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
        EXPECT_EQ(slot.load(), current_thread_token());
        {
            const ThreadClaim inner(slot);
            EXPECT_TRUE(inner.allowed());
        }
        EXPECT_EQ(slot.load(), current_thread_token()) << "the inner claim kept it";
        EXPECT_FALSE(claimable_from_another_thread(slot));
    }
    EXPECT_EQ(slot.load(), 0u);
    EXPECT_TRUE(claimable_from_another_thread(slot));
    EXPECT_EQ(slot.load(), 0u) << "the other thread's claim ended with it";
}

TEST(ThreadClaim, EarlyReleaseLetsGoOnceAndARefusedClaimNeverReleases) {
    ClaimSlot slot{};
    ThreadClaim claim(slot);
    ASSERT_TRUE(claim.allowed());
    claim.release();
    EXPECT_EQ(slot.load(), 0u);

    // Held by another thread now: this thread's claim is refused, and its end
    // leaves the other thread's hold alone.
    std::uintptr_t other = 0;
    std::thread([&] { other = current_thread_token(); }).join();
    ASSERT_NE(other, 0u);
    EXPECT_NE(other, current_thread_token()) << "threads are told apart";
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
