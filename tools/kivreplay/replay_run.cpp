#include "replay_run.h"

#include <chrono>
#include <fstream>
#include <iterator>
#include <string_view>

#include "capture_dump.h"
#include "kivsdk.h"
#include "wire/capture_file.h"
#include "wire/message_catalogue.h"
#include "wire/packet_reader.h"
#include "wire/universe_messages.h"
#include "wire/world_messages.h"

namespace kivsdk::tools {
namespace {

constexpr const char* kEventNames[] = {"chat",
                                       "avatar_add",
                                       "avatar_change",
                                       "avatar_delete",
                                       "object",
                                       "object_change",
                                       "object_delete",
                                       "object_click",
                                       "world_list",
                                       "world_setting",
                                       "world_settings_end",
                                       "friend",
                                       "world_disconnect",
                                       "universe_disconnect",
                                       "user_attributes",
                                       "cell_end",
                                       "terrain_node",
                                       "avatar_click",
                                       "teleport",
                                       "url",
                                       "object_bump_begin",
                                       "object_bump_end",
                                       "terrain_node_changed",
                                       "join",
                                       "invite",
                                       "world_permission",
                                       "reconnecting",
                                       "reconnected",
                                       "gave_up"};
static_assert(std::size(kEventNames) == KIV_EVENT_COUNT, "a name for every event");

constexpr const char* kCallbackNames[] = {"object_add",
                                          "object_change",
                                          "object_delete",
                                          "friends_get",
                                          "friend_add",
                                          "friend_delete",
                                          "terrain_query",
                                          "terrain_node_set",
                                          "object_get",
                                          "object_load",
                                          "login",
                                          "enter",
                                          "join",
                                          "connect_universe",
                                          "world_permission_user_set",
                                          "world_permission_session_set",
                                          "world_setting_set",
                                          "invite",
                                          "world_list",
                                          "world_permissions_get_my",
                                          "world_permissions_get_by_user",
                                          "world_permissions_get_all"};
static_assert(std::size(kCallbackNames) == KIV_CALLBACK_COUNT, "a name for every callback");

// The host the capture's bot is played by: it prints what it sees and does.
class Host {
public:
    Host(std::ostream& out, bool json, bool attributes)
        : out_(out),
          json_(json),
          attributes_(attributes),
          started_(std::chrono::steady_clock::now()) {}

    void seen(KIVInstance* instance, bool callback, int number, int rc, int reference) {
        const char* name = callback ? kCallbackNames[number] : kEventNames[number];
        std::string line = head(callback ? "callback" : "event");
        if (json_) {
            line += ",\"number\":" + std::to_string(number) + ",\"name\":\"" + name + "\"";
            if (callback) {
                line +=
                    ",\"rc\":" + std::to_string(rc) + ",\"reference\":" + std::to_string(reference);
            }
            if (attributes_) line += ",\"attributes\":{" + attribute_text(instance) + "}";
            line += "}";
        } else {
            line += std::to_string(number) + " " + name;
            if (callback) line += " rc=" + std::to_string(rc);
            if (attributes_) line += " " + attribute_text(instance);
        }
        out_ << line << '\n';
    }

    void did(const std::string& action, std::string_view argument = {}, bool has_argument = false) {
        std::string line = head("action");
        if (json_) {
            line += ",\"action\":\"" + action + "\"";
            if (has_argument) {
                line += ",\"argument\":";
                append_json_string(line, argument);
            }
            line += "}";
        } else {
            line += action;
            if (has_argument) {
                line += ' ';
                append_json_string(line, argument);
            }
        }
        out_ << line << '\n';
    }

private:
    std::string head(const char* kind) const {
        const auto elapsed = std::chrono::duration_cast<std::chrono::microseconds>(
            std::chrono::steady_clock::now() - started_);
        const std::string time = time_text(static_cast<std::uint64_t>(elapsed.count()));
        if (json_) return "{\"time\":" + time + ",\"kind\":\"" + kind + "\"";
        return time + " " + kind + " ";
    }

    // The attributes that hold something: ints and floats other than 0,
    // strings other than empty ("i13=5 f5=1.5 s2=\"ann\"", or JSON members).
    std::string attribute_text(KIVInstance* instance) const {
        std::string text;
        const auto add = [&](char kind, int index, const std::string& value) {
            if (!text.empty()) text += json_ ? "," : " ";
            const std::string key = kind + std::to_string(index);
            text += json_ ? "\"" + key + "\":" + value : key + "=" + value;
        };
        for (int i = 0; i < KIV_INT_ATTRIBUTE_COUNT; ++i) {
            const int value = kiv_int(instance, i);
            if (value != 0) add('i', i, std::to_string(value));
        }
        for (int i = 0; i < KIV_FLOAT_ATTRIBUTE_COUNT; ++i) {
            const double value = kiv_double(instance, i);
            if (value != 0) {
                char number[40];
                std::snprintf(number, sizeof number, "%.9g", value);
                add('f', i, number);
            }
        }
        for (int i = 0; i < KIV_STRING_ATTRIBUTE_COUNT; ++i) {
            const std::string_view value = kiv_string(instance, i);
            if (value.empty()) continue;
            std::string quoted;
            append_json_string(quoted, value);
            add('s', i, quoted);
        }
        return text;
    }

