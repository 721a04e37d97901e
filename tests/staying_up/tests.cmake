# Staying up: reconnection, liveness, time limits, fail-fast requests, the
# thread check, the queue limit and per-Instance trust.
#
# kivsdk_staying_up_tests runs on scripted sockets and the fake clock (plus
# the loopback TLS test server for trust and detailed reasons).
add_executable(kivsdk_staying_up_tests
  ${CMAKE_CURRENT_LIST_DIR}/staying_up_fixture.cpp
  ${CMAKE_CURRENT_LIST_DIR}/staying_up_fixture.h
  ${CMAKE_CURRENT_LIST_DIR}/liveness_and_limits_test.cpp
  ${CMAKE_CURRENT_LIST_DIR}/reconnect_test.cpp
  ${CMAKE_CURRENT_LIST_DIR}/safeguards_test.cpp
  ${PROJECT_SOURCE_DIR}/tests/net/loopback.cpp)
target_include_directories(kivsdk_staying_up_tests PRIVATE ${CMAKE_CURRENT_LIST_DIR})
target_link_libraries(kivsdk_staying_up_tests PRIVATE kivsdk_test_support GTest::gtest
  GTest::gtest_main)
kivsdk_set_warnings(kivsdk_staying_up_tests)
gtest_discover_tests(kivsdk_staying_up_tests DISCOVERY_MODE PRE_TEST
  PROPERTIES TIMEOUT 120 LABELS staying_up)

# End to end against the in-process sandbox (its control port drops, freezes,
# refuses and removes), and the epoll example table as a host's own loop.
if(TARGET kivsdk_sandbox)
  add_executable(kivsdk_staying_up_sandbox_tests
    ${CMAKE_CURRENT_LIST_DIR}/staying_up_e2e.cpp
    ${CMAKE_CURRENT_LIST_DIR}/staying_up_e2e.h
    ${CMAKE_CURRENT_LIST_DIR}/sandbox_reconnect_test.cpp
    ${PROJECT_SOURCE_DIR}/tests/sandbox/catalogue_check.cpp
    ${PROJECT_SOURCE_DIR}/tests/sandbox/sandbox_bot.cpp)
  target_include_directories(kivsdk_staying_up_sandbox_tests PRIVATE
    ${CMAKE_CURRENT_LIST_DIR} ${PROJECT_SOURCE_DIR}/tests/sandbox)
  if(CMAKE_SYSTEM_NAME STREQUAL "Linux")
    target_sources(kivsdk_staying_up_sandbox_tests PRIVATE
      ${CMAKE_CURRENT_LIST_DIR}/host_loop_reconnect_test.cpp)
  endif()
  target_link_libraries(kivsdk_staying_up_sandbox_tests PRIVATE kivsdk_sandbox
    kivsdk_test_support GTest::gtest GTest::gtest_main)
  kivsdk_set_warnings(kivsdk_staying_up_sandbox_tests)
  gtest_discover_tests(kivsdk_staying_up_sandbox_tests DISCOVERY_MODE PRE_TEST
    PROPERTIES TIMEOUT 120 LABELS staying_up)
endif()

# The window-message sockets exist only on Windows; scripts/test-windows.sh
# runs the unit-test program under Wine.
if(WIN32)
  target_sources(kivsdk_unit_tests PRIVATE
    ${CMAKE_CURRENT_LIST_DIR}/async_winsock_reconnect_test.cpp)
endif()
