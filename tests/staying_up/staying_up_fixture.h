// Support of the staying-up tests over the recording table's scripted
// sockets and the substituted clock:
//
//   - Timers: the socket timers the library arms through timeout(), run on
//     the fake clock. advance(n) moves the clock second by second and posts
//     KIV_NET_TIMER to every socket whose timer is due, counting them.
//   - TlsPeer: the server end of one scripted socket. It reads the frames the
//     library sent, answers the secure-channel request and then speaks TLS
//     (Mbed TLS, server side, in memory) with this build's sandbox
//     certificates, so that the library's own connect, secure channel and
//     login run unchanged.
//   - StayingUpTest: an Instance on the table with every event and callback
//     recorded (with ints 34, 45-48, string 24 and both sides' states at that
//     moment), a universe trusted through kiv_trust_set, and steps that bring
//     a session up: connect, secure channel, login, enter.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "kivsdk.h"
#include "support/fake_clock.h"
#include "support/recording_table.h"
#include "support/scripted_servers.h"
#include "reconnect_setup.h"
#include "support/session_fixture.h"

namespace kivsdk::test {

class Timers {
public:
    Timers(RecordingTable& net, FakeClock& clock) : net_(net), clock_(clock) {}

    // Posts KIV_NET_TIMER to every socket whose timer is due now (a timer
    // re-armed with 0 s while doing so fires again, bounded).
    void fire_due();
    // Moves the clock one second at a time, firing what is due after each.
    void advance(std::int64_t seconds);
    // Seconds until the socket's timer is due, or -1 when none is armed.
    std::int64_t due_in(const RecordingTable::Socket& socket);

    int fired() const { return fired_; }
    int fired_on(const RecordingTable::Socket& socket) const;

private:
    void sync();

    RecordingTable& net_;
    FakeClock& clock_;
    std::size_t scanned_ = 0;
    std::map<int, std::int64_t> deadlines_;  // socket id -> when due
    std::map<int, int> fired_by_socket_;
    int fired_ = 0;
};

// Frames a socket's stream carried in the clear, read a batch at a time.
class ClearFrames {
public:
    explicit ClearFrames(RecordingTable::Socket& socket) : socket_(&socket) {}
    // Frame bodies written since the last call.
    std::vector<Bytes> take();

private:
    RecordingTable::Socket* socket_;
    std::size_t seen_ = 0;
};

class TlsPeer {
public:
    TlsPeer(RecordingTable& net, RecordingTable::Socket& socket,
            const CertAndKey& identity = pki::universe_server());
    ~TlsPeer();
    TlsPeer(const TlsPeer&) = delete;
    TlsPeer& operator=(const TlsPeer&) = delete;

    RecordingTable::Socket& socket() { return socket_; }

    // Answers the secure-channel request (type 39, in the clear) and runs the
    // TLS handshake with the library. True when the handshake completed.
    bool go_ahead();
    // Everything the library sent since the last call: the request in the
    // clear, then the TLS records' frames.
    std::vector<Bytes> take_frames();
    // Sends a frame body over TLS and lets the library read it.
    void send(const Bytes& body);
    // Moves bytes both ways until neither side has more to say.
    void pump();

    int handshake_result() const { return handshake_result_; }

private:
    struct Tls;
    static int bio_send(void* context, const unsigned char* data, std::size_t length);
    static int bio_recv(void* context, unsigned char* buffer, std::size_t length);

    RecordingTable& net_;
    RecordingTable::Socket& socket_;
    std::unique_ptr<Tls> tls_;
    std::size_t consumed_ = 0;  // of socket.written
    Bytes clear_;               // bytes in the clear not cut into frames yet
    Bytes inbox_;               // TLS records from the library
    Bytes outbox_;              // TLS records to the library
    Bytes plain_;               // decrypted bytes not cut into frames yet
    std::vector<Bytes> frames_;
    bool secure_ = false;
    int handshake_result_ = 1;  // not done
};

// One event or callback as the host saw it.
struct Noted {
    bool callback = false;
    int number = 0;
    int rc = 0;
    int reference = 0;
    int reason = 0;    // int 34
    int detail = 0;    // int 45
    int attempt = 0;   // int 46
    int delay_ms = 0;  // int 47
    int side = 0;      // int 48
    std::string text;  // string 24
    int universe_state = 0;
    int world_state = 0;
};

class StayingUpTest : public ::testing::Test {
public:
    // The handlers' way in.
    static void record_event(KIVInstance* instance, int event);
    static void record_callback(KIVInstance* instance, int callback, int rc, int reference);

protected:
    static constexpr int kUniversePort = 6670;
    static constexpr int kWorldPort = 57002;

    void SetUp() override;
    void TearDown() override;

    Instance& instance() { return *Instance::from_handle(handle); }

    // Sets a policy with these numbers, enabled; kiv_reconnect_set's code.
    int reconnect_with(int first_ms, int max_ms, int attempts = 0, int jitter = 0) {
        const KIVReconnectPolicy p = reconnect_policy(first_ms, max_ms, attempts, jitter);
        return kiv_reconnect_set(handle, &p);
    }

    // The host's steps, each brought to its answer (callback form).
    void connect_universe();                         // to "localhost", through the secure channel
    void login();                                    // as alice/secret/x, answered with 0
    void enter(const std::string& world = "lobby");  // a plain world
    // All three.
    void bring_up(const std::string& world = "lobby");

    // The server side of a reconnection attempt that is due: accepts the
    // connect, runs the secure channel and answers the login with `result`.
    // Returns the login frame the library sent again (empty when none).
    Bytes accept_reconnection(std::uint8_t result = 0);
    // A re-entry asked of the universe: answers it (status 0 opens a plain
    // world on a new socket, which is connected and answered with `login`).
    // Returns the world's frames up to the login reply's consequences.
    std::vector<Bytes> accept_reentry(std::uint8_t status = 0, std::uint8_t login = 0);

    // Loses a side as a server that closes would.
    void drop(RecordingTable::Socket& socket);

    // Every recorded event or callback with this number.
    std::vector<Noted> events(int event) const;
    std::vector<Noted> callbacks(int callback) const;
    // The numbers of everything recorded since `from`, events as +n and
    // callbacks as -(n + 100), in order.
    std::vector<int> order_since(std::size_t from) const;

    FakeClock clock{10000};
    RecordingTable net;
    Timers timers{net, clock};
    KIVInstance* handle = nullptr;
    std::vector<Noted> seen;

    std::unique_ptr<TlsPeer> universe;  // the universe's current server end
    RecordingTable::Socket* world_socket = nullptr;
    std::unique_ptr<ClearFrames> world_frames;
    std::string world_name;
    Bytes first_login;  // the login frame login() sent
};

}  // namespace kivsdk::test
