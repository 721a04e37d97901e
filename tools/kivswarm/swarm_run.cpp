#include "swarm_run.h"

#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <queue>
#include <random>
#include <string>
#include <thread>
#include <unordered_map>
#include <vector>

#include "kivsdk.h"

namespace kivsdk::tools::swarm {
namespace {

using Clock = std::chrono::steady_clock;
using Seconds = std::chrono::duration<double>;

constexpr double kPi = 3.14159265358979323846;
// A chat line the chosen listener has not heard by then counts as unanswered.
constexpr Seconds kChatPatience{30};
// So does a cell query without its end.
constexpr Seconds kQueryPatience{30};
// Failures shown on the log; the rest are only counted.
constexpr std::size_t kFailuresShown = 10;
constexpr int kLibraryLinesShown = 20;
constexpr const char* kChatPrefix = "kivswarm ";

Clock::duration to_duration(double seconds) {
    return std::chrono::duration_cast<Clock::duration>(Seconds(seconds));
}
double milliseconds_between(Clock::time_point from, Clock::time_point to) {
    return std::chrono::duration<double, std::milli>(to - from).count();
}

// The library's diagnostic lines go to the swarm's log (standard output is
// the report's).
std::ostream* g_library_log = nullptr;
int g_library_lines = 0;
void library_line(KIVInstance*, int, const char* category, const char* text) {
    if (g_library_log == nullptr || g_library_lines >= kLibraryLinesShown) return;
    *g_library_log << "kivswarm: library " << category << ": " << text;
    if (++g_library_lines == kLibraryLinesShown)
        *g_library_log << "kivswarm: further library lines are not shown\n";
}

struct CpuTimes {
    double user = 0;
    double system = 0;
    double total() const { return user + system; }
};
CpuTimes cpu_times() {
    rusage usage{};
    ::getrusage(RUSAGE_SELF, &usage);
    const auto seconds = [](const timeval& t) {
        return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_usec) / 1e6;
    };
    return {seconds(usage.ru_utime), seconds(usage.ru_stime)};
}
double peak_resident_mib() {
    rusage usage{};
    ::getrusage(RUSAGE_SELF, &usage);
    return static_cast<double>(usage.ru_maxrss) / 1024.0;  // KiB on Linux
}

std::string utc_now() {
    const std::time_t now = std::time(nullptr);
    std::tm utc{};
    gmtime_r(&now, &utc);
    char text[32];
    std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%SZ", &utc);
    return text;
}

// What each event and callback is called in the report's counts.
const char* event_name(int event) {
    switch (event) {
        case KIV_EVENT_CHAT: return "chat";
        case KIV_EVENT_AVATAR_ADD: return "avatar_add";
        case KIV_EVENT_AVATAR_CHANGE: return "avatar_change";
        case KIV_EVENT_AVATAR_DELETE: return "avatar_delete";
        case KIV_EVENT_OBJECT: return "object";
        case KIV_EVENT_OBJECT_CHANGE: return "object_change";
        case KIV_EVENT_OBJECT_DELETE: return "object_delete";
        case KIV_EVENT_WORLD_SETTING: return "world_setting";
        case KIV_EVENT_WORLD_SETTINGS_END: return "world_settings_end";
        case KIV_EVENT_CELL_END: return "cell_end";
        case KIV_EVENT_WORLD_DISCONNECT: return "world_disconnect";
        case KIV_EVENT_UNIVERSE_DISCONNECT: return "universe_disconnect";
        default: return "other_event";
    }
}
const char* callback_name(int callback) {
    switch (callback) {
        case KIV_CALLBACK_CONNECT_UNIVERSE: return "callback_connect";
        case KIV_CALLBACK_LOGIN: return "callback_login";
        case KIV_CALLBACK_ENTER: return "callback_enter";
        case KIV_CALLBACK_OBJECT_ADD: return "callback_object_add";
        case KIV_CALLBACK_OBJECT_CHANGE: return "callback_object_change";
        case KIV_CALLBACK_OBJECT_DELETE: return "callback_object_delete";
        default: return "other_callback";
    }
}

class Swarm;

enum class BotState { kWaiting, kConnecting, kLoggingIn, kEntering, kIn, kReentering, kFailed };

// What a timer does when it fires.
enum class Action { kStart, kWalk, kChat, kBuild, kQuery, kReenter };

struct Bot {
    Swarm* swarm = nullptr;
    int index = 0;
    std::string name;
    std::size_t world = 0;
    KIVInstance* instance = nullptr;
    BotState state = BotState::kWaiting;
    // Bumped whenever the bot leaves its world or fails: the timers armed
    // before are then stale.
    unsigned generation = 0;
    Clock::time_point asked;      // the pending connect, login or enter
    std::size_t member_slot = 0;  // its place in its world's member list while in

    double center_x = 0, center_z = 0, phase = 0;  // its path
    double x = 0, z = 0;                           // where it last stood

