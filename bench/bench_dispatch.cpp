// In memory: a world stream fed in 10240-byte chunks through a Connection's
// reassembly and the world dispatcher to handlers that read their
// attributes, against the minimal and the copy-per-frame cutter over the
// same bytes.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>

#include "api/instance.h"
#include "bench_modes.h"
#include "bench_support.h"
#include "connection/connection.h"
#include "world/world_session.h"
#include "world_stream.h"

namespace kivsdk::bench {
namespace {

constexpr std::size_t kChunk = 10240;
constexpr std::size_t kStreamEvents = 50000;
constexpr double kMinimumSeconds = 0.15;

// A socket table whose recv serves one pass over the stream, in chunks,
// per readable notification.
struct MemorySource {
    const Bytes* stream = nullptr;
    std::size_t offset = 0;

    static void* create(void*, void* context) { return context; }
    static int destroy(void*) { return 0; }
    static int connect(void*, const char*, int) { return 0; }
    static int send(void*, const char*, int length) { return length; }
    static int timeout(void*, int) { return 0; }
    static int wait(void*, int) { return 0; }
    static int recv(void* socket, char* buffer, int capacity) {
        auto* self = static_cast<MemorySource*>(socket);
        if (self->offset == self->stream->size()) {
            self->offset = 0;
            return -2;  // the pass is over
        }
        const std::size_t size = std::min(
            {static_cast<std::size_t>(capacity), kChunk, self->stream->size() - self->offset});
        std::memcpy(buffer, self->stream->data() + self->offset, size);
        self->offset += size;
        return static_cast<int>(size);
    }
};

// An Instance whose world Connection reads from memory.
class MemoryWorld {
public:
    // Without `reading_handlers` no event handler is set: the library's own
    // share of the work.
    MemoryWorld(const Bytes& stream, bool reading_handlers) {
        source_.stream = &stream;
        KIVNetConfig table{};
        table.create = &MemorySource::create;
        table.destroy = &MemorySource::destroy;
        table.connect = &MemorySource::connect;
        table.send = &MemorySource::send;
        table.recv = &MemorySource::recv;
        table.timeout = &MemorySource::timeout;
        table.wait = &MemorySource::wait;
        table.context = &source_;
        handle_ = kiv_create(&table);
        if (reading_handlers) install_reading_handlers(handle_);
        Instance& instance = *Instance::from_handle(handle_);
        instance.world.connection = std::make_unique<Connection>(
            table,
            ConnectionHandlers{&ignore_connect, &ignore_loss, &dispatch_world_message, nullptr},
            instance);
        connection_ = instance.world.connection.get();
    }
    ~MemoryWorld() { kiv_destroy(handle_); }
    MemoryWorld(const MemoryWorld&) = delete;
    MemoryWorld& operator=(const MemoryWorld&) = delete;

    void pass() { connection_->notify(KIV_NET_READABLE, 0); }

private:
    static void ignore_connect(Connection&, int) {}
    static void ignore_loss(Connection&, int) {}

