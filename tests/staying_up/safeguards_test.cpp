// The safeguards around requests: arguments and blocking calls refused
// before anything changes, a connect that fails inside its call, the check
// against a second thread, the output queue's limit, the sides' states, and
// per-Instance trust and detailed reasons over real loopback sockets.
#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "api/instance.h"
#include "connection/connection.h"
#include "net/loopback.h"
#include "staying_up_fixture.h"
#include "support/tls_test_server.h"
#include "wire/byte_order.h"

namespace kivsdk::test {
namespace {

using Safeguards = StayingUpTest;

const Bytes kChat = {9, 3, 'B', 'o', 'b', 2, 'h', 'i', 0, 0, 0, 3};

TEST_F(Safeguards, ConnectArgumentsAreRefusedBeforeAnything) {
    EXPECT_EQ(kiv_connect_universe(handle, nullptr, kUniversePort), KIV_RC_INVALID_ARGUMENT);
    EXPECT_EQ(kiv_connect_universe(handle, "", kUniversePort), KIV_RC_INVALID_ARGUMENT);
    for (const int port : {0, -1, 65536}) {
        EXPECT_EQ(kiv_connect_universe(handle, "localhost", port), KIV_RC_INVALID_ARGUMENT) << port;
    }
    EXPECT_TRUE(net.sockets.empty());
    EXPECT_EQ(kiv_state(handle, KIV_SIDE_UNIVERSE), KIV_STATE_NONE);
    EXPECT_TRUE(seen.empty());

    // Up and logged in, a refused connect leaves the session alone.
    ASSERT_NO_FATAL_FAILURE(connect_universe());
    ASSERT_NO_FATAL_FAILURE(login());
    EXPECT_EQ(kiv_connect_universe(handle, "localhost", 70000), KIV_RC_INVALID_ARGUMENT);
    EXPECT_FALSE(universe->socket().destroyed);
    EXPECT_EQ(kiv_state(handle, KIV_SIDE_UNIVERSE), KIV_STATE_LOGGED_IN);
    EXPECT_EQ(kiv_connect_universe(handle, "localhost", 65535), 0);
    EXPECT_EQ(net.last_socket().port, 65535);
}

TEST_F(Safeguards, ReconnectPolicyIsChecked) {
    KIVReconnectPolicy p = reconnect_policy(1000, 2000);
    EXPECT_EQ(kiv_reconnect_set(nullptr, &p), KIV_RC_INVALID_ARGUMENT);
    EXPECT_EQ(kiv_reconnect_set(handle, nullptr), KIV_RC_INVALID_ARGUMENT);
    KIVReconnectPolicy bad = p;
    bad.size = static_cast<int>(sizeof bad) - 1;
    EXPECT_EQ(kiv_reconnect_set(handle, &bad), KIV_RC_INVALID_ARGUMENT);
    bad = reconnect_policy(0, 2000);
    EXPECT_EQ(kiv_reconnect_set(handle, &bad), KIV_RC_INVALID_ARGUMENT);
    bad = reconnect_policy(3000, 2000);
    EXPECT_EQ(kiv_reconnect_set(handle, &bad), KIV_RC_INVALID_ARGUMENT);
    bad = reconnect_policy(1000, 2000, -1);
    EXPECT_EQ(kiv_reconnect_set(handle, &bad), KIV_RC_INVALID_ARGUMENT);
    EXPECT_EQ(kiv_reconnect_set(handle, &p), 0);
    KIVReconnectPolicy off{};
    off.size = sizeof off;
    EXPECT_EQ(kiv_reconnect_set(handle, &off), 0) << "delays do not matter when off";
}

// Called from a chat event inside kiv_wait: blocking requests cannot wait
// there.
std::vector<int>* nested_results = nullptr;
void call_blocking_requests(KIVInstance* instance) {
    nested_results->push_back(kiv_connect_universe(instance, "localhost", 6671));
    nested_results->push_back(kiv_login(instance, "bob", "pw", ""));
    nested_results->push_back(kiv_enter(instance, "elsewhere"));
    nested_results->push_back(kiv_wait(instance, 0));
}

TEST_F(Safeguards, BlockingRequestsInsideAHandlerReturn21AndChangeNothing) {
    ASSERT_NO_FATAL_FAILURE(bring_up());
    for (const int callback :
         {KIV_CALLBACK_CONNECT_UNIVERSE, KIV_CALLBACK_LOGIN, KIV_CALLBACK_ENTER}) {
        kiv_callback_set(handle, callback, nullptr);
    }
    std::vector<int> results;
    nested_results = &results;
    kiv_event_set(handle, KIV_EVENT_CHAT, &call_blocking_requests);
    universe->take_frames();
    const std::size_t sockets = net.sockets.size();
    net.on_wait = [&](int) {
        net.deliver(*world_socket, framed(kChat));
        return 0;
    };
    EXPECT_EQ(kiv_wait(handle, 0), 0);
    nested_results = nullptr;

    EXPECT_EQ(results, (std::vector<int>{KIV_RC_RECURSIVE_WAIT, KIV_RC_RECURSIVE_WAIT,
                                         KIV_RC_RECURSIVE_WAIT, KIV_RC_RECURSIVE_WAIT}));
    EXPECT_EQ(net.sockets.size(), sockets) << "no connection was started";
    EXPECT_FALSE(universe->socket().destroyed);
    EXPECT_FALSE(world_socket->destroyed);
    EXPECT_TRUE(universe->take_frames().empty()) << "no login, no entry request";
    EXPECT_EQ(kiv_state(handle, KIV_SIDE_UNIVERSE), KIV_STATE_LOGGED_IN);
    EXPECT_EQ(kiv_state(handle, KIV_SIDE_WORLD), KIV_STATE_READY);
    EXPECT_TRUE(instance().pending_responses().empty());
}

TEST_F(Safeguards, AConnectFailingInsideItsCallIsToldByTheReturnCodeAlone) {
    // The socket layer reports the failure from inside connect.
    net.connect_posts_result = 1;
    EXPECT_EQ(kiv_connect_universe(handle, "localhost", kUniversePort), KIV_RC_CONNECTION_ERROR);
    EXPECT_EQ(kiv_state(handle, KIV_SIDE_UNIVERSE), KIV_STATE_FAILED);
    EXPECT_EQ(kiv_int(handle, KIV_DISCONNECT_DETAIL), KIV_DETAIL_CONNECT_FAILED);
    // The socket layer refuses the connect outright.
    net.connect_posts_result.reset();
    net.connect_return = -1;
    EXPECT_EQ(kiv_connect_universe(handle, "localhost", kUniversePort), KIV_RC_CONNECTION_ERROR);
    // And in blocking form it does not wait.
    kiv_callback_set(handle, KIV_CALLBACK_CONNECT_UNIVERSE, nullptr);
    EXPECT_EQ(kiv_connect_universe(handle, "localhost", kUniversePort), KIV_RC_CONNECTION_ERROR);
    EXPECT_EQ(net.waits(), 0);

    timers.advance(60);
    EXPECT_TRUE(callbacks(KIV_CALLBACK_CONNECT_UNIVERSE).empty());
    EXPECT_TRUE(instance().pending_responses().empty());
}

TEST_F(Safeguards, StatesFollowEachSide) {
    EXPECT_EQ(kiv_state(handle, 2), KIV_RC_INVALID_ARGUMENT);
    EXPECT_EQ(kiv_state(handle, -1), KIV_RC_INVALID_ARGUMENT);
    EXPECT_EQ(kiv_state(nullptr, KIV_SIDE_UNIVERSE), KIV_RC_INVALID_ARGUMENT);
    const auto states = [&] {
        return std::vector<int>{kiv_state(handle, KIV_SIDE_UNIVERSE),
                                kiv_state(handle, KIV_SIDE_WORLD)};
    };
    EXPECT_EQ(states(), (std::vector<int>{KIV_STATE_NONE, KIV_STATE_NONE}));

    ASSERT_EQ(kiv_connect_universe(handle, "localhost", kUniversePort), 0);
    RecordingTable::Socket& socket = net.last_socket();
    EXPECT_EQ(states()[0], KIV_STATE_CONNECTING);
    net.post(socket, KIV_NET_CONNECT_RESULT, 0);
    EXPECT_EQ(states()[0], KIV_STATE_SECURING);
    universe = std::make_unique<TlsPeer>(net, socket);
    ASSERT_TRUE(universe->go_ahead());
    universe->take_frames();
    EXPECT_EQ(states()[0], KIV_STATE_READY);
    ASSERT_NO_FATAL_FAILURE(login());
    EXPECT_EQ(states()[0], KIV_STATE_LOGGED_IN);

    ASSERT_EQ(kiv_enter(handle, "lobby"), 0);
    EXPECT_EQ(states()[1], KIV_STATE_REQUESTED);
    universe->take_frames();
    universe->send(world_entry_reply(test_ticket(1), kWorldPort, false, "localhost"));
    RecordingTable::Socket& world = net.last_socket();
    EXPECT_EQ(states()[1], KIV_STATE_CONNECTING);
    net.post(world, KIV_NET_CONNECT_RESULT, 0);
    EXPECT_EQ(states()[1], KIV_STATE_LOGGING_IN);
    net.deliver(world, framed({1, 0}));
    EXPECT_EQ(states()[1], KIV_STATE_READY);
    ASSERT_EQ(kiv_leave(handle), 0);
    EXPECT_EQ(states()[1], KIV_STATE_NONE);

    // A world whose connect fails.
    ASSERT_EQ(kiv_enter(handle, "lobby"), 0);
    universe->take_frames();
    universe->send(world_entry_reply(test_ticket(1), kWorldPort, false, "localhost"));
    net.post(net.last_socket(), KIV_NET_CONNECT_RESULT, 1);
    EXPECT_EQ(states()[1], KIV_STATE_FAILED);

    // Lost without a policy.
    drop(socket);
    EXPECT_EQ(states()[0], KIV_STATE_LOST);
}

// ---- A second thread -----------------------------------------------------------

TEST_F(Safeguards, ASecondThreadIsRefusedWhileTheFirstIsInsideACall) {
    ASSERT_NO_FATAL_FAILURE(bring_up());
    std::mutex mutex;
    std::condition_variable changed;
    bool inside = false;
    bool release = false;
    net.on_wait = [&](int) {
        std::unique_lock<std::mutex> lock(mutex);
        inside = true;
        changed.notify_all();
        changed.wait_for(lock, std::chrono::seconds(10), [&] { return release; });
        return 0;
    };
    int waited = -1;
    std::thread first([&] { waited = kiv_wait(handle, 100); });
    {
        std::unique_lock<std::mutex> lock(mutex);
        ASSERT_TRUE(changed.wait_for(lock, std::chrono::seconds(10), [&] { return inside; }));
    }

    EXPECT_EQ(kiv_int(handle, KIV_LOGIN_REPLY_VALUE), 0);
    EXPECT_EQ(kiv_string(handle, KIV_LOGIN_REPLY_STRING), nullptr);
    EXPECT_EQ(kiv_int_set(handle, KIV_USER_INT_1, 5), KIV_RC_WRONG_THREAD);
    EXPECT_EQ(kiv_say(handle, "from elsewhere"), KIV_RC_WRONG_THREAD);
    EXPECT_EQ(kiv_world_list(handle, 0), KIV_RC_WRONG_THREAD);
    EXPECT_EQ(kiv_liveness_set(handle, 30), KIV_RC_WRONG_THREAD);
    EXPECT_EQ(kiv_state(handle, KIV_SIDE_WORLD), KIV_RC_WRONG_THREAD);
    EXPECT_EQ(kiv_wait(handle, 0), KIV_RC_WRONG_THREAD);
    EXPECT_EQ(kiv_destroy(handle), KIV_RC_WRONG_THREAD);
    // A notification from this thread is dropped, with a line saying so.
    net.serve(*world_socket, framed(kChat));
    const int reads = world_socket->recv_calls;
    testing::internal::CaptureStdout();
    EXPECT_EQ(kiv_net_notify(world_socket->connection, KIV_NET_READABLE, 0), 0);
    const std::string printed = testing::internal::GetCapturedStdout();
    EXPECT_NE(printed.find("second thread"), std::string::npos) << printed;
    EXPECT_EQ(world_socket->recv_calls, reads);

    {
        std::lock_guard<std::mutex> lock(mutex);
        release = true;
    }
    changed.notify_all();
    first.join();
    net.on_wait = nullptr;
    EXPECT_EQ(waited, 0);

    // Nothing changed, and the Instance is still there.
    EXPECT_EQ(kiv_int(handle, KIV_LOGIN_REPLY_VALUE), 7);
    EXPECT_EQ(kiv_int(handle, KIV_USER_INT_1), 0);
    EXPECT_EQ(kiv_state(handle, KIV_SIDE_WORLD), KIV_STATE_READY);
    EXPECT_TRUE(world_frames->take().empty()) << "nothing was said";
    EXPECT_TRUE(universe->take_frames().empty()) << "no world list was asked";
    EXPECT_TRUE(events(KIV_EVENT_CHAT).empty());
    // The dropped notification's bytes are still waiting to be read.
    net.post(*world_socket, KIV_NET_READABLE);
    EXPECT_EQ(events(KIV_EVENT_CHAT).size(), 1u);
}

// ---- The output queue's limit ------------------------------------------------------

std::int32_t number_in(const Bytes& body) {
    return static_cast<std::int32_t>(wire::load_u32(&body[1]));
}

TEST_F(Safeguards, TheQueueLimitRefusesRequestsButNeverTheLibrarysOwnFrames) {
    EXPECT_EQ(kiv_queue_limit_set(handle, 65536), KIV_RC_INVALID_ARGUMENT);
    EXPECT_EQ(kiv_queue_limit_set(handle, -1), KIV_RC_INVALID_ARGUMENT);
    EXPECT_EQ(kiv_queue_limit_set(nullptr, 1 << 20), KIV_RC_INVALID_ARGUMENT);
    ASSERT_NO_FATAL_FAILURE(bring_up());
    RecordingTable::Socket& world = *world_socket;
    // The world accepts nothing for now.
    for (int i = 0; i < 200; ++i)
        net.script_send(world, {RecordingTable::SendResult::would_block()});
    const std::vector<unsigned char> data(30000, 0x5a);
    ASSERT_EQ(kiv_data_set(handle, KIV_OBJECT_DATA, static_cast<int>(data.size()), data.data()), 0);
    for (int reference = 1; reference <= 3; ++reference) {
        kiv_int_set(handle, KIV_REFERENCE_NUMBER, reference);
        ASSERT_EQ(kiv_object_add(handle), 0);
    }
    const Connection& connection = *instance().world.connection;
    const std::size_t queued = connection.queued_bytes();
    ASSERT_GT(queued, 90000u);

    ASSERT_EQ(kiv_queue_limit_set(handle, 65537), 0);
    kiv_int_set(handle, KIV_REFERENCE_NUMBER, 4);
    EXPECT_EQ(kiv_object_add(handle), KIV_RC_QUEUE_FULL);
    EXPECT_EQ(kiv_say(handle, "x"), KIV_RC_QUEUE_FULL);
    EXPECT_EQ(connection.queued_bytes(), queued) << "nothing queued";
    EXPECT_EQ(kiv_int(handle, KIV_DISCONNECT_DETAIL), KIV_DETAIL_QUEUE_FULL);
    EXPECT_EQ(kiv_state(handle, KIV_SIDE_WORLD), KIV_STATE_READY) << "refused, not lost";

    timers.advance(30);
    EXPECT_EQ(connection.queued_bytes(), queued + 7) << "the keep-alive is queued all the same";

    ASSERT_EQ(kiv_queue_limit_set(handle, 0), 0);  // back to 8 MiB
    kiv_int_set(handle, KIV_REFERENCE_NUMBER, 5);
    ASSERT_EQ(kiv_object_add(handle), 0);

    world.send_script.clear();
    net.post(world, KIV_NET_WRITABLE);
    const std::vector<Bytes> sent = world_frames->take();
    ASSERT_EQ(sent.size(), 5u);
    std::vector<int> types;
    for (const Bytes& body : sent) types.push_back(body.at(0));
    EXPECT_EQ(types, (std::vector<int>{10, 10, 10, 28, 10}));
    const std::int32_t first = number_in(sent[0]);
    EXPECT_EQ(number_in(sent[1]), first + 1);
    EXPECT_EQ(number_in(sent[2]), first + 2);
    EXPECT_EQ(number_in(sent[4]), first + 4) << "the refused request used up its number";

    // Only the registered requests end with the loss.
    drop(world);
    std::vector<int> ended;
    for (const Noted& n : callbacks(KIV_CALLBACK_OBJECT_ADD)) {
        EXPECT_EQ(n.rc, KIV_RC_CONNECTION_ERROR);
        ended.push_back(n.reference);
    }
    EXPECT_EQ(ended, (std::vector<int>{1, 2, 3, 5}));
}

// ---- Trust and detailed reasons over loopback -----------------------------------

// A universe server whose certificate is `identity`; each connection runs the
// secure channel, then waits for the client to go.
class UniverseServer {
public:
    explicit UniverseServer(const CertAndKey& identity) {
        server_.on_connection([identity](ServerConnection& c) {
            if (universe_opening(c, identity) == 0) c.wait_for_close();
        });
    }
    int port() const { return server_.port(); }

private:
    TlsTestServer server_;
};

struct Client {
    Client() : instance(kiv_create(nullptr)) {}
    ~Client() { kiv_destroy(instance); }
    Client(const Client&) = delete;
    Client& operator=(const Client&) = delete;

