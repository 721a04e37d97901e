// Hundreds of Instances in one process, each with its own connection to a
// loopback listener: descriptors beyond 1024 included.
#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

#include "kivsdk.h"
#include "net/loopback.h"
#include "support/test_socket.h"

namespace kivsdk::test {
namespace {

TEST(ManyInstances, SixHundredConnectionsAreDrivenByTheirOwnWaits) {
    constexpr std::size_t kInstances = 600;
    if (!nettest::raise_descriptor_limit(4096)) GTEST_SKIP() << "descriptor limit below 4096";
    TestSocket listener = TestSocket::listen(Loopback::kIPv4);
    ASSERT_TRUE(listener.valid());

    // The server side: accept every connection and read what each client
    // sends first. Bounded by the accept and read limits.
    std::atomic<std::size_t> greeted{0};
    std::vector<TestSocket> accepted;
    std::thread server([&] {
        for (int idle = 0; accepted.size() < kInstances && idle < 100;) {
            std::optional<TestSocket> peer = listener.accept_for(std::chrono::milliseconds(100));
            if (!peer) {
                ++idle;
                continue;
            }
            idle = 0;  // the limit is on a quiet spell, not on the whole run
            peer->set_timeouts(std::chrono::seconds(10));
            accepted.push_back(std::move(*peer));
        }
        for (TestSocket& peer : accepted) {
            unsigned char first[3] = {};
            const IoResult read = peer.recv_exact(first, sizeof first);
            if (read.kind == IoResult::Kind::kData && first[0] == 0 && first[1] == 1 &&
                first[2] == 39) {
                ++greeted;
            }
        }
    });

    std::vector<KIVInstance*> instances;
    for (std::size_t i = 0; i < kInstances; ++i) {
        KIVInstance* instance = kiv_create(nullptr);
        ASSERT_NE(instance, nullptr);
        // Asynchronous form: the connect returns at once.
        kiv_callback_set(instance, KIV_CALLBACK_CONNECT_UNIVERSE, [](KIVInstance*, int, int) {});
        ASSERT_EQ(kiv_connect_universe(instance, "127.0.0.1", listener.port()), 0);
        instances.push_back(instance);
    }
    for (int round = 0; round < 400 && greeted < kInstances; ++round) {
        for (KIVInstance* instance : instances) EXPECT_EQ(kiv_wait(instance, 0), 0);
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    server.join();
    EXPECT_EQ(accepted.size(), kInstances);
    EXPECT_EQ(greeted.load(), kInstances) << "every connection sent its first frame";
    for (KIVInstance* instance : instances) kiv_destroy(instance);
}

}  // namespace
}  // namespace kivsdk::test
