target_sources(kivsdk_unit_tests PRIVATE
  ${CMAKE_CURRENT_LIST_DIR}/connection_fixture.h
  ${CMAKE_CURRENT_LIST_DIR}/connection_test.cpp
  ${CMAKE_CURRENT_LIST_DIR}/lifetime_test.cpp
  ${CMAKE_CURRENT_LIST_DIR}/reassembly_test.cpp
  ${CMAKE_CURRENT_LIST_DIR}/ring_buffer_test.cpp
  ${CMAKE_CURRENT_LIST_DIR}/secure_start_test.cpp)
include(${CMAKE_CURRENT_LIST_DIR}/trust_anchors_tests.cmake)
target_sources(kivsdk_unit_tests PRIVATE ${CMAKE_CURRENT_LIST_DIR}/secure_channel_test.cpp)
