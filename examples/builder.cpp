// builder: a bot in the callback style, in C++ against the C interface.
//
// Nothing blocks: connecting, logging in and entering report through their
// callbacks, and each step starts the next from there. In its world the
// builder lays out a small garden of objects, moves one, queries the cell it
// built in, reshapes a terrain node and reads it back; it chats with whoever
// greets it, asks them "!time" and invites them over.
//
//   builder --port 6670 --world lobby --seconds 30
//
// Options: --host H (127.0.0.1), --port P (universe port, required),
// --name N ("builder"), --password P ("sandbox"), --world W ("lobby"),
// --seconds S (longest stay, 30). It leaves once its work is done and its
// invitation has been answered.
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>
#include <vector>

#include "kivsdk.h"

namespace {

struct Piece {
    const char* model;
    double x, z;
};

const std::vector<Piece> kGarden = {{"tree.rwx", 2.0, 3.0}, {"bench.rwx", 4.5, 3.5}, {"lamp.rwx", 6.0, 2.0}};

struct Builder {
    std::string name = "builder";
    std::string password = "sandbox";
    std::string world = "lobby";
    std::vector<int> ids;          // objects added, in order
    int cell_objects = 0;
    bool built = false;            // garden, cell query and terrain done
    bool invited = false;          // someone was invited
    bool invitation_answered = false;
    bool failed = false;

