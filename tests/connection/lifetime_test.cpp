// Handlers that discard the Connection or destroy the Instance that is
// delivering to them. The sanitizer build turns any use after free into a
// failure.
#include "connection/connection_fixture.h"

namespace kivsdk::test {
namespace {

using Lifetime = ConnectionTest;

TEST_F(Lifetime, DiscardingTheConnectionMidChunkStopsDelivery) {
    connected();
    received.on_frame = [](Instance& owner, const Bytes& body) {
        if (body == Bytes{2}) Instance::discard(owner.universe.connection);
    };
    net.deliver(*socket, join({frame({1}), frame({2}), frame({3})}));
    EXPECT_EQ(received.frames, (std::vector<Bytes>{{1}, {2}}));
    EXPECT_EQ(instance().universe.connection, nullptr);
    EXPECT_TRUE(socket->destroyed) << "the socket is closed at once";
    EXPECT_EQ(net.operations_of(*socket).back(), "destroy");
    EXPECT_EQ(socket->timer_seconds, -1);
    EXPECT_EQ(socket->operations_after_destroy, 0);
    EXPECT_EQ(socket->recv_calls, 1) << "nothing more is read after the discard";
}

TEST_F(Lifetime, DestroyingTheInstanceMidChunkStopsDelivery) {
    connected();
    received.on_frame = [](Instance& owner, const Bytes& body) {
        if (body == Bytes{2}) kiv_destroy(owner.handle());
    };
    net.deliver(*socket, join({frame({1}), frame({2}), frame({3})}));
    handle = nullptr;  // freed once delivery unwound
    EXPECT_EQ(received.frames, (std::vector<Bytes>{{1}, {2}}));
    EXPECT_TRUE(socket->destroyed);
    EXPECT_EQ(socket->operations_after_destroy, 0);
}

TEST_F(Lifetime, ReconnectingFromTheDisconnectHandler) {
    connected();
    received.on_disconnect = [this](Instance& owner, int) {
        const KIVNetConfig config = owner.operations();
        Instance::discard(owner.universe.connection);
        owner.universe.connection = std::make_unique<Connection>(
            config, ConnectionHandlers{&on_connect_result, &on_disconnected, &on_message, nullptr}, owner);
        owner.universe.connection->connect("again.test", 1);
        connection = owner.universe.connection.get();
    };
    net.serve(*socket, frame({1}));
    net.serve_close(*socket);
    net.post(*socket, KIV_NET_READABLE);
    EXPECT_EQ(received.disconnects, (std::vector<int>{-1}));
    ASSERT_EQ(net.sockets.size(), 2u);
    EXPECT_TRUE(net.sockets[0]->destroyed);
    EXPECT_EQ(net.sockets[0]->operations_after_destroy, 0);

    RecordingTable::Socket& fresh = *net.sockets[1];
    EXPECT_EQ(fresh.host, "again.test");
    net.post(fresh, KIV_NET_CONNECT_RESULT, 0);
    net.deliver(fresh, frame({9}));
    EXPECT_EQ(received.frames, (std::vector<Bytes>{{1}, {9}}));
}

TEST_F(Lifetime, DestroyInsideWaitEndsTheWaitWithSuccess) {
    connected();
    received.on_frame = [](Instance& owner, const Bytes&) { kiv_destroy(owner.handle()); };
    net.on_wait = [this](int) {
        net.deliver(*socket, join({frame({1}), frame({2})}));
        // The pass goes on after the handler: later notifications for the
        // destroyed Instance's sockets are not delivered.
        return -1;
    };
    EXPECT_EQ(kiv_wait(handle, 100), KIV_RC_SUCCESS);
    handle = nullptr;
    EXPECT_EQ(received.frames, (std::vector<Bytes>{{1}}));
    EXPECT_TRUE(socket->destroyed);
}

TEST_F(Lifetime, DestroyFromTheStallReportSkipsTheKeepAlive) {
    connected();
    received.on_disconnect = [](Instance& owner, int) { kiv_destroy(owner.handle()); };
    net.deliver(*socket, {0x00, 0x09});
    clock.advance(40);
    net.post(*socket, KIV_NET_TIMER);
    handle = nullptr;
    EXPECT_EQ(received.disconnects, (std::vector<int>{16}));
    EXPECT_TRUE(socket->written.empty());
    EXPECT_EQ(socket->operations_after_destroy, 0);
}

}  // namespace
}  // namespace kivsdk::test
