// A PollLoop with the default table over it, a notification log attached,
// and the sockets a test made (destroyed with the fixture).
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <functional>
#include <vector>

#include "net/bsd_socket.h"
#include "net/loopback.h"
#include "net/poll_loop.h"

namespace kivsdk::nettest {

class SocketTest : public ::testing::Test {
protected:
    SocketTest() { log.attach(loop); }
    ~SocketTest() override {
        for (void* socket : sockets_) table.destroy(socket);
    }

    // Distinct connection pointers for the sockets of a test.
    void* connection(std::size_t index) { return &connections_[index]; }

    BSDSocket* make(void* for_connection) {
        void* socket = table.create(for_connection, table.context);
        sockets_.push_back(socket);
        return static_cast<BSDSocket*>(socket);
    }

    // Destroys through the table, as the Connection does.
    void destroy(BSDSocket* socket) {
        sockets_.erase(std::remove(sockets_.begin(), sockets_.end(), socket), sockets_.end());
        table.destroy(socket);
    }

    // Runs passes until `done` holds, at most `passes` of them; stops early
    // when the loop has nothing to watch.
    bool pump(const std::function<bool()>& done, int passes = 200, int milliseconds = 20) {
        for (int pass = 0; pass < passes && !done(); ++pass) {
            if (loop.run_pass(milliseconds) != 0) break;
        }
        return done();
    }

    // Connects `socket` to the listener's loopback address and returns the
    // accepted end; the connect result has been posted by then.
    Peer connect(BSDSocket* socket, Listener& listener, const char* host = "127.0.0.1") {
        void* const owner = socket->connection();
        EXPECT_EQ(table.connect(socket, host, listener.port()), 0);
        EXPECT_TRUE(pump([&] { return log.count(owner, KIV_NET_CONNECT_RESULT) > 0; }));
        EXPECT_EQ(log.statuses(owner, KIV_NET_CONNECT_RESULT), std::vector<int>{0});
        return listener.accept();
    }

    // Entries of one list that name `handle`.
    std::size_t watched(WatchList list, SocketHandle handle, Handler handler = nullptr) const {
        const auto& entries = loop.entries(list);
        return static_cast<std::size_t>(
            std::count_if(entries.begin(), entries.end(), [&](const WatchEntry& entry) {
                return entry.handle == handle && (handler == nullptr || entry.handler == handler);
            }));
    }
    std::size_t watched_anywhere(SocketHandle handle) const {
        return watched(WatchList::read, handle) + watched(WatchList::write, handle) +
               watched(WatchList::exception, handle);
    }

    PollLoop loop;
    NotificationLog log;
    KIVNetConfig table = default_socket_table(&loop);

private:
    std::vector<void*> sockets_;
    std::array<char, 128> connections_{};
};

}  // namespace kivsdk::nettest
