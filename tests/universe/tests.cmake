target_sources(kivsdk_unit_tests PRIVATE
  ${CMAKE_CURRENT_LIST_DIR}/connect_and_login_test.cpp
  ${CMAKE_CURRENT_LIST_DIR}/requests_test.cpp
  ${CMAKE_CURRENT_LIST_DIR}/short_replies_test.cpp)
target_sources(kivsdk_unit_tests PRIVATE ${CMAKE_CURRENT_LIST_DIR}/end_to_end_test.cpp)
