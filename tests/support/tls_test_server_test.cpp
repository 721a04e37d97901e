// The loopback TLS test server against a plain blocking Mbed TLS client.
#include "support/tls_test_server.h"

#include <gtest/gtest.h>
#include <mbedtls/ctr_drbg.h>
#include <mbedtls/entropy.h>
#include <mbedtls/net_sockets.h>
#include <mbedtls/ssl.h>
#include <mbedtls/x509_crt.h>
#include <psa/crypto.h>

#include <atomic>
#include <chrono>
#include <string>
#include <utility>

namespace kivsdk::test {
namespace {

constexpr std::chrono::seconds kClientTimeout{10};

Bytes frame(const Bytes& body) {
    Bytes out;
    out.reserve(body.size() + 2);
    out.push_back(static_cast<unsigned char>(body.size() >> 8));
    out.push_back(static_cast<unsigned char>(body.size() & 0xFF));
    out.insert(out.end(), body.begin(), body.end());
    return out;
}

Bytes numbered(std::size_t size) {
    Bytes body(size);
    for (std::size_t i = 0; i < size; ++i) body[i] = static_cast<unsigned char>(i * 7 + 3);
    return body;
}

TestSocket connect_to(const TlsTestServer& server, Loopback address = Loopback::kIPv4) {
    TestSocket s = TestSocket::connect(address, server.port());
    s.set_timeouts(kClientTimeout);
    return s;
}

// Clear-text frames on a plain socket.
void send_clear(TestSocket& s, const Bytes& body) {
    const Bytes f = frame(body);
    ASSERT_TRUE(s.send_all(f.data(), f.size()));
}

Bytes recv_clear(TestSocket& s) {
    unsigned char header[2];
    if (s.recv_exact(header, 2).kind != IoResult::Kind::kData) return {};
    Bytes body((std::size_t{header[0]} << 8) | header[1]);
    if (s.recv_exact(body.data(), body.size()).kind != IoResult::Kind::kData) return {};
    return body;
}

// A blocking Mbed TLS client over a TestSocket; it keeps every byte its
// transport received.
class TlsClient {
public:
    TlsClient(TestSocket& socket, const std::string& ca_file, const char* host_name,
              TlsVersions offered = TlsVersions::kBoth, bool signal_tickets = false)
        : socket_(socket) {
        mbedtls_entropy_init(&entropy_);
        mbedtls_ctr_drbg_init(&random_);
        mbedtls_x509_crt_init(&ca_);
        mbedtls_ssl_config_init(&config_);
        mbedtls_ssl_init(&ssl_);

        static const char personalisation[] = "kivsdk-test-client";
        setup_ = psa_crypto_init() == PSA_SUCCESS ? 0 : -1;
        if (setup_ == 0) {
            setup_ = mbedtls_ctr_drbg_seed(&random_, mbedtls_entropy_func, &entropy_,
                                           reinterpret_cast<const unsigned char*>(personalisation),
                                           sizeof personalisation - 1);
        }
        if (setup_ == 0) setup_ = mbedtls_x509_crt_parse_file(&ca_, ca_file.c_str());
        if (setup_ == 0) {
            setup_ = mbedtls_ssl_config_defaults(&config_, MBEDTLS_SSL_IS_CLIENT,
                                                 MBEDTLS_SSL_TRANSPORT_STREAM,
                                                 MBEDTLS_SSL_PRESET_DEFAULT);
        }
        if (setup_ != 0) return;
        mbedtls_ssl_conf_authmode(&config_, MBEDTLS_SSL_VERIFY_REQUIRED);
        mbedtls_ssl_conf_ca_chain(&config_, &ca_, nullptr);
        mbedtls_ssl_conf_rng(&config_, mbedtls_ctr_drbg_random, &random_);
        mbedtls_ssl_conf_min_tls_version(&config_, offered == TlsVersions::kTls13
                                                       ? MBEDTLS_SSL_VERSION_TLS1_3
                                                       : MBEDTLS_SSL_VERSION_TLS1_2);
        mbedtls_ssl_conf_max_tls_version(&config_, offered == TlsVersions::kTls12
                                                       ? MBEDTLS_SSL_VERSION_TLS1_2
                                                       : MBEDTLS_SSL_VERSION_TLS1_3);
        if (signal_tickets) {
            mbedtls_ssl_conf_tls13_enable_signal_new_session_tickets(
                &config_, MBEDTLS_SSL_TLS1_3_SIGNAL_NEW_SESSION_TICKETS_ENABLED);
        }
        setup_ = mbedtls_ssl_setup(&ssl_, &config_);
        if (setup_ == 0) setup_ = mbedtls_ssl_set_hostname(&ssl_, host_name);
        mbedtls_ssl_set_bio(&ssl_, this, &TlsClient::send, &TlsClient::recv, nullptr);
    }
    ~TlsClient() {
        mbedtls_ssl_free(&ssl_);
        mbedtls_ssl_config_free(&config_);
        mbedtls_x509_crt_free(&ca_);
        mbedtls_ctr_drbg_free(&random_);
        mbedtls_entropy_free(&entropy_);
    }
    TlsClient(const TlsClient&) = delete;
    TlsClient& operator=(const TlsClient&) = delete;

