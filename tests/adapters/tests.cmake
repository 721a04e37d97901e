# The adapters' socket core on the edges the bot examples do not reach,
# through the libuv adapter (Linux, when libuv is installed).
find_package(PkgConfig QUIET)
if(PKG_CONFIG_FOUND AND CMAKE_SYSTEM_NAME STREQUAL "Linux")
  pkg_check_modules(KIVSDK_TEST_LIBUV IMPORTED_TARGET libuv)
  if(KIVSDK_TEST_LIBUV_FOUND)
    add_executable(kivsdk_adapter_tests ${CMAKE_CURRENT_LIST_DIR}/libuv_adapter_test.cpp)
    target_link_libraries(kivsdk_adapter_tests PRIVATE kivsdk_test_support
      PkgConfig::KIVSDK_TEST_LIBUV GTest::gtest GTest::gtest_main)
    kivsdk_set_warnings(kivsdk_adapter_tests)
    gtest_discover_tests(kivsdk_adapter_tests DISCOVERY_MODE PRE_TEST PROPERTIES TIMEOUT 120)
  endif()
endif()
