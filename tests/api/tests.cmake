target_sources(kivsdk_unit_tests PRIVATE
  ${CMAKE_CURRENT_LIST_DIR}/attributes_test.cpp
  ${CMAKE_CURRENT_LIST_DIR}/capture_test.cpp
  ${CMAKE_CURRENT_LIST_DIR}/handlers_and_wait_test.cpp
  ${CMAKE_CURRENT_LIST_DIR}/log_test.cpp
  ${CMAKE_CURRENT_LIST_DIR}/text_attribute_test.cpp
  ${CMAKE_CURRENT_LIST_DIR}/stats_test.cpp
  ${CMAKE_CURRENT_LIST_DIR}/nothing_lost_test.cpp
  ${CMAKE_CURRENT_LIST_DIR}/replay_test.cpp
  ${CMAKE_CURRENT_LIST_DIR}/shared_loop_test.cpp
  ${CMAKE_CURRENT_LIST_DIR}/request_flow_test.cpp)
target_sources(kivsdk_unit_tests PRIVATE ${CMAKE_CURRENT_LIST_DIR}/many_instances_test.cpp)
# kivsdk.hpp's staying-up layer (liveness, limits, reconnection, states, trust).
target_sources(kivsdk_unit_tests PRIVATE ${CMAKE_CURRENT_LIST_DIR}/kivsdk_hpp_staying_up_test.cpp)
