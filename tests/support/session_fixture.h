// A fixture for session tests over the recording table: an Instance with a
// universe and/or world Connection that is up, message builders, and the
// frames the library sent, cut apart.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <string>
#include <vector>

#include "api/instance.h"
#include "connection/connection.h"
#include "support/fake_clock.h"
#include "support/recording_table.h"
#include "wire/packet_writer.h"

namespace kivsdk::test {

// Builds a message body (type byte first) field by field:
//   Message(9).int32(5).string("Bob").string("hi").bytes()
class Message {
public:
    explicit Message(std::uint8_t type) { writer_.append_byte(type); }
    Message& byte(std::uint8_t value) {
        writer_.append_byte(value);
        return *this;
    }
    Message& uint16(std::uint16_t value) {
        writer_.append_uint16(value);
        return *this;
    }
    Message& int32(std::int32_t value) {
        writer_.append_int32(value);
        return *this;
    }
    Message& float32(float value) {
        writer_.append_float(value);
        return *this;
    }
    Message& float64(double value) {
        writer_.append_double(value);
        return *this;
    }
    Message& string(const std::string& text) {
        writer_.append_string(text);
        return *this;
    }
    Message& blob16(const std::string& data) {
        writer_.append_blob16(data.data(), data.size());
        return *this;
    }
    Message& raw(const Bytes& data) {
        writer_.append_raw(data.data(), data.size());
        return *this;
    }
    // The body: type byte and fields, without the length.
    Bytes bytes() {
        const PacketWriter::Frame frame = writer_.finish();
        return Bytes(frame.data + 2, frame.data + frame.size);
    }

private:
    PacketWriter writer_;
};

// A body with its 2-byte length in front.
inline Bytes framed(const Bytes& body) {
    Bytes out(body.size() + 2);
    out[0] = static_cast<unsigned char>(body.size() >> 8);
    out[1] = static_cast<unsigned char>(body.size());
    std::copy(body.begin(), body.end(), out.begin() + 2);
    return out;
}

// Cuts a byte stream into frame bodies; `rest` gets the length of a
// trailing incomplete frame.
std::vector<Bytes> cut_frames(const Bytes& stream, std::size_t& rest);

// Cuts a byte stream into frame bodies; a trailing incomplete frame fails
// the test.
std::vector<Bytes> frames_in(const Bytes& stream);

class SessionTest : public ::testing::Test {
protected:
    void SetUp() override;
    void TearDown() override;

    Instance& instance() { return *Instance::from_handle(handle); }

    // A universe Connection whose TCP connection and secure channel count as
    // up (the secure channel is not run: the gate is simply open).
    RecordingTable::Socket& open_universe(bool ready = true);
    // A world Connection with the world dispatcher, entered.
    RecordingTable::Socket& open_world(bool ready = true);

    // Delivers one message (a body, framed here) on a socket.
    void receive(RecordingTable::Socket& socket, const Bytes& body);
    // Frame bodies the library sent on a socket since the last call.
    std::vector<Bytes> sent(RecordingTable::Socket& socket);

    FakeClock clock{10000};
    RecordingTable net;
    KIVInstance* handle = nullptr;
    RecordingTable::Socket* universe_socket = nullptr;
    RecordingTable::Socket* world_socket = nullptr;

private:
    std::size_t universe_seen_ = 0;
    std::size_t world_seen_ = 0;
};

}  // namespace kivsdk::test
