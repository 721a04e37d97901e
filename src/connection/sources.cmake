target_sources(kivsdk_internal PRIVATE
  ${CMAKE_CURRENT_LIST_DIR}/client_tls_config.cpp
  ${CMAKE_CURRENT_LIST_DIR}/client_tls_config.h
  ${CMAKE_CURRENT_LIST_DIR}/connection.cpp
  ${CMAKE_CURRENT_LIST_DIR}/connection.h
  ${CMAKE_CURRENT_LIST_DIR}/output_queue.cpp
  ${CMAKE_CURRENT_LIST_DIR}/output_queue.h
  ${CMAKE_CURRENT_LIST_DIR}/secure_channel.cpp
  ${CMAKE_CURRENT_LIST_DIR}/tls_status.h)
include(${CMAKE_CURRENT_LIST_DIR}/trust_anchors.cmake)
