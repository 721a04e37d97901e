// The library's own sockets over real loopback streams: connecting with
// address fallback, writing with the writable notifier, and streams that end.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "net/socket_fixture.h"

#ifndef _WIN32
#include <netinet/tcp.h>
#endif

namespace kivsdk::nettest {
namespace {

using Fault = ScriptedResolver::Fault;

const std::string kChunk(65536, 'x');

// Sends until the socket takes less than it is given; the last result.
int fill(const KIVNetConfig& table, BSDSocket* socket) {
    for (int round = 0; round < 10000; ++round) {
        const int sent = table.send(socket, kChunk.data(), static_cast<int>(kChunk.size()));
        if (sent != static_cast<int>(kChunk.size())) return sent;
    }
    return static_cast<int>(kChunk.size());
}

// Lets the peer read until the socket can take more again.
bool drain_until_writable(Peer& peer, SocketHandle handle) {
    for (int round = 0; round < 1000; ++round) {
        if (peer.drain() < 0) return false;
        if (wait_for(handle, WatchList::write, 10)) return true;
    }
    return false;
}

// Gives the peer's reset time to arrive.
void settle(SocketHandle handle) {
#ifndef _WIN32
    wait_for_failure(handle, 100);
#else
    wait_for(handle, WatchList::exception, 100);
#endif
}

// ---------------------------------------------------------------------------
// Connect

using BsdSocketConnect = SocketTest;

TEST_F(BsdSocketConnect, ReportsOneResultAndWatchesTheStream) {
    Listener listener(Family::v4);
    ASSERT_TRUE(listener.valid());
    BSDSocket* socket = make(connection(0));
    Peer peer = connect(socket, listener);
    ASSERT_TRUE(peer.valid());
    const SocketHandle handle = socket->handle();

    // Connected: the readable and closed notifiers, nothing of connecting.
    EXPECT_FALSE(socket->connecting());
    EXPECT_EQ(watched(WatchList::read, handle, &BSDSocket::readable_notifier), 1u);
    EXPECT_EQ(watched(WatchList::exception, handle, &BSDSocket::closed_notifier), 1u);
    EXPECT_EQ(watched_anywhere(handle), 2u);
    for (int pass = 0; pass < 5; ++pass) EXPECT_EQ(loop.run_pass(0), 0);
    EXPECT_EQ(log.count(connection(0), KIV_NET_CONNECT_RESULT), 1);

    // Non-blocking, and no Nagle delay on small frames.
    char byte = 0;
    EXPECT_EQ(table.recv(socket, &byte, 1), -2);
    EXPECT_GT(int_option(handle, IPPROTO_TCP, TCP_NODELAY), 0);

    // Bytes flow both ways.
    EXPECT_EQ(table.send(socket, "ping", 4), 4);
    ASSERT_TRUE(wait_for(peer.handle(), WatchList::read, 2000));
    EXPECT_EQ(peer.drain(), 4);
    ASSERT_TRUE(peer.send_all("pong"));
    ASSERT_TRUE(pump([&] { return log.count(connection(0), KIV_NET_READABLE) > 0; }));
    char received[16] = {};
    EXPECT_EQ(table.recv(socket, received, sizeof received), 4);
    EXPECT_EQ(std::string(received, 4), "pong");
}

TEST_F(BsdSocketConnect, RefusedPortReportsOneNonzeroResult) {
    BSDSocket* socket = make(connection(0));
    EXPECT_EQ(table.connect(socket, "127.0.0.1", unused_port()), 0);
    pump([&] { return log.count(connection(0), KIV_NET_CONNECT_RESULT) > 0; });
    const std::vector<int> results = log.statuses(connection(0), KIV_NET_CONNECT_RESULT);
    ASSERT_EQ(results.size(), 1u);
    EXPECT_NE(results[0], 0);
    // Nothing is left open or watched: a pass fails at once.
    EXPECT_EQ(socket->handle(), kInvalidHandle);
    EXPECT_TRUE(loop.watches_nothing());
    EXPECT_EQ(loop.run_pass(-1), -1);
    EXPECT_EQ(log.all.size(), 1u);
}

TEST_F(BsdSocketConnect, FailedResolutionIsPostedFromInsideConnect) {
    ScriptedResolver resolver;
    bool returned = false;
    std::vector<bool> posted_before_return;
    log.reaction = [&](const Notification&) { posted_before_return.push_back(!returned); };

    resolver.fail(0);
    BSDSocket* plain = make(connection(0));
    EXPECT_EQ(table.connect(plain, "nowhere.invalid", 5000), -1);
    returned = true;
    EXPECT_EQ(log.statuses(connection(0), KIV_NET_CONNECT_RESULT), std::vector<int>{-1});

    // A would-block failure reports -2 the same way.
    returned = false;
    resolver.fail(kWouldBlock);
    BSDSocket* busy = make(connection(1));
    EXPECT_EQ(table.connect(busy, "nowhere.invalid", 5000), -2);
    returned = true;
    EXPECT_EQ(log.statuses(connection(1), KIV_NET_CONNECT_RESULT), std::vector<int>{-2});

    EXPECT_EQ(posted_before_return, (std::vector<bool>{true, true}));
    EXPECT_EQ(resolver.last_host, "nowhere.invalid");
    EXPECT_EQ(resolver.last_service, "5000");
    EXPECT_EQ(resolver.last_hint_family, AF_UNSPEC);
    EXPECT_EQ(resolver.last_hint_socktype, SOCK_STREAM);
    EXPECT_EQ(resolver.last_hint_protocol, IPPROTO_TCP);
    EXPECT_TRUE(loop.watches_nothing());
}

TEST_F(BsdSocketConnect, ResultPostedInsideConnectMayDestroyTheSocket) {
    ScriptedResolver resolver;
    resolver.answer({{Family::v4, 0, Fault::bad_address}});
    BSDSocket* socket = make(connection(0));
    bool held_by_connect = false;
    log.reaction = [&](const Notification&) {
        held_by_connect = socket->delivering();
        destroy(socket);
    };
    EXPECT_EQ(table.connect(socket, "cut.test", 1), 0);
    EXPECT_TRUE(held_by_connect) << "its memory must outlive the call";
    EXPECT_EQ(log.count(connection(0), KIV_NET_CONNECT_RESULT), 1);
    EXPECT_EQ(resolver.releases, 1);
}

// A name that resolves to both loopback addresses while only one listens.
class BsdSocketFallback : public SocketTest, public ::testing::WithParamInterface<Family> {};

TEST_P(BsdSocketFallback, ReachesTheListeningAddressWithOneResult) {
    if (!loopback_available(Family::v6)) GTEST_SKIP() << "no ::1 on this machine";
    const Family listening = GetParam();
    const Family silent = listening == Family::v4 ? Family::v6 : Family::v4;
    Listener listener(listening);
    ASSERT_TRUE(listener.valid());
    ScriptedResolver resolver;
    resolver.answer({{silent}, {listening}});

    BSDSocket* socket = make(connection(0));
    EXPECT_EQ(table.connect(socket, "both.test", listener.port()), 0);
    EXPECT_TRUE(pump([&] { return log.count(connection(0), KIV_NET_CONNECT_RESULT) > 0; }));
    Peer peer = listener.accept();
    EXPECT_TRUE(peer.valid());
    for (int pass = 0; pass < 5; ++pass) loop.run_pass(0);
    EXPECT_EQ(log.statuses(connection(0), KIV_NET_CONNECT_RESULT), std::vector<int>{0});
    EXPECT_EQ(resolver.releases, 1) << "the address list is freed once connected";
}

INSTANTIATE_TEST_SUITE_P(FirstAddressSilent, BsdSocketFallback,
                         ::testing::Values(Family::v4, Family::v6),
                         [](const ::testing::TestParamInfo<Family>& family) {
                             return std::string(family.param == Family::v4 ? "ListenerOn127"
                                                                           : "ListenerOnV6");
                         });

TEST_F(BsdSocketConnect, AddressesRefusedAtOnceAreSkipped) {
    Listener listener(Family::v4);
    ASSERT_TRUE(listener.valid());
    ScriptedResolver resolver;
    resolver.answer({{Family::v4, 0, Fault::no_socket},
                     {Family::v4, 0, Fault::bad_address},
                     {Family::v4, 0, Fault::none}});
    BSDSocket* socket = make(connection(0));
    EXPECT_EQ(table.connect(socket, "three.test", listener.port()), 0);
    EXPECT_TRUE(pump([&] { return log.count(connection(0), KIV_NET_CONNECT_RESULT) > 0; }));
    EXPECT_TRUE(listener.accept().valid());
    EXPECT_EQ(log.statuses(connection(0), KIV_NET_CONNECT_RESULT), std::vector<int>{0});
}

TEST_F(BsdSocketConnect, ResultDescribesTheLastAddressTried) {
    ScriptedResolver resolver;
    const int port = unused_port();

    // Refused at once by connect(): the platform's error code.
    resolver.answer({{Family::v4, 0, Fault::no_socket}, {Family::v4, 0, Fault::bad_address}});
    BSDSocket* cut = make(connection(0));
    EXPECT_EQ(table.connect(cut, "cut.test", port), 0);
    const std::vector<int> cut_results = log.statuses(connection(0), KIV_NET_CONNECT_RESULT);
    ASSERT_EQ(cut_results.size(), 1u) << "posted from inside connect";
    EXPECT_GT(cut_results[0], 0);

    // socket() refused last: -1.
    resolver.answer({{Family::v4, 0, Fault::bad_address}, {Family::v4, 0, Fault::no_socket}});
    BSDSocket* no_socket = make(connection(1));
    EXPECT_EQ(table.connect(no_socket, "nosocket.test", port), 0);
    EXPECT_EQ(log.statuses(connection(1), KIV_NET_CONNECT_RESULT), std::vector<int>{-1});

    // Refused later, after one refused at once: -1.
    resolver.answer({{Family::v4, 0, Fault::bad_address}, {Family::v4, 0, Fault::none}});
    BSDSocket* refused = make(connection(2));
    EXPECT_EQ(table.connect(refused, "refused.test", port), 0);
    pump([&] { return log.count(connection(2), KIV_NET_CONNECT_RESULT) > 0; });
    EXPECT_EQ(log.statuses(connection(2), KIV_NET_CONNECT_RESULT), std::vector<int>{-1});

    EXPECT_EQ(resolver.releases, 3);
    for (BSDSocket* socket : {cut, no_socket, refused}) {
        EXPECT_EQ(socket->handle(), kInvalidHandle);
    }
    EXPECT_TRUE(loop.watches_nothing());
}

#ifndef _WIN32
// The first address accepts the handshake and then resets it: the failure
// arrives through the pass (poll reports POLLOUT with POLLERR and POLLHUP, so
// both connect-ready entries are collected) and the next address is tried.
TEST_F(BsdSocketConnect, LaterFailureMovesToTheNextAddressOnce) {
    Listener resetting(Family::v4);
    Listener accepting(Family::v4);
    ASSERT_TRUE(resetting.valid() && accepting.valid());
    ScriptedResolver resolver;
    resolver.answer({{Family::v4, resetting.port()}, {Family::v4, accepting.port()}});
    BSDSocket* socket = make(connection(0));
    ASSERT_EQ(table.connect(socket, "two.test", 1), 0);
    if (!socket->connecting()) GTEST_SKIP() << "the platform connected at once";
    const SocketHandle first = socket->handle();
    EXPECT_EQ(watched(WatchList::write, first, &BSDSocket::connect_ready), 1u);
    EXPECT_EQ(watched(WatchList::exception, first, &BSDSocket::connect_ready), 1u);

    resetting.close();  // the queued connection is reset
    ASSERT_TRUE(wait_for_failure(first, 2000));
    ASSERT_EQ(loop.run_pass(0), 0);
    // The failure was handled once: the second address is being tried and
    // the twin entry of the first attempt did not complete it early.
    EXPECT_TRUE(log.all.empty());
    ASSERT_TRUE(socket->connecting());
    EXPECT_EQ(watched(WatchList::write, socket->handle(), &BSDSocket::connect_ready), 1u);
    EXPECT_EQ(watched(WatchList::exception, socket->handle(), &BSDSocket::connect_ready), 1u);

    EXPECT_TRUE(pump([&] { return log.count(connection(0), KIV_NET_CONNECT_RESULT) > 0; }));
    EXPECT_TRUE(accepting.accept().valid());
    EXPECT_EQ(log.statuses(connection(0), KIV_NET_CONNECT_RESULT), std::vector<int>{0});
    EXPECT_EQ(resolver.releases, 1);
}
#endif

// ---------------------------------------------------------------------------
// Send

using BsdSocketSend = SocketTest;

TEST_F(BsdSocketSend, ShortWriteArmsOneWritableNotifierUntilAFullWrite) {
    Listener listener(Family::v4);
    BSDSocket* socket = make(connection(0));
    Peer peer = connect(socket, listener);
    ASSERT_TRUE(peer.valid());
    const SocketHandle handle = socket->handle();
    const auto writable_entries = [&] {
        return watched(WatchList::write, handle, &BSDSocket::writable_notifier);
    };

    const int short_result = fill(table, socket);
    ASSERT_LT(short_result, static_cast<int>(kChunk.size()));
    EXPECT_TRUE(short_result == -2 || short_result >= 0);
    EXPECT_EQ(writable_entries(), 1u);
    const int again = table.send(socket, kChunk.data(), static_cast<int>(kChunk.size()));
    EXPECT_LT(again, static_cast<int>(kChunk.size()));
    EXPECT_EQ(writable_entries(), 1u) << "a second short write keeps a single notifier";

    // Once the peer has read, each pass posts one WRITABLE while armed.
    ASSERT_TRUE(drain_until_writable(peer, handle));
    log.all.clear();
    ASSERT_EQ(loop.run_pass(0), 0);
    EXPECT_EQ(log.count(connection(0), KIV_NET_WRITABLE), 1);
    ASSERT_EQ(loop.run_pass(0), 0);
    EXPECT_EQ(log.count(connection(0), KIV_NET_WRITABLE), 2);

    // A write that goes out whole disarms it.
    EXPECT_EQ(table.send(socket, "z", 1), 1);
    EXPECT_EQ(writable_entries(), 0u);
    ASSERT_EQ(loop.run_pass(0), 0);
    EXPECT_EQ(log.count(connection(0), KIV_NET_WRITABLE), 2);
}

TEST_F(BsdSocketSend, HardErrorReturnsMinusOneWithoutSignalAndStopsWatching) {
    Listener listener(Family::v4);
    BSDSocket* socket = make(connection(0));
    Peer peer = connect(socket, listener);
    ASSERT_TRUE(peer.valid());
    const SocketHandle handle = socket->handle();
    peer.close();  // whatever arrives now is answered with a reset

    int result = 0;
    for (int round = 0; round < 200 && result != -1; ++round) {
        result = table.send(socket, "data", 4);
        if (result != -1) settle(handle);
    }
    ASSERT_EQ(result, -1);
    // Writing to a stream that is gone fails again, and the process is
    // still here: no SIGPIPE.
    EXPECT_EQ(table.send(socket, "more", 4), -1);
    EXPECT_EQ(watched_anywhere(handle), 0u);
    EXPECT_EQ(loop.run_pass(-1), -1) << "nothing left to watch";
}

// ---------------------------------------------------------------------------
// Streams that end: seen once, then neither read nor watched again.

class BsdSocketDeadStream : public SocketTest {
protected:
    void SetUp() override {
        ASSERT_TRUE(listener.valid());
        dying = make(connection(0));
        dying_peer = connect(dying, listener);
        idle = make(connection(1));  // keeps the loop busy after the end
        idle_peer = connect(idle, listener);
        ASSERT_TRUE(dying_peer.valid() && idle_peer.valid());
        // React as a Connection does: read until 0 or less, flush on writable.
        log.reaction = [this](const Notification& seen) {
            BSDSocket* socket = seen.connection == connection(0) ? dying : idle;
            if (seen.kind == KIV_NET_READABLE) {
                char buffer[10240];
                int result = 0;
                do {
                    result = counted.recv(socket, buffer, static_cast<int>(sizeof buffer));
                } while (result > 0);
                if (socket == dying) last_results.push_back(result);
            } else if (seen.kind == KIV_NET_WRITABLE) {
                counted.send(socket, "x", 1);
            }
        };
    }

