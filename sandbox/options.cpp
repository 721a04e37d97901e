#include "options.h"

#include <cerrno>
#include <cstdlib>

namespace kivsdk::sandbox {

bool parse_number(const std::string& text, long low, long high, long& value) {
    if (text.empty()) return false;
    errno = 0;
    char* end = nullptr;
    const long parsed = std::strtol(text.c_str(), &end, 10);
    if (errno != 0 || *end != '\0' || parsed < low || parsed > high) return false;
    value = parsed;
    return true;
}

namespace {

// NAME[:tls|:plain][:PORT]
bool parse_world(const std::string& text, WorldOption& world) {
    std::vector<std::string> parts;
    std::size_t start = 0;
    for (;;) {
        const std::size_t colon = text.find(':', start);
        parts.push_back(text.substr(start, colon - start));
        if (colon == std::string::npos) break;
        start = colon + 1;
    }
    if (parts.empty() || parts[0].empty() || parts[0].size() > 255 || parts.size() > 3)
        return false;
    world.name = parts[0];
    for (std::size_t i = 1; i < parts.size(); ++i) {
        long port = 0;
        if (parts[i] == "tls") {
            world.secure = true;
        } else if (parts[i] == "plain") {
            world.secure = false;
        } else if (parse_number(parts[i], 0, 65535, port)) {
            world.port = static_cast<int>(port);
        } else {
            return false;
        }
    }
    return true;
}

}  // namespace

std::string usage_text() {
    return R"(Usage: kivsandbox [options]

A sandbox universe server and its world servers in one process, for writing
and testing bots offline. State is kept in memory only.

Options:
  --bind ADDRESS          numeric address to listen on (default 127.0.0.1)
  --universe-port PORT    universe port; 0 picks a free one (default 0)
  --world NAME[:tls|:plain][:PORT]
                          add a world, in the clear (plain, the default) or
                          over TLS; repeatable. Without --world: "lobby"
                          (plain) and "garden" (tls), on free ports
  --world-host NAME       host name handed out with world tickets
                          (default: the bind address)
  --password TEXT         every login must use this password
                          (default: any password is accepted)
  --admin NAME            this user holds "admin" in every world; repeatable.
                          The first user to enter a world always owns it
  --universe-cert FILE    universe certificate (PEM)
  --universe-key FILE     its private key
  --world-cert FILE       certificate of the TLS worlds (PEM)
  --world-key FILE        its private key
                          (default: the sandbox PKI; $KIVSDK_SANDBOX_PKI,
                          else the one installed beside the program, else
                          the build's)
  --port-file FILE        also write the ready line to FILE
  --stall-timeout SECONDS close clients whose handshake, frame or output
                          stalls this long (default 20)
  --idle-timeout SECONDS  close clients silent this long (default 120)
  --max-clients N         refuse connections beyond N (default 4096)
  --keepalive SECONDS     send each client a keep-alive after this long
                          without sending it anything; 0: never (default 30)
  --refuse-logins N:RESULT
                          the first N logins that would succeed get RESULT
                          instead (1 refused, 2 rejected, 3 denied)
  --control-port PORT     accept switch commands on 127.0.0.1 PORT (0: a
                          free one, added to the ready line as control=PORT)
  --script FILE           play a scene: one step a line, "SECONDS COMMAND
                          ARGUMENTS" counted from the start ('#' comments):
                            enter NAME WORLD [X Y Z [YAW [AVATAR_TYPE]]]
                            move NAME X Y Z [YAW [AVATAR_TYPE]]
                            say NAME TEXT       leave NAME
                            object NAME MODEL X Y Z
                            setting NAME SETTING VALUE
                            terrain NAME TILE_X TILE_Z NODE_X NODE_Z HEIGHT
                            click NAME AVATAR
                            click-object NAME OBJECT_ID [AVATAR|all]
                            bump NAME OBJECT_ID begin|end [AVATAR|all]
                            teleport NAME AVATAR WORLD X Y Z [YAW]
                            url NAME AVATAR|all URL
                            console NAME AVATAR|all TEXT
                            invite NAME USER WORLD [X Y Z [YAW]]
                            join NAME USER
                            permission NAME PERMISSION USER on|off
                          and the control port's commands. NAME is a
                          scripted user (an admin of the worlds it enters),
                          AVATAR one in its world by name, USER any user
  --http PORT             serve the live view, a page showing the worlds
                          and a read-only JSON API, on 127.0.0.1 PORT (0: a
                          free one, added to the ready line as http=PORT)
  --http-bind ADDRESS     numeric address of the live view (default
                          127.0.0.1; anything else opens it to the network)
  --quiet                 log errors only, not every connection
  --help                  show this text

When every port is listening, kivsandbox prints one line on standard output:
  ready universe=PORT world NAME=PORT ... [control=PORT] [http=PORT]
It logs one line per connection and per error to standard error, and stops
on SIGINT or SIGTERM.

Control port: a connection writes one command per line and reads one answer
line per command ("ok", "ok N" after a drop, or "error: TEXT"):
  freeze SECONDS          stop reading, writing and accepting while every
                          connection stays open; 0 resumes (fractions allowed)
  drop universe|all [reset]
  drop world NAME [reset] close those clients (cleanly, or with a TCP reset)
  refuse-logins N RESULT  as --refuse-logins; N 0 ends the refusals
  remove-world NAME       drop its clients, close its port, stop listing it;
                          entering it is refused (status 1)
  keepalive SECONDS       as --keepalive

World rules: the first user to enter a world owns it (holds "admin").
"build" and "terrain" are open to everyone until someone is granted them.
Objects are changed and deleted by their owner or an admin; loading objects,
setting permissions and listing other users' permissions need "admin",
changing settings "admin" or "settings". Permissions: admin, build, terrain,
settings, eject. An object at (x, z) lies in cell (floor(x/10), floor(z/10)).
)";
}

CommandLine parse_command_line(const std::vector<std::string>& arguments,
                               const std::string& default_pki) {
    CommandLine line;
    Options& o = line.options;
    o.universe_identity = {default_pki + "/universe-server.pem",
                           default_pki + "/universe-server.key"};
    o.world_identity = {default_pki + "/world-server.pem", default_pki + "/world-server.key"};
    const auto error = [&](const std::string& text) {
        line.action = CommandLine::Action::kError;
        line.error = text;
        return line;
    };
    for (std::size_t i = 0; i < arguments.size(); ++i) {
        const std::string& name = arguments[i];
        if (name == "--help" || name == "-h") {
            line.action = CommandLine::Action::kHelp;
            return line;
        }
        if (name == "--quiet") {
            o.log_connections = false;
            continue;
        }
        if (i + 1 >= arguments.size()) return error(name + " needs a value (see --help)");
        const std::string& value = arguments[++i];
        long number = 0;
        if (name == "--bind") {
            o.bind = value;
        } else if (name == "--universe-port") {
            if (!parse_number(value, 0, 65535, number)) return error("bad port: " + value);
            o.universe_port = static_cast<int>(number);
        } else if (name == "--world") {
            WorldOption world;
            if (!parse_world(value, world))
                return error("bad world (NAME[:tls|:plain][:PORT]): " + value);
            for (const WorldOption& other : o.worlds) {
                if (other.name == world.name) return error("world given twice: " + world.name);
            }
            o.worlds.push_back(world);
        } else if (name == "--world-host") {
            o.world_host = value;
        } else if (name == "--password") {
            o.password = value;
        } else if (name == "--admin") {
            o.admins.push_back(value);
        } else if (name == "--universe-cert") {
            o.universe_identity.cert = value;
        } else if (name == "--universe-key") {
            o.universe_identity.key = value;
        } else if (name == "--world-cert") {
            o.world_identity.cert = value;
        } else if (name == "--world-key") {
            o.world_identity.key = value;
        } else if (name == "--port-file") {
            o.port_file = value;
        } else if (name == "--stall-timeout") {
            if (!parse_number(value, 1, 86400, number))
                return error("bad --stall-timeout: " + value);
            o.limits.stall_seconds = static_cast<int>(number);
        } else if (name == "--idle-timeout") {
            if (!parse_number(value, 1, 86400, number))
                return error("bad --idle-timeout: " + value);
            o.limits.idle_seconds = static_cast<int>(number);
        } else if (name == "--max-clients") {
            if (!parse_number(value, 1, 1000000, number))
                return error("bad --max-clients: " + value);
            o.limits.max_clients = static_cast<std::size_t>(number);
        } else if (name == "--keepalive") {
            if (!parse_number(value, 0, 86400, number)) return error("bad --keepalive: " + value);
            o.limits.keepalive_seconds = static_cast<int>(number);
        } else if (name == "--refuse-logins") {
            const std::size_t colon = value.find(':');
            long result = 0;
            if (colon == std::string::npos ||
                !parse_number(value.substr(0, colon), 0, 1000000, number) ||
                !parse_number(value.substr(colon + 1), 1, 255, result)) {
                return error("bad --refuse-logins (N:RESULT): " + value);
            }
            o.refused_logins = static_cast<int>(number);
            o.refusal_result = static_cast<std::uint8_t>(result);
        } else if (name == "--script") {
            o.script = value;
        } else if (name == "--http") {
            if (!parse_number(value, 0, 65535, number)) return error("bad --http port: " + value);
            o.http_port = static_cast<int>(number);
        } else if (name == "--http-bind") {
            if (value.empty()) return error("bad --http-bind address: " + value);
            o.http_bind = value;
        } else if (name == "--control-port") {
            if (!parse_number(value, 0, 65535, number)) return error("bad port: " + value);
            o.control_port = static_cast<int>(number);
        } else {
            return error("unknown option " + name + " (see --help)");
        }
    }
    return line;
}

}  // namespace kivsdk::sandbox
