// The window-message sockets, driven only by this thread's message loop: the
// set-up functions, the socket windows and their procedure, periodic timers,
// loopback streams, and a whole session (connect, TLS, login, enter) without
// kiv_wait. Windows only.
#ifdef _WIN32

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <functional>
#include <string>
#include <vector>

#include "kivsdk.h"
#include "net/loopback.h"
#include "net/win32/async_winsock_socket.h"
#include "net/win32/message_window.h"
#include "support/message_loop.h"
#include "support/scripted_servers.h"

namespace kivsdk::nettest {
namespace {

using test::dispatch_until;

LPARAM network_event(WORD event, WORD error = 0) { return MAKELPARAM(event, error); }

int host_wait(void*, int) { return 0; }

// ---------------------------------------------------------------------------
// Set-up functions

TEST(WindowSocketSetUp, ClassRegistersOnceUntilUnregistered) {
    ASSERT_EQ(kiv_winsock_async_init(), 0);
    EXPECT_EQ(kiv_winsock_async_init(), KIV_RC_REQUEST_FAILED);
    EXPECT_EQ(kiv_winsock_async_term(), 0);
    EXPECT_EQ(kiv_winsock_async_init(), 0) << "unregistered, it registers again";
    EXPECT_EQ(kiv_winsock_async_term(), 0);
    EXPECT_EQ(kiv_winsock_async_term(), 0) << "a failed unregistration is not reported";
}

TEST(WindowSocketSetUp, CreateFillsTheOperationsAndKeepsTheHostsWait) {
    KIVNetConfig zeroed{};
    ASSERT_EQ(kiv_winsock_async_create(&zeroed), 0);
    EXPECT_TRUE(zeroed.create && zeroed.destroy && zeroed.connect && zeroed.send && zeroed.recv &&
                zeroed.timeout);
    EXPECT_EQ(zeroed.wait, nullptr);
    EXPECT_NE(zeroed.context, nullptr);

    KIVNetConfig with_wait{};
    with_wait.wait = &host_wait;
    ASSERT_EQ(kiv_winsock_async_create(&with_wait), 0);
    EXPECT_EQ(with_wait.wait, &host_wait);
    EXPECT_NE(with_wait.context, zeroed.context) << "each table gets its own context";

    void* const context = zeroed.context;
    EXPECT_EQ(kiv_winsock_async_destroy(&zeroed), 0);
    EXPECT_EQ(zeroed.context, context) << "the slot is the host's";
    EXPECT_EQ(kiv_winsock_async_destroy(&with_wait), 0);

    KIVNetConfig empty{};
    EXPECT_EQ(kiv_winsock_async_destroy(&empty), 0);
    EXPECT_EQ(kiv_winsock_async_create(nullptr), KIV_RC_INVALID_ARGUMENT);
    EXPECT_EQ(kiv_winsock_async_destroy(nullptr), KIV_RC_INVALID_ARGUMENT);
}

TEST(WindowSocketSetUp, ZeroFilledTableMakesKivWaitReturnNoWaitFunction) {
    KIVNetConfig table{};
    ASSERT_EQ(kiv_winsock_async_create(&table), 0);
    KIVInstance* instance = kiv_create(&table);
    ASSERT_NE(instance, nullptr);
    EXPECT_EQ(kiv_wait(instance, 0), KIV_RC_NO_WAIT_FUNCTION);
    EXPECT_EQ(kiv_wait(instance, 100), KIV_RC_NO_WAIT_FUNCTION);
    EXPECT_EQ(kiv_destroy(instance), 0);
    EXPECT_EQ(kiv_winsock_async_destroy(&table), 0);
}

// ---------------------------------------------------------------------------
// Sockets and their windows

class WindowSockets : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_EQ(kiv_winsock_async_init(), 0);
        ASSERT_EQ(kiv_winsock_async_create(&table), 0);
        loop = static_cast<PollLoop*>(table.context);
        ASSERT_NE(loop, nullptr);
        log.attach(*loop);
    }
    void TearDown() override {
        for (void* socket : sockets_) table.destroy(socket);
        kiv_winsock_async_destroy(&table);
        kiv_winsock_async_term();
    }

