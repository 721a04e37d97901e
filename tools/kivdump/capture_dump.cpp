#include "capture_dump.h"

#include <cmath>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <string_view>

#include "wire/byte_order.h"
#include "wire/message_catalogue.h"
#include "wire/packet_reader.h"

namespace kivsdk::tools {
namespace {

const char* side_name(std::uint8_t side) { return side == 0 ? "universe" : "world"; }

const char* fit_name(wire::Fit fit) {
    switch (fit) {
        case wire::Fit::kExact: return "exact";
        case wire::Fit::kShort: return "short";
        case wire::Fit::kLong: return "long";
        case wire::Fit::kUnknown: break;
    }
    return "unknown";
}

wire::Protocol protocol_of(const CaptureRecord& record) {
    return record.side == 0 ? wire::Protocol::kUniverse : wire::Protocol::kWorld;
}
wire::Direction direction_of(const CaptureRecord& record) {
    return record.kind == wire::CaptureKind::kToServer ? wire::Direction::kToServer
                                                       : wire::Direction::kFromServer;
}

void append_hex(std::string& out, std::string_view bytes) {
    static const char digits[] = "0123456789abcdef";
    out += '"';
    for (const char c : bytes) {
        const auto byte = static_cast<unsigned char>(c);
        out += digits[byte >> 4];
        out += digits[byte & 15];
    }
    out += '"';
}

// Appends one field's JSON value; false when the body ends inside it.
bool append_field_value(std::string& out, const wire::FieldSpec& field, PacketReader& reader) {
    wire::FieldValue value;
    if (!wire::read_field(field, reader, value)) return false;
    char number[40];
    switch (field.encoding) {
        case wire::Encoding::kByte:
        case wire::Encoding::kUint16:
        case wire::Encoding::kInt32:
            std::snprintf(number, sizeof number, "%lld", static_cast<long long>(value.integer));
            break;
        case wire::Encoding::kFloat:
        case wire::Encoding::kDouble:
            if (std::isfinite(value.real)) {
                std::snprintf(number, sizeof number, "%.17g", value.real);
            } else {
                std::snprintf(number, sizeof number, "null");  // JSON has no NaN or infinity
            }
            break;
        case wire::Encoding::kString: append_json_string(out, value.bytes); return true;
        case wire::Encoding::kBlob16:
        case wire::Encoding::kRaw:
        case wire::Encoding::kRest: append_hex(out, value.bytes); return true;
    }
    out += number;
    return true;
}

}  // namespace

std::string time_text(std::uint64_t time_us) {
    char text[32];
    std::snprintf(text, sizeof text, "%llu.%06llu",
                  static_cast<unsigned long long>(time_us / 1000000),
                  static_cast<unsigned long long>(time_us % 1000000));
    return text;
}

void append_json_string(std::string& out, std::string_view bytes) {
    out += '"';
    for (const char c : bytes) {
        const auto byte = static_cast<unsigned char>(c);
        if (byte == '"' || byte == '\\') {
            out += '\\';
            out += c;
        } else if (byte >= 0x20 && byte < 0x7f) {
            out += c;
        } else {
            char escaped[8];
            std::snprintf(escaped, sizeof escaped, "\\u%04x", byte);
            out += escaped;
        }
    }
    out += '"';
}

std::string format_text(const CaptureRecord& record) {
    char head[64];
    const char* arrow = record.kind == wire::CaptureKind::kToServer     ? "\xe2\x86\x92"
                        : record.kind == wire::CaptureKind::kFromServer ? "\xe2\x86\x90"
                                                                        : "\xe2\x80\xa2";
    std::snprintf(head, sizeof head, "%s %-8s %s ", time_text(record.time_us).c_str(),
                  side_name(record.side), arrow);
    wire::ConnectionNote note;
    if (wire::decode_connection_note(record.body, note) && !wire::is_frame(record.kind)) {
        std::string line = std::string(head) + wire::capture_kind_name(record.kind) +
                           " status=" + std::to_string(note.status);
        if (note.detail != 0) line += " detail=" + std::to_string(note.detail);
        if (note.tls_result != 0) line += " tls_result=" + std::to_string(note.tls_result);
        if (note.verify_flags != 0) line += " verify_flags=" + std::to_string(note.verify_flags);
        return line;
    }
    std::string description;
    const wire::Fit fit = wire::describe(protocol_of(record), direction_of(record),
                                         record.body.data(), record.body.size(), description);
    std::string line = head;
    line += record.body.empty() ? std::string("(empty frame)") : description;
    if (fit == wire::Fit::kLong) line += " [bytes left over]";
    return line;
}

std::string format_json(const CaptureRecord& record) {
    std::string line = "{\"time_us\":" + std::to_string(record.time_us) + ",\"side\":\"" +
                       side_name(record.side) + "\",";
    wire::ConnectionNote note;
    if (!wire::is_frame(record.kind) && wire::decode_connection_note(record.body, note)) {
        return line + "\"event\":\"" + wire::capture_kind_name(record.kind) +
               "\",\"status\":" + std::to_string(note.status) +
               ",\"detail\":" + std::to_string(note.detail) +
               ",\"tls_result\":" + std::to_string(note.tls_result) +
               ",\"verify_flags\":" + std::to_string(note.verify_flags) + "}";
    }
    line += std::string("\"direction\":\"") + wire::capture_kind_name(record.kind) + "\",\"type\":";
    if (record.body.empty()) {
        return line + "null,\"name\":null,\"fields\":{},\"fit\":\"unknown\"}";
    }
    line += std::to_string(record.body[0]);
    const wire::MessageSpec* message =
        wire::find_message(protocol_of(record), direction_of(record), record.body[0]);
    if (message == nullptr) return line + ",\"name\":null,\"fields\":{},\"fit\":\"unknown\"}";
    line += ",\"name\":";
    append_json_string(line, message->name);
    line += ",\"fields\":{";
    PacketReader reader(record.body.data() + 1, static_cast<std::uint16_t>(record.body.size() - 1));
    wire::Fit fit = wire::Fit::kExact;
    for (std::size_t index = 0; index < message->field_count; ++index) {
        const wire::FieldSpec& field = message->fields[index];
        std::string value;
        if (!append_field_value(value, field, reader)) {
            fit = wire::Fit::kShort;
            break;
        }
        if (index > 0) line += ',';
        append_json_string(line, field.name);
        line += ':';
        line += value;
    }
    if (fit == wire::Fit::kExact && reader.remaining() > 0) fit = wire::Fit::kLong;
    return line + "},\"fit\":\"" + fit_name(fit) + "\"}";
}

int run(const std::vector<std::string>& arguments, std::ostream& out, std::ostream& err) {
    static const char usage[] =
        "usage: kivdump [--json] [--side universe|world] [--type N]... FILE\n";
    bool json = false;
    int side = -1;
    std::vector<int> types;
    std::string path;
    for (std::size_t index = 0; index < arguments.size(); ++index) {
        const std::string& argument = arguments[index];
        const bool has_value = index + 1 < arguments.size();
        if (argument == "--json") {
            json = true;
        } else if (argument == "--side" && has_value) {
            const std::string& value = arguments[++index];
            if (value != "universe" && value != "world") {
                err << "kivdump: --side takes universe or world, not " << value << "\n" << usage;
                return 2;
            }
            side = value == "universe" ? 0 : 1;
        } else if (argument == "--type" && has_value) {
            const std::string& value = arguments[++index];
            int type = -1;
            if (value.size() <= 3 && value.find_first_not_of("0123456789") == std::string::npos &&
                !value.empty()) {
                type = std::stoi(value);
            }
            if (type < 0 || type > 255) {
                err << "kivdump: --type takes a message type 0-255, not " << value << "\n" << usage;
                return 2;
            }
            types.push_back(type);
        } else if (argument == "-h" || argument == "--help") {
            out << usage;
            return 0;
        } else if (!argument.empty() && argument[0] == '-') {
            err << "kivdump: unknown or incomplete option " << argument << "\n" << usage;
            return 2;
        } else if (path.empty()) {
            path = argument;
        } else {
            err << "kivdump: one file at a time\n" << usage;
            return 2;
        }
    }
    if (path.empty()) {
        err << usage;
        return 2;
    }
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        err << "kivdump: " << path << ": cannot open\n";
        return 2;
    }
    const std::vector<unsigned char> bytes((std::istreambuf_iterator<char>(in)),
                                           std::istreambuf_iterator<char>());
    wire::CaptureParser parser(bytes.data(), bytes.size());
    if (parser.read_header()) {
        CaptureRecord record;
        while (parser.next(record)) {
            if (side >= 0 && record.side != side) continue;
            if (!types.empty()) {
                // A type filter asks for frames only.
                if (!wire::is_frame(record.kind) || record.body.empty()) continue;
                bool wanted = false;
                for (const int type : types) wanted = wanted || record.body[0] == type;
                if (!wanted) continue;
            }
            out << (json ? format_json(record) : format_text(record)) << '\n';
        }
    }
    if (!parser.error().empty()) {
        out.flush();
        err << "kivdump: " << path << ": " << parser.error() << '\n';
        return 2;
    }
    return 0;
}

}  // namespace kivsdk::tools
