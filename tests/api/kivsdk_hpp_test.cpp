// The C++ convenience header over the shared library: ownership, handler
// routing through the user-data pointer, exceptions kept away from the C
// library and rethrown, typed attribute access and return codes.
//
// A scripted socket table stands in for the network: it records what the
// library sends and posts the notifications a test queues, from inside
// kiv_wait, like a real wait pass.
#include "kivsdk.hpp"

#include <gtest/gtest.h>

#include <cstdio>
#include <deque>
#include <set>
#include <stdexcept>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace {

struct ScriptedNet {
    struct Socket {
        ScriptedNet* net;
        void* connection;
    };
    std::vector<std::unique_ptr<Socket>> sockets;
    std::deque<std::pair<int, int>> queued;  // (kind, status) for the newest socket
    std::vector<std::string> sent;
    int waits = 0;

    KIVNetConfig table() {
        KIVNetConfig config{};
        config.create = [](void* connection, void* context) -> void* {
            auto* net = static_cast<ScriptedNet*>(context);
            net->sockets.push_back(std::make_unique<Socket>(Socket{net, connection}));
            return net->sockets.back().get();
        };
        config.destroy = [](void* socket) -> int {
            if (socket) static_cast<Socket*>(socket)->connection = nullptr;
            return 0;
        };
        config.connect = [](void*, const char*, int) -> int { return 0; };
        config.send = [](void* socket, const char* data, int length) -> int {
            static_cast<Socket*>(socket)->net->sent.emplace_back(data, data + length);
            return length;
        };
        config.recv = [](void*, char*, int) -> int { return -2; };
        config.timeout = [](void*, int) -> int { return 0; };
        config.wait = [](void* context, int) -> int {
            auto* net = static_cast<ScriptedNet*>(context);
            ++net->waits;
            while (!net->queued.empty() && !net->sockets.empty()) {
                const auto [kind, status] = net->queued.front();
                net->queued.pop_front();
                void* connection = net->sockets.back()->connection;
                if (connection) kiv_net_notify(connection, kind, status);
            }
            return 0;
        };
        config.context = this;
        return config;
    }
};

using kivsdk::Client;
using kivsdk::ReturnCode;

class ClientTest : public ::testing::Test {
protected:
    ScriptedNet net;
    KIVNetConfig table = net.table();
};

// ---- return codes ----------------------------------------------------------

TEST(ReturnCodeTest, NamesAreDistinctConstantNamesAndUnknownValuesSaySo) {
    const int defined[] = {0,  1,  4,  5,  6,  8,  9,  11, 12, 13, 14, 15, 16, 17,
                           18, 19, 20, 21, 22, 23, 24, 26, 27, 28, 29, 30, 31, 32};
    std::set<std::string> names;
    for (int value : defined) {
        const std::string name(kivsdk::to_string(static_cast<ReturnCode>(value)));
        EXPECT_EQ(name.rfind("KIV_RC_", 0), 0u) << value << " -> " << name;
        names.insert(name);
    }
    EXPECT_EQ(names.size(), std::size(defined));
    for (int value : {2, 3, 7, 10, 25, 33, -1, 255}) {
        EXPECT_EQ(kivsdk::to_string(static_cast<ReturnCode>(value)), "unknown") << value;
    }
    EXPECT_EQ(kivsdk::to_string(ReturnCode::timeout), "KIV_RC_TIMEOUT");
    EXPECT_EQ(static_cast<int>(ReturnCode::enter_refused), KIV_RC_ENTER_REFUSED);
}

TEST(ReturnCodeTest, CheckPassesSuccessAndThrowsTheCodeOtherwise) {
    EXPECT_EQ(kivsdk::check(ReturnCode::success, "nothing"), ReturnCode::success);
    try {
        kivsdk::check(ReturnCode::not_in_world, "say");
        FAIL() << "check did not throw";
    } catch (const kivsdk::Error& error) {
        EXPECT_EQ(error.code(), ReturnCode::not_in_world);
        const std::string what = error.what();
        EXPECT_NE(what.find("say"), std::string::npos) << what;
        EXPECT_NE(what.find("KIV_RC_NOT_IN_WORLD"), std::string::npos) << what;
    }
    EXPECT_EQ(kivsdk::init(), ReturnCode::success);
}

