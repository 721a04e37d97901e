#include "wire/message_catalogue.h"

#include <cstdio>
#include <iterator>

#include "wire/packet_reader.h"
#include "wire/universe_messages.h"
#include "wire/world_messages.h"

namespace kivsdk::wire {
namespace {

constexpr FieldSpec byte(const char* name) { return {name, Encoding::kByte, 0}; }
constexpr FieldSpec uint16(const char* name) { return {name, Encoding::kUint16, 0}; }
constexpr FieldSpec int32(const char* name) { return {name, Encoding::kInt32, 0}; }
constexpr FieldSpec float32(const char* name) { return {name, Encoding::kFloat, 0}; }
constexpr FieldSpec float64(const char* name) { return {name, Encoding::kDouble, 0}; }
constexpr FieldSpec string(const char* name) { return {name, Encoding::kString, 0}; }
constexpr FieldSpec blob16(const char* name) { return {name, Encoding::kBlob16, 0}; }
constexpr FieldSpec raw(const char* name, std::uint16_t size) {
    return {name, Encoding::kRaw, size};
}
constexpr FieldSpec rest(const char* name) { return {name, Encoding::kRest, 0}; }

// ---- Field lists, shared where two messages carry the same fields --------

constexpr FieldSpec kNone[] = {rest("unread")};
constexpr FieldSpec kKeepAlive[] = {int32("zero")};

// Universe, to the server.
constexpr FieldSpec kLogin[] = {byte("version"), string("name"),    string("password"),
                                string("extra"), string("extra_1"), string("extra_2")};
constexpr FieldSpec kWorldEntryRequest[] = {string("world")};
constexpr FieldSpec kWorldListRequest[] = {int32("value"), int32("reference")};
constexpr FieldSpec kUserAttributesRequest[] = {int32("user_id")};
constexpr FieldSpec kReferenceOnly[] = {int32("reference")};
constexpr FieldSpec kFriendAdd[] = {int32("reference"), string("name")};
constexpr FieldSpec kFriendDelete[] = {int32("reference"), int32("friend_id")};
constexpr FieldSpec kJoinRequest[] = {int32("reference"), int32("user_id")};
constexpr FieldSpec kJoinAnswer[] = {int32("join_id"), byte("accept"), rest("place")};
constexpr FieldSpec kInviteRequest[] = {int32("reference"), int32("user_id"), float64("x"),
                                        float64("y"),       float64("z"),     float32("yaw"),
                                        float32("pitch"),   string("world")};
constexpr FieldSpec kInviteAnswer[] = {int32("invitation_id"), byte("accept")};

// Universe, from the server.
constexpr FieldSpec kLoginReply[] = {byte("result"), int32("value"), string("text")};
constexpr FieldSpec kWorldEntryReply[] = {byte("status"),      raw("ticket", 32), raw("address", 4),
                                          uint16("port"),      string("host"),    byte("flags"),
                                          int32("entry_value")};
constexpr FieldSpec kWorldListEntry[] = {byte("state"), string("world"), int32("value")};
constexpr FieldSpec kTransactionResult[] = {int32("reference"), byte("result"), rest("answer")};
constexpr FieldSpec kUserAttributes[] = {int32("user_id"), int32("int_1"),     int32("int_2"),
                                         int32("int_3"),   string("string_1"), string("string_2")};
constexpr FieldSpec kFriendEntry[] = {int32("user_id"), int32("friend_id"), string("name"),
                                      byte("unused"), byte("state")};
constexpr FieldSpec kJoinOffer[] = {int32("join_id"), int32("user_id"), string("name")};
constexpr FieldSpec kInvitation[] = {int32("invitation_id"), int32("user_id"), float64("x"),
                                     float64("y"),           float64("z"),     float32("yaw"),
                                     float32("pitch"),       string("world"),  string("name")};

// World, to the server.
constexpr FieldSpec kWorldLogin[] = {raw("ticket", 32), string("extra_1"), string("extra_2")};
constexpr FieldSpec kConsoleMessage[] = {int32("session"), string("name"), string("text"),
                                         byte("effects"),  byte("red"),    byte("green"),
                                         byte("blue")};
constexpr FieldSpec kCellQuery[] = {int32("cell_x"), int32("cell_z"), int32("revision")};
constexpr FieldSpec kSay[] = {string("text")};
constexpr FieldSpec kObjectAdd[] = {
    int32("reference"), byte("type"),          float32("x"),          float32("y"),
    float32("z"),       float32("rotation_x"), float32("rotation_y"), float32("rotation_z"),
    string("string_1"), string("string_2"),    string("string_3"),    blob16("data"),
    float32("angle"),   float64("x_precise"),  float64("y_precise"),  float64("z_precise")};
constexpr FieldSpec kObjectChange[] = {
    int32("reference"),    int32("object_id"), byte("type"),          float32("x"),
    float32("y"),          float32("z"),       float32("rotation_x"), float32("rotation_y"),
    float32("rotation_z"), string("string_1"), string("string_2"),    string("string_3"),
    blob16("data"),        float32("angle"),   float64("x_precise"),  float64("y_precise"),
    float64("z_precise")};
constexpr FieldSpec kObjectByReference[] = {int32("reference"), int32("object_id")};
constexpr FieldSpec kOwnState[] = {float32("x"),   float32("y"),     float32("z"),
                                   float32("yaw"), float32("pitch"), int32("avatar_type")};
constexpr FieldSpec kObjectClick[] = {int32("object_id"), float32("hit_x"), float32("hit_y"),
                                      float32("hit_z"), int32("session")};
constexpr FieldSpec kSettingSet[] = {int32("reference"), int32("target"), string("name"),
                                     string("value")};
constexpr FieldSpec kTerrainQuery[] = {int32("reference"), int32("tile_x"), int32("tile_z"),
                                       raw("revisions", 16 * 4)};
constexpr FieldSpec kTerrainNodeSet[] = {int32("reference"),  int32("tile_x"), int32("tile_z"),
                                         byte("node_x"),      byte("node_z"),  int32("zero"),
                                         raw("cells", 64 * 6)};
constexpr FieldSpec kAvatarClick[] = {int32("session"), float32("hit_x"), float32("hit_y"),
                                      float32("hit_z")};
constexpr FieldSpec kTeleport[] = {int32("session"), string("world"), float32("x"),    float32("y"),
                                   float32("z"),     float32("yaw"),  float32("pitch")};
constexpr FieldSpec kUrl[] = {int32("session"), byte("target"), blob16("url")};
constexpr FieldSpec kBumpRequest[] = {int32("object_id"), int32("session")};
constexpr FieldSpec kObjectLoad[] = {
    int32("reference"),    byte("type"),          int32("int_2"),   int32("int_1"),
    float32("x"),          float32("y"),          float32("z"),     float32("rotation_x"),
    float32("rotation_y"), float32("rotation_z"), float32("angle"), string("string_1"),
    string("string_2"),    string("string_3"),    blob16("data"),   float64("x_precise"),
    float64("y_precise"),  float64("z_precise")};
constexpr FieldSpec kPermissionSet[] = {int32("reference"), byte("enable"), string("permission"),
                                        int32("holder")};
constexpr FieldSpec kPermissionsByUser[] = {int32("reference"), int32("user_id")};

// World, from the server.
constexpr FieldSpec kStatus[] = {byte("status")};
constexpr FieldSpec kCell[] = {int32("cell_x"), int32("cell_z"), int32("revision"), byte("status")};
constexpr FieldSpec kObjectNotice[] = {
    int32("object_id"),    string("string_1"),    string("string_2"),  string("string_3"),
    float32("x"),          float32("y"),          float32("z"),        float32("rotation_x"),
    float32("rotation_y"), float32("rotation_z"), int32("int_1"),      int32("int_2"),
    byte("type"),          blob16("data"),        float32("angle"),    int32("session"),
    float64("x_precise"),  float64("y_precise"),  float64("z_precise")};
constexpr FieldSpec kChat[] = {string("name"), string("text"), int32("session"), rest("console")};
constexpr FieldSpec kObjectDeleted[] = {int32("object_id"), int32("session")};
constexpr FieldSpec kAvatarAdded[] = {int32("session"),     float32("x"),      float32("y"),
                                      float32("z"),         float32("yaw"),    float32("pitch"),
                                      int32("avatar_type"), string("name"),    int32("user_id"),
                                      string("string_1"),   string("string_2")};
constexpr FieldSpec kAvatarChanged[] = {int32("session"),     float32("x"),   float32("y"),
                                        float32("z"),         float32("yaw"), float32("pitch"),
                                        int32("avatar_type"), string("name")};
constexpr FieldSpec kAvatarDeleted[] = {int32("session"), string("name")};
constexpr FieldSpec kObjectClicked[] = {int32("session"), string("name"),   int32("object_id"),
                                        float32("hit_x"), float32("hit_y"), float32("hit_z")};
constexpr FieldSpec kWorldSetting[] = {string("name"), string("value")};
constexpr FieldSpec kTerrainNodes[] = {int32("reference"), int32("unused"), int32("tile_x"),
                                       int32("tile_z"), rest("nodes")};
constexpr FieldSpec kAvatarClicked[] = {int32("session"), int32("clicked_session"),
                                        float32("hit_x"), float32("hit_y"), float32("hit_z")};
constexpr FieldSpec kBumpNotice[] = {int32("session"), int32("object_id")};
constexpr FieldSpec kTerrainNodeChanged[] = {int32("tile_x"), int32("tile_z"), byte("node_x"),
                                             byte("node_z")};
constexpr FieldSpec kPermissions[] = {int32("unused"), byte("count"), rest("entries")};

#define KIV_MESSAGE(protocol, direction, type, name, fields) \
    MessageSpec { Protocol::protocol, Direction::direction, type, name, fields, std::size(fields) }
#define KIV_EMPTY_MESSAGE(protocol, direction, type, name) \
    MessageSpec { Protocol::protocol, Direction::direction, type, name, nullptr, 0 }

const MessageSpec kCatalogue[] = {
    // Universe, to the server.
    KIV_MESSAGE(kUniverse, kToServer, universe_message::kLogin, "login", kLogin),
    KIV_MESSAGE(kUniverse, kToServer, universe_message::kWorldEntry, "world entry request",
                kWorldEntryRequest),
    KIV_MESSAGE(kUniverse, kToServer, universe_message::kWorldList, "world list request",
                kWorldListRequest),
    KIV_MESSAGE(kUniverse, kToServer, universe_message::kUserAttributes, "user attributes request",
                kUserAttributesRequest),
    KIV_MESSAGE(kUniverse, kToServer, universe_message::kFriendList, "friend list request",
                kReferenceOnly),
    KIV_MESSAGE(kUniverse, kToServer, universe_message::kFriendAdd, "friend add", kFriendAdd),
    KIV_MESSAGE(kUniverse, kToServer, universe_message::kFriendDelete, "friend delete",
                kFriendDelete),
    KIV_MESSAGE(kUniverse, kToServer, universe_message::kKeepAlive, "keep-alive", kKeepAlive),
    KIV_MESSAGE(kUniverse, kToServer, universe_message::kJoin, "join request", kJoinRequest),
    KIV_MESSAGE(kUniverse, kToServer, universe_message::kJoinAnswer, "join answer", kJoinAnswer),
    KIV_EMPTY_MESSAGE(kUniverse, kToServer, universe_message::kSecureChannel,
                      "secure channel request"),
    KIV_MESSAGE(kUniverse, kToServer, universe_message::kInvite, "invitation", kInviteRequest),
    KIV_MESSAGE(kUniverse, kToServer, universe_message::kInviteAnswer, "invitation answer",
                kInviteAnswer),
    // Universe, from the server.
    KIV_MESSAGE(kUniverse, kFromServer, universe_message::kLogin, "login reply", kLoginReply),
    KIV_MESSAGE(kUniverse, kFromServer, universe_message::kWorldEntry, "world entry reply",
                kWorldEntryReply),
    KIV_MESSAGE(kUniverse, kFromServer, universe_message::kWorldList, "world list entry",
                kWorldListEntry),
    KIV_MESSAGE(kUniverse, kFromServer, universe_message::kTransactionResult, "transaction result",
                kTransactionResult),
    KIV_MESSAGE(kUniverse, kFromServer, universe_message::kUserAttributes, "user attributes",
                kUserAttributes),
    KIV_MESSAGE(kUniverse, kFromServer, universe_message::kFriendList, "friend entry",
                kFriendEntry),
    KIV_MESSAGE(kUniverse, kFromServer, universe_message::kKeepAlive, "keep-alive", kNone),
    KIV_MESSAGE(kUniverse, kFromServer, universe_message::kJoin, "join request", kJoinOffer),
    KIV_MESSAGE(kUniverse, kFromServer, universe_message::kSecureChannel, "secure channel go-ahead",
                kNone),
    KIV_MESSAGE(kUniverse, kFromServer, universe_message::kInvite, "invitation", kInvitation),
    // World, to the server.
    KIV_MESSAGE(kWorld, kToServer, world_message::kLogin, "world login", kWorldLogin),
    KIV_MESSAGE(kWorld, kToServer, world_message::kConsoleMessage, "console message",
                kConsoleMessage),
    KIV_MESSAGE(kWorld, kToServer, world_message::kCell, "cell query", kCellQuery),
    KIV_MESSAGE(kWorld, kToServer, world_message::kChat, "say", kSay),
    KIV_MESSAGE(kWorld, kToServer, world_message::kObjectAdd, "object add", kObjectAdd),
    KIV_MESSAGE(kWorld, kToServer, world_message::kObjectChange, "object change", kObjectChange),
    KIV_MESSAGE(kWorld, kToServer, world_message::kObjectDelete, "object delete",
                kObjectByReference),
    KIV_MESSAGE(kWorld, kToServer, world_message::kAvatarChange, "own state", kOwnState),
    KIV_MESSAGE(kWorld, kToServer, world_message::kObjectClick, "object click", kObjectClick),
    KIV_MESSAGE(kWorld, kToServer, world_message::kWorldSetting, "world setting", kSettingSet),
    KIV_MESSAGE(kWorld, kToServer, world_message::kTerrainQuery, "terrain query", kTerrainQuery),
    KIV_MESSAGE(kWorld, kToServer, world_message::kTerrainNodeSet, "terrain node set",
                kTerrainNodeSet),
    KIV_MESSAGE(kWorld, kToServer, world_message::kKeepAlive, "keep-alive", kKeepAlive),
    KIV_MESSAGE(kWorld, kToServer, world_message::kObjectGet, "object get", kObjectByReference),
    KIV_MESSAGE(kWorld, kToServer, world_message::kAvatarClick, "avatar click", kAvatarClick),
    KIV_MESSAGE(kWorld, kToServer, world_message::kTeleport, "teleport", kTeleport),
    KIV_MESSAGE(kWorld, kToServer, world_message::kUrl, "url", kUrl),
    KIV_MESSAGE(kWorld, kToServer, world_message::kBumpBegin, "bump begins", kBumpRequest),
    KIV_MESSAGE(kWorld, kToServer, world_message::kBumpEnd, "bump ends", kBumpRequest),
    KIV_MESSAGE(kWorld, kToServer, world_message::kObjectLoad, "object load", kObjectLoad),
    KIV_EMPTY_MESSAGE(kWorld, kToServer, world_message::kSecureChannel, "secure channel request"),
    KIV_MESSAGE(kWorld, kToServer, world_message::kPermissionUserSet, "permission for a user",
                kPermissionSet),
    KIV_MESSAGE(kWorld, kToServer, world_message::kPermissionSessionSet, "permission for a session",
                kPermissionSet),
    KIV_MESSAGE(kWorld, kToServer, world_message::kPermissionsGetMy, "own permissions",
                kReferenceOnly),
    KIV_MESSAGE(kWorld, kToServer, world_message::kPermissionsGetByUser, "permissions of a user",
                kPermissionsByUser),
    KIV_MESSAGE(kWorld, kToServer, world_message::kPermissionsGetAll, "all permissions",
                kReferenceOnly),
    // World, from the server.
    KIV_MESSAGE(kWorld, kFromServer, world_message::kLogin, "world login reply", kStatus),
    KIV_MESSAGE(kWorld, kFromServer, world_message::kCell, "cell end", kCell),
    KIV_MESSAGE(kWorld, kFromServer, world_message::kObject, "object", kObjectNotice),
    KIV_MESSAGE(kWorld, kFromServer, world_message::kChat, "chat", kChat),
    KIV_MESSAGE(kWorld, kFromServer, world_message::kObjectChange, "object changed", kObjectNotice),
    KIV_MESSAGE(kWorld, kFromServer, world_message::kObjectDelete, "object deleted",
                kObjectDeleted),
    KIV_MESSAGE(kWorld, kFromServer, world_message::kAvatarAdd, "avatar added", kAvatarAdded),
    KIV_MESSAGE(kWorld, kFromServer, world_message::kAvatarChange, "avatar changed",
                kAvatarChanged),
    KIV_MESSAGE(kWorld, kFromServer, world_message::kAvatarDelete, "avatar deleted",
                kAvatarDeleted),
    KIV_MESSAGE(kWorld, kFromServer, world_message::kObjectClick, "object clicked", kObjectClicked),
    KIV_MESSAGE(kWorld, kFromServer, world_message::kTransactionResult, "transaction result",
                kTransactionResult),
    KIV_MESSAGE(kWorld, kFromServer, world_message::kWorldSetting, "world setting", kWorldSetting),
    KIV_EMPTY_MESSAGE(kWorld, kFromServer, world_message::kWorldSettingsEnd, "world settings end"),
    KIV_MESSAGE(kWorld, kFromServer, world_message::kTerrainQuery, "terrain nodes", kTerrainNodes),
    KIV_MESSAGE(kWorld, kFromServer, world_message::kKeepAlive, "keep-alive", kNone),
    KIV_MESSAGE(kWorld, kFromServer, world_message::kAvatarClick, "avatar clicked", kAvatarClicked),
    KIV_MESSAGE(kWorld, kFromServer, world_message::kTeleport, "teleport", kTeleport),
    KIV_MESSAGE(kWorld, kFromServer, world_message::kUrl, "url", kUrl),
    KIV_MESSAGE(kWorld, kFromServer, world_message::kBumpBegin, "bump begins", kBumpNotice),
    KIV_MESSAGE(kWorld, kFromServer, world_message::kBumpEnd, "bump ends", kBumpNotice),
    KIV_MESSAGE(kWorld, kFromServer, world_message::kTerrainNodeChanged, "terrain node changed",
                kTerrainNodeChanged),
    KIV_MESSAGE(kWorld, kFromServer, world_message::kSecureChannel, "secure channel reply",
                kStatus),
    KIV_MESSAGE(kWorld, kFromServer, world_message::kPermissions, "permissions", kPermissions),
};

#undef KIV_MESSAGE
#undef KIV_EMPTY_MESSAGE

void append_quoted(std::string& text, std::string_view value) {
    text += '"';
    for (const char c : value) {
        const auto byte = static_cast<unsigned char>(c);
        if (byte < 0x20 || byte >= 0x7F || c == '"' || c == '\\') {
            char escaped[5];
            std::snprintf(escaped, sizeof escaped, "\\x%02x", byte);
            text += escaped;
        } else {
            text += c;
        }
    }
    text += '"';
}

// Reads one field and appends " name=value"; false when it is cut.
bool describe_field(const FieldSpec& field, PacketReader& body, std::string& text) {
    text += ' ';
    text += field.name;
    text += '=';
    FieldValue value;
    if (!read_field(field, body, value)) return false;
    char number[32];
    switch (field.encoding) {
        case Encoding::kByte:
        case Encoding::kUint16:
        case Encoding::kInt32:
            std::snprintf(number, sizeof number, "%lld", static_cast<long long>(value.integer));
            break;
        case Encoding::kFloat:
        case Encoding::kDouble: std::snprintf(number, sizeof number, "%g", value.real); break;
        case Encoding::kString: append_quoted(text, value.bytes); return true;
        case Encoding::kBlob16:
        case Encoding::kRaw:
        case Encoding::kRest:
            std::snprintf(number, sizeof number, "<%zu bytes>", value.bytes.size());
            break;
    }
    text += number;
    return true;
}

}  // namespace

bool read_field(const FieldSpec& field, PacketReader& body, FieldValue& value) noexcept {
    value = FieldValue{};
    switch (field.encoding) {
        case Encoding::kByte: {
            std::uint8_t read = 0;
            if (!body.read_byte(read)) return false;
            value.integer = read;
            return true;
        }
        case Encoding::kUint16: {
            std::uint16_t read = 0;
            if (!body.read_uint16(read)) return false;
            value.integer = read;
            return true;
        }
        case Encoding::kInt32: {
            std::int32_t read = 0;
            if (!body.read_int32(read)) return false;
            value.integer = read;
            return true;
        }
        case Encoding::kFloat: return body.read_float(value.real);
        case Encoding::kDouble: return body.read_double(value.real);
        case Encoding::kString: return body.read_string(value.bytes);
        case Encoding::kBlob16: return body.read_blob16(value.bytes);
        case Encoding::kRaw: return body.read_view(field.size, value.bytes);
        case Encoding::kRest: return body.read_view(body.remaining(), value.bytes);
    }
    return false;
}

const MessageSpec* catalogue_begin() noexcept { return std::begin(kCatalogue); }
const MessageSpec* catalogue_end() noexcept { return std::end(kCatalogue); }

const MessageSpec* find_message(Protocol protocol, Direction direction,
                                std::uint8_t type) noexcept {
    for (const MessageSpec& message : kCatalogue) {
        if (message.protocol == protocol && message.direction == direction &&
            message.type == type) {
            return &message;
        }
    }
    return nullptr;
}

Fit describe(Protocol protocol, Direction direction, const unsigned char* body, std::size_t size,
             std::string& text) {
    text.clear();
    if (size < 1 || size > 65535) return Fit::kUnknown;
    const MessageSpec* message = find_message(protocol, direction, body[0]);
    if (message == nullptr) {
        char line[32];
        std::snprintf(line, sizeof line, "unknown type %u", body[0]);
        text = line;
        return Fit::kUnknown;
    }
    text = message->name;
    PacketReader reader(body + 1, static_cast<std::uint16_t>(size - 1));
    for (std::size_t index = 0; index < message->field_count; ++index) {
        if (!describe_field(message->fields[index], reader, text)) {
            text += "<cut>";
            return Fit::kShort;
        }
    }
    return reader.remaining() == 0 ? Fit::kExact : Fit::kLong;
}

}  // namespace kivsdk::wire
