// FaultyTable: a socket table that wraps another one (the recording table,
// or the library's own select sockets over a loop of its own) and
//   - counts every operation and every notification, pass by pass, so a
//     test can tell that the library does not spin;
//   - optionally injects faults at random: short writes, would-block and
//     failed writes, chunked, empty and failed reads.
// An injected would-block or empty read owes the connection a writable or
// readable notification; the table posts it after the next pass of `wait`,
// as a socket layer would once the socket is ready again.
//
//   FaultyTable faulty(seed, FaultyTable::Odds{...});   // own select loop
//   KIVNetConfig table = faulty.table();
//   KIVInstance* instance = kiv_create(&table);
//   ... kiv_wait(instance, 20) ...
//   EXPECT_EQ(faulty.last_pass().notifications, 0);
#pragma once

#include <cstdint>
#include <memory>
#include <random>
#include <vector>

#include "kivsdk.h"

namespace kivsdk {
class PollLoop;
}

namespace kivsdk::test {

class FaultyTable {
public:
    // Chances out of 1000 for each call of the operation.
    struct Odds {
        int short_write = 0;
        int would_block_write = 0;
        int failed_write = 0;
        int chunked_read = 0;
        int empty_read = 0;
        int failed_read = 0;
    };

    // What happened during one pass of wait (and, for pass 0, before the
    // first one).
    struct Pass {
        int operations = 0;     // create, destroy, connect, send, recv, timeout
        int notifications = 0;  // posted by the inner layer or owed by this table
    };

    struct Injected {
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
    };

    // Over the library's own select sockets, on a loop this table owns.
    FaultyTable(std::uint32_t seed, const Odds& odds);
    // Over another table (its context must outlive this one).
    FaultyTable(const KIVNetConfig& inner, std::uint32_t seed, const Odds& odds);
    ~FaultyTable();
    FaultyTable(const FaultyTable&) = delete;
    FaultyTable& operator=(const FaultyTable&) = delete;

    KIVNetConfig table();

    // Faults may be switched off and on between passes.
    void set_odds(const Odds& odds) { odds_ = odds; }

    const std::vector<Pass>& passes() const { return passes_; }
    const Pass& last_pass() const { return passes_.back(); }
    const Injected& injected() const { return injected_; }
    // Operations on a socket after its destroy (must stay 0).
    int operations_after_destroy() const { return operations_after_destroy_; }
    // Notifications that arrived for a connection whose socket was destroyed.
    int notifications_after_destroy() const { return notifications_after_destroy_; }
    int live_sockets() const;

private:
    struct Socket;

    static void* create(void* connection, void* context);
    static int destroy(void* socket);
    static int connect(void* socket, const char* host, int port);
    static int send(void* socket, const char* data, int length);
    static int recv(void* socket, char* buffer, int capacity);
    static int timeout(void* socket, int seconds);
    static int wait(void* context, int milliseconds);
    static int counting_notify(void* connection, int kind, int status);

    bool roll(int per_mille);
    int operation(Socket& socket);
    void post_owed();

    KIVNetConfig inner_{};
    std::unique_ptr<PollLoop> loop_;
    std::mt19937 random_;
    Odds odds_;
    std::vector<Pass> passes_{Pass{}};
    Injected injected_;
    int operations_after_destroy_ = 0;
    int notifications_after_destroy_ = 0;
    std::vector<std::unique_ptr<Socket>> sockets_;
};

}  // namespace kivsdk::test
