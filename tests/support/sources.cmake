target_sources(kivsdk_test_support PRIVATE
  ${CMAKE_CURRENT_LIST_DIR}/fake_clock.cpp
  ${CMAKE_CURRENT_LIST_DIR}/fake_clock.h)
