#include "staying_up_fixture.h"

#include <mbedtls/error.h>
#include <mbedtls/ssl.h>

#include <algorithm>
#include <array>
#include <iterator>
#include <utility>

#include "support/handler_tables.h"

#include "api/instance.h"
#include "core/tls_config.h"

namespace kivsdk::test {

// ---- Timers -------------------------------------------------------------------

void Timers::sync() {
    for (; scanned_ < net_.log.size(); ++scanned_) {
        const RecordingTable::Operation& op = net_.log[scanned_];
        if (op.name == "timeout") {
            if (op.value < 0) {
                deadlines_.erase(op.socket);
            } else {
                deadlines_[op.socket] = clock_.now() + op.value;
            }
        } else if (op.name == "destroy") {
            deadlines_.erase(op.socket);
        }
    }
}

void Timers::fire_due() {
    for (int round = 0; round < 1000; ++round) {
        sync();
        const auto due = std::find_if(deadlines_.begin(), deadlines_.end(), [&](const auto& entry) {
            return entry.second <= clock_.now();
        });
        if (due == deadlines_.end()) return;
        const int id = due->first;
        deadlines_.erase(due);
        RecordingTable::Socket& socket = *net_.sockets.at(static_cast<std::size_t>(id - 1));
        if (socket.destroyed) continue;
        ++fired_;
        ++fired_by_socket_[id];
        net_.post(socket, KIV_NET_TIMER);
    }
    ADD_FAILURE() << "a timer keeps firing at the same instant";
}

void Timers::advance(std::int64_t seconds) {
    fire_due();
    for (std::int64_t second = 0; second < seconds; ++second) {
        clock_.advance(1);
        fire_due();
    }
}

std::int64_t Timers::due_in(const RecordingTable::Socket& socket) {
    sync();
    const auto found = deadlines_.find(socket.id);
    return found == deadlines_.end() ? -1 : found->second - clock_.now();
}

int Timers::fired_on(const RecordingTable::Socket& socket) const {
    const auto found = fired_by_socket_.find(socket.id);
    return found == fired_by_socket_.end() ? 0 : found->second;
}

// ---- ClearFrames ----------------------------------------------------------------

std::vector<Bytes> ClearFrames::take() {
    const Bytes fresh(socket_->written.begin() + static_cast<long>(seen_), socket_->written.end());
    std::size_t rest = 0;
    std::vector<Bytes> frames = cut_frames(fresh, rest);
    seen_ = socket_->written.size() - rest;
    return frames;
}

// ---- TlsPeer --------------------------------------------------------------------

struct TlsPeer::Tls {
    explicit Tls(const CertAndKey& identity)
        : config(server::Identity{identity.cert, identity.key}) {
        mbedtls_ssl_init(&ssl);
    }
    ~Tls() { mbedtls_ssl_free(&ssl); }
    server::ServerTlsConfig config;
    mbedtls_ssl_context ssl;
};

namespace {

// Cuts complete frames off the front of `buffer` into `frames`.
void cut_into(Bytes& buffer, std::vector<Bytes>& frames) {
    std::size_t rest = 0;
    std::vector<Bytes> cut = cut_frames(buffer, rest);
    buffer.erase(buffer.begin(), buffer.end() - static_cast<long>(rest));
    for (Bytes& frame : cut) frames.push_back(std::move(frame));
}

// A body with its length in front (built by insertion: GCC 12 misjudges a
// sized copy here).
Bytes with_length(const Bytes& body) {
    Bytes frame{static_cast<unsigned char>(body.size() >> 8),
                static_cast<unsigned char>(body.size() & 0xff)};
    frame.insert(frame.end(), body.begin(), body.end());
    return frame;
}

bool wants_more(int result) {
    return result == MBEDTLS_ERR_SSL_WANT_READ || result == MBEDTLS_ERR_SSL_WANT_WRITE;
}

}  // namespace

TlsPeer::TlsPeer(RecordingTable& net, RecordingTable::Socket& socket, const CertAndKey& identity)
    : net_(net), socket_(socket), tls_(std::make_unique<Tls>(identity)) {}

TlsPeer::~TlsPeer() = default;

int TlsPeer::bio_send(void* context, const unsigned char* data, std::size_t length) {
    auto& self = *static_cast<TlsPeer*>(context);
    self.outbox_.insert(self.outbox_.end(), data, data + length);
    return static_cast<int>(length);
}

int TlsPeer::bio_recv(void* context, unsigned char* buffer, std::size_t length) {
    auto& self = *static_cast<TlsPeer*>(context);
    if (self.inbox_.empty()) return MBEDTLS_ERR_SSL_WANT_READ;
    const std::size_t count = std::min(length, self.inbox_.size());
    std::copy_n(self.inbox_.begin(), count, buffer);
    self.inbox_.erase(self.inbox_.begin(), self.inbox_.begin() + static_cast<long>(count));
    return static_cast<int>(count);
}

bool TlsPeer::go_ahead() {
    pump();  // the request itself, in the clear
    secure_ = true;
    if (mbedtls_ssl_setup(&tls_->ssl, tls_->config.config()) != 0) return false;
    mbedtls_ssl_set_bio(&tls_->ssl, this, &TlsPeer::bio_send, &TlsPeer::bio_recv, nullptr);
    net_.deliver(socket_, framed({39}));
    pump();
    return handshake_result_ == 0;
}

void TlsPeer::pump() {
    for (int round = 0; round < 200; ++round) {
        if (socket_.written.size() > consumed_) {
            Bytes& target = secure_ ? inbox_ : clear_;
            target.insert(target.end(), socket_.written.begin() + static_cast<long>(consumed_),
                          socket_.written.end());
            consumed_ = socket_.written.size();
        }
        if (!secure_) {
            cut_into(clear_, frames_);
            return;
        }
        if (handshake_result_ != 0 && !mbedtls_ssl_is_handshake_over(&tls_->ssl)) {
            const int r = mbedtls_ssl_handshake(&tls_->ssl);
            if (r == 0) {
                handshake_result_ = 0;
            } else if (!wants_more(r)) {
                handshake_result_ = r;
            }
        }
        if (handshake_result_ == 0) {
            std::array<unsigned char, 4096> buffer{};
            for (;;) {
                const int r = mbedtls_ssl_read(&tls_->ssl, buffer.data(), buffer.size());
                if (r <= 0) break;
                plain_.insert(plain_.end(), buffer.begin(), buffer.begin() + r);
            }
            cut_into(plain_, frames_);
        }
        if (outbox_.empty() || socket_.destroyed) return;
        const Bytes out = std::move(outbox_);
        outbox_.clear();
        net_.deliver(socket_, out);
    }
    ADD_FAILURE() << "the TLS exchange does not settle";
}

std::vector<Bytes> TlsPeer::take_frames() {
    pump();
    std::vector<Bytes> frames = std::move(frames_);
    frames_.clear();
    return frames;
}

void TlsPeer::send(const Bytes& body) {
    const Bytes frame = with_length(body);
    std::size_t done = 0;
    while (done < frame.size()) {
        const int r = mbedtls_ssl_write(&tls_->ssl, frame.data() + done, frame.size() - done);
        if (r <= 0) {
            ADD_FAILURE() << "mbedtls_ssl_write: " << r;
            return;
        }
        done += static_cast<std::size_t>(r);
    }
    pump();
}

// ---- StayingUpTest -----------------------------------------------------------

namespace {

StayingUpTest& fixture_of(KIVInstance* instance) {
    return *static_cast<StayingUpTest*>(kiv_user_data(instance));
}

void record(KIVInstance* instance, bool callback, int number, int rc, int reference) {
    if (callback) {
        StayingUpTest::record_callback(instance, number, rc, reference);
    } else {
        StayingUpTest::record_event(instance, number);
    }
}

using Handlers = HandlerTables<&record>;

Noted note(KIVInstance* instance) {
    Noted noted;
    noted.reason = kiv_int(instance, KIV_DISCONNECT_REASON);
    noted.detail = kiv_int(instance, KIV_DISCONNECT_DETAIL);
    noted.attempt = kiv_int(instance, KIV_RECONNECT_ATTEMPT);
    noted.delay_ms = kiv_int(instance, KIV_RECONNECT_DELAY);
    noted.side = kiv_int(instance, KIV_DISCONNECT_SIDE);
    noted.text = kiv_string(instance, KIV_DISCONNECT_TEXT);
    noted.universe_state = kiv_state(instance, KIV_SIDE_UNIVERSE);
    noted.world_state = kiv_state(instance, KIV_SIDE_WORLD);
    return noted;
}

}  // namespace

void StayingUpTest::record_event(KIVInstance* instance, int event) {
    Noted noted = note(instance);
    noted.number = event;
    fixture_of(instance).seen.push_back(noted);
}

void StayingUpTest::record_callback(KIVInstance* instance, int callback, int rc, int reference) {
    Noted noted = note(instance);
    noted.callback = true;
    noted.number = callback;
    noted.rc = rc;
    noted.reference = reference;
    fixture_of(instance).seen.push_back(noted);
}

void StayingUpTest::SetUp() {
    const KIVNetConfig config = net.table();
    handle = kiv_create(&config);
    ASSERT_NE(handle, nullptr);
    kiv_user_data_set(handle, this);
    for (int e = 0; e < KIV_EVENT_COUNT; ++e)
        kiv_event_set(handle, e, Handlers::events[static_cast<std::size_t>(e)]);
    for (int c = 0; c < KIV_CALLBACK_COUNT; ++c)
        kiv_callback_set(handle, c, Handlers::callbacks[static_cast<std::size_t>(c)]);
    // Whatever CAs the build carries, this Instance trusts the sandbox's.
    const std::string bundle = pki::read_text(pki::universe_bundle());
    ASSERT_FALSE(bundle.empty());
    ASSERT_EQ(
        kiv_trust_set(handle, KIV_SIDE_UNIVERSE, bundle.c_str(), static_cast<int>(bundle.size())),
        0);
}

void StayingUpTest::TearDown() {
    kiv_destroy(handle);
    universe.reset();
    EXPECT_EQ(net.operations_after_destroy(), 0) << "a socket was used after its destroy";
}

void StayingUpTest::connect_universe() {
    ASSERT_EQ(kiv_connect_universe(handle, "localhost", kUniversePort), 0);
    RecordingTable::Socket& socket = net.last_socket();
    ASSERT_EQ(socket.port, kUniversePort);
    net.post(socket, KIV_NET_CONNECT_RESULT, 0);
    universe = std::make_unique<TlsPeer>(net, socket);
    ASSERT_EQ(universe->take_frames(), std::vector<Bytes>{{39}});
    ASSERT_TRUE(universe->go_ahead()) << "handshake: " << universe->handshake_result();
    ASSERT_FALSE(seen.empty());
    EXPECT_EQ(seen.back().number, KIV_CALLBACK_CONNECT_UNIVERSE);
    EXPECT_EQ(seen.back().rc, 0);
}

void StayingUpTest::login() {
    ASSERT_EQ(kiv_login(handle, "alice", "secret", "x"), 0);
    const std::vector<Bytes> frames = universe->take_frames();
    ASSERT_EQ(frames.size(), 1u);
    ASSERT_EQ(frames[0].at(0), 1);
    first_login = frames[0];
    universe->send(Message(1).byte(0).int32(7).string("welcome").bytes());
    ASSERT_FALSE(seen.empty());
    EXPECT_TRUE(seen.back().callback);
    EXPECT_EQ(seen.back().number, KIV_CALLBACK_LOGIN);
    EXPECT_EQ(seen.back().rc, 0);
}

void StayingUpTest::enter(const std::string& world) {
    ASSERT_EQ(kiv_enter(handle, world.c_str()), 0);
    const std::vector<Bytes> request = universe->take_frames();
    ASSERT_EQ(request, std::vector<Bytes>{Message(2).string(world).bytes()});
    universe->send(world_entry_reply(test_ticket(1), kWorldPort, false, "localhost"));
    world_socket = &net.last_socket();
    ASSERT_EQ(world_socket->port, kWorldPort);
    world_frames = std::make_unique<ClearFrames>(*world_socket);
    net.post(*world_socket, KIV_NET_CONNECT_RESULT, 0);
    const std::vector<Bytes> sent = world_frames->take();
    ASSERT_EQ(sent.size(), 1u);
    ASSERT_EQ(sent[0].at(0), 1) << "the world login";
    net.deliver(*world_socket, framed({1, 0}));
    ASSERT_FALSE(seen.empty());
    EXPECT_EQ(seen.back().number, KIV_CALLBACK_ENTER);
    EXPECT_EQ(seen.back().rc, 0);
    world_name = world;
}

void StayingUpTest::bring_up(const std::string& world) {
    ASSERT_NO_FATAL_FAILURE(connect_universe());
    ASSERT_NO_FATAL_FAILURE(login());
    ASSERT_NO_FATAL_FAILURE(enter(world));
}

Bytes StayingUpTest::accept_reconnection(std::uint8_t result) {
    RecordingTable::Socket& socket = net.last_socket();
    EXPECT_EQ(socket.port, kUniversePort) << "no universe connect was made";
    EXPECT_EQ(socket.host, "localhost");
    if (socket.port != kUniversePort || socket.destroyed) return {};
    net.post(socket, KIV_NET_CONNECT_RESULT, 0);
    universe = std::make_unique<TlsPeer>(net, socket);
    EXPECT_EQ(universe->take_frames(), std::vector<Bytes>{{39}});
    if (!universe->go_ahead()) {
        ADD_FAILURE() << "handshake: " << universe->handshake_result();
        return {};
    }
    const std::vector<Bytes> frames = universe->take_frames();
    if (frames.size() != 1 || frames[0].empty() || frames[0][0] != 1) {
        ADD_FAILURE() << "expected one login, got " << frames.size() << " frames";
        return {};
    }
    universe->send(Message(1).byte(result).int32(7).string("welcome").bytes());
    return frames[0];
}

std::vector<Bytes> StayingUpTest::accept_reentry(std::uint8_t status, std::uint8_t login) {
    const std::vector<Bytes> request = universe->take_frames();
    EXPECT_EQ(request, std::vector<Bytes>{Message(2).string(world_name).bytes()})
        << "the re-entry names the world entered";
    if (request.size() != 1) return {};
    if (status != 0) {
        universe->send(Message(2).byte(status).bytes());
        return {};
    }
    universe->send(world_entry_reply(test_ticket(2), kWorldPort, false, "localhost"));
    world_socket = &net.last_socket();
    EXPECT_EQ(world_socket->port, kWorldPort);
    world_frames = std::make_unique<ClearFrames>(*world_socket);
    net.post(*world_socket, KIV_NET_CONNECT_RESULT, 0);
    net.deliver(*world_socket, framed({1, login}));
    return world_frames->take();
}

void StayingUpTest::drop(RecordingTable::Socket& socket) { net.post(socket, KIV_NET_DISCONNECTED); }

std::vector<Noted> StayingUpTest::events(int event) const {
    std::vector<Noted> found;
    std::copy_if(seen.begin(), seen.end(), std::back_inserter(found),
                 [&](const Noted& n) { return !n.callback && n.number == event; });
    return found;
}

std::vector<Noted> StayingUpTest::callbacks(int callback) const {
    std::vector<Noted> found;
    std::copy_if(seen.begin(), seen.end(), std::back_inserter(found),
                 [&](const Noted& n) { return n.callback && n.number == callback; });
    return found;
}

std::vector<int> StayingUpTest::order_since(std::size_t from) const {
    std::vector<int> order;
    for (std::size_t i = from; i < seen.size(); ++i) {
        order.push_back(seen[i].callback ? -(seen[i].number + 100) : seen[i].number);
    }
    return order;
}

}  // namespace kivsdk::test
