/*
 * kivsdk.h - the public C interface of KIVSDK.
 *
 * KIVSDK is the client library of a networked, multi-user 3D virtual world.
 * A host program creates one or more Instances, connects each to a universe
 * server, logs in, enters worlds and exchanges everything through numbered
 * attributes, events and callbacks. All work happens on the host's thread,
 * inside kiv_wait (or a blocking request, which loops on it), or inside the
 * host's own dispatch when it supplies its own socket operations.
 *
 * Conventions of every function below:
 *  - A null string argument counts as the empty string.
 *  - A null array argument returns KIV_RC_INVALID_ARGUMENT (12) before
 *    anything else is looked at.
 *  - A null Instance returns KIV_RC_INVALID_ARGUMENT (12) from every function
 *    that returns a code, 0, 0.0 or null from the value getters, and is
 *    ignored by the functions without a result; except kiv_destroy(NULL),
 *    which returns 0, and kiv_data(NULL, ...), which returns NULL.
 *  - A request whose message would not fit in one frame (a body of more than
 *    65535 bytes) returns KIV_RC_STRING_TOO_LONG (4) before anything is
 *    registered or sent.
 *  - No C++ exception ever crosses this interface. A failed allocation inside
 *    a request returns KIV_RC_CONNECTION_ERROR (9); kiv_create returns NULL.
 *
 * Usable from C99 and C++.
 */
#ifndef KIVSDK_H
#define KIVSDK_H

#define KIVSDK_VERSION_MAJOR 0
#define KIVSDK_VERSION_MINOR 2
#define KIVSDK_VERSION_PATCH 0
/* The same as one number: major * 10000 + minor * 100 + patch. */
#define KIVSDK_VERSION_NUMBER 200

/* The interface version that kiv_init accepts. */
#define KIVSDK_INTERFACE_VERSION 5

#if defined(_WIN32)
#if defined(KIVSDK_BUILDING)
#define KIVSDK_API __declspec(dllexport)
#elif defined(KIVSDK_STATIC)
#define KIVSDK_API
#else
#define KIVSDK_API __declspec(dllimport)
#endif
#elif defined(__GNUC__)
#define KIVSDK_API __attribute__((visibility("default")))
#else
#define KIVSDK_API
#endif

