// kivsandbox's live view: its JSON escaping, the API's JSON for a scripted
// world, what it refuses, several viewers at once, and a viewer that stops
// reading while the world goes on. Everything over loopback, with the
// HTTP library's own client.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <httplib.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cmath>
#include <fstream>
#include <functional>
#include <limits>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "options.h"
#include "sandbox.h"
#include "sandbox_bot.h"
#include "support/test_socket.h"
#include "view/live_view.h"

namespace kivsdk::test {
namespace {

using namespace std::chrono_literals;

TEST(ViewOptions, HttpPortAndAddressFromTheCommandLine) {
    auto line = sandbox::parse_command_line({"--http", "0", "--http-bind", "::1"}, "/pki");
    ASSERT_EQ(line.action, sandbox::CommandLine::Action::kRun) << line.error;
    EXPECT_EQ(line.options.http_port, 0);
    EXPECT_EQ(line.options.http_bind, "::1");
    EXPECT_EQ(sandbox::parse_command_line({}, "/pki").options.http_port, -1);
    line = sandbox::parse_command_line({"--http", "65536"}, "/pki");
    EXPECT_EQ(line.action, sandbox::CommandLine::Action::kError);
    EXPECT_EQ(line.error, "bad --http port: 65536");
}

// A sandbox with its live view, its loop on a thread of its own. The view
// is made before the loop runs and goes after it has stopped.
class ViewedSandbox {
public:
    explicit ViewedSandbox(const std::string& scene, sandbox::view::ViewOptions view = {})
        : sandbox_(options_with(scene)),
          view_(sandbox_, view),
          thread_([this] { sandbox_.run(); }) {}
    ~ViewedSandbox() {
        sandbox_.stop();
        thread_.join();
    }
    ViewedSandbox(const ViewedSandbox&) = delete;
    ViewedSandbox& operator=(const ViewedSandbox&) = delete;

    int port() const { return view_.port(); }
    int universe_port() const { return sandbox_.universe_port(); }

    httplib::Result get(const std::string& path, const httplib::Headers& headers = {}) const {
        httplib::Client client("127.0.0.1", port());
        client.set_read_timeout(5, 0);
        return client.Get(path.c_str(), headers);
    }
    std::string body(const std::string& path) const {
        const httplib::Result result = get(path);
        return result && result->status == 200 ? result->body : std::string();
    }
    // Polls `path` (bounded) until its body holds `text`.
    bool wait_for(const std::string& path, const std::string& text,
                  std::chrono::milliseconds limit = 10s) const {
        const auto until = std::chrono::steady_clock::now() + limit;
        while (std::chrono::steady_clock::now() < until) {
            if (body(path).find(text) != std::string::npos) return true;
            std::this_thread::sleep_for(50ms);
        }
        return false;
    }

private:
    static sandbox::Options options_with(const std::string& scene) {
        sandbox::Options options = sandbox_options();
        if (scene.empty()) return options;
        static int count = 0;
        options.script = ::testing::TempDir() + "kivsandbox_view_scene_" +
                         std::to_string(::getpid()) + "_" + std::to_string(++count) + ".txt";
        std::ofstream(options.script, std::ios::binary) << scene;
        return options;
    }

    sandbox::Sandbox sandbox_;
    sandbox::view::LiveView view_;
    std::thread thread_;
};

// Reads a world's event stream on a thread until `enough` says so, the
// stream ends or 20 s have passed (the stream carries a comment every
// second, so the limit is checked); what arrived is in text() afterwards.
class StreamReader {
public:
    StreamReader(int port, const std::string& world, std::function<bool(const std::string&)> enough)
        : thread_([this, port, world, enough] {
              const auto until = std::chrono::steady_clock::now() + 20s;
              httplib::Client client("127.0.0.1", port);
              client.set_read_timeout(5, 0);
              const auto result =
                  client.Get(("/api/worlds/" + world + "/events").c_str(),
                             [&](const char* data, std::size_t size) {
                                 text_.append(data, size);
                                 return !enough(text_) && std::chrono::steady_clock::now() < until;
                             });
              (void)result;
          }) {}
    ~StreamReader() {
        if (thread_.joinable()) thread_.join();
    }
    StreamReader(const StreamReader&) = delete;
    StreamReader& operator=(const StreamReader&) = delete;

