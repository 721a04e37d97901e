# The test kit's own tests: bots on the library against a kit started in
# the test process, through the kit's C++ layer (kivsandbox.hpp).
if(TARGET kivsdk_testkit)
  add_executable(kivsdk_testkit_tests
    ${CMAKE_CURRENT_LIST_DIR}/testkit_test.cpp
    ${CMAKE_CURRENT_LIST_DIR}/every_event_test.cpp
    ${CMAKE_CURRENT_LIST_DIR}/greeter_replay_test.cpp
    ${CMAKE_CURRENT_LIST_DIR}/shared_loop_road_test.cpp
    ${CMAKE_CURRENT_LIST_DIR}/../sandbox/catalogue_check.cpp
    ${CMAKE_CURRENT_LIST_DIR}/../sandbox/sandbox_bot.cpp)
  target_include_directories(kivsdk_testkit_tests PRIVATE ${CMAKE_CURRENT_LIST_DIR}/../sandbox)
  target_link_libraries(kivsdk_testkit_tests PRIVATE kivsdk_testkit kivsdk_sandbox
    kivsdk_test_support GTest::gtest GTest::gtest_main)
  kivsdk_set_warnings(kivsdk_testkit_tests)
  # Label "testkit": what scripts/test-tsan.sh runs under ThreadSanitizer.
  gtest_discover_tests(kivsdk_testkit_tests DISCOVERY_MODE PRE_TEST
    PROPERTIES TIMEOUT 120 LABELS testkit)

  # kivsdk.hpp's coroutine layer, built as C++20 as its users build it (the
  # library and the public headers), where the compiler has coroutines.
  include(CheckCXXSourceCompiles)
  include(CMakePushCheckState)
  cmake_push_check_state(RESET)
  set(CMAKE_REQUIRED_FLAGS "${CMAKE_CXX20_STANDARD_COMPILE_OPTION}")
  check_cxx_source_compiles([[
    #include <coroutine>
    #if !defined(__cpp_impl_coroutine)
    #error no coroutines
    #endif
    int main() { return std::coroutine_handle<>() ? 1 : 0; }
  ]] KIVSDK_CXX20_COROUTINES)
  cmake_pop_check_state()
  if(KIVSDK_CXX20_COROUTINES)
    add_executable(kivsdk_hpp_coroutine_tests
      ${CMAKE_CURRENT_LIST_DIR}/kivsdk_hpp_coroutine_test.cpp)
    target_compile_features(kivsdk_hpp_coroutine_tests PRIVATE cxx_std_20)
    target_link_libraries(kivsdk_hpp_coroutine_tests PRIVATE KIVSDK kivsdk_testkit
      GTest::gtest GTest::gtest_main)
    kivsdk_set_warnings(kivsdk_hpp_coroutine_tests)
    gtest_discover_tests(kivsdk_hpp_coroutine_tests DISCOVERY_MODE PRE_TEST
      PROPERTIES TIMEOUT 120)
  else()
    message(STATUS
      "The C++ compiler has no C++20 coroutines: kivsdk_hpp_coroutine_tests is not built")
  endif()

  # The GoogleTest example of docs/testing-bots.md, built as a bot author
  # builds it: the library, the kit and GoogleTest.
  add_executable(kivsdk_testkit_greeter_example
    ${PROJECT_SOURCE_DIR}/examples/testing/greeter_gtest.cpp)
  target_link_libraries(kivsdk_testkit_greeter_example PRIVATE KIVSDK kivsdk_testkit
    GTest::gtest GTest::gtest_main)
  kivsdk_set_warnings(kivsdk_testkit_greeter_example)
  gtest_discover_tests(kivsdk_testkit_greeter_example DISCOVERY_MODE PRE_TEST
    PROPERTIES TIMEOUT 60 LABELS testkit)

  # docs/testing-bots.md shows both examples as they are and has a row for
  # every event and callback.
  add_test(NAME testkit_doc_examples
    COMMAND ${CMAKE_COMMAND}
      -DDOC=${PROJECT_SOURCE_DIR}/docs/testing-bots.md
      -DHEADER=${PROJECT_SOURCE_DIR}/include/kivsdk.h
      -DGTEST_EXAMPLE=${PROJECT_SOURCE_DIR}/examples/testing/greeter_gtest.cpp
      -DPYTEST_EXAMPLE=${PROJECT_SOURCE_DIR}/bindings/python/examples/test_greeter.py
      -P ${CMAKE_CURRENT_LIST_DIR}/doc_examples.cmake)

  # Start and stop of a kit, measured (a benchmark, not a test).
  add_executable(kivsdk_testkit_startstop ${CMAKE_CURRENT_LIST_DIR}/start_stop_bench.cpp)
  target_link_libraries(kivsdk_testkit_startstop PRIVATE kivsdk_testkit)
  kivsdk_set_warnings(kivsdk_testkit_startstop)
endif()

# The installed kit, used by a project of its own (find_package and
# pkg-config).
if(TARGET kivsdk_testkit)
  find_program(KIVSDK_TESTKIT_PKG_CONFIG NAMES pkg-config pkgconf)
  add_test(NAME testkit_install_and_use
    COMMAND ${CMAKE_COMMAND}
      -DBUILD_DIR=${PROJECT_BINARY_DIR}
      -DCONSUMER_DIR=${CMAKE_CURRENT_LIST_DIR}/consumer
      -DWORK_DIR=${CMAKE_CURRENT_BINARY_DIR}/testkit-install
      -DGENERATOR=${CMAKE_GENERATOR}
      -DC_COMPILER=${CMAKE_C_COMPILER}
      -DCXX_COMPILER=${CMAKE_CXX_COMPILER}
      -DGREETER_TEST=${PROJECT_SOURCE_DIR}/examples/testing/greeter_gtest.cpp
      -DPKG_CONFIG=${KIVSDK_TESTKIT_PKG_CONFIG}
      -DSANITIZE=${KIVSDK_SANITIZE}
      -P ${CMAKE_CURRENT_LIST_DIR}/install_and_use.cmake)
  set_tests_properties(testkit_install_and_use PROPERTIES TIMEOUT 300)
endif()