    // Building: 0 add next, 1 move next, 2 delete next.
    int build_step = 0;
    int object_id = 0;
    bool build_pending = false;
    int build_reference = 0;
    Clock::time_point build_asked;

    bool query_pending = false;
    int query_x = 0, query_z = 0;
    Clock::time_point query_asked;

    int next_reference = 1;
};

struct Timer {
    Clock::time_point at;
    int bot;
    Action action;
    unsigned generation;
    bool operator>(const Timer& other) const { return at > other.at; }
};

struct PendingChat {
    Clock::time_point said;
    int listener;
};

class Swarm {
public:
    Swarm(const Options& options, std::ostream* progress, std::ostream& log)
        : options_(options), progress_(progress), log_(log), random_(options.seed) {
        worlds_.resize(options_.worlds.size());
        cell_size_.assign(options_.worlds.size(), 10.0);
    }
    ~Swarm() {
        for (auto& bot : bots_) kiv_destroy(bot->instance);
        kiv_loop_destroy(loop_);
    }
    Swarm(const Swarm&) = delete;
    Swarm& operator=(const Swarm&) = delete;

    Report run(const volatile std::sig_atomic_t* stop);

private:
    // ---- Handlers ---------------------------------------------------------

    static Bot& bot_of(KIVInstance* instance) {
        return *static_cast<Bot*>(kiv_user_data(instance));
    }
    static void on_connected(KIVInstance* instance, int rc, int) {
        Bot& bot = bot_of(instance);
        bot.swarm->count_callback(instance);
        bot.swarm->connected(bot, rc);
    }
    static void on_logged_in(KIVInstance* instance, int rc, int) {
        Bot& bot = bot_of(instance);
        bot.swarm->count_callback(instance);
        bot.swarm->logged_in(bot, rc);
    }
    static void on_entered(KIVInstance* instance, int rc, int) {
        Bot& bot = bot_of(instance);
        bot.swarm->count_callback(instance);
        bot.swarm->entered(bot, rc);
    }
    static void on_object_answer(KIVInstance* instance, int rc, int reference) {
        Bot& bot = bot_of(instance);
        bot.swarm->count_callback(instance);
        bot.swarm->object_answered(bot, kiv_int(instance, KIV_CURRENT_CALLBACK), rc, reference);
    }
    static void on_event(KIVInstance* instance) {
        Bot& bot = bot_of(instance);
        bot.swarm->count_event(instance);
    }
    static void on_chat(KIVInstance* instance) {
        Bot& bot = bot_of(instance);
        bot.swarm->count_event(instance);
        bot.swarm->heard(bot, kiv_string(instance, KIV_CHAT_MESSAGE));
    }
    static void on_cell_end(KIVInstance* instance) {
        Bot& bot = bot_of(instance);
        bot.swarm->count_event(instance);
        bot.swarm->cell_ended(bot, kiv_int(instance, KIV_CELL_X), kiv_int(instance, KIV_CELL_Z));
    }
    static void on_world_setting(KIVInstance* instance) {
        Bot& bot = bot_of(instance);
        bot.swarm->count_event(instance);
        if (std::strcmp(kiv_string(instance, KIV_WORLD_SETTING_NAME), "cell size") == 0) {
            const double size = std::atof(kiv_string(instance, KIV_WORLD_SETTING_VALUE));
            if (size > 0) bot.swarm->cell_size_[bot.world] = size;
        }
    }
    static void on_lost(KIVInstance* instance) {
        Bot& bot = bot_of(instance);
        bot.swarm->count_event(instance);
        const bool world = kiv_int(instance, KIV_CURRENT_EVENT) == KIV_EVENT_WORLD_DISCONNECT;
        bot.swarm->lost(bot, world);
    }

    void count_event(KIVInstance* instance) {
        const int event = kiv_int(instance, KIV_CURRENT_EVENT);
        if (event >= 0 && event < KIV_EVENT_COUNT) ++event_counts_[static_cast<std::size_t>(event)];
        ++events_;
        ++second_events_;
    }
    void count_callback(KIVInstance* instance) {
        const int callback = kiv_int(instance, KIV_CURRENT_CALLBACK);
        if (callback >= 0 && callback < KIV_CALLBACK_COUNT)
            ++callback_counts_[static_cast<std::size_t>(callback)];
        ++events_;
        ++second_events_;
    }

    // ---- Getting in -------------------------------------------------------

