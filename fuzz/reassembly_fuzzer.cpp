// Frame reassembly: a byte stream served in arbitrary chunks. Straight into
// a FrameReader, fed or landed in place, every complete frame must come out
// once, whole and in order, and take() must hand back exactly the bytes
// after the last one. Through a Connection, with several chunks sometimes
// waiting for one readable notification, every complete frame must reach
// the message handler the same way, and an unfinished frame must be
// reported as stalled once its header is over ten seconds old.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <vector>

#include "connection/connection.h"
#include "harness.h"
#include "wire/frame_reader.h"
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

// The frames a correct reader finds in the stream, whether it ends inside
// one whose header has been read (and its announced length), and where the
// bytes after the last whole frame begin. Worked out here byte by byte,
// apart from the reader's own code.
struct Expected {
    std::vector<Bytes> bodies;
    bool unfinished = false;
    std::uint16_t pending_length = 0;
    std::size_t rest = 0;
};

Expected cut(const Bytes& stream) {
    Expected expected;
    std::size_t offset = 0;
    while (offset + 2 <= stream.size()) {
        const std::size_t length =
            static_cast<std::size_t>(stream[offset] << 8 | stream[offset + 1]);
        if (offset + 2 + length > stream.size()) {
            expected.unfinished = true;
            expected.pending_length = static_cast<std::uint16_t>(length);
            break;
        }
        if (length > 0) {
            expected.bodies.emplace_back(stream.begin() + static_cast<long>(offset + 2),
                                         stream.begin() + static_cast<long>(offset + 2 + length));
        }
        offset += 2 + length;
    }
    expected.rest = offset;
    return expected;
}

// 1 to 4096 bytes, small ones likelier; with the top bit, chunks past one
// read's size.
std::size_t chunk_size(std::uint8_t c) {
    const std::size_t small = static_cast<std::size_t>(c & 0x3F) + 1;
    return (c & 0x80) != 0 ? static_cast<std::size_t>(c & 0x7F) * 97 + 1 : small * small;
}

void drain(kivsdk::FrameReader& reader, std::vector<Bytes>& bodies) {
    const unsigned char* body = nullptr;
    std::uint16_t length = 0;
    while (reader.next(body, length)) {
        if (length == 0) fail("an empty frame was handed out");
        bodies.emplace_back(body, body + length);
    }
}

// The stream through a FrameReader over the least storage it may have:
// bit 6 of a control byte lands the chunk in place instead of feeding it.
// A full storage takes part of a chunk; the rest follows once the frames
// it completed are out.
void through_frame_reader(const std::uint8_t* control, std::size_t control_size,
                          const Bytes& stream, const Expected& expected) {
    std::vector<unsigned char> storage(kivsdk::FrameReader::kMinimumStorage);
    kivsdk::FrameReader reader(storage.data(), kivsdk::FrameReader::kMinimumStorage);
    std::vector<Bytes> bodies;
    std::size_t offset = 0;
    for (std::size_t i = 0; offset < stream.size(); ++i) {
        const std::uint8_t c = control[i % control_size];
        const std::size_t end = std::min(stream.size(), offset + chunk_size(c));
        while (offset < end) {
            std::size_t taken = 0;
            if ((c & 0x40) != 0) {
                taken = std::min(end - offset, static_cast<std::size_t>(reader.write_room()));
                std::copy_n(stream.begin() + static_cast<long>(offset), taken, reader.write_area());
                reader.commit(static_cast<std::int32_t>(taken));
            } else {
                taken = static_cast<std::size_t>(
                    reader.feed(stream.data() + offset, static_cast<std::int32_t>(end - offset)));
            }
            if (taken == 0) fail("no room although every complete frame was taken");
            offset += taken;
            drain(reader, bodies);
        }
    }
    if (bodies != expected.bodies) fail("FrameReader frames differ from the stream's frames");
    if (reader.pending_length() != expected.pending_length)
        fail("FrameReader announces another pending length");
    if (reader.partial() != (expected.rest < stream.size()))
        fail("FrameReader partial() does not match the bytes left");
    const Bytes rest = reader.take();
    if (rest != Bytes(stream.begin() + static_cast<long>(expected.rest), stream.end()))
        fail("take() did not hand back exactly the bytes after the last frame");
    if (reader.partial() || reader.buffered() != 0 || reader.pending_length() != 0)
        fail("take() left bytes behind");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    // Eight control bytes choose the chunk sizes; the rest is the stream.
    constexpr std::size_t kControl = 8;
    if (size < kControl) return 0;
    const std::uint8_t* control = data;
    const Bytes stream(data + kControl, data + size);
    const Expected expected = cut(stream);
    through_frame_reader(control, kControl, stream, expected);

    Observed seen;
    observed = &seen;
    kivsdk::fuzz::Session session;
    kivsdk::Instance& instance = session.instance();
    instance.universe.connection = std::make_unique<kivsdk::Connection>(
        instance.operations(),
        kivsdk::ConnectionHandlers{&on_connect_result, &on_disconnected, &on_message, nullptr}, instance);
    instance.universe.connection->connect("reassembly.test", 1);
    kivsdk::fuzz::RecordingTable& net = session.net();
    kivsdk::fuzz::RecordingTable::Socket& socket = net.last_socket();
    net.post(socket, KIV_NET_CONNECT_RESULT, 0);

    std::size_t offset = 0;
    for (std::size_t i = 0; offset < stream.size(); ++i) {
        const std::uint8_t c = control[i % kControl];
        const std::size_t end = std::min(stream.size(), offset + chunk_size(c));
        net.serve(socket, Bytes(stream.begin() + static_cast<long>(offset),
                                stream.begin() + static_cast<long>(end)));
        offset = end;
        // Bit 6: leave the chunk waiting for the next notification.
        if ((c & 0x40) == 0 || offset == stream.size()) net.post(socket, KIV_NET_READABLE);
    }

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
