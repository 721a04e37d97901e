// The bots of the adapter examples: N bots enter a world in callback style,
// each says a line, and every bot must hear every other's line. Then, with --idle S, the host's loop idles for S seconds while
// the example counts its wakeups: an adapter that polls or spins shows
// there. Each example (libuv_bots, asio_bots, glib_bots, frame_tick_bots)
// holds only the glue between its loop and these bots.
//
//   *_bots --port PORT [--host H] [--world W] [--bots N] [--seconds S] [--idle S]
#pragma once

#ifndef _WIN32
#include <sys/resource.h>
#endif

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include "kivsdk.h"

namespace examples {

class Farm {
public:
    using Clock = std::chrono::steady_clock;

    Farm(int argc, char** argv, const char* program) : program_(program) {
        for (int i = 1; i + 1 < argc; i += 2) {
            const std::string option = argv[i];
            const char* value = argv[i + 1];
            if (option == "--host")
                host_ = value;
            else if (option == "--port")
                port_ = number(value, option);
            else if (option == "--world")
                world_ = value;
            else if (option == "--bots")
                count_ = number(value, option);
            else if (option == "--seconds")
                seconds_ = number(value, option);
            else if (option == "--idle")
                idle_seconds_ = number(value, option);
            else
                usage("unknown option " + option);
        }
        if (port_ < 0 || port_ > 65535 || count_ < 1) usage("--port is required");
        speakers_ = count_;
#ifndef _WIN32
        rlimit limit{};  // two descriptors per bot
        if (getrlimit(RLIMIT_NOFILE, &limit) == 0 && limit.rlim_cur < limit.rlim_max) {
            limit.rlim_cur = limit.rlim_max;
            setrlimit(RLIMIT_NOFILE, &limit);
        }
#endif
    }

    // Makes every bot with the adapter's table and starts its connect.
    void start(const KIVNetConfig& table) {
        started_ = Clock::now();
        for (int i = 0; i < count_; ++i) {
            auto bot = std::make_unique<Bot>();
            bot->farm = this;
            bot->index = i;
            bot->name = std::string(program_) + std::to_string(i);
            bot->instance = kiv_create(&table);
            if (bot->instance == nullptr) return fail(*bot, "create", -1);
            kiv_user_data_set(bot->instance, bot.get());
            kiv_callback_set(bot->instance, KIV_CALLBACK_CONNECT_UNIVERSE, &on_connected);
            kiv_callback_set(bot->instance, KIV_CALLBACK_LOGIN, &on_logged_in);
            kiv_callback_set(bot->instance, KIV_CALLBACK_ENTER, &on_entered);
            kiv_event_set(bot->instance, KIV_EVENT_CHAT, &on_chat);
            const int rc = kiv_connect_universe(bot->instance, host_.c_str(), port_);
            if (rc != KIV_RC_SUCCESS) fail(*bot, "connect request", rc);
            bots_.push_back(std::move(bot));
        }
    }

    // Called by the host's loop after each of its iterations (wakeups);
    // false when the loop should stop.
    bool after_wakeup() {
        const auto now = Clock::now();
        if (idling_) {
            // The last frames' completions settle first (Asio, for one,
            // reports each socket's readiness once as a run of its own).
            if (now >= idle_until_ - std::chrono::seconds(idle_seconds_)) ++idle_wakeups_;
            return now < idle_until_;
        }
        if (failed_ > 0 || now >= started_ + std::chrono::seconds(seconds_)) return false;
        if (!spoken_ && entered_ == count_) speak();
        if (spoken_ && satisfied_ == count_) {
            met_ = true;
            if (idle_seconds_ == 0) return false;
            idling_ = true;
            idle_until_ = now + kSettle + std::chrono::seconds(idle_seconds_);
        }
        return true;
    }

    // When the host's loop must wake for the farm (the end of the idle
    // window or of the time allowed), and the milliseconds until then: arm
    // a one-shot timer with it whenever the time changes.
    Clock::time_point next_wake() const {
        return idling_ ? idle_until_ : started_ + std::chrono::seconds(seconds_);
    }
    int next_wake_ms() const {
        const auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(next_wake() - Clock::now())
                .count();
        return left < 0 ? 0 : static_cast<int>(left) + 1;
    }

