# Hostile servers and fault injection: a program of its own, label
# "reliability".
add_executable(kivsdk_reliability_tests
  ${CMAKE_CURRENT_LIST_DIR}/observer.cpp
  ${CMAKE_CURRENT_LIST_DIR}/observer.h
  ${CMAKE_CURRENT_LIST_DIR}/tls_relay.cpp
  ${CMAKE_CURRENT_LIST_DIR}/tls_relay.h
  ${CMAKE_CURRENT_LIST_DIR}/fault_injection_test.cpp
  ${CMAKE_CURRENT_LIST_DIR}/hostile_server_test.cpp)
target_link_libraries(kivsdk_reliability_tests PRIVATE kivsdk_test_support GTest::gtest
  GTest::gtest_main)
kivsdk_set_warnings(kivsdk_reliability_tests)
gtest_discover_tests(kivsdk_reliability_tests DISCOVERY_MODE PRE_TEST
  PROPERTIES TIMEOUT 300 LABELS reliability)

# The soak against the sandbox server: a short form in every test run (label
# "soak"); scripts/soak.sh runs it longer.
if(TARGET kivsdk_sandbox)
  add_executable(kivsdk_soak
    ${CMAKE_CURRENT_LIST_DIR}/soak.cpp
    ${PROJECT_SOURCE_DIR}/tests/sandbox/catalogue_check.cpp
    ${PROJECT_SOURCE_DIR}/tests/sandbox/sandbox_bot.cpp
    ${PROJECT_SOURCE_DIR}/tests/sandbox/sandbox_bot.h)
  target_include_directories(kivsdk_soak PRIVATE ${PROJECT_SOURCE_DIR}/tests/sandbox)
  target_link_libraries(kivsdk_soak PRIVATE kivsdk_sandbox kivsdk_test_support)
  kivsdk_set_warnings(kivsdk_soak)
  add_test(NAME soak_plain_world COMMAND kivsdk_soak --bots 12 --seconds 8 --world lobby)
  add_test(NAME soak_tls_world COMMAND kivsdk_soak --bots 12 --seconds 8 --world garden)
  set_tests_properties(soak_plain_world soak_tls_world PROPERTIES LABELS soak TIMEOUT 180)
  if(KIVSDK_SANITIZE)
    # AddressSanitizer's quarantine of freed memory would read as growth.
    set_tests_properties(soak_plain_world soak_tls_world PROPERTIES
      ENVIRONMENT "ASAN_OPTIONS=detect_leaks=1:quarantine_size_mb=4")
  endif()
endif()

# In the sanitizer build, leak checking must be on: a program that leaks on
# purpose has to fail.
if(KIVSDK_SANITIZE)
  add_executable(kivsdk_leak_canary ${CMAKE_CURRENT_LIST_DIR}/leak_canary.cpp)
  add_test(NAME leak_checking_is_on COMMAND kivsdk_leak_canary)
  set_tests_properties(leak_checking_is_on PROPERTIES LABELS reliability
    PASS_REGULAR_EXPRESSION "LeakSanitizer: detected memory leaks")
endif()
