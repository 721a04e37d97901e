#include "bench_support.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <deque>
#include <memory>
#include <unordered_map>

#include "api/instance.h"
#include "connection/client_tls_config.h"
#include "connection/connection.h"
#include "connection/trust_anchors.h"
#include "wire/packet_reader.h"
#include "world/world_session.h"

namespace kivsdk::bench {
namespace {

int reps = 5;
std::uint64_t events = 0;
std::uint64_t frames = 0;
// What the handlers read, so that no read can be left out.
volatile double sink = 0;

double read_floats(KIVInstance* instance, int first, int last) {
    double sum = 0;
    for (int index = first; index <= last; ++index) sum += kiv_float(instance, index);
    return sum;
}

double read_text(KIVInstance* instance, int index) {
    const char* text = kiv_string(instance, index);
    return static_cast<double>(std::strlen(text) + static_cast<unsigned char>(text[0]));
}

void on_chat(KIVInstance* instance) {
    sink = sink + kiv_int(instance, KIV_AVATAR_SESSION) + read_text(instance, KIV_AVATAR_NAME) +
           read_text(instance, KIV_CHAT_MESSAGE) + kiv_int(instance, KIV_CHAT_TYPE);
    ++events;
}

void on_avatar_change(KIVInstance* instance) {
    sink = sink + kiv_int(instance, KIV_AVATAR_SESSION) +
           read_floats(instance, KIV_AVATAR_X, KIV_AVATAR_YAW) +
           kiv_int(instance, KIV_AVATAR_TYPE) + read_text(instance, KIV_AVATAR_NAME);
    ++events;
}

void on_object(KIVInstance* instance) {
    int length = 0;
    const auto* data =
        static_cast<const unsigned char*>(kiv_data(instance, KIV_OBJECT_DATA, &length));
    sink = sink + kiv_int(instance, KIV_OBJECT_ID) + read_text(instance, KIV_OBJECT_STRING_1) +
           read_text(instance, KIV_OBJECT_STRING_2) + read_text(instance, KIV_OBJECT_STRING_3) +
           read_floats(instance, KIV_OBJECT_X, KIV_OBJECT_ROTATION_ANGLE) +
           kiv_int(instance, KIV_OBJECT_INT_1) + kiv_int(instance, KIV_OBJECT_INT_2) +
           kiv_int(instance, KIV_OBJECT_TYPE) + kiv_int(instance, KIV_AVATAR_SESSION) + length +
           (length > 0 ? data[length - 1] : 0);
    ++events;
}

void on_object_delete(KIVInstance* instance) {
    sink = sink + kiv_int(instance, KIV_OBJECT_ID) + kiv_int(instance, KIV_AVATAR_SESSION);
    ++events;
}

// ---- Connections made by hand ----------------------------------------------

struct Binding {
    Attached state;
    Side side;
};
std::deque<Binding> bindings;
std::unordered_map<const Connection*, Binding*> binding_of;

Binding& binding(const Connection& connection) { return *binding_of.at(&connection); }

void mark_ready(Binding& bound) {
    bound.state.ready = true;
    bound.state.ready_at = seconds_now();
}

void on_handshake(Connection& connection, int status) {
    Binding& bound = binding(connection);
    bound.state.status = status;
    if (status == 0) mark_ready(bound);
}

void on_connect_result(Connection& connection, int status) {
    Binding& bound = binding(connection);
    bound.state.status = status;
    if (status != 0) return;
    bound.state.connected = true;
    // A Connection bound for TLS (ready_at -1) switches as soon as TCP stands.
    if (connection.tls_state() == Connection::TlsState::kPlain && bound.state.ready_at < 0) {
        static const auto universe_tls = std::make_shared<ClientTlsConfig>(
            universe_trust_anchors().pem, universe_trust_anchors().length);
        static const auto world_tls = std::make_shared<ClientTlsConfig>(
            world_trust_anchors().pem, world_trust_anchors().length);
        bound.state.ready_at = 0;
        if (connection.start_tls(&on_handshake,
                                 bound.side == Side::kWorld ? world_tls : universe_tls) != 0) {
            bound.state.status = -1;
        }
        return;
    }
    mark_ready(bound);
}

void on_disconnected(Connection& connection, int reason) {
    Binding& bound = binding(connection);
    if (reason != 16) bound.state.lost = true;
}

void count_frame(Connection&, PacketReader&) { ++frames; }

}  // namespace

double seconds_now() {
    return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

double median(std::vector<double> values) {
    if (values.empty()) return 0;
    std::sort(values.begin(), values.end());
    const std::size_t middle = values.size() / 2;
    return values.size() % 2 == 1 ? values[middle] : (values[middle - 1] + values[middle]) / 2;
}

void figure(const std::string& key, double value, const char* unit) {
    std::printf("FIGURE %s %.6g %s\n", key.c_str(), value, unit);
    std::fflush(stdout);
}

void note(const std::string& text) {
    std::printf("NOTE %s\n", text.c_str());
    std::fflush(stdout);
}

double resident_bytes() {
    long pages = 0, resident = 0;
    FILE* file = std::fopen("/proc/self/statm", "r");
    if (file == nullptr) return 0;
    if (std::fscanf(file, "%ld %ld", &pages, &resident) != 2) resident = 0;
    std::fclose(file);
    return static_cast<double>(resident) * static_cast<double>(sysconf(_SC_PAGESIZE));
}

int repetitions() { return reps; }
void set_repetitions(int count) { reps = std::max(1, count); }

void install_reading_handlers(KIVInstance* instance) {
    kiv_event_set(instance, KIV_EVENT_CHAT, &on_chat);
    kiv_event_set(instance, KIV_EVENT_AVATAR_CHANGE, &on_avatar_change);
    kiv_event_set(instance, KIV_EVENT_OBJECT, &on_object);
    kiv_event_set(instance, KIV_EVENT_OBJECT_DELETE, &on_object_delete);
}

std::uint64_t events_seen() { return events; }
void reset_events_seen() { events = 0; }
std::uint64_t frames_counted() { return frames; }

int listen_loopback(int& port) {
    const int handle = ::socket(AF_INET, SOCK_STREAM, 0);
    if (handle < 0) return -1;
    const int yes = 1;
    ::setsockopt(handle, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t size = sizeof address;
    if (::bind(handle, reinterpret_cast<sockaddr*>(&address), size) != 0 ||
        ::listen(handle, 1024) != 0 ||
        ::getsockname(handle, reinterpret_cast<sockaddr*>(&address), &size) != 0) {
        ::close(handle);
        return -1;
    }
    port = ntohs(address.sin_port);
    return handle;
}

int accept_within(int listener, int milliseconds) {
    pollfd entry{listener, POLLIN, 0};
    if (::poll(&entry, 1, milliseconds) != 1) return -1;
    return ::accept(listener, nullptr, nullptr);
}

int connect_loopback(int port) {
    const int handle = ::socket(AF_INET, SOCK_STREAM, 0);
    if (handle < 0) return -1;
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = htons(static_cast<std::uint16_t>(port));
    if (::connect(handle, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
        ::close(handle);
        return -1;
    }
    return handle;
}

void close_socket(int handle) {
    if (handle >= 0) ::close(handle);
}

bool send_everything(int handle, const unsigned char* data, std::size_t size) {
    while (size > 0) {
        const ssize_t n = ::send(handle, data, size, MSG_NOSIGNAL);
        if (n <= 0) return false;
        data += n;
        size -= static_cast<std::size_t>(n);
    }
    return true;
}

Attached& attach(Instance& instance, Side side, int port, bool tls) {
    Binding& bound = bindings.emplace_back();
    bound.side = side;
    bound.state.ready_at = tls ? -1 : 0;  // -1: switch to TLS once connected
    const ConnectionHandlers handlers{&on_connect_result, &on_disconnected,
                                      side == Side::kWorld ? &dispatch_world_message : &count_frame,
                                      nullptr};
    std::unique_ptr<Connection>& slot =
        side == Side::kWorld ? instance.world.connection : instance.universe.connection;
    slot = std::make_unique<Connection>(instance.operations(), handlers, instance);
    binding_of[slot.get()] = &bound;
    if (side == Side::kWorld) instance.world.ready = true;
    slot->connect("127.0.0.1", static_cast<std::uint16_t>(port));
    return bound.state;
}

bool wait_until(KIVInstance* instance, const std::function<bool()>& done, double limit,
                int step_milliseconds) {
    const double end = seconds_now() + limit;
    while (!done()) {
        if (seconds_now() > end) return false;
        kiv_wait(instance, step_milliseconds);
    }
    return true;
}

}  // namespace kivsdk::bench