    // After the end: passes run (the idle stream is still watched) and
    // nothing more of the dying stream is dispatched, read or written.
    void expect_quiet_after_end() {
        const int reads = CountingTable::recv_calls;
        const int writes = CountingTable::send_calls;
        const int readable = log.count(connection(0), KIV_NET_READABLE);
        EXPECT_EQ(watched_anywhere(dying->handle()), 0u);
        for (int pass = 0; pass < 5; ++pass) EXPECT_EQ(loop.run_pass(0), 0);
        EXPECT_EQ(CountingTable::recv_calls, reads);
        EXPECT_EQ(CountingTable::send_calls, writes);
        EXPECT_EQ(log.count(connection(0), KIV_NET_READABLE), readable);
        EXPECT_EQ(log.count(connection(0), KIV_NET_WRITABLE), 0);
        EXPECT_EQ(log.count(connection(0), KIV_NET_DISCONNECTED), disconnects);
    }

    Listener listener{Family::v4};
    KIVNetConfig counted = CountingTable::wrap(table);
    BSDSocket* dying = nullptr;
    BSDSocket* idle = nullptr;
    Peer dying_peer;
    Peer idle_peer;
    std::vector<int> last_results;
    int disconnects = 0;  // expected of the dying stream
};

TEST_F(BsdSocketDeadStream, PeerCloseIsReadOnce) {
    ASSERT_TRUE(dying_peer.send_all("bye"));
    dying_peer.close();
    ASSERT_TRUE(pump([&] { return !last_results.empty() && last_results.back() == 0; }));
    EXPECT_EQ(last_results.back(), 0);
    expect_quiet_after_end();
}

TEST_F(BsdSocketDeadStream, ResetIsReadOnceAndItsPendingWriteIsDropped) {
    // A write is outstanding, so the reset stream is writable too.
    ASSERT_LT(fill(table, dying), static_cast<int>(kChunk.size()));
    ASSERT_EQ(watched(WatchList::write, dying->handle(), &BSDSocket::writable_notifier), 1u);
    dying_peer.reset();
    ASSERT_TRUE(pump([&] { return !last_results.empty(); }));
#ifdef _WIN32
    // Wine reads a reset stream as an orderly end; Windows as an error.
    ASSERT_EQ(last_results.size(), 1u);
    EXPECT_LE(last_results[0], 0);
#else
    EXPECT_EQ(last_results, std::vector<int>{-1});
#endif
    // The readable notifier ran first; the writable entry collected in the
    // same pass was dropped with the stream.
    expect_quiet_after_end();
}

TEST_F(BsdSocketDeadStream, ExceptionIsReportedOnceAsDisconnected) {
    // Urgent data puts the stream in the exception set until it is read.
    const char urgent = '!';
    ASSERT_EQ(::send(dying_peer.handle(), &urgent, 1, MSG_OOB), 1);
    ASSERT_TRUE(pump([&] { return log.count(connection(0), KIV_NET_DISCONNECTED) > 0; }));
    disconnects = 1;
    expect_quiet_after_end();
}

}  // namespace
}  // namespace kivsdk::nettest
