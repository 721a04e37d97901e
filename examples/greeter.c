/*
 * greeter: a bot in the blocking style, in plain C.
 *
 * It connects to a universe, logs in, lists the worlds, enters one,
 * publishes its position, greets every avatar that arrives by name, answers
 * "!time" with the time, accepts invitations, and reports the objects it
 * sees being built. Everything happens in one loop around kiv_wait. It
 * stays up: a lost connection is made again and the world entered again by
 * the library (the lines marked "stay up"), and it says so.
 *
 *   greeter --port 6670 --world lobby --seconds 60
 *
 * Options: --host H (127.0.0.1), --port P (universe port, required),
 * --name N ("greeter"), --password P ("sandbox"), --world W ("lobby"),
 * --seconds S (how long to stay, 30), --once (leave as soon as everyone
 * it greeted has left), --liveness S (a server silent this long is lost;
 * 75 by default, 0 off).
 */
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>

#include "kivsdk.h"

static const char* g_name = "greeter";
static const char* g_world = "lobby";
static int g_gave_up = 0;
static int g_list_done = 0;
static int g_greeted = 0;
static int g_present = 0;

static void say_line(const char* text) { printf("[%s] %s\n", g_name, text); }

static void on_world(KIVInstance* bot) {
    printf("[%s] world \"%s\" with %d user(s)%s\n", g_name, kiv_string(bot, KIV_WORLD_NAME),
           kiv_int(bot, KIV_WORLD_VALUE), (kiv_int(bot, KIV_WORLD_STATE) & 2) ? ", over TLS" : "");
}

static void on_world_list_done(KIVInstance* bot, int rc, int reference) {
    (void)bot;
    (void)reference;
    if (rc != 0) printf("[%s] world list failed: %d\n", g_name, rc);
    g_list_done = 1;
}

static void on_avatar_add(KIVInstance* bot) {
    char line[300];
    snprintf(line, sizeof line, "Hello, %s! Say !time and I'll tell you the time.",
             kiv_string(bot, KIV_AVATAR_NAME));
    printf("[%s] %s arrives (session %d)\n", g_name, kiv_string(bot, KIV_AVATAR_NAME),
           kiv_int(bot, KIV_AVATAR_SESSION));
    printf("[%s] says: %s\n", g_name, line);
    kiv_say(bot, line);
    ++g_greeted;
    ++g_present;
}

static void on_avatar_delete(KIVInstance* bot) {
    printf("[%s] %s leaves\n", g_name, kiv_string(bot, KIV_AVATAR_NAME));
    --g_present;
}

static void on_chat(KIVInstance* bot) {
    const char* text = kiv_string(bot, KIV_CHAT_MESSAGE);
    printf("[%s] hears %s: %s\n", g_name, kiv_string(bot, KIV_AVATAR_NAME), text);
    if (strcmp(text, "!time") == 0) {
        char line[64];
        const time_t now = time(NULL);
        strftime(line, sizeof line, "It is %H:%M:%S UTC.", gmtime(&now));
        printf("[%s] says: %s\n", g_name, line);
        kiv_say(bot, line);
    }
}

static void on_object(KIVInstance* bot) {
    printf("[%s] sees object %d \"%s\" appear at (%.1f, %.1f)\n", g_name,
           kiv_int(bot, KIV_OBJECT_ID), kiv_string(bot, KIV_OBJECT_STRING_1),
           kiv_double(bot, KIV_OBJECT_X), kiv_double(bot, KIV_OBJECT_Z));
}

static void on_invite(KIVInstance* bot) {
    printf("[%s] %s invites me to \"%s\" at (%.1f, %.1f): accepting\n", g_name,
           kiv_string(bot, KIV_INVITE_NAME), kiv_string(bot, KIV_INVITE_WORLD),
           kiv_double(bot, KIV_INVITE_X), kiv_double(bot, KIV_INVITE_Z));
    kiv_invite_accept(bot, kiv_int(bot, KIV_INVITE_ID));
}

static void on_terrain_changed(KIVInstance* bot) {
    printf("[%s] sees terrain node (%d, %d) of tile (%d, %d) change\n", g_name,
           kiv_int(bot, KIV_TERRAIN_NODE_X), kiv_int(bot, KIV_TERRAIN_NODE_Z),
           kiv_int(bot, KIV_TERRAIN_TILE_X), kiv_int(bot, KIV_TERRAIN_TILE_Z));
}

static void on_disconnect(KIVInstance* bot) {
    printf("[%s] lost the connection (reason %d: %s)\n", g_name,
           kiv_int(bot, KIV_DISCONNECT_REASON), kiv_string(bot, KIV_DISCONNECT_TEXT));
    /* Entering again adds everyone present anew: count them from zero. */
    if (kiv_int(bot, KIV_CURRENT_EVENT) == KIV_EVENT_WORLD_DISCONNECT) g_present = 0;
}

static const char* side_name(KIVInstance* bot) {
    return kiv_int(bot, KIV_DISCONNECT_SIDE) == KIV_SIDE_WORLD ? "the world" : "the universe";
}

static void on_reconnecting(KIVInstance* bot) {
    printf("[%s] reconnecting %s in %d ms (attempt %d): %s\n", g_name, side_name(bot),
           kiv_int(bot, KIV_RECONNECT_DELAY), kiv_int(bot, KIV_RECONNECT_ATTEMPT),
           kiv_string(bot, KIV_DISCONNECT_TEXT));
}

