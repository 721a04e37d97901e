// One pass of the PollLoop: what it waits for, for how long, and which
// entries it dispatches, over real loopback streams.
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "net/socket_fixture.h"
#include "support/fake_clock.h"

#ifndef _WIN32
#include <sys/select.h>
#endif

namespace kivsdk::nettest {
namespace {

// A loop with one connected, idle stream, so that passes run and return.
class LoopWithStream : public SocketTest {
protected:
    void SetUp() override {
        ASSERT_TRUE(listener.valid());
        idle = make(connection(99));
        idle_peer = connect(idle, listener);
        ASSERT_TRUE(idle_peer.valid());
        log.all.clear();
    }

    // A connected stream whose peer has sent `bytes`, readable by now.
    BSDSocket* readable_stream(std::size_t index, std::vector<Peer>& peers,
                               const std::string& bytes = "x") {
        BSDSocket* socket = make(connection(index));
        peers.push_back(connect(socket, listener));
        EXPECT_TRUE(peers.back().send_all(bytes));
        EXPECT_TRUE(wait_for(socket->handle(), WatchList::read, 2000));
        return socket;
    }

    Listener listener{Family::v4, 256};
    BSDSocket* idle = nullptr;
    Peer idle_peer;
};

// ---------------------------------------------------------------------------
// Timers

class PollLoopTimers : public LoopWithStream {
protected:
    test::FakeClock clock{1000};
};

TEST_F(PollLoopTimers, FiresOnceAtItsDeadline) {
    BSDSocket* timed = make(connection(0));
    EXPECT_EQ(table.timeout(timed, 5), 0);
    ASSERT_EQ(loop.run_pass(0), 0);
    clock.advance(4);
    ASSERT_EQ(loop.run_pass(0), 0);
    EXPECT_EQ(log.count(connection(0), KIV_NET_TIMER), 0);
    clock.advance(1);
    ASSERT_EQ(loop.run_pass(0), 0);
    EXPECT_EQ(log.count(connection(0), KIV_NET_TIMER), 1);
    clock.advance(100);
    for (int pass = 0; pass < 3; ++pass) ASSERT_EQ(loop.run_pass(0), 0);
    EXPECT_EQ(log.count(connection(0), KIV_NET_TIMER), 1);
    EXPECT_TRUE(loop.timers().empty());
}

TEST_F(PollLoopTimers, CancelledTimerNeverFires) {
    BSDSocket* timed = make(connection(0));
    table.timeout(timed, 5);
    table.timeout(timed, -1);
    EXPECT_TRUE(loop.timers().empty());
    clock.advance(10);
    for (int pass = 0; pass < 3; ++pass) ASSERT_EQ(loop.run_pass(0), 0);
    EXPECT_EQ(log.count(connection(0), KIV_NET_TIMER), 0);
}

TEST_F(PollLoopTimers, RearmingMovesTheDeadline) {
    BSDSocket* timed = make(connection(0));
    table.timeout(timed, 30);
    clock.advance(10);
    table.timeout(timed, 30);
    ASSERT_EQ(loop.timers().size(), 1u);
    EXPECT_EQ(loop.timers()[0].deadline, 1040);
    clock.advance(25);  // past the first deadline
    ASSERT_EQ(loop.run_pass(0), 0);
    EXPECT_EQ(log.count(connection(0), KIV_NET_TIMER), 0);
    clock.advance(5);
    ASSERT_EQ(loop.run_pass(0), 0);
    EXPECT_EQ(log.count(connection(0), KIV_NET_TIMER), 1);
}

TEST_F(PollLoopTimers, ChangesMadeDuringThePassAreHonoured) {
    BSDSocket* first = make(connection(0));
    BSDSocket* destroyed = make(connection(1));
    BSDSocket* cancelled = make(connection(2));
    BSDSocket* rearmed = make(connection(3));
    for (BSDSocket* socket : {first, destroyed, cancelled, rearmed}) table.timeout(socket, 0);
    bool held_by_the_loop = false;
    log.reaction = [&](const Notification& seen) {
        if (seen.connection != connection(0)) return;
        held_by_the_loop = first->delivering();
        destroy(destroyed);
        table.timeout(cancelled, -1);
        table.timeout(rearmed, 30);
    };
    ASSERT_EQ(loop.run_pass(0), 0);
    EXPECT_EQ(log.count(connection(0), KIV_NET_TIMER), 1);
    EXPECT_EQ(log.all.size(), 1u) << "expired entries changed earlier in the pass stay quiet";
    EXPECT_TRUE(held_by_the_loop);
    ASSERT_EQ(loop.timers().size(), 1u);
    EXPECT_EQ(loop.timers()[0].object, rearmed);
    EXPECT_EQ(loop.timers()[0].deadline, 1030);
}

#ifndef _WIN32
TEST_F(PollLoopTimers, TimeToBlockFollowsTheNearestTimer) {
    PollSpy spy;
    BSDSocket* soon = make(connection(0));
    BSDSocket* later = make(connection(1));
    ASSERT_EQ(loop.run_pass(100), 0);
    ASSERT_EQ(loop.run_pass(-1), 0);  // no limit of its own and no timer
    table.timeout(later, 50);
    table.timeout(soon, 5);
    ASSERT_EQ(loop.run_pass(100), 0);
    ASSERT_EQ(loop.run_pass(10000), 0);
    ASSERT_EQ(loop.run_pass(-7), 0);
    clock.advance(3);
    ASSERT_EQ(loop.run_pass(-1), 0);
    EXPECT_EQ(spy.timeouts, (std::vector<int>{100, -1, 100, 5000, 5000, 2000}));
    EXPECT_TRUE(log.all.empty());

    // Due now: the pass polls without blocking and fires it.
    table.timeout(soon, 0);
    spy.timeouts.clear();
    ASSERT_EQ(loop.run_pass(100), 0);
    EXPECT_EQ(spy.timeouts, std::vector<int>{0});
    EXPECT_EQ(log.count(connection(0), KIV_NET_TIMER), 1);
    // Overdue counts as due.
    table.timeout(soon, 1);
    clock.advance(60);
    spy.timeouts.clear();
    ASSERT_EQ(loop.run_pass(-1), 0);
    EXPECT_EQ(spy.timeouts, std::vector<int>{0});
    EXPECT_EQ(log.count(connection(0), KIV_NET_TIMER), 2);
    EXPECT_EQ(log.count(connection(1), KIV_NET_TIMER), 1);
}

TEST_F(PollLoopTimers, InterruptedWaitResumesWithTheTimeLeft) {
    PollSpy spy;
    spy.interruptions = 2;
    EXPECT_EQ(loop.run_pass(5000), 0) << "a signal is not a failure";
    ASSERT_EQ(spy.timeouts.size(), 3u);
    EXPECT_EQ(spy.timeouts[0], 5000);
    EXPECT_LE(spy.timeouts[1], 5000);
    EXPECT_GE(spy.timeouts[1], 0);
    EXPECT_LE(spy.timeouts[2], spy.timeouts[1]);

    spy.timeouts.clear();
    spy.interruptions = 1;
    EXPECT_EQ(loop.run_pass(-1), 0);
    EXPECT_EQ(spy.timeouts, (std::vector<int>{-1, -1})) << "no limit stays no limit";
}
#endif

// ---------------------------------------------------------------------------
// Passes

using PollLoopPass = LoopWithStream;

// A loop with nothing to watch never returns at once, or a host's main loop
// would spin: it waits out its time, or waits for its nearest timer and runs
// it. Only a negative time with no timer fails at once.
TEST(PollLoopEmpty, NothingWatchedWaitsItsTimeOrForTheNearestTimer) {
    test::FakeClock clock{1000};
    PollLoop loop;
    NotificationLog log;
    log.attach(loop);
    const KIVNetConfig table = default_socket_table(&loop);
#ifndef _WIN32
    PollSpy spy;
#endif
    EXPECT_EQ(table.wait(table.context, -1), -1) << "no time and no timer";
    EXPECT_EQ(table.wait(table.context, 100), -1);
#ifndef _WIN32
    EXPECT_EQ(spy.timeouts, (std::vector<int>{100})) << "the time was waited out";
#endif

    void* timed = table.create(&loop, &loop);
    table.timeout(timed, 2);
    EXPECT_EQ(table.wait(table.context, 100), 0) << "a pending timer makes a pass";
    EXPECT_TRUE(log.all.empty()) << "not due yet";
    clock.advance(2);
    EXPECT_EQ(table.wait(table.context, -1), 0);
    ASSERT_EQ(log.all.size(), 1u);
    EXPECT_EQ(log.all[0].kind, KIV_NET_TIMER);
#ifndef _WIN32
    EXPECT_EQ(spy.timeouts, (std::vector<int>{100, 100, 0})) << "blocked until the timer at most";
#endif
    EXPECT_EQ(table.wait(table.context, -1), -1) << "the timer fired once";
    table.destroy(timed);
}

TEST_F(PollLoopPass, SixtyFifthHandleWaitsForALaterPass) {
    ASSERT_TRUE(raise_descriptor_limit(1024));
    // The idle stream's handle is the first of each list; 64 more fill them.
    std::vector<Peer> peers;
    std::vector<BSDSocket*> sockets;
    for (std::size_t i = 0; i < 64; ++i) sockets.push_back(readable_stream(i, peers));
    log.all.clear();

    ASSERT_EQ(loop.run_pass(0), 0);
    for (std::size_t i = 0; i < 63; ++i) {
        EXPECT_EQ(log.count(connection(i), KIV_NET_READABLE), 1) << "stream " << i;
    }
    EXPECT_EQ(log.count(connection(63), KIV_NET_READABLE), 0) << "the 65th handle waits";
    EXPECT_EQ(log.all.size(), 63u);

    // With a place free, it is watched in the next pass.
    destroy(sockets[0]);
    log.all.clear();
    ASSERT_EQ(loop.run_pass(0), 0);
    EXPECT_EQ(log.count(connection(63), KIV_NET_READABLE), 1);
    EXPECT_EQ(log.count(connection(0), KIV_NET_READABLE), 0);
}

TEST_F(PollLoopPass, HandlerDestroyingAnotherSocketStopsItsEntries) {
    std::vector<Peer> peers;
    readable_stream(0, peers);
    BSDSocket* victim = readable_stream(1, peers);
    log.all.clear();
    log.reaction = [&](const Notification& seen) {
        if (seen.connection == connection(0) && seen.kind == KIV_NET_READABLE) destroy(victim);
    };
    ASSERT_EQ(loop.run_pass(0), 0);
    EXPECT_EQ(log.count(connection(0), KIV_NET_READABLE), 1);
    EXPECT_EQ(log.count(connection(1), KIV_NET_READABLE), 0);
}

TEST_F(PollLoopPass, HandlerDestroyingItsOwnSocketEndsItsPass) {
    std::vector<Peer> peers;
    BSDSocket* doomed = readable_stream(0, peers);
    const SocketHandle handle = doomed->handle();
    // Also due in this pass: a writable notifier and a timer.
    const std::string chunk(65536, 'x');
    int sent = 0;
    for (int round = 0; round < 10000; ++round) {
        sent = table.send(doomed, chunk.data(), static_cast<int>(chunk.size()));
        if (sent != static_cast<int>(chunk.size())) break;
    }
    ASSERT_EQ(watched(WatchList::write, handle, &BSDSocket::writable_notifier), 1u);
    bool writable = false;
    for (int round = 0; round < 1000 && !writable; ++round) {
        peers[0].drain();
        writable = wait_for(handle, WatchList::write, 10);
    }
    ASSERT_TRUE(writable);
    table.timeout(doomed, 0);
    log.all.clear();

    std::size_t entries_left_inside = 1;
    bool held_by_the_loop = false;
    log.reaction = [&](const Notification& seen) {
        if (seen.connection != connection(0) || seen.kind != KIV_NET_READABLE) return;
        held_by_the_loop = doomed->delivering();
        destroy(doomed);
        // Torn down at once, though the memory waits for the pass.
        entries_left_inside = watched_anywhere(handle) + loop.timers().size();
    };
    ASSERT_EQ(loop.run_pass(0), 0);
    EXPECT_TRUE(held_by_the_loop) << "its memory must outlive the handler";
    EXPECT_EQ(entries_left_inside, 0u);
    EXPECT_EQ(log.count(connection(0), KIV_NET_READABLE), 1);
    EXPECT_EQ(log.count(connection(0), KIV_NET_WRITABLE), 0);
    EXPECT_EQ(log.count(connection(0), KIV_NET_TIMER), 0);
}

TEST_F(PollLoopPass, AHandlerCannotRunItsOwnLoopAgain) {
    std::vector<Peer> peers;
    readable_stream(0, peers);
    std::vector<int> nested;
    log.reaction = [&](const Notification&) { nested.push_back(loop.run_pass(0)); };
    ASSERT_EQ(loop.run_pass(0), 0);
    EXPECT_EQ(nested, std::vector<int>{-1});
}

TEST_F(PollLoopPass, TwoLoopsServeOnlyTheirOwnSockets) {
    PollLoop other;
    log.attach(other);
    const KIVNetConfig other_table = default_socket_table(&other);
    void* foreign = other_table.create(connection(1), &other);
    ASSERT_EQ(other_table.connect(foreign, "127.0.0.1", listener.port()), 0);
    for (int pass = 0; pass < 200 && log.count(connection(1), KIV_NET_CONNECT_RESULT) == 0;
         ++pass) {
        other.run_pass(20);
    }
    Peer foreign_peer = listener.accept();
    ASSERT_TRUE(foreign_peer.valid());
    std::vector<Peer> peers;
    BSDSocket* own = readable_stream(0, peers);
    ASSERT_TRUE(foreign_peer.send_all("y"));
    ASSERT_TRUE(wait_for(static_cast<BSDSocket*>(foreign)->handle(), WatchList::read, 2000));
    table.timeout(own, 0);
    other_table.timeout(foreign, 0);
    log.all.clear();

    ASSERT_EQ(loop.run_pass(0), 0);
    EXPECT_EQ(log.count(connection(0), KIV_NET_READABLE), 1);
    EXPECT_EQ(log.count(connection(0), KIV_NET_TIMER), 1);
    EXPECT_EQ(log.count(connection(1), KIV_NET_READABLE), 0);
    EXPECT_EQ(log.count(connection(1), KIV_NET_TIMER), 0);
    ASSERT_EQ(other.run_pass(0), 0);
    EXPECT_EQ(log.count(connection(1), KIV_NET_READABLE), 1);
    EXPECT_EQ(log.count(connection(1), KIV_NET_TIMER), 1);
    EXPECT_EQ(log.count(connection(0), KIV_NET_READABLE), 1);
    other_table.destroy(foreign);
}

#ifndef _WIN32
// poll() reports errors and hang-ups whatever was asked for. They wake the
// readable notifier of a connected stream, and connect-ready (once) while
// connecting; no other handler.
TEST_F(PollLoopPass, HangUpWakesOnlyTheReadableNotifier) {
    std::vector<Peer> peers;
    BSDSocket* stream = readable_stream(0, peers);
    const SocketHandle handle = stream->handle();
    const std::string chunk(65536, 'x');
    for (int round = 0; round < 10000; ++round) {
        if (table.send(stream, chunk.data(), static_cast<int>(chunk.size())) !=
            static_cast<int>(chunk.size())) {
            break;
        }
    }
    ASSERT_EQ(watched(WatchList::write, handle, &BSDSocket::writable_notifier), 1u);
    PollSpy spy;
    spy.adjust = [&](pollfd* descriptors, nfds_t count) {
        for (nfds_t i = 0; i < count; ++i) {
            if (descriptors[i].fd == handle) descriptors[i].revents = POLLHUP;
        }
    };
    log.all.clear();
    ASSERT_EQ(loop.run_pass(0), 0);
    EXPECT_EQ(log.count(connection(0), KIV_NET_READABLE), 1);
    EXPECT_EQ(log.all.size(), 1u) << "neither the writable nor the closed notifier";
}

TEST_F(PollLoopPass, ErrorWakesConnectReadyOnce) {
    BSDSocket* socket = make(connection(0));
    ASSERT_EQ(table.connect(socket, "127.0.0.1", listener.port()), 0);
    if (!socket->connecting()) GTEST_SKIP() << "the platform connected at once";
    Peer peer = listener.accept();
    ASSERT_TRUE(peer.valid());
    const SocketHandle handle = socket->handle();
    PollSpy spy;
    spy.adjust = [&](pollfd* descriptors, nfds_t count) {
        for (nfds_t i = 0; i < count; ++i) {
            if (descriptors[i].fd == handle) descriptors[i].revents = POLLERR;
        }
    };
    ASSERT_EQ(loop.run_pass(0), 0);
    // SO_ERROR says the connection is fine: one result, one set of notifiers.
    EXPECT_EQ(log.statuses(connection(0), KIV_NET_CONNECT_RESULT), std::vector<int>{0});
    EXPECT_EQ(watched(WatchList::read, handle, &BSDSocket::readable_notifier), 1u);
    EXPECT_EQ(watched(WatchList::exception, handle, &BSDSocket::closed_notifier), 1u);
    EXPECT_EQ(watched_anywhere(handle), 2u);
}

// Hundreds of clients in one process have descriptors past FD_SETSIZE; the
// pass must serve them (an fd_set would be written out of bounds).
TEST(PollLoopManyDescriptors, ServesHandlesAboveFdSetSize) {
    constexpr std::size_t kLoops = 600;
    if (!raise_descriptor_limit(4096)) GTEST_SKIP() << "hard descriptor limit below 4096";
    NotificationLog log;
    Listener listener(Family::v4, 1024);
    ASSERT_TRUE(listener.valid());
    std::vector<char> connections(kLoops);
    std::vector<std::unique_ptr<PollLoop>> loops;
    std::vector<void*> sockets;
    std::vector<Peer> peers;
    const KIVNetConfig prototype = default_socket_table(nullptr);

    SocketHandle highest = 0;
    for (std::size_t i = 0; i < kLoops; ++i) {
        loops.push_back(std::make_unique<PollLoop>());
        log.attach(*loops.back());
        void* socket = prototype.create(&connections[i], loops.back().get());
        sockets.push_back(socket);
        ASSERT_EQ(prototype.connect(socket, "127.0.0.1", listener.port()), 0);
        for (int pass = 0; pass < 200 && log.count(&connections[i], KIV_NET_CONNECT_RESULT) == 0;
             ++pass) {
            loops.back()->run_pass(20);
        }
        ASSERT_EQ(log.statuses(&connections[i], KIV_NET_CONNECT_RESULT), std::vector<int>{0});
        peers.push_back(listener.accept());
        ASSERT_TRUE(peers.back().valid());
        highest = std::max(highest, static_cast<BSDSocket*>(socket)->handle());
    }
    ASSERT_GT(highest, FD_SETSIZE);

    for (std::size_t i = 0; i < kLoops; ++i) {
        ASSERT_TRUE(peers[i].send_all(std::string(1, static_cast<char>('a' + i % 26))));
    }
    for (std::size_t i = 0; i < kLoops; ++i) {
        for (int pass = 0; pass < 100 && log.count(&connections[i], KIV_NET_READABLE) == 0;
             ++pass) {
            ASSERT_EQ(loops[i]->run_pass(20), 0);
        }
        EXPECT_EQ(log.count(&connections[i], KIV_NET_READABLE), 1) << "loop " << i;
        char byte = 0;
        EXPECT_EQ(prototype.recv(sockets[i], &byte, 1), 1);
        EXPECT_EQ(byte, static_cast<char>('a' + i % 26));
    }
    for (void* socket : sockets) prototype.destroy(socket);
}
#endif

#ifndef _WIN32
// kiv_wait on the library's own sockets never returns at once while the
// Instance holds a Connection, lost or failed: each call waits its time.
// Without any Connection it fails at once, with no pass at all.
TEST(KivWaitOnOwnSockets, AFailedConnectionMakesEveryCallWaitItsTime) {
    KIVInstance* handle = kiv_create(nullptr);
    ASSERT_NE(handle, nullptr);
    PollSpy spy;
    EXPECT_EQ(kiv_wait(handle, 50), KIV_RC_CONNECTION_ERROR);
    EXPECT_TRUE(spy.timeouts.empty()) << "no Connection: no pass";

    kiv_callback_set(handle, KIV_CALLBACK_CONNECT_UNIVERSE, [](KIVInstance* instance, int rc, int) {
        kiv_int_set(instance, KIV_REFERENCE_NUMBER, rc == 0 ? 1 : 2);
    });
    ASSERT_EQ(kiv_connect_universe(handle, "127.0.0.1", unused_port()), 0);
    for (int pass = 0; pass < 200 && kiv_int(handle, KIV_REFERENCE_NUMBER) == 0; ++pass) {
        kiv_wait(handle, 10);
    }
    ASSERT_EQ(kiv_int(handle, KIV_REFERENCE_NUMBER), 2) << "the connect was refused";

    spy.timeouts.clear();
    for (int call = 0; call < 100; ++call) {
        EXPECT_EQ(kiv_wait(handle, 50), KIV_RC_CONNECTION_ERROR);
    }
    EXPECT_EQ(spy.timeouts, std::vector<int>(100, 50)) << "one pass a call, each waiting 50 ms";
    EXPECT_EQ(kiv_wait(handle, -1), KIV_RC_CONNECTION_ERROR) << "no time and no timer";
    EXPECT_EQ(spy.timeouts.size(), 100u);
    kiv_destroy(handle);
}
#endif

}  // namespace
}  // namespace kivsdk::nettest
