target_sources(kivsdk_internal PRIVATE
  ${CMAKE_CURRENT_LIST_DIR}/bsd_socket.cpp
  ${CMAKE_CURRENT_LIST_DIR}/bsd_socket.h
  ${CMAKE_CURRENT_LIST_DIR}/epoll_set.cpp
  ${CMAKE_CURRENT_LIST_DIR}/epoll_set.h
  ${CMAKE_CURRENT_LIST_DIR}/platform.h
  ${CMAKE_CURRENT_LIST_DIR}/platform_posix.cpp
  ${CMAKE_CURRENT_LIST_DIR}/platform_windows.cpp
  ${CMAKE_CURRENT_LIST_DIR}/poll_loop.cpp
  ${CMAKE_CURRENT_LIST_DIR}/poll_loop.h
  ${CMAKE_CURRENT_LIST_DIR}/socket_table.cpp)

# The window-message sockets exist only on Windows.
if(WIN32)
  target_sources(kivsdk_internal PRIVATE
    ${CMAKE_CURRENT_LIST_DIR}/win32/async_winsock_socket.cpp
    ${CMAKE_CURRENT_LIST_DIR}/win32/async_winsock_socket.h
    ${CMAKE_CURRENT_LIST_DIR}/win32/message_window.cpp
    ${CMAKE_CURRENT_LIST_DIR}/win32/message_window.h)
endif()
