#include "support/session_fixture.h"

#include "universe/universe_session.h"
#include "world/world_session.h"

namespace kivsdk::test {
namespace {

void ignore_connect_result(Connection&, int) {}

}  // namespace

std::vector<Bytes> cut_frames(const Bytes& stream, std::size_t& rest) {
    std::vector<Bytes> frames;
    std::size_t offset = 0;
    while (offset + 2 <= stream.size()) {
        const std::size_t length =
            static_cast<std::size_t>(stream[offset] << 8 | stream[offset + 1]);
        if (offset + 2 + length > stream.size()) break;
        frames.emplace_back(stream.begin() + static_cast<long>(offset + 2),
                            stream.begin() + static_cast<long>(offset + 2 + length));
        offset += 2 + length;
    }
    rest = stream.size() - offset;
    return frames;
}

std::vector<Bytes> frames_in(const Bytes& stream) {
    std::size_t rest = 0;
    std::vector<Bytes> frames = cut_frames(stream, rest);
    EXPECT_EQ(rest, 0u) << "the stream ends inside a frame";
    return frames;
}

void SessionTest::SetUp() {
    const KIVNetConfig config = net.table();
    handle = kiv_create(&config);
    ASSERT_NE(handle, nullptr);
}

void SessionTest::TearDown() { kiv_destroy(handle); }

RecordingTable::Socket& SessionTest::open_universe(bool ready) {
    instance().install(Side::kUniverse, universe_connection_handlers());
    instance().universe.connection->connect("universe.test", 6670);
    universe_socket = &net.last_socket();
    net.post(*universe_socket, KIV_NET_CONNECT_RESULT, 0);  // sends 00 01 27
    universe_seen_ = universe_socket->written.size();
    instance().universe.ready = ready;
    return *universe_socket;
}

RecordingTable::Socket& SessionTest::open_world(bool ready) {
    // The world's own handlers, but a connect result that only counts: the
    // world login is not sent.
    const ConnectionHandlers world = world_connection_handlers(false);
    instance().install(Side::kWorld, ConnectionHandlers{&ignore_connect_result, world.disconnected,
                                                        world.message, world.alarm});
    instance().world.connection->connect("world.test", 57002);
    world_socket = &net.last_socket();
    net.post(*world_socket, KIV_NET_CONNECT_RESULT, 0);
    world_seen_ = world_socket->written.size();
    instance().world.ready = ready;
    return *world_socket;
}

void SessionTest::receive(RecordingTable::Socket& socket, const Bytes& body) {
    net.deliver(socket, framed(body));
}

std::vector<Bytes> SessionTest::sent(RecordingTable::Socket& socket) {
    std::size_t& seen = &socket == universe_socket ? universe_seen_ : world_seen_;
    const Bytes fresh(socket.written.begin() + static_cast<long>(seen), socket.written.end());
    seen = socket.written.size();
    return frames_in(fresh);
}

}  // namespace kivsdk::test