    void start(Bot& bot) {
        bot.instance = kiv_create(&table_);
        if (bot.instance == nullptr) return fail(bot, "create", KIV_RC_CONNECTION_ERROR, "");
        KIVInstance* instance = bot.instance;
        kiv_user_data_set(instance, &bot);
        kiv_callback_set(instance, KIV_CALLBACK_CONNECT_UNIVERSE, &on_connected);
        kiv_callback_set(instance, KIV_CALLBACK_LOGIN, &on_logged_in);
        kiv_callback_set(instance, KIV_CALLBACK_ENTER, &on_entered);
        kiv_callback_set(instance, KIV_CALLBACK_OBJECT_ADD, &on_object_answer);
        kiv_callback_set(instance, KIV_CALLBACK_OBJECT_CHANGE, &on_object_answer);
        kiv_callback_set(instance, KIV_CALLBACK_OBJECT_DELETE, &on_object_answer);
        kiv_event_set(instance, KIV_EVENT_CHAT, &on_chat);
        kiv_event_set(instance, KIV_EVENT_CELL_END, &on_cell_end);
        kiv_event_set(instance, KIV_EVENT_WORLD_SETTING, &on_world_setting);
        kiv_event_set(instance, KIV_EVENT_WORLD_DISCONNECT, &on_lost);
        kiv_event_set(instance, KIV_EVENT_UNIVERSE_DISCONNECT, &on_lost);
        for (const int event : {KIV_EVENT_AVATAR_ADD, KIV_EVENT_AVATAR_CHANGE,
                                KIV_EVENT_AVATAR_DELETE, KIV_EVENT_OBJECT, KIV_EVENT_OBJECT_CHANGE,
                                KIV_EVENT_OBJECT_DELETE, KIV_EVENT_WORLD_SETTINGS_END}) {
            kiv_event_set(instance, event, &on_event);
        }
        bot.state = BotState::kConnecting;
        bot.asked = Clock::now();
        ++sent_[index(Trip::kConnect)];
        const int rc = kiv_connect_universe(instance, options_.host.c_str(), options_.port);
        if (rc != KIV_RC_SUCCESS) fail(bot, "connect request", rc, "");
    }

    void connected(Bot& bot, int rc) {
        if (bot.state != BotState::kConnecting) return;
        if (rc != KIV_RC_SUCCESS) return fail(bot, "connect", rc, disconnect_text(bot));
        const auto now = Clock::now();
        record(Trip::kConnect, bot.asked, now);
        bot.state = BotState::kLoggingIn;
        bot.asked = now;
        ++sent_[index(Trip::kLogin)];
        rc = kiv_login(bot.instance, bot.name.c_str(), options_.password.c_str(), "");
        if (rc != KIV_RC_SUCCESS) fail(bot, "login request", rc, "");
    }

    void logged_in(Bot& bot, int rc) {
        if (bot.state != BotState::kLoggingIn) return;
        if (rc != KIV_RC_SUCCESS) return fail(bot, "login", rc, "");
        const auto now = Clock::now();
        record(Trip::kLogin, bot.asked, now);
        ask_enter(bot, Trip::kEnter, now);
    }

    void ask_enter(Bot& bot, Trip trip, Clock::time_point now) {
        bot.state = trip == Trip::kEnter ? BotState::kEntering : BotState::kReentering;
        bot.asked = now;
        ++sent_[index(trip)];
        const int rc = kiv_enter(bot.instance, options_.worlds[bot.world].c_str());
        if (rc != KIV_RC_SUCCESS) fail(bot, "enter request", rc, "");
    }

    void entered(Bot& bot, int rc) {
        if (bot.state != BotState::kEntering && bot.state != BotState::kReentering) return;
        const bool again = bot.state == BotState::kReentering;
        if (rc != KIV_RC_SUCCESS) return fail(bot, again ? "reenter" : "enter", rc, "");
        const auto now = Clock::now();
        record(again ? Trip::kReenter : Trip::kEnter, bot.asked, now);
        bot.state = BotState::kIn;
        join(bot);
        // Shown at once: the world announces an avatar with its first state.
        walk(bot, now);
        const auto first = [&](double period) {
            return now + to_duration(std::uniform_real_distribution<double>(0, period)(random_));
        };
        if (options_.walk_hz > 0) arm(bot, Action::kWalk, first(1 / options_.walk_hz));
        if (options_.chat_every > 0) arm(bot, Action::kChat, first(options_.chat_every));
        if (options_.build_every > 0) arm(bot, Action::kBuild, first(options_.build_every / 3));
        if (options_.query_every > 0) arm(bot, Action::kQuery, first(options_.query_every));
        if (options_.reenter_every > 0) arm(bot, Action::kReenter, first(options_.reenter_every));
    }

    void lost(Bot& bot, bool world) {
        if (bot.state == BotState::kFailed || bot.state == BotState::kWaiting) return;
        fail(bot, world ? "lost world" : "lost universe",
             kiv_int(bot.instance, KIV_DISCONNECT_REASON), disconnect_text(bot));
    }

    static std::string disconnect_text(Bot& bot) {
        const char* text = kiv_string(bot.instance, KIV_DISCONNECT_TEXT);
        return text == nullptr ? "" : text;
    }

    // ---- Failures ---------------------------------------------------------

    // A failure that keeps the bot where it is (a request refused).
    void count_failure(Bot& bot, const std::string& step, int rc, const std::string& text) {
        ++failures_;
        ++failures_by_step_[step];
        if (first_failures_.size() < kFailuresShown) {
            first_failures_.push_back({bot.name, step, rc, text});
            clear_progress();
            log_ << "kivswarm: " << bot.name << ": " << step << " failed with " << rc
                 << (text.empty() ? "" : " (" + text + ")") << "\n";
            if (first_failures_.size() == kFailuresShown)
                log_ << "kivswarm: further failures are counted, not shown\n";
        }
    }

