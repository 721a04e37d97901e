target_sources(kivsdk_unit_tests PRIVATE
  ${CMAKE_CURRENT_LIST_DIR}/tls_test_server_test.cpp)
