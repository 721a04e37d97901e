#include "json_text.h"

#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>

namespace kivsdk::json {
namespace {

constexpr char kReplacement[] = "\xEF\xBF\xBD";  // U+FFFD in UTF-8

// Length of the well-formed UTF-8 sequence at text[at], or 0 when the bytes
// there start none. The ranges of the second byte rule out overlong forms,
// surrogates and code points past U+10FFFF.
std::size_t sequence_length(std::string_view text, std::size_t at) {
    const auto byte = [&](std::size_t i) {
        return at + i < text.size() ? static_cast<unsigned char>(text[at + i]) : 0u;
    };
    const unsigned lead = byte(0);
    const auto tail = [&](std::size_t i) { return byte(i) >= 0x80 && byte(i) <= 0xBF; };
    if (lead >= 0xC2 && lead <= 0xDF) return tail(1) ? 2 : 0;
    if (lead >= 0xE0 && lead <= 0xEF) {
        const unsigned low = lead == 0xE0 ? 0xA0 : 0x80;
        const unsigned high = lead == 0xED ? 0x9F : 0xBF;
        if (byte(1) < low || byte(1) > high) return 0;
        return tail(2) ? 3 : 0;
    }
    if (lead >= 0xF0 && lead <= 0xF4) {
        const unsigned low = lead == 0xF0 ? 0x90 : 0x80;
        const unsigned high = lead == 0xF4 ? 0x8F : 0xBF;
        if (byte(1) < low || byte(1) > high) return 0;
        return tail(2) && tail(3) ? 4 : 0;
    }
    return 0;
}

// How many bytes an ill-formed sequence at text[at] spans: its lead and the
// continuation bytes that could still have belonged to it (so "\xE2\x82"
// before an ASCII letter is one U+FFFD, not two).
std::size_t ill_formed_length(std::string_view text, std::size_t at) {
    const unsigned lead = static_cast<unsigned char>(text[at]);
    std::size_t expected = 0;
    if (lead >= 0xC2 && lead <= 0xDF) {
        expected = 2;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
        expected = 3;
    } else if (lead >= 0xF0 && lead <= 0xF4) {
        expected = 4;
    } else {
        return 1;
    }
    std::size_t length = 1;
    while (length < expected && at + length < text.size()) {
        // The longest prefix that a well-formed sequence could start with.
        const std::string_view probe = text.substr(at, length + 1);
        std::string padded(probe);
        padded.append(expected - padded.size(), '\x80');
        if (sequence_length(padded, 0) == 0) break;
        ++length;
    }
    return length;
}

}  // namespace

void append_string(std::string& out, std::string_view text) {
    out += '"';
    std::size_t at = 0;
    while (at < text.size()) {
        const unsigned char c = static_cast<unsigned char>(text[at]);
        if (c >= 0x80) {
            const std::size_t length = sequence_length(text, at);
            if (length == 0) {
                out += kReplacement;
                at += ill_formed_length(text, at);
            } else {
                out.append(text.data() + at, length);
                at += length;
            }
            continue;
        }
        ++at;
        switch (c) {
            case '"': out += "\\\""; break;
            case '\\': out += "\\\\"; break;
            case '\n': out += "\\n"; break;
            case '\r': out += "\\r"; break;
            case '\t': out += "\\t"; break;
            default:
                if (c < 0x20 || c == 0x7F || c == '<' || c == '>' || c == '&') {
                    char escaped[8];
                    std::snprintf(escaped, sizeof escaped, "\\u%04x", c);
                    out += escaped;
                } else {
                    out += static_cast<char>(c);
                }
        }
    }
    out += '"';
}

std::string json_quoted(std::string_view text) {
    std::string out;
    append_string(out, text);
    return out;
}

void append_number(std::string& out, double value) {
    if (!std::isfinite(value)) {
        out += "null";
        return;
    }
    // The shortest of %.{6..17}g that reads back as the same double.
    char text[32];
    for (int digits = 6; digits <= 17; ++digits) {
        std::snprintf(text, sizeof text, "%.*g", digits, value);
        if (std::strtod(text, nullptr) == value) break;
    }
    out += text;
}

void append_number(std::string& out, float value) {
    if (!std::isfinite(value)) {
        out += "null";
        return;
    }
    char text[32];
    for (int digits = 6; digits <= 9; ++digits) {
        std::snprintf(text, sizeof text, "%.*g", digits, static_cast<double>(value));
        if (std::strtof(text, nullptr) == value) break;
    }
    out += text;
}

}  // namespace kivsdk::json