// ---- attributes ------------------------------------------------------------

TEST_F(ClientTest, TypedAccessorsReachTheRightSlots) {
    Client client(table);
    EXPECT_EQ(client.set(KIV_MY_TYPE, 7), ReturnCode::success);
    EXPECT_EQ(client.get(KIV_MY_TYPE), 7);
    EXPECT_EQ(kiv_int(client.handle(), KIV_MY_TYPE), 7);

    // Float slots are doubles: no rounding to single precision on the way.
    EXPECT_EQ(client.set(KIV_MY_X, 0.1), ReturnCode::success);
    EXPECT_EQ(client.get(KIV_MY_X), 0.1);
    EXPECT_EQ(kiv_float(client.handle(), KIV_MY_X), 0.1f);

    client.set(KIV_AVATAR_NAME, std::string("Ann"));
    EXPECT_EQ(client.get(KIV_AVATAR_NAME), "Ann");
    client.set(KIV_AVATAR_NAME, std::string());
    EXPECT_EQ(client.get(KIV_AVATAR_NAME), "");

    const std::vector<unsigned char> bytes{0, 1, 2, 255};
    EXPECT_EQ(client.set(KIV_OBJECT_DATA, bytes), ReturnCode::success);
    EXPECT_EQ(client.data(KIV_OBJECT_DATA), bytes);
    EXPECT_TRUE(client.data(KIV_TERRAIN_NODE_DATA).empty());
    EXPECT_EQ(client.set(KIV_OBJECT_DATA, nullptr, 0), ReturnCode::success);
    EXPECT_TRUE(client.data(KIV_OBJECT_DATA).empty());
}

TEST_F(ClientTest, OutOfRangeSlotsReportInvalidArgument) {
    Client client(table);
    EXPECT_EQ(client.set(static_cast<KIVIntAttribute>(KIV_INT_ATTRIBUTE_COUNT), 1),
              ReturnCode::invalid_argument);
    EXPECT_EQ(client.get(static_cast<KIVIntAttribute>(-1)), 0);
    EXPECT_EQ(client.set(static_cast<KIVFloatAttribute>(35), 1.0), ReturnCode::invalid_argument);
    EXPECT_EQ(client.get(static_cast<KIVStringAttribute>(KIV_STRING_ATTRIBUTE_COUNT)), "");
    EXPECT_EQ(client.on(static_cast<KIVEvent>(KIV_EVENT_COUNT), [](Client&) {}),
              ReturnCode::invalid_argument);
    EXPECT_EQ(client.on(static_cast<KIVCallback>(-1), [](Client&, ReturnCode, int) {}),
              ReturnCode::invalid_argument);
}

// ---- ownership ---------------------------------------------------------------

TEST_F(ClientTest, UserDataBelongsToTheClientAndTheHostKeepsItsOwnPointer) {
    Client client(table);
    void* routed = kiv_user_data(client.handle());
    EXPECT_NE(routed, nullptr);
    int mine = 0;
    client.set_user_data(&mine);
    EXPECT_EQ(client.user_data(), &mine);
    EXPECT_EQ(kiv_user_data(client.handle()), routed);
}

