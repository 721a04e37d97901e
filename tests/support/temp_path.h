// A file name in the test's temporary folder that no other test uses:
// CTest runs the tests of one executable side by side.
#pragma once

#include <gtest/gtest.h>

#include <string>

namespace kivsdk::test {

inline std::string temp_path_for_this_test(const std::string& suffix) {
    const ::testing::TestInfo* test = ::testing::UnitTest::GetInstance()->current_test_info();
    std::string name = "kivsdk-";
    if (test != nullptr) name += std::string(test->test_suite_name()) + "-" + test->name();
    for (char& c : name) {
        if (c == '/') c = '-';  // parameterised names
    }
    return ::testing::TempDir() + name + suffix;
}

}  // namespace kivsdk::test
