// The attribute store through the exported accessors.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <string>

#include "kivsdk.h"

namespace {

class Attributes : public ::testing::Test {
protected:
    void SetUp() override {
        KIVNetConfig table{};
        instance = kiv_create(&table);
        ASSERT_NE(instance, nullptr);
    }
    void TearDown() override { EXPECT_EQ(kiv_destroy(instance), 0); }

    KIVInstance* instance = nullptr;
};

TEST(Library, InitAcceptsOnlyInterfaceVersionFive) {
    EXPECT_EQ(kiv_init(5), KIV_RC_SUCCESS);
    EXPECT_EQ(kiv_init(4), KIV_RC_VERSION_MISMATCH);
    EXPECT_EQ(kiv_init(6), KIV_RC_VERSION_MISMATCH);
    EXPECT_EQ(kiv_init(-5), KIV_RC_VERSION_MISMATCH);
}

TEST_F(Attributes, NewInstanceStartsZeroedAndEmpty) {
    for (int i = 0; i < KIV_INT_ATTRIBUTE_COUNT; ++i) EXPECT_EQ(kiv_int(instance, i), 0) << i;
    for (int i = 0; i < KIV_FLOAT_ATTRIBUTE_COUNT; ++i)
        EXPECT_EQ(kiv_double(instance, i), 0.0) << i;
    for (int i = 0; i < KIV_STRING_ATTRIBUTE_COUNT; ++i) {
        ASSERT_NE(kiv_string(instance, i), nullptr) << i;
        EXPECT_STREQ(kiv_string(instance, i), "") << i;
    }
    int length = -1;
    EXPECT_EQ(kiv_data(instance, KIV_OBJECT_DATA, &length), nullptr);
    EXPECT_EQ(length, 0);
    EXPECT_EQ(kiv_user_data(instance), nullptr);
}

TEST_F(Attributes, IntIndexRangeIncludesLastAndRejectsNegatives) {
    constexpr int kLast = KIV_INT_ATTRIBUTE_COUNT - 1;
    EXPECT_EQ(kiv_int_set(instance, kLast, 7), KIV_RC_SUCCESS);
    EXPECT_EQ(kiv_int(instance, kLast), 7);
    EXPECT_EQ(kiv_int_set(instance, KIV_INT_ATTRIBUTE_COUNT, 1), KIV_RC_INVALID_ARGUMENT);
    EXPECT_EQ(kiv_int_set(instance, -1, 1), KIV_RC_INVALID_ARGUMENT);
    EXPECT_EQ(kiv_int(instance, KIV_INT_ATTRIBUTE_COUNT), 0);
    EXPECT_EQ(kiv_int(instance, -1), 0);

    int value = 99;
    EXPECT_EQ(kiv_int_get(instance, kLast, &value), KIV_RC_SUCCESS);
    EXPECT_EQ(value, 7);
    value = 99;
    EXPECT_EQ(kiv_int_get(instance, KIV_INT_ATTRIBUTE_COUNT, &value), KIV_RC_INVALID_ARGUMENT);
    EXPECT_EQ(value, 99) << "an out-of-range get leaves the output alone";
    EXPECT_EQ(kiv_int_get(instance, 0, nullptr), KIV_RC_INVALID_ARGUMENT);
}

TEST_F(Attributes, FloatAndDoubleShareSlots) {
    EXPECT_EQ(kiv_float_set(instance, 3, 1.5f), KIV_RC_SUCCESS);
    EXPECT_EQ(kiv_double(instance, 3), 1.5);

    EXPECT_EQ(kiv_double_set(instance, 3, 0.1), KIV_RC_SUCCESS);
    EXPECT_EQ(kiv_float(instance, 3), 0.1f);
    EXPECT_EQ(kiv_double(instance, 3), 0.1) << "the slot keeps double precision";
    float as_float = 0;
    EXPECT_EQ(kiv_float_get(instance, 3, &as_float), KIV_RC_SUCCESS);
    EXPECT_EQ(as_float, 0.1f);
    double as_double = 0;
    EXPECT_EQ(kiv_double_get(instance, 3, &as_double), KIV_RC_SUCCESS);
    EXPECT_EQ(as_double, 0.1);

    EXPECT_EQ(kiv_double_set(instance, 34, 2.0), KIV_RC_SUCCESS);
    EXPECT_EQ(kiv_float_set(instance, 35, 1.0f), KIV_RC_INVALID_ARGUMENT);
    EXPECT_EQ(kiv_double_set(instance, -1, 1.0), KIV_RC_INVALID_ARGUMENT);
    EXPECT_EQ(kiv_float(instance, 35), 0.0f);
    EXPECT_EQ(kiv_double(instance, 35), 0.0);
    as_float = 5;
    EXPECT_EQ(kiv_float_get(instance, 35, &as_float), KIV_RC_INVALID_ARGUMENT);
    EXPECT_EQ(as_float, 5);
}

TEST_F(Attributes, FloatSlotsCarryNaNAndInfinity) {
    kiv_double_set(instance, 0, std::nan(""));
    EXPECT_TRUE(std::isnan(kiv_float(instance, 0)));
    kiv_float_set(instance, 1, -INFINITY);
    EXPECT_EQ(kiv_double(instance, 1), -INFINITY);
}

TEST_F(Attributes, StringsAreCopiedAndNullMeansEmpty) {
    std::string text = "hello";
    kiv_string_set(instance, KIV_CHAT_MESSAGE, text.c_str());
    text[0] = 'j';
    EXPECT_STREQ(kiv_string(instance, KIV_CHAT_MESSAGE), "hello")
        << "the library keeps its own copy";

    kiv_string_set(instance, KIV_CHAT_MESSAGE, nullptr);
    ASSERT_NE(kiv_string(instance, KIV_CHAT_MESSAGE), nullptr);
    EXPECT_STREQ(kiv_string(instance, KIV_CHAT_MESSAGE), "");

    const std::string long_text(1000, 'x');
    kiv_string_set(instance, 23, long_text.c_str());
    EXPECT_EQ(std::string(kiv_string(instance, 23)), long_text);

    const char* got = nullptr;
    EXPECT_EQ(kiv_string_get(instance, 23, &got), KIV_RC_SUCCESS);
    EXPECT_EQ(got, kiv_string(instance, 23));
}

TEST_F(Attributes, StringIndexOutOfRangeIsIgnored) {
    kiv_string_set(instance, KIV_STRING_ATTRIBUTE_COUNT, "x");
    kiv_string_set(instance, -1, "x");
    EXPECT_EQ(kiv_string(instance, KIV_STRING_ATTRIBUTE_COUNT), nullptr);
    EXPECT_EQ(kiv_string(instance, -1), nullptr);
    const char* got = "untouched";
    EXPECT_EQ(kiv_string_get(instance, KIV_STRING_ATTRIBUTE_COUNT, &got), KIV_RC_INVALID_ARGUMENT);
    EXPECT_STREQ(got, "untouched");
    for (int i = 0; i < KIV_STRING_ATTRIBUTE_COUNT; ++i) EXPECT_STREQ(kiv_string(instance, i), "");
}

TEST_F(Attributes, DataSetChecksIndexBeforeLength) {
    const unsigned char bytes[5] = {1, 2, 0, 4, 5};
    EXPECT_EQ(kiv_data_set(instance, 2, 5, bytes), KIV_RC_INVALID_ARGUMENT);
    EXPECT_EQ(kiv_data_set(instance, 2, -1, bytes), KIV_RC_INVALID_ARGUMENT);
    EXPECT_EQ(kiv_data_set(instance, -1, 5, bytes), KIV_RC_INVALID_ARGUMENT);

    ASSERT_EQ(kiv_data_set(instance, 0, 5, bytes), KIV_RC_SUCCESS);
    EXPECT_EQ(kiv_data_set(instance, 0, -1, bytes), KIV_RC_INVALID_LENGTH);
    int length = 0;
    const void* stored = kiv_data(instance, 0, &length);
    ASSERT_EQ(length, 5) << "a refused negative length changes nothing";
    EXPECT_EQ(std::memcmp(stored, bytes, 5), 0);
    EXPECT_NE(stored, static_cast<const void*>(bytes)) << "the library keeps its own copy";
}

TEST_F(Attributes, DataNullEmptiesAndZeroLengthKeepsAnEmptyBuffer) {
    const unsigned char bytes[3] = {9, 8, 7};
    kiv_data_set(instance, 1, 3, bytes);
    EXPECT_EQ(kiv_data_set(instance, 1, 5, nullptr), KIV_RC_SUCCESS);
    int length = -1;
    EXPECT_EQ(kiv_data(instance, 1, &length), nullptr);
    EXPECT_EQ(length, 0);

    EXPECT_EQ(kiv_data_set(instance, 1, 0, bytes), KIV_RC_SUCCESS);
    length = -1;
    EXPECT_NE(kiv_data(instance, 1, &length), nullptr);
    EXPECT_EQ(length, 0);

    length = 77;
    EXPECT_EQ(kiv_data(instance, 2, &length), nullptr);
    EXPECT_EQ(length, 77) << "out of range leaves the length untouched";
}

TEST_F(Attributes, UserDataRoundTrips) {
    int marker = 0;
    kiv_user_data_set(instance, &marker);
    EXPECT_EQ(kiv_user_data(instance), &marker);
}

TEST(NullInstance, EveryFunctionRefusesOrIgnoresIt) {
    int value = 3;
    float as_float = 3;
    double as_double = 3;
    const char* text = "x";
    EXPECT_EQ(kiv_destroy(nullptr), 0);
    EXPECT_EQ(kiv_wait(nullptr, 0), KIV_RC_INVALID_ARGUMENT);
    EXPECT_EQ(kiv_int(nullptr, 0), 0);
    EXPECT_EQ(kiv_int_get(nullptr, 0, &value), KIV_RC_INVALID_ARGUMENT);
    EXPECT_EQ(kiv_int_set(nullptr, 0, 1), KIV_RC_INVALID_ARGUMENT);
    EXPECT_EQ(kiv_float(nullptr, 0), 0.0f);
    EXPECT_EQ(kiv_float_get(nullptr, 0, &as_float), KIV_RC_INVALID_ARGUMENT);
    EXPECT_EQ(kiv_float_set(nullptr, 0, 1.0f), KIV_RC_INVALID_ARGUMENT);
    EXPECT_EQ(kiv_double(nullptr, 0), 0.0);
    EXPECT_EQ(kiv_double_get(nullptr, 0, &as_double), KIV_RC_INVALID_ARGUMENT);
    EXPECT_EQ(kiv_double_set(nullptr, 0, 1.0), KIV_RC_INVALID_ARGUMENT);
    EXPECT_EQ(kiv_string(nullptr, 0), nullptr);
    EXPECT_EQ(kiv_string_get(nullptr, 0, &text), KIV_RC_INVALID_ARGUMENT);
    kiv_string_set(nullptr, 0, "x");
    int length = 5;
    EXPECT_EQ(kiv_data(nullptr, 0, &length), nullptr);
    EXPECT_EQ(length, 5);
    EXPECT_EQ(kiv_data_set(nullptr, 0, 1, "x"), KIV_RC_INVALID_ARGUMENT);
    EXPECT_EQ(kiv_event_set(nullptr, 0, nullptr), KIV_RC_INVALID_ARGUMENT);
    EXPECT_EQ(kiv_callback_set(nullptr, 0, nullptr), KIV_RC_INVALID_ARGUMENT);
    EXPECT_EQ(kiv_user_data(nullptr), nullptr);
    kiv_user_data_set(nullptr, &value);
    EXPECT_EQ(kiv_net_notify(nullptr, KIV_NET_READABLE, 0), 0);
    EXPECT_EQ(value, 3);
    EXPECT_EQ(as_float, 3);
    EXPECT_EQ(as_double, 3);
    EXPECT_STREQ(text, "x");
}

}  // namespace
