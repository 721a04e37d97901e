/*
 * kivsandbox.h - the sandbox as a test kit: a universe and its worlds inside
 * the test process, for the tests of bots written on KIVSDK.
 *
 *   KIVSandbox* kit = NULL;
 *   const char* options[] = {"--world", "lobby"};
 *   kivsb_start(options, 2, NULL, 0, &kit);      // listening on loopback
 *   int port = 0;
 *   kivsb_universe_port(kit, &port);              // the bot connects here
 *   kivsb_actor_enter(kit, "ann", "lobby", 0, 0, 0, 0, 1, &session);
 *   kivsb_actor_say(kit, "ann", "hello");         // the bot hears it
 *   ...                                           // the bot runs kiv_wait
 *   kivsb_sent(kit, "greeter", "lobby", text, sizeof text, NULL);
 *   kivsb_stop(kit);
 *
 * The kit runs on a thread of its own; every function here hands its work to
 * that thread over a socket pair and returns when it is done, so they may be
 * called from any thread, one call at a time per kit being simplest. The
 * kit listens on loopback only and loads the build's sandbox certificates
 * (kivsb_pki_dir); it never makes keys.
 *
 * Actors are scripted users: logged in to the universe, in at most one world
 * at a time, holding "admin" there. What they do reaches the bots exactly as
 * if another client had done it.
 *
 * Conventions of every function below:
 *  - A NULL kit or a NULL output pointer returns KIVSB_INVALID_ARGUMENT (1).
 *  - A NULL string argument counts as the empty string.
 *  - Text results are copied NUL-terminated into (buffer, capacity); when it
 *    does not fit, KIVSB_BUFFER_TOO_SMALL (6) is returned and nothing is
 *    copied. `length`, when not NULL, always receives the text's length
 *    (without the NUL).
 *  - No C++ exception ever crosses this interface.
 *
 * Usable from C99 and C++.
 */
#ifndef KIVSANDBOX_H
#define KIVSANDBOX_H

#include <stddef.h>

#if defined(__GNUC__)
#define KIVSANDBOX_API __attribute__((visibility("default")))
#else
#define KIVSANDBOX_API
#endif