#ifdef __cplusplus
extern "C" {
#endif

/* ------------------------------------------------------------------------ */
/* Types                                                                      */
/* ------------------------------------------------------------------------ */

/* One client. Made by kiv_create, ended by kiv_destroy; opaque to the host. */
typedef struct KIVInstance KIVInstance;

/* A loop shared by many Instances (kiv_loop_create); opaque to the host. */
typedef struct KIVLoop KIVLoop;

/* Handler of an event: called with the Instance the event belongs to. */
typedef void (*KIVEventHandler)(KIVInstance* instance);

/* Handler of a callback: the Instance, the request's return code and the
 * reference captured when the request was made (0 for connect, login and
 * enter). */
typedef void (*KIVCallbackHandler)(KIVInstance* instance, int rc, int reference);

/*
 * The socket operations table. The library reaches the network only through
 * these slots and learns of activity only through kiv_net_notify. kiv_create
 * copies the table; its context must outlive every Instance that copied it.
 *
 *  create(connection, context) -> socket object
 *      Make an unconnected socket object that remembers `connection` (the
 *      first argument of every kiv_net_notify it posts).
 *  destroy(socket)
 *      Stop every notification and timer of the socket, close and free it.
 *      The result is ignored.
 *  connect(socket, host, port) -> 0 when under way or finished, else failed
 *      Resolve host, start a non-blocking TCP connection and report its end
 *      with exactly one KIV_NET_CONNECT_RESULT (possibly from inside the call).
 *  send(socket, data, length) -> bytes accepted, -2 would block, -1 error
 *      After a short write or -2, post KIV_NET_WRITABLE once it can take more.
 *  recv(socket, buffer, capacity) -> bytes read, 0 closed, -2 would block,
 *      -1 error.
 *  timeout(socket, seconds) -> 0
 *      seconds >= 0: one KIV_NET_TIMER after that many seconds, replacing any
 *      pending one; negative: cancel the timer. It may come before connect:
 *      a reconnecting Connection waits out its delay on its own timer and
 *      connects when it fires, and a time limit can run before the connect
 *      result.
 *  wait(context, milliseconds) -> 0 when the pass ran, nonzero on failure
 *      Block at most `milliseconds` for activity or the nearest timer, then
 *      post every notification that is due. May be NULL for tables driven by
 *      something else; kiv_wait then returns KIV_RC_NO_WAIT_FUNCTION.
 *  context
 *      Opaque; passed to create and wait.
 */
typedef struct KIVNetConfig {
    void* (*create)(void* connection, void* context);
    int (*destroy)(void* socket);
    int (*connect)(void* socket, const char* host, int port);
    int (*send)(void* socket, const char* data, int length);
    int (*recv)(void* socket, char* buffer, int capacity);
    int (*timeout)(void* socket, int seconds);
    int (*wait)(void* context, int milliseconds);
    void* context;
} KIVNetConfig;

/* One terrain cell: 8 bytes, host byte order. A node holds 64 of them, in
 * wire order (8 groups of 8, the inner position varying fastest). */
typedef struct KIVTerrainCell {
    float height;
    unsigned short attributes;
    unsigned short padding; /* zero in everything delivered; ignored on send */
} KIVTerrainCell;

/* ------------------------------------------------------------------------ */
/* Return codes                                                               */
/* ------------------------------------------------------------------------ */

typedef enum KIVReturnCode {
    KIV_RC_SUCCESS = 0,
    KIV_RC_VERSION_MISMATCH = 1,
    KIV_RC_STRING_TOO_LONG = 4,
    KIV_RC_LOGIN_REFUSED = 5,
    KIV_RC_WORLD_UNAVAILABLE = 6,
    KIV_RC_NOT_IN_WORLD = 8,
    KIV_RC_CONNECTION_ERROR = 9,
    KIV_RC_NOT_IMPLEMENTED = 11,
    KIV_RC_INVALID_ARGUMENT = 12,
    KIV_RC_DENIED = 13,
    KIV_RC_REJECTED = 14,
    KIV_RC_PEER_UNAVAILABLE = 15,
    KIV_RC_TIMEOUT = 16,
    KIV_RC_NOT_IN_UNIVERSE = 17,
    KIV_RC_INVALID_LENGTH = 18,
    KIV_RC_OBJECT_GET_REFUSED = 19,
    KIV_RC_REQUEST_FAILED = 20,
    KIV_RC_RECURSIVE_WAIT = 21,
    KIV_RC_JOIN_REFUSED = 22,
    KIV_RC_LOGIN_DENIED = 23,
    KIV_RC_SECURE_CHANNEL_FAILED = 24,
    KIV_RC_SETTING_REFUSED = 26,
    KIV_RC_NO_WAIT_FUNCTION = 27,
    KIV_RC_INVITE_REFUSED = 28,
    KIV_RC_OBJECT_REFUSED = 29,
    KIV_RC_ENTER_REFUSED = 30,
    KIV_RC_WRONG_THREAD = 31, /* another thread is inside a call on this Instance */
    KIV_RC_QUEUE_FULL = 32    /* the output queue would pass its limit; nothing queued */
} KIVReturnCode;

/* ------------------------------------------------------------------------ */
/* Network notification kinds (kiv_net_notify)                                */
/* ------------------------------------------------------------------------ */

typedef enum KIVNetNotification {
    KIV_NET_CONNECT_RESULT = 0, /* status: 0 connected, anything else failed */
    KIV_NET_DISCONNECTED = 1,   /* closed by the peer or failed after connect */
    KIV_NET_READABLE = 2,       /* bytes, or the end of the stream, can be read */
    KIV_NET_WRITABLE = 3,       /* more can be sent after a short write or -2 */
    KIV_NET_TIMER = 4           /* the timer armed with timeout has expired */
} KIVNetNotification;

/* ------------------------------------------------------------------------ */
/* Attribute, event and callback numbers                                      */
/* ------------------------------------------------------------------------ */

#define KIV_INT_ATTRIBUTE_COUNT 49
#define KIV_FLOAT_ATTRIBUTE_COUNT 35
#define KIV_STRING_ATTRIBUTE_COUNT 25
#define KIV_DATA_ATTRIBUTE_COUNT 2
#define KIV_EVENT_COUNT 29
#define KIV_CALLBACK_COUNT 22

/* Int attributes (kiv_int, kiv_int_get, kiv_int_set). Slot 37 has no name:
 * the library never touches it; the host may keep a value there. */
typedef enum KIVIntAttribute {
    KIV_AVATAR_SESSION = 0,
    KIV_AVATAR_TYPE = 1,
    KIV_MY_TYPE = 2,
    KIV_OBJECT_ID = 3,
    KIV_OBJECT_TYPE = 4,
    KIV_OBJECT_INT_1 = 5,
    KIV_OBJECT_INT_2 = 6,
    KIV_WORLD_STATE = 7,
    KIV_WORLD_VALUE = 8,
    KIV_REFERENCE_NUMBER = 9,
    KIV_CURRENT_CALLBACK = 10,
    KIV_USER_ID = 11,
    KIV_USER_INT_1 = 12,
    KIV_USER_INT_2 = 13,
    KIV_USER_INT_3 = 14,
    KIV_FRIEND_ID = 15,
    KIV_FRIEND_USER_ID = 16,
    KIV_FRIEND_STATE = 17,
    KIV_LOGIN_REPLY_VALUE = 18,
    KIV_CONNECT_MODE = 19,
    KIV_CONNECT_ALT_PORT = 20,
    KIV_CELL_X = 21,
    KIV_CELL_Z = 22,
    KIV_TERRAIN_TILE_X = 23,
    KIV_TERRAIN_TILE_Z = 24,
    KIV_TERRAIN_NODE_X = 25,
    KIV_TERRAIN_NODE_Z = 26,
    KIV_TERRAIN_NODE_REVISION = 27,
    KIV_CLICKED_SESSION = 28,
    KIV_CHAT_TYPE = 29,
    KIV_CHAT_COLOR_RED = 30,
    KIV_CHAT_COLOR_GREEN = 31,
    KIV_CHAT_COLOR_BLUE = 32,
    KIV_CHAT_EFFECTS = 33,
    KIV_DISCONNECT_REASON = 34,
    KIV_URL_TARGET = 35,
    KIV_CURRENT_EVENT = 36,
    KIV_CELL_REVISION = 38,
    KIV_CELL_STATUS = 39,
    KIV_JOIN_ID = 40,
    KIV_INVITE_ID = 41,
    KIV_INVITE_USER_ID = 42,
    KIV_WORLD_ENTRY_VALUE = 43,
    KIV_WORLD_PERMISSION_HOLDER = 44,
    KIV_DISCONNECT_DETAIL = 45, /* why a connection failed or was lost: KIV_DETAIL_* */
    KIV_RECONNECT_ATTEMPT = 46, /* events 26-28: the attempt (1 for the first) */
    KIV_RECONNECT_DELAY = 47,   /* event 26: milliseconds until the attempt */
    KIV_DISCONNECT_SIDE = 48    /* the side of int 45 and events 26-28: KIV_SIDE_* */
} KIVIntAttribute;

/* Float attributes, held as doubles: kiv_float* and kiv_double* address the
 * same slots. */
typedef enum KIVFloatAttribute {
    KIV_AVATAR_X = 0,
    KIV_AVATAR_Y = 1,
    KIV_AVATAR_Z = 2,
    KIV_AVATAR_PITCH = 3,
    KIV_AVATAR_YAW = 4,
    KIV_MY_X = 5,
    KIV_MY_Y = 6,
    KIV_MY_Z = 7,
    KIV_MY_YAW = 8,
    KIV_MY_PITCH = 9,
    KIV_OBJECT_X = 10,
    KIV_OBJECT_Y = 11,
    KIV_OBJECT_Z = 12,
    KIV_OBJECT_ROTATION_X = 13,
    KIV_OBJECT_ROTATION_Y = 14,
    KIV_OBJECT_ROTATION_Z = 15,
    KIV_OBJECT_ROTATION_ANGLE = 16,
    KIV_TELEPORT_X = 17,
    KIV_TELEPORT_Y = 18,
    KIV_TELEPORT_Z = 19,
    KIV_TELEPORT_YAW = 20,
    KIV_TELEPORT_PITCH = 21,
    KIV_CLICK_HIT_X = 22,
    KIV_CLICK_HIT_Y = 23,
    KIV_CLICK_HIT_Z = 24,
    KIV_JOIN_X = 25,
    KIV_JOIN_Y = 26,
    KIV_JOIN_Z = 27,
    KIV_JOIN_YAW = 28,
    KIV_JOIN_PITCH = 29,
    KIV_INVITE_X = 30,
    KIV_INVITE_Y = 31,
    KIV_INVITE_Z = 32,
    KIV_INVITE_YAW = 33,
    KIV_INVITE_PITCH = 34
} KIVFloatAttribute;

/* String attributes. Strings that a world notification fills are emptied
 * again right after its event handler returns. */
typedef enum KIVStringAttribute {
    KIV_AVATAR_NAME = 0,
    KIV_CHAT_MESSAGE = 1,
    KIV_OBJECT_STRING_1 = 2,
    KIV_OBJECT_STRING_2 = 3,
    KIV_OBJECT_STRING_3 = 4,
    KIV_WORLD_NAME = 5,
    KIV_USER_STRING_1 = 6,
    KIV_USER_STRING_2 = 7,
    KIV_WORLD_SETTING_NAME = 8,
    KIV_WORLD_SETTING_VALUE = 9,
    KIV_FRIEND_NAME = 10,
    KIV_CONNECT_ALT_HOST = 11,
    KIV_TELEPORT_WORLD = 12,
    KIV_URL = 13,
    KIV_JOIN_WORLD = 14,
    KIV_JOIN_NAME = 15,
    KIV_LOGIN_REPLY_STRING = 16,
    KIV_INVITE_NAME = 17,
    KIV_INVITE_WORLD = 18,
    KIV_LOGIN_EXTRA_1 = 19,
    KIV_LOGIN_EXTRA_2 = 20,
    KIV_AVATAR_STRING_1 = 21,
    KIV_AVATAR_STRING_2 = 22,
    KIV_WORLD_PERMISSION_NAME = 23,
    KIV_DISCONNECT_TEXT = 24 /* int 45 in words, e.g. "certificate rejected: expired" */
} KIVStringAttribute;

/* Data attributes (kiv_data, kiv_data_set). */
typedef enum KIVDataAttribute { KIV_OBJECT_DATA = 0, KIV_TERRAIN_NODE_DATA = 1 } KIVDataAttribute;

/* Events (kiv_event_set). */
typedef enum KIVEvent {
    KIV_EVENT_CHAT = 0,
    KIV_EVENT_AVATAR_ADD = 1,
    KIV_EVENT_AVATAR_CHANGE = 2,
    KIV_EVENT_AVATAR_DELETE = 3,
    KIV_EVENT_OBJECT = 4,
    KIV_EVENT_OBJECT_CHANGE = 5,
    KIV_EVENT_OBJECT_DELETE = 6,
    KIV_EVENT_OBJECT_CLICK = 7,
    KIV_EVENT_WORLD_LIST = 8,
    KIV_EVENT_WORLD_SETTING = 9,
    KIV_EVENT_WORLD_SETTINGS_END = 10,
    KIV_EVENT_FRIEND = 11,
    KIV_EVENT_WORLD_DISCONNECT = 12,
    KIV_EVENT_UNIVERSE_DISCONNECT = 13,
    KIV_EVENT_USER_ATTRIBUTES = 14,
    KIV_EVENT_CELL_END = 15,
    KIV_EVENT_TERRAIN_NODE = 16,
    KIV_EVENT_AVATAR_CLICK = 17,
    KIV_EVENT_TELEPORT = 18,
    KIV_EVENT_URL = 19,
    KIV_EVENT_OBJECT_BUMP_BEGIN = 20,
    KIV_EVENT_OBJECT_BUMP_END = 21,
    KIV_EVENT_TERRAIN_NODE_CHANGED = 22,
    KIV_EVENT_JOIN = 23,
    KIV_EVENT_INVITE = 24,
    KIV_EVENT_WORLD_PERMISSION = 25,
    KIV_EVENT_RECONNECTING = 26, /* a lost side will be reconnected (ints 45-48) */
    KIV_EVENT_RECONNECTED = 27,  /* the side is back: logged in, or entered again */
    KIV_EVENT_GAVE_UP = 28       /* reconnecting stopped (ints 45, 46, 48) */
} KIVEvent;

/* Callbacks (kiv_callback_set). A set handler makes the matching blocking
 * request (connect, login, enter) return at once. */
typedef enum KIVCallback {
    KIV_CALLBACK_OBJECT_ADD = 0,
    KIV_CALLBACK_OBJECT_CHANGE = 1,
    KIV_CALLBACK_OBJECT_DELETE = 2,
    KIV_CALLBACK_FRIENDS_GET = 3,
    KIV_CALLBACK_FRIEND_ADD = 4,
    KIV_CALLBACK_FRIEND_DELETE = 5,
    KIV_CALLBACK_TERRAIN_QUERY = 6,
    KIV_CALLBACK_TERRAIN_NODE_SET = 7,
    KIV_CALLBACK_OBJECT_GET = 8,
    KIV_CALLBACK_OBJECT_LOAD = 9,
    KIV_CALLBACK_LOGIN = 10,
    KIV_CALLBACK_ENTER = 11,
    KIV_CALLBACK_JOIN = 12,
    KIV_CALLBACK_CONNECT_UNIVERSE = 13,
    KIV_CALLBACK_WORLD_PERMISSION_USER_SET = 14,
    KIV_CALLBACK_WORLD_PERMISSION_SESSION_SET = 15,
    KIV_CALLBACK_WORLD_SETTING_SET = 16,
    KIV_CALLBACK_INVITE = 17,
    KIV_CALLBACK_WORLD_LIST = 18,
    KIV_CALLBACK_WORLD_PERMISSIONS_GET_MY = 19,
    KIV_CALLBACK_WORLD_PERMISSIONS_GET_BY_USER = 20,
    KIV_CALLBACK_WORLD_PERMISSIONS_GET_ALL = 21
} KIVCallback;

/* ------------------------------------------------------------------------ */
/* Diagnostics (kiv_log_set)                                                  */
/* ------------------------------------------------------------------------ */

/* Levels of the library's diagnostic lines; a route lets through the lines
 * at its level and below. KIV_LOG_OFF silences it. */
typedef enum KIVLogLevel {
    KIV_LOG_OFF = -1,
    KIV_LOG_ERROR = 0,
    KIV_LOG_WARNING = 1,
    KIV_LOG_INFO = 2,
    KIV_LOG_DEBUG = 3
} KIVLogLevel;

/* Receives one diagnostic line: the Instance it is about (NULL for lines of
 * no Instance), its KIVLogLevel, a category ("universe", "world", "tls" or
 * "net") and the text with its line end. It may be called on any thread that
 * runs an Instance, also on several at once, and may call only getters of
 * the Instance it is given. */
typedef void (*KIVLogHandler)(KIVInstance* instance, int level, const char* category,
                              const char* text);

/* ------------------------------------------------------------------------ */
/* Staying up: sides, states, detailed reasons, the reconnection policy       */
/* ------------------------------------------------------------------------ */

/* The two sides of an Instance (kiv_state, kiv_trust_set, int 48). */
typedef enum KIVSide { KIV_SIDE_UNIVERSE = 0, KIV_SIDE_WORLD = 1 } KIVSide;

/* A side's state (kiv_state). The universe goes none, connecting, securing,
 * ready (secure channel up), logged in; a world goes none (out), requested
 * (entry asked of the universe), connecting, securing, logging in, ready
 * (entered). Either may end failed (a connect, the secure channel or a login
 * failed), lost, reconnecting or gave up. */
typedef enum KIVState {
    KIV_STATE_NONE = 0,
    KIV_STATE_REQUESTED = 1,
    KIV_STATE_CONNECTING = 2,
    KIV_STATE_SECURING = 3,
    KIV_STATE_LOGGING_IN = 4,
    KIV_STATE_READY = 5,
    KIV_STATE_LOGGED_IN = 6,
    KIV_STATE_FAILED = 7,
    KIV_STATE_LOST = 8,
    KIV_STATE_RECONNECTING = 9,
    KIV_STATE_GAVE_UP = 10
} KIVState;

/* Why a connection failed or was lost (int 45; string 24 says it in words).
 * Int 34 keeps its own values (-1, 9, 16, or the socket layer's status). */
typedef enum KIVDetail {
    KIV_DETAIL_NONE = 0,
    KIV_DETAIL_REFUSED = 1,          /* nothing listens at that address and port */
    KIV_DETAIL_UNREACHABLE = 2,      /* no route to the host or network */
    KIV_DETAIL_HOST_NOT_FOUND = 3,   /* the name did not resolve */
    KIV_DETAIL_RESET = 4,            /* the connection broke (reset, failed send) */
    KIV_DETAIL_CLOSED_BY_PEER = 5,   /* the server closed the stream */
    KIV_DETAIL_SILENT = 6,           /* nothing received for the liveness limit */
    KIV_DETAIL_STALLED = 7,          /* a frame or the output made no progress */
    KIV_DETAIL_CERTIFICATE = 8,      /* the server's certificate was rejected */
    KIV_DETAIL_HANDSHAKE = 9,        /* the TLS handshake failed otherwise */
    KIV_DETAIL_CHANNEL_REFUSED = 10, /* the server refused the secure channel */
    KIV_DETAIL_QUEUE_FULL = 11,      /* a request would pass the output queue limit */
    KIV_DETAIL_CONNECT_FAILED = 12,  /* the connect failed for another reason */
    KIV_DETAIL_TIMED_OUT = 13,       /* a connect, login or enter passed its limit */
    KIV_DETAIL_LOGIN_REFUSED = 14,   /* a reconnection's login was refused */
    KIV_DETAIL_ENTER_REFUSED = 15    /* a re-entry was refused (world 6 or 30) */
} KIVDetail;

/* The reconnection policy (kiv_reconnect_set). Set `size` to
 * sizeof(KIVReconnectPolicy). A lost side is rebuilt after
 * min(max_delay_ms, first_delay_ms * 2^(attempt-1)) milliseconds — with
 * `jitter`, a uniformly random part of that (full jitter) — rounded up to
 * whole seconds. `max_attempts` 0 tries forever. */
typedef struct KIVReconnectPolicy {
    int size;
    int enabled;        /* 0 turns reconnection off */
    int first_delay_ms; /* > 0 */
    int max_delay_ms;   /* >= first_delay_ms */
    int max_attempts;   /* 0 unlimited, else > 0 */
    int jitter;         /* nonzero: full jitter */
} KIVReconnectPolicy;

/* Counters of one side (kiv_stats), over every connection the side had. */
typedef struct KIVSideStats {
    long long bytes_in;  /* after TLS: the frames' bytes */
    long long bytes_out; /* accepted by the socket layer (after TLS) */
    long long frames_in;
    long long frames_out;  /* queued, the library's own frames included */
    long long queue_bytes; /* in the output queue now */
    long long queue_peak;  /* the most the output queue held */
    int rtt_last_us;       /* request to its answer; -1 until one was answered */
    int rtt_smoothed_us;   /* the same, smoothed (7/8 old, 1/8 new); -1 until then */
    int losses;            /* connections lost */
    int reconnections;     /* times the side came back by itself */
    int unknown_messages;  /* messages of a type the library does not know */
    int handshake_us;      /* the last TLS handshake's duration; -1 without one */
} KIVSideStats;

/* The counters of an Instance (kiv_stats). Set `size` to sizeof(KIVStats);
 * a larger structure of a later version keeps these fields first. */
typedef struct KIVStats {
    int size;
    KIVSideStats universe;
    KIVSideStats world;
} KIVStats;

/* kiv_replay_start: how records are played. */
typedef enum KIVReplayFlag {
    KIV_REPLAY_AS_FAST_AS_POSSIBLE = 0,
    KIV_REPLAY_RECORDED_TIMING = 1 /* each record no sooner than it came in the capture */
} KIVReplayFlag;

/* What a replay's next record waits for (KIVReplayStatus.waiting). */
typedef enum KIVReplayWait {
    KIV_REPLAY_FINISHED = 0,          /* every record was played */
    KIV_REPLAY_WAITS_FOR_CONNECT = 1, /* the Instance to open that connection */
    KIV_REPLAY_WAITS_FOR_SEND = 2,    /* the Instance to send the recorded client frame */
    KIV_REPLAY_WAITS_FOR_TIME = 3     /* its time (or the next kiv_wait) */
} KIVReplayWait;

/* The progress of a replay (kiv_replay_status). Set `size` to
 * sizeof(KIVReplayStatus); a later version keeps these fields first. */
typedef struct KIVReplayStatus {
    int size;
    int records;  /* in the capture */
    int position; /* records passed: played or skipped */
    int skipped;  /* passed without effect (no matching connection, keep-alives, kiv_replay_skip) */
    int sent;     /* frames the Instance sent (dropped) */
    int mismatched;   /* client frames whose type differs from the recording's at that place */
    int waiting;      /* a KIVReplayWait */
    int waiting_side; /* KIV_SIDE_* of the next record; -1 when finished */
    int waiting_type; /* the message type of the next record when it is a frame, else -1 */
} KIVReplayStatus;

/* kiv_liveness_set: the limit that turns liveness on without a value. */
#define KIV_LIVENESS_DEFAULT -1
#define KIV_LIVENESS_DEFAULT_SECONDS 75
/* kiv_queue_limit_set: the default limit of each output queue (8 MiB). */
#define KIV_QUEUE_LIMIT_DEFAULT 8388608

/* ------------------------------------------------------------------------ */
/* Library and Instance                                                       */
/* ------------------------------------------------------------------------ */

/* Checks the interface version the host was written for.
 * Returns 0 when version is KIVSDK_INTERFACE_VERSION (5), 1 otherwise. */
KIVSDK_API int kiv_init(int version);

/* Creates an Instance. With a table, its eight slots are copied; with NULL
 * the library's own select-based sockets are used (a fresh loop context per
 * Instance). No connection is opened.
 * Returns the Instance, or NULL when memory could not be allocated. */
KIVSDK_API KIVInstance* kiv_create(const KIVNetConfig* config);

/* Closes both connections (no goodbye is sent, no handler is called), drops
 * every pending request and frees the Instance. Called from inside one of the
 * Instance's own handlers, the Instance is released only once delivery has
 * unwound: the outer kiv_wait returns 0 and a blocking request that was
 * waiting returns 9.
 * Returns 0, always (also for NULL). */
KIVSDK_API int kiv_destroy(KIVInstance* instance);

/* Runs one pass of the socket layer's wait operation: all network input and
 * output, and every event and callback, are delivered from inside it.
 * milliseconds is the longest time to block; with the library's own sockets a
 * negative value blocks until activity or the nearest timer, without a limit
 * of its own.
 * kiv_wait never returns at once without a reason, so a main loop calling it
 * does not spin: with the library's own sockets, a pass with nothing to watch
 * (every Connection lost or failed) waits for the nearest timer (at most
 * `milliseconds`), runs it and returns 0, or, with no timer pending, blocks
 * for `milliseconds` and returns 9 (at once for a negative value). With no
 * Connection at all it returns 9 at once. A 9 from kiv_wait means "nothing is
 * connected": reconnect (kiv_connect_universe) or stop calling it.
 * Returns 0 when the pass ran; 9 when it failed or nothing is connected (see
 * above); 12 for a NULL Instance; 21 when called from inside a handler during
 * kiv_wait; 27 when the table has no wait operation. */
KIVSDK_API int kiv_wait(KIVInstance* instance, int milliseconds);

/* ------------------------------------------------------------------------ */
/* Attributes                                                                 */
/* ------------------------------------------------------------------------ */

/* Int attribute 0..44. Returns its value; 0 out of range or for NULL. */
KIVSDK_API int kiv_int(KIVInstance* instance, int index);
/* Stores int attribute `index` in *value. Returns 0, or 12 (out of range,
 * NULL Instance or NULL value) without touching *value. */
KIVSDK_API int kiv_int_get(KIVInstance* instance, int index, int* value);
/* Sets int attribute `index`. Returns 0, or 12 out of range or for NULL. */
KIVSDK_API int kiv_int_set(KIVInstance* instance, int index, int value);

/* Float attribute 0..34, converted to single precision. Returns 0.0 out of
 * range or for NULL. */
KIVSDK_API float kiv_float(KIVInstance* instance, int index);
/* Returns 0, or 12 (out of range, NULL Instance or NULL value). */
KIVSDK_API int kiv_float_get(KIVInstance* instance, int index, float* value);
/* Widens and stores. Returns 0, or 12 out of range or for NULL. */
KIVSDK_API int kiv_float_set(KIVInstance* instance, int index, float value);

/* The same 35 slots as double. Returns 0.0 out of range or for NULL. */
KIVSDK_API double kiv_double(KIVInstance* instance, int index);
/* Returns 0, or 12 (out of range, NULL Instance or NULL value). */
KIVSDK_API int kiv_double_get(KIVInstance* instance, int index, double* value);
/* Returns 0, or 12 out of range or for NULL. */
KIVSDK_API int kiv_double_set(KIVInstance* instance, int index, double value);

/* String attribute 0..23: a zero-terminated text that stays valid until the
 * attribute is next set or the Instance is destroyed. Returns NULL out of
 * range or for NULL; an empty attribute gives "" (never NULL). */
KIVSDK_API const char* kiv_string(KIVInstance* instance, int index);
/* Returns 0, or 12 (out of range, NULL Instance or NULL value). */
KIVSDK_API int kiv_string_get(KIVInstance* instance, int index, const char** value);
/* Copies the text (any length; NULL makes the attribute empty). Out of range
 * or a NULL Instance is ignored. */
KIVSDK_API void kiv_string_set(KIVInstance* instance, int index, const char* value);

/* Data attribute 0..1: stores its length in *length and returns its bytes
 * (NULL with *length 0 when empty; a zero-length copy made by kiv_data_set
 * gives a non-NULL pointer with *length 0). Returns NULL, leaving *length untouched,
 * out of range, for a NULL Instance or a NULL length. */
KIVSDK_API const void* kiv_data(KIVInstance* instance, int index, int* length);
/* Replaces data attribute `index` with a copy of `length` bytes of `data`;
 * NULL data empties it whatever the length.
 * Returns 0; 9 when memory could not be allocated (the attribute keeps its
 * value); 12 out of range or for NULL (checked first); 18 for a negative
 * length (nothing changes). */
KIVSDK_API int kiv_data_set(KIVInstance* instance, int index, int length, const void* data);

/* ------------------------------------------------------------------------ */
/* Handlers and user data                                                     */
/* ------------------------------------------------------------------------ */

/* Sets (or with NULL clears) the handler of event 0..25.
 * Returns 0, or 12 out of range or for a NULL Instance. */
KIVSDK_API int kiv_event_set(KIVInstance* instance, int event, KIVEventHandler handler);
/* Sets (or clears) the handler of callback 0..21. A set handler makes the
 * matching blocking request asynchronous.
 * Returns 0, or 12 out of range or for a NULL Instance. */
KIVSDK_API int kiv_callback_set(KIVInstance* instance, int callback, KIVCallbackHandler handler);
/* The host's opaque pointer; NULL for a NULL Instance. */
KIVSDK_API void* kiv_user_data(KIVInstance* instance);
/* Stores the host's opaque pointer; the library never uses it. */
KIVSDK_API void kiv_user_data_set(KIVInstance* instance, void* data);

/* ------------------------------------------------------------------------ */
/* Diagnostics                                                                */
/* ------------------------------------------------------------------------ */

/* Routes diagnostic lines: with a NULL Instance the global route (level
 * KIV_LOG_WARNING and standard output until changed: the library's error and
 * warning lines, as it has always written them), else that Instance's own,
 * which then replaces the global one for it. A NULL handler writes to
 * standard output. At KIV_LOG_INFO the library also reports connects and
 * their addresses, the TLS version and cipher, rejected certificates with
 * their fault, losses with their reason and reconnection attempts; at
 * KIV_LOG_DEBUG Mbed TLS's own lines. Nothing is formatted for a level that
 * is off. The global route is set atomically.
 * Returns 0; 12 a level outside KIV_LOG_OFF..KIV_LOG_DEBUG; 31 wrong thread
 * (an Instance's route). */
KIVSDK_API int kiv_log_set(KIVInstance* instance, int level, KIVLogHandler handler);

/* ------------------------------------------------------------------------ */
/* Staying up                                                                 */
/* ------------------------------------------------------------------------ */

/* The library's version as major * 10000 + minor * 100 + patch (compare it
 * with KIVSDK_VERSION_NUMBER of the header the host was built with).
 * Returns the version, always. */
KIVSDK_API int kiv_version(void);

/* Liveness: a connected side that has received nothing for `seconds` is
 * lost (int 34 -1, int 45 KIV_DETAIL_SILENT, or KIV_DETAIL_STALLED when a
 * frame or the output queue was unfinished). With liveness on, a stalled
 * frame ends the connection once instead of repeating reason 16, and
 * callback-style connect, login and enter get the time limits of
 * kiv_limits_set. Servers send a keep-alive after 30 s without sending, so
 * choose more than that against them. 0 turns it off (the default);
 * KIV_LIVENESS_DEFAULT turns it on with 75 s. Applies at once, also to the
 * current connections.
 * Returns 0; 12 NULL Instance or another negative value; 31 wrong thread. */
KIVSDK_API int kiv_liveness_set(KIVInstance* instance, int seconds);

/* Time limits in whole seconds for connecting (TCP and the TLS handshake),
 * logging in and entering, for both forms; 0 keeps a limit's default: 15,
 * 10 and 20 s in blocking form, none in callback form unless liveness is on
 * (then the same defaults). A callback-style request past its limit
 * completes with 16; an answer arriving later is dropped: every request
 * completes exactly once.
 * Returns 0; 12 NULL Instance or a negative limit; 31 wrong thread. */
KIVSDK_API int kiv_limits_set(KIVInstance* instance, int connect_seconds, int login_seconds,
                              int enter_seconds);

/* Automatic reconnection, applied after the first successful login. A lost
 * universe is connected again, logged in with the credentials of the last
 * successful login (and string attributes 19 and 20 as they were then; kept
 * in memory only), and a world that was entered and not left is entered
 * again and sent the last own state. Events 26, 27 and 28 tell the host;
 * the library's own steps fire neither callback 10, 11 nor 13. While a side
 * reconnects its requests return 9. It gives up at once on a login refused
 * with 5, 14 or 23 and on a rejected certificate, and after max_attempts.
 * The policy is copied; `enabled` 0 turns it off and cancels a scheduled
 * attempt.
 * Returns 0; 12 NULL Instance or policy, a size smaller than the structure,
 * or a delay or attempt count out of range; 31 wrong thread. */
KIVSDK_API int kiv_reconnect_set(KIVInstance* instance, const KIVReconnectPolicy* policy);

/* The most bytes each output queue holds; 0 restores KIV_QUEUE_LIMIT_DEFAULT
 * (8 MiB). A request that would pass it returns 32 and queues and registers
 * nothing (its reference number is used up); the library's own frames
 * (keep-alive, logins, the secure-channel request) are never refused.
 * Returns 0; 12 NULL Instance or a limit below 65537 bytes (one largest
 * frame); 31 wrong thread. */
KIVSDK_API int kiv_queue_limit_set(KIVInstance* instance, int bytes);

/* Copies the Instance's counters into `stats`: at most `size` bytes, and
 * stats->size tells how many were written. Cheap enough to call every frame.
 * Returns 0; 12 NULL Instance or stats, or a size below sizeof(int); 31
 * wrong thread. */
KIVSDK_API int kiv_stats(KIVInstance* instance, KIVStats* stats, int size);

/* Starts a traffic capture into the file at `path` (created or emptied):
 * every frame of both sides in both directions, after TLS, with a monotonic
 * timestamp, in the format of docs/capture-format.md (version 1). The
 * strings of the universe login and the ticket and strings of the world
 * login are replaced by 'X' bytes of the same length: a capture holds no
 * credentials. The file grows to at most `max_bytes` (0: 64 MiB); then the
 * capture stops by itself. A running capture ends first.
 * Returns 0; 9 the file cannot be written; 12 NULL Instance, NULL or empty
 * path, or a negative size; 31 wrong thread. */
KIVSDK_API int kiv_capture_start(KIVInstance* instance, const char* path, long long max_bytes);
/* Ends the capture (its file is complete); no capture is fine.
 * Returns 0; 12 NULL Instance; 31 wrong thread. */
KIVSDK_API int kiv_capture_stop(KIVInstance* instance);

/* Replays a capture (kiv_capture_start) into this fresh Instance, for
 * tests: from now on its connections are made over the recording instead of
 * the socket table. The host code drives it as it drove the recorded
 * session (kiv_connect_universe, kiv_login, kiv_enter, ... and kiv_wait):
 * each recorded connection answers the Instance's matching connection on
 * that side, in order, with the server's frames, its handshake's result and
 * its loss, and whatever the Instance sends is dropped. A record the server
 * sent after a client frame waits until the Instance has sent a frame on
 * that side, so answers never overtake requests; with
 * KIV_REPLAY_RECORDED_TIMING records also keep their recorded spacing.
 * kiv_wait plays what is due (or sleeps until it is); the blocking forms
 * work too. A replay does not answer requests the recording does not hold,
 * runs no keep-alive, liveness or time limit of its own, and cannot be
 * stopped (destroy the Instance).
 * Returns 0; 9 the file cannot be read; 12 NULL Instance or path, unknown
 * flags, an Instance that has connected or already replays, or a file that
 * is not a whole capture of a known version; 31 wrong thread. */
KIVSDK_API int kiv_replay_start(KIVInstance* instance, const char* path, int flags);
/* Copies the replay's progress into `status`: at most `size` bytes, and
 * status->size tells how many were written.
 * Returns 0; 12 NULL Instance or status, a size below sizeof(int), or an
 * Instance that replays nothing; 31 wrong thread. */
KIVSDK_API int kiv_replay_status(KIVInstance* instance, KIVReplayStatus* status, int size);
/* Passes the recorded client frame the replay waits for, as if the Instance
 * had sent it (host code that no longer sends that request).
 * Returns 0; 12 NULL Instance, no replay, or a replay that waits for no
 * client frame; 31 wrong thread. */
KIVSDK_API int kiv_replay_skip(KIVInstance* instance);

/* The state of a side (KIV_SIDE_UNIVERSE or KIV_SIDE_WORLD): a KIVState.
 * Returns the state; 12 for a NULL Instance or an unknown side; 31 wrong
 * thread. */
KIVSDK_API int kiv_state(KIVInstance* instance, int side);

/* Replaces the CA certificates one side of this Instance trusts (the
 * library's built-in bundle otherwise): `length` bytes of PEM text, parsed
 * now and used by the side's later connections. This is how a host reaches
 * servers whose CAs the build does not carry.
 * Returns 0; 12 NULL Instance or pem, an unknown side, a length below 1 or
 * text without a usable certificate; 9 when memory could not be allocated;
 * 31 wrong thread. */
KIVSDK_API int kiv_trust_set(KIVInstance* instance, int side, const char* pem, int length);

/* ------------------------------------------------------------------------ */
/* Network                                                                    */
/* ------------------------------------------------------------------------ */

/* Reports activity on a socket to the connection it was created for: kind is
 * a KIVNetNotification; status matters only for KIV_NET_CONNECT_RESULT.
 * Unknown kinds and a NULL connection are ignored.
 * Returns 0, always. */
KIVSDK_API int kiv_net_notify(void* connection, int kind, int status);

#ifdef _WIN32
/* Registers the "KivMessageWindow" class used by the window-message sockets.
 * Returns 0, or 20 when the class cannot be registered (e.g. a second call). */
KIVSDK_API int kiv_winsock_async_init(void);
/* Unregisters the window class. Returns 0, always. */
KIVSDK_API int kiv_winsock_async_term(void);
/* Fills a table with the window-message socket operations and a fresh context;
 * the wait slot is left as the host had it.
 * Returns 0, or 12 for a NULL table. */
KIVSDK_API int kiv_winsock_async_create(KIVNetConfig* config);
/* Releases the context made by kiv_winsock_async_create (after every Instance
 * that copied the table is destroyed).
 * Returns 0, or 12 for a NULL table. */
KIVSDK_API int kiv_winsock_async_destroy(KIVNetConfig* config);
#endif

/* ------------------------------------------------------------------------ */
/* Shared loop                                                                */
/* ------------------------------------------------------------------------ */

/* A loop of the library's own sockets for many Instances: one pass serves
 * them all (on Linux one epoll set, so a pass costs one system call however
 * many; elsewhere the poll/select loop of kiv_create(NULL), with its limit
 * of 64 sockets per pass). Give every Instance the loop's table
 * (kiv_loop_table, then kiv_create). Then kiv_wait on any of them, or
 * kiv_loop_wait, runs one pass for all of them; while it runs, every
 * Instance of the loop is in a wait (kiv_wait and the blocking forms return
 * 21 from any handler) and the loop and its Instances belong to the thread
 * that runs it (31 from other threads). A foreign loop watches kiv_loop_fd
 * and the time of kiv_loop_next_ms and runs kiv_loop_wait(loop, 0) when
 * either is due.
 * Returns the loop, or NULL when it cannot be made. */
KIVSDK_API KIVLoop* kiv_loop_create(void);
/* Frees a loop without Instances (destroy them first).
 * Returns 0 (also for NULL); 12 while Instances of it exist or from inside
 * its pass; 31 wrong thread. */
KIVSDK_API int kiv_loop_destroy(KIVLoop* loop);
/* Fills `config` with the loop's socket table: kiv_create(config) makes an
 * Instance on the loop. The table may be copied and used for any number of
 * Instances while the loop exists.
 * Returns 0; 12 NULL loop or config. */
KIVSDK_API int kiv_loop_table(KIVLoop* loop, KIVNetConfig* config);
/* One pass for every Instance of the loop: blocks at most `milliseconds`
 * (0: not at all; negative: until activity or the nearest timer) and
 * delivers what is due. A loop with nothing to watch and no timer sleeps
 * its time.
 * Returns 0; 9 the wait failed; 12 NULL loop; 21 from inside a pass of the
 * loop; 31 wrong thread. */
KIVSDK_API int kiv_loop_wait(KIVLoop* loop, int milliseconds);
/* A descriptor that is readable while a pass has sockets to serve (the
 * epoll descriptor; watch it, never read it); timers are told by
 * kiv_loop_next_ms.
 * Returns the descriptor; -1 for NULL and where there is none (off Linux,
 * or a kernel without epoll). */
KIVSDK_API int kiv_loop_fd(KIVLoop* loop);
/* Milliseconds until the loop's nearest timer is due: 0 when one is.
 * Returns the time; -1 without a timer, for NULL, or from another thread
 * while the loop is in use. */
KIVSDK_API int kiv_loop_next_ms(KIVLoop* loop);

/* ------------------------------------------------------------------------ */
/* Universe                                                                   */
/* ------------------------------------------------------------------------ */

/* Lost connections. Every request belongs to the Connection it was sent on.
 * When that Connection ends (lost with int 34 -1 or 9; kiv_leave, kiv_enter
 * or kiv_connect_universe replacing it; a world entry reply replacing the
 * world), each of its pending requests completes exactly once with 9 (its
 * callback, in ascending reference order; a connect, login or enter in
 * blocking form returns 9). On a loss this happens right after the
 * disconnect event (12 or 13). A stalled frame (int 34 16) ends nothing.
 * Afterwards every request of the lost side returns 9 and sends nothing
 * (argument checks, 4 and 12, come first) until kiv_connect_universe or
 * kiv_enter builds a new Connection; kiv_leave still leaves a lost world.
 * Only kiv_destroy ends pending requests without a call. */

/* Connects to a universe server and brings up its secure channel; discards
 * any earlier universe and world connection first. Blocks for at most 15 s
 * unless callback 13 (KIV_CALLBACK_CONNECT_UNIVERSE) has a handler.
 * Returns 0; 9 connect failed; 12 NULL Instance; 24 secure channel failed;
 * from the blocking wait 16 (time limit), 21 (inside a handler), 27 (no wait
 * operation) or 9 (the wait failed, or the Instance was destroyed meanwhile). */
KIVSDK_API int kiv_connect_universe(KIVInstance* instance, const char* host, int port);

/* Logs in with the user's name, password and a third string whose meaning
 * the server defines (each at most 255 bytes; NULL is the empty string),
 * followed by string attributes 19 and 20. Blocks for at most 10 s unless
 * callback 10 has a handler.
 * Returns 0; 4 a string too long; 5, 14, 20, 23 the login refused (20 also
 * for a reply without its result); 9 connection lost (before or while
 * waiting); 12 NULL Instance; 17 universe not ready; or a code of the wait
 * (16, 21, 27, 9). */
KIVSDK_API int kiv_login(KIVInstance* instance, const char* name, const char* password,
                         const char* extra);

/* Asks for the world list (events 8, then callback 18).
 * Returns 0; 9 connection lost; 12 NULL Instance; 17 no universe connection or not ready. */
KIVSDK_API int kiv_world_list(KIVInstance* instance, int value);
/* Asks for a user's attributes (event 14).
 * Returns 0; 9 connection lost; 12 NULL Instance; 17 no universe connection or not ready. */
KIVSDK_API int kiv_user_attributes_by_id(KIVInstance* instance, int user_id);
/* Not supported. Returns 11, always (12 for a NULL Instance). */
KIVSDK_API int kiv_user_attributes_by_name(KIVInstance* instance, const char* name);
/* Asks for the friend list (events 11, then callback 3).
 * Returns 0; 9 connection lost; 12 NULL Instance; 17 no universe connection or not ready. */
KIVSDK_API int kiv_friends_get(KIVInstance* instance);
/* Adds a friend by name (callback 4).
 * Returns 0; 9 connection lost; 12 NULL Instance; 17 no universe connection or not ready. */
KIVSDK_API int kiv_friend_add_by_name(KIVInstance* instance, const char* name);
/* Deletes a friend (callback 5).
 * Returns 0; 9 connection lost; 12 NULL Instance; 17 no universe connection or not ready. */
KIVSDK_API int kiv_friend_delete(KIVInstance* instance, int friend_id);

/* Invites a user to a place (callback 17).
 * Returns 0; 9 connection lost; 12 NULL Instance; 17 no universe connection or not ready. */
KIVSDK_API int kiv_invite(KIVInstance* instance, int user_id, const char* world, double x, double y,
                          double z, float yaw, float pitch);
/* Accepts an invitation. Returns 0; 9 connection lost; 12 NULL Instance; 17 universe not ready. */
KIVSDK_API int kiv_invite_accept(KIVInstance* instance, int invitation_id);
/* Declines an invitation. Returns 0; 9 connection lost; 12 NULL Instance; 17 universe not ready. */
KIVSDK_API int kiv_invite_decline(KIVInstance* instance, int invitation_id);
/* Asks to join a user (callback 12).
 * Returns 0; 9 connection lost; 12 NULL Instance; 17 no universe connection or not ready. */
KIVSDK_API int kiv_join(KIVInstance* instance, int user_id);
/* Accepts a join request, telling where to come.
 * Returns 0; 9 connection lost; 12 NULL Instance; 17 no universe connection or not ready. */
KIVSDK_API int kiv_join_accept(KIVInstance* instance, int join_id, const char* world, double x,
                               double y, double z, float yaw, float pitch);
/* Declines a join request.
 * Returns 0; 9 connection lost; 12 NULL Instance; 17 no universe connection or not ready. */
KIVSDK_API int kiv_join_decline(KIVInstance* instance, int join_id);

/* ------------------------------------------------------------------------ */
/* World                                                                      */
/* ------------------------------------------------------------------------ */

/* Enters the named world (at most 255 bytes), leaving any world first. Blocks
 * for at most 20 s unless callback 11 (KIV_CALLBACK_ENTER) has a handler.
 * Returns 0; 9 connection lost; 4 name too long; 12 NULL Instance; 17 universe not ready; in
 * blocking form 6 (world unavailable, also for an entry reply cut before the
 * world's address), 9 (connect failed, or the universe or the new world lost
 * before the world's login reply), 24 (secure channel failed), 30 (enter
 * refused), or a code of the wait (16, 21, 27, 9). */
KIVSDK_API int kiv_enter(KIVInstance* instance, const char* world);
/* Closes the world connection, also a lost one; its pending requests end
 * with 9. Returns 0; 8 when there is none; 12 NULL. */
KIVSDK_API int kiv_leave(KIVInstance* instance);

/* Sends the host's own position (floats 5..9) and avatar type (int 2).
 * Returns 0; 9 connection lost; 8 not in a world; 12 NULL Instance. */
KIVSDK_API int kiv_state_change(KIVInstance* instance);
/* Says one chat line (at most 255 bytes).
 * Returns 0; 9 connection lost; 4 too long; 8 not in a world; 12 NULL Instance. */
KIVSDK_API int kiv_say(KIVInstance* instance, const char* text);

/* Adds an object from ints 3 and 4, floats 10..16, strings 2..4 (each at most
 * 255 bytes) and data 0 (callback 0).
 * Returns 0; 9 connection lost; 4 a string too long or the message too large; 8 not in a world;
 * 12 NULL Instance. */
KIVSDK_API int kiv_object_add(KIVInstance* instance);
/* Changes object int 3 to the same kind of description (callback 1).
 * Returns 0; 9 connection lost; 4; 8; 12 as kiv_object_add. */
KIVSDK_API int kiv_object_change(KIVInstance* instance);
/* Deletes an object (callback 2). Returns 0; 9 connection lost; 8 not in a world; 12 NULL. */
KIVSDK_API int kiv_object_delete(KIVInstance* instance, int object_id);
/* Adds an object with given numbers (ints 5 and 6) besides the description
 * (callback 9). Returns 0; 9 connection lost; 4; 8; 12 as kiv_object_add. */
KIVSDK_API int kiv_object_load(KIVInstance* instance);
/* Asks for one object's record (callback 8).
 * Returns 0; 9 connection lost; 8 not in a world; 12 NULL Instance. */
KIVSDK_API int kiv_object_get(KIVInstance* instance, int object_id);
/* Clicks an object. Returns 0; 9 connection lost; 8 not in a world; 12 NULL Instance. */
KIVSDK_API int kiv_object_click(KIVInstance* instance, int object_id, int session, float hit_x,
                                float hit_y, float hit_z);
/* A bump against an object begins. Returns 0; 9 connection lost; 8 not in a world; 12 NULL. */
KIVSDK_API int kiv_object_bump_begin(KIVInstance* instance, int object_id, int session);
/* A bump against an object ends. Returns 0; 9 connection lost; 8 not in a world; 12 NULL. */
KIVSDK_API int kiv_object_bump_end(KIVInstance* instance, int object_id, int session);
/* Asks for a cell's content (events 4, then 15).
 * Returns 0; 9 connection lost; 8 not in a world; 12 NULL Instance. */
KIVSDK_API int kiv_query_cell(KIVInstance* instance, int cell_x, int cell_z);
/* As kiv_query_cell, with the revision the host holds.
 * Returns 0; 9 connection lost; 8 not in a world; 12 NULL Instance. */
KIVSDK_API int kiv_query_cell_revision(KIVInstance* instance, int cell_x, int cell_z, int revision);

/* Sends the host's revisions of the 16 nodes of a tile (element
 * 4 * node_z + node_x); nodes come back as events 16, then callback 6.
 * Returns 0; 9 connection lost; 8 not in a world; 12 NULL Instance or NULL revisions. */
KIVSDK_API int kiv_terrain_query(KIVInstance* instance, int tile_x, int tile_z,
                                 const int revisions[16]);
/* Replaces the 64 cells of one node (callback 7).
 * Returns 0; 9 connection lost; 8 not in a world; 12 NULL Instance or NULL cells. */
KIVSDK_API int kiv_terrain_node_set(KIVInstance* instance, int tile_x, int tile_z, int node_x,
                                    int node_z, const KIVTerrainCell cells[64]);

/* Grants or revokes a world permission for a user (callback 14).
 * Returns 0; 9 connection lost; 4 permission name longer than 255 bytes; 8 not in a world;
 * 12 NULL Instance. */
KIVSDK_API int kiv_world_permission_user_set(KIVInstance* instance, const char* permission,
                                             int user_id, int enable);
/* Grants or revokes a world permission for a session (callback 15).
 * Returns 0; 9 connection lost; 4; 8; 12 as kiv_world_permission_user_set. */
KIVSDK_API int kiv_world_permission_session_set(KIVInstance* instance, const char* permission,
                                                int session, int enable);
/* Lists every permission (events 25, then callback 21).
 * Returns 0; 9 connection lost; 8 not in a world; 12 NULL Instance. */
KIVSDK_API int kiv_world_permissions_get_all(KIVInstance* instance);
/* Lists a user's permissions (events 25, then callback 20).
 * Returns 0; 9 connection lost; 8 not in a world; 12 NULL Instance. */
KIVSDK_API int kiv_world_permissions_get_by_user(KIVInstance* instance, int user_id);
/* Lists the host's own permissions (events 25, then callback 19).
 * Returns 0; 9 connection lost; 8 not in a world; 12 NULL Instance. */
KIVSDK_API int kiv_world_permissions_get_my(KIVInstance* instance);
/* Changes a world setting (callback 16).
 * Returns 0; 9 connection lost; 4 name or value longer than 255 bytes; 8 not in a world;
 * 12 NULL Instance. */
KIVSDK_API int kiv_world_setting_set(KIVInstance* instance, const char* setting, const char* value,
                                     int target);

/* Teleports another avatar. Returns 0; 9 connection lost; 8 not in a world; 12 NULL Instance. */
KIVSDK_API int kiv_teleport_avatar(KIVInstance* instance, int session, const char* world, float x,
                                   float y, float z, float yaw, float pitch);
/* Sends a URL (at most 2048 bytes) to another avatar.
 * Returns 0; 9 connection lost; 8 not in a world (checked first); 4 URL too long; 12 NULL. */
KIVSDK_API int kiv_url_send(KIVInstance* instance, int session, const char* url, int target);
/* Sends a console line to a session. Returns 0; 4 message or name longer than
 * 255 bytes (checked first); 8 not in a world; 9 connection lost; 12 NULL
 * Instance. */
KIVSDK_API int kiv_console_message(KIVInstance* instance, int session, const char* name,
                                   const char* message, int effects, int red, int green, int blue);
/* Clicks an avatar, with the hit point from floats 22..24.
 * Returns 0; 9 connection lost; 8 not in a world; 12 NULL Instance. */
KIVSDK_API int kiv_avatar_click(KIVInstance* instance, int session);

#ifdef __cplusplus
}
#endif

#endif /* KIVSDK_H */