    // A failure that takes the bot out for the rest of the run.
    void fail(Bot& bot, const std::string& step, int rc, const std::string& text) {
        count_failure(bot, step, rc, text);
        if (bot.state == BotState::kIn) leave_members(bot);
        abandon_requests(bot);
        // What it was asked for stays unanswered.
        if (bot.state == BotState::kConnecting) ++unanswered_[index(Trip::kConnect)];
        if (bot.state == BotState::kLoggingIn) ++unanswered_[index(Trip::kLogin)];
        if (bot.state == BotState::kEntering) ++unanswered_[index(Trip::kEnter)];
        if (bot.state == BotState::kReentering) ++unanswered_[index(Trip::kReenter)];
        bot.state = BotState::kFailed;
        ++bot.generation;
        ++failed_bots_;
    }

    // Requests whose answers no longer matter: the bot leaves or failed.
    void abandon_requests(Bot& bot) {
        if (bot.build_pending) {
            ++unanswered_[index(build_trip(bot.build_step))];
            bot.build_pending = false;
            // The server may have deleted it all the same: asked again, it
            // would answer "no such object". The bot starts a new object.
            if (bot.build_step == 2) {
                bot.object_id = 0;
                bot.build_step = 0;
            }
        }
        if (bot.query_pending) {
            ++unanswered_[index(Trip::kCellQuery)];
            bot.query_pending = false;
        }
    }

    // ---- World membership (for choosing chat listeners) ---------------------

    void join(Bot& bot) {
        std::vector<int>& members = worlds_[bot.world];
        bot.member_slot = members.size();
        members.push_back(bot.index);
        ++in_;
        peak_in_ = std::max(peak_in_, in_);
    }
    void leave_members(Bot& bot) {
        std::vector<int>& members = worlds_[bot.world];
        const int last = members.back();
        members[bot.member_slot] = last;
        bots_[static_cast<std::size_t>(last)]->member_slot = bot.member_slot;
        members.pop_back();
        --in_;
    }

    // ---- Behaviours --------------------------------------------------------

    void arm(Bot& bot, Action action, Clock::time_point at) {
        timers_.push({at, bot.index, action, bot.generation});
    }

    // The next time of a periodic action, on its own cadence; a host that
    // fell behind skips the times it missed rather than catching up in a
    // burst.
    void again(Bot& bot, const Timer& timer, double period, Clock::time_point now) {
        auto next = timer.at + to_duration(period);
        if (next < now) next = now + to_duration(period);
        arm(bot, timer.action, next);
    }

    void fire(const Timer& timer, Clock::time_point now) {
        Bot& bot = *bots_[static_cast<std::size_t>(timer.bot)];
        if (timer.action == Action::kStart) return start(bot);
        if (timer.generation != bot.generation || bot.state != BotState::kIn) return;
        switch (timer.action) {
            case Action::kWalk:
                walk(bot, now);
                again(bot, timer, 1 / options_.walk_hz, now);
                break;
            case Action::kChat:
                chat(bot, now);
                again(bot, timer, options_.chat_every, now);
                break;
            case Action::kBuild:
                build(bot, now);
                again(bot, timer, options_.build_every / 3, now);
                break;
            case Action::kQuery:
                query(bot, now);
                again(bot, timer, options_.query_every, now);
                break;
            case Action::kReenter: reenter(bot, now); break;
            case Action::kStart: break;
        }
    }

    // Where the bot is on its path at `now`, and which way it faces (degrees).
    void place(Bot& bot, Clock::time_point now, double& yaw) {
        const double size = options_.path_size;
        const double travelled = bot.phase + options_.walk_speed * Seconds(now - started_).count();
        if (options_.path == PathShape::kCircle) {
            const double angle = travelled / size;
            bot.x = bot.center_x + size * std::cos(angle);
            bot.z = bot.center_z + size * std::sin(angle);
            yaw = std::fmod(angle * 180 / kPi + 90, 360);
        } else {
            const double side = 2 * size;
            const double along = std::fmod(travelled, 4 * side);
            const int edge = std::min(3, static_cast<int>(along / side));
            const double d = along - edge * side;
            static const double corner[4][2] = {{-1, -1}, {1, -1}, {1, 1}, {-1, 1}};
            static const double heading[4][2] = {{1, 0}, {0, 1}, {-1, 0}, {0, -1}};
            bot.x = bot.center_x + size * corner[edge][0] + d * heading[edge][0];
            bot.z = bot.center_z + size * corner[edge][1] + d * heading[edge][1];
            yaw = 90.0 * edge;
        }
    }

