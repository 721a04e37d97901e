// A bot farm on the library's shared loop: N Instances are made on one
// KIVLoop, and one pass serves all of their connections. The farm's own
// poll() waits on the loop's descriptor and nearest timer, as any host loop
// would, and runs a pass (kiv_loop_wait with 0 ms) when either is due.
//
//   event_loop_farm --port 6670 [--host 127.0.0.1] [--world lobby] [--bots 300]
//                   [--password TEXT] [--seconds 60]
//
// Each bot connects, logs in and enters the world in callback style, shows
// itself; once all are in, the first ten say one line each. The farm stops
// when every bot has heard every speaker but itself, or when the time is up
// (exit status 1).
#include <poll.h>
#include <sys/resource.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "kivsdk.h"

namespace {

struct Farm;

struct Bot {
    Farm* farm = nullptr;
    int index = 0;
    std::string name;
    KIVInstance* instance = nullptr;
    bool entered = false;
    int heard = 0;
};

struct Farm {
    std::string world = "lobby";
    std::string password;
    int speakers = 0;
    int entered = 0;
    int failed = 0;
    int satisfied = 0;  // bots that heard every speaker but themselves
};

Bot& bot_of(KIVInstance* instance) { return *static_cast<Bot*>(kiv_user_data(instance)); }

void fail(Bot& bot, const char* step, int rc) {
    std::fprintf(stderr, "%s: %s failed with %d\n", bot.name.c_str(), step, rc);
    ++bot.farm->failed;
}

void on_connected(KIVInstance* instance, int rc, int) {
    Bot& bot = bot_of(instance);
    if (rc != KIV_RC_SUCCESS) return fail(bot, "connect", rc);
    rc = kiv_login(instance, bot.name.c_str(), bot.farm->password.c_str(), "");
    if (rc != KIV_RC_SUCCESS) fail(bot, "login request", rc);
}

void on_logged_in(KIVInstance* instance, int rc, int) {
    Bot& bot = bot_of(instance);
    if (rc != KIV_RC_SUCCESS) return fail(bot, "login", rc);
    rc = kiv_enter(instance, bot.farm->world.c_str());
    if (rc != KIV_RC_SUCCESS) fail(bot, "enter request", rc);
}

void on_entered(KIVInstance* instance, int rc, int) {
    Bot& bot = bot_of(instance);
    if (rc != KIV_RC_SUCCESS) return fail(bot, "enter", rc);
    bot.entered = true;
    ++bot.farm->entered;
    kiv_float_set(instance, KIV_MY_X, static_cast<float>(bot.index));
    kiv_state_change(instance);
}

void on_chat(KIVInstance* instance) {
    Bot& bot = bot_of(instance);
    const int expected = bot.farm->speakers - (bot.index < bot.farm->speakers ? 1 : 0);
    if (++bot.heard == expected) ++bot.farm->satisfied;
}

int parse_int(const char* text, const char* option) {
    char* end = nullptr;
    const long value = std::strtol(text, &end, 10);
    if (end == text || *end != '\0' || value < 0 || value > 1000000) {
        std::fprintf(stderr, "event_loop_farm: bad value for %s: %s\n", option, text);
        std::exit(2);
    }
    return static_cast<int>(value);
}

void raise_file_limit() {
    rlimit limit{};
    if (getrlimit(RLIMIT_NOFILE, &limit) == 0 && limit.rlim_cur < limit.rlim_max) {
        limit.rlim_cur = limit.rlim_max;
        setrlimit(RLIMIT_NOFILE, &limit);
    }
}

}  // namespace

