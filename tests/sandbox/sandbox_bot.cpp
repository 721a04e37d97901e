#include "sandbox_bot.h"

#include <gtest/gtest.h>

#include <utility>

#include "support/handler_tables.h"
#include "support/test_pki.h"
#include "wire/packet_writer.h"

namespace kivsdk::test {
namespace {

Bot& bot_of(KIVInstance* instance) { return *static_cast<Bot*>(kiv_user_data(instance)); }

void record(KIVInstance* instance, bool callback, int number, int rc, int reference) {
    bot_of(instance).record(callback, number, rc, reference);
}

using Handlers = HandlerTables<&record>;

// Connect, login and enter stay blocking: their callbacks are left unset.
bool blocking(int callback) {
    return callback == KIV_CALLBACK_CONNECT_UNIVERSE || callback == KIV_CALLBACK_LOGIN ||
           callback == KIV_CALLBACK_ENTER;
}

}  // namespace

sandbox::Options sandbox_options() {
    sandbox::Options options;
    options.universe_identity = {pki::universe_server().cert, pki::universe_server().key};
    options.world_identity = {pki::world_server().cert, pki::world_server().key};
    options.worlds = {{"lobby", false, 0}, {"garden", true, 0}};
    options.log_connections = false;
    return options;
}

RunningSandbox::RunningSandbox(const sandbox::Options& options, bool start_now)
    : sandbox_(std::make_unique<sandbox::Sandbox>(options)) {
    sandbox_->tap_sent_frames(
        [this](const server::Peer& peer, const unsigned char* frame, std::size_t size) {
            sent_.frame(peer.listener(), frame, size);
        });
    if (start_now) start();
}

void RunningSandbox::start() {
    if (thread_.joinable()) return;
    thread_ = std::thread([this] { sandbox_->run(); });
}

RunningSandbox::~RunningSandbox() {
    sandbox_->stop();
    if (thread_.joinable()) thread_.join();
    for (const std::string& disagreement : sent_.disagreements()) {
        ADD_FAILURE() << "the sandbox sent a frame off its catalogue entry: " << disagreement;
    }
}

Bot::Bot(std::string name) : name_(std::move(name)), instance_(kiv_create(nullptr)) {
    kiv_user_data_set(instance_, this);
    for (int e = 0; e < KIV_EVENT_COUNT; ++e)
        kiv_event_set(instance_, e, Handlers::events[static_cast<std::size_t>(e)]);
    for (int c = 0; c < KIV_CALLBACK_COUNT; ++c) {
        if (!blocking(c))
            kiv_callback_set(instance_, c, Handlers::callbacks[static_cast<std::size_t>(c)]);
    }
}

Bot::~Bot() { kiv_destroy(instance_); }

int Bot::connect_and_login(int universe_port, const std::string& password) {
    int rc = kiv_connect_universe(instance_, "127.0.0.1", universe_port);
    if (rc != 0) return rc;
    rc = kiv_login(instance_, name_.c_str(), password.c_str(), "");
    if (rc == 0) user_id_ = kiv_int(instance_, KIV_LOGIN_REPLY_VALUE);
    return rc;
}

int Bot::enter(const std::string& world) { return kiv_enter(instance_, world.c_str()); }

void Bot::record(bool callback, int number, int rc, int reference) {
    Seen seen;
    seen.callback = callback;
    seen.number = number;
    seen.rc = rc;
    seen.reference = reference;
    for (int i = 0; i < KIV_INT_ATTRIBUTE_COUNT; ++i) seen.at.ints[i] = kiv_int(instance_, i);
    for (int i = 0; i < KIV_FLOAT_ATTRIBUTE_COUNT; ++i)
        seen.at.floats[i] = kiv_double(instance_, i);
    for (int i = 0; i < KIV_STRING_ATTRIBUTE_COUNT; ++i)
        seen.at.strings[i] = kiv_string(instance_, i);
    for (int i = 0; i < KIV_DATA_ATTRIBUTE_COUNT; ++i) {
        int length = 0;
        const void* data = kiv_data(instance_, i, &length);
        if (data && length > 0) seen.at.data[i].assign(static_cast<const char*>(data), length);
    }
    seen_.push_back(std::move(seen));
}

std::vector<Seen> Bot::events(int event) const {
    std::vector<Seen> found;
    for (const Seen& seen : seen_) {
        if (!seen.callback && seen.number == event) found.push_back(seen);
    }
    return found;
}

std::vector<Seen> Bot::callbacks(int callback) const {
    std::vector<Seen> found;
    for (const Seen& seen : seen_) {
        if (seen.callback && seen.number == callback) found.push_back(seen);
    }
    return found;
}

std::vector<unsigned char> frame_of(const std::vector<unsigned char>& body) {
    PacketWriter writer(body.size());
    writer.append_raw(body.data(), body.size());
    const PacketWriter::Frame frame = writer.finish();
    return std::vector<unsigned char>(frame.data, frame.data + frame.size);
}

RawClient::RawClient(int port, std::chrono::milliseconds receive_limit)
    : socket_(TestSocket::connect(Loopback::kIPv4, port)) {
    socket_.set_timeouts(receive_limit);
}

std::optional<RawClient::Bytes> RawClient::read_frame() {
    unsigned char header[2];
    if (socket_.recv_exact(header, 2).kind != IoResult::Kind::kData) return std::nullopt;
    Bytes body((std::size_t{header[0]} << 8) | header[1]);
    if (!body.empty() &&
        socket_.recv_exact(body.data(), body.size()).kind != IoResult::Kind::kData) {
        return std::nullopt;
    }
    return body;
}

IoResult::Kind RawClient::next_read() {
    unsigned char buffer[4096];
    return socket_.recv_some(buffer, sizeof buffer).kind;
}

bool RawClient::closed_by_server() {
    for (int reads = 0; reads < 100000; ++reads) {
        const IoResult::Kind kind = next_read();
        if (kind == IoResult::Kind::kData) continue;
        return kind == IoResult::Kind::kClosed || kind == IoResult::Kind::kError;
    }
    return false;
}

bool pump_until(std::initializer_list<Bot*> bots, const std::function<bool()>& done, int passes) {
    for (int pass = 0; pass < passes; ++pass) {
        if (done()) return true;
        for (Bot* bot : bots) kiv_wait(bot->instance(), 10);
    }
    return done();
}

void pump(std::initializer_list<Bot*> bots, int passes) {
    for (int pass = 0; pass < passes; ++pass) {
        for (Bot* bot : bots) kiv_wait(bot->instance(), 5);
    }
}

Seen answer_of(std::initializer_list<Bot*> bots, Bot& asker, int callback,
               const std::function<int()>& request) {
    const std::size_t before = asker.count_callbacks(callback);
    Seen none;
    none.number = -1;
    if (request() != 0) return none;
    if (!pump_until(bots, [&] { return asker.count_callbacks(callback) > before; })) return none;
    return asker.callbacks(callback).back();
}

}  // namespace kivsdk::test