    void walk(Bot& bot, Clock::time_point now) {
        double yaw = 0;
        place(bot, now, yaw);
        kiv_float_set(bot.instance, KIV_MY_X, static_cast<float>(bot.x));
        kiv_float_set(bot.instance, KIV_MY_Y, 0.0f);
        kiv_float_set(bot.instance, KIV_MY_Z, static_cast<float>(bot.z));
        kiv_float_set(bot.instance, KIV_MY_YAW, static_cast<float>(yaw));
        const int rc = kiv_state_change(bot.instance);
        if (rc != KIV_RC_SUCCESS) count_failure(bot, "state change", rc, "");
    }

    void chat(Bot& bot, Clock::time_point now) {
        const std::vector<int>& members = worlds_[bot.world];
        if (members.size() < 2) return;  // nobody to hear it
        int listener = bot.index;
        while (listener == bot.index) {
            listener =
                members[std::uniform_int_distribution<std::size_t>(0, members.size() - 1)(random_)];
        }
        const std::uint64_t id = next_chat_++;
        const std::string text = kChatPrefix + std::to_string(id) + " " + std::to_string(listener);
        ++sent_[index(Trip::kChat)];
        const int rc = kiv_say(bot.instance, text.c_str());
        if (rc != KIV_RC_SUCCESS) {
            ++unanswered_[index(Trip::kChat)];
            return count_failure(bot, "say", rc, "");
        }
        chats_[id] = {now, listener};
        chat_order_.push_back({now, id});
    }

    // Every bot hears the line; only the chosen listener times it.
    void heard(Bot& bot, const char* text) {
        if (std::strncmp(text, kChatPrefix, std::strlen(kChatPrefix)) != 0) return;
        char* rest = nullptr;
        const std::uint64_t id = std::strtoull(text + std::strlen(kChatPrefix), &rest, 10);
        if (rest == nullptr || *rest != ' ') return;
        if (std::strtol(rest + 1, nullptr, 10) != bot.index) return;
        const auto found = chats_.find(id);
        if (found == chats_.end() || found->second.listener != bot.index) return;
        record(Trip::kChat, found->second.said, Clock::now());
        chats_.erase(found);
    }

    static Trip build_trip(int step) {
        return step == 0 ? Trip::kObjectAdd : step == 1 ? Trip::kObjectChange : Trip::kObjectDelete;
    }

    // Sets every attribute an object add or change sends: events of other
    // objects overwrite them meanwhile.
    void describe_object(Bot& bot, double x, double z) {
        KIVInstance* instance = bot.instance;
        kiv_int_set(instance, KIV_OBJECT_TYPE, 0);
        kiv_double_set(instance, KIV_OBJECT_X, x);
        kiv_double_set(instance, KIV_OBJECT_Y, 0);
        kiv_double_set(instance, KIV_OBJECT_Z, z);
        for (const int rotation : {KIV_OBJECT_ROTATION_X, KIV_OBJECT_ROTATION_Y,
                                   KIV_OBJECT_ROTATION_Z, KIV_OBJECT_ROTATION_ANGLE}) {
            kiv_float_set(instance, rotation, 0.0f);
        }
        kiv_string_set(instance, KIV_OBJECT_STRING_1, "crate1.rwx");
        kiv_string_set(instance, KIV_OBJECT_STRING_2, bot.name.c_str());
        kiv_string_set(instance, KIV_OBJECT_STRING_3, "");
        kiv_data_set(instance, KIV_OBJECT_DATA, 0, nullptr);
    }

    // One step of the cycle: add an object beside the bot, move it, delete it.
    void build(Bot& bot, Clock::time_point now) {
        if (bot.build_pending) return;  // the last step is still unanswered
        if (bot.build_step > 0 && bot.object_id == 0) bot.build_step = 0;
        const Trip trip = build_trip(bot.build_step);
        bot.build_reference = bot.next_reference++;
        kiv_int_set(bot.instance, KIV_REFERENCE_NUMBER, bot.build_reference);
        int rc = KIV_RC_SUCCESS;
        if (bot.build_step == 0) {
            describe_object(bot, bot.x + 1, bot.z + 1);
            rc = kiv_object_add(bot.instance);
        } else if (bot.build_step == 1) {
            describe_object(bot, bot.x + 2, bot.z);
            kiv_int_set(bot.instance, KIV_OBJECT_ID, bot.object_id);
            rc = kiv_object_change(bot.instance);
        } else {
            rc = kiv_object_delete(bot.instance, bot.object_id);
        }
        ++sent_[index(trip)];
        if (rc != KIV_RC_SUCCESS) {
            ++unanswered_[index(trip)];
            return count_failure(bot, std::string(trip_name(trip)) + " request", rc, "");
        }
        bot.build_pending = true;
        bot.build_asked = now;
    }