TEST_F(ClientTest, MovingKeepsTheInstanceAndHandlersFollowTheNewOwner) {
    Client first(table);
    KIVInstance* instance = first.handle();
    Client* seen = nullptr;
    first.on(KIV_EVENT_UNIVERSE_DISCONNECT, [&](Client& c) { seen = &c; });

    Client second(std::move(first));
    EXPECT_EQ(first.handle(), nullptr);  // NOLINT: checking the moved-from state
    EXPECT_EQ(second.handle(), instance);
    EXPECT_EQ(first.say("x"), ReturnCode::invalid_argument);

    Client third(table);
    third = std::move(second);
    EXPECT_EQ(third.handle(), instance);
    third.on(KIV_CALLBACK_CONNECT_UNIVERSE, [](Client&, ReturnCode, int) {});

    third.connect_universe("127.0.0.1", 1);
    net.queued = {{KIV_NET_CONNECT_RESULT, 0}, {KIV_NET_DISCONNECTED, 0}};
    EXPECT_EQ(third.wait(0), ReturnCode::success);
    EXPECT_EQ(seen, &third);
}

// ---- handlers ----------------------------------------------------------------

TEST_F(ClientTest, CapturingHandlersAreRoutedByTheirNumber) {
    Client client(table);
    std::vector<int> events;
    std::vector<std::pair<int, std::pair<ReturnCode, int>>> callbacks;
    for (int n = 0; n < KIV_EVENT_COUNT; ++n) {
        ASSERT_EQ(
            client.on(static_cast<KIVEvent>(n), [&events, n](Client&) { events.push_back(n); }),
            ReturnCode::success);
    }
    for (int n = 0; n < KIV_CALLBACK_COUNT; ++n) {
        ASSERT_EQ(client.on(static_cast<KIVCallback>(n),
                            [&callbacks, n](Client& c, ReturnCode rc, int reference) {
                                callbacks.push_back({n, {rc, reference}});
                                EXPECT_EQ(c.get(KIV_CURRENT_CALLBACK), n);
                            }),
                  ReturnCode::success);
    }

    // With the connect callback set, the connect returns at once; a failed
    // attempt answers through callback 13.
    EXPECT_EQ(client.connect_universe("127.0.0.1", 1), ReturnCode::success);
    net.queued = {{KIV_NET_CONNECT_RESULT, -1}};
    EXPECT_EQ(client.wait(0), ReturnCode::success);
    ASSERT_EQ(callbacks.size(), 1u);
    EXPECT_EQ(callbacks[0].first, KIV_CALLBACK_CONNECT_UNIVERSE);
    EXPECT_EQ(callbacks[0].second.first, ReturnCode::connection_error);
    EXPECT_EQ(callbacks[0].second.second, 0);
    EXPECT_EQ(client.get(KIV_DISCONNECT_REASON), -1);
    EXPECT_TRUE(events.empty());

    // A connection that is lost after it was made fires event 13.
    client.connect_universe("127.0.0.1", 1);
    net.queued = {{KIV_NET_CONNECT_RESULT, 0}, {KIV_NET_DISCONNECTED, 0}};
    client.wait(0);
    EXPECT_EQ(events, std::vector<int>{KIV_EVENT_UNIVERSE_DISCONNECT});
    ASSERT_FALSE(net.sent.empty());  // the opening went out first

    // Cleared handlers are no longer called.
    events.clear();
    client.on(KIV_EVENT_UNIVERSE_DISCONNECT, nullptr);
    client.connect_universe("127.0.0.1", 1);
    net.queued = {{KIV_NET_CONNECT_RESULT, 0}, {KIV_NET_DISCONNECTED, 0}};
    client.wait(0);
    EXPECT_TRUE(events.empty());
}

