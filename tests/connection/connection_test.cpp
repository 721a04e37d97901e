// Output queue, flushing, keep-alive, stall reports and the loss rule.
#include <string>

#include "connection/connection_fixture.h"
#include "wire/packet_writer.h"

namespace kivsdk::test {
namespace {

using Output = ConnectionTest;
using Timer = ConnectionTest;
using Loss = ConnectionTest;

const Bytes kKeepAlive{0x00, 0x05, 0x1C, 0x00, 0x00, 0x00, 0x00};

TEST_F(Output, CreatesItsSocketAndConnectsToTheGivenHost) {
    EXPECT_EQ(net.operations_of(*socket), (std::vector<std::string>{"create", "connect"}));
    EXPECT_EQ(socket->host, "server.test");
    EXPECT_EQ(socket->port, 4321);
    EXPECT_EQ(socket->connection, connection);
    EXPECT_EQ(connection->host(), "server.test");
}

TEST_F(Output, ShortSendLeavesTheRestQueuedInOrder) {
    connected();
    const Bytes payload = numbered_frame(4998, 7);  // 5000 bytes
    net.script_send(*socket, {RecordingTable::SendResult::partial(3000),
                              RecordingTable::SendResult::would_block()});
    connection->send_frame(payload.data(), payload.size());
    EXPECT_EQ(socket->written, Bytes(payload.begin(), payload.begin() + 3000));
    EXPECT_EQ(connection->output_queue().size(), 2000u);
    EXPECT_TRUE(received.disconnects.empty()) << "-2 is not a failure";

    net.post(*socket, KIV_NET_WRITABLE);
    EXPECT_EQ(socket->written, payload);
    EXPECT_EQ(socket->send_sizes, (std::vector<int>{5000, 2000, 2000}));
    EXPECT_TRUE(connection->output_queue().empty());
}

TEST_F(Output, WouldBlockKeepsEverythingUntilWritable) {
    connected();
    net.script_send(*socket, {RecordingTable::SendResult::would_block()});
    const Bytes a = frame({1, 2, 3});
    const Bytes b = frame({4});
    connection->send_frame(a.data(), a.size());
    connection->send_frame(b.data(), b.size());  // flush attempt: accepted at once
    EXPECT_EQ(socket->written, join({a, b})) << "the second flush sends both, in order";

    net.script_send(*socket, {RecordingTable::SendResult::would_block()});
    connection->send_frame(a.data(), a.size());
    EXPECT_EQ(connection->output_queue().size(), a.size());
    net.post(*socket, KIV_NET_WRITABLE);
    EXPECT_EQ(socket->written, join({a, b, a}));
}

TEST_F(Output, LargeSendsGoInPiecesOf10240) {
    connected();
    const Bytes big = numbered_frame(25000, 1);
    connection->send_frame(big.data(), big.size());
    EXPECT_EQ(socket->send_sizes, (std::vector<int>{10240, 10240, 4522}));
    EXPECT_EQ(socket->written, big);
}

TEST_F(Output, ChunksAreFilledBeforeNewOnesAreAdded) {
    connected();
    net.script_send(*socket, {RecordingTable::SendResult::would_block(),
                              RecordingTable::SendResult::would_block()});
    const Bytes big = numbered_frame(2498, 0);
    connection->send_frame(big.data(), big.size());
    const OutputQueue& queue = connection->output_queue();
    ASSERT_EQ(queue.chunk_count(), 3u);
    EXPECT_EQ(queue.chunk(0).filled, 1024);
    EXPECT_EQ(queue.chunk(1).filled, 1024);
    EXPECT_EQ(queue.chunk(2).filled, 452);
    const Bytes small = numbered_frame(98, 0);
    connection->send_frame(small.data(), small.size());
    ASSERT_EQ(queue.chunk_count(), 3u);
    EXPECT_EQ(queue.chunk(2).filled, 552);
}

// With nothing queued, a frame goes to the socket from the caller's bytes
// and only what the socket leaves is queued. A lone queued frame is sent
// from its chunk; several chunks are gathered into one send.
TEST_F(Output, FramesGoStraightOutWhenNothingWaitsAndTheRestIsQueued) {
    connected();
    const Bytes small = numbered_frame(40, 3);
    connection->send_frame(small.data(), small.size());
    EXPECT_EQ(socket->written, small);
    EXPECT_EQ(socket->send_sizes, (std::vector<int>{42}));
    const OutputQueue& queue = connection->output_queue();
    EXPECT_TRUE(queue.empty());
    EXPECT_EQ(queue.chunk_count(), 0u) << "nothing was copied into the queue";

    net.script_send(*socket, {RecordingTable::SendResult::partial(10),
                              RecordingTable::SendResult::would_block()});
    connection->send_frame(small.data(), small.size());
    EXPECT_EQ(queue.size(), small.size() - 10) << "the rest waits, in order";
    ASSERT_EQ(queue.chunk_count(), 1u);
    unsigned char scratch[4096];
    std::size_t count = 0;
    EXPECT_EQ(queue.front(scratch, sizeof scratch, count), queue.chunk(0).data + 0);
    EXPECT_EQ(count, small.size() - 10);
    EXPECT_EQ(queue.front(scratch, 5, count), queue.chunk(0).data);
    EXPECT_EQ(count, 5u) << "never more than asked";

    const Bytes big = numbered_frame(1500, 4);
    net.script_send(*socket, {RecordingTable::SendResult::would_block()});
    connection->send_frame(big.data(), big.size());
    ASSERT_EQ(queue.chunk_count(), 2u);
    EXPECT_EQ(queue.front(scratch, sizeof scratch, count), scratch);
    EXPECT_EQ(Bytes(scratch, scratch + count), join({Bytes(small.begin() + 10, small.end()), big}));

    net.post(*socket, KIV_NET_WRITABLE);
    EXPECT_EQ(socket->written, join({small, small, big}));
    EXPECT_TRUE(queue.empty());
    EXPECT_EQ(queue.front(scratch, sizeof scratch, count), scratch);
    EXPECT_EQ(count, 0u);
}

TEST_F(Output, OversizedMessageIsRefusedWithoutQueueing) {
    connected();
    PacketWriter writer;
    writer.append_byte(10);
    const std::string blob(65535, 'x');
    writer.append_blob16(blob.data(), blob.size());
    EXPECT_EQ(connection->send(writer), KIV_RC_STRING_TOO_LONG);
    EXPECT_EQ(socket->send_calls, 0);
    EXPECT_TRUE(connection->output_queue().empty());
}

TEST_F(Timer, ConnectResultArmsTheTimerOnlyOnSuccess) {
    net.post(*socket, KIV_NET_CONNECT_RESULT, 10061);
    EXPECT_EQ(received.connect_results, (std::vector<int>{10061}));
    EXPECT_EQ(socket->timeout_calls, 0);
    net.post(*socket, KIV_NET_CONNECT_RESULT, 0);
    EXPECT_EQ(socket->timer_seconds, 30);
    EXPECT_EQ(received.connect_results, (std::vector<int>{10061, 0}));
}

TEST_F(Timer, KeepAliveAfterThirtySilentSecondsThenRearms) {
    connected();
    clock.advance(12);
    net.post(*socket, KIV_NET_TIMER);
    EXPECT_TRUE(socket->written.empty());
    EXPECT_EQ(socket->timer_seconds, 18);

    clock.advance(18);
    net.post(*socket, KIV_NET_TIMER);
    EXPECT_EQ(socket->written, kKeepAlive);
    EXPECT_EQ(socket->timer_seconds, 30);

    // Sending counts as activity: 20 s after the last send, re-arm 10 s.
    clock.advance(5);
    const Bytes one = frame({1});
    connection->send_frame(one.data(), one.size());
    clock.advance(20);
    net.post(*socket, KIV_NET_TIMER);
    EXPECT_EQ(socket->written, join({kKeepAlive, one}));
    EXPECT_EQ(socket->timer_seconds, 10);
}

TEST_F(Timer, ClockGoingBackwardsCountsAsNoTimePassed) {
    connected();
    clock.advance(-100);
    net.post(*socket, KIV_NET_TIMER);
    EXPECT_EQ(socket->timer_seconds, 30);
    EXPECT_TRUE(socket->written.empty());
}

TEST_F(Timer, StalledFrameIsReportedAtEveryTickAlongsideKeepAlive) {
    connected();
    net.deliver(*socket, {0x01, 0x00, 0xAA});  // announces 256, brings 1
    clock.advance(10);
    net.post(*socket, KIV_NET_TIMER);
    EXPECT_TRUE(received.disconnects.empty()) << "10 s is not yet a stall";

    clock.advance(1);
    net.post(*socket, KIV_NET_TIMER);
    EXPECT_EQ(received.disconnects, (std::vector<int>{16}));
    EXPECT_EQ(socket->timer_seconds, 19) << "the keep-alive logic ran in the same tick";

    clock.advance(19);
    net.post(*socket, KIV_NET_TIMER);
    EXPECT_EQ(received.disconnects, (std::vector<int>{16, 16}));
    EXPECT_EQ(socket->written, kKeepAlive);
    EXPECT_FALSE(connection->lost()) << "a stall is not a loss";
}

TEST_F(Loss, PeerCloseIsReportedOnceAfterTheBytesBeforeIt) {
    connected();
    net.serve(*socket, join({frame({1}), frame({2})}));
    net.serve_close(*socket);
    net.post(*socket, KIV_NET_READABLE);
    EXPECT_EQ(received.frames, (std::vector<Bytes>{{1}, {2}}));
    EXPECT_EQ(received.disconnects, (std::vector<int>{-1}));
    EXPECT_EQ(socket->timer_seconds, -1) << "the timer is cancelled";

    const int recv_calls = socket->recv_calls;
    net.serve(*socket, frame({3}));
    net.post(*socket, KIV_NET_READABLE);
    net.post(*socket, KIV_NET_DISCONNECTED);
    net.post(*socket, KIV_NET_TIMER);
    net.post(*socket, KIV_NET_WRITABLE);
    EXPECT_EQ(socket->recv_calls, recv_calls) << "a dead connection reads nothing";
    EXPECT_EQ(received.disconnects, (std::vector<int>{-1}));
    EXPECT_EQ(received.frames.size(), 2u);
}

TEST_F(Loss, ReceiveErrorIsReportedAsClosed) {
    connected();
    net.serve_error(*socket);
    net.post(*socket, KIV_NET_READABLE);
    EXPECT_EQ(received.disconnects, (std::vector<int>{-1}));
}

TEST_F(Loss, DisconnectedNotificationIsReportedOnce) {
    connected();
    net.post(*socket, KIV_NET_DISCONNECTED, 1234);
    net.post(*socket, KIV_NET_DISCONNECTED, 0);
    EXPECT_EQ(received.disconnects, (std::vector<int>{-1}));
    EXPECT_EQ(socket->timer_seconds, -1);
}

TEST_F(Loss, SendFailureIsReportedOnceAndTheDataStaysQueued) {
    connected();
    net.script_send(*socket, {RecordingTable::SendResult::error()});
    const Bytes a = frame({1, 2});
    connection->send_frame(a.data(), a.size());
    EXPECT_EQ(received.disconnects, (std::vector<int>{9}));
    EXPECT_EQ(connection->output_queue().size(), a.size());
    EXPECT_EQ(socket->timer_seconds, -1);

    // Later requests are still queued, but nothing is written or reported,
    // not even by the keep-alive of later ticks.
    connection->send_frame(a.data(), a.size());
    clock.advance(60);
    net.post(*socket, KIV_NET_TIMER);
    net.post(*socket, KIV_NET_WRITABLE);
    EXPECT_EQ(socket->send_calls, 1);
    EXPECT_EQ(connection->output_queue().size(), 2 * a.size());
    EXPECT_EQ(received.disconnects, (std::vector<int>{9}));
}

TEST_F(Loss, ZeroBytesSentIsAFailure) {
    connected();
    net.script_send(*socket, {RecordingTable::SendResult::zero()});
    const Bytes a = frame({1});
    connection->send_frame(a.data(), a.size());
    EXPECT_EQ(received.disconnects, (std::vector<int>{9}));
}

TEST_F(Loss, UnknownKindsAreIgnored) {
    connected();
    EXPECT_EQ(kiv_net_notify(connection, 5, 0), 0);
    EXPECT_EQ(kiv_net_notify(connection, -1, 0), 0);
    EXPECT_TRUE(net.log.empty());
    EXPECT_TRUE(received.disconnects.empty());
}

TEST_F(Loss, DestroyCancelsTheTimerAndClosesWithoutCallbacks) {
    connected();
    net.serve(*socket, {0x00});
    kiv_destroy(handle);
    handle = nullptr;
    EXPECT_EQ(net.operations_of(*socket), (std::vector<std::string>{"timeout", "destroy"}));
    EXPECT_EQ(net.log.front().value, -1);
    EXPECT_TRUE(received.disconnects.empty());
    EXPECT_TRUE(received.frames.empty());
}

}  // namespace
}  // namespace kivsdk::test
