target_sources(kivsdk_test_support PRIVATE
  ${CMAKE_CURRENT_LIST_DIR}/fake_clock.cpp
  ${CMAKE_CURRENT_LIST_DIR}/fake_clock.h
  ${CMAKE_CURRENT_LIST_DIR}/recording_table.cpp
  ${CMAKE_CURRENT_LIST_DIR}/recording_table.h)
