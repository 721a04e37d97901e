// Test helpers for end-to-end tests against the sandbox: a RunningSandbox on
// its own thread, which holds every frame it sends to the message catalogue,
// and Bots, library Instances with the default sockets that record every
// event and callback together with the attributes of that moment.
#pragma once

#include <array>
#include <chrono>
#include <functional>
#include <initializer_list>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "catalogue_check.h"
#include "kivsdk.h"
#include "sandbox.h"
#include "support/test_socket.h"

namespace kivsdk::test {

// Options for a sandbox on 127.0.0.1 with this build's PKI, quiet, with the
// worlds "lobby" (plain) and "garden" (TLS).
sandbox::Options sandbox_options();

class RunningSandbox {
public:
    // With start_now false the loop thread waits for start(), so that the
    // test can still prepare the sandbox (e.g. issue tickets) first.
    explicit RunningSandbox(const sandbox::Options& options = sandbox_options(),
                            bool start_now = true);
    // Stops the loop, joins its thread and fails the test for every frame
    // sent that disagreed with the catalogue.
    ~RunningSandbox();
    RunningSandbox(const RunningSandbox&) = delete;
    RunningSandbox& operator=(const RunningSandbox&) = delete;

    sandbox::Sandbox& server() { return *sandbox_; }
    int universe_port() const { return sandbox_->universe_port(); }
    int world_port(const std::string& name) const { return sandbox_->world_port(name); }

    void start();

    // What the sandbox has sent so far, checked against the catalogue.
    const CatalogueCheck& sent() const { return sent_; }

private:
    CatalogueCheck sent_;
    std::unique_ptr<sandbox::Sandbox> sandbox_;
    std::thread thread_;
};

// Every attribute of an Instance at one moment.
struct Snapshot {
    std::array<int, KIV_INT_ATTRIBUTE_COUNT> ints{};
    std::array<double, KIV_FLOAT_ATTRIBUTE_COUNT> floats{};
    std::array<std::string, KIV_STRING_ATTRIBUTE_COUNT> strings;
    std::array<std::string, KIV_DATA_ATTRIBUTE_COUNT> data;

    int i(int index) const { return ints.at(static_cast<std::size_t>(index)); }
    double f(int index) const { return floats.at(static_cast<std::size_t>(index)); }
    const std::string& s(int index) const { return strings.at(static_cast<std::size_t>(index)); }
};

struct Seen {
    bool callback = false;
    int number = 0;  // event or callback number
    int rc = 0;
    int reference = 0;
    Snapshot at;
};

class Bot {
public:
    explicit Bot(std::string name);
    ~Bot();
    Bot(const Bot&) = delete;
    Bot& operator=(const Bot&) = delete;

    KIVInstance* instance() const { return instance_; }
    const std::string& name() const { return name_; }
    int user_id() const { return user_id_; }

    // Blocking connect and login; returns the first nonzero code.
    int connect_and_login(int universe_port, const std::string& password = "secret");
    // Blocking enter; returns its code.
    int enter(const std::string& world);

    // Everything seen so far, in order.
    const std::vector<Seen>& seen() const { return seen_; }
    std::vector<Seen> events(int event) const;
    std::vector<Seen> callbacks(int callback) const;
    std::size_t count_events(int event) const { return events(event).size(); }
    std::size_t count_callbacks(int callback) const { return callbacks(callback).size(); }
    void forget() { seen_.clear(); }

    void record(bool callback, int number, int rc, int reference);

private:
    std::string name_;
    KIVInstance* instance_;
    int user_id_ = 0;
    std::vector<Seen> seen_;
};

// The frame of `body`, length field first, as raw test clients send it.
std::vector<unsigned char> frame_of(const std::vector<unsigned char>& body);

// A client that speaks raw bytes.
class RawClient {
public:
    using Bytes = std::vector<unsigned char>;

    explicit RawClient(int port,
                       std::chrono::milliseconds receive_limit = std::chrono::seconds(10));
    bool connected() const { return socket_.valid(); }

    void send(const Bytes& bytes) { socket_.send_all(bytes.data(), bytes.size()); }
    void send_frame(const Bytes& body) { send(frame_of(body)); }

    // The next frame's body; nullopt when the stream ended or timed out.
    std::optional<Bytes> read_frame();
    // How the stream goes on: data, closed (FIN), timed out, or an error
    // (a reset among them). Drops the data it reads.
    IoResult::Kind next_read();
    // Reads and drops until the server ends the stream: true when it did,
    // false when it kept the connection open past the receive limit.
    bool closed_by_server();
    // Drops what has arrived, without waiting.
    void discard_pending() { socket_.discard_pending(); }

    void close() { socket_.close(); }

private:
    TestSocket socket_;
};

// Runs kiv_wait passes over the bots until `done` holds; false when it still
// does not after `passes` passes (each waits at most 10 ms per bot).
bool pump_until(std::initializer_list<Bot*> bots, const std::function<bool()>& done,
                int passes = 1500);
// Runs `passes` passes unconditionally (to let messages that must NOT arrive
// have their chance).
void pump(std::initializer_list<Bot*> bots, int passes);

// Calls one of the bot's callbacks' requests and pumps until its callback
// has fired once more; returns that record (callback number -1 when it never
// fired).
Seen answer_of(std::initializer_list<Bot*> bots, Bot& asker, int callback,
               const std::function<int()>& request);

}  // namespace kivsdk::test
