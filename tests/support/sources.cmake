target_sources(kivsdk_test_support PRIVATE
  ${CMAKE_CURRENT_LIST_DIR}/capture_builder.h
  ${CMAKE_CURRENT_LIST_DIR}/temp_path.h
  ${CMAKE_CURRENT_LIST_DIR}/fake_clock.cpp
  ${CMAKE_CURRENT_LIST_DIR}/fake_clock.h
  ${CMAKE_CURRENT_LIST_DIR}/recording_table.cpp
  ${CMAKE_CURRENT_LIST_DIR}/recording_table.h)
target_sources(kivsdk_test_support PRIVATE
  ${CMAKE_CURRENT_LIST_DIR}/session_fixture.cpp
  ${CMAKE_CURRENT_LIST_DIR}/session_fixture.h)

# Loopback TLS test server, its socket helper and the sandbox PKI's paths
# (a header generated into the build tree; the PKI is built before the tests).
find_package(Threads REQUIRED)
target_sources(kivsdk_test_support PRIVATE
  ${CMAKE_CURRENT_LIST_DIR}/handler_tables.h
  ${CMAKE_CURRENT_LIST_DIR}/message_loop.h
  ${CMAKE_CURRENT_LIST_DIR}/test_pki.h
  ${CMAKE_CURRENT_LIST_DIR}/test_socket.cpp
  ${CMAKE_CURRENT_LIST_DIR}/test_socket.h
  ${CMAKE_CURRENT_LIST_DIR}/tls_test_server.cpp
  ${CMAKE_CURRENT_LIST_DIR}/tls_test_server.h)
target_include_directories(kivsdk_test_support PUBLIC "${KIVSDK_TEST_PKI_INCLUDE_DIR}")
target_link_libraries(kivsdk_test_support PUBLIC Threads::Threads kivsdk_server_core)
add_dependencies(kivsdk_test_support kivsdk_sandbox_pki)
target_sources(kivsdk_test_support PRIVATE
  ${CMAKE_CURRENT_LIST_DIR}/scripted_servers.cpp
  ${CMAKE_CURRENT_LIST_DIR}/scripted_servers.h)