    void object_answered(Bot& bot, int callback, int rc, int reference) {
        if (!bot.build_pending || reference != bot.build_reference) return;  // abandoned
        const Trip trip = build_trip(bot.build_step);
        const int expected = bot.build_step == 0   ? KIV_CALLBACK_OBJECT_ADD
                             : bot.build_step == 1 ? KIV_CALLBACK_OBJECT_CHANGE
                                                   : KIV_CALLBACK_OBJECT_DELETE;
        if (callback != expected) return;
        bot.build_pending = false;
        if (rc != KIV_RC_SUCCESS) {
            // Start over with a new object: this one is gone or not ours.
            if (bot.build_step > 0) bot.object_id = 0;
            bot.build_step = 0;
            return count_failure(bot, trip_name(trip), rc, "");
        }
        record(trip, bot.build_asked, Clock::now());
        if (bot.build_step == 0) bot.object_id = kiv_int(bot.instance, KIV_OBJECT_ID);
        if (bot.build_step == 2) bot.object_id = 0;
        bot.build_step = (bot.build_step + 1) % 3;
    }

    void query(Bot& bot, Clock::time_point now) {
        if (bot.query_pending) {
            if (now - bot.query_asked < kQueryPatience) return;
            ++unanswered_[index(Trip::kCellQuery)];
            bot.query_pending = false;
        }
        const double size = cell_size_[bot.world];
        bot.query_x = static_cast<int>(std::floor(bot.x / size));
        bot.query_z = static_cast<int>(std::floor(bot.z / size));
        ++sent_[index(Trip::kCellQuery)];
        const int rc = kiv_query_cell(bot.instance, bot.query_x, bot.query_z);
        if (rc != KIV_RC_SUCCESS) {
            ++unanswered_[index(Trip::kCellQuery)];
            return count_failure(bot, "cell query request", rc, "");
        }
        bot.query_pending = true;
        bot.query_asked = now;
    }

    void cell_ended(Bot& bot, int cell_x, int cell_z) {
        if (!bot.query_pending || cell_x != bot.query_x || cell_z != bot.query_z) return;
        bot.query_pending = false;
        record(Trip::kCellQuery, bot.query_asked, Clock::now());
    }

    void reenter(Bot& bot, Clock::time_point now) {
        // The world's pending requests end with 9 inside kiv_leave: abandoned
        // first, their answers are passed over.
        abandon_requests(bot);
        const int rc = kiv_leave(bot.instance);
        if (rc != KIV_RC_SUCCESS) return fail(bot, "leave", rc, "");
        leave_members(bot);
        ++bot.generation;
        ask_enter(bot, Trip::kReenter, now);
    }

    // ---- Measurements --------------------------------------------------------

    static std::size_t index(Trip trip) { return static_cast<std::size_t>(trip); }

    void record(Trip trip, Clock::time_point asked, Clock::time_point answered) {
        const double ms = milliseconds_between(asked, answered);
        samples_[index(trip)].push_back(ms);
        second_samples_.push_back(ms);
    }

    int connecting() const {
        int count = 0;
        for (const auto& bot : bots_) {
            switch (bot->state) {
                case BotState::kConnecting:
                case BotState::kLoggingIn:
                case BotState::kEntering:
                case BotState::kReentering: ++count; break;
                default: break;
            }
        }
        return count;
    }

    void expire_chats(Clock::time_point now) {
        while (!chat_order_.empty() && now - chat_order_.front().first >= kChatPatience) {
            if (chats_.erase(chat_order_.front().second) > 0) ++unanswered_[index(Trip::kChat)];
            chat_order_.pop_front();
        }
    }

    void sample(int t, Clock::time_point now) {
        SecondSample s;
        s.t = t;
        s.in = in_;
        s.connecting = connecting();
        s.failed = failed_bots_;
        s.events = second_events_;
        const Percentiles trips = summarize(std::move(second_samples_));
        second_samples_.clear();
        s.trips = trips.count;
        s.trip_p50_ms = trips.p50;
        s.trip_p99_ms = trips.p99;
        const CpuTimes cpu = cpu_times();
        const double wall = Seconds(now - last_sample_).count();
        s.cpu_percent = wall > 0 ? 100 * (cpu.total() - last_cpu_.total()) / wall : 0;
        s.rss_mib = resident_mib();
        last_cpu_ = cpu;
        last_sample_ = now;
        second_events_ = 0;
        series_.push_back(s);
        if (progress_ != nullptr) show_progress(s);
    }

    void show_progress(const SecondSample& s) {
        char line[200];
        if (s.trips > 0) {
            std::snprintf(line, sizeof line,
                          "%5d s  in %d/%d  connecting %d  failed %d  events/s %lld  "
                          "rtt p50 %.1f p99 %.1f ms  cpu %.0f%%  rss %.1f MiB",
                          s.t, s.in, options_.bots, s.connecting, s.failed, s.events, s.trip_p50_ms,
                          s.trip_p99_ms, s.cpu_percent, s.rss_mib);
        } else {
            std::snprintf(line, sizeof line,
                          "%5d s  in %d/%d  connecting %d  failed %d  events/s %lld  "
                          "rtt -  cpu %.0f%%  rss %.1f MiB",
                          s.t, s.in, options_.bots, s.connecting, s.failed, s.events, s.cpu_percent,
                          s.rss_mib);
        }
        std::string text = line;
        const std::size_t width = std::max(text.size(), progress_width_);
        progress_width_ = text.size();
        text.resize(width, ' ');
        *progress_ << '\r' << text << std::flush;
        progress_shown_ = true;
    }

