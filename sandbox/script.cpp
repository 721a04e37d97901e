#include "script.h"

#include <sys/timerfd.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <map>
#include <sstream>
#include <stdexcept>

#include "actors.h"
#include "control.h"
#include "directory.h"
#include "sandbox.h"
#include "world_service.h"

namespace kivsdk::sandbox {
namespace {

// What each command takes: w a word, n a number, r the rest of the line as
// text, b "begin" or "end", o "on" or "off"; what follows '|' may be left
// out. The usage goes into errors. AVATAR names an avatar in the actor's
// world, "all" everyone else there; USER names any user.
struct Command {
    const char* name;
    const char* arguments;
    const char* usage;
};
constexpr Command kCommands[] = {
    {"enter", "ww|nnnnn", "NAME WORLD [X Y Z [YAW [AVATAR_TYPE]]]"},
    {"move", "wnnn|nn", "NAME X Y Z [YAW [AVATAR_TYPE]]"},
    {"say", "wr", "NAME TEXT"},
    {"leave", "w", "NAME"},
    {"object", "wwnnn", "NAME MODEL X Y Z"},
    {"setting", "wwr", "NAME SETTING VALUE"},
    {"terrain", "wnnnnn", "NAME TILE_X TILE_Z NODE_X NODE_Z HEIGHT"},
    {"click", "ww", "NAME AVATAR"},
    {"click-object", "wn|w", "NAME OBJECT_ID [AVATAR|all]"},
    {"bump", "wnb|w", "NAME OBJECT_ID begin|end [AVATAR|all]"},
    {"teleport", "wwwnnn|n", "NAME AVATAR WORLD X Y Z [YAW]"},
    {"url", "wwr", "NAME AVATAR|all URL"},
    {"console", "wwr", "NAME AVATAR|all TEXT"},
    {"invite", "www|nnnn", "NAME USER WORLD [X Y Z [YAW]]"},
    {"join", "ww", "NAME USER"},
    {"permission", "wwwo", "NAME PERMISSION USER on|off"},
    {"freeze", "n", "SECONDS"},
    {"drop", "w|ww", "universe|all|world NAME [reset]"},
    {"refuse-logins", "nn", "COUNT RESULT"},
    {"remove-world", "w", "WORLD"},
    {"keepalive", "n", "SECONDS"},
};

bool is_number(const std::string& text, double& value) {
    if (text.empty()) return false;
    errno = 0;
    char* end = nullptr;
    value = std::strtod(text.c_str(), &end);
    return errno == 0 && *end == '\0' && std::isfinite(value);
}

// The words of `text` with where each starts.
std::vector<std::pair<std::string, std::size_t>> words_of(const std::string& text) {
    std::vector<std::pair<std::string, std::size_t>> words;
    std::size_t at = 0;
    for (;;) {
        at = text.find_first_not_of(" \t\r", at);
        if (at == std::string::npos) return words;
        const std::size_t end = std::min(text.find_first_of(" \t\r", at), text.size());
        words.emplace_back(text.substr(at, end - at), at);
        at = end;
    }
}

// Fills the step's words (and rest) from the command text; empty when it
// fits its command, else what is wrong.
std::string read_command(const std::string& text, ScriptStep& step) {
    const auto words = words_of(text);
    const auto command = std::find_if(std::begin(kCommands), std::end(kCommands),
                                      [&](const Command& c) { return words[0].first == c.name; });
    if (command == std::end(kCommands)) return "unknown command \"" + words[0].first + "\"";
    const std::string kinds = command->arguments;
    const std::size_t required = std::min(kinds.find('|'), kinds.size());
    step.words = {words[0].first};
    std::size_t given = 0;
    for (std::size_t k = 0; k < kinds.size(); ++k) {
        const char kind = kinds[k];
        if (kind == '|') continue;
        if (given + 1 >= words.size()) break;
        const auto& word = words[given + 1];
        double number = 0;
        if (kind == 'n' && !is_number(word.first, number)) {
            return std::string(command->name) + ": \"" + word.first + "\" is not a number";
        }
        if ((kind == 'b' && word.first != "begin" && word.first != "end") ||
            (kind == 'o' && word.first != "on" && word.first != "off")) {
            return std::string(command->name) + ": \"" + word.first + "\" is not " +
                   (kind == 'b' ? "begin or end" : "on or off");
        }
        if (kind == 'r') {
            step.rest = text.substr(word.second);
            step.rest.erase(step.rest.find_last_not_of(" \t\r") + 1);
            step.words.push_back(step.rest);
            given = words.size() - 1;
            break;
        }
        step.words.push_back(word.first);
        ++given;
    }
    if (given < required || given + 1 < words.size()) {
        return std::string("usage: ") + command->name + " " + command->usage;
    }
    return {};
}

const char* status_text(ActorStatus status) {
    switch (status) {
        case ActorStatus::kOk: return "ok";
        case ActorStatus::kNoActor: return "error: no such actor in a world";
        case ActorStatus::kNoWorld: return "error: no such world";
        case ActorStatus::kRefused: return "error: refused";
        case ActorStatus::kBadValue: return "error: a value the protocol cannot carry";
    }
    return "error";
}

// The session of the avatar `target` in the world `actor` is in: 0 for
// "all" (everyone else), a number as it is, else the avatar of that name;
// -1 when there is none.
std::int32_t session_of(Sandbox& sandbox, const std::string& actor, const std::string& target) {
    double number = 0;
    if (target == "all") return 0;
    if (is_number(target, number)) return static_cast<std::int32_t>(number);
    const Account* account = sandbox.directory().find(actor);
    const WorldService* world =
        account ? sandbox.world(sandbox.directory().world_of(account->id)) : nullptr;
    if (!world) return -1;
    for (const WorldState::Avatar& avatar : world->state().avatars) {
        if (avatar.name == target) return avatar.session;
    }
    return -1;
}

}  // namespace

std::vector<ScriptStep> parse_script(const std::string& text, const std::string& name) {
    std::vector<ScriptStep> steps;
    std::istringstream in(text);
    int number = 0;
    for (std::string line; std::getline(in, line);) {
        ++number;
        const std::size_t comment = line.find('#');
        if (comment != std::string::npos) line.erase(comment);
        const auto words = words_of(line);
        if (words.empty()) continue;
        const auto fail = [&](const std::string& what) {
            return std::runtime_error(name + ":" + std::to_string(number) + ": " + what);
        };
        ScriptStep step;
        step.line = number;
        if (!is_number(words[0].first, step.at) || step.at < 0) {
            throw fail("a step starts with its time in seconds, not \"" + words[0].first + "\"");
        }
        if (words.size() < 2) throw fail("a time without a command");
        step.command = line.substr(words[1].second);
        const std::string wrong = read_command(step.command, step);
        if (!wrong.empty()) throw fail(wrong);
        steps.push_back(std::move(step));
    }
    std::stable_sort(steps.begin(), steps.end(),
                     [](const ScriptStep& a, const ScriptStep& b) { return a.at < b.at; });
    return steps;
}

std::vector<ScriptStep> load_script(const std::string& path) {
    std::ifstream file(path);
    if (!file) throw std::runtime_error("cannot read the script " + path);
    std::ostringstream text;
    text << file.rdbuf();
    return parse_script(text.str(), path);
}

std::string run_step(Sandbox& sandbox, const ScriptStep& step) {
    const std::vector<std::string>& w = step.words;
    const auto number = [&](std::size_t i) { return i < w.size() ? std::atof(w[i].c_str()) : 0.0; };
    const auto place = [&](std::size_t first) {
        return Place{number(first), number(first + 1), number(first + 2),
                     static_cast<float>(number(first + 3)), 0.0f};
    };
    Actors& actors = sandbox.actors();
    const std::string& command = w[0];
    if (command == "enter") {
        std::int32_t session = 0;
        return status_text(
            actors.enter(w[1], w[2], place(3), static_cast<std::int32_t>(number(7)), session));
    }
    if (command == "move") {
        return status_text(actors.move(w[1], place(2), static_cast<std::int32_t>(number(6))));
    }
    if (command == "say") return status_text(actors.say(w[1], step.rest));
    if (command == "leave") return status_text(actors.leave(w[1]));
    if (command == "object") {
        ObjectSpec object;
        object.strings[0] = w[2];
        object.x = number(3), object.y = number(4), object.z = number(5);
        std::int32_t id = 0;
        return status_text(actors.add_object(w[1], object, id));
    }
    if (command == "setting") return status_text(actors.set_setting(w[1], w[2], step.rest));
    if (command == "terrain") {
        return status_text(
            actors.set_terrain(w[1], static_cast<std::int32_t>(number(2)),
                               static_cast<std::int32_t>(number(3)), static_cast<int>(number(4)),
                               static_cast<int>(number(5)), static_cast<float>(number(6)), 0));
    }
    if (command == "invite" || command == "join" || command == "permission") {
        const std::string& user = w[command == "permission" ? 3 : 2];
        const Account* account = sandbox.directory().find(user);
        if (!account) return "error: no user " + user;
        if (command == "invite") {
            return status_text(actors.invite(w[1], account->id, w[3], place(4)));
        }
        if (command == "join") return status_text(actors.join(w[1], account->id));
        return status_text(actors.set_permission(w[1], w[2], account->id, w[4] == "on"));
    }
    // Steps addressed to an avatar, and the place of its word.
    static const std::map<std::string, std::size_t> kAvatarWord = {
        {"click", 2},    {"click-object", 3}, {"bump", 4},
        {"teleport", 2}, {"url", 2},          {"console", 2}};
    const auto addressed = kAvatarWord.find(command);
    if (addressed == kAvatarWord.end()) return run_control_line(sandbox, step.command);
    const std::string target = addressed->second < w.size() ? w[addressed->second] : "all";
    const std::int32_t session = session_of(sandbox, w[1], target);
    if (session < 0) return "error: no avatar " + target + " in the world of " + w[1];
    const auto object = static_cast<std::int32_t>(number(2));
    if (command == "click") return status_text(actors.click_avatar(w[1], session));
    if (command == "click-object") return status_text(actors.click_object(w[1], object, session));
    if (command == "bump") return status_text(actors.bump(w[1], object, w[3] == "begin", session));
    if (command == "teleport") return status_text(actors.teleport(w[1], session, w[3], place(4)));
    if (command == "url") return status_text(actors.send_url(w[1], session, step.rest));
    return status_text(actors.console(w[1], session, step.rest));
}

ScriptRunner::ScriptRunner(Sandbox& sandbox, std::vector<ScriptStep> steps)
    : sandbox_(sandbox), steps_(std::move(steps)), start_(std::chrono::steady_clock::now()) {
    timer_fd_ = ::timerfd_create(CLOCK_MONOTONIC, TFD_NONBLOCK | TFD_CLOEXEC);
    if (timer_fd_ < 0) {
        throw std::runtime_error(std::string("script timer: ") + std::strerror(errno));
    }
    sandbox_.loop().watch_input(timer_fd_, [this] { run_due(); });
    arm();
}

ScriptRunner::~ScriptRunner() {
    sandbox_.loop().forget_input(timer_fd_);
    ::close(timer_fd_);
}

void ScriptRunner::run_due() {
    std::uint64_t expirations = 0;
    const ssize_t read = ::read(timer_fd_, &expirations, sizeof expirations);
    static_cast<void>(read);
    const double now =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start_).count();
    for (; next_ < steps_.size() && steps_[next_].at <= now; ++next_) {
        const std::string answer = run_step(sandbox_, steps_[next_]);
        if (answer.rfind("error", 0) == 0) {
            sandbox_.loop().log_error("script line " + std::to_string(steps_[next_].line) + ": " +
                                      answer);
        }
    }
    arm();
}

void ScriptRunner::arm() {
    if (next_ >= steps_.size()) return;
    const auto due = start_ + std::chrono::duration_cast<std::chrono::nanoseconds>(
                                  std::chrono::duration<double>(steps_[next_].at));
    const auto left = std::max<std::chrono::nanoseconds::rep>(
        1,
        std::chrono::duration_cast<std::chrono::nanoseconds>(due - std::chrono::steady_clock::now())
            .count());
    itimerspec when{};
    when.it_value.tv_sec = static_cast<time_t>(left / 1000000000);
    when.it_value.tv_nsec = static_cast<long>(left % 1000000000);
    ::timerfd_settime(timer_fd_, 0, &when, nullptr);
}

}  // namespace kivsdk::sandbox
