// RecordingTable: a scripted socket table for tests.
//
// It hands the library socket objects that record every operation, capture
// the bytes written, serve scripted recv chunks (-2 when none is queued) and
// return scripted send results. A test drives the library by posting
// notifications, e.g.
//
//   RecordingTable net;                       // net.table() goes to kiv_create
//   ... connect something; Socket& s = net.last_socket();
//   net.deliver(s, frame_bytes, {1, 1, 5});   // three chunks, READABLE each
//   EXPECT_EQ(s.written, expected_bytes);
//
// and moves time with a FakeClock. Socket objects stay alive (marked
// destroyed) until the table goes, so tests can inspect them afterwards.
#pragma once

#include <cstddef>
#include <deque>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "kivsdk.h"

namespace kivsdk::test {

using Bytes = std::vector<unsigned char>;

// Concatenates byte lists, e.g. join({frame_a, frame_b}).
Bytes join(std::initializer_list<Bytes> parts);

class RecordingTable {
public:
    // What one send call returns.
    struct SendResult {
        enum class Kind { kAll, kPartial, kWouldBlock, kError, kZero } kind;
        int count;  // for kPartial: bytes accepted
        static SendResult all() { return {Kind::kAll, 0}; }
        static SendResult partial(int n) { return {Kind::kPartial, n}; }
        static SendResult would_block() { return {Kind::kWouldBlock, 0}; }
        static SendResult error() { return {Kind::kError, 0}; }
        static SendResult zero() { return {Kind::kZero, 0}; }
    };

    // What one recv call returns: bytes, or a bare result (0 closed, -1 error).
    struct RecvStep {
        Bytes bytes;
        int result;  // used when bytes is empty
    };

    struct Socket {
        int id = 0;
        void* connection = nullptr;
        std::string host;
        int port = -1;
        Bytes written;                       // everything send accepted, in order
        std::vector<int> send_sizes;         // length argument of every send call
        std::deque<SendResult> send_script;  // empty: accept everything
        std::deque<RecvStep> incoming;       // empty: -2
        int recv_calls = 0;
        int send_calls = 0;
        int timer_seconds = -1;  // last timeout argument (-1 when cancelled)
        int timeout_calls = 0;
        bool destroyed = false;
        int operations_after_destroy = 0;
    };

    struct Operation {
        std::string name;  // create, destroy, connect, send, recv, timeout, wait
        int socket = 0;    // socket id, 0 for wait
        int value = 0;     // port, length, capacity, seconds or milliseconds
        int result = 0;
    };

    RecordingTable();
    ~RecordingTable();
    RecordingTable(const RecordingTable&) = delete;
    RecordingTable& operator=(const RecordingTable&) = delete;

    // A table whose context is this object.
    KIVNetConfig table();

    // connect returns this; when set, posts KIV_NET_CONNECT_RESULT with the
    // given status from inside the call.
    int connect_return = 0;
    std::optional<int> connect_posts_result;
    // Runs for each wait pass (default: returns 0).
    std::function<int(int milliseconds)> on_wait;

    std::vector<Operation> log;
    std::vector<std::unique_ptr<Socket>> sockets;
    Socket& last_socket() { return *sockets.back(); }
    int waits() const;

    // Scripting.
    void serve(Socket& socket, const Bytes& chunk);
    void serve_close(Socket& socket) { socket.incoming.push_back({{}, 0}); }
    void serve_error(Socket& socket) { socket.incoming.push_back({{}, -1}); }
    void script_send(Socket& socket, std::initializer_list<SendResult> results);

    // Posts a notification for the socket's connection.
    void post(Socket& socket, int kind, int status = 0);
    // Serves bytes in chunks of the given sizes (the rest in one last chunk)
    // and posts READABLE after each chunk.
    void deliver(Socket& socket, const Bytes& bytes, const std::vector<std::size_t>& chunks = {});
    // Serves everything, then posts READABLE once.
    void deliver_at_once(Socket& socket, const std::vector<Bytes>& chunks);

    // Names of the operations logged for a socket, e.g. {"create", "connect"}.
    std::vector<std::string> operations_of(const Socket& socket) const;

private:
    static void* create(void* connection, void* context);
    static int destroy(void* socket);
    static int connect(void* socket, const char* host, int port);
    static int send(void* socket, const char* data, int length);
    static int recv(void* socket, char* buffer, int capacity);
    static int timeout(void* socket, int seconds);
    static int wait(void* context, int milliseconds);

    struct Handle;  // the object the library holds
    std::vector<std::unique_ptr<Handle>> handles_;
};

}  // namespace kivsdk::test
