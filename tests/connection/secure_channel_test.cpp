// A Connection switched to TLS over the library's own sockets, against the
// loopback TLS test server and against OpenSSL's s_server.
#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <thread>
#include <vector>

#include "api/instance.h"
#include "connection/client_tls_config.h"
#include "connection/connection.h"
#include "support/fake_clock.h"
#include "support/test_pki.h"
#include "support/tls_test_server.h"
#include "wire/packet_reader.h"

namespace kivsdk::test {
namespace {

struct Record {
    std::vector<int> connect_results, handshakes, disconnects;
    std::vector<Bytes> frames;
};
Record* record = nullptr;

void on_connect_result(Connection&, int status) {
    record->connect_results.push_back(status);
}
void on_disconnected(Connection&, int reason) { record->disconnects.push_back(reason); }
void on_message(Connection&, PacketReader& body) {
    Bytes bytes(body.remaining());
    body.read_raw(bytes.data(), bytes.size());
    record->frames.push_back(bytes);
}
void on_handshake(Connection&, int status) { record->handshakes.push_back(status); }

Bytes framed(const Bytes& body) {
    Bytes out{static_cast<unsigned char>(body.size() >> 8),
              static_cast<unsigned char>(body.size())};
    out.resize(body.size() + 2);
    std::copy(body.begin(), body.end(), out.begin() + 2);
    return out;
}

// Sends pass the real socket at most this many bytes at a time, so every
// large write is a run of short writes.
int short_send(void* socket, const char* data, int length);
KIVNetConfig real_operations;
int short_send(void* socket, const char* data, int length) {
    return real_operations.send(socket, data, std::min(length, 700));
}

class SecureChannel : public ::testing::Test {
protected:
    void SetUp() override {
        record = &received;
        handle = kiv_create(nullptr);
        ASSERT_NE(handle, nullptr);
    }
    void TearDown() override {
        kiv_destroy(handle);
        record = nullptr;
    }

    Instance& instance() { return *Instance::from_handle(handle); }

    // A Connection to the server, connected (bounded passes).
    Connection& connect(int port, const char* host = "127.0.0.1",
                        const KIVNetConfig* operations = nullptr) {
        instance().universe.connection = std::make_unique<Connection>(
            operations != nullptr ? *operations : instance().operations(),
            ConnectionHandlers{&on_connect_result, &on_disconnected, &on_message, nullptr}, instance());
        Connection& connection = *instance().universe.connection;
        EXPECT_EQ(connection.connect(host, static_cast<std::uint16_t>(port)), 0);
        pump([&] { return !received.connect_results.empty(); });
        EXPECT_EQ(received.connect_results, (std::vector<int>{0}));
        return connection;
    }

    int start_tls(Connection& connection, const std::string& bundle_path) {
        bundle = pki::read_text(bundle_path);
        return connection.start_tls(
            &on_handshake,
            std::make_shared<ClientTlsConfig>(
                reinterpret_cast<const unsigned char*>(bundle.c_str()), bundle.size() + 1));
    }

    template <class Done>
    bool pump(Done done, int passes = 400) {
        for (int i = 0; i < passes && !done(); ++i) kiv_wait(handle, 25);
        return done();
    }

    // A handshake that fails ends one of two ways, depending on how fast the
    // server answered: at once inside start_tls (-1, a line on standard
    // output, no completion call), or at a later step (completion with `status`).
    // Either way it is over for good and the socket is closed.
    void expect_handshake_failure(Connection& connection, int status = 1) {
        testing::internal::CaptureStdout();
        const int started = start_tls(connection, pki::universe_bundle());
        if (started == 0) pump([&] { return !received.handshakes.empty(); });
        const std::string out = testing::internal::GetCapturedStdout();
        if (started == 0) {
            EXPECT_EQ(received.handshakes, (std::vector<int>{status}));
            EXPECT_EQ(out, "");
        } else {
            EXPECT_EQ(started, -1);
            EXPECT_TRUE(received.handshakes.empty());
            EXPECT_EQ(out.rfind("mbedtls handshake failed: mbedtls_ssl_handshake returned -", 0),
                      0u)
                << out;
        }
        EXPECT_EQ(connection.tls_state(), Connection::TlsState::kFailed);
        EXPECT_EQ(connection.socket(), nullptr);
    }