int main(int argc, char** argv) {
    std::string host = "127.0.0.1";
    int port = -1;
    int bots = 300;
    int seconds = 60;
    Farm farm;
    for (int i = 1; i + 1 < argc; i += 2) {
        const std::string option = argv[i];
        if (option == "--host")
            host = argv[i + 1];
        else if (option == "--port")
            port = parse_int(argv[i + 1], "--port");
        else if (option == "--world")
            farm.world = argv[i + 1];
        else if (option == "--bots")
            bots = parse_int(argv[i + 1], "--bots");
        else if (option == "--password")
            farm.password = argv[i + 1];
        else if (option == "--seconds")
            seconds = parse_int(argv[i + 1], "--seconds");
        else {
            std::fprintf(stderr, "event_loop_farm: unknown option %s\n", option.c_str());
            return 2;
        }
    }
    if (port < 0 || port > 65535 || bots < 1) {
        std::fprintf(stderr,
                     "usage: event_loop_farm --port PORT [--host H] [--world W] "
                     "[--bots N] [--password P] [--seconds S]\n");
        return 2;
    }
    if (kiv_init(KIVSDK_INTERFACE_VERSION) != KIV_RC_SUCCESS) return 1;
    raise_file_limit();
    farm.speakers = bots < 10 ? bots : 10;

    KIVLoop* loop = kiv_loop_create();
    KIVNetConfig table;
    if (loop == nullptr || kiv_loop_table(loop, &table) != KIV_RC_SUCCESS) return 1;
    std::vector<std::unique_ptr<Bot>> farm_bots;
    for (int i = 0; i < bots; ++i) {
        auto bot = std::make_unique<Bot>();
        bot->farm = &farm;
        bot->index = i;
        bot->name = "Farmer" + std::to_string(i);
        bot->instance = kiv_create(&table);
        if (bot->instance == nullptr) return 1;
        kiv_user_data_set(bot->instance, bot.get());
        // With these handlers set, connect, login and enter return at once.
        kiv_callback_set(bot->instance, KIV_CALLBACK_CONNECT_UNIVERSE, on_connected);
        kiv_callback_set(bot->instance, KIV_CALLBACK_LOGIN, on_logged_in);
        kiv_callback_set(bot->instance, KIV_CALLBACK_ENTER, on_entered);
        kiv_event_set(bot->instance, KIV_EVENT_CHAT, on_chat);
        const int rc = kiv_connect_universe(bot->instance, host.c_str(), port);
        if (rc != KIV_RC_SUCCESS) fail(*bot, "connect request", rc);
        farm_bots.push_back(std::move(bot));
    }

    const auto start = std::chrono::steady_clock::now();
    const auto limit = start + std::chrono::seconds(seconds);
    std::uint64_t passes = 0;
    std::uint64_t idle = 0;  // wakeups with no socket ready: a timer's, or the 100 ms cap
    bool done = false;
    bool spoken = false;
    while (!done && farm.failed == 0 && std::chrono::steady_clock::now() < limit) {
        // The host's loop: sleep until the loop's descriptor is readable or
        // its nearest timer is due, then run one pass without blocking.
        const int next = kiv_loop_next_ms(loop);
        pollfd watched{kiv_loop_fd(loop), POLLIN, 0};
        if (poll(&watched, 1, next < 0 || next > 100 ? 100 : next) == 0) ++idle;
        if (kiv_loop_wait(loop, 0) != KIV_RC_SUCCESS) break;
        ++passes;
        if (!spoken && farm.entered == bots) {
            // Everyone is in: every line now reaches every other bot.
            for (int i = 0; i < farm.speakers; ++i) {
                const auto& bot = farm_bots[static_cast<std::size_t>(i)];
                const std::string line = bot->name + " is here";
                const int rc = kiv_say(bot->instance, line.c_str());
                if (rc != KIV_RC_SUCCESS) fail(*bot, "say", rc);
            }
            spoken = true;
        }
        done = spoken && farm.satisfied == bots;
    }
    const double elapsed =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    std::printf(
        "%d of %d bots entered %s through one shared loop; %d heard all %d speakers; "
        "%llu passes, %llu idle wakeups, %.2f s\n",
        farm.entered, bots, farm.world.c_str(), farm.satisfied, farm.speakers,
        static_cast<unsigned long long>(passes), static_cast<unsigned long long>(idle), elapsed);

    for (auto& bot : farm_bots) kiv_destroy(bot->instance);
    // A loop goes only after its Instances.
    if (kiv_loop_destroy(loop) != KIV_RC_SUCCESS) {
        std::fprintf(stderr, "event_loop_farm: the loop still had Instances\n");
        return 1;
    }
    return done ? 0 : 1;
}