    void* connection(std::size_t index) { return &connections_[index]; }

    AsyncWinsockSocket* make(void* for_connection) {
        void* socket = table.create(for_connection, table.context);
        sockets_.push_back(socket);
        return static_cast<AsyncWinsockSocket*>(socket);
    }
    void destroy(AsyncWinsockSocket* socket) {
        sockets_.erase(std::remove(sockets_.begin(), sockets_.end(), socket), sockets_.end());
        table.destroy(socket);
    }

    // Connects over loopback, dispatching until the one result is in.
    Peer connect(AsyncWinsockSocket* socket, Listener& listener) {
        void* const owner = socket->connection();
        EXPECT_EQ(table.connect(socket, "127.0.0.1", listener.port()), 0);
        EXPECT_TRUE(dispatch_until([&] { return log.count(owner, KIV_NET_CONNECT_RESULT) > 0; }));
        EXPECT_EQ(log.statuses(owner, KIV_NET_CONNECT_RESULT), std::vector<int>{0});
        return listener.accept();
    }

    KIVNetConfig table{};
    PollLoop* loop = nullptr;
    NotificationLog log;

private:
    std::vector<void*> sockets_;
    std::array<char, 8> connections_{};
};

TEST_F(WindowSockets, EachSocketOwnsAMessageOnlyWindowOfTheClass) {
    AsyncWinsockSocket* first = make(connection(0));
    AsyncWinsockSocket* second = make(connection(1));
    const HWND window = first->window();
    ASSERT_TRUE(::IsWindow(window));
    EXPECT_NE(second->window(), window);
    char name[64] = {};
    ASSERT_GT(::GetClassNameA(window, name, sizeof name), 0);
    EXPECT_STREQ(name, "KivMessageWindow");
    EXPECT_EQ(::GetWindowLongPtrA(window, GWLP_USERDATA), reinterpret_cast<LONG_PTR>(first));
    // Message-only: found among the message-only windows.
    bool found = false;
    for (HWND other = nullptr;
         (other = ::FindWindowExA(HWND_MESSAGE, other, "KivMessageWindow", nullptr)) != nullptr;) {
        found = found || other == window;
    }
    EXPECT_TRUE(found);

    destroy(first);
    EXPECT_FALSE(::IsWindow(window)) << "destroyed with its socket";
    EXPECT_TRUE(::IsWindow(second->window()));
}

TEST_F(WindowSockets, WithoutTheClassASocketHasNoWindowAndNeverNotifies) {
    ASSERT_EQ(kiv_winsock_async_term(), 0);
    AsyncWinsockSocket* socket = make(connection(0));
    EXPECT_EQ(socket->window(), nullptr);
    EXPECT_EQ(table.timeout(socket, 0), 0);
    dispatch_until([] { return false; }, 10);
    EXPECT_TRUE(log.all.empty());
}

TEST_F(WindowSockets, ProcedureMapsNetworkEventsAndIgnoresTheRest) {
    Listener listener(Family::v4);
    ASSERT_TRUE(listener.valid());
    AsyncWinsockSocket* socket = make(connection(0));
    Peer peer = connect(socket, listener);
    ASSERT_TRUE(peer.valid());
    log.all.clear();
    const HWND window = socket->window();
    const auto handle = static_cast<WPARAM>(socket->handle());
    const auto send = [&](WORD event, WPARAM for_handle) {
        return ::SendMessageA(window, kNetworkMessage, for_handle, network_event(event));
    };

    EXPECT_EQ(send(FD_READ, handle), 0);
    EXPECT_EQ(send(FD_WRITE, handle), 0);
    EXPECT_EQ(send(FD_CLOSE, handle), 0);
    const std::vector<int> mapped{KIV_NET_READABLE, KIV_NET_WRITABLE, KIV_NET_DISCONNECTED};
    ASSERT_EQ(log.all.size(), mapped.size());
    for (std::size_t i = 0; i < mapped.size(); ++i) {
        EXPECT_EQ(log.all[i].kind, mapped[i]);
        EXPECT_EQ(log.all[i].connection, connection(0));
        EXPECT_EQ(log.all[i].status, 0);
    }

    // Unknown events, and events of a handle the socket does not hold.
    log.all.clear();
    for (const WORD unknown : {WORD{0}, WORD{FD_OOB}, WORD{FD_ACCEPT}, WORD{0x40}, WORD{0xffff}}) {
        EXPECT_EQ(send(unknown, handle), 0);
    }
    EXPECT_EQ(send(FD_READ, handle + 4), 0);
    EXPECT_EQ(send(FD_CONNECT, handle), 0) << "connected already: nothing to complete";
    EXPECT_TRUE(log.all.empty());

    // A window that has lost its socket ignores network and timer messages.
    EXPECT_EQ(::SendMessageA(window, WM_TIMER, 0, 0), 0);
    ASSERT_EQ(log.all.size(), 1u);
    EXPECT_EQ(log.all[0].kind, KIV_NET_TIMER);
    ::SetWindowLongPtrA(window, GWLP_USERDATA, 0);
    EXPECT_EQ(send(FD_READ, handle), 0);
    EXPECT_EQ(::SendMessageA(window, WM_TIMER, 0, 0), 0);
    EXPECT_EQ(log.all.size(), 1u);
    ::SetWindowLongPtrA(window, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(socket));
}