    MemorySource source_;
    KIVInstance* handle_ = nullptr;
    Connection* connection_ = nullptr;
};

// Runs whole passes for at least kMinimumSeconds; returns frames per second.
template <class Pass>
double rate(std::size_t frames_per_pass, Pass&& pass) {
    std::size_t passes = 0;
    const double start = seconds_now();
    double elapsed = 0;
    do {
        pass();
        ++passes;
        elapsed = seconds_now() - start;
    } while (elapsed < kMinimumSeconds);
    return static_cast<double>(passes * frames_per_pass) / elapsed;
}

double minimal_rate(const Bytes& stream, std::size_t frames) {
    MinimalCutter cutter;
    const double result = rate(frames, [&] { feed_in_chunks(cutter, stream, kChunk); });
    if (cutter.frames() % frames != 0) std::abort();
    return result;
}

double copy_rate(const Bytes& stream, std::size_t frames) {
    CopyCutter cutter;
    const double result = rate(frames, [&] { feed_in_chunks(cutter, stream, kChunk); });
    if (cutter.frames() % frames != 0) std::abort();
    return result;
}

double dispatch_rate(MemoryWorld& world, std::size_t events) {
    reset_events_seen();
    const double result = rate(events, [&] { world.pass(); });
    if (events_seen() % events != 0) std::abort();
    return result;
}

}  // namespace

int run_dispatch() {
    const WorldStream stream = make_world_stream(kStreamEvents);
    note("world stream: " + std::to_string(stream.events) + " events, " +
         std::to_string(stream.bytes.size()) + " bytes (" + std::to_string(stream.avatar_changes) +
         " avatar changes, " + std::to_string(stream.objects) + " objects, " +
         std::to_string(stream.chats) + " chat lines, " + std::to_string(stream.deletions) +
         " deletions)");
    figure("stream.mean_frame_bytes",
           static_cast<double>(stream.bytes.size()) / static_cast<double>(stream.events), "B");
    MemoryWorld world(stream.bytes, true);
    MemoryWorld bare(stream.bytes, false);
    world.pass();  // warm up
    bare.pass();

    std::vector<double> minimal, copy, dispatch, vs_copy, vs_minimal, library, library_vs_copy;
    for (int rep = 0; rep < repetitions(); ++rep) {
        const double m = minimal_rate(stream.bytes, stream.events);
        const double c = copy_rate(stream.bytes, stream.events);
        const double d = dispatch_rate(world, stream.events);
        const double l = rate(stream.events, [&] { bare.pass(); });
        minimal.push_back(m);
        copy.push_back(c);
        dispatch.push_back(d);
        library.push_back(l);
        vs_copy.push_back(d / c);
        vs_minimal.push_back(d / m);
        library_vs_copy.push_back(l / c);
    }
    figure("memory.minimal_cutter", median(minimal), "frames/s");
    figure("memory.copy_cutter", median(copy), "frames/s");
    figure("memory.dispatch", median(dispatch), "events/s");
    figure("memory.dispatch_vs_copy", median(vs_copy), "ratio");
    figure("memory.dispatch_vs_minimal", median(vs_minimal), "ratio");
    // The same frames with no handler set: what the library itself costs.
    figure("memory.dispatch_without_handlers", median(library), "frames/s");
    figure("memory.dispatch_without_handlers_vs_copy", median(library_vs_copy), "ratio");

    // The cutters by frame size, to compare with limits measured elsewhere.
    for (const std::size_t size : {std::size_t{40}, std::size_t{200}}) {
        const Bytes frames = make_fixed_frames(size, 4 << 20);
        const std::size_t count = frames.size() / size;
        std::vector<double> m, c;
        for (int rep = 0; rep < repetitions(); ++rep) {
            m.push_back(minimal_rate(frames, count));
            c.push_back(copy_rate(frames, count));
        }
        figure("memory.minimal_cutter_" + std::to_string(size) + "B", median(m), "frames/s");
        figure("memory.copy_cutter_" + std::to_string(size) + "B", median(c), "frames/s");
    }
    return 0;
}

int run_instruction_probe(const std::string& what, int passes) {
    const WorldStream stream = make_world_stream(kStreamEvents);
    std::uint64_t delivered = 0;
    if (what == "dispatch") {
        MemoryWorld world(stream.bytes, true);
        reset_events_seen();
        for (int i = 0; i < passes; ++i) world.pass();
        delivered = events_seen();
    } else if (what == "bare") {
        MemoryWorld world(stream.bytes, false);
        for (int i = 0; i < passes; ++i) world.pass();
        delivered = stream.events * static_cast<std::uint64_t>(passes);
    } else if (what == "copy") {
        CopyCutter cutter;
        for (int i = 0; i < passes; ++i) feed_in_chunks(cutter, stream.bytes, kChunk);
        delivered = cutter.frames();
    } else if (what == "minimal") {
        MinimalCutter cutter;
        for (int i = 0; i < passes; ++i) feed_in_chunks(cutter, stream.bytes, kChunk);
        delivered = cutter.frames();
    } else {
        std::fprintf(stderr, "unknown probe: %s\n", what.c_str());
        return 2;
    }
    if (delivered != stream.events * static_cast<std::uint64_t>(passes)) {
        std::fprintf(stderr, "probe %s delivered %llu of %llu\n", what.c_str(),
                     static_cast<unsigned long long>(delivered),
                     static_cast<unsigned long long>(stream.events * passes));
        return 1;
    }
    std::printf("PROBE %s %llu\n", what.c_str(), static_cast<unsigned long long>(delivered));
    return 0;
}

}  // namespace kivsdk::bench