    void log(const std::string& line) const { std::printf("[%s] %s\n", name.c_str(), line.c_str()); }
};

Builder& self(KIVInstance* bot) { return *static_cast<Builder*>(kiv_user_data(bot)); }

std::string text(KIVInstance* bot, int index) { return kiv_string(bot, index); }

void check(KIVInstance* bot, int rc, const char* what) {
    if (rc == 0) return;
    self(bot).log(std::string(what) + " failed: return code " + std::to_string(rc));
    self(bot).failed = true;
}

void add_piece(KIVInstance* bot, const Piece& piece) {
    kiv_int_set(bot, KIV_OBJECT_TYPE, 1);
    kiv_double_set(bot, KIV_OBJECT_X, piece.x);
    kiv_double_set(bot, KIV_OBJECT_Y, 0.0);
    kiv_double_set(bot, KIV_OBJECT_Z, piece.z);
    kiv_string_set(bot, KIV_OBJECT_STRING_1, piece.model);
    kiv_string_set(bot, KIV_OBJECT_STRING_2, "planted by the builder");
    kiv_string_set(bot, KIV_OBJECT_STRING_3, "");
    // The reference comes back with the callback: the index in the garden.
    kiv_int_set(bot, KIV_REFERENCE_NUMBER, static_cast<int>(&piece - kGarden.data()));
    check(bot, kiv_object_add(bot), "adding an object");
}

// ---- The building work, one step per callback -----------------------------

void on_object_added(KIVInstance* bot, int rc, int reference) {
    Builder& b = self(bot);
    const Piece& piece = kGarden.at(static_cast<std::size_t>(reference));
    if (rc != 0) return check(bot, rc, "adding an object");
    b.ids.push_back(kiv_int(bot, KIV_OBJECT_ID));
    b.log("added " + std::string(piece.model) + " as object " + std::to_string(b.ids.back()));
    if (b.ids.size() < kGarden.size()) return;
    // All planted: move the lamp a little.
    const Piece& lamp = kGarden.back();
    kiv_int_set(bot, KIV_OBJECT_ID, b.ids.back());
    kiv_double_set(bot, KIV_OBJECT_X, lamp.x + 1.0);
    kiv_double_set(bot, KIV_OBJECT_Z, lamp.z);
    kiv_string_set(bot, KIV_OBJECT_STRING_1, lamp.model);
    check(bot, kiv_object_change(bot), "moving the lamp");
}

void on_object_changed(KIVInstance* bot, int rc, int) {
    if (rc != 0) return check(bot, rc, "moving the lamp");
    self(bot).log("moved object " + std::to_string(kiv_int(bot, KIV_OBJECT_ID)) + " one step east");
    check(bot, kiv_query_cell(bot, 0, 0), "querying cell (0, 0)");
}

void on_cell_object(KIVInstance* bot) {
    Builder& b = self(bot);
    ++b.cell_objects;
    b.log("  cell holds object " + std::to_string(kiv_int(bot, KIV_OBJECT_ID)) + " \"" +
          text(bot, KIV_OBJECT_STRING_1) + "\" owned by user " + std::to_string(kiv_int(bot, KIV_OBJECT_INT_1)));
}

void on_cell_end(KIVInstance* bot) {
    Builder& b = self(bot);
    b.log("cell (" + std::to_string(kiv_int(bot, KIV_CELL_X)) + ", " + std::to_string(kiv_int(bot, KIV_CELL_Z)) +
          ") is at revision " + std::to_string(kiv_int(bot, KIV_CELL_REVISION)) + " with " +
          std::to_string(b.cell_objects) + " object(s)");
    // A gentle hill in node (0, 0) of tile (0, 0).
    KIVTerrainCell cells[64];
    for (int k = 0; k < 64; ++k) {
        const double dx = k % 8 - 3.5, dz = k / 8 - 3.5;
        cells[k].height = static_cast<float>(4.0 - 0.15 * (dx * dx + dz * dz));
        cells[k].attributes = 1;
        cells[k].padding = 0;
    }
    check(bot, kiv_terrain_node_set(bot, 0, 0, 0, 0, cells), "shaping the terrain");
}

void on_terrain_set(KIVInstance* bot, int rc, int) {
    if (rc != 0) return check(bot, rc, "shaping the terrain");
    self(bot).log("raised a hill in terrain node (0, 0) of tile (0, 0)");
    int revisions[16];
    for (int& revision : revisions) revision = -1;
    check(bot, kiv_terrain_query(bot, 0, 0, revisions), "reading the terrain back");
}

void on_terrain_node(KIVInstance* bot) {
    int length = 0;
    const auto* cells = static_cast<const KIVTerrainCell*>(kiv_data(bot, KIV_TERRAIN_NODE_DATA, &length));
    float top = 0.0f;
    for (int k = 0; cells && k < length / static_cast<int>(sizeof(KIVTerrainCell)); ++k) {
        top = std::fmax(top, cells[k].height);
    }
    char line[160];
    std::snprintf(line, sizeof line, "  terrain node (%d, %d) revision %d, highest point %.2f",
                  kiv_int(bot, KIV_TERRAIN_NODE_X), kiv_int(bot, KIV_TERRAIN_NODE_Z),
                  kiv_int(bot, KIV_TERRAIN_NODE_REVISION), static_cast<double>(top));
    self(bot).log(line);
}

void on_terrain_query(KIVInstance* bot, int rc, int) {
    if (rc != 0) return check(bot, rc, "reading the terrain back");
    self(bot).log("the garden is done");
    self(bot).built = true;
}

// ---- Meeting others ---------------------------------------------------------

void on_avatar_add(KIVInstance* bot) {
    Builder& b = self(bot);
    const std::string who = text(bot, KIV_AVATAR_NAME);
    b.log("sees " + who + " (user " + std::to_string(kiv_int(bot, KIV_USER_ID)) + ")");
    if (b.invited) return;
    b.invited = true;
    kiv_say(bot, "!time");
    b.log("says: !time");
    check(bot, kiv_invite(bot, kiv_int(bot, KIV_USER_ID), b.world.c_str(), 4.0, 0.0, 3.0, 90.0f, 0.0f),
          "inviting");
    b.log("invites " + who + " over");
}

void on_chat(KIVInstance* bot) {
    self(bot).log("hears " + text(bot, KIV_AVATAR_NAME) + ": " + text(bot, KIV_CHAT_MESSAGE));
}

void on_invite_answer(KIVInstance* bot, int rc, int) {
    Builder& b = self(bot);
    b.invitation_answered = true;
    b.log(text(bot, KIV_INVITE_NAME) + (rc == 0 ? " accepted the invitation"
                                                : " did not accept (code " + std::to_string(rc) + ")"));
}

// ---- Getting there, one callback after the other ----------------------------

void on_entered(KIVInstance* bot, int rc, int) {
    Builder& b = self(bot);
    if (rc != 0) return check(bot, rc, "entering");
    b.log("entered \"" + b.world + "\"");
    kiv_double_set(bot, KIV_MY_X, 4.0);
    kiv_double_set(bot, KIV_MY_Z, 1.0);
    check(bot, kiv_state_change(bot), "publishing the position");
    for (const Piece& piece : kGarden) add_piece(bot, piece);
}

void on_logged_in(KIVInstance* bot, int rc, int) {
    if (rc != 0) return check(bot, rc, "logging in");
    self(bot).log("logged in as user " + std::to_string(kiv_int(bot, KIV_LOGIN_REPLY_VALUE)));
    check(bot, kiv_enter(bot, self(bot).world.c_str()), "entering");
}

void on_connected(KIVInstance* bot, int rc, int) {
    Builder& b = self(bot);
    if (rc != 0) return check(bot, rc, "connecting");
    check(bot, kiv_login(bot, b.name.c_str(), b.password.c_str(), ""), "logging in");
}

}  // namespace

