#include "support/recording_table.h"

#include <algorithm>
#include <cstring>

namespace kivsdk::test {

// The library holds a Handle: it knows its table and its recorded Socket.
struct RecordingTable::Handle {
    RecordingTable* table;
    Socket* socket;
};

Bytes join(std::initializer_list<Bytes> parts) {
    Bytes all;
    for (const Bytes& part : parts) all.insert(all.end(), part.begin(), part.end());
    return all;
}

RecordingTable::RecordingTable() = default;
RecordingTable::~RecordingTable() = default;

KIVNetConfig RecordingTable::table() {
    KIVNetConfig config{};
    config.create = &RecordingTable::create;
    config.destroy = &RecordingTable::destroy;
    config.connect = &RecordingTable::connect;
    config.send = &RecordingTable::send;
    config.recv = &RecordingTable::recv;
    config.timeout = &RecordingTable::timeout;
    config.wait = &RecordingTable::wait;
    config.context = this;
    return config;
}

int RecordingTable::waits() const {
    return static_cast<int>(std::count_if(log.begin(), log.end(),
                                          [](const Operation& op) { return op.name == "wait"; }));
}

void* RecordingTable::create(void* connection, void* context) {
    auto* self = static_cast<RecordingTable*>(context);
    auto socket = std::make_unique<Socket>();
    socket->id = static_cast<int>(self->sockets.size()) + 1;
    socket->connection = connection;
    self->handles_.push_back(std::make_unique<Handle>(Handle{self, socket.get()}));
    self->log.push_back({"create", socket->id, 0, 0});
    self->sockets.push_back(std::move(socket));
    return self->handles_.back().get();
}

int RecordingTable::destroy(void* object) {
    if (object == nullptr) return 0;
    auto* handle = static_cast<Handle*>(object);
    if (handle->socket->destroyed) ++handle->socket->operations_after_destroy;
    handle->socket->destroyed = true;
    handle->table->log.push_back({"destroy", handle->socket->id, 0, 0});
    return 0;
}

int RecordingTable::connect(void* object, const char* host, int port) {
    auto* handle = static_cast<Handle*>(object);
    Socket& socket = *handle->socket;
    RecordingTable& self = *handle->table;
    if (socket.destroyed) ++socket.operations_after_destroy;
    socket.host = host != nullptr ? host : "";
    socket.port = port;
    self.log.push_back({"connect", socket.id, port, self.connect_return});
    if (self.connect_posts_result) {
        kiv_net_notify(socket.connection, KIV_NET_CONNECT_RESULT, *self.connect_posts_result);
    }
    return self.connect_return;
}

int RecordingTable::send(void* object, const char* data, int length) {
    auto* handle = static_cast<Handle*>(object);
    Socket& socket = *handle->socket;
    if (socket.destroyed) ++socket.operations_after_destroy;
    ++socket.send_calls;
    socket.send_sizes.push_back(length);
    int result = length;
    if (!socket.send_script.empty()) {
        const SendResult step = socket.send_script.front();
        socket.send_script.pop_front();
        switch (step.kind) {
            case SendResult::Kind::kAll: result = length; break;
            case SendResult::Kind::kPartial: result = std::min(step.count, length); break;
            case SendResult::Kind::kWouldBlock: result = -2; break;
            case SendResult::Kind::kError: result = -1; break;
            case SendResult::Kind::kZero: result = 0; break;
        }
    }
    if (result > 0) {
        const auto* bytes = reinterpret_cast<const unsigned char*>(data);
        socket.written.insert(socket.written.end(), bytes, bytes + result);
    }
    handle->table->log.push_back({"send", socket.id, length, result});
    return result;
}

int RecordingTable::recv(void* object, char* buffer, int capacity) {
    auto* handle = static_cast<Handle*>(object);
    Socket& socket = *handle->socket;
    if (socket.destroyed) ++socket.operations_after_destroy;
    ++socket.recv_calls;
    int result = -2;
    if (!socket.incoming.empty()) {
        RecvStep& step = socket.incoming.front();
        if (step.bytes.empty()) {
            result = step.result;
            socket.incoming.pop_front();
        } else {
            const std::size_t taken =
                std::min<std::size_t>(step.bytes.size(), static_cast<std::size_t>(capacity));
            std::memcpy(buffer, step.bytes.data(), taken);
            step.bytes.erase(step.bytes.begin(), step.bytes.begin() + static_cast<long>(taken));
            if (step.bytes.empty()) socket.incoming.pop_front();
            result = static_cast<int>(taken);
        }
    }
    handle->table->log.push_back({"recv", socket.id, capacity, result});
    return result;
}

int RecordingTable::timeout(void* object, int seconds) {
    auto* handle = static_cast<Handle*>(object);
    Socket& socket = *handle->socket;
    if (socket.destroyed) ++socket.operations_after_destroy;
    ++socket.timeout_calls;
    socket.timer_seconds = seconds < 0 ? -1 : seconds;
    handle->table->log.push_back({"timeout", socket.id, seconds, 0});
    return 0;
}

int RecordingTable::wait(void* context, int milliseconds) {
    auto* self = static_cast<RecordingTable*>(context);
    self->log.push_back({"wait", 0, milliseconds, 0});
    return self->on_wait ? self->on_wait(milliseconds) : 0;
}

void RecordingTable::serve(Socket& socket, const Bytes& chunk) {
    if (!chunk.empty()) socket.incoming.push_back({chunk, 0});
}

void RecordingTable::script_send(Socket& socket, std::initializer_list<SendResult> results) {
    socket.send_script.insert(socket.send_script.end(), results.begin(), results.end());
}

void RecordingTable::post(Socket& socket, int kind, int status) {
    kiv_net_notify(socket.connection, kind, status);
}

void RecordingTable::deliver(Socket& socket, const Bytes& bytes,
                             const std::vector<std::size_t>& chunks) {
    std::size_t offset = 0;
    for (std::size_t size : chunks) {
        if (offset >= bytes.size()) break;
        size = std::min(size, bytes.size() - offset);
        serve(socket, Bytes(bytes.begin() + static_cast<long>(offset),
                            bytes.begin() + static_cast<long>(offset + size)));
        offset += size;
        post(socket, KIV_NET_READABLE);
    }
    if (offset < bytes.size()) {
        serve(socket, Bytes(bytes.begin() + static_cast<long>(offset), bytes.end()));
        post(socket, KIV_NET_READABLE);
    }
}

void RecordingTable::deliver_at_once(Socket& socket, const std::vector<Bytes>& chunks) {
    for (const Bytes& chunk : chunks) serve(socket, chunk);
    post(socket, KIV_NET_READABLE);
}

std::vector<std::string> RecordingTable::operations_of(const Socket& socket) const {
    std::vector<std::string> names;
    for (const Operation& op : log) {
        if (op.socket == socket.id) names.push_back(op.name);
    }
    return names;
}

}  // namespace kivsdk::test