#ifdef __cplusplus
extern "C" {
#endif

/* A running kit. Made by kivsb_start, ended by kivsb_stop. */
typedef struct KIVSandbox KIVSandbox;

typedef enum KIVSBReturnCode {
    KIVSB_OK = 0,
    KIVSB_INVALID_ARGUMENT = 1, /* NULL kit or output, a bad option or value */
    KIVSB_NO_SUCH_WORLD = 2,
    KIVSB_NO_SUCH_ACTOR = 3, /* no actor of that name, or it is in no world */
    KIVSB_REFUSED = 4,       /* the sandbox refused the actor's request */
    KIVSB_START_FAILED = 5,  /* certificates, keys or ports */
    KIVSB_BUFFER_TOO_SMALL = 6,
    KIVSB_FAILED = 7 /* the kit's thread is gone, or memory ran out */
} KIVSBReturnCode;

/* ---- Starting and stopping ------------------------------------------------ */

/* Starts a kit with kivsandbox's options (see kivsandbox --help), e.g.
 * {"--world", "lobby", "--world", "garden:tls", "--password", "pw"}; ports
 * are free ones unless given. --bind may only name 127.0.0.1 or ::1. On
 * failure the reason goes to (error, error_size) when error is not NULL.
 * Returns 0; 1 kit NULL, arguments NULL with count > 0, or a bad option;
 * 5 the certificates, keys or ports could not be had; 7 out of memory. */
KIVSANDBOX_API int kivsb_start(const char* const* arguments, int count, char* error,
                               size_t error_size, KIVSandbox** kit);
/* Stops the kit (every client connection closes) and frees it.
 * Returns 0, also for NULL. */
KIVSANDBOX_API int kivsb_stop(KIVSandbox* kit);
/* The folder of the certificates the kit loads unless options name others:
 * universe-bundle.pem and world-bundle.pem there are the CAs a bot must
 * trust. The environment variable KIVSDK_SANDBOX_PKI overrides it.
 * Returns the folder (never NULL). */
KIVSANDBOX_API const char* kivsb_pki_dir(void);

/* The universe's port.
 * Returns 0; 1 NULL kit or port; 7 the kit has failed. */
KIVSANDBOX_API int kivsb_universe_port(KIVSandbox* kit, int* port);
/* The port of a world.
 * Returns 0; 1 NULL kit or port; 2 no such world; 7 the kit has failed. */
KIVSANDBOX_API int kivsb_world_port(KIVSandbox* kit, const char* world, int* port);

/* ---- Actors ----------------------------------------------------------------- */

/* Logs the actor in (the first time) and enters the world at the place,
 * leaving the world it was in; bots there see the avatar arrive. `session`
 * may be NULL.
 * Returns 0; 1 NULL kit, empty name or one over 255 bytes; 2 no such world;
 * 4 refused (e.g. the name is logged in elsewhere); 7 the kit has failed. */
KIVSANDBOX_API int kivsb_actor_enter(KIVSandbox* kit, const char* name, const char* world, double x,
                                     double y, double z, double yaw, int avatar_type, int* session);
/* Moves the actor's avatar (bots see it change).
 * Returns 0; 1 NULL kit; 3 no such actor in a world; 7 the kit has failed. */
KIVSANDBOX_API int kivsb_actor_move(KIVSandbox* kit, const char* name, double x, double y, double z,
                                    double yaw, int avatar_type);
/* Says a line in the actor's world.
 * Returns 0; 1 NULL kit or text over 255 bytes; 3 no such actor in a world;
 * 7 the kit has failed. */
KIVSANDBOX_API int kivsb_actor_say(KIVSandbox* kit, const char* name, const char* text);
/* Leaves the actor's world (bots see the avatar go); it stays logged in.
 * Returns 0; 1 NULL kit; 3 no such actor in a world; 7 the kit has failed. */
KIVSANDBOX_API int kivsb_actor_leave(KIVSandbox* kit, const char* name);
/* Clicks the avatar of `session`.
 * Returns 0; 1 NULL kit; 3 no such actor in a world; 7 the kit has failed. */
KIVSANDBOX_API int kivsb_actor_click_avatar(KIVSandbox* kit, const char* name, int session);
/* Clicks an object; `session` is told, or everyone else when 0.
 * Returns 0; 1 NULL kit; 3 no such actor in a world; 7 the kit has failed. */
KIVSANDBOX_API int kivsb_actor_click_object(KIVSandbox* kit, const char* name, int object_id,
                                            int session);
/* Begins (begin nonzero) or ends bumping into an object; `session` is told,
 * or everyone else when 0.
 * Returns 0; 1 NULL kit; 3 no such actor in a world; 7 the kit has failed. */
KIVSANDBOX_API int kivsb_actor_bump(KIVSandbox* kit, const char* name, int object_id, int begin,
                                    int session);
/* Teleports the avatar of `session` to a world and place.
 * Returns 0; 1 NULL kit or world over 255 bytes; 3 no such actor in a world;
 * 7 the kit has failed. */
KIVSANDBOX_API int kivsb_actor_teleport(KIVSandbox* kit, const char* name, int session,
                                        const char* world, double x, double y, double z,
                                        double yaw);
/* Sends a URL to `session` (0: everyone else).
 * Returns 0; 1 NULL kit or URL over 65535 bytes; 3 no such actor in a world;
 * 7 the kit has failed. */
KIVSANDBOX_API int kivsb_actor_url(KIVSandbox* kit, const char* name, int session, const char* url);
/* Sends a console line to `session` (0: everyone, the actor included).
 * Returns 0; 1 NULL kit or text over 255 bytes; 3 no such actor in a world;
 * 7 the kit has failed. */
KIVSANDBOX_API int kivsb_actor_console(KIVSandbox* kit, const char* name, int session,
                                       const char* text);
/* Adds an object at (x, y, z); `object_id` (may be NULL) receives its id.
 * Returns 0; 1 NULL kit, empty model or a string over 255 bytes; 3 no such
 * actor in a world; 4 refused (the cell is full); 7 the kit has failed. */
KIVSANDBOX_API int kivsb_actor_object_add(KIVSandbox* kit, const char* name, const char* model,
                                          const char* description, const char* action, double x,
                                          double y, double z, int* object_id);
/* Changes an object (its strings and place).
 * Returns 0; 1 NULL kit, empty model or a string over 255 bytes; 3 no such
 * actor in a world; 4 refused (no such object); 7 the kit has failed. */
KIVSANDBOX_API int kivsb_actor_object_change(KIVSandbox* kit, const char* name, int object_id,
                                             const char* model, const char* description,
                                             const char* action, double x, double y, double z);
/* Deletes an object.
 * Returns 0; 1 NULL kit; 3 no such actor in a world; 4 refused (no such
 * object); 7 the kit has failed. */
KIVSANDBOX_API int kivsb_actor_object_delete(KIVSandbox* kit, const char* name, int object_id);
/* Sets every cell of terrain node (node_x, node_z) of tile (tile_x, tile_z)
 * to `height` and `attributes` (bots see the node change).
 * Returns 0; 1 NULL kit or a node outside 0..3; 3 no such actor in a world;
 * 4 refused; 7 the kit has failed. */
KIVSANDBOX_API int kivsb_actor_terrain(KIVSandbox* kit, const char* name, int tile_x, int tile_z,
                                       int node_x, int node_z, double height, int attributes);
/* Changes a world setting for everyone.
 * Returns 0; 1 NULL kit or a string over 255 bytes; 3 no such actor in a
 * world; 4 refused (unknown or read-only setting, empty value); 7 the kit
 * has failed. */
KIVSANDBOX_API int kivsb_actor_setting(KIVSandbox* kit, const char* name, const char* setting,
                                       const char* value);
/* Grants (enable nonzero) or takes back a world permission of a user.
 * Returns 0; 1 NULL kit or a name over 255 bytes; 3 no such actor in a world;
 * 4 refused (unknown permission or user); 7 the kit has failed. */
KIVSANDBOX_API int kivsb_actor_permission(KIVSandbox* kit, const char* name, const char* permission,
                                          int user_id, int enable);
/* Invites the user (a bot, by its user id) to a world and place.
 * Returns 0; 1 NULL kit or world over 255 bytes; 3 no such actor; 4 the
 * user is not online; 7 the kit has failed. */
KIVSANDBOX_API int kivsb_actor_invite(KIVSandbox* kit, const char* name, int user_id,
                                      const char* world, double x, double y, double z, double yaw);
/* Asks to join the user (a bot, by its user id).
 * Returns 0; 1 NULL kit; 3 no such actor; 4 the user is not online; 7 the
 * kit has failed. */
KIVSANDBOX_API int kivsb_actor_join(KIVSandbox* kit, const char* name, int user_id);
/* The user id of the actor's account.
 * Returns 0; 1 NULL kit or user_id; 3 no such actor; 7 the kit has failed. */
KIVSANDBOX_API int kivsb_actor_user_id(KIVSandbox* kit, const char* name, int* user_id);

/* ---- Faults ------------------------------------------------------------------ */

/* `where` names "universe" or a world; NULL or "" means every client. */

/* Stops reading, writing and accepting for that long while every connection
 * stays open; 0 resumes at once.
 * Returns 0; 1 NULL kit or a negative time; 7 the kit has failed. */
KIVSANDBOX_API int kivsb_freeze(KIVSandbox* kit, int milliseconds);
/* Closes the clients of `where`, cleanly or (reset nonzero) with a TCP
 * reset; `dropped` (may be NULL) receives how many.
 * Returns 0; 1 NULL kit; 2 no such world; 7 the kit has failed. */
KIVSANDBOX_API int kivsb_drop(KIVSandbox* kit, const char* where, int reset, int* dropped);
/* The next `count` logins get `result` (1 refused, 2 rejected, 3 denied);
 * count 0 ends the refusals. Actors are never refused.
 * Returns 0; 1 NULL kit, a negative count or a result outside 1..255; 7 the
 * kit has failed. */
KIVSANDBOX_API int kivsb_refuse_logins(KIVSandbox* kit, int count, int result);
/* Drops the world's clients, closes its port and unlists it; entering it is
 * refused from now on.
 * Returns 0; 1 NULL kit; 2 no such world; 7 the kit has failed. */
KIVSANDBOX_API int kivsb_remove_world(KIVSandbox* kit, const char* world);
/* A keep-alive to each client after `seconds` without sending it anything;
 * 0 never.
 * Returns 0; 1 NULL kit or a negative time; 7 the kit has failed. */
KIVSANDBOX_API int kivsb_keepalive(KIVSandbox* kit, int seconds);
/* Every frame to every client leaves that much later; 0 ends the delay.
 * Returns 0; 1 NULL kit or a negative time; 7 the kit has failed. */
KIVSANDBOX_API int kivsb_delay(KIVSandbox* kit, int milliseconds);
/* Requests of `message_type` to `where` ("universe" or a world) are read
 * and left unanswered (ignore nonzero), or answered again (ignore 0).
 * Returns 0; 1 NULL kit, no `where` or a type outside 0..255; 2 no such
 * world; 7 the kit has failed. */
KIVSANDBOX_API int kivsb_ignore(KIVSandbox* kit, const char* where, int message_type, int ignore);
/* Each connection of `where`, open now or later, is closed once `bytes` more
 * bytes went out to it (often inside a frame); 0 ends the rule.
 * Returns 0; 1 NULL kit or negative bytes; 2 no such world; 7 the kit has
 * failed. */
KIVSANDBOX_API int kivsb_cut_after(KIVSandbox* kit, const char* where, int bytes);

/* ---- What happened ----------------------------------------------------------- */

/* What `user` (a login name) sent to `where` ("universe" or a world) since
 * its login, one decoded message a line, oldest first: the message's name
 * and its fields, e.g.
 *     say text="hello"
 *     object add reference=1 type=0 x=1 ... string_1="tree.rwx" ...
 * Returns 0; 1 NULL kit; 6 buffer too small; 7 the kit has failed. */
KIVSANDBOX_API int kivsb_sent(KIVSandbox* kit, const char* user, const char* where, char* buffer,
                              size_t capacity, size_t* length);
/* Forgets what every client has sent so far.
 * Returns 0; 1 NULL kit; 7 the kit has failed. */
KIVSANDBOX_API int kivsb_forget_sent(KIVSandbox* kit);
/* What the world holds, one thing a line, fields separated by tabs (tabs,
 * newlines and backslashes inside strings written as \t, \n and \\):
 *     avatar  SESSION USER_ID VISIBLE X Y Z YAW PITCH TYPE NAME
 *     object  ID OWNER TYPE X Y Z MODEL DESCRIPTION ACTION DATA_SIZE
 *     cell    X Z REVISION OBJECTS
 *     terrain TILE_X TILE_Z NODE_X NODE_Z REVISION
 *     setting NAME VALUE
 * Returns 0; 1 NULL kit; 2 no such world; 6 buffer too small; 7 the kit has
 * failed. */
KIVSANDBOX_API int kivsb_world_state(KIVSandbox* kit, const char* world, char* buffer,
                                     size_t capacity, size_t* length);

#ifdef __cplusplus
}
#endif

#endif /* KIVSANDBOX_H */