TEST_F(WindowSockets, ConnectCompletionCarriesItsOwnError) {
    // The completion message's error decides, whatever the socket's own
    // pending error says by the time the message is read.
    Listener listener(Family::v4);
    ASSERT_TRUE(listener.valid());
    AsyncWinsockSocket* socket = make(connection(0));
    ASSERT_EQ(table.connect(socket, "127.0.0.1", listener.port()), 0);
    if (!socket->connecting()) GTEST_SKIP() << "the loopback connect completed at once";
    const auto handle = static_cast<WPARAM>(socket->handle());
    EXPECT_EQ(::SendMessageA(socket->window(), kNetworkMessage, handle,
                             network_event(FD_CONNECT, WSAECONNREFUSED)),
              0);
    EXPECT_FALSE(socket->connecting());
    EXPECT_EQ(log.statuses(connection(0), KIV_NET_CONNECT_RESULT), std::vector<int>{-1})
        << "the only address failed";
    // The real completion that follows belongs to a closed handle.
    dispatch_until([] { return false; }, 10);
    EXPECT_EQ(log.count(connection(0), KIV_NET_CONNECT_RESULT), 1);
}

TEST_F(WindowSockets, TimerRepeatsAtItsPeriodUntilCancelled) {
    AsyncWinsockSocket* socket = make(connection(0));
    ASSERT_EQ(table.timeout(socket, 1), 0);
    // Armed once, it keeps firing: three expiries without re-arming.
    EXPECT_TRUE(dispatch_until([&] { return log.count(connection(0), KIV_NET_TIMER) >= 3; }, 400));
    EXPECT_EQ(log.all.size(), static_cast<std::size_t>(log.count(connection(0), KIV_NET_TIMER)));

    ASSERT_EQ(table.timeout(socket, -1), 0);
    const int fired = log.count(connection(0), KIV_NET_TIMER);
    dispatch_until([] { return false; }, 100);
    EXPECT_EQ(log.count(connection(0), KIV_NET_TIMER), fired) << "cancelled";
}

TEST_F(WindowSockets, LoopbackStreamFlowsAndReportsTheOrderlyClose) {
    Listener listener(Family::v4);
    ASSERT_TRUE(listener.valid());
    AsyncWinsockSocket* socket = make(connection(0));
    Peer peer = connect(socket, listener);
    ASSERT_TRUE(peer.valid());

    EXPECT_EQ(table.send(socket, "ping", 4), 4);
    ASSERT_TRUE(wait_for(peer.handle(), WatchList::read, 2000));
    EXPECT_EQ(peer.drain(), 4);

    ASSERT_TRUE(peer.send_all("pong"));
    ASSERT_TRUE(dispatch_until([&] { return log.count(connection(0), KIV_NET_READABLE) > 0; }));
    char received[16] = {};
    EXPECT_EQ(table.recv(socket, received, sizeof received), 4);
    EXPECT_EQ(std::string(received, 4), "pong");
    EXPECT_EQ(table.recv(socket, received, sizeof received), -2);

    // Unlike the select loop, an orderly close arrives as a disconnection.
    peer.close();
    ASSERT_TRUE(dispatch_until([&] { return log.count(connection(0), KIV_NET_DISCONNECTED) > 0; }));
    EXPECT_EQ(table.recv(socket, received, sizeof received), 0);
    dispatch_until([] { return false; }, 10);
    EXPECT_EQ(log.count(connection(0), KIV_NET_DISCONNECTED), 1);
    EXPECT_EQ(log.count(connection(0), KIV_NET_CONNECT_RESULT), 1);
}