    void clear_progress() {
        if (!progress_shown_) return;
        *progress_ << '\r' << std::string(progress_width_, ' ') << '\r' << std::flush;
        progress_shown_ = false;
        progress_width_ = 0;
    }

    Report report(Clock::time_point now);

    const Options options_;
    std::ostream* progress_;
    std::ostream& log_;
    std::mt19937 random_;

    KIVLoop* loop_ = nullptr;
    KIVNetConfig table_{};
    std::vector<std::unique_ptr<Bot>> bots_;
    std::vector<std::vector<int>> worlds_;  // the bots in each world
    std::vector<double> cell_size_;         // per world, from its "cell size" setting
    std::priority_queue<Timer, std::vector<Timer>, std::greater<Timer>> timers_;

    std::unordered_map<std::uint64_t, PendingChat> chats_;
    std::deque<std::pair<Clock::time_point, std::uint64_t>> chat_order_;
    std::uint64_t next_chat_ = 1;

    Clock::time_point started_;
    std::string started_utc_;
    Clock::time_point last_sample_;
    CpuTimes last_cpu_;

    int in_ = 0;
    int peak_in_ = 0;
    int failed_bots_ = 0;
    long long failures_ = 0;
    std::map<std::string, long long> failures_by_step_;
    std::vector<FailureNote> first_failures_;
    long long events_ = 0;
    long long second_events_ = 0;
    std::array<long long, KIV_EVENT_COUNT> event_counts_{};
    std::array<long long, KIV_CALLBACK_COUNT> callback_counts_{};
    std::array<std::vector<double>, kTripKinds> samples_;
    std::vector<double> second_samples_;
    std::array<long long, kTripKinds> sent_{};
    std::array<long long, kTripKinds> unanswered_{};

