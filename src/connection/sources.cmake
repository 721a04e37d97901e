target_sources(kivsdk_internal PRIVATE
  ${CMAKE_CURRENT_LIST_DIR}/connection.cpp
  ${CMAKE_CURRENT_LIST_DIR}/connection.h
  ${CMAKE_CURRENT_LIST_DIR}/output_queue.cpp
  ${CMAKE_CURRENT_LIST_DIR}/output_queue.h)
target_sources(kivsdk_internal PRIVATE
  ${CMAKE_CURRENT_LIST_DIR}/secure_channel.cpp
  ${CMAKE_CURRENT_LIST_DIR}/secure_channel.h)
include(${CMAKE_CURRENT_LIST_DIR}/trust_anchors.cmake)