int main(int argc, char** argv) {
    Builder b;
    std::string host = "127.0.0.1";
    int port = 0;
    int seconds = 30;
    for (int i = 1; i + 1 < argc; i += 2) {
        const std::string option = argv[i];
        const char* value = argv[i + 1];
        if (option == "--host") host = value;
        else if (option == "--port") port = std::atoi(value);
        else if (option == "--name") b.name = value;
        else if (option == "--password") b.password = value;
        else if (option == "--world") b.world = value;
        else if (option == "--seconds") seconds = std::atoi(value);
        else {
            std::fprintf(stderr, "unknown option %s (see the top of builder.cpp)\n", option.c_str());
            return 2;
        }
    }
    if (port <= 0) {
        std::fprintf(stderr, "builder: --port is required\n");
        return 2;
    }
    std::setvbuf(stdout, nullptr, _IOLBF, 0);
    if (kiv_init(KIVSDK_INTERFACE_VERSION) != 0) return 1;
    KIVInstance* bot = kiv_create(nullptr);
    if (!bot) return 1;
    kiv_user_data_set(bot, &b);
    kiv_callback_set(bot, KIV_CALLBACK_CONNECT_UNIVERSE, on_connected);
    kiv_callback_set(bot, KIV_CALLBACK_LOGIN, on_logged_in);
    kiv_callback_set(bot, KIV_CALLBACK_ENTER, on_entered);
    kiv_callback_set(bot, KIV_CALLBACK_OBJECT_ADD, on_object_added);
    kiv_callback_set(bot, KIV_CALLBACK_OBJECT_CHANGE, on_object_changed);
    kiv_callback_set(bot, KIV_CALLBACK_TERRAIN_NODE_SET, on_terrain_set);
    kiv_callback_set(bot, KIV_CALLBACK_TERRAIN_QUERY, on_terrain_query);
    kiv_callback_set(bot, KIV_CALLBACK_INVITE, on_invite_answer);
    kiv_event_set(bot, KIV_EVENT_OBJECT, on_cell_object);
    kiv_event_set(bot, KIV_EVENT_CELL_END, on_cell_end);
    kiv_event_set(bot, KIV_EVENT_TERRAIN_NODE, on_terrain_node);
    kiv_event_set(bot, KIV_EVENT_AVATAR_ADD, on_avatar_add);
    kiv_event_set(bot, KIV_EVENT_CHAT, on_chat);

    // With its callback set, the connect returns at once; so does everything
    // after it.
    check(bot, kiv_connect_universe(bot, host.c_str(), port), "connecting");
    const std::time_t deadline = std::time(nullptr) + seconds;
    // A little after the work is done, so the last chat lines arrive too.
    int linger = 10;
    while (!b.failed && std::time(nullptr) < deadline && linger > 0) {
        if (kiv_wait(bot, 100) != 0) break;
        if (b.built && b.invitation_answered) --linger;
    }
    b.log(b.failed ? "giving up" : "leaving");
    kiv_destroy(bot);
    return b.failed || !b.built ? 1 : 0;
}
