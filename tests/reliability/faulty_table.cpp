#include "reliability/faulty_table.h"

#include <algorithm>

#include "net/poll_loop.h"

namespace kivsdk::test {
namespace {

// The table whose own select loop is running: its notifications are counted
// on the way to the library.
FaultyTable* counting_table = nullptr;

}  // namespace

struct FaultyTable::Socket {
    FaultyTable* table;
    void* inner;
    void* connection;
    bool destroyed = false;
    bool owes_readable = false;
    bool owes_writable = false;
};

FaultyTable::FaultyTable(std::uint32_t seed, const Odds& odds)
    : loop_(std::make_unique<PollLoop>()), random_(seed), odds_(odds) {
    inner_ = default_socket_table(loop_.get());
    loop_->notify = &FaultyTable::counting_notify;
    counting_table = this;
}

FaultyTable::FaultyTable(const KIVNetConfig& inner, std::uint32_t seed, const Odds& odds)
    : inner_(inner), random_(seed), odds_(odds) {}

FaultyTable::~FaultyTable() {
    if (counting_table == this) counting_table = nullptr;
}

KIVNetConfig FaultyTable::table() {
    KIVNetConfig config{};
    config.create = &FaultyTable::create;
    config.destroy = &FaultyTable::destroy;
    config.connect = &FaultyTable::connect;
    config.send = &FaultyTable::send;
    config.recv = &FaultyTable::recv;
    config.timeout = &FaultyTable::timeout;
    config.wait = &FaultyTable::wait;
    config.context = this;
    return config;
}

int FaultyTable::live_sockets() const {
    return static_cast<int>(std::count_if(sockets_.begin(), sockets_.end(),
                                          [](const auto& s) { return !s->destroyed; }));
}

bool FaultyTable::roll(int per_mille) {
    if (per_mille <= 0) return false;
    return std::uniform_int_distribution<int>(0, 999)(random_) < per_mille;
}

int FaultyTable::operation(Socket& socket) {
    ++passes_.back().operations;
    if (socket.destroyed) ++operations_after_destroy_;
    return 0;
}

void* FaultyTable::create(void* connection, void* context) {
    auto* self = static_cast<FaultyTable*>(context);
    ++self->passes_.back().operations;
    auto socket = std::make_unique<Socket>(Socket{self, nullptr, connection});
    socket->inner = self->inner_.create(connection, self->inner_.context);
    self->sockets_.push_back(std::move(socket));
    return self->sockets_.back().get();
}

int FaultyTable::destroy(void* object) {
    if (object == nullptr) return 0;
    auto& socket = *static_cast<Socket*>(object);
    socket.table->operation(socket);
    socket.destroyed = true;
    socket.owes_readable = socket.owes_writable = false;
    return socket.table->inner_.destroy(socket.inner);
}

int FaultyTable::connect(void* object, const char* host, int port) {
    auto& socket = *static_cast<Socket*>(object);
    socket.table->operation(socket);
    return socket.table->inner_.connect(socket.inner, host, port);
}

int FaultyTable::send(void* object, const char* data, int length) {
    auto& socket = *static_cast<Socket*>(object);
    FaultyTable& self = *socket.table;
    self.operation(socket);
    if (self.roll(self.odds_.failed_write)) {
        ++self.injected_.failed_writes;
        return -1;
    }
    if (self.roll(self.odds_.would_block_write)) {
        ++self.injected_.would_block_writes;
        socket.owes_writable = true;
        return -2;
    }
    if (length > 1 && self.roll(self.odds_.short_write)) {
        ++self.injected_.short_writes;
        length = std::uniform_int_distribution<int>(1, length - 1)(self.random_);
    }
    return self.inner_.send(socket.inner, data, length);
}

int FaultyTable::recv(void* object, char* buffer, int capacity) {
    auto& socket = *static_cast<Socket*>(object);
    FaultyTable& self = *socket.table;
    self.operation(socket);
    if (self.roll(self.odds_.failed_read)) {
        ++self.injected_.failed_reads;
        return -1;
    }
    if (self.roll(self.odds_.empty_read)) {
        ++self.injected_.empty_reads;
        socket.owes_readable = true;
        return -2;
    }
    if (capacity > 1 && self.roll(self.odds_.chunked_read)) {
        ++self.injected_.chunked_reads;
        capacity = std::uniform_int_distribution<int>(1, capacity - 1)(self.random_);
    }
    return self.inner_.recv(socket.inner, buffer, capacity);
}

int FaultyTable::timeout(void* object, int seconds) {
    auto& socket = *static_cast<Socket*>(object);
    socket.table->operation(socket);
    return socket.table->inner_.timeout(socket.inner, seconds);
}

int FaultyTable::wait(void* context, int milliseconds) {
    auto* self = static_cast<FaultyTable*>(context);
    self->passes_.push_back(Pass{});
    const int result =
        self->inner_.wait != nullptr ? self->inner_.wait(self->inner_.context, milliseconds) : 0;
    self->post_owed();
    return result;
}

void FaultyTable::post_owed() {
    // Index loop: a notification may make the library create a socket.
    for (std::size_t i = 0; i < sockets_.size(); ++i) {
        Socket& socket = *sockets_[i];
        if (socket.destroyed) continue;
        if (socket.owes_writable) {
            socket.owes_writable = false;
            ++passes_.back().notifications;
            kiv_net_notify(socket.connection, KIV_NET_WRITABLE, 0);
        }
        if (!socket.destroyed && socket.owes_readable) {
            socket.owes_readable = false;
            ++passes_.back().notifications;
            kiv_net_notify(socket.connection, KIV_NET_READABLE, 0);
        }
    }
}

int FaultyTable::counting_notify(void* connection, int kind, int status) {
    if (FaultyTable* self = counting_table) {
        ++self->passes_.back().notifications;
        const auto owner = std::find_if(self->sockets_.rbegin(), self->sockets_.rend(),
                                        [&](const auto& s) { return s->connection == connection; });
        if (owner != self->sockets_.rend() && (*owner)->destroyed)
            ++self->notifications_after_destroy_;
    }
    return kiv_net_notify(connection, kind, status);
}

}  // namespace kivsdk::test
