// Frame reassembly: a byte stream served in arbitrary chunks, several chunks
// sometimes waiting for one readable notification. Every complete frame must
// reach the message handler once, whole and in order; an unfinished frame
// must be reported as stalled once its header is over ten seconds old.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <vector>

#include "connection/connection.h"
#include "harness.h"
#include "wire/packet_reader.h"

namespace {

using kivsdk::fuzz::Bytes;

struct Observed {
    std::vector<Bytes> bodies;
    int stalls = 0;
    int losses = 0;
};
Observed* observed = nullptr;

void on_connect_result(kivsdk::Connection&, int) {}
void on_disconnected(kivsdk::Connection&, int reason) {
    if (reason == 16) {
        ++observed->stalls;
    } else {
        ++observed->losses;
    }
}
void on_message(kivsdk::Connection&, kivsdk::PacketReader& body) {
    observed->bodies.emplace_back(body.body(), body.body() + body.remaining());
}

[[noreturn]] void fail(const char* what) {
    std::fprintf(stderr, "reassembly fault: %s\n", what);
    std::abort();
}

// The frames a correct reader finds in the stream, and whether it ends
// inside one whose header has been read.
struct Expected {
    std::vector<Bytes> bodies;
    bool unfinished = false;
};

Expected cut(const Bytes& stream) {
    Expected expected;
    std::size_t offset = 0;
    while (offset + 2 <= stream.size()) {
        const std::size_t length =
            static_cast<std::size_t>(stream[offset] << 8 | stream[offset + 1]);
        if (offset + 2 + length > stream.size()) {
            expected.unfinished = true;
            break;
        }
        if (length > 0) {
            expected.bodies.emplace_back(stream.begin() + static_cast<long>(offset + 2),
                                         stream.begin() + static_cast<long>(offset + 2 + length));
        }
        offset += 2 + length;
    }
    return expected;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    // Eight control bytes choose the chunk sizes; the rest is the stream.
    constexpr std::size_t kControl = 8;
    if (size < kControl) return 0;
    const std::uint8_t* control = data;
    const Bytes stream(data + kControl, data + size);

    Observed seen;
    observed = &seen;
    kivsdk::fuzz::Session session;
    kivsdk::Instance& instance = session.instance();
    instance.universe.connection = std::make_unique<kivsdk::Connection>(
        instance.operations(),
        kivsdk::ConnectionHandlers{&on_connect_result, &on_disconnected, &on_message}, instance);
    instance.universe.connection->connect("reassembly.test", 1);
    kivsdk::fuzz::RecordingTable& net = session.net();
    kivsdk::fuzz::RecordingTable::Socket& socket = net.last_socket();
    net.post(socket, KIV_NET_CONNECT_RESULT, 0);

    std::size_t offset = 0;
    for (std::size_t i = 0; offset < stream.size(); ++i) {
        const std::uint8_t c = control[i % kControl];
        // 1 to 4096 bytes, small ones likelier; with the top bit, chunks past
        // one read's size.
        const std::size_t small = static_cast<std::size_t>(c & 0x3F) + 1;
        const std::size_t chunk =
            (c & 0x80) != 0 ? static_cast<std::size_t>(c & 0x7F) * 97 + 1 : small * small;
        const std::size_t end = std::min(stream.size(), offset + chunk);
        net.serve(socket, Bytes(stream.begin() + static_cast<long>(offset),
                                stream.begin() + static_cast<long>(end)));
        offset = end;
        // Bit 6: leave the chunk waiting for the next notification.
        if ((c & 0x40) == 0 || offset == stream.size()) net.post(socket, KIV_NET_READABLE);
    }

    const Expected expected = cut(stream);
    if (seen.bodies != expected.bodies) fail("delivered frames differ from the stream's frames");
    if (!socket.incoming.empty()) fail("served bytes were left unread");

    session.clock().advance(11);
    net.post(socket, KIV_NET_TIMER);
    if (seen.stalls != (expected.unfinished ? 1 : 0))
        fail("stall report does not match the stream");
    if (seen.losses != 0) fail("a healthy stream was reported lost");
    observed = nullptr;
    return 0;
}