    int handshake() {
        if (setup_ != 0) return setup_;
        int r;
        int rounds = 0;
        do {
            r = mbedtls_ssl_handshake(&ssl_);
        } while ((r == MBEDTLS_ERR_SSL_WANT_READ || r == MBEDTLS_ERR_SSL_WANT_WRITE) &&
                 ++rounds < 100);
        return r;
    }

    std::string version() const { return mbedtls_ssl_get_version(&ssl_); }

    int write_frame(const Bytes& body) {
        const Bytes f = frame(body);
        std::size_t done = 0;
        while (done < f.size()) {
            const int r = mbedtls_ssl_write(&ssl_, f.data() + done, f.size() - done);
            if (r <= 0) return r;
            done += static_cast<std::size_t>(r);
        }
        return 0;
    }

    // 0 and the frame's body, or the first failing mbedtls_ssl_read result.
    // Session tickets are counted and read past, like want-read.
    std::pair<int, Bytes> read_frame() {
        unsigned char header[2];
        int r = read_exact(header, 2);
        if (r != 0) return {r, {}};
        Bytes body((std::size_t{header[0]} << 8) | header[1]);
        r = read_exact(body.data(), body.size());
        return {r, r == 0 ? body : Bytes{}};
    }

    // One mbedtls_ssl_read result (after any session tickets).
    int read_result() {
        unsigned char byte;
        return read_exact(&byte, 1);
    }

    int tickets = 0;  // NewSessionTickets reported by mbedtls_ssl_read
    Bytes received;   // every byte the transport received

private:
    int read_exact(unsigned char* buffer, std::size_t length) {
        std::size_t done = 0;
        // Bounded: each pass reads bytes, reports a ticket or ends.
        for (int pass = 0; pass < 10000 && done < length; ++pass) {
            const int r = mbedtls_ssl_read(&ssl_, buffer + done, length - done);
            if (r == MBEDTLS_ERR_SSL_RECEIVED_NEW_SESSION_TICKET) {
                ++tickets;
            } else if (r == MBEDTLS_ERR_SSL_WANT_READ || r == MBEDTLS_ERR_SSL_WANT_WRITE) {
                // A record without application data (e.g. a post-handshake
                // message) was handled; read on.
            } else if (r > 0) {
                done += static_cast<std::size_t>(r);
            } else {
                return r == 0 ? MBEDTLS_ERR_SSL_CONN_EOF : r;
            }
        }
        return done == length ? 0 : MBEDTLS_ERR_SSL_INTERNAL_ERROR;
    }

