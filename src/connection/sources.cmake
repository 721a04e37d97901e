target_sources(kivsdk_internal PRIVATE
  ${CMAKE_CURRENT_LIST_DIR}/connection.cpp
  ${CMAKE_CURRENT_LIST_DIR}/connection.h
  ${CMAKE_CURRENT_LIST_DIR}/output_queue.cpp
  ${CMAKE_CURRENT_LIST_DIR}/output_queue.h)
