# The test kit's own tests: bots on the library against a kit started in
# the test process, through the kit's C++ layer (kivsandbox.hpp).
if(TARGET kivsdk_testkit)
  add_executable(kivsdk_testkit_tests
    ${CMAKE_CURRENT_LIST_DIR}/testkit_test.cpp
    ${CMAKE_CURRENT_LIST_DIR}/../sandbox/catalogue_check.cpp
    ${CMAKE_CURRENT_LIST_DIR}/../sandbox/sandbox_bot.cpp)
  target_include_directories(kivsdk_testkit_tests PRIVATE ${CMAKE_CURRENT_LIST_DIR}/../sandbox)
  target_link_libraries(kivsdk_testkit_tests PRIVATE kivsdk_testkit kivsdk_sandbox
    kivsdk_test_support GTest::gtest GTest::gtest_main)
  kivsdk_set_warnings(kivsdk_testkit_tests)
  gtest_discover_tests(kivsdk_testkit_tests DISCOVERY_MODE PRE_TEST PROPERTIES TIMEOUT 120)

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
      -DPKG_CONFIG=${KIVSDK_TESTKIT_PKG_CONFIG}
      -DSANITIZE=${KIVSDK_SANITIZE}
      -P ${CMAKE_CURRENT_LIST_DIR}/install_and_use.cmake)
  set_tests_properties(testkit_install_and_use PROPERTIES TIMEOUT 300)
endif()
