// JSON text for the tools and the sandbox: strings escaped into valid UTF-8
// whatever bytes they hold, and numbers that are always valid JSON.
#pragma once

#include <string>
#include <string_view>

namespace kivsdk::json {

// Appends `text` as a quoted JSON string. Quotes, backslashes and control
// characters are escaped; so are '<', '>' and '&' (as \u003c ...), so the
// text stays inert wherever a page puts it. Byte sequences that are not
// well-formed UTF-8 (stray continuation bytes, truncated or overlong
// sequences, surrogates, code points past U+10FFFF) become U+FFFD, one per
// maximal ill-formed subpart.
void append_string(std::string& out, std::string_view text);
std::string json_quoted(std::string_view text);

// Appends a finite number in its shortest round-trip form, or null for NaN
// and infinities (which JSON cannot carry).
void append_number(std::string& out, double value);
// The same for a float: the shortest form that reads back as that float.
void append_number(std::string& out, float value);

}  // namespace kivsdk::json
