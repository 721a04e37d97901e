# Hostile servers and fault injection: a program of its own, label
# "reliability".
add_executable(kivsdk_reliability_tests
  ${CMAKE_CURRENT_LIST_DIR}/faulty_table.cpp
  ${CMAKE_CURRENT_LIST_DIR}/faulty_table.h
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
