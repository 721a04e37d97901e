// Loopback TCP, plain and TLS 1.3: a sender thread writes the world stream;
// the library receives it through its own sockets and kiv_wait, and a raw
// receiver (recv, or mbedtls_ssl_read, plus the minimal cutter) takes the
// same stream in the same run.
#include <sys/socket.h>

#include <cstdio>
#include <functional>
#include <string>
#include <thread>

#include "api/instance.h"
#include "bench_modes.h"
#include "bench_support.h"
#include "world_stream.h"

#ifdef KIVSDK_BENCH_TLS
#include <mbedtls/ctr_drbg.h>
#include <mbedtls/entropy.h>
#include <mbedtls/net_sockets.h>
#include <mbedtls/ssl.h>
#include <psa/crypto.h>

#include "connection/trust_anchors.h"
#include "support/tls_test_server.h"
#endif

namespace kivsdk::bench {
namespace {

constexpr std::size_t kStreamEvents = 50000;
constexpr std::size_t kReadSize = 10240;
constexpr double kLimitSeconds = 60;

struct Outcome {
    double seconds = 0;
    std::uint64_t frames = 0;
};

// A plain TCP sender on its own thread: accepts one connection, writes the
// stream `copies` times and closes.
class PlainSender {
public:
    PlainSender(const Bytes& stream, int copies) {
        listener_ = listen_loopback(port_);
        thread_ = std::thread([this, &stream, copies] {
            const int peer = accept_within(listener_, 10000);
            if (peer < 0) return;
            for (int i = 0; i < copies; ++i) {
                if (!send_everything(peer, stream.data(), stream.size())) break;
            }
            close_socket(peer);
        });
    }
    ~PlainSender() {
        thread_.join();
        close_socket(listener_);
    }
    PlainSender(const PlainSender&) = delete;
    PlainSender& operator=(const PlainSender&) = delete;
    int port() const { return port_; }

private:
    int listener_ = -1;
    int port_ = 0;
    std::thread thread_;
};

// The library's side: a world Connection on the default sockets, driven by
// kiv_wait until every event arrived or the stream ended. Timed from the
// moment the connection was ready (after the handshake for TLS).
Outcome library_receiver(int port, bool tls, std::uint64_t expected) {
    KIVInstance* handle = kiv_create(nullptr);
    install_reading_handlers(handle);
    reset_events_seen();
    Attached& world = attach(*Instance::from_handle(handle), Side::kWorld, port, tls);
    wait_until(
        handle, [&] { return events_seen() >= expected || world.lost || world.status != 0; },
        kLimitSeconds);
    Outcome outcome{seconds_now() - world.ready_at, events_seen()};
    kiv_destroy(handle);
    return outcome;
}

Outcome plain_raw_receiver(int port) {
    const double start = seconds_now();
    const int handle = connect_loopback(port);
    MinimalCutter cutter;
    unsigned char buffer[kReadSize];
    while (handle >= 0) {
        const ssize_t n = ::recv(handle, buffer, sizeof buffer, 0);
        if (n <= 0) break;
        cutter.feed(buffer, static_cast<std::size_t>(n));
    }
    close_socket(handle);
    return {seconds_now() - start, cutter.frames()};
}

#ifdef KIVSDK_BENCH_TLS
int send_hook(void* context, const unsigned char* data, std::size_t size) {
    const ssize_t n = ::send(*static_cast<int*>(context), data, size, MSG_NOSIGNAL);
    return n < 0 ? MBEDTLS_ERR_NET_SEND_FAILED : static_cast<int>(n);
}

int receive_hook(void* context, unsigned char* buffer, std::size_t size) {
    const ssize_t n = ::recv(*static_cast<int*>(context), buffer, size, 0);
    return n < 0 ? MBEDTLS_ERR_NET_RECV_FAILED : static_cast<int>(n);
}

// A blocking Mbed TLS client with the library's world trust anchors, timed
// from the end of its handshake.
Outcome tls_raw_receiver(int port, std::string& suite) {
    mbedtls_entropy_context entropy;
    mbedtls_ctr_drbg_context random;
    mbedtls_ssl_config config;
    mbedtls_ssl_context ssl;
    mbedtls_x509_crt anchors;
    mbedtls_entropy_init(&entropy);
    mbedtls_ctr_drbg_init(&random);
    mbedtls_ssl_config_init(&config);
    mbedtls_ssl_init(&ssl);
    mbedtls_x509_crt_init(&anchors);
    Outcome outcome;
    int handle = -1;
    const TrustAnchor pem = world_trust_anchors();
    if (psa_crypto_init() == PSA_SUCCESS &&
        mbedtls_ctr_drbg_seed(&random, mbedtls_entropy_func, &entropy, nullptr, 0) == 0 &&
        mbedtls_ssl_config_defaults(&config, MBEDTLS_SSL_IS_CLIENT, MBEDTLS_SSL_TRANSPORT_STREAM,
                                    MBEDTLS_SSL_PRESET_DEFAULT) == 0 &&
        mbedtls_x509_crt_parse(&anchors, pem.pem, pem.length) >= 0) {
        mbedtls_ssl_conf_authmode(&config, MBEDTLS_SSL_VERIFY_REQUIRED);
        mbedtls_ssl_conf_ca_chain(&config, &anchors, nullptr);
        mbedtls_ssl_conf_rng(&config, mbedtls_ctr_drbg_random, &random);
        handle = connect_loopback(port);
        if (handle >= 0 && mbedtls_ssl_setup(&ssl, &config) == 0 &&
            mbedtls_ssl_set_hostname(&ssl, "127.0.0.1") == 0) {
            mbedtls_ssl_set_bio(&ssl, &handle, &send_hook, &receive_hook, nullptr);
            if (mbedtls_ssl_handshake(&ssl) == 0) {
                suite = mbedtls_ssl_get_ciphersuite(&ssl);
                const double start = seconds_now();
                MinimalCutter cutter;
                unsigned char buffer[kReadSize];
                for (;;) {
                    const int n = mbedtls_ssl_read(&ssl, buffer, sizeof buffer);
                    if (n > 0) {
                        cutter.feed(buffer, static_cast<std::size_t>(n));
                    } else if (n != MBEDTLS_ERR_SSL_RECEIVED_NEW_SESSION_TICKET) {
                        break;
                    }
                }
                outcome = {seconds_now() - start, cutter.frames()};
            }
        }
    }
    close_socket(handle);
    mbedtls_x509_crt_free(&anchors);
    mbedtls_ssl_free(&ssl);
    mbedtls_ssl_config_free(&config);
    mbedtls_ctr_drbg_free(&random);
    mbedtls_entropy_free(&entropy);
    return outcome;
}

// The TLS sender: the tests' loopback server, TLS 1.3 with the world
// server's certificate, writing the stream `copies` times, then a
// close-notify.
template <class Receive>
Outcome over_tls(const Bytes& stream, int copies, Receive&& receive) {
    using namespace kivsdk::test;
    TlsTestServer server;
    server.on_connection([&](ServerConnection& c) {
        if (c.start_tls(pki::world_server(), TlsVersions::kTls13) != 0) return;
        for (int i = 0; i < copies; ++i) c.write_raw(stream);
        c.close();
    });
    return receive(server.port());
}
#endif

void report(const std::string& path, const std::vector<double>& library,
            const std::vector<double>& raw, const std::vector<double>& ratio) {
    figure(path + ".library", median(library), "events/s");
    figure(path + ".raw_receiver", median(raw), "frames/s");
    figure(path + ".library_vs_raw", median(ratio), "ratio");
}

bool complete(const Outcome& outcome, std::uint64_t expected, const char* who) {
    if (outcome.frames == expected && outcome.seconds > 0) return true;
    std::fprintf(stderr, "%s received %llu of %llu frames\n", who,
                 static_cast<unsigned long long>(outcome.frames),
                 static_cast<unsigned long long>(expected));
    return false;
}

}  // namespace

int run_loopback(bool tls) {
    const WorldStream stream = make_world_stream(kStreamEvents);
    const int copies = tls ? 10 : 30;
    const std::uint64_t expected = static_cast<std::uint64_t>(copies) * stream.events;
    std::vector<double> library, raw, ratio;
    std::string suite;
    for (int rep = 0; rep < repetitions(); ++rep) {
        Outcome mine, theirs;
        if (!tls) {
            {
                PlainSender sender(stream.bytes, copies);
                mine = library_receiver(sender.port(), false, expected);
            }
            PlainSender sender(stream.bytes, copies);
            theirs = plain_raw_receiver(sender.port());
        } else {
#ifdef KIVSDK_BENCH_TLS
            mine = over_tls(stream.bytes, copies,
                            [&](int port) { return library_receiver(port, true, expected); });
            theirs = over_tls(stream.bytes, copies,
                              [&](int port) { return tls_raw_receiver(port, suite); });
#else
            note("TLS loopback needs the tests' TLS server (configure with tests on)");
            return 0;
#endif
        }
        if (!complete(mine, expected, "library") || !complete(theirs, expected, "raw receiver")) {
            return 1;
        }
        const double a = static_cast<double>(mine.frames) / mine.seconds;
        const double b = static_cast<double>(theirs.frames) / theirs.seconds;
        library.push_back(a);
        raw.push_back(b);
        ratio.push_back(a / b);
    }
    if (tls) note("TLS 1.3 cipher suite: " + suite);
    report(tls ? "tls" : "plain", library, raw, ratio);
    return 0;
}

}  // namespace kivsdk::bench
