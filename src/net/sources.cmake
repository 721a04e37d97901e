target_sources(kivsdk_internal PRIVATE
  ${CMAKE_CURRENT_LIST_DIR}/notify.cpp
  ${CMAKE_CURRENT_LIST_DIR}/select_loop.cpp
  ${CMAKE_CURRENT_LIST_DIR}/select_loop.h)