    // Destroys the bots, prints the outcome, returns the exit status.
    int finish(const char* loop_name) {
        for (auto& bot : bots_) kiv_destroy(bot->instance);
        const double elapsed = std::chrono::duration<double>(Clock::now() - started_).count();
        std::printf("%d of %d bots entered %s on %s; %d heard all %d speakers; %.2f s\n", entered_,
                    count_, world_.c_str(), loop_name, satisfied_, speakers_, elapsed);
        if (!met_) return 1;
        if (idle_seconds_ > 0) {
            // Idle, a loop wakes only for the farm's own timer and for the
            // connections' timers and keep-alives (two a connection every
            // 30 s at most).
            const long allowed = 1 + 2L * 2 * count_ * ((idle_seconds_ + 29) / 30);
            std::printf("idle: %ld wakeups in %d s with %d bots (at most %ld allowed)\n",
                        idle_wakeups_, idle_seconds_, count_, allowed);
            if (idle_wakeups_ > allowed) return 1;
        }
        return 0;
    }

private:
    struct Bot {
        Farm* farm = nullptr;
        int index = 0;
        std::string name;
        KIVInstance* instance = nullptr;
        int heard = 0;
    };

    static Bot& bot_of(KIVInstance* instance) {
        return *static_cast<Bot*>(kiv_user_data(instance));
    }
    static void on_connected(KIVInstance* instance, int rc, int) {
        Bot& bot = bot_of(instance);
        if (rc == KIV_RC_SUCCESS) rc = kiv_login(instance, bot.name.c_str(), "", "");
        if (rc != KIV_RC_SUCCESS) bot.farm->fail(bot, "connect or login request", rc);
    }
    static void on_logged_in(KIVInstance* instance, int rc, int) {
        Bot& bot = bot_of(instance);
        if (rc == KIV_RC_SUCCESS) rc = kiv_enter(instance, bot.farm->world_.c_str());
        if (rc != KIV_RC_SUCCESS) bot.farm->fail(bot, "login or enter request", rc);
    }
    static void on_entered(KIVInstance* instance, int rc, int) {
        Bot& bot = bot_of(instance);
        if (rc != KIV_RC_SUCCESS) return bot.farm->fail(bot, "enter", rc);
        ++bot.farm->entered_;
    }
    static void on_chat(KIVInstance* instance) {
        Bot& bot = bot_of(instance);
        const int expected = bot.farm->speakers_ - (bot.index < bot.farm->speakers_ ? 1 : 0);
        if (++bot.heard == expected) ++bot.farm->satisfied_;
    }

    void speak() {
        spoken_ = true;
        for (int i = 0; i < speakers_; ++i) {
            Bot& bot = *bots_[static_cast<std::size_t>(i)];
            const int rc = kiv_say(bot.instance, (bot.name + " is here").c_str());
            if (rc != KIV_RC_SUCCESS) fail(bot, "say", rc);
        }
    }
    void fail(Bot& bot, const char* step, int rc) {
        std::fprintf(stderr, "%s: %s failed with %d\n", bot.name.c_str(), step, rc);
        ++failed_;
    }
    int number(const char* text, const std::string& option) const {
        char* end = nullptr;
        const long value = std::strtol(text, &end, 10);
        if (end == text || *end != '\0' || value < 0 || value > 1000000) usage("bad " + option);
        return static_cast<int>(value);
    }
    [[noreturn]] void usage(const std::string& why) const {
        std::fprintf(stderr,
                     "%s: %s\nusage: %s --port PORT [--host H] [--world W] [--bots N] "
                     "[--seconds S] [--idle S]\n",
                     program_, why.c_str(), program_);
        std::exit(2);
    }

    static constexpr std::chrono::milliseconds kSettle{500};

    const char* program_;
    std::string host_ = "127.0.0.1";
    std::string world_ = "lobby";
    int port_ = -1;
    int count_ = 50;
    int seconds_ = 60;
    int idle_seconds_ = 0;
    int speakers_ = 0;
    int entered_ = 0;
    int satisfied_ = 0;
    int failed_ = 0;
    bool spoken_ = false;
    bool met_ = false;
    bool idling_ = false;
    long idle_wakeups_ = 0;
    Clock::time_point started_;
    Clock::time_point idle_until_;
    std::vector<std::unique_ptr<Bot>> bots_;
};

}  // namespace examples
