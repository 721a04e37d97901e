# End-to-end tests of the library against the sandbox server, and the
# sandbox's own small tests: a program of their own.
add_executable(kivsdk_sandbox_tests
  ${CMAKE_CURRENT_LIST_DIR}/catalogue_check.cpp
  ${CMAKE_CURRENT_LIST_DIR}/catalogue_check.h
  ${CMAKE_CURRENT_LIST_DIR}/sandbox_bot.cpp
  ${CMAKE_CURRENT_LIST_DIR}/sandbox_bot.h
  ${CMAKE_CURRENT_LIST_DIR}/sandbox_universe_test.cpp
  ${CMAKE_CURRENT_LIST_DIR}/sandbox_world_test.cpp
  ${CMAKE_CURRENT_LIST_DIR}/sandbox_bad_input_test.cpp
  ${CMAKE_CURRENT_LIST_DIR}/sandbox_catalogue_test.cpp
  ${CMAKE_CURRENT_LIST_DIR}/sandbox_core_test.cpp
  ${CMAKE_CURRENT_LIST_DIR}/sandbox_script_test.cpp
  ${CMAKE_CURRENT_LIST_DIR}/sandbox_switches_test.cpp
  ${CMAKE_CURRENT_LIST_DIR}/sandbox_view_test.cpp)
target_include_directories(kivsdk_sandbox_tests PRIVATE ${CMAKE_CURRENT_LIST_DIR})
target_link_libraries(kivsdk_sandbox_tests PRIVATE kivsdk_sandbox kivsdk_sandbox_view
  kivsdk_test_support
  GTest::gtest GTest::gtest_main)
kivsdk_set_warnings(kivsdk_sandbox_tests)
gtest_discover_tests(kivsdk_sandbox_tests DISCOVERY_MODE PRE_TEST PROPERTIES TIMEOUT 120)

# The program itself: --help explains the options, a bad option is refused.
add_test(NAME kivsandbox_help COMMAND kivsandbox --help)
set_tests_properties(kivsandbox_help PROPERTIES
  PASS_REGULAR_EXPRESSION "Usage: kivsandbox.*--world NAME\\[:tls\\|:plain\\]\\[:PORT\\].*SIGTERM")
add_test(NAME kivsandbox_refuses_unknown_options COMMAND kivsandbox --no-such-option)
set_tests_properties(kivsandbox_refuses_unknown_options PROPERTIES WILL_FAIL TRUE)
include(${CMAKE_CURRENT_LIST_DIR}/../testkit/tests.cmake)
