// Against the sandbox server (kivsandbox, started here as a child process on
// loopback): round trips of object add -> callback 0 and say -> the chat line
// at a second client, plain and TLS; and 1000 Instances logged in over TLS
// and entered into a TLS world: resident memory per Instance, the CPU share
// of an idle host loop at 10 Hz, and the time to bring them all in.
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "bench_modes.h"
#include "bench_support.h"
#include "kivsdk.h"

extern char** environ;

namespace kivsdk::bench {
namespace {

// kivsandbox with a plain world "lobby" and a TLS world "garden" on free
// ports; stopped with SIGTERM when this object goes.
class Sandbox {
public:
    explicit Sandbox(const std::string& program) {
        port_file_ = "/tmp/kivsdk-bench-sandbox-" + std::to_string(::getpid()) + ".ports";
        std::remove(port_file_.c_str());
        std::vector<std::string> arguments = {
            program,   "--quiet",    "--port-file",    port_file_, "--world",       "lobby:plain",
            "--world", "garden:tls", "--idle-timeout", "600",      "--max-clients", "20000"};
        std::vector<char*> argv;
        for (std::string& argument : arguments) argv.push_back(argument.data());
        argv.push_back(nullptr);
        // Its ready line and connection log stay out of the figures.
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
        posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
        const int spawned =
            ::posix_spawn(&pid_, program.c_str(), &actions, nullptr, argv.data(), environ);
        posix_spawn_file_actions_destroy(&actions);
        if (spawned != 0) {
            pid_ = -1;
            return;
        }
        // The ready line: "ready universe=PORT world lobby=PORT world garden=PORT".
        for (int i = 0; i < 200 && universe_ == 0; ++i) {
            std::ifstream in(port_file_);
            std::string line;
            if (std::getline(in, line)) parse(line);
            if (universe_ == 0) std::this_thread::sleep_for(std::chrono::milliseconds(50));
        }
    }
    ~Sandbox() {
        if (pid_ > 0) {
            ::kill(pid_, SIGTERM);
            int status = 0;
            ::waitpid(pid_, &status, 0);
        }
        std::remove(port_file_.c_str());
    }
    Sandbox(const Sandbox&) = delete;
    Sandbox& operator=(const Sandbox&) = delete;

    bool ready() const { return universe_ != 0; }
    int universe_port() const { return universe_; }
    // CPU seconds the server process has used so far (user and system).
    double cpu_seconds() const {
        std::ifstream in("/proc/" + std::to_string(pid_) + "/stat");
        std::string text;
        std::getline(in, text);
        const std::size_t end = text.rfind(')');
        if (end == std::string::npos) return 0;
        std::istringstream fields(text.substr(end + 2));
        std::string field;
        unsigned long long user = 0, system = 0;
        for (int index = 3; fields >> field; ++index) {
            if (index == 14) user = std::stoull(field);
            if (index == 15) {
                system = std::stoull(field);
                break;
            }
        }
        return static_cast<double>(user + system) / static_cast<double>(::sysconf(_SC_CLK_TCK));
    }

private:
    void parse(const std::string& line) {
        std::istringstream words(line);
        std::string word;
        while (words >> word) {
            if (word.rfind("universe=", 0) == 0) universe_ = std::atoi(word.c_str() + 9);
        }
    }

