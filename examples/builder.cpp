// builder: a bot in the callback style, in C++ with kivsdk.hpp.
//
// Nothing blocks: connecting, logging in and entering report through their
// callbacks, and each step starts the next from there. In its world the
// builder lays out a small garden of objects, moves one, queries the cell it
// built in, reshapes a terrain node and reads it back; it chats with whoever
// greets it, asks them "!time" and invites them over.
//
// kivsdk::Client owns the Instance; the handlers are lambdas that capture the
// builder's state, and a failed step throws kivsdk::Error, which the Client
// rethrows from wait() in the main loop.
//
//   builder --port 6670 --world lobby --seconds 30
//
// Options: --host H (127.0.0.1), --port P (universe port, required),
// --name N ("builder"), --password P ("sandbox"), --world W ("lobby"),
// --seconds S (longest stay, 30). It leaves once its work is done and its
// invitation has been answered.
#include <array>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>
#include <vector>

#include "kivsdk.hpp"

namespace {

using kivsdk::Client;
using kivsdk::ReturnCode;

struct Piece {
    const char* model;
    double x, z;
};

const std::vector<Piece> kGarden = {
    {"tree.rwx", 2.0, 3.0}, {"bench.rwx", 4.5, 3.5}, {"lamp.rwx", 6.0, 2.0}};

class Builder {
public:
    std::string name = "builder";
    std::string password = "sandbox";
    std::string world = "lobby";
    bool built = false;  // garden, cell query and terrain done
    bool invitation_answered = false;

    void log(const std::string& line) const {
        std::printf("[%s] %s\n", name.c_str(), line.c_str());
    }

    // Sets every handler; each step of the work starts the next.
    void attach(Client& bot) {
        bot.on(KIV_CALLBACK_CONNECT_UNIVERSE, [this](Client& c, ReturnCode rc, int) {
            kivsdk::check(rc, "connecting");
            kivsdk::check(c.login(name, password, ""), "logging in");
        });
        bot.on(KIV_CALLBACK_LOGIN, [this](Client& c, ReturnCode rc, int) {
            kivsdk::check(rc, "logging in");
            log("logged in as user " + std::to_string(c.get(KIV_LOGIN_REPLY_VALUE)));
            kivsdk::check(c.enter(world), "entering");
        });
        bot.on(KIV_CALLBACK_ENTER, [this](Client& c, ReturnCode rc, int) {
            kivsdk::check(rc, "entering");
            log("entered \"" + world + "\"");
            c.set(KIV_MY_X, 4.0);
            c.set(KIV_MY_Z, 1.0);
            kivsdk::check(c.state_change(), "publishing the position");
            for (std::size_t i = 0; i < kGarden.size(); ++i) add_piece(c, i);
        });
        bot.on(KIV_CALLBACK_OBJECT_ADD, [this](Client& c, ReturnCode rc, int reference) {
            kivsdk::check(rc, "adding an object");
            const Piece& piece = kGarden.at(static_cast<std::size_t>(reference));
            ids_.push_back(c.get(KIV_OBJECT_ID));
            log("added " + std::string(piece.model) + " as object " + std::to_string(ids_.back()));
            if (ids_.size() < kGarden.size()) return;
            // All planted: move the lamp a little.
            const Piece& lamp = kGarden.back();
            c.set(KIV_OBJECT_ID, ids_.back());
            c.set(KIV_OBJECT_X, lamp.x + 1.0);
            c.set(KIV_OBJECT_Z, lamp.z);
            c.set(KIV_OBJECT_STRING_1, lamp.model);
            kivsdk::check(c.object_change(), "moving the lamp");
        });
        bot.on(KIV_CALLBACK_OBJECT_CHANGE, [this](Client& c, ReturnCode rc, int) {
            kivsdk::check(rc, "moving the lamp");
            log("moved object " + std::to_string(c.get(KIV_OBJECT_ID)) + " one step east");
            kivsdk::check(c.query_cell(0, 0), "querying cell (0, 0)");
        });
        bot.on(KIV_EVENT_OBJECT, [this](Client& c) {
            ++cell_objects_;
            log("  cell holds object " + std::to_string(c.get(KIV_OBJECT_ID)) + " \"" +
                c.get(KIV_OBJECT_STRING_1) + "\" owned by user " +
                std::to_string(c.get(KIV_OBJECT_INT_1)));
        });
        bot.on(KIV_EVENT_CELL_END, [this](Client& c) {
            log("cell (" + std::to_string(c.get(KIV_CELL_X)) + ", " +
                std::to_string(c.get(KIV_CELL_Z)) + ") is at revision " +
                std::to_string(c.get(KIV_CELL_REVISION)) + " with " +
                std::to_string(cell_objects_) + " object(s)");
            // A gentle hill in node (0, 0) of tile (0, 0).
            std::array<KIVTerrainCell, 64> cells{};
            for (int k = 0; k < 64; ++k) {
                const double dx = k % 8 - 3.5, dz = k / 8 - 3.5;
                cells[static_cast<std::size_t>(k)].height =
                    static_cast<float>(4.0 - 0.15 * (dx * dx + dz * dz));
                cells[static_cast<std::size_t>(k)].attributes = 1;
            }
            kivsdk::check(c.terrain_node_set(0, 0, 0, 0, cells), "shaping the terrain");
        });
        bot.on(KIV_CALLBACK_TERRAIN_NODE_SET, [this](Client& c, ReturnCode rc, int) {
            kivsdk::check(rc, "shaping the terrain");
            log("raised a hill in terrain node (0, 0) of tile (0, 0)");
            std::array<int, 16> revisions;
            revisions.fill(-1);
            kivsdk::check(c.terrain_query(0, 0, revisions), "reading the terrain back");
        });
        bot.on(KIV_EVENT_TERRAIN_NODE, [this](Client& c) {
            // 64 cells of 8 bytes, in the layout of KIVTerrainCell.
            const std::vector<unsigned char> bytes = c.data(KIV_TERRAIN_NODE_DATA);
            std::vector<KIVTerrainCell> cells(bytes.size() / sizeof(KIVTerrainCell));
            if (!cells.empty())
                std::memcpy(cells.data(), bytes.data(), cells.size() * sizeof(KIVTerrainCell));
            float top = 0.0f;
            for (const KIVTerrainCell& cell : cells) top = std::fmax(top, cell.height);
            char line[160];
            std::snprintf(line, sizeof line,
                          "  terrain node (%d, %d) revision %d, highest point %.2f",
                          c.get(KIV_TERRAIN_NODE_X), c.get(KIV_TERRAIN_NODE_Z),
                          c.get(KIV_TERRAIN_NODE_REVISION), static_cast<double>(top));
            log(line);
        });
        bot.on(KIV_CALLBACK_TERRAIN_QUERY, [this](Client&, ReturnCode rc, int) {
            kivsdk::check(rc, "reading the terrain back");
            log("the garden is done");
            built = true;
        });
        bot.on(KIV_EVENT_AVATAR_ADD, [this](Client& c) {
            const std::string who = c.get(KIV_AVATAR_NAME);
            log("sees " + who + " (user " + std::to_string(c.get(KIV_USER_ID)) + ")");
            if (invited_) return;
            invited_ = true;
            c.say("!time");
            log("says: !time");
            kivsdk::check(c.invite(c.get(KIV_USER_ID), world, 4.0, 0.0, 3.0, 90.0f, 0.0f),
                          "inviting");
            log("invites " + who + " over");
        });
        bot.on(KIV_EVENT_CHAT, [this](Client& c) {
            log("hears " + c.get(KIV_AVATAR_NAME) + ": " + c.get(KIV_CHAT_MESSAGE));
        });
        bot.on(KIV_CALLBACK_INVITE, [this](Client& c, ReturnCode rc, int) {
            invitation_answered = true;
            log(c.get(KIV_INVITE_NAME) +
                (rc == ReturnCode::success
                     ? " accepted the invitation"
                     : " did not accept (code " + std::to_string(static_cast<int>(rc)) + ")"));
        });
    }

private:
    void add_piece(Client& c, std::size_t index) {
        const Piece& piece = kGarden[index];
        c.set(KIV_OBJECT_TYPE, 1);
        c.set(KIV_OBJECT_X, piece.x);
        c.set(KIV_OBJECT_Y, 0.0);
        c.set(KIV_OBJECT_Z, piece.z);
        c.set(KIV_OBJECT_STRING_1, piece.model);
        c.set(KIV_OBJECT_STRING_2, "planted by the builder");
        c.set(KIV_OBJECT_STRING_3, "");
        // The reference comes back with the callback: the index in the garden.
        c.set(KIV_REFERENCE_NUMBER, static_cast<int>(index));
        kivsdk::check(c.object_add(), "adding an object");
    }

