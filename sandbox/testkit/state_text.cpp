#include "testkit/state_text.h"

#include <cstdint>
#include <cstdio>

namespace kivsdk::testkit {
namespace {

// Tabs, newlines and backslashes inside a field, escaped.
std::string field(const std::string& text) {
    std::string escaped;
    for (const char c : text) {
        if (c == '\t') {
            escaped += "\\t";
        } else if (c == '\n') {
            escaped += "\\n";
        } else if (c == '\\') {
            escaped += "\\\\";
        } else {
            escaped += c;
        }
    }
    return escaped;
}

std::string number(double value) {
    char text[32];
    std::snprintf(text, sizeof text, "%.17g", value);
    return text;
}

class Line {
public:
    explicit Line(const char* kind) : text_(kind) {}
    Line& operator<<(const std::string& value) {
        text_ += '\t';
        text_ += field(value);
        return *this;
    }
    Line& operator<<(double value) { return *this << number(value); }
    Line& operator<<(long long value) { return *this << std::to_string(value); }
    Line& operator<<(std::int32_t value) { return *this << static_cast<long long>(value); }
    std::string end() const { return text_ + '\n'; }

private:
    std::string text_;
};

}  // namespace

std::string state_text(const sandbox::WorldState& state) {
    std::string text;
    for (const auto& a : state.avatars) {
        text += (Line("avatar") << a.session << a.user_id << (a.visible ? 1LL : 0LL) << a.x << a.y
                                << a.z << a.yaw << a.pitch << a.type << a.name)
                    .end();
    }
    for (const auto& o : state.objects) {
        text += (Line("object") << o.id << o.owner << static_cast<long long>(o.type) << o.x << o.y
                                << o.z << o.strings[0] << o.strings[1] << o.strings[2]
                                << static_cast<long long>(o.data_size))
                    .end();
    }
    for (const auto& c : state.cells) {
        text +=
            (Line("cell") << c.x << c.z << c.revision << static_cast<long long>(c.objects)).end();
    }
    for (const auto& n : state.terrain) {
        text += (Line("terrain") << n.tile_x << n.tile_z << static_cast<long long>(n.node_x)
                                 << static_cast<long long>(n.node_z) << n.revision)
                    .end();
    }
    for (const auto& setting : state.settings) {
        text += (Line("setting") << setting.first << setting.second).end();
    }
    return text;
}

}  // namespace kivsdk::testkit
