target_sources(kivsdk_unit_tests PRIVATE
  ${CMAKE_CURRENT_LIST_DIR}/trust_anchors_test.cpp)
