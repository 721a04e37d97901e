target_sources(kivsdk_unit_tests PRIVATE
  ${CMAKE_CURRENT_LIST_DIR}/frame_reader_test.cpp
  ${CMAKE_CURRENT_LIST_DIR}/message_catalogue_test.cpp
  ${CMAKE_CURRENT_LIST_DIR}/packet_reader_test.cpp
  ${CMAKE_CURRENT_LIST_DIR}/packet_writer_test.cpp)
