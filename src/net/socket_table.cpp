// The default socket table: the C-shaped operations over BSDSocket and the
// PollLoop that is the table's context.
#include <memory>
#include <new>

#include "base/lifetime.h"
#include "net/bsd_socket.h"
#include "net/poll_loop.h"

namespace kivsdk {
namespace {

BSDSocket* as_socket(void* object) { return static_cast<BSDSocket*>(object); }

void* create_socket(void* connection, void* context) {
    if (context == nullptr) return nullptr;  // nothing could ever service it
    // The table hands the object out as void*, so it is allocated bare here
    // and owned again by destroy_socket.
    return new (std::nothrow) BSDSocket(connection, static_cast<PollLoop*>(context));
}

int destroy_socket(void* object) {
    if (object == nullptr) return 0;
    BSDSocket* socket = as_socket(object);
    // Everything visible stops now; the memory goes now, or when the loop
    // has finished delivering to this socket.
    socket->close();
    release(std::unique_ptr<BSDSocket>(socket));
    return 0;
}

int connect_socket(void* object, const char* host, int port) {
    return object != nullptr ? as_socket(object)->connect(host, port) : -1;
}

int send_socket(void* object, const char* data, int length) {
    return object != nullptr ? as_socket(object)->send(data, length) : -1;
}

int recv_socket(void* object, char* buffer, int capacity) {
    return object != nullptr ? as_socket(object)->recv(buffer, capacity) : -1;
}

int timeout_socket(void* object, int seconds) {
    return object != nullptr ? as_socket(object)->timeout(seconds) : 0;
}

int wait_loop(void* context, int milliseconds) {
    return context != nullptr ? static_cast<PollLoop*>(context)->run_pass(milliseconds) : -1;
}

}  // namespace

KIVNetConfig default_socket_table(PollLoop* loop) noexcept {
    KIVNetConfig table{};
    table.create = &create_socket;
    table.destroy = &destroy_socket;
    table.connect = &connect_socket;
    table.send = &send_socket;
    table.recv = &recv_socket;
    table.timeout = &timeout_socket;
    table.wait = &wait_loop;
    table.context = loop;
    return table;
}

}  // namespace kivsdk
