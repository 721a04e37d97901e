// RecordingTable: the socket table of the tests.
//
// Every socket the library creates through it gets a record (Socket) of the
// calls made on it: the bytes send accepted, the send lengths, the host and
// port, the last timer; the table logs every operation and counts them, and
// the notifications that reach the library, pass by pass of wait, so a test
// can tell that the library does not spin. Records stay alive (marked
// destroyed) until the table goes, so tests can inspect them afterwards.
//
// Behind the records are either
//   - scripted sockets (the default): recv serves queued chunks (-2 when none
//     is queued), send returns scripted results, and a test drives the
//     library by posting notifications and moving a FakeClock, e.g.
//
//       RecordingTable net;                       // net.table() goes to kiv_create
//       ... connect something; Socket& s = net.last_socket();
//       net.deliver(s, frame_bytes, {1, 1, 5});   // three chunks, READABLE each
//       EXPECT_EQ(s.written, expected_bytes);
//
//   - the library's own select sockets, on a loop the table owns
//     (RecordingTable net{RecordingTable::Sockets::kReal}), for loopback
//     servers; their notifications are counted on the way to the library.
//
// Either way, faults can be injected at random in front of the sockets:
// short writes, would-block and failed writes, chunked, empty and failed
// reads. An injected would-block or empty read owes the connection a
// WRITABLE or READABLE notification; the table posts it after the next pass
// of wait, as a socket layer would once the socket is ready again.
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <optional>
#include <random>
#include <string>
#include <vector>

#include "kivsdk.h"

namespace kivsdk {
class PollLoop;
}

namespace kivsdk::test {

using Bytes = std::vector<unsigned char>;

// Concatenates byte lists, e.g. join({frame_a, frame_b}).
Bytes join(std::initializer_list<Bytes> parts);

class RecordingTable {
public:
    enum class Sockets { kScripted, kReal };

    // What one send call on a scripted socket returns.
    struct SendResult {
        enum class Kind { kAll, kPartial, kWouldBlock, kError, kZero } kind;
        int count;  // for kPartial: bytes accepted
        static SendResult all() { return {Kind::kAll, 0}; }
        static SendResult partial(int n) { return {Kind::kPartial, n}; }
        static SendResult would_block() { return {Kind::kWouldBlock, 0}; }
        static SendResult error() { return {Kind::kError, 0}; }
        static SendResult zero() { return {Kind::kZero, 0}; }
    };

    // What one recv call on a scripted socket returns: bytes, or a bare
    // result (0 closed, -1 error).
    struct RecvStep {
        Bytes bytes;
        int result;  // used when bytes is empty
    };

    // The calls the library made on one socket and what they returned.
    struct Socket {
        int id = 0;
        void* connection = nullptr;
        std::string host;
        int port = -1;
        Bytes written;                       // everything send accepted, in order
        std::vector<int> send_sizes;         // length argument of every send call
        std::deque<SendResult> send_script;  // scripted sockets; empty: accept everything
        std::deque<RecvStep> incoming;       // scripted sockets; empty: -2
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

    // The kinds of fault: as odds, the chances out of 1000 that a call of
    // the operation gets one; as a tally, how many were injected.
    struct Faults {
        int short_writes = 0;
        int would_block_writes = 0;
        int failed_writes = 0;
        int chunked_reads = 0;
        int empty_reads = 0;
        int failed_reads = 0;
        int total() const {
            return short_writes + would_block_writes + failed_writes + chunked_reads + empty_reads +
                   failed_reads;
        }
        Faults& operator+=(const Faults& more);
    };

    // What happened during one pass of wait (and, for pass 0, before the
    // first one).
    struct Pass {
        int operations = 0;     // create, destroy, connect, send, recv, timeout
        int notifications = 0;  // from the sockets, posted by the test or owed by the table
    };

    explicit RecordingTable(Sockets kind = Sockets::kScripted);
    ~RecordingTable();
    RecordingTable(const RecordingTable&) = delete;
    RecordingTable& operator=(const RecordingTable&) = delete;

    // A table whose context is this object.
    KIVNetConfig table();

    // Scripted sockets: connect returns this; when set, posts
    // KIV_NET_CONNECT_RESULT with the given status from inside the call.
    int connect_return = 0;
    std::optional<int> connect_posts_result;
    // Scripted sockets: runs for each wait pass (default: returns 0).
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

    // Faults from now on, drawn from a generator seeded with `seed`;
    // Faults{} switches them off.
    void inject_faults(const Faults& odds, std::uint32_t seed);
    const Faults& injected() const { return injected_; }

    const std::vector<Pass>& passes() const { return passes_; }
    const Pass& last_pass() const { return passes_.back(); }
    // Operations on any socket after its destroy (must stay 0).
    int operations_after_destroy() const;
    // Notifications a real socket posted after its destroy (must stay 0).
    int notifications_after_destroy() const { return notifications_after_destroy_; }

private:
    struct Handle;  // the object the library holds

    static void* create(void* connection, void* context);
    static int destroy(void* socket);
    static int connect(void* socket, const char* host, int port);
    static int send(void* socket, const char* data, int length);
    static int recv(void* socket, char* buffer, int capacity);
    static int timeout(void* socket, int seconds);
    static int wait(void* context, int milliseconds);
    // The real sockets' notifications arrive here, addressed to the Handle.
    static int relay_notify(void* handle, int kind, int status);

    // Counts an operation on the socket and returns its handle.
    static Handle& operation(void* socket);
    // Draws the faults of one send or recv of `length` bytes: -1 (failed),
    // -2 (would-block, which owes a notification) or the length to pass on.
    int draw(int Faults::*failed, int Faults::*blocked, int Faults::*cut, bool& owes, int length);
    bool roll(int per_mille);
    int int_between(int low, int high);
    int send_scripted(Socket& socket, int length);
    int recv_scripted(Socket& socket, char* buffer, int capacity);
    int notify(Socket& socket, int kind, int status);
    void post_owed();

    std::unique_ptr<PollLoop> loop_;  // the real sockets' loop
    KIVNetConfig real_{};             // the real sockets' table
    std::vector<std::unique_ptr<Handle>> handles_;
    Faults odds_;
    std::mt19937 random_;
    Faults injected_;
    std::vector<Pass> passes_{Pass{}};
    int notifications_after_destroy_ = 0;
};

}  // namespace kivsdk::test