    std::ostream& out_;
    bool json_;
    bool attributes_;
    std::chrono::steady_clock::time_point started_;
};

template <int N>
void on_event(KIVInstance* instance) {
    static_cast<Host*>(kiv_user_data(instance))->seen(instance, false, N, 0, 0);
}
template <int N>
void on_callback(KIVInstance* instance, int rc, int reference) {
    static_cast<Host*>(kiv_user_data(instance))->seen(instance, true, N, rc, reference);
}
template <int... N>
void set_handlers(KIVInstance* instance, std::integer_sequence<int, N...>) {
    (kiv_event_set(instance, N, &on_event<N>), ...);
}
template <int... N>
void set_callbacks(KIVInstance* instance, std::integer_sequence<int, N...>) {
    (kiv_callback_set(instance, N, &on_callback<N>), ...);
}

// The values of a recorded frame's fields, in the catalogue's order.
std::vector<wire::FieldValue> fields_of(const wire::CaptureRecord& record) {
    std::vector<wire::FieldValue> values;
    const wire::Protocol protocol =
        record.side == 0 ? wire::Protocol::kUniverse : wire::Protocol::kWorld;
    if (record.body.empty()) return values;
    const wire::MessageSpec* message =
        wire::find_message(protocol, wire::Direction::kToServer, record.body[0]);
    if (message == nullptr) return values;
    PacketReader reader(record.body.data() + 1, static_cast<std::uint16_t>(record.body.size() - 1));
    for (std::size_t index = 0; index < message->field_count; ++index) {
        wire::FieldValue value;
        if (!wire::read_field(message->fields[index], reader, value)) break;
        values.push_back(value);
    }
    return values;
}

std::string text_of(const wire::FieldValue& value) {
    return std::string(value.bytes.data(), value.bytes.size());
}

// Repeats the recorded client frame the replay waits for through the
// library's functions, or passes over it.
void repeat(KIVInstance* instance, Host& host, const wire::CaptureRecord& record) {
    const std::vector<wire::FieldValue> fields = fields_of(record);
    const std::uint8_t type = record.body.empty() ? 0 : record.body[0];
    if (record.side == 0 && type == universe_message::kLogin && fields.size() == 6) {
        kiv_string_set(instance, KIV_LOGIN_EXTRA_1, text_of(fields[4]).c_str());
        kiv_string_set(instance, KIV_LOGIN_EXTRA_2, text_of(fields[5]).c_str());
        host.did("login", fields[1].bytes, true);
        kiv_login(instance, text_of(fields[1]).c_str(), text_of(fields[2]).c_str(),
                  text_of(fields[3]).c_str());
        return;
    }
    if (record.side == 0 && type == universe_message::kWorldEntry && fields.size() == 1) {
        host.did("enter", fields[0].bytes, true);
        kiv_enter(instance, text_of(fields[0]).c_str());
        return;
    }
    if (record.side == 1 && type == world_message::kChat && fields.size() == 1) {
        host.did("say", fields[0].bytes, true);
        kiv_say(instance, text_of(fields[0]).c_str());
        return;
    }
    if (record.side == 1 && type == world_message::kAvatarChange && fields.size() == 6) {
        for (int index = 0; index < 5; ++index) {
            kiv_double_set(instance, KIV_MY_X + index,
                           fields[static_cast<std::size_t>(index)].real);
        }
        kiv_int_set(instance, KIV_MY_TYPE, static_cast<int>(fields[5].integer));
        host.did("state_change");
        kiv_state_change(instance);
        return;
    }
    std::string description;
    wire::describe(record.side == 0 ? wire::Protocol::kUniverse : wire::Protocol::kWorld,
                   wire::Direction::kToServer, record.body.data(), record.body.size(), description);
    host.did("skip", description, true);
    kiv_replay_skip(instance);
}

const char* waiting_text(int waiting) {
    switch (waiting) {
        case KIV_REPLAY_WAITS_FOR_CONNECT: return "a connection the host does not open";
        case KIV_REPLAY_WAITS_FOR_SEND: return "a client frame";
        case KIV_REPLAY_WAITS_FOR_TIME: return "its time";
        default: return "nothing";
    }
}

}  // namespace

int replay(const std::vector<std::string>& arguments, std::ostream& out, std::ostream& err) {
    static const char usage[] = "usage: kivreplay [--timing] [--json] [--attributes] FILE\n";
    bool timing = false, json = false, attributes = false;
    std::string path;
    for (const std::string& argument : arguments) {
        if (argument == "--timing") {
            timing = true;
        } else if (argument == "--json") {
            json = true;
        } else if (argument == "--attributes") {
            attributes = true;
        } else if (argument == "-h" || argument == "--help") {
            out << usage;
            return 0;
        } else if (!argument.empty() && argument[0] == '-') {
            err << "kivreplay: unknown option " << argument << "\n" << usage;
            return 2;
        } else if (path.empty()) {
            path = argument;
        } else {
            err << "kivreplay: one file at a time\n" << usage;
            return 2;
        }
    }
    if (path.empty()) {
        err << usage;
        return 2;
    }
    // The records, to repeat the client's frames from.
    std::ifstream in(path, std::ios::binary);
    const std::vector<unsigned char> bytes((std::istreambuf_iterator<char>(in)),
                                           std::istreambuf_iterator<char>());
    std::vector<wire::CaptureRecord> records;
    wire::CaptureParser parser(bytes.data(), bytes.size());
    if (in && parser.read_header()) {
        for (wire::CaptureRecord record; parser.next(record);) records.push_back(record);
    }

    KIVInstance* instance = kiv_create(nullptr);
    if (instance == nullptr) {
        err << "kivreplay: no Instance could be made\n";
        return 2;
    }
    const int started =
        kiv_replay_start(instance, path.c_str(),
                         timing ? KIV_REPLAY_RECORDED_TIMING : KIV_REPLAY_AS_FAST_AS_POSSIBLE);
    if (started != KIV_RC_SUCCESS) {
        err << "kivreplay: " << path << ": "
            << (started == KIV_RC_CONNECTION_ERROR
                    ? "cannot read"
                    : "not a whole capture" +
                          (parser.error().empty() ? std::string() : ": " + parser.error()))
            << '\n';
        kiv_destroy(instance);
        return 2;
    }
    Host host(out, json, attributes);
    kiv_user_data_set(instance, &host);
    set_handlers(instance, std::make_integer_sequence<int, KIV_EVENT_COUNT>());
    set_callbacks(instance, std::make_integer_sequence<int, KIV_CALLBACK_COUNT>());

    KIVReplayStatus status{};
    int idle = 0;
    for (;;) {
        kiv_replay_status(instance, &status, sizeof status);
        if (status.waiting == KIV_REPLAY_FINISHED) break;
        const int position = status.position;
        bool acted = false;
        if (status.waiting == KIV_REPLAY_WAITS_FOR_CONNECT &&
            status.waiting_side == KIV_SIDE_UNIVERSE) {
            host.did("connect_universe");
            kiv_connect_universe(instance, "replay.invalid", 6670);
            acted = true;
        } else if (status.waiting == KIV_REPLAY_WAITS_FOR_SEND &&
                   static_cast<std::size_t>(position) < records.size()) {
            repeat(instance, host, records[static_cast<std::size_t>(position)]);
            acted = true;
        }
        kiv_wait(instance, status.waiting == KIV_REPLAY_WAITS_FOR_TIME ? 100 : 0);
        KIVReplayStatus after{};
        kiv_replay_status(instance, &after, sizeof after);
        const bool moved = acted || after.position != position;
        idle = moved || after.waiting == KIV_REPLAY_WAITS_FOR_TIME ? 0 : idle + 1;
        if (idle >= 3) {
            status = after;
            break;
        }
    }
    out.flush();
    const bool finished = status.waiting == KIV_REPLAY_FINISHED;
    std::ostream& report = finished ? out : err;
    if (json) {
        report << "{\"finished\":" << (finished ? "true" : "false")
               << ",\"records\":" << status.records << ",\"position\":" << status.position
               << ",\"skipped\":" << status.skipped << ",\"sent\":" << status.sent
               << ",\"mismatched\":" << status.mismatched << "}\n";
    } else if (finished) {
        report << "replayed " << status.records << " records (" << status.skipped
               << " skipped); the host sent " << status.sent << " frames, " << status.mismatched
               << " unlike the recording\n";
    } else {
        report << "kivreplay: stalled at record " << status.position << " of " << status.records
               << ": it waits for " << waiting_text(status.waiting) << " on the "
               << (status.waiting_side == KIV_SIDE_WORLD ? "world" : "universe") << " side\n";
    }
    kiv_destroy(instance);
    return finished ? 0 : 1;
}

}  // namespace kivsdk::tools
