// A Connection owned by an Instance over the recording table, with session
// handlers that record what they are told.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <memory>
#include <vector>

#include "api/instance.h"
#include "connection/connection.h"
#include "support/fake_clock.h"
#include "support/recording_table.h"
#include "wire/packet_reader.h"

namespace kivsdk::test {

// Builds a frame: 2-byte length, then the body.
inline Bytes frame(const Bytes& body) {
    Bytes out(body.size() + 2);
    out[0] = static_cast<unsigned char>(body.size() >> 8);
    out[1] = static_cast<unsigned char>(body.size());
    std::copy(body.begin(), body.end(), out.begin() + 2);
    return out;
}

// A frame of a given body length whose bytes count up from `seed`.
inline Bytes numbered_frame(std::size_t body_length, unsigned seed) {
    Bytes body(body_length);
    for (std::size_t i = 0; i < body_length; ++i) body[i] = static_cast<unsigned char>(seed + i);
    return frame(body);
}

class ConnectionTest : public ::testing::Test {
protected:
    struct Record {
        std::vector<Bytes> frames;
        std::vector<int> connect_results;
        std::vector<int> disconnects;
        std::function<void(Instance&, const Bytes&)> on_frame;
        std::function<void(Instance&, int)> on_disconnect;
    };
    static inline Record* record = nullptr;

    static void on_connect_result(Connection&, int status) {
        record->connect_results.push_back(status);
    }
    static void on_disconnected(Connection& connection, int reason) {
        record->disconnects.push_back(reason);
        if (record->on_disconnect) record->on_disconnect(Instance::owning(connection), reason);
    }
    static void on_message(Connection& connection, PacketReader& body) {
        Bytes bytes(body.remaining());
        body.read_raw(bytes.data(), bytes.size());
        record->frames.push_back(bytes);
        if (record->on_frame) record->on_frame(Instance::owning(connection), bytes);
    }

    void SetUp() override {
        record = &received;
        const KIVNetConfig config = net.table();
        handle = kiv_create(&config);
        ASSERT_NE(handle, nullptr);
        instance().universe.connection = std::make_unique<Connection>(
            config, ConnectionHandlers{&on_connect_result, &on_disconnected, &on_message, nullptr},
            instance());
        connection = instance().universe.connection.get();
        ASSERT_EQ(connection->connect("server.test", 4321), 0);
        socket = &net.last_socket();
    }

    void TearDown() override {
        kiv_destroy(handle);
        record = nullptr;
    }

    Instance& instance() { return *Instance::from_handle(handle); }
    // Connects (result 0, timer armed) and forgets the operations so far.
    void connected() {
        net.post(*socket, KIV_NET_CONNECT_RESULT, 0);
        net.log.clear();
    }

    FakeClock clock{5000};
    RecordingTable net;
    Record received;
    KIVInstance* handle = nullptr;
    Connection* connection = nullptr;
    RecordingTable::Socket* socket = nullptr;
};

}  // namespace kivsdk::test
