target_sources(kivsdk_unit_tests PRIVATE
  ${CMAKE_CURRENT_LIST_DIR}/bsd_socket_test.cpp
  ${CMAKE_CURRENT_LIST_DIR}/loopback.cpp
  ${CMAKE_CURRENT_LIST_DIR}/loopback.h
  ${CMAKE_CURRENT_LIST_DIR}/poll_loop_test.cpp
  ${CMAKE_CURRENT_LIST_DIR}/socket_fixture.h)

# The window-message sockets exist only on Windows.
if(WIN32)
  target_sources(kivsdk_unit_tests PRIVATE ${CMAKE_CURRENT_LIST_DIR}/async_winsock_test.cpp)
endif()

# The Winsock branch of the network layer must keep compiling.
find_program(KIVSDK_MINGW_CXX NAMES x86_64-w64-mingw32-g++-posix)
find_program(KIVSDK_BASH NAMES bash)
if(NOT WIN32 AND KIVSDK_MINGW_CXX AND KIVSDK_BASH)
  add_test(NAME net_compiles_for_windows
    COMMAND ${CMAKE_COMMAND} -E env MINGW_CXX=${KIVSDK_MINGW_CXX}
      ${KIVSDK_BASH} ${PROJECT_SOURCE_DIR}/scripts/check-mingw-net.sh)
endif()
