// Memory per Instance with a universe and a world connection, both over TLS:
// resident memory and heap in use, idle after the handshakes and again after
// a burst of traffic has gone through every receive buffer. The TLS servers
// run in a child process so that only the clients are counted.
#include <malloc.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <string>
#include <vector>

#include "api/instance.h"
#include "bench_modes.h"
#include "bench_support.h"
#include "connection/connection.h"
#include "wire/frame.h"
#include "wire/packet_writer.h"
#include "world_stream.h"

#ifdef KIVSDK_BENCH_TLS
#include "support/tls_test_server.h"
#endif

namespace kivsdk::bench {
namespace {
#ifdef KIVSDK_BENCH_TLS

constexpr std::size_t kBurstBytes = 120 * 1024;  // more than a receive buffer holds

double heap_in_use() {
    const struct mallinfo2 info = mallinfo2();
    return static_cast<double>(info.uordblks + info.hblkhd);
}

// The first frames of the world stream, about kBurstBytes of them.
struct Burst {
    Bytes bytes;
    std::size_t frames = 0;
};

Burst burst() {
    const WorldStream stream = make_world_stream(kBurstBytes / 60);
    Burst out;
    std::size_t at = 0;
    while (at + kFrameHeaderSize <= stream.bytes.size() && out.bytes.size() < kBurstBytes) {
        const std::size_t size =
            kFrameHeaderSize + wire::load_frame_header(stream.bytes.data() + at);
        out.bytes.insert(out.bytes.end(), stream.bytes.begin() + static_cast<std::ptrdiff_t>(at),
                         stream.bytes.begin() + static_cast<std::ptrdiff_t>(at + size));
        at += size;
        ++out.frames;
    }
    return out;
}

// The child: a universe-like and a world-like TLS server. Each connection
// completes its handshake, waits for one frame, answers with the burst and
// waits for the client to leave. Ends when the parent closes the pipe.
[[noreturn]] void serve(int to_parent, int from_parent, const Bytes& traffic) {
    using namespace kivsdk::test;
    ServerOptions options;
    options.io_timeout = std::chrono::seconds(300);
    const auto script = [&](const CertAndKey& identity) {
        return [&traffic, identity](ServerConnection& c) {
            if (c.start_tls(identity, TlsVersions::kBoth) != 0) return;
            c.read_frame();
            c.write_raw(traffic);
            c.wait_for_close();
        };
    };
    TlsTestServer universe(options);
    TlsTestServer world(options);
    universe.on_connection(script(pki::universe_server()));
    world.on_connection(script(pki::world_server()));
    const int ports[2] = {universe.port(), world.port()};
    if (::write(to_parent, ports, sizeof ports) != sizeof ports) _exit(1);
    char byte;
    while (::read(from_parent, &byte, 1) > 0) {
    }
    _exit(0);  // the parent is gone; its connections with it
}

struct Client {
    KIVInstance* handle = nullptr;
    Attached* universe = nullptr;
    Attached* world = nullptr;
};

Client connect_client(const int ports[2]) {
    Client client;
    client.handle = kiv_create(nullptr);
    install_reading_handlers(client.handle);
    Instance& instance = *Instance::from_handle(client.handle);
    client.universe = &attach(instance, Side::kUniverse, ports[0], true);
    client.world = &attach(instance, Side::kWorld, ports[1], true);
    return client;
}

// Services every client until `done` or the limit.
template <class Done>
bool drive(std::vector<Client>& clients, Done&& done, double limit) {
    const double end = seconds_now() + limit;
    while (!done()) {
        if (seconds_now() > end) return false;
        for (Client& client : clients) kiv_wait(client.handle, 0);
        usleep(200);
    }
    return true;
}

bool all_ready(const std::vector<Client>& clients) {
    for (const Client& client : clients) {
        if (!client.universe->ready || !client.world->ready) return false;
    }
    return true;
}

void ask_for_traffic(Client& client) {
    Instance& instance = *Instance::from_handle(client.handle);
    for (Connection* connection :
         {instance.universe.connection.get(), instance.world.connection.get()}) {
        PacketWriter writer;
        writer.append_byte(28);
        writer.append_int32(0);
        connection->send(writer);
    }
}
#endif

}  // namespace

int run_memory(int count) {
#ifdef KIVSDK_BENCH_TLS
    const Burst first_frames = burst();
    const Bytes& traffic = first_frames.bytes;
    const std::size_t frames = first_frames.frames;
    int up[2], down[2];
    if (::pipe(up) != 0 || ::pipe(down) != 0) return 1;
    const pid_t child = ::fork();
    if (child < 0) return 1;
    if (child == 0) {
        ::close(up[0]);
        ::close(down[1]);
        serve(up[1], down[0], traffic);
    }
    ::close(up[1]);
    ::close(down[0]);
    int ports[2] = {0, 0};
    int status = 1;
    if (::read(up[0], ports, sizeof ports) == sizeof ports) {
        // The first client pays for what the process sets up once (crypto,
        // the first allocations); it is not counted.
        std::vector<Client> first{connect_client(ports)};
        drive(
            first, [&] { return all_ready(first); }, 30);
        ask_for_traffic(first[0]);
        drive(
            first, [&] { return frames_counted() >= frames && events_seen() >= frames; }, 30);

        const double resident_before = resident_bytes();
        const double heap_before = heap_in_use();
        std::vector<Client> clients;
        for (int i = 0; i < count; ++i) clients.push_back(connect_client(ports));
        const bool ready = drive(
            clients, [&] { return all_ready(clients); }, 120);
        const double resident_idle = resident_bytes();
        const double heap_idle = heap_in_use();
        for (Client& client : clients) ask_for_traffic(client);
        const std::uint64_t wanted = frames * static_cast<std::uint64_t>(count + 1);
        const bool fed = drive(
            clients, [&] { return frames_counted() >= wanted && events_seen() >= wanted; }, 120);
        const double resident_busy = resident_bytes();
        const double heap_busy = heap_in_use();
        if (ready && fed) {
            const double n = count;
            note("memory: " + std::to_string(count) +
                 " Instances, each with a universe and a world connection over TLS");
            figure("memory.resident_per_instance_idle", (resident_idle - resident_before) / n, "B");
            figure("memory.heap_per_instance_idle", (heap_idle - heap_before) / n, "B");
            figure("memory.resident_per_instance_busy", (resident_busy - resident_before) / n, "B");
            figure("memory.heap_per_instance_busy", (heap_busy - heap_before) / n, "B");
            status = 0;
        } else {
            std::fprintf(stderr, "memory: %s\n",
                         ready ? "traffic did not arrive" : "handshakes did not finish");
        }
        for (Client& client : clients) kiv_destroy(client.handle);
        kiv_destroy(first[0].handle);
    }
    ::close(down[1]);
    ::close(up[0]);
    int child_status = 0;
    ::waitpid(child, &child_status, 0);
    return status;
#else
    static_cast<void>(count);
    note("memory per Instance needs the tests' TLS server (configure with tests on)");
    return 0;
#endif
}

}  // namespace kivsdk::bench
