// Soak: many bots in one sandbox world for a bounded time, each saying
// numbered chat lines and moving. Every bot must hear every other bot's
// lines exactly once and in order, and resident memory must stay flat after
// the warm-up. Prints the figures; exits non-zero on any loss, duplicate,
// reordering or growth.
//
// Usage: kivsdk_soak [--bots N] [--seconds S] [--rate LINES_PER_SECOND_PER_BOT]
//                    [--world lobby|garden]
#include <unistd.h>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "kivsdk.h"
#include "sandbox_bot.h"

namespace {

using Clock = std::chrono::steady_clock;

struct SoakBot {
    int index = 0;
    KIVInstance* instance = nullptr;
    int said = 0;
    // Per speaker: the next line number expected.
    std::vector<int> expected;
    long heard = 0;
    long lost = 0;
    long skipped = 0;
    long duplicated = 0;
    long reordered = 0;
    long foreign = 0;  // chat from no bot of this run
    int disconnects = 0;
};

// Lines read "<speaker> <number>".
void on_chat(KIVInstance* instance) {
    auto& bot = *static_cast<SoakBot*>(kiv_user_data(instance));
    int speaker = -1;
    int number = -1;
    if (std::sscanf(kiv_string(instance, KIV_CHAT_MESSAGE), "%d %d", &speaker, &number) != 2 ||
        speaker < 0 || speaker >= static_cast<int>(bot.expected.size()) || speaker == bot.index) {
        ++bot.foreign;
        return;
    }
    ++bot.heard;
    int& next = bot.expected[static_cast<std::size_t>(speaker)];
    if (number == next) {
        ++next;
    } else if (number > next) {
        bot.lost += number - next;  // skipped lines; counted again if they come late
        next = number + 1;
    } else {
        ++bot.duplicated;
        ++bot.reordered;
    }
}

void on_disconnect(KIVInstance* instance) {
    ++static_cast<SoakBot*>(kiv_user_data(instance))->disconnects;
}

long resident_kib() {
    long pages = 0;
    long resident = 0;
    if (FILE* statm = std::fopen("/proc/self/statm", "r")) {
        if (std::fscanf(statm, "%ld %ld", &pages, &resident) != 2) resident = 0;
        std::fclose(statm);
    }
    return resident * (sysconf(_SC_PAGESIZE) / 1024);
}

int pump_all(std::vector<std::unique_ptr<SoakBot>>& bots, int milliseconds) {
    int failures = 0;
    for (auto& bot : bots) failures += kiv_wait(bot->instance, milliseconds) != 0 ? 1 : 0;
    return failures;
}

}  // namespace

