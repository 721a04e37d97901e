#include "net/select_loop.h"

namespace kivsdk {
namespace {

// The socket operations arrive with the select-based socket layer; until
// then a socket cannot be created and a connect fails at once.
void* create_socket(void*, void*) { return nullptr; }
int destroy_socket(void*) { return 0; }
int connect_socket(void* socket, const char*, int) { return socket == nullptr ? -1 : -1; }
int send_socket(void*, const char*, int) { return -1; }
int recv_socket(void*, char*, int) { return -1; }
int timeout_socket(void*, int) { return 0; }

int wait_loop(void* context, int milliseconds) {
    if (context == nullptr) return -1;
    return static_cast<SelectLoop*>(context)->run_pass(milliseconds);
}

}  // namespace

int SelectLoop::run_pass(int) {
    if (watches_nothing()) return -1;
    return 0;
}

KIVNetConfig default_socket_table(SelectLoop* loop) noexcept {
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
