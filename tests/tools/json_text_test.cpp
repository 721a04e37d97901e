// JSON text of the tools and the sandbox's live view: every string comes
// out as valid UTF-8 with markup characters escaped; numbers are always
// valid JSON.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <string>

#include "json_text.h"

namespace kivsdk {
namespace {

std::string escaped(const std::string& text) { return json::json_quoted(text); }

TEST(JsonText, StringsComeOutAsValidUtf8WithMarkupCharactersEscaped) {
    EXPECT_EQ(escaped("plain"), "\"plain\"");
    EXPECT_EQ(escaped("say \"hi\" \\ there"), "\"say \\\"hi\\\" \\\\ there\"");
    EXPECT_EQ(escaped("a\nb\tc\r\x01\x1f\x7f"), "\"a\\nb\\tc\\r\\u0001\\u001f\\u007f\"");
    EXPECT_EQ(escaped("</script><b>&amp;"), "\"\\u003c/script\\u003e\\u003cb\\u003e\\u0026amp;\"");
    EXPECT_EQ(escaped(std::string("nul\0byte", 8)), "\"nul\\u0000byte\"");
    // Well-formed sequences of two, three and four bytes pass unchanged.
    EXPECT_EQ(escaped("caf\xC3\xA9 \xE2\x82\xAC \xF0\x9F\x98\x80"),
              "\"caf\xC3\xA9 \xE2\x82\xAC \xF0\x9F\x98\x80\"");
}

TEST(JsonText, IllFormedBytesBecomeOneReplacementEach) {
    const std::string r = "\xEF\xBF\xBD";
    EXPECT_EQ(escaped("a\xFF"
                      "b"),
              "\"a" + r + "b\"");                         // never a lead byte
    EXPECT_EQ(escaped("\x80\xBF"), "\"" + r + r + "\"");  // stray continuations
    EXPECT_EQ(escaped("\xE2\x82"
                      "A"),
              "\"" + r + "A\"");                                          // truncated, then ASCII
    EXPECT_EQ(escaped("end\xF0\x9F\x98"), "\"end" + r + "\"");            // truncated at the end
    EXPECT_EQ(escaped("\xC0\xAF"), "\"" + r + r + "\"");                  // overlong '/'
    EXPECT_EQ(escaped("\xE0\x80\xAF"), "\"" + r + r + r + "\"");          // overlong, three bytes
    EXPECT_EQ(escaped("\xED\xA0\x80"), "\"" + r + r + r + "\"");          // a surrogate
    EXPECT_EQ(escaped("\xF4\x90\x80\x80"), "\"" + r + r + r + r + "\"");  // past U+10FFFF
    EXPECT_EQ(escaped("\xC3"
                      "\"<"),
              "\"" + r + "\\\"\\u003c\"");  // a lead eats no quote
}

TEST(JsonText, NumbersAreShortAndNeverInvalid) {
    const auto number = [](auto value) {
        std::string out;
        json::append_number(out, value);
        return out;
    };
    EXPECT_EQ(number(0.1f), "0.1");  // not 0.100000001490116
    EXPECT_EQ(number(-2.5), "-2.5");
    EXPECT_EQ(number(1e300), "1e+300");
    EXPECT_EQ(number(0.1 + 0.2), "0.30000000000000004");
    EXPECT_EQ(number(std::nan("")), "null");
    EXPECT_EQ(number(std::numeric_limits<float>::infinity()), "null");
}

}  // namespace
}  // namespace kivsdk