TEST_F(WindowSockets, RefusedAddressFallsBackToTheNextWithOneResult) {
    Listener listener(Family::v4);
    ASSERT_TRUE(listener.valid());
    ScriptedResolver resolver;
    resolver.answer({{Family::v4, unused_port()}, {Family::v4, listener.port()}});
    AsyncWinsockSocket* socket = make(connection(0));
    EXPECT_EQ(table.connect(socket, "two.test", 1), 0);
    ASSERT_TRUE(
        dispatch_until([&] { return log.count(connection(0), KIV_NET_CONNECT_RESULT) > 0; }));
    EXPECT_TRUE(listener.accept().valid());
    dispatch_until([] { return false; }, 10);
    EXPECT_EQ(log.statuses(connection(0), KIV_NET_CONNECT_RESULT), std::vector<int>{0});
    EXPECT_EQ(resolver.releases, 1);

    // Every address refused: one failure, nothing left open.
    resolver.answer({{Family::v4, unused_port()}});
    AsyncWinsockSocket* refused = make(connection(1));
    EXPECT_EQ(table.connect(refused, "one.test", 1), 0);
    ASSERT_TRUE(
        dispatch_until([&] { return log.count(connection(1), KIV_NET_CONNECT_RESULT) > 0; }));
    dispatch_until([] { return false; }, 10);
    const std::vector<int> results = log.statuses(connection(1), KIV_NET_CONNECT_RESULT);
    ASSERT_EQ(results.size(), 1u);
    EXPECT_NE(results[0], 0);
    EXPECT_EQ(refused->handle(), kInvalidHandle);
}

TEST_F(WindowSockets, SocketDestroyedInsideItsProcedureKeepsItsWindowUntilItReturns) {
    Listener listener(Family::v4);
    ASSERT_TRUE(listener.valid());
    AsyncWinsockSocket* socket = make(connection(0));
    Peer peer = connect(socket, listener);
    ASSERT_TRUE(peer.valid());
    const HWND window = socket->window();

    bool window_alive_in_handler = false;
    log.reaction = [&](const Notification& seen) {
        if (seen.kind != KIV_NET_READABLE) return;
        destroy(socket);
        window_alive_in_handler = ::IsWindow(window) != FALSE;
    };
    ASSERT_TRUE(peer.send_all("x"));
    ASSERT_TRUE(dispatch_until([&] { return log.count(connection(0), KIV_NET_READABLE) > 0; }));
    EXPECT_TRUE(window_alive_in_handler) << "its procedure was still running";
    EXPECT_FALSE(::IsWindow(window)) << "gone once the procedure returned";

    // Nothing more arrives for it, whatever the peer does.
    const std::size_t seen = log.all.size();
    static_cast<void>(peer.send_all("more"));  // may meet the closed end
    peer.close();
    dispatch_until([] { return false; }, 20);
    EXPECT_EQ(log.all.size(), seen);
}

// ---------------------------------------------------------------------------
// A whole session over loopback TLS, driven only by the message loop.

struct SessionRecord {
    std::vector<int> callbacks;
    std::vector<int> rcs;
    std::vector<std::string> chat;
};
SessionRecord record;

void record_callback(KIVInstance* instance, int rc, int) {
    record.callbacks.push_back(kiv_int(instance, KIV_CURRENT_CALLBACK));
    record.rcs.push_back(rc);
}
void record_chat(KIVInstance* instance) {
    record.chat.emplace_back(kiv_string(instance, KIV_CHAT_MESSAGE));
}

