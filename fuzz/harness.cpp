#include "harness.h"

#include <algorithm>
#include <cstring>
#include <memory>

#include "connection/connection.h"
#include "universe/universe_session.h"

namespace kivsdk::fuzz {
namespace {

// Keeps the reads of read_every_attribute from being optimised away.
volatile std::uint32_t attribute_sink = 0;

std::uint32_t mix(std::uint32_t hash, std::uint32_t value) { return hash * 31u + value; }

void on_event(KIVInstance* handle) { read_every_attribute(handle); }
void on_callback(KIVInstance* handle, int rc, int reference) {
    read_every_attribute(handle);
    attribute_sink = mix(attribute_sink, static_cast<std::uint32_t>(rc ^ reference));
}

Bytes body(std::initializer_list<unsigned char> bytes) { return Bytes(bytes); }

Bytes framed(const Bytes& content) {
    Bytes out(content.size() + 2);
    out[0] = static_cast<unsigned char>(content.size() >> 8);
    out[1] = static_cast<unsigned char>(content.size());
    std::copy(content.begin(), content.end(), out.begin() + 2);
    return out;
}

}  // namespace

void read_every_attribute(KIVInstance* handle) {
    std::uint32_t hash = attribute_sink;
    for (int i = 0; i < KIV_INT_ATTRIBUTE_COUNT; ++i) {
        hash = mix(hash, static_cast<std::uint32_t>(kiv_int(handle, i)));
    }
    for (int i = 0; i < KIV_FLOAT_ATTRIBUTE_COUNT; ++i) {
        const double value = kiv_double(handle, i);
        std::uint64_t bits = 0;
        std::memcpy(&bits, &value, sizeof bits);
        hash = mix(hash, static_cast<std::uint32_t>(bits ^ (bits >> 32)));
    }
    for (int i = 0; i < KIV_STRING_ATTRIBUTE_COUNT; ++i) {
        const char* text = kiv_string(handle, i);
        if (text == nullptr) continue;
        for (const char* c = text; *c != '\0'; ++c)
            hash = mix(hash, static_cast<unsigned char>(*c));
    }
    for (int i = 0; i < KIV_DATA_ATTRIBUTE_COUNT; ++i) {
        int length = 0;
        const auto* data = static_cast<const unsigned char*>(kiv_data(handle, i, &length));
        if (data == nullptr) continue;
        for (int j = 0; j < length; ++j) hash = mix(hash, data[j]);
    }
    attribute_sink = hash;
}

Session::Session() {
    const KIVNetConfig config = net_.table();
    handle_ = kiv_create(&config);
    for (int event = 0; event < KIV_EVENT_COUNT; ++event) kiv_event_set(handle_, event, &on_event);
    // With a callback set, every request is answered asynchronously: nothing
    // blocks.
    for (int callback = 0; callback < KIV_CALLBACK_COUNT; ++callback) {
        kiv_callback_set(handle_, callback, &on_callback);
    }
}

Session::~Session() { kiv_destroy(handle_); }

RecordingTable::Socket& Session::open_universe() {
    Instance& self = instance();
    self.universe.connection =
        std::make_unique<Connection>(self.operations(), universe_connection_handlers(), self);
    self.universe.connection->connect("universe.test", 6670);
    RecordingTable::Socket& socket = net_.last_socket();
    net_.post(socket, KIV_NET_CONNECT_RESULT, 0);
    self.universe.ready = true;
    return socket;
}

RecordingTable::Socket& Session::enter_world() {
    RecordingTable::Socket& universe = net_.last_socket();
    kiv_enter(handle_, "fuzz");
    // Status 0, ticket, address 127.0.0.1, port, no host name, plain.
    Bytes reply = {2, 0};
    reply.insert(reply.end(), 32, 0x5A);
    reply.insert(reply.end(), {127, 0, 0, 1, 0xDE, 0xAA, 0, 0, 0, 0, 0, 0});
    net_.deliver(universe, framed(reply));
    RecordingTable::Socket& world = net_.last_socket();
    net_.post(world, KIV_NET_CONNECT_RESULT, 0);
    net_.deliver(world, framed(body({1, 0})));
    return world;
}

int Session::register_universe_requests() {
    const int before = instance().universe.peek_reference();
    kiv_world_list(handle_, 0);
    kiv_friends_get(handle_);
    kiv_friend_add_by_name(handle_, "friend");
    kiv_friend_delete(handle_, 7);
    kiv_join(handle_, 8);
    kiv_invite(handle_, 9, "somewhere", 1.0, 2.0, 3.0, 4.0F, 5.0F);
    return instance().universe.peek_reference() - before;
}

int Session::register_world_requests() {
    const int before = instance().world.peek_reference();
    kiv_object_add(handle_);
    kiv_object_change(handle_);
    kiv_object_delete(handle_, 11);
    kiv_object_load(handle_);
    kiv_object_get(handle_, 12);
    const int revisions[16] = {};
    kiv_terrain_query(handle_, 1, 2, revisions);
    const KIVTerrainCell cells[64] = {};
    kiv_terrain_node_set(handle_, 1, 2, 3, 0, cells);
    kiv_world_permission_user_set(handle_, "build", 5, 1);
    kiv_world_permission_session_set(handle_, "build", 6, 0);
    kiv_world_permissions_get_all(handle_);
    kiv_world_permissions_get_by_user(handle_, 5);
    kiv_world_permissions_get_my(handle_);
    kiv_world_setting_set(handle_, "name", "value", 0);
    return instance().world.peek_reference() - before;
}

Bytes frames_from_input(const std::uint8_t* data, std::size_t size) {
    Bytes stream;
    stream.reserve(size + 2);
    std::size_t offset = 0;
    while (offset + 2 <= size) {
        std::size_t length = static_cast<std::size_t>(data[offset] << 8 | data[offset + 1]);
        offset += 2;
        length = std::min(length, size - offset);
        stream.push_back(static_cast<unsigned char>(length >> 8));
        stream.push_back(static_cast<unsigned char>(length));
        stream.insert(stream.end(), data + offset, data + offset + length);
        offset += length;
    }
    return stream;
}

void Session::deliver_frames(RecordingTable::Socket& socket, const std::uint8_t* data,
                             std::size_t size) {
    net_.deliver(socket, frames_from_input(data, size));
}

}  // namespace kivsdk::fuzz