    pid_t pid_ = -1;
    std::string port_file_;
    int universe_ = 0;
};

// What a client's handlers saw.
struct Seen {
    int object_results = 0;
    int last_rc = -1;
    int chat_lines = 0;
};

Seen& seen(KIVInstance* instance) { return *static_cast<Seen*>(kiv_user_data(instance)); }
void on_object_added(KIVInstance* instance, int rc, int) {
    seen(instance).last_rc = rc;
    ++seen(instance).object_results;
}
void on_chat_line(KIVInstance* instance) { ++seen(instance).chat_lines; }

// A client logged in as `name` and entered into `world`, with blocking calls
// as a simple host makes them; null when a step failed.
// With a table, the Instance is made on it (a shared loop's); else it has
// a loop of its own.
KIVInstance* bring_in(int port, const std::string& name, const char* world, Seen& state,
                      const KIVNetConfig* table = nullptr) {
    KIVInstance* instance = kiv_create(table);
    kiv_user_data_set(instance, &state);
    int rc = kiv_connect_universe(instance, "127.0.0.1", port);
    if (rc == 0) rc = kiv_login(instance, name.c_str(), "", "");
    if (rc == 0) rc = kiv_enter(instance, world);
    if (rc != 0) {
        std::fprintf(stderr, "%s: connect, login or enter failed with %d\n", name.c_str(), rc);
        kiv_destroy(instance);
        return nullptr;
    }
    return instance;
}

// Bots brought into the TLS world one after the other, with the blocking
// forms, on `table`'s loop or each on its own; it stops at the first that
// fails. The time and resident memory it took come with them.
struct Crowd {
    std::vector<Seen> states;
    std::vector<KIVInstance*> bots;
    double seconds = 0;
    double resident_growth = 0;  // bytes
    bool complete() const { return bots.size() == states.size(); }
};

Crowd bring_in_crowd(int port, const std::string& prefix, int count,
                     const KIVNetConfig* table = nullptr) {
    Crowd crowd;
    crowd.states.resize(static_cast<std::size_t>(count));  // addresses stay: the bots keep them
    const double resident_before = resident_bytes();
    const double start = seconds_now();
    for (int i = 0; i < count; ++i) {
        KIVInstance* bot = bring_in(port, prefix + std::to_string(i), "garden",
                                    crowd.states[static_cast<std::size_t>(i)], table);
        if (bot == nullptr) break;
        crowd.bots.push_back(bot);
    }
    crowd.seconds = seconds_now() - start;
    crowd.resident_growth = resident_bytes() - resident_before;
    return crowd;
}

double percentile(std::vector<double> values, double share) {
    if (values.empty()) return 0;
    std::sort(values.begin(), values.end());
    const std::size_t at =
        static_cast<std::size_t>(share * static_cast<double>(values.size() - 1) + 0.5);
    return values[std::min(at, values.size() - 1)];
}

constexpr int kWarmUp = 20;
constexpr int kRoundTrips = 300;

// Waits on `instance` until `done`, servicing `other` too; false after 2 s.
template <class Done>
bool wait_for(KIVInstance* instance, KIVInstance* other, Done&& done) {
    const double end = seconds_now() + 2;
    while (!done()) {
        if (seconds_now() > end) return false;
        kiv_wait(instance, 1);
        kiv_wait(other, 0);
    }
    return true;
}

bool round_trips(int port, bool tls) {
    const char* world = tls ? "garden" : "lobby";
    const std::string suffix = tls ? "-tls" : "-plain";
    Seen a_seen, b_seen;
    KIVInstance* a = bring_in(port, "bench-a" + suffix, world, a_seen);
    KIVInstance* b = bring_in(port, "bench-b" + suffix, world, b_seen);
    bool ok = a != nullptr && b != nullptr;
    std::vector<double> adds, says;
    if (ok) {
        kiv_callback_set(a, KIV_CALLBACK_OBJECT_ADD, &on_object_added);
        kiv_event_set(b, KIV_EVENT_CHAT, &on_chat_line);
        kiv_string_set(a, KIV_OBJECT_STRING_1, "models/crate.rwx");
        for (int i = 0; ok && i < kWarmUp + kRoundTrips; ++i) {
            kiv_float_set(a, KIV_OBJECT_X, static_cast<float>(i % 100));
            const int before = a_seen.object_results;
            const double start = seconds_now();
            ok = kiv_object_add(a) == 0 &&
                 wait_for(a, b, [&] { return a_seen.object_results > before; }) &&
                 a_seen.last_rc == 0;
            if (i >= kWarmUp) adds.push_back((seconds_now() - start) * 1e6);
        }
        for (int i = 0; ok && i < kWarmUp + kRoundTrips; ++i) {
            const int before = b_seen.chat_lines;
            const double start = seconds_now();
            ok = kiv_say(a, "ping") == 0 &&
                 wait_for(b, a, [&] { return b_seen.chat_lines > before; });
            if (i >= kWarmUp) says.push_back((seconds_now() - start) * 1e6);
        }
    }
    if (!ok) std::fprintf(stderr, "round trips over %s failed\n", tls ? "TLS" : "plain TCP");
    kiv_destroy(a);
    kiv_destroy(b);
    if (!ok) return false;
    const std::string path = tls ? "_tls" : "_plain";
    figure("roundtrip.object_add" + path + "_p50", percentile(adds, 0.5), "us");
    figure("roundtrip.object_add" + path + "_p99", percentile(adds, 0.99), "us");
    figure("roundtrip.say" + path + "_p50", percentile(says, 0.5), "us");
    figure("roundtrip.say" + path + "_p99", percentile(says, 0.99), "us");
    return true;
}

double cpu_seconds() {
    rusage usage{};
    ::getrusage(RUSAGE_SELF, &usage);
    return static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
           static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

// Two descriptors per Instance.
void raise_descriptor_limit() {
    rlimit limit{};
    if (::getrlimit(RLIMIT_NOFILE, &limit) == 0 && limit.rlim_cur < limit.rlim_max) {
        limit.rlim_cur = limit.rlim_max;
        ::setrlimit(RLIMIT_NOFILE, &limit);
    }
}

}  // namespace

int run_round_trips(const std::string& sandbox_program) {
    Sandbox sandbox(sandbox_program);
    if (!sandbox.ready()) {
        std::fprintf(stderr, "the sandbox server %s did not start\n", sandbox_program.c_str());
        return 1;
    }
    return round_trips(sandbox.universe_port(), false) && round_trips(sandbox.universe_port(), true)
               ? 0
               : 1;
}

int run_scale(const std::string& sandbox_program, int count) {
    raise_descriptor_limit();
    Sandbox sandbox(sandbox_program);
    if (!sandbox.ready()) {
        std::fprintf(stderr, "the sandbox server %s did not start\n", sandbox_program.c_str());
        return 1;
    }
    const int port = sandbox.universe_port();
    // The first client pays for what the process sets up once.
    Seen first_seen;
    KIVInstance* first = bring_in(port, "scale-first", "garden", first_seen);
    if (first == nullptr) return 1;

    const Crowd crowd = bring_in_crowd(port, "scale-", count);
    const std::vector<KIVInstance*>& clients = crowd.bots;
    const bool all_in = crowd.complete();

    // The idle host loop: kiv_wait(instance, 0) for each, ten times a second.
    constexpr int kTicks = 50;
    const double cpu_before = cpu_seconds();
    const double idle_start = seconds_now();
    for (int tick = 1; tick <= kTicks; ++tick) {
        for (KIVInstance* client : clients) kiv_wait(client, 0);
        kiv_wait(first, 0);
        const double next = idle_start + tick * 0.1;
        const double now = seconds_now();
        if (next > now) std::this_thread::sleep_for(std::chrono::duration<double>(next - now));
    }
    const double idle_seconds = seconds_now() - idle_start;
    const double cpu_used = cpu_seconds() - cpu_before;

    for (KIVInstance* client : clients) kiv_destroy(client);
    kiv_destroy(first);
    if (!all_in) {
        std::fprintf(stderr, "only %zu of %d Instances came in\n", clients.size(), count);
        return 1;
    }

    // The same on one shared loop: the host loop is kiv_loop_wait, which
    // sleeps until a socket or a timer has work.
    KIVLoop* loop = kiv_loop_create();
    KIVNetConfig table{};
    if (loop == nullptr || kiv_loop_table(loop, &table) != 0) return 1;
    const Crowd shared_crowd = bring_in_crowd(port, "shared-", count, &table);
    const std::vector<KIVInstance*>& shared = shared_crowd.bots;
    const bool shared_in = shared_crowd.complete();
    const double shared_cpu_before = cpu_seconds();
    const double shared_start = seconds_now();
    long passes = 0;
    while (seconds_now() - shared_start < kTicks * 0.1) {
        kiv_loop_wait(loop, 100);
        ++passes;
    }
    const double shared_seconds = seconds_now() - shared_start;
    const double shared_cpu = cpu_seconds() - shared_cpu_before;
    for (KIVInstance* client : shared) kiv_destroy(client);
    kiv_loop_destroy(loop);
    if (!shared_in) {
        std::fprintf(stderr, "only %zu of %d Instances came in on the shared loop\n", shared.size(),
                     count);
        return 1;
    }
    note("scale: " + std::to_string(count) +
         " Instances, each logged in over TLS and entered into a TLS world");
    figure("scale.bring_in_seconds", crowd.seconds, "s");
    figure("scale.resident_per_instance", crowd.resident_growth / count, "B");
    figure("scale.idle_cpu_share", cpu_used / idle_seconds, "ratio");
    figure("scale.shared_loop_idle_cpu_share", shared_cpu / shared_seconds, "ratio");
    figure("scale.shared_loop_idle_passes_per_second", passes / shared_seconds, "1/s");
    return 0;
}

// Idle bots on one shared loop, as a swarm holds them between actions: how
// much memory each takes, how fast the sandbox takes them in, and the CPU
// of ten non-blocking passes a second over all of them, with liveness off
// and then on.
int run_idle(const std::string& sandbox_program, int count) {
    raise_descriptor_limit();
    Sandbox sandbox(sandbox_program);
    if (!sandbox.ready()) {
        std::fprintf(stderr, "the sandbox server %s did not start\n", sandbox_program.c_str());
        return 1;
    }
    KIVLoop* loop = kiv_loop_create();
    KIVNetConfig table{};
    if (loop == nullptr || kiv_loop_table(loop, &table) != 0) return 1;
    const int port = sandbox.universe_port();
    // The first bot pays for what the process sets up once.
    Seen first_seen;
    KIVInstance* first = bring_in(port, "idle-first", "garden", first_seen, &table);
    if (first == nullptr) return 1;
    const Crowd crowd = bring_in_crowd(port, "idle-", count, &table);
    const std::vector<KIVInstance*>& bots = crowd.bots;
    const bool all_in = crowd.complete();

    // Ten 0 ms passes a second for five seconds: the CPU share it costs.
    const auto idle_share = [&] {
        constexpr int kPasses = 50;
        const double cpu_before = cpu_seconds();
        const double begin = seconds_now();
        for (int pass = 1; pass <= kPasses; ++pass) {
            kiv_loop_wait(loop, 0);
            const double next = begin + pass * 0.1;
            const double now = seconds_now();
            if (next > now) std::this_thread::sleep_for(std::chrono::duration<double>(next - now));
        }
        return (cpu_seconds() - cpu_before) / (seconds_now() - begin);
    };
    const double share_off = idle_share();
    for (KIVInstance* bot : bots) kiv_liveness_set(bot, KIV_LIVENESS_DEFAULT);
    kiv_liveness_set(first, KIV_LIVENESS_DEFAULT);
    const double share_on = idle_share();
    std::size_t still_in = 0;
    for (KIVInstance* bot : bots) still_in += kiv_state(bot, KIV_SIDE_WORLD) == KIV_STATE_READY;

    for (KIVInstance* bot : bots) kiv_destroy(bot);
    kiv_destroy(first);
    kiv_loop_destroy(loop);
    if (!all_in) {
        std::fprintf(stderr, "only %zu of %d bots came in\n", bots.size(), count);
        return 1;
    }
    note("idle: " + std::to_string(count) +
         " bots on one shared loop, each logged in over TLS and in a TLS world");
    figure("idle.bots_in_at_end", static_cast<double>(still_in), "bots");
    figure("idle.bring_in_seconds", crowd.seconds, "s");
    figure("idle.bring_in_rate", count / crowd.seconds, "bots/s");
    figure("idle.resident_per_bot", crowd.resident_growth / count, "B");
    figure("idle.cpu_share_10_passes_liveness_off", share_off, "ratio");
    figure("idle.cpu_share_10_passes_liveness_on", share_on, "ratio");
    return 0;
}

namespace {

// A walker of the busy world: it moves once a second, at its own phase.
struct Walker {
    std::string name;
    KIVInstance* instance = nullptr;
    int entered = -1;
    int step = 0;
    // When its last few moves were sent, by step modulo kKeptMoves.
    static constexpr int kKeptMoves = 4;
    std::array<double, kKeptMoves> sent_at{};
    std::array<int, kKeptMoves> sent_step{};
};
std::uint64_t g_changes = 0;
const char* g_busy_world = "lobby";

// Move-to-arrival lag, from a walker's kiv_state_change to another walker's
// handler, in 0.1 ms buckets up to 10 s; one histogram per phase of the run
// (by when the move was sent).
class LagHistogram {
public:
    void add(double seconds) {
        const auto bucket = static_cast<std::size_t>(std::max(0.0, seconds) * 1e4);
        ++counts_[std::min(bucket, counts_.size() - 1)];
        ++total_;
    }
    std::uint64_t total() const { return total_; }
    // Milliseconds.
    double percentile(double share) const {
        const auto wanted =
            static_cast<std::uint64_t>(std::ceil(share * static_cast<double>(total_)));
        std::uint64_t seen = 0;
        for (std::size_t i = 0; i < counts_.size(); ++i) {
            seen += counts_[i];
            if (seen >= wanted && seen > 0) return static_cast<double>(i + 1) / 10.0;
        }
        return 0;
    }

private:
    std::vector<std::uint64_t> counts_ = std::vector<std::uint64_t>(100000);
    std::uint64_t total_ = 0;
};

struct LagPhases {
    std::vector<Walker>* walkers = nullptr;
    double first_from = 0, first_to = 0;  // moves sent in the first 10 s
    double last_from = 0, last_to = 0;    // and in the last 10 s
    LagHistogram first, last;
};
LagPhases g_lag;

void walker_connected(KIVInstance* instance, int rc, int) {
    auto* walker = static_cast<Walker*>(kiv_user_data(instance));
    if (rc == 0)
        kiv_login(instance, walker->name.c_str(), "", "");
    else
        walker->entered = rc;
}
void walker_logged_in(KIVInstance* instance, int rc, int) {
    auto* walker = static_cast<Walker*>(kiv_user_data(instance));
    if (rc == 0)
        kiv_enter(instance, g_busy_world);
    else
        walker->entered = rc;
}
void walker_entered(KIVInstance* instance, int rc, int) {
    static_cast<Walker*>(kiv_user_data(instance))->entered = rc;
}
// A move names its walker (Z) and its step (Y), so the receiver finds when
// it was sent.
void walker_saw_change(KIVInstance* instance) {
    ++g_changes;
    if (g_lag.walkers == nullptr) return;
    const auto index = static_cast<std::size_t>(kiv_float(instance, KIV_AVATAR_Z));
    const int step = static_cast<int>(kiv_float(instance, KIV_AVATAR_Y));
    if (index >= g_lag.walkers->size() || step <= 0) return;
    const Walker& from = (*g_lag.walkers)[index];
    const int slot = step % Walker::kKeptMoves;
    if (from.sent_step[slot] != step) return;
    const double sent = from.sent_at[slot];
    if (sent >= g_lag.first_from && sent < g_lag.first_to) {
        g_lag.first.add(seconds_now() - sent);
    } else if (sent >= g_lag.last_from && sent < g_lag.last_to) {
        g_lag.last.add(seconds_now() - sent);
    }
}

}  // namespace

int run_busy(const std::string& sandbox_program, int count, int seconds, bool tls, int batch_ms) {
    raise_descriptor_limit();
    Sandbox sandbox(sandbox_program);
    if (!sandbox.ready()) {
        std::fprintf(stderr, "the sandbox server %s did not start\n", sandbox_program.c_str());
        return 1;
    }
    const char* world = tls ? "garden" : "lobby";
    g_busy_world = world;
    KIVLoop* loop = kiv_loop_create();
    KIVNetConfig table{};
    if (loop == nullptr || kiv_loop_table(loop, &table) != 0) return 1;
    std::vector<Walker> walkers(static_cast<std::size_t>(count));
    const double bring_in_start = seconds_now();
    for (int i = 0; i < count; ++i) {
        Walker& walker = walkers[static_cast<std::size_t>(i)];
        walker.name = "walker" + std::to_string(i);
        walker.instance = kiv_create(&table);
        kiv_user_data_set(walker.instance, &walker);
        kiv_callback_set(walker.instance, KIV_CALLBACK_CONNECT_UNIVERSE, &walker_connected);
        kiv_callback_set(walker.instance, KIV_CALLBACK_LOGIN, &walker_logged_in);
        kiv_callback_set(walker.instance, KIV_CALLBACK_ENTER, &walker_entered);
        // A walker's first move shows it to the others (an avatar add); each
        // later one is a change.
        kiv_event_set(walker.instance, KIV_EVENT_AVATAR_CHANGE, &walker_saw_change);
        kiv_event_set(walker.instance, KIV_EVENT_AVATAR_ADD, &walker_saw_change);
        kiv_connect_universe(walker.instance, "127.0.0.1", sandbox.universe_port());
        if (i % 50 == 49) kiv_loop_wait(loop, 10);  // a ramp the server takes in
    }
    const auto all_entered = [&] {
        for (const Walker& walker : walkers) {
            if (walker.entered != 0) return false;
        }
        return true;
    };
    const auto any_failed = [&] {
        for (const Walker& walker : walkers) {
            if (walker.entered > 0) return true;
        }
        return false;
    };
    while (!all_entered() && !any_failed() && seconds_now() - bring_in_start < 120) {
        kiv_loop_wait(loop, 50);
    }
    const bool in = all_entered();
    const double bring_in_seconds = seconds_now() - bring_in_start;

    // Everyone walks at 1 Hz, each at its own phase: move k is walker
    // k mod count's, due k / count seconds after the start. Every move
    // reaches the other walkers as an avatar change.
    const double start = seconds_now() + 0.5;
    std::uint64_t moves = 0;
    g_changes = 0;
    const double client_cpu_before = cpu_seconds();
    const double server_cpu_before = sandbox.cpu_seconds();
    const double end = start + seconds;
    const auto due = [&](std::uint64_t move) { return start + static_cast<double>(move) / count; };
    const double phase = std::min(10.0, seconds / 2.0);
    g_lag = LagPhases{};
    g_lag.walkers = &walkers;
    g_lag.first_from = start;
    g_lag.first_to = start + phase;
    g_lag.last_from = end - phase;
    g_lag.last_to = end;
    while (in && seconds_now() < end) {
        const double now = seconds_now();
        for (; due(moves) <= now && due(moves) < end; ++moves) {
            Walker& walker = walkers[static_cast<std::size_t>(moves % count)];
            ++walker.step;
            kiv_float_set(walker.instance, KIV_MY_X, static_cast<float>(walker.step % 100));
            kiv_float_set(walker.instance, KIV_MY_Y, static_cast<float>(walker.step));
            kiv_float_set(walker.instance, KIV_MY_Z,
                          static_cast<float>(moves % static_cast<std::uint64_t>(count)));
            const int slot = walker.step % Walker::kKeptMoves;
            walker.sent_step[slot] = walker.step;
            walker.sent_at[slot] = seconds_now();
            kiv_state_change(walker.instance);
        }
        const int wait_ms = static_cast<int>(std::max(0.0, (due(moves) - seconds_now()) * 1000));
        if (batch_ms > 0) {
            // A host that serves its bots at a tick: frames gather in the
            // sockets between passes and are read many at a time.
            std::this_thread::sleep_for(std::chrono::milliseconds(batch_ms));
            kiv_loop_wait(loop, 0);
        } else {
            kiv_loop_wait(loop, std::min(wait_ms, 100));
        }
    }
    const double walked = seconds_now() - start;
    const double client_cpu = cpu_seconds() - client_cpu_before;
    const double server_cpu = sandbox.cpu_seconds() - server_cpu_before;
    // The last moves still travel: drain for two seconds.
    const double drain_until = seconds_now() + 2;
    while (in && seconds_now() < drain_until) kiv_loop_wait(loop, 50);
    const double expected = static_cast<double>(moves) * (count - 1);

    g_lag.walkers = nullptr;
    for (Walker& walker : walkers) kiv_destroy(walker.instance);
    kiv_loop_destroy(loop);
    if (!in) {
        int waiting = 0, first_failure = 0;
        for (const Walker& walker : walkers) {
            if (walker.entered < 0) ++waiting;
            if (walker.entered > 0 && first_failure == 0) first_failure = walker.entered;
        }
        std::fprintf(stderr, "not every walker came into %s: %d still on the way, failure %d\n",
                     world, waiting, first_failure);
        return 1;
    }
    const std::string key = std::string("busy_") + (tls ? "tls" : "plain") +
                            (batch_ms > 0 ? "_tick" + std::to_string(batch_ms) + "ms" : "") + ".";
    note("busy world: " + std::to_string(count) + " walkers at 1 Hz for " +
         std::to_string(seconds) + " s in " + world + " on one shared loop");
    figure(key + "bring_in_seconds", bring_in_seconds, "s");
    figure(key + "moves_sent", static_cast<double>(moves), "moves");
    figure(key + "changes_delivered", static_cast<double>(g_changes), "events");
    figure(key + "delivered_share", expected > 0 ? static_cast<double>(g_changes) / expected : 0,
           "ratio");
    figure(key + "events_per_second", static_cast<double>(g_changes) / walked, "1/s");
    figure(key + "client_cpu_share", client_cpu / walked, "ratio");
    figure(key + "server_cpu_share", server_cpu / walked, "ratio");
    figure(key + "client_cpu_per_event",
           g_changes > 0 ? client_cpu / static_cast<double>(g_changes) * 1e9 : 0, "ns");
    figure(key + "client_cpu_per_bot", client_cpu / walked / count, "ratio");
    figure(key + "lag_first_p50", g_lag.first.percentile(0.5), "ms");
    figure(key + "lag_first_p99", g_lag.first.percentile(0.99), "ms");
    figure(key + "lag_last_p50", g_lag.last.percentile(0.5), "ms");
    figure(key + "lag_last_p99", g_lag.last.percentile(0.99), "ms");
    figure(key + "lag_samples", static_cast<double>(g_lag.first.total() + g_lag.last.total()),
           "events");
    return 0;
}

}  // namespace kivsdk::bench