TEST(WindowMessageSession, ConnectTlsLoginAndEnterWithoutKivWait) {
    using namespace kivsdk::test;
    if (!kLibraryTrustsSandbox) GTEST_SKIP() << "the library trusts the deployment's CAs";
    record = SessionRecord{};
    ASSERT_EQ(kiv_winsock_async_init(), 0);
    KIVNetConfig table{};
    ASSERT_EQ(kiv_winsock_async_create(&table), 0);
    KIVInstance* instance = kiv_create(&table);
    ASSERT_NE(instance, nullptr);
    for (const int callback :
         {KIV_CALLBACK_CONNECT_UNIVERSE, KIV_CALLBACK_LOGIN, KIV_CALLBACK_ENTER}) {
        ASSERT_EQ(kiv_callback_set(instance, callback, &record_callback), 0);
    }
    ASSERT_EQ(kiv_event_set(instance, KIV_EVENT_CHAT, &record_chat), 0);

    TlsTestServer world;
    world.on_connection([](ServerConnection& c) {
        if (world_opening(c, true).empty()) return;
        c.write_frame({1, 0});
        c.write_frame({9, 3, 'B', 'o', 'b', 2, 'h', 'i', 0, 0, 0, 3});  // Bob: hi
        c.wait_for_close();
    });
    TlsTestServer universe;
    universe.on_connection([&world](ServerConnection& c) {
        if (universe_opening(c) != 0) return;
        answer_login(c, 0, 5, "welcome");
        const Bytes request = c.read_frame();
        if (request.empty() || request[0] != 2) return;
        c.write_frame(world_entry_reply(test_ticket(3), world.port(), true, "localhost"));
        c.wait_for_close();
    });

    const auto answered = [](std::size_t count) {
        return [count] { return record.callbacks.size() >= count; };
    };
    ASSERT_EQ(kiv_connect_universe(instance, universe.host(), universe.port()), 0);
    ASSERT_TRUE(dispatch_until(answered(1)));
    ASSERT_EQ(kiv_login(instance, "bot", "secret", "x"), 0);
    ASSERT_TRUE(dispatch_until(answered(2)));
    ASSERT_EQ(kiv_enter(instance, "plaza"), 0);
    ASSERT_TRUE(dispatch_until(answered(3)));
    EXPECT_TRUE(dispatch_until([] { return !record.chat.empty(); }));
    EXPECT_EQ(record.callbacks, (std::vector<int>{KIV_CALLBACK_CONNECT_UNIVERSE, KIV_CALLBACK_LOGIN,
                                                  KIV_CALLBACK_ENTER}));
    EXPECT_EQ(record.rcs, (std::vector<int>{0, 0, 0}));
    EXPECT_EQ(kiv_int(instance, KIV_LOGIN_REPLY_VALUE), 5);
    EXPECT_EQ(record.chat, std::vector<std::string>{"hi"});
    EXPECT_EQ(kiv_say(instance, "hello"), 0);

    EXPECT_EQ(kiv_destroy(instance), 0);
    ASSERT_TRUE(universe.wait_for_finished(1));
    ASSERT_TRUE(world.wait_for_finished(1));
    const ConnectionReport universe_report = universe.report(0);
    ASSERT_GE(universe_report.frames.size(), 3u);
    EXPECT_EQ(universe_report.frames[0], (ReceivedFrame{{39}, false}));
    EXPECT_TRUE(universe_report.frames[1].secure) << "the login travels inside TLS";
    const ConnectionReport world_report = world.report(0);
    ASSERT_GE(world_report.frames.size(), 3u);
    EXPECT_EQ(world_report.frames[0], (ReceivedFrame{{39}, false}));
    EXPECT_EQ(world_report.frames[1].body[0], 1);
    EXPECT_TRUE(world_report.frames[1].secure);
    EXPECT_EQ(world_report.frames[2].body[0], 9) << "the chat line, sent from the message loop";
    EXPECT_EQ(kiv_winsock_async_destroy(&table), 0);
    EXPECT_EQ(kiv_winsock_async_term(), 0);
}

}  // namespace
}  // namespace kivsdk::nettest

#endif  // _WIN32