static void on_reconnected(KIVInstance* bot) {
    if (kiv_int(bot, KIV_DISCONNECT_SIDE) == KIV_SIDE_WORLD)
        printf("[%s] back in \"%s\"\n", g_name, g_world);
    else
        printf("[%s] back in the universe\n", g_name);
}

static void on_gave_up(KIVInstance* bot) {
    printf("[%s] gave up on %s after %d attempt(s): %s\n", g_name, side_name(bot),
           kiv_int(bot, KIV_RECONNECT_ATTEMPT), kiv_string(bot, KIV_DISCONNECT_TEXT));
    g_gave_up = 1;
}

static int fail(const char* what, int rc) {
    fprintf(stderr, "[%s] %s failed: return code %d\n", g_name, what, rc);
    return 1;
}

int main(int argc, char** argv) {
    const char* host = "127.0.0.1";
    const char* password = "sandbox";
    int port = 0, seconds = 30, once = 0, liveness = KIV_LIVENESS_DEFAULT, i, rc;
    KIVReconnectPolicy policy = {sizeof(KIVReconnectPolicy), 1, 1000, 30000, 0, 1}; /* stay up */
    KIVInstance* bot;
    time_t deadline;

    for (i = 1; i < argc; ++i) {
        const char* value = i + 1 < argc ? argv[i + 1] : NULL;
        if (strcmp(argv[i], "--once") == 0) {
            once = 1;
            continue;
        }
        if (!value) {
            fprintf(stderr, "usage: see the top of greeter.c\n");
            return 2;
        }
        if (strcmp(argv[i], "--host") == 0)
            host = value;
        else if (strcmp(argv[i], "--port") == 0)
            port = atoi(value);
        else if (strcmp(argv[i], "--name") == 0)
            g_name = value;
        else if (strcmp(argv[i], "--password") == 0)
            password = value;
        else if (strcmp(argv[i], "--world") == 0)
            g_world = value;
        else if (strcmp(argv[i], "--seconds") == 0)
            seconds = atoi(value);
        else if (strcmp(argv[i], "--liveness") == 0)
            liveness = atoi(value);
        else {
            fprintf(stderr, "unknown option %s\n", argv[i]);
            return 2;
        }
        ++i;
    }
    if (port <= 0) {
        fprintf(stderr, "greeter: --port is required\n");
        return 2;
    }
    setvbuf(stdout, NULL, _IOLBF, 0);

    if (kiv_init(KIVSDK_INTERFACE_VERSION) != 0) return fail("kiv_init", 1);
    bot = kiv_create(NULL);
    if (!bot) return fail("kiv_create", 0);
    kiv_event_set(bot, KIV_EVENT_WORLD_LIST, on_world);
    kiv_callback_set(bot, KIV_CALLBACK_WORLD_LIST, on_world_list_done);
    kiv_event_set(bot, KIV_EVENT_AVATAR_ADD, on_avatar_add);
    kiv_event_set(bot, KIV_EVENT_AVATAR_DELETE, on_avatar_delete);
    kiv_event_set(bot, KIV_EVENT_CHAT, on_chat);
    kiv_event_set(bot, KIV_EVENT_OBJECT, on_object);
    kiv_event_set(bot, KIV_EVENT_INVITE, on_invite);
    kiv_event_set(bot, KIV_EVENT_TERRAIN_NODE_CHANGED, on_terrain_changed);
    kiv_event_set(bot, KIV_EVENT_UNIVERSE_DISCONNECT, on_disconnect);
    kiv_event_set(bot, KIV_EVENT_WORLD_DISCONNECT, on_disconnect);
    kiv_event_set(bot, KIV_EVENT_RECONNECTING, on_reconnecting);
    kiv_event_set(bot, KIV_EVENT_RECONNECTED, on_reconnected);
    kiv_event_set(bot, KIV_EVENT_GAVE_UP, on_gave_up);
    kiv_reconnect_set(bot, &policy); /* stay up */
    kiv_liveness_set(bot, liveness); /* stay up */

    /* Connect, log in and enter block until the answer is there. */
    if ((rc = kiv_connect_universe(bot, host, port)) != 0) return fail("connecting", rc);
    if ((rc = kiv_login(bot, g_name, password, "")) != 0) return fail("logging in", rc);
    printf("[%s] logged in as user %d: %s\n", g_name, kiv_int(bot, KIV_LOGIN_REPLY_VALUE),
           kiv_string(bot, KIV_LOGIN_REPLY_STRING));

    /* The world list has no blocking form: wait for its callback. */
    if ((rc = kiv_world_list(bot, 0)) != 0) return fail("listing worlds", rc);
    for (i = 0; i < 100 && !g_list_done; ++i) kiv_wait(bot, 100);

    if ((rc = kiv_enter(bot, g_world)) != 0) return fail("entering", rc);
    printf("[%s] entered \"%s\"\n", g_name, g_world);
    kiv_double_set(bot, KIV_MY_X, 5.0);
    kiv_double_set(bot, KIV_MY_Z, 5.0);
    kiv_double_set(bot, KIV_MY_YAW, 180.0);
    if ((rc = kiv_state_change(bot)) != 0) return fail("publishing the position", rc);

    deadline = time(NULL) + seconds;
    while (time(NULL) < deadline && !g_gave_up) {
        if (kiv_wait(bot, 100) != 0) break;
        if (once && g_greeted > 0 && g_present == 0 &&
            kiv_state(bot, KIV_SIDE_WORLD) == KIV_STATE_READY)
            break;
    }
    say_line("leaving");
    kiv_destroy(bot);
    return g_gave_up;
}