TEST_F(ClientTest, ExceptionsSurfaceFromTheNextClientCallOnceAndTheFirstWins) {
    Client client(table);
    int calls = 0;
    client.on(KIV_CALLBACK_CONNECT_UNIVERSE, [&](Client&, ReturnCode, int) {
        ++calls;
        throw std::runtime_error("throw " + std::to_string(calls));
    });
    EXPECT_EQ(client.connect_universe("127.0.0.1", 1), ReturnCode::success);
    net.queued = {{KIV_NET_CONNECT_RESULT, -1}};
    try {
        client.wait(0);
        FAIL() << "wait did not rethrow";
    } catch (const std::runtime_error& error) {
        EXPECT_STREQ(error.what(), "throw 1");
    }
    EXPECT_NO_THROW(client.wait(0));  // rethrown once only

    // Two passes run outside the Client (through the C functions): both
    // handlers throw, the Client reports the first one at its next call.
    for (int pass = 0; pass < 2; ++pass) {
        EXPECT_EQ(kiv_connect_universe(client.handle(), "127.0.0.1", 1), KIV_RC_SUCCESS);
        net.queued = {{KIV_NET_CONNECT_RESULT, -1}};
        EXPECT_EQ(kiv_wait(client.handle(), 0), KIV_RC_SUCCESS);
    }
    EXPECT_EQ(calls, 3);
    try {
        client.say("hello");  // calls that run no handler do not rethrow
        client.rethrow_pending();
        FAIL() << "rethrow_pending did not rethrow";
    } catch (const std::runtime_error& error) {
        EXPECT_STREQ(error.what(), "throw 2");
    }
    EXPECT_NO_THROW(client.rethrow_pending());
}

TEST_F(ClientTest, AHandlerMayReplaceItselfOrDestroyItsClient) {
    auto client = std::make_unique<Client>(table);
    client->on(KIV_CALLBACK_CONNECT_UNIVERSE, [](Client&, ReturnCode, int) {});
    std::vector<std::string> log;
    client->on(KIV_EVENT_UNIVERSE_DISCONNECT, [&](Client& c) {
        // The running function must survive its own replacement.
        std::string tag = "first";
        c.on(KIV_EVENT_UNIVERSE_DISCONNECT, [&](Client&) { log.push_back("second"); });
        log.push_back(tag);
    });
    client->connect_universe("127.0.0.1", 1);
    net.queued = {{KIV_NET_CONNECT_RESULT, 0}, {KIV_NET_DISCONNECTED, 0}};
    client->wait(0);
    client->connect_universe("127.0.0.1", 1);
    net.queued = {{KIV_NET_CONNECT_RESULT, 0}, {KIV_NET_DISCONNECTED, 0}};
    client->wait(0);
    EXPECT_EQ(log, (std::vector<std::string>{"first", "second"}));

    // Destroying the Client from its own handler: the library defers the
    // Instance's end, the wrapper keeps its state alive until the handler
    // returns. Run under the sanitizers, this is where a use after free shows.
    Client* raw = client.get();
    client->on(KIV_EVENT_UNIVERSE_DISCONNECT, [&](Client& c) {
        EXPECT_EQ(&c, raw);
        client.reset();
        throw std::runtime_error("after the end");  // dropped: no Client to report to
    });
    raw->connect_universe("127.0.0.1", 1);
    net.queued = {{KIV_NET_CONNECT_RESULT, 0}, {KIV_NET_DISCONNECTED, 0}};
    // The pass runs through the table directly: the Client is gone afterwards.
    table.wait(table.context, 0);
    EXPECT_EQ(client, nullptr);
}

// ---- observability ----------------------------------------------------------