    std::vector<SecondSample> series_;
    bool progress_shown_ = false;
    std::size_t progress_width_ = 0;
};

Report Swarm::run(const volatile std::sig_atomic_t* stop) {
    g_library_log = &log_;
    g_library_lines = 0;
    kiv_log_set(nullptr, KIV_LOG_WARNING, &library_line);

    loop_ = kiv_loop_create();
    if (loop_ == nullptr || kiv_loop_table(loop_, &table_) != KIV_RC_SUCCESS) {
        Report empty = report(Clock::now());
        empty.fault = "the shared loop cannot be made";
        return empty;
    }

    // Paths on a grid, one per bot; phases and first actions at random.
    const int columns = std::max(1, static_cast<int>(std::ceil(std::sqrt(options_.bots))));
    const double spacing = 2 * options_.path_size + 4;
    const double perimeter =
        options_.path == PathShape::kCircle ? 2 * kPi * options_.path_size : 8 * options_.path_size;
    std::uniform_real_distribution<double> along(0, perimeter);
    started_ = Clock::now();
    started_utc_ = utc_now();
    last_sample_ = started_;
    last_cpu_ = cpu_times();
    for (int i = 0; i < options_.bots; ++i) {
        auto bot = std::make_unique<Bot>();
        bot->swarm = this;
        bot->index = i;
        bot->name = options_.name_prefix + std::to_string(i);
        bot->world = static_cast<std::size_t>(i) % options_.worlds.size();
        bot->center_x = (i % columns) * spacing;
        bot->center_z = (i / columns) * spacing;
        bot->phase = along(random_);
        bot->x = bot->center_x;
        bot->z = bot->center_z;
        bots_.push_back(std::move(bot));
        timers_.push({started_ + to_duration(i / options_.ramp), i, Action::kStart, 0});
    }

    const auto end = started_ + to_duration(options_.duration);
    auto next_tick = started_ + std::chrono::seconds(1);
    int tick = 1;
    int failed_waits = 0;
    auto last_pass = started_;
    std::string fault;
    bool stopped = false;
    for (;;) {
        auto now = Clock::now();
        while (!timers_.empty() && timers_.top().at <= now) {
            const Timer timer = timers_.top();
            timers_.pop();
            fire(timer, now);
        }
        now = Clock::now();
        while (next_tick <= now) {
            expire_chats(now);
            sample(tick++, now);
            next_tick += std::chrono::seconds(1);
        }
        if (now >= end) break;
        if (stop != nullptr && *stop != 0) {
            stopped = true;
            break;
        }
        auto deadline = std::min(end, next_tick);
        if (!timers_.empty()) deadline = std::min(deadline, timers_.top().at);
        int wait_ms = 0;
        if (options_.pass_every_ms > 0) {
            // Sleep to the next pass or the next bot action, whichever is
            // first; the loop runs only at its own pace, without blocking.
            const auto pass_at = last_pass + std::chrono::milliseconds(options_.pass_every_ms);
            const auto wake = std::min(deadline, pass_at);
            if (wake > now) std::this_thread::sleep_until(wake);
            if (Clock::now() < pass_at) continue;  // a bot's action is due first
            last_pass = Clock::now();
        } else {
            const double left = std::chrono::duration<double, std::milli>(deadline - now).count();
            wait_ms = static_cast<int>(std::clamp(std::ceil(left), 0.0, 100.0));
        }
        if (kiv_loop_wait(loop_, wait_ms) != KIV_RC_SUCCESS) {
            // A signal interrupts a wait; anything else that repeats ends the run.
            if (stop != nullptr && *stop != 0) {
                stopped = true;
                break;
            }
            if (++failed_waits == 100) {
                fault = "the shared loop's wait keeps failing";
                break;
            }
        } else {
            failed_waits = 0;
        }
    }
    clear_progress();
    Report result = report(Clock::now());
    result.fault = fault;
    result.stopped_early = stopped;
    kiv_log_set(nullptr, KIV_LOG_WARNING, nullptr);
    g_library_log = nullptr;
    return result;
}

Report Swarm::report(Clock::time_point now) {
    Report r;
    r.options = options_;
    r.started_utc = started_utc_;
    const int version = kiv_version();
    r.library_version = std::to_string(version / 10000) + "." +
                        std::to_string(version / 100 % 100) + "." + std::to_string(version % 100);
    r.elapsed_s = started_ == Clock::time_point{} ? 0 : Seconds(now - started_).count();
    r.requested = options_.bots;
    r.in = in_;
    r.peak_in = peak_in_;
    r.connecting = connecting();
    r.failed_bots = failed_bots_;
    r.failures = failures_;
    r.failures_by_step = failures_by_step_;
    r.first_failures = first_failures_;
    r.events = events_;
    for (int event = 0; event < KIV_EVENT_COUNT; ++event) {
        const long long count = event_counts_[static_cast<std::size_t>(event)];
        if (count > 0) r.events_by_kind[event_name(event)] += count;
    }
    for (int callback = 0; callback < KIV_CALLBACK_COUNT; ++callback) {
        const long long count = callback_counts_[static_cast<std::size_t>(callback)];
        if (count > 0) r.events_by_kind[callback_name(callback)] += count;
    }
    r.trips_sent = sent_;
    r.trips_unanswered = unanswered_;
    // What is still on its way at the end was not answered in time.
    for (const auto& bot : bots_) {
        switch (bot->state) {
            case BotState::kConnecting: ++r.trips_unanswered[index(Trip::kConnect)]; break;
            case BotState::kLoggingIn: ++r.trips_unanswered[index(Trip::kLogin)]; break;
            case BotState::kEntering: ++r.trips_unanswered[index(Trip::kEnter)]; break;
            case BotState::kReentering: ++r.trips_unanswered[index(Trip::kReenter)]; break;
            default: break;
        }
        if (bot->build_pending) ++r.trips_unanswered[index(build_trip(bot->build_step))];
        if (bot->query_pending) ++r.trips_unanswered[index(Trip::kCellQuery)];
    }
    r.trips_unanswered[index(Trip::kChat)] += static_cast<long long>(chats_.size());
    for (std::size_t i = 0; i < kTripKinds; ++i) r.trips[i] = summarize(samples_[i]);
    const CpuTimes cpu = cpu_times();
    r.cpu_user_s = cpu.user;
    r.cpu_system_s = cpu.system;
    // The kernel's peak and /proc's resident size count a little differently;
    // the peak is never below what was seen.
    r.rss_end_mib = resident_mib();
    r.rss_peak_mib = std::max(peak_resident_mib(), r.rss_end_mib);
    for (const SecondSample& s : series_) r.rss_peak_mib = std::max(r.rss_peak_mib, s.rss_mib);
    r.series = series_;
    return r;
}

}  // namespace

Report run_swarm(const Options& options, std::ostream* progress, std::ostream& log,
                 const volatile std::sig_atomic_t* stop) {
    Swarm swarm(options, progress, log);
    return swarm.run(stop);
}

long raise_open_file_limit() {
    rlimit limit{};
    if (::getrlimit(RLIMIT_NOFILE, &limit) != 0) return -1;
    if (limit.rlim_cur < limit.rlim_max) {
        const rlim_t wanted = limit.rlim_max;
        limit.rlim_cur = wanted;
        if (::setrlimit(RLIMIT_NOFILE, &limit) != 0) ::getrlimit(RLIMIT_NOFILE, &limit);
    }
    return limit.rlim_cur == RLIM_INFINITY ? -1 : static_cast<long>(limit.rlim_cur);
}

double resident_mib() {
    std::FILE* file = std::fopen("/proc/self/statm", "r");
    if (file == nullptr) return 0;
    unsigned long size = 0, resident = 0;
    const int read = std::fscanf(file, "%lu %lu", &size, &resident);
    std::fclose(file);
    if (read != 2) return 0;
    return static_cast<double>(resident) * static_cast<double>(::sysconf(_SC_PAGESIZE)) /
           (1024.0 * 1024.0);
}

}  // namespace kivsdk::tools::swarm