int main(int argc, char** argv) {
    int bot_count = 16;
    int seconds = 10;
    int rate = 20;
    std::string world = "lobby";
    for (int i = 1; i + 1 < argc; i += 2) {
        const std::string option = argv[i];
        if (option == "--bots")
            bot_count = std::atoi(argv[i + 1]);
        else if (option == "--seconds")
            seconds = std::atoi(argv[i + 1]);
        else if (option == "--rate")
            rate = std::atoi(argv[i + 1]);
        else if (option == "--world")
            world = argv[i + 1];
    }
    if (bot_count < 2 || seconds < 1 || rate < 1 || rate > 1000) {
        std::fprintf(
            stderr,
            "usage: kivsdk_soak [--bots N>=2] [--seconds S>=1] [--rate 1..1000] [--world NAME]\n");
        return 2;
    }
    kiv_init(5);
    auto sandbox = std::make_unique<kivsdk::test::RunningSandbox>();

    std::vector<std::unique_ptr<SoakBot>> bots;
    for (int i = 0; i < bot_count; ++i) {
        auto bot = std::make_unique<SoakBot>();
        bot->index = i;
        bot->expected.assign(static_cast<std::size_t>(bot_count), 0);
        bot->instance = kiv_create(nullptr);
        kiv_user_data_set(bot->instance, bot.get());
        kiv_event_set(bot->instance, KIV_EVENT_CHAT, &on_chat);
        kiv_event_set(bot->instance, KIV_EVENT_WORLD_DISCONNECT, &on_disconnect);
        kiv_event_set(bot->instance, KIV_EVENT_UNIVERSE_DISCONNECT, &on_disconnect);
        const std::string name = "soak" + std::to_string(i);
        int rc = kiv_connect_universe(bot->instance, "127.0.0.1", sandbox->universe_port());
        if (rc == 0) rc = kiv_login(bot->instance, name.c_str(), "secret", "");
        if (rc == 0) rc = kiv_enter(bot->instance, world.c_str());
        if (rc == 0) rc = kiv_state_change(bot->instance);  // visible to the others
        if (rc != 0) {
            std::fprintf(stderr, "soak: bot %d could not enter %s: %d\n", i, world.c_str(), rc);
            return 1;
        }
        bots.push_back(std::move(bot));
    }
    for (int i = 0; i < 20; ++i) pump_all(bots, 5);

    // Speak and move in rounds, `rate` rounds a second, until the time is
    // up; memory is measured after the first fifth of the run and at its end.
    const auto start = Clock::now();
    const auto end = start + std::chrono::seconds(seconds);
    const auto warm = start + std::chrono::seconds(seconds) / 5;
    const auto period = std::chrono::microseconds(1000000 / rate);
    auto next_round = start;
    long rss_start = 0;
    int wait_failures = 0;
    for (long round = 0; Clock::now() < end;) {
        if (Clock::now() >= next_round) {
            for (auto& bot : bots) {
                const std::string line =
                    std::to_string(bot->index) + " " + std::to_string(bot->said);
                if (kiv_say(bot->instance, line.c_str()) != 0) {
                    std::fprintf(stderr, "soak: bot %d could not say line %d\n", bot->index,
                                 bot->said);
                    return 1;
                }
                ++bot->said;
                kiv_double_set(bot->instance, KIV_MY_X, static_cast<double>(round % 100));
                kiv_double_set(bot->instance, KIV_MY_Z, static_cast<double>(bot->index));
                kiv_double_set(bot->instance, KIV_MY_YAW, static_cast<double>(round % 360));
                kiv_state_change(bot->instance);
            }
            ++round;
            next_round += period;
        }
        wait_failures += pump_all(bots, 0);
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
        if (rss_start == 0 && Clock::now() >= warm) rss_start = resident_kib();
    }
    const double spoken_seconds = std::chrono::duration<double>(Clock::now() - start).count();

    // Everything said must arrive: drain for a bounded time.
    auto complete = [&] {
        for (const auto& bot : bots) {
            for (const auto& speaker : bots) {
                if (speaker != bot &&
                    bot->expected[static_cast<std::size_t>(speaker->index)] < speaker->said) {
                    return false;
                }
            }
        }
        return true;
    };
    // Lines still on their way are waited for as long as they keep coming
    // (a backlog is slow, not lost), at most two minutes.
    auto total_heard = [&] {
        long sum = 0;
        for (const auto& bot : bots) sum += bot->heard;
        return sum;
    };
    const auto drain_start = Clock::now();
    auto last_progress = drain_start;
    long heard_before = total_heard();
    while (!complete() && Clock::now() - last_progress < std::chrono::seconds(5) &&
           Clock::now() - drain_start < std::chrono::seconds(120)) {
        wait_failures += pump_all(bots, 5);
        if (total_heard() != heard_before) {
            heard_before = total_heard();
            last_progress = Clock::now();
        }
    }
    const double drain_seconds = std::chrono::duration<double>(Clock::now() - drain_start).count();
    const long rss_end = resident_kib();

    long lines = 0;
    long heard = 0;
    long lost = 0;
    long skipped = 0;
    long duplicated = 0;
    long reordered = 0;
    long foreign = 0;
    int disconnects = 0;
    for (const auto& bot : bots) {
        disconnects += bot->disconnects;
        lines += bot->said;
        heard += bot->heard;
        duplicated += bot->duplicated;
        reordered += bot->reordered;
        foreign += bot->foreign;
        skipped += bot->lost;
        for (const auto& speaker : bots) {
            if (speaker != bot)
                lost += speaker->said - bot->expected[static_cast<std::size_t>(speaker->index)];
        }
    }
    const long expected_heard = lines * (bot_count - 1);
    // Flat: at most a tenth more than after the warm-up, with 8 MiB of slack
    // for allocator and socket buffer noise.
    const bool flat = rss_end <= rss_start + rss_start / 10 + 8 * 1024;
    std::printf(
        "soak: world=%s bots=%d lines=%ld deliveries=%ld/%ld seconds=%.1f (+%.1f drain) lost=%ld "
        "(skipped %ld, never arrived %ld) duplicated=%ld reordered=%ld foreign=%ld disconnects=%d "
        "rss_start=%ldKiB rss_end=%ldKiB (%s)\n",
        world.c_str(), bot_count, lines, heard, expected_heard, spoken_seconds, drain_seconds,
        skipped + lost, skipped, lost, duplicated, reordered, foreign, disconnects, rss_start,
        rss_end, flat ? "flat" : "GREW");
    lost += skipped;
    // The server stops first: the bots' departures are not part of the soak.
    sandbox.reset();
    for (auto& bot : bots) kiv_destroy(bot->instance);
    const bool ok = lost == 0 && duplicated == 0 && reordered == 0 && foreign == 0 &&
                    disconnects == 0 && heard == expected_heard && flat && wait_failures == 0;
    std::printf("%s\n", ok ? "soak passed" : "soak FAILED");
    return ok ? 0 : 1;
}