TEST_F(ClientTest, AClientsLogRouteCountersAndCapture) {
    Client client(table);
    std::vector<std::string> lines;
    ASSERT_EQ(client.log(kivsdk::LogLevel::info,
                         [&](Client& c, kivsdk::LogLevel level, std::string_view category,
                             std::string_view text) {
                             EXPECT_EQ(&c, &client);
                             lines.push_back(std::to_string(static_cast<int>(level)) + " " +
                                             std::string(category) + " " + std::string(text));
                             if (text.find("connected") == 0) throw std::runtime_error("from log");
                         }),
              ReturnCode::success);
    client.on(KIV_CALLBACK_CONNECT_UNIVERSE, [](Client&, ReturnCode, int) {});
    const std::string path = ::testing::TempDir() + "kivsdk-hpp-capture.kivcap";
    EXPECT_EQ(client.capture_start(""), ReturnCode::invalid_argument);
    ASSERT_EQ(client.capture_start(path), ReturnCode::success);
    client.connect_universe("127.0.0.1", 1);
    net.queued = {{KIV_NET_CONNECT_RESULT, 0}};
    EXPECT_THROW(client.wait(0), std::runtime_error) << "thrown by the log handler";
    EXPECT_EQ(lines, (std::vector<std::string>{"2 net connecting to 127.0.0.1:1\n",
                                               "2 net connected to 127.0.0.1:1\n"}));
    EXPECT_EQ(client.capture_stop(), ReturnCode::success);

    const KIVStats stats = client.stats();
    EXPECT_EQ(stats.size, static_cast<int>(sizeof(KIVStats)));
    EXPECT_GT(stats.universe.frames_out, 0) << "the opening was queued";
    EXPECT_EQ(stats.world.frames_out, 0);
    std::FILE* file = std::fopen(path.c_str(), "rb");
    ASSERT_NE(file, nullptr);
    char magic[7] = {};
    EXPECT_EQ(std::fread(magic, 1, 6, file), 6u);
    std::fclose(file);
    EXPECT_STREQ(magic, "KIVCAP");
    EXPECT_EQ(client.replay_status().size, 0) << "no replay";
    EXPECT_EQ(client.replay_start(path), ReturnCode::invalid_argument) << "not a fresh Client";
    Client replayed;
    ASSERT_EQ(replayed.replay_start(path, KIV_REPLAY_RECORDED_TIMING), ReturnCode::success);
    const KIVReplayStatus replay = replayed.replay_status();
    EXPECT_EQ(replay.size, static_cast<int>(sizeof(KIVReplayStatus)));
    EXPECT_EQ(replay.waiting, KIV_REPLAY_WAITS_FOR_CONNECT);
    EXPECT_EQ(replayed.replay_skip(), ReturnCode::invalid_argument);
    std::remove(path.c_str());

    lines.clear();
    ASSERT_EQ(client.log(kivsdk::LogLevel::off, nullptr), ReturnCode::success);
    client.connect_universe("127.0.0.1", 1);
    client.wait(0);
    EXPECT_TRUE(lines.empty());
    EXPECT_EQ(client.log(static_cast<kivsdk::LogLevel>(7), nullptr), ReturnCode::invalid_argument);

    Client moved = std::move(client);
    EXPECT_EQ(moved.stats().size, static_cast<int>(sizeof(KIVStats)));
    try {
        (void)client.stats();
        ADD_FAILURE() << "a moved-from Client has no counters";
    } catch (const kivsdk::Error& error) {
        EXPECT_EQ(error.code(), ReturnCode::invalid_argument);
    }
}

TEST_F(ClientTest, TheGlobalLogRouteTakesLinesOfInstancesWithoutTheirOwn) {
    std::vector<std::pair<KIVInstance*, std::string>> lines;
    ASSERT_EQ(kivsdk::log(kivsdk::LogLevel::info,
                          [&](KIVInstance* instance, kivsdk::LogLevel, std::string_view,
                              std::string_view text) {
                              lines.emplace_back(instance, std::string(text));
                              throw std::runtime_error("dropped");
                          }),
              ReturnCode::success);
    const auto connecting = [](Client& client) {
        client.on(KIV_CALLBACK_CONNECT_UNIVERSE, [](Client&, ReturnCode, int) {});
        EXPECT_EQ(client.connect_universe("127.0.0.1", 1), ReturnCode::success);
    };
    Client client(table), other(table);
    connecting(client);
    ASSERT_EQ(kivsdk::log(kivsdk::LogLevel::warning, nullptr), ReturnCode::success);
    connecting(other);
    ASSERT_EQ(lines.size(), 1u) << "the route was given back to standard output";
    EXPECT_EQ(lines[0].first, client.handle());
    EXPECT_EQ(lines[0].second, "connecting to 127.0.0.1:1\n");
}

}  // namespace
