#include "support/recording_table.h"

#include <algorithm>
#include <cstring>
#include <numeric>

#include "net/poll_loop.h"

namespace kivsdk::test {

// The library holds a Handle: it knows its table, its record and, over real
// sockets, the real socket (null once destroyed). A real socket is created
// with the Handle as its connection, so its notifications come back through
// relay_notify and are counted.
struct RecordingTable::Handle {
    RecordingTable* table;
    Socket* socket;
    void* real = nullptr;
    bool owes_readable = false;
    bool owes_writable = false;
};

Bytes join(std::initializer_list<Bytes> parts) {
    Bytes all;
    for (const Bytes& part : parts) all.insert(all.end(), part.begin(), part.end());
    return all;
}

RecordingTable::Faults& RecordingTable::Faults::operator+=(const Faults& more) {
    short_writes += more.short_writes;
    would_block_writes += more.would_block_writes;
    failed_writes += more.failed_writes;
    chunked_reads += more.chunked_reads;
    empty_reads += more.empty_reads;
    failed_reads += more.failed_reads;
    return *this;
}

RecordingTable::RecordingTable(Sockets kind) {
    if (kind == Sockets::kReal) {
        loop_ = std::make_unique<PollLoop>();
        loop_->notify = &RecordingTable::relay_notify;
        real_ = default_socket_table(loop_.get());
    }
}

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

int RecordingTable::operations_after_destroy() const {
    return std::accumulate(sockets.begin(), sockets.end(), 0, [](int sum, const auto& socket) {
        return sum + socket->operations_after_destroy;
    });
}

void RecordingTable::inject_faults(const Faults& odds, std::uint32_t seed) {
    odds_ = odds;
    random_.seed(seed);
}

int RecordingTable::draw(int Faults::*failed, int Faults::*blocked, int Faults::*cut, bool& owes,
                         int length) {
    if (roll(odds_.*failed)) {
        ++(injected_.*failed);
        return -1;
    }
    if (roll(odds_.*blocked)) {
        ++(injected_.*blocked);
        owes = true;
        return -2;
    }
    if (length > 1 && roll(odds_.*cut)) {
        ++(injected_.*cut);
        return int_between(1, length - 1);
    }
    return length;
}

bool RecordingTable::roll(int per_mille) {
    if (per_mille <= 0) return false;
    return int_between(0, 999) < per_mille;
}

int RecordingTable::int_between(int low, int high) {
    return std::uniform_int_distribution<int>(low, high)(random_);
}

RecordingTable::Handle& RecordingTable::operation(void* object) {
    auto& handle = *static_cast<Handle*>(object);
    ++handle.table->passes_.back().operations;
    if (handle.socket->destroyed) ++handle.socket->operations_after_destroy;
    return handle;
}

void* RecordingTable::create(void* connection, void* context) {
    auto* self = static_cast<RecordingTable*>(context);
    ++self->passes_.back().operations;
    auto socket = std::make_unique<Socket>();
    socket->id = static_cast<int>(self->sockets.size()) + 1;
    socket->connection = connection;
    auto handle = std::make_unique<Handle>(Handle{self, socket.get()});
    if (self->loop_ != nullptr) {
        handle->real = self->real_.create(handle.get(), self->real_.context);
        if (handle->real == nullptr) {
            self->log.push_back({"create", 0, 0, -1});
            return nullptr;
        }
    }
    self->log.push_back({"create", socket->id, 0, 0});
    self->sockets.push_back(std::move(socket));
    self->handles_.push_back(std::move(handle));
    return self->handles_.back().get();
}

int RecordingTable::destroy(void* object) {
    if (object == nullptr) return 0;
    Handle& handle = operation(object);
    Socket& socket = *handle.socket;
    socket.destroyed = true;
    int result = 0;
    if (handle.real != nullptr) {
        result = handle.table->real_.destroy(handle.real);
        handle.real = nullptr;
    }
    handle.table->log.push_back({"destroy", socket.id, 0, result});
    return result;
}

int RecordingTable::connect(void* object, const char* host, int port) {
    Handle& handle = operation(object);
    Socket& socket = *handle.socket;
    RecordingTable& self = *handle.table;
    socket.host = host != nullptr ? host : "";
    socket.port = port;
    int result = self.connect_return;
    if (self.loop_ != nullptr) {
        result = handle.real != nullptr ? self.real_.connect(handle.real, host, port) : -1;
    }
    self.log.push_back({"connect", socket.id, port, result});
    if (self.loop_ == nullptr && self.connect_posts_result) {
        self.notify(socket, KIV_NET_CONNECT_RESULT, *self.connect_posts_result);
    }
    return result;
}

int RecordingTable::send(void* object, const char* data, int length) {
    Handle& handle = operation(object);
    Socket& socket = *handle.socket;
    RecordingTable& self = *handle.table;
    ++socket.send_calls;
    socket.send_sizes.push_back(length);
    int result = self.draw(&Faults::failed_writes, &Faults::would_block_writes,
                           &Faults::short_writes, handle.owes_writable, length);
    if (result >= 0 && self.loop_ == nullptr) {
        result = self.send_scripted(socket, result);
    } else if (result >= 0) {
        result = handle.real != nullptr ? self.real_.send(handle.real, data, result) : -1;
    }
    if (result > 0) {
        const auto* bytes = reinterpret_cast<const unsigned char*>(data);
        socket.written.insert(socket.written.end(), bytes, bytes + result);
    }
    self.log.push_back({"send", socket.id, length, result});
    return result;
}

int RecordingTable::send_scripted(Socket& socket, int length) {
    if (socket.send_script.empty()) return length;
    const SendResult step = socket.send_script.front();
    socket.send_script.pop_front();
    switch (step.kind) {
        case SendResult::Kind::kAll: return length;
        case SendResult::Kind::kPartial: return std::min(step.count, length);
        case SendResult::Kind::kWouldBlock: return -2;
        case SendResult::Kind::kError: return -1;
        case SendResult::Kind::kZero: return 0;
    }
    return length;
}

int RecordingTable::recv(void* object, char* buffer, int capacity) {
    Handle& handle = operation(object);
    Socket& socket = *handle.socket;
    RecordingTable& self = *handle.table;
    ++socket.recv_calls;
    int result = self.draw(&Faults::failed_reads, &Faults::empty_reads, &Faults::chunked_reads,
                           handle.owes_readable, capacity);
    if (result >= 0 && self.loop_ == nullptr) {
        result = self.recv_scripted(socket, buffer, result);
    } else if (result >= 0) {
        result = handle.real != nullptr ? self.real_.recv(handle.real, buffer, result) : -1;
    }
    self.log.push_back({"recv", socket.id, capacity, result});
    return result;
}

int RecordingTable::recv_scripted(Socket& socket, char* buffer, int capacity) {
    if (socket.incoming.empty()) return -2;
    RecvStep& step = socket.incoming.front();
    if (step.bytes.empty()) {
        const int result = step.result;
        socket.incoming.pop_front();
        return result;
    }
    const std::size_t taken =
        std::min<std::size_t>(step.bytes.size(), static_cast<std::size_t>(capacity));
    std::memcpy(buffer, step.bytes.data(), taken);
    step.bytes.erase(step.bytes.begin(), step.bytes.begin() + static_cast<long>(taken));
    if (step.bytes.empty()) socket.incoming.pop_front();
    return static_cast<int>(taken);
}

int RecordingTable::timeout(void* object, int seconds) {
    Handle& handle = operation(object);
    Socket& socket = *handle.socket;
    RecordingTable& self = *handle.table;
    ++socket.timeout_calls;
    socket.timer_seconds = seconds < 0 ? -1 : seconds;
    int result = 0;
    if (handle.real != nullptr) result = self.real_.timeout(handle.real, seconds);
    self.log.push_back({"timeout", socket.id, seconds, result});
    return result;
}

int RecordingTable::wait(void* context, int milliseconds) {
    auto* self = static_cast<RecordingTable*>(context);
    self->log.push_back({"wait", 0, milliseconds, 0});
    self->passes_.push_back(Pass{});
    int result = 0;
    if (self->loop_ != nullptr) {
        result = self->real_.wait(self->real_.context, milliseconds);
    } else if (self->on_wait) {
        result = self->on_wait(milliseconds);
    }
    self->post_owed();
    return result;
}

int RecordingTable::relay_notify(void* object, int kind, int status) {
    auto& handle = *static_cast<Handle*>(object);
    if (handle.socket->destroyed) ++handle.table->notifications_after_destroy_;
    return handle.table->notify(*handle.socket, kind, status);
}

int RecordingTable::notify(Socket& socket, int kind, int status) {
    ++passes_.back().notifications;
    return kiv_net_notify(socket.connection, kind, status);
}

void RecordingTable::post_owed() {
    // Index loop: a notification may make the library create a socket.
    for (std::size_t i = 0; i < handles_.size(); ++i) {
        Handle& handle = *handles_[i];
        if (!handle.socket->destroyed && handle.owes_writable) {
            handle.owes_writable = false;
            notify(*handle.socket, KIV_NET_WRITABLE, 0);
        }
        // The writable notification may have destroyed the socket.
        if (!handle.socket->destroyed && handle.owes_readable) {
            handle.owes_readable = false;
            notify(*handle.socket, KIV_NET_READABLE, 0);
        }
    }
}

void RecordingTable::serve(Socket& socket, const Bytes& chunk) {
    if (!chunk.empty()) socket.incoming.push_back({chunk, 0});
}

void RecordingTable::script_send(Socket& socket, std::initializer_list<SendResult> results) {
    socket.send_script.insert(socket.send_script.end(), results.begin(), results.end());
}

void RecordingTable::post(Socket& socket, int kind, int status) { notify(socket, kind, status); }

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