    Record received;
    KIVInstance* handle = nullptr;
    std::string bundle;
};

TEST_F(SecureChannel, Tls12AndTls13HandshakesCompleteOnce) {
    for (const TlsVersions versions : {TlsVersions::kTls12, TlsVersions::kTls13}) {
        received = Record{};
        TlsTestServer server;
        server.on_connection([versions](ServerConnection& c) {
            c.start_tls(pki::universe_server(), versions);
            c.write_frame({7, 7});
            c.wait_for_close();
        });
        Connection& connection = connect(server.port(), "localhost");
        ASSERT_EQ(start_tls(connection, pki::universe_bundle()), 0);
        ASSERT_TRUE(pump([&] { return !received.frames.empty(); }));
        EXPECT_EQ(received.handshakes, (std::vector<int>{0}));
        EXPECT_EQ(connection.tls_state(), Connection::TlsState::kEstablished);
        EXPECT_EQ(received.frames, (std::vector<Bytes>{{7, 7}}));
        Instance::discard(instance().universe.connection);
        ASSERT_TRUE(server.wait_for_finished(1));
        EXPECT_EQ(server.report(0).tls_version,
                  versions == TlsVersions::kTls12 ? "TLSv1.2" : "TLSv1.3");
    }
}

TEST_F(SecureChannel, UntrustedOrMisnamedCertificateGivesStatus2AndClosesTheSocket) {
    for (const CertAndKey& identity : {pki::rogue_server(), pki::otherhost_server()}) {
        received = Record{};
        TlsTestServer server;
        server.on_connection(
            [identity](ServerConnection& c) { c.start_tls(identity, TlsVersions::kBoth); });
        Connection& connection = connect(server.port(), "localhost");
        expect_handshake_failure(connection, 2);
        for (int i = 0; i < 3; ++i) kiv_wait(handle, 10);
        EXPECT_LE(received.handshakes.size(), 1u) << "a failure is reported once";
        Instance::discard(instance().universe.connection);
    }
}

TEST_F(SecureChannel, BrokenHandshakeGivesStatus1) {
    TlsTestServer server;
    server.on_connection([](ServerConnection& c) { c.break_handshake(); });
    Connection& connection = connect(server.port());
    expect_handshake_failure(connection);
}

TEST_F(SecureChannel, ServerHelloThenCloseGivesStatus1Once) {
    TlsTestServer server;
    server.on_connection([](ServerConnection& c) {
        c.send_server_hello_then_close(pki::universe_server(), TlsVersions::kTls12);
    });
    Connection& connection = connect(server.port());
    expect_handshake_failure(connection);
    for (int i = 0; i < 3; ++i) kiv_wait(handle, 10);
    EXPECT_LE(received.handshakes.size(), 1u) << "a failure is reported once";
    EXPECT_TRUE(received.disconnects.empty()) << "a failed handshake is not a lost stream";
}

TEST_F(SecureChannel, UnparsableBundleIsASetupFailure) {
    TlsTestServer server;
    server.on_connection([](ServerConnection& c) { c.wait_for_close(); });
    Connection& connection = connect(server.port());
    const std::string garbage =
        "-----BEGIN CERTIFICATE-----\nnot a certificate\n-----END CERTIFICATE-----\n";
    testing::internal::CaptureStdout();
    const int rc = connection.start_tls(
        &on_handshake, std::make_shared<ClientTlsConfig>(
                           reinterpret_cast<const unsigned char*>(garbage.c_str()),
                           garbage.size() + 1));
    const std::string out = testing::internal::GetCapturedStdout();
    EXPECT_EQ(rc, -1);
    EXPECT_EQ(out.rfind("mbedtls init failed: mbedtls_x509_crt_parse returned -", 0), 0u) << out;
    EXPECT_EQ(out.back(), '\n');
    EXPECT_EQ(connection.tls_state(), Connection::TlsState::kPlain)
        << "the state is left as it was";
    EXPECT_TRUE(received.handshakes.empty());
}

TEST_F(SecureChannel, KeepAliveAndBurstsCrossTlsIntactWithShortWrites) {
    constexpr int kFrames = 300;  // about 60 KB each way
    auto body = [](int i) {
        Bytes out(200);
        for (std::size_t b = 0; b < out.size(); ++b) out[b] = static_cast<unsigned char>(i + b);
        return out;
    };
    TlsTestServer server;
    server.on_connection([&](ServerConnection& c) {
        c.start_tls(pki::universe_server(), TlsVersions::kTls13);
        for (int i = 0; i < kFrames; ++i) c.write_frame(body(i));
        c.wait_for_close();
    });
    real_operations = instance().operations();
    KIVNetConfig operations = real_operations;
    operations.send = &short_send;
    FakeClock clock(50000);
    Connection& connection = connect(server.port(), "127.0.0.1", &operations);
    ASSERT_EQ(start_tls(connection, pki::universe_bundle()), 0);
    ASSERT_TRUE(pump([&] { return !received.handshakes.empty(); }));
    for (int i = 0; i < kFrames; ++i) {
        const Bytes frame = framed(body(1000 + i));
        connection.send_frame(frame.data(), frame.size());
    }
    ASSERT_TRUE(pump([&] { return received.frames.size() == kFrames; }));
    for (int i = 0; i < kFrames; ++i)
        ASSERT_EQ(received.frames[static_cast<std::size_t>(i)], body(i)) << i;

    clock.advance(30);  // the keep-alive is due at the next tick
    ASSERT_TRUE(server.wait_for_frames(0, kFrames));
    ASSERT_TRUE(pump([&] { return server.report(0).frames.size() > kFrames; }));
    Instance::discard(instance().universe.connection);
    ASSERT_TRUE(server.wait_for_finished(1));
    const ConnectionReport report = server.report(0);
    ASSERT_EQ(report.frames.size(), kFrames + 1u);
    for (int i = 0; i < kFrames; ++i) {
        ASSERT_EQ(report.frames[static_cast<std::size_t>(i)], (ReceivedFrame{body(1000 + i), true}))
            << i;
    }
    EXPECT_EQ(report.frames.back(), (ReceivedFrame{{28, 0, 0, 0, 0}, true}));
    EXPECT_TRUE(received.disconnects.empty());
}

TEST_F(SecureChannel, CloseNotifyIsALostConnectionReportedOnce) {
    TlsTestServer server;
    server.on_connection([](ServerConnection& c) {
        c.start_tls(pki::universe_server(), TlsVersions::kBoth);
        c.write_frame({1});
        c.close();
    });
    Connection& connection = connect(server.port());
    ASSERT_EQ(start_tls(connection, pki::universe_bundle()), 0);
    ASSERT_TRUE(pump([&] { return !received.disconnects.empty(); }));
    EXPECT_EQ(received.frames, (std::vector<Bytes>{{1}})) << "bytes before the close arrive first";
    EXPECT_EQ(received.disconnects, (std::vector<int>{-1}));
    EXPECT_EQ(kiv_wait(handle, 1000), KIV_RC_CONNECTION_ERROR)
        << "the closed socket is not watched";
}

TEST_F(SecureChannel, SessionTicketsAreNotTheEndOfTheStream) {
    TlsTestServer server;
    server.on_connection([](ServerConnection& c) {
        TlsOptions options;
        options.versions = TlsVersions::kTls13;
        options.session_tickets = true;
        c.start_tls(pki::universe_server(), options);
        c.write_frame({5});
        c.wait_for_close();
    });
    Connection& connection = connect(server.port());
    ASSERT_EQ(start_tls(connection, pki::universe_bundle()), 0);
    ASSERT_TRUE(pump([&] { return !received.frames.empty(); }));
    EXPECT_EQ(received.frames, (std::vector<Bytes>{{5}}));
    EXPECT_TRUE(received.disconnects.empty());
}

#ifndef _WIN32
// Interoperability with a TLS server that is not Mbed TLS: OpenSSL's
// s_server sends what it reads on its standard input to the client.
TEST_F(SecureChannel, HandshakesWithOpenSslAndReceivesItsBytes) {
    int port = 0;
    {
        TestSocket probe = TestSocket::listen(Loopback::kIPv4);
        port = probe.port();
    }
    const CertAndKey identity = pki::universe_server();
    const std::string command =
        "openssl s_server -quiet -naccept 2 -accept 127.0.0.1:" + std::to_string(port) + " -cert " +
        identity.cert + " -key " + identity.key + " > /dev/null 2>&1";
    FILE* server = popen(command.c_str(), "w");
    ASSERT_NE(server, nullptr);
    // Wait (bounded) until it listens.
    bool listening = false;
    for (int i = 0; i < 100 && !listening; ++i) {
        listening = TestSocket::connect(Loopback::kIPv4, port).valid();
        if (!listening) std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    ASSERT_TRUE(listening);
    // The readiness probe is the first of the two connections it accepts.
    Connection& connection = connect(port, "localhost");
    ASSERT_EQ(start_tls(connection, pki::universe_bundle()), 0);
    ASSERT_TRUE(pump([&] { return !received.handshakes.empty(); }));
    EXPECT_EQ(received.handshakes, (std::vector<int>{0}));
    const Bytes frame = framed({'o', 'k'});
    std::fwrite(frame.data(), 1, frame.size(), server);
    std::fflush(server);
    EXPECT_TRUE(pump([&] { return !received.frames.empty(); }));
    EXPECT_EQ(received.frames, (std::vector<Bytes>{{'o', 'k'}}));
    Instance::discard(instance().universe.connection);
    pclose(server);
}
#endif

}  // namespace
}  // namespace kivsdk::test
