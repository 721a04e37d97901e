// String attributes: text kept with its NUL across the inline and heap
// storage, and a host handing an attribute's own text back.
#include <gtest/gtest.h>

#include <string>

#include "api/text_attribute.h"
#include "kivsdk.h"

namespace kivsdk {
namespace {

TEST(TextAttribute, KeepsTextAndItsNulAcrossGrowthClearAndReset) {
    TextAttribute text;
    EXPECT_STREQ(text.c_str(), "");
    text.assign("short", 5);
    EXPECT_STREQ(text.c_str(), "short");
    const std::string long_text(300, 'x');
    text.assign(long_text.data(), long_text.size());
    EXPECT_EQ(text.view(), long_text);
    EXPECT_EQ(text.c_str()[300], '\0');
    const char* storage = text.c_str();
    text.assign("ab", 2);
    EXPECT_EQ(text.c_str(), storage) << "shorter text reuses the storage";
    EXPECT_STREQ(text.c_str(), "ab");
    text.clear();
    EXPECT_EQ(text.size(), 0u);
    EXPECT_STREQ(text.c_str(), "");
    text.reset();
    text.assign("0123456789abcde", 15);  // 15 characters and the NUL fill the inline room
    EXPECT_STREQ(text.c_str(), "0123456789abcde");
    text.assign("0123456789abcdef", 16);
    EXPECT_STREQ(text.c_str(), "0123456789abcdef");
}

TEST(TextAttribute, OwnTextHandedBackThroughTheInterface) {
    KIVInstance* instance = kiv_create(nullptr);
    ASSERT_NE(instance, nullptr);
    const std::string long_text = "a name long enough to live outside the attribute itself";
    kiv_string_set(instance, KIV_AVATAR_NAME, long_text.c_str());
    // The same text, and a tail of it, given back from the attribute's own
    // storage (overlapping copies).
    kiv_string_set(instance, KIV_AVATAR_NAME, kiv_string(instance, KIV_AVATAR_NAME));
    EXPECT_EQ(std::string(kiv_string(instance, KIV_AVATAR_NAME)), long_text);
    kiv_string_set(instance, KIV_AVATAR_NAME, kiv_string(instance, KIV_AVATAR_NAME) + 7);
    EXPECT_EQ(std::string(kiv_string(instance, KIV_AVATAR_NAME)), long_text.substr(7));
    kiv_string_set(instance, KIV_AVATAR_NAME, nullptr);
    EXPECT_STREQ(kiv_string(instance, KIV_AVATAR_NAME), "");
    EXPECT_EQ(kiv_destroy(instance), 0);
}

}  // namespace
}  // namespace kivsdk