    int trust(int side, const std::string& pem) {
        return kiv_trust_set(instance, side, pem.data(), static_cast<int>(pem.size()));
    }
    int connect(int port, const char* host = "127.0.0.1") {
        return kiv_connect_universe(instance, host, port);
    }
    std::string text() const { return kiv_string(instance, KIV_DISCONNECT_TEXT); }

    KIVInstance* instance;
};

TEST(PerInstanceTrust, TheWorldBundleOnTheUniverseSideRejectsTheUniverseUntilSetBack) {
    UniverseServer server(pki::universe_server());
    const std::string world_cas = pki::read_text(pki::world_bundle());
    const std::string universe_cas = pki::read_text(pki::universe_bundle());
    Client alice;
    ASSERT_EQ(alice.trust(KIV_SIDE_UNIVERSE, world_cas), 0);
    EXPECT_EQ(alice.connect(server.port()), KIV_RC_SECURE_CHANNEL_FAILED);
    EXPECT_EQ(kiv_int(alice.instance, KIV_DISCONNECT_DETAIL), KIV_DETAIL_CERTIFICATE);
    EXPECT_EQ(alice.text(), "certificate rejected: not trusted");
    // With its terminating zero counted, as C hosts often pass it.
    ASSERT_EQ(kiv_trust_set(alice.instance, KIV_SIDE_UNIVERSE, universe_cas.c_str(),
                            static_cast<int>(universe_cas.size()) + 1),
              0);
    EXPECT_EQ(alice.connect(server.port()), 0);
}

TEST(DetailedReasons, RefusedAndUnresolvedConnectsSayWhy) {
    Client alice;
    const int port = nettest::unused_port();
    ASSERT_GT(port, 0);
    EXPECT_EQ(alice.connect(port), KIV_RC_CONNECTION_ERROR);
    EXPECT_EQ(kiv_int(alice.instance, KIV_DISCONNECT_DETAIL), KIV_DETAIL_REFUSED);
    EXPECT_EQ(kiv_int(alice.instance, KIV_DISCONNECT_SIDE), KIV_SIDE_UNIVERSE);
    EXPECT_EQ(alice.text(), "refused");
    EXPECT_EQ(kiv_state(alice.instance, KIV_SIDE_UNIVERSE), KIV_STATE_FAILED);

    EXPECT_EQ(alice.connect(1234, "no-such-host.invalid"), KIV_RC_CONNECTION_ERROR);
    EXPECT_EQ(kiv_int(alice.instance, KIV_DISCONNECT_DETAIL), KIV_DETAIL_HOST_NOT_FOUND);
    EXPECT_EQ(alice.text(), "host not found");
}

}  // namespace
}  // namespace kivsdk::test
