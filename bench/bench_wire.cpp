// Receive path throughput: frames per second through a Connection's receive
// buffer and frame reassembly, fed in random chunks of 1..10240 bytes.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <cstring>
#include <random>
#include <vector>

#include "api/instance.h"
#include "connection/client_tls_config.h"
#include "connection/connection.h"
#include "kivsdk.h"
#include "wire/frame.h"
#include "wire/packet_reader.h"

#ifdef KIVSDK_BENCH_TLS
#include <fstream>
#include <sstream>
#include <string>

#include "support/tls_test_server.h"
#endif

namespace {

using kivsdk::Connection;
using kivsdk::Instance;

// A socket table that serves a prepared byte stream in prepared chunk sizes.
struct StreamSource {
    std::vector<unsigned char> stream;
    std::vector<int> chunks;
    std::size_t offset = 0;
    std::size_t next_chunk = 0;
    bool chunk_served = false;  // one chunk per readable notification

    static void* create(void*, void* context) { return context; }
    static int destroy(void*) { return 0; }
    static int connect(void*, const char*, int) { return 0; }
    static int send(void*, const char*, int length) { return length; }
    static int timeout(void*, int) { return 0; }
    static int recv(void* socket, char* buffer, int capacity) {
        auto* self = static_cast<StreamSource*>(socket);
        if (self->chunk_served) {
            self->chunk_served = false;
            return -2;
        }
        if (self->offset == self->stream.size()) {
            self->offset = 0;
            self->next_chunk = 0;
        }
        const int wanted = self->chunks[self->next_chunk++ % self->chunks.size()];
        const std::size_t size = std::min<std::size_t>({static_cast<std::size_t>(wanted),
                                                        static_cast<std::size_t>(capacity),
                                                        self->stream.size() - self->offset});
        std::memcpy(buffer, self->stream.data() + self->offset, size);
        self->offset += size;
        self->chunk_served = true;
        return static_cast<int>(size);
    }
};

std::int64_t frames_seen = 0;

// Appends a frame of `frame_size` bytes, length field included.
void append_frame(std::vector<unsigned char>& out, std::size_t frame_size) {
    const std::size_t body = frame_size - kivsdk::kFrameHeaderSize;
    unsigned char header[kivsdk::kFrameHeaderSize];
    kivsdk::wire::store_frame_header(header, body);
    out.insert(out.end(), header, header + kivsdk::kFrameHeaderSize);
    for (std::size_t b = 0; b < body; ++b) out.push_back(static_cast<unsigned char>(b));
}

#ifdef KIVSDK_BENCH_TLS
std::string read_file(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}
#endif

void count_frame(Connection&, kivsdk::PacketReader& body) {
    std::uint8_t type = 0;
    body.read_byte(type);
    benchmark::DoNotOptimize(type);
    ++frames_seen;
}
void ignore_connect(Connection&, int) {}
void ignore_disconnect(Connection&, int) {}

void FramesThroughReassembly(benchmark::State& state) {
    const std::size_t frame_size = static_cast<std::size_t>(state.range(0));
    StreamSource source;
    std::mt19937 random(42);
    // A stream of whole frames, long enough to wrap the receive buffer often.
    const std::size_t frame_count = (1 << 20) / frame_size;
    for (std::size_t i = 0; i < frame_count; ++i) append_frame(source.stream, frame_size);
    for (int i = 0; i < 4096; ++i) source.chunks.push_back(1 + static_cast<int>(random() % 10240));

    KIVNetConfig table{};
    table.create = &StreamSource::create;
    table.destroy = &StreamSource::destroy;
    table.connect = &StreamSource::connect;
    table.send = &StreamSource::send;
    table.recv = &StreamSource::recv;
    table.timeout = &StreamSource::timeout;
    table.context = &source;
    KIVInstance* handle = kiv_create(&table);
    Instance& instance = *Instance::from_handle(handle);
    instance.universe.connection = std::make_unique<Connection>(
        table,
        kivsdk::ConnectionHandlers{&ignore_connect, &ignore_disconnect, &count_frame, nullptr},
        instance);
    Connection& connection = *instance.universe.connection;

    frames_seen = 0;
    std::size_t bytes = 0;
    for (auto _ : state) {
        const std::size_t before = source.offset;
        connection.notify(KIV_NET_READABLE, 0);
        bytes += source.offset >= before ? source.offset - before : source.offset;
    }
    state.counters["frames/s"] =
        benchmark::Counter(static_cast<double>(frames_seen), benchmark::Counter::kIsRate);
    state.SetBytesProcessed(static_cast<std::int64_t>(bytes));
    kiv_destroy(handle);
}
BENCHMARK(FramesThroughReassembly)->Arg(40)->Arg(200);

#ifdef KIVSDK_BENCH_TLS
// The same frames over a TLS 1.3 loopback connection: a server thread writes
// them in 16 KB runs; the client receives through the library's own sockets
// and kiv_wait.
void FramesOverTls13Loopback(benchmark::State& state) {
    using namespace kivsdk::test;
    const std::size_t frame_size = static_cast<std::size_t>(state.range(0));
    constexpr std::int64_t kFramesPerRun = 400000;
    Bytes run;
    while (run.size() + frame_size <= 16384) append_frame(run, frame_size);
    const std::int64_t frames_per_write = static_cast<std::int64_t>(run.size() / frame_size);

    std::int64_t total_frames = 0;
    for (auto _ : state) {
        TlsTestServer server;
        server.on_connection([&](ServerConnection& c) {
            if (c.start_tls(pki::universe_server(), TlsVersions::kTls13) != 0) return;
            for (std::int64_t sent = 0; sent < kFramesPerRun; sent += frames_per_write)
                c.write_raw(run);
            c.wait_for_close();
        });
        KIVInstance* handle = kiv_create(nullptr);
        Instance& instance = *Instance::from_handle(handle);
        instance.universe.connection = std::make_unique<Connection>(
            instance.operations(),
            kivsdk::ConnectionHandlers{&ignore_connect, &ignore_disconnect, &count_frame, nullptr},
            instance);
        frames_seen = 0;
        instance.universe.connection->connect("127.0.0.1",
                                              static_cast<std::uint16_t>(server.port()));
        static std::string bundle;
        bundle = read_file(pki::universe_bundle());
        const auto tls = std::make_shared<kivsdk::ClientTlsConfig>(
            reinterpret_cast<const unsigned char*>(bundle.c_str()), bundle.size() + 1);
        for (int i = 0;
             i < 100 && instance.universe.connection->tls_state() == Connection::TlsState::kPlain;
             ++i) {
            kiv_wait(handle, 10);
            if (instance.universe.connection->connect_reported()) {
                instance.universe.connection->start_tls([](Connection&, int) {}, tls);
            }
        }
        const std::int64_t expected =
            (kFramesPerRun + frames_per_write - 1) / frames_per_write * frames_per_write;
        for (int i = 0; i < 100000 && frames_seen < expected; ++i) kiv_wait(handle, 100);
        total_frames += frames_seen;
        kiv_destroy(handle);  // before the TLS configuration goes
    }
    state.counters["frames/s"] =
        benchmark::Counter(static_cast<double>(total_frames), benchmark::Counter::kIsRate);
}
BENCHMARK(FramesOverTls13Loopback)
    ->Arg(40)
    ->Arg(200)
    ->Iterations(3)
    ->UseRealTime()
    ->Unit(benchmark::kMillisecond);
#endif

}  // namespace

BENCHMARK_MAIN();
