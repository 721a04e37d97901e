// Scenes for kivsandbox --script FILE: one step a line, "SECONDS COMMAND
// ARGUMENTS", played from the sandbox's start so that a bot meets users,
// chat, objects and faults without a test program. '#' starts a comment.
//
//   0    enter ann lobby 1 0 2        NAME WORLD [X Y Z [YAW [AVATAR_TYPE]]]
//   1.5  say ann hello there          NAME TEXT
//   2    move ann 3 0 4               NAME X Y Z [YAW [AVATAR_TYPE]]
//   3    object ann tree.rwx 12 0 3   NAME MODEL X Y Z
//   3    setting ann sky red          NAME SETTING VALUE
//   3    terrain ann 0 0 1 1 4.5      NAME TILE_X TILE_Z NODE_X NODE_Z HEIGHT
//   3    click ann greeter            NAME AVATAR
//   3    click-object ann 1           NAME OBJECT_ID [AVATAR|all]
//   3    bump ann 1 begin             NAME OBJECT_ID begin|end [AVATAR|all]
//   3    teleport ann greeter lobby 1 0 1
//                                     NAME AVATAR WORLD X Y Z [YAW]
//   3    url ann all https://x.test/  NAME AVATAR|all URL
//   3    console ann greeter hi       NAME AVATAR|all TEXT
//   3    invite ann greeter garden    NAME USER WORLD [X Y Z [YAW]]
//   3    join ann greeter             NAME USER
//   3    permission ann build greeter on
//                                     NAME PERMISSION USER on|off
//   4    leave ann                    NAME
//   5    freeze 2                     and the other control commands (control.h)
//
// Actors are the users of actors.h. AVATAR is an avatar of the actor's world
// by name (or session number), "all" everyone else there; USER is any user
// by name. A step that fails is logged with its line; a line that cannot be
// a step stops the start with its line number.
#pragma once

#include <chrono>
#include <string>
#include <vector>

namespace kivsdk::sandbox {

class Sandbox;

struct ScriptStep {
    double at = 0;  // seconds after the start
    int line = 0;
    std::vector<std::string> words;  // the command and its arguments
    std::string rest;                // the text argument of say and setting, whole
    std::string command;             // the line without its time
};

// Throws std::runtime_error "NAME:LINE: what is wrong".
std::vector<ScriptStep> parse_script(const std::string& text, const std::string& name);
// Reads and parses the file; throws std::runtime_error.
std::vector<ScriptStep> load_script(const std::string& path);

// Carries out one step now; "ok" or "error: TEXT".
std::string run_step(Sandbox& sandbox, const ScriptStep& step);

// Plays steps on the sandbox's loop at their times, counted from its
// construction.
class ScriptRunner {
public:
    ScriptRunner(Sandbox& sandbox, std::vector<ScriptStep> steps);
    ~ScriptRunner();
    ScriptRunner(const ScriptRunner&) = delete;
    ScriptRunner& operator=(const ScriptRunner&) = delete;

private:
    void run_due();
    void arm();

    Sandbox& sandbox_;
    std::vector<ScriptStep> steps_;
    std::size_t next_ = 0;
    int timer_fd_ = -1;
    std::chrono::steady_clock::time_point start_;
};

}  // namespace kivsdk::sandbox