    std::vector<int> ids_;  // objects added, in order
    int cell_objects_ = 0;
    bool invited_ = false;
};

}  // namespace

int main(int argc, char** argv) {
    Builder b;
    std::string host = "127.0.0.1";
    int port = 0;
    int seconds = 30;
    for (int i = 1; i + 1 < argc; i += 2) {
        const std::string option = argv[i];
        const char* value = argv[i + 1];
        if (option == "--host")
            host = value;
        else if (option == "--port")
            port = std::atoi(value);
        else if (option == "--name")
            b.name = value;
        else if (option == "--password")
            b.password = value;
        else if (option == "--world")
            b.world = value;
        else if (option == "--seconds")
            seconds = std::atoi(value);
        else {
            std::fprintf(stderr, "unknown option %s (see the top of builder.cpp)\n",
                         option.c_str());
            return 2;
        }
    }
    if (port <= 0) {
        std::fprintf(stderr, "builder: --port is required\n");
        return 2;
    }
    std::setvbuf(stdout, nullptr, _IOLBF, 0);
    if (kivsdk::init() != ReturnCode::success) return 1;

    try {
        Client bot;
        b.attach(bot);
        // With its callback set, the connect returns at once; so does
        // everything after it.
        kivsdk::check(bot.connect_universe(host, port), "connecting");
        const std::time_t deadline = std::time(nullptr) + seconds;
        // A little after the work is done, so the last chat lines arrive too.
        int linger = 10;
        while (std::time(nullptr) < deadline && linger > 0) {
            if (bot.wait(100) != ReturnCode::success) break;
            if (b.built && b.invitation_answered) --linger;
        }
    } catch (const kivsdk::Error& error) {
        b.log(std::string("failed: ") + error.what());  // "<step>: <code name> (<code>)"
        b.log("giving up");
        return 1;
    }
    b.log("leaving");
    return b.built ? 0 : 1;
}