    // Joins the thread: call once the stream has what it waits for.
    const std::string& text() {
        thread_.join();
        return text_;
    }

private:
    std::string text_;
    std::thread thread_;
};

TEST(SandboxView, ServesAScriptedWorldAsJson) {
    ViewedSandbox sandbox(
        "0 enter ann lobby 1 0 2 90\n"
        "0 object ann tree.rwx 12 0 3\n"
        "0 terrain ann 0 0 1 0 2.5\n"
        "0 setting ann sky red\n");
    ASSERT_TRUE(sandbox.wait_for("/api/worlds/lobby", "tree.rwx"));
    const std::string world = sandbox.body("/api/worlds/lobby");
    EXPECT_EQ(world.rfind("{\"name\":\"lobby\",\"cell_size\":10,\"avatars\":[{\"session\":1,", 0),
              0u)
        << world;
    EXPECT_NE(world.find("\"name\":\"ann\",\"visible\":true,\"x\":1,\"y\":0,\"z\":2,\"yaw\":90,"
                         "\"pitch\":0,\"type\":0}]"),
              std::string::npos)
        << world;
    EXPECT_NE(world.find("\"owner_name\":\"ann\",\"type\":0,\"x\":12,\"y\":0,\"z\":3,"
                         "\"model\":\"tree.rwx\",\"description\":\"\",\"action\":\"\","
                         "\"data_size\":0}],\"cells\":[{\"x\":1,\"z\":0,\"revision\":1,"
                         "\"objects\":1}]"),
              std::string::npos)
        << world;
    std::string heights = "\"heights\":[2.5";
    for (int i = 1; i < 64; ++i) heights += ",2.5";
    EXPECT_NE(world.find("{\"tile_x\":0,\"tile_z\":0,\"node_x\":1,\"node_z\":0,\"revision\":1," +
                         heights + "]}"),
              std::string::npos)
        << world;
    EXPECT_NE(world.find("\"sky\":\"red\""), std::string::npos);

    const std::string list = sandbox.body("/api/worlds");
    EXPECT_NE(list.find("{\"name\":\"lobby\",\"secure\":false,\"port\":"), std::string::npos);
    EXPECT_NE(list.find(",\"users\":[\"ann\"]},{\"name\":\"garden\",\"secure\":true,"),
              std::string::npos)
        << list;

    const auto page = sandbox.get("/");
    ASSERT_TRUE(page);
    EXPECT_EQ(page->status, 200);
    EXPECT_EQ(page->get_header_value("Content-Type"), "text/html; charset=utf-8");
    EXPECT_NE(page->body.find("<canvas id=\"map\">"), std::string::npos);
    EXPECT_NE(page->get_header_value("Content-Security-Policy").find("script-src 'self'"),
              std::string::npos);
    EXPECT_EQ(sandbox.get("/view.js")->get_header_value("Content-Type"),
              "text/javascript; charset=utf-8");
}

TEST(SandboxView, RefusesWhatItDoesNotServe) {
    ViewedSandbox sandbox("");
    EXPECT_EQ(sandbox.get("/api/worlds/nowhere")->status, 404);
    EXPECT_EQ(sandbox.get("/api/worlds/nowhere/events")->status, 404);
    EXPECT_EQ(sandbox.get("/api/nothing")->status, 404);
    EXPECT_EQ(sandbox.get("/../../etc/passwd")->status, 404);
    EXPECT_EQ(sandbox.get("/api/worlds/lobby")->status, 200);

    httplib::Client client("127.0.0.1", sandbox.port());
    const auto post = client.Post("/api/worlds/lobby", "x", "text/plain");
    ASSERT_TRUE(post);
    EXPECT_EQ(post->status, 405);
    EXPECT_EQ(post->get_header_value("Allow"), "GET, HEAD");
    EXPECT_EQ(client.Put("/api/worlds", "x", "text/plain")->status, 405);
    EXPECT_EQ(client.Delete("/api/worlds/lobby")->status, 405);
    EXPECT_EQ(client.Patch("/", "x", "text/plain")->status, 405);
    EXPECT_EQ(client.Options("/")->status, 405);
    // HEAD is served, and holds no viewer's place.
    for (int i = 0; i < 10; ++i) EXPECT_EQ(client.Head("/api/worlds/lobby/events")->status, 200);
    EXPECT_EQ(client.Head("/api/worlds/lobby")->status, 200);

    // Headers past the cap, a GET with a body, a name that is no loopback.
    const auto large = sandbox.get(
        "/api/worlds", {{"X-Filler", std::string(6000, 'a')}, {"X-More", std::string(3000, 'b')}});
    ASSERT_TRUE(large);
    EXPECT_EQ(large->status, 431);
    httplib::Request with_body;
    with_body.method = "GET";
    with_body.path = "/api/worlds";
    with_body.body = "surprise";
    with_body.set_header("Content-Type", "text/plain");
    httplib::Response answer;
    httplib::Error error = httplib::Error::Success;
    ASSERT_TRUE(client.send(with_body, answer, error)) << httplib::to_string(error);
    EXPECT_EQ(answer.status, 413);
    EXPECT_EQ(sandbox.get("/api/worlds", {{"Host", "attacker.example:80"}})->status, 421);

    // Nothing of it reached a world, and the routes are counted by name only.
    EXPECT_NE(sandbox.body("/api/worlds/lobby").find("\"objects\":[]"), std::string::npos);
    const std::string stats = sandbox.body("/api/stats");
    EXPECT_NE(stats.find("\"other method /api/worlds/NAME\":2"), std::string::npos) << stats;
    EXPECT_NE(stats.find("\"GET other\":2"), std::string::npos) << stats;
    EXPECT_NE(stats.find("\"HEAD /api/worlds/NAME/events\":10"), std::string::npos) << stats;
    EXPECT_NE(stats.find("\"viewers\":0,"), std::string::npos) << stats;
}

TEST(SandboxView, EscapesHostileNamesAndChatEverywhere) {
    // A name and a line with markup, quotes and bytes that are no UTF-8.
    ViewedSandbox sandbox(
        "0 enter <img/src=x\"\xFF\xC0> lobby 1 0 1\n"
        "0.2 say <img/src=x\"\xFF\xC0> </script><script>alert(\"\xE2\x82\")</script>\n");
    const std::string r = "\xEF\xBF\xBD";
    const std::string name = "\"\\u003cimg/src=x\\\"" + r + r + "\\u003e\"";
    ASSERT_TRUE(sandbox.wait_for("/api/worlds", "\"users\":[" + name + "]"))
        << sandbox.body("/api/worlds");
    EXPECT_NE(sandbox.body("/api/worlds/lobby").find("\"name\":" + name + ",\"visible\":true"),
              std::string::npos);
    // The line said before anyone watched comes first in a new stream.
    const std::string chat = "data: {\"console\":false,\"session\":1,\"name\":" + name +
                             ",\"text\":\"\\u003c/script\\u003e\\u003cscript\\u003ealert(\\\"" + r +
                             "\\\")\\u003c/script\\u003e\",\"to\":0}\n\n";
    ASSERT_TRUE(sandbox.wait_for("/api/worlds/lobby", "\"visible\":true"));
    std::this_thread::sleep_for(300ms);  // the line's step
    StreamReader reader(sandbox.port(), "lobby", [&](const std::string& text) {
        return text.find("event: chat\n") != std::string::npos &&
               text.find("\n\n", text.find("event: chat\n")) != std::string::npos;
    });
    const std::string& text = reader.text();
    EXPECT_NE(text.find("event: chat\n" + chat), std::string::npos) << text;
    EXPECT_EQ(text.find("<script>"), std::string::npos);
}

TEST(SandboxView, ServesThreeViewersAndApiCallsAtOnce) {
    std::string scene = "0 enter ann lobby 0 0 0\n";
    for (int step = 1; step <= 60; ++step) {
        scene += std::to_string(step * 0.25) + " move ann " + std::to_string(step) + " 0 0\n";
    }
    scene += "15 say ann the end\n";
    ViewedSandbox sandbox(scene);
    // Each viewer waits for the world, then for an avatar that has moved on
    // past x=8 while all three were watching.
    const auto moved = [](const std::string& text) {
        return text.find("event: world\n") != std::string::npos &&
               text.find("\"x\":9,") != std::string::npos;
    };
    std::vector<std::unique_ptr<StreamReader>> viewers;
    for (int i = 0; i < 3; ++i) {
        viewers.push_back(std::make_unique<StreamReader>(sandbox.port(), "lobby", moved));
    }
    ASSERT_TRUE(sandbox.wait_for("/api/stats", "\"viewers\":3,"));
    // The API answers meanwhile, as do the page's files.
    for (int i = 0; i < 10; ++i) {
        EXPECT_EQ(sandbox.get("/api/worlds/lobby")->status, 200);
        EXPECT_EQ(sandbox.get("/api/worlds")->status, 200);
        EXPECT_EQ(sandbox.get("/view.js")->status, 200);
    }
    for (auto& viewer : viewers) {
        const std::string& text = viewer->text();
        EXPECT_NE(text.find("event: avatars\ndata: {\"name\":\"lobby\",\"avatars\":[{"),
                  std::string::npos);
        EXPECT_NE(text.find("\"x\":9,"), std::string::npos);
    }
    EXPECT_TRUE(sandbox.wait_for("/api/stats", "\"viewers\":0,"));
}

// A client that asks for a stream and then never reads a byte, with the
// smallest receive buffer the kernel grants.
class StuckViewer {
public:
    StuckViewer(int port, const std::string& world)
        : socket_(test::TestSocket::connect(test::Loopback::kIPv4, port, 1)) {
        const std::string request =
            "GET /api/worlds/" + world + "/events HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n";
        connected_ = socket_.valid() &&
                     socket_.send_all(reinterpret_cast<const unsigned char*>(request.data()),
                                      request.size());
    }
    bool connected() const { return connected_; }

private:
    test::TestSocket socket_;
    bool connected_ = false;
};

TEST(SandboxView, AViewerThatStopsReadingIsDroppedWhileTheWorldGoesOn) {
    // Objects keep arriving, so every publication carries a larger world.
    std::string scene = "0 enter ann lobby 0 0 0\n";
    for (int i = 0; i < 600; ++i) {
        scene += std::to_string(i * 0.01) + " object ann model-" + std::to_string(i) +
                 "-with-a-long-name.rwx " + std::to_string(i % 40) + " 0 " +
                 std::to_string(i / 40) + "\n";
    }
    sandbox::view::ViewOptions options;
    options.limits.queue_messages = 8;
    ViewedSandbox sandbox(scene, options);
    StuckViewer stuck(sandbox.port(), "lobby");
    ASSERT_TRUE(stuck.connected());
    // A viewer that reads, watching the same world to the last object.
    StreamReader reader(sandbox.port(), "lobby", [](const std::string& text) {
        return text.find("model-599-") != std::string::npos;
    });
    EXPECT_TRUE(sandbox.wait_for("/api/stats", "\"dropped_viewers\":1,", 20s))
        << sandbox.body("/api/stats");
    // The world went on: objects kept coming, a bot gets in and out, and
    // the reading viewer saw the last object.
    EXPECT_TRUE(sandbox.wait_for("/api/worlds/lobby", "model-599-", 20s));
    Bot bot("carol");
    ASSERT_EQ(bot.connect_and_login(sandbox.universe_port()), 0);
    EXPECT_EQ(bot.enter("lobby"), 0);
    EXPECT_NE(reader.text().find("model-599-"), std::string::npos);
    EXPECT_NE(sandbox.body("/api/stats").find("\"dropped_viewers\":1,"), std::string::npos);
}

}  // namespace
}  // namespace kivsdk::test
