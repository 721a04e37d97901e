// The send path: kiv_state_change frames into a loopback sink, against raw
// send() of the same bytes, both timed until the sink has every byte.
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>

#include <atomic>
#include <cstdio>
#include <thread>

#include "api/instance.h"
#include "bench_modes.h"
#include "bench_support.h"
#include "wire/byte_order.h"
#include "wire/frame.h"

namespace kivsdk::bench {
namespace {

constexpr int kFrames = 100000;
constexpr std::size_t kStateFrame = 27;  // length, type 14, five FLOATs, INT32

// Accepts one connection and reads until `expected` bytes arrived; records
// when that happened.
class Sink {
public:
    explicit Sink(std::size_t expected) {
        listener_ = listen_loopback(port_);
        thread_ = std::thread([this, expected] {
            const int peer = accept_within(listener_, 10000);
            std::size_t received = 0;
            unsigned char buffer[65536];
            while (peer >= 0 && received < expected) {
                const ssize_t n = ::recv(peer, buffer, sizeof buffer, 0);
                if (n <= 0) break;
                received += static_cast<std::size_t>(n);
            }
            finished_at_ = seconds_now();
            received_ = received;
            done_.store(true);
            close_socket(peer);
        });
    }
    ~Sink() {
        thread_.join();
        close_socket(listener_);
    }
    Sink(const Sink&) = delete;
    Sink& operator=(const Sink&) = delete;

    int port() const { return port_; }
    bool done() const { return done_.load(); }
    // Valid once done().
    double finished_at() const { return finished_at_; }
    std::size_t received() const { return received_; }

private:
    int listener_ = -1;
    int port_ = 0;
    std::thread thread_;
    std::atomic<bool> done_{false};
    double finished_at_ = 0;
    std::size_t received_ = 0;
};

double library_sender() {
    Sink sink(kFrames * kStateFrame);
    KIVInstance* handle = kiv_create(nullptr);
    Attached& world = attach(*Instance::from_handle(handle), Side::kWorld, sink.port(), false);
    wait_until(
        handle, [&] { return world.ready || world.status != 0; }, 10);
    const double start = seconds_now();
    for (int i = 0; i < kFrames; ++i) {
        kiv_float_set(handle, KIV_MY_X, static_cast<float>(i) * 0.5f);
        kiv_state_change(handle);
        if (i % 64 == 63) kiv_wait(handle, 0);
    }
    wait_until(
        handle, [&] { return sink.done(); }, 60, 1);
    kiv_destroy(handle);
    const double seconds = sink.finished_at() - start;
    return sink.received() == kFrames * kStateFrame ? kFrames / seconds : 0;
}

// Raw send() of the same frames, one call per frame; `no_delay` sets
// TCP_NODELAY, as the library does on its own sockets so that each frame
// leaves at once, where Nagle's algorithm would hold small frames back and
// merge them.
double raw_sender(bool no_delay) {
    Sink sink(kFrames * kStateFrame);
    const int handle = connect_loopback(sink.port());
    if (no_delay && handle >= 0) {
        const int on = 1;
        ::setsockopt(handle, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
    }
    const double start = seconds_now();
    unsigned char frame[kStateFrame] = {};
    wire::store_frame_header(frame, kStateFrame - kFrameHeaderSize);
    frame[kFrameHeaderSize] = 14;
    for (int i = 0; i < kFrames && handle >= 0; ++i) {
        wire::store_u32(frame + 3, wire::float_bits(static_cast<float>(i) * 0.5f));
        if (!send_everything(handle, frame, sizeof frame)) break;
    }
    // Closing still delivers what is queued, and ends the sink early if a
    // send failed.
    close_socket(handle);
    while (!sink.done()) std::this_thread::yield();
    const double seconds = sink.finished_at() - start;
    return sink.received() == kFrames * kStateFrame ? kFrames / seconds : 0;
}

}  // namespace

int run_send_path() {
    std::vector<double> library, raw, raw_no_delay, ratio, ratio_no_delay;
    for (int rep = 0; rep < repetitions(); ++rep) {
        const double a = library_sender();
        const double b = raw_sender(false);
        const double c = raw_sender(true);
        if (a <= 0 || b <= 0 || c <= 0) {
            std::fprintf(stderr, "the sink did not receive every frame\n");
            return 1;
        }
        library.push_back(a);
        raw.push_back(b);
        raw_no_delay.push_back(c);
        ratio.push_back(a / b);
        ratio_no_delay.push_back(a / c);
    }
    figure("send.library", median(library), "frames/s");
    figure("send.raw_send", median(raw), "frames/s");
    figure("send.raw_send_nodelay", median(raw_no_delay), "frames/s");
    figure("send.library_vs_raw", median(ratio), "ratio");
    figure("send.library_vs_raw_nodelay", median(ratio_no_delay), "ratio");
    return 0;
}

}  // namespace kivsdk::bench