    static int send(void* context, const unsigned char* data, std::size_t length) {
        const IoResult r = static_cast<TlsClient*>(context)->socket_.send_some(data, length);
        return r.kind == IoResult::Kind::kData ? static_cast<int>(r.count)
                                               : MBEDTLS_ERR_NET_SEND_FAILED;
    }
    static int recv(void* context, unsigned char* buffer, std::size_t length) {
        auto& self = *static_cast<TlsClient*>(context);
        const IoResult r = self.socket_.recv_some(buffer, length);
        switch (r.kind) {
            case IoResult::Kind::kData:
                self.received.insert(self.received.end(), buffer, buffer + r.count);
                return static_cast<int>(r.count);
            case IoResult::Kind::kClosed: return 0;
            case IoResult::Kind::kTimedOut: return MBEDTLS_ERR_SSL_TIMEOUT;
            case IoResult::Kind::kError: break;
        }
        return MBEDTLS_ERR_NET_CONN_RESET;
    }

    TestSocket& socket_;
    int setup_ = 0;
    mbedtls_entropy_context entropy_;
    mbedtls_ctr_drbg_context random_;
    mbedtls_x509_crt ca_;
    mbedtls_ssl_config config_;
    mbedtls_ssl_context ssl_;
};

// ---- A whole conversation: clear frames, the switch, TLS frames ------------

struct Conversation {
    const char* name;
    CertAndKey (*identity)();
    std::string (*bundle)();
    TlsVersions server;
    TlsVersions client;
    const char* version;
};

class TlsTestServerConversation : public ::testing::TestWithParam<Conversation> {};

TEST_P(TlsTestServerConversation, ClearFramesThenHandshakeThenFramesOverTls) {
    const Conversation& p = GetParam();
    const Bytes big = numbered(40000);  // several TLS records each way
    TlsTestServer server;
    server.on_connection([&](ServerConnection& c) {
        EXPECT_EQ(c.read_frame(), Bytes{0x27});
        c.write_frame({0x27});
        ASSERT_EQ(c.start_tls(p.identity(), p.server), 0);
        EXPECT_TRUE(c.secure());
        EXPECT_EQ(c.tls_version(), p.version);
        EXPECT_EQ(c.read_frame(), (Bytes{0x01, 'a'}));
        c.write_frame({0x02, 'b'});
        c.write_frame(c.read_frame());  // echo
    });

    TestSocket s = connect_to(server);
    ASSERT_TRUE(s.valid());
    send_clear(s, {0x27});
    EXPECT_EQ(recv_clear(s), Bytes{0x27});
    TlsClient client(s, p.bundle(), "localhost", p.client);
    ASSERT_EQ(client.handshake(), 0);
    EXPECT_EQ(client.version(), p.version);
    ASSERT_EQ(client.write_frame({0x01, 'a'}), 0);
    EXPECT_EQ(client.read_frame(), std::make_pair(0, Bytes{0x02, 'b'}));
    ASSERT_EQ(client.write_frame(big), 0);
    EXPECT_EQ(client.read_frame(), std::make_pair(0, big));
    EXPECT_EQ(client.read_result(), MBEDTLS_ERR_SSL_PEER_CLOSE_NOTIFY)
        << "a script that returns closes cleanly";

    ASSERT_TRUE(server.wait_for_finished(1));
    const ConnectionReport report = server.report(0);
    EXPECT_EQ(report.error, "");
    EXPECT_EQ(report.handshake_result, 0);
    EXPECT_EQ(report.tls_version, p.version);
    EXPECT_EQ(report.frames,
              (std::vector<ReceivedFrame>{{{0x27}, false}, {{0x01, 'a'}, true}, {big, true}}));
    EXPECT_TRUE(report.finished);
}

// RSA against a TLS 1.2-only server is tested with a client offering 1.2
// alone.
INSTANTIATE_TEST_SUITE_P(
    Versions, TlsTestServerConversation,
    ::testing::Values(Conversation{"Tls12", pki::universe_server, pki::universe_bundle,
                                   TlsVersions::kTls12, TlsVersions::kBoth, "TLSv1.2"},
                      Conversation{"Tls13", pki::universe_server, pki::universe_bundle,
                                   TlsVersions::kTls13, TlsVersions::kBoth, "TLSv1.3"},
                      Conversation{"Both", pki::universe_server, pki::universe_bundle,
                                   TlsVersions::kBoth, TlsVersions::kBoth, "TLSv1.3"},
                      Conversation{"ClientTls12", pki::universe_server, pki::universe_bundle,
                                   TlsVersions::kBoth, TlsVersions::kTls12, "TLSv1.2"},
                      Conversation{"World", pki::world_server, pki::world_bundle,
                                   TlsVersions::kBoth, TlsVersions::kBoth, "TLSv1.3"},
                      Conversation{"RsaTls13", pki::universe_server_rsa, pki::universe_bundle,
                                   TlsVersions::kTls13, TlsVersions::kBoth, "TLSv1.3"},
                      Conversation{"RsaTls12", pki::universe_server_rsa, pki::universe_bundle,
                                   TlsVersions::kTls12, TlsVersions::kTls12, "TLSv1.2"}),
    [](const ::testing::TestParamInfo<Conversation>& param) { return param.param.name; });

TEST(TlsTestServer, ListensOnIpv6Loopback) {
    if (!loopback_available(Loopback::kIPv6)) GTEST_SKIP() << "no ::1 on this machine";
    ServerOptions options;
    options.address = Loopback::kIPv6;
    TlsTestServer server(options);
    EXPECT_STREQ(server.host(), "::1");
    server.on_connection([](ServerConnection& c) {
        c.start_tls(pki::universe_server(), TlsVersions::kBoth);
        c.write_frame({0x05});
    });
    TestSocket s = connect_to(server, Loopback::kIPv6);
    ASSERT_TRUE(s.valid());
    TlsClient client(s, pki::universe_bundle(), "::1");
    ASSERT_EQ(client.handshake(), 0) << "the certificate names ::1";
    EXPECT_EQ(client.read_frame(), std::make_pair(0, Bytes{0x05}));
}

// ---- Handshakes that fail ---------------------------------------------------

TEST(TlsTestServer, ReportsHandshakesTheClientRefuses) {
    struct Case {
        CertAndKey identity;
        const char* why;
    };
    for (const Case& c : {Case{pki::rogue_server(), "unknown issuer"},
                          Case{pki::otherhost_server(), "other host name"}}) {
        SCOPED_TRACE(c.why);
        TlsTestServer server;
        server.on_connection([&](ServerConnection& connection) {
            connection.start_tls(c.identity, TlsVersions::kBoth);
        });
        TestSocket s = connect_to(server);
        TlsClient client(s, pki::universe_bundle(), "localhost");
        EXPECT_EQ(client.handshake(), MBEDTLS_ERR_X509_CERT_VERIFY_FAILED);
        s.close();
        ASSERT_TRUE(server.wait_for_finished(1));
        const ConnectionReport report = server.report(0);
        ASSERT_TRUE(report.handshake_result.has_value());
        EXPECT_LT(*report.handshake_result, 0);
        EXPECT_EQ(report.tls_version, "");
        EXPECT_EQ(report.error, "") << "a failed handshake is a result, not a script error";
    }
}

TEST(TlsTestServer, BreakHandshakeAnswersTheClientHelloWithGarbage) {
    TlsTestServer server;
    server.on_connection([&](ServerConnection& c) { c.break_handshake(); });
    TestSocket s = connect_to(server);
    TlsClient client(s, pki::universe_bundle(), "localhost");
    const int r = client.handshake();
    EXPECT_NE(r, 0);
    EXPECT_NE(r, MBEDTLS_ERR_X509_CERT_VERIFY_FAILED);
    ASSERT_FALSE(client.received.empty());
    EXPECT_EQ(client.received[0], 'n') << "not a TLS record type";
    ASSERT_TRUE(server.wait_for_finished(1));
    EXPECT_EQ(server.report(0).error, "");
}

TEST(TlsTestServer, SendsOneServerHelloRecordThenCloses) {
    for (TlsVersions versions : {TlsVersions::kTls12, TlsVersions::kTls13}) {
        SCOPED_TRACE(versions == TlsVersions::kTls12 ? "TLS 1.2" : "TLS 1.3");
        TlsTestServer server;
        server.on_connection([&](ServerConnection& c) {
            c.send_server_hello_then_close(pki::universe_server(), versions);
        });
        TestSocket s = connect_to(server);
        TlsClient client(s, pki::universe_bundle(), "localhost");
        EXPECT_NE(client.handshake(), 0);
        // Exactly one handshake record holding a ServerHello, then the end.
        const Bytes& got = client.received;
        ASSERT_GT(got.size(), 5u);
        EXPECT_EQ(got[0], 22);
        EXPECT_EQ(got[5], 2);
        EXPECT_EQ(got.size(), 5u + ((std::size_t{got[3]} << 8) | got[4]));
        ASSERT_TRUE(server.wait_for_finished(1));
        EXPECT_EQ(server.report(0).error, "");
    }
}

// ---- Closing -----------------------------------------------------------------

TEST(TlsTestServer, CloseIsCleanAndCloseAbruptlyResets) {
    for (bool abrupt : {false, true}) {
        SCOPED_TRACE(abrupt ? "abrupt" : "clean");
        TlsTestServer server;
        server.on_connection([&](ServerConnection& c) {
            c.start_tls(pki::universe_server(), TlsVersions::kBoth);
            c.read_frame();
            abrupt ? c.close_abruptly() : c.close();
        });
        TestSocket s = connect_to(server);
        TlsClient client(s, pki::universe_bundle(), "localhost");
        ASSERT_EQ(client.handshake(), 0);
        ASSERT_EQ(client.write_frame({0x01}), 0);
        EXPECT_EQ(client.read_result(),
                  abrupt ? MBEDTLS_ERR_NET_CONN_RESET : MBEDTLS_ERR_SSL_PEER_CLOSE_NOTIFY);
    }
    for (bool abrupt : {false, true}) {
        SCOPED_TRACE(abrupt ? "abrupt, in the clear" : "clean, in the clear");
        TlsTestServer server;
        server.on_connection([&](ServerConnection& c) {
            c.read_frame();
            abrupt ? c.close_abruptly() : c.close();
        });
        TestSocket s = connect_to(server);
        send_clear(s, {0x01});
        unsigned char byte;
        EXPECT_EQ(s.recv_some(&byte, 1).kind,
                  abrupt ? IoResult::Kind::kError : IoResult::Kind::kClosed);
    }
}

TEST(TlsTestServer, ReportsTheClientsEndOfStreamAndFailedReads) {
    TlsTestServer server;
    std::optional<Bytes> after_close{Bytes{0xEE}};
    server.on_connection([&](ServerConnection& c) {
        c.read_frame();
        after_close = c.try_read_frame();
        c.read_frame();  // throws: the stream has ended
        ADD_FAILURE() << "read_frame returned after the end of the stream";
    });
    TestSocket s = connect_to(server);
    send_clear(s, {0x01, 0x02});
    s.shutdown_send();
    ASSERT_TRUE(server.wait_for_finished(1));
    const ConnectionReport report = server.report(0);
    EXPECT_FALSE(after_close.has_value());
    EXPECT_TRUE(report.peer_closed);
    EXPECT_EQ(report.bodies(), (std::vector<Bytes>{{0x01, 0x02}}));
    EXPECT_NE(report.error.find("ended"), std::string::npos) << report.error;
}

TEST(TlsTestServer, ASilentClientEndsTheScriptAtTheIoLimit) {
    ServerOptions options;
    options.io_timeout = std::chrono::milliseconds(200);
    TlsTestServer server(options);
    server.on_connection([](ServerConnection& c) { c.read_frame(); });
    TestSocket s = connect_to(server);
    ASSERT_TRUE(server.wait_for_finished(1));
    const ConnectionReport report = server.report(0);
    EXPECT_NE(report.error.find("timed out"), std::string::npos) << report.error;
    EXPECT_FALSE(report.peer_closed);
    unsigned char byte;
    EXPECT_EQ(s.recv_some(&byte, 1).kind, IoResult::Kind::kClosed) << "then the server closes";
}

TEST(TlsTestServer, DestroyingTheServerWakesABlockedScript) {
    TestSocket s;
    {
        TlsTestServer server;  // the I/O limit is far longer than this test
        server.on_connection([](ServerConnection& c) { c.read_frame(); });
        s = connect_to(server);
        ASSERT_TRUE(s.valid());
        ASSERT_TRUE(server.wait_for_accepted(1));
    }
    unsigned char byte;
    EXPECT_EQ(s.recv_some(&byte, 1).kind, IoResult::Kind::kClosed);
}

TEST(TlsTestServer, KeepsOneReportPerConnectionInAcceptOrder) {
    TlsTestServer server;
    server.on_connection([](ServerConnection& c) {
        const Bytes got = c.read_frame();
        c.write_frame({static_cast<unsigned char>(c.index()), got.at(0)});
    });
    for (unsigned char n : {0xA0, 0xA1}) {
        TestSocket s = connect_to(server);
        send_clear(s, {n});
        EXPECT_EQ(recv_clear(s), (Bytes{static_cast<unsigned char>(n - 0xA0), n}));
    }
    ASSERT_TRUE(server.wait_for_finished(2));
    EXPECT_EQ(server.accepted(), 2u);
    const std::vector<ConnectionReport> reports = server.reports();
    ASSERT_EQ(reports.size(), 2u);
    EXPECT_EQ(reports[0].bodies(), (std::vector<Bytes>{{0xA0}}));
    EXPECT_EQ(reports[1].bodies(), (std::vector<Bytes>{{0xA1}}));
    EXPECT_EQ(reports[1].index, 1u);
}

TEST(TlsTestServer, AGateHoldsTheScriptUntilTheTestOpensIt) {
    {
        TlsTestServer server;
        Gate go;
        std::atomic<bool> opened{false};
        bool opened_before_the_script_went_on = false;
        server.on_connection([&](ServerConnection& c) {
            c.wait_for(go);
            opened_before_the_script_went_on = opened.load();
            c.write_frame({0x01});
        });
        TestSocket s = connect_to(server);
        ASSERT_TRUE(server.wait_for_accepted(1));
        opened = true;
        go.open();
        EXPECT_EQ(recv_clear(s), Bytes{0x01});
        ASSERT_TRUE(server.wait_for_finished(1));
        EXPECT_TRUE(opened_before_the_script_went_on);
    }
    {
        ServerOptions options;
        options.io_timeout = std::chrono::milliseconds(200);
        TlsTestServer server(options);
        Gate never;
        server.on_connection([&](ServerConnection& c) { c.wait_for(never); });
        TestSocket s = connect_to(server);
        ASSERT_TRUE(server.wait_for_finished(1));
        EXPECT_NE(server.report(0).error.find("gate"), std::string::npos) << server.report(0).error;
    }
}

TEST(TlsTestServer, SendsSessionTicketsOnlyWhenAsked) {
    for (bool tickets : {false, true}) {
        SCOPED_TRACE(tickets ? "with tickets" : "without tickets");
        TlsTestServer server;
        server.on_connection([&](ServerConnection& c) {
            TlsOptions options;
            options.versions = TlsVersions::kTls13;
            options.session_tickets = tickets;
            c.start_tls(pki::universe_server(), options);
            c.write_frame({0x07});
        });
        TestSocket s = connect_to(server);
        TlsClient client(s, pki::universe_bundle(), "localhost", TlsVersions::kBoth,
                         /*signal_tickets=*/true);
        ASSERT_EQ(client.handshake(), 0);
        EXPECT_EQ(client.read_frame(), std::make_pair(0, Bytes{0x07}));
        EXPECT_EQ(client.tickets > 0, tickets);
    }
}

}  // namespace
}  // namespace kivsdk::test
