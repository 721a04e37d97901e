target_sources(kivsdk_internal PRIVATE
  ${CMAKE_CURRENT_LIST_DIR}/byte_order.h
  ${CMAKE_CURRENT_LIST_DIR}/capture_file.cpp
  ${CMAKE_CURRENT_LIST_DIR}/capture_file.h
  ${CMAKE_CURRENT_LIST_DIR}/field_cursor.h
  ${CMAKE_CURRENT_LIST_DIR}/frame.h
  ${CMAKE_CURRENT_LIST_DIR}/frame_reader.cpp
  ${CMAKE_CURRENT_LIST_DIR}/frame_reader.h
  ${CMAKE_CURRENT_LIST_DIR}/message_catalogue.cpp
  ${CMAKE_CURRENT_LIST_DIR}/message_catalogue.h
  ${CMAKE_CURRENT_LIST_DIR}/packet_reader.cpp
  ${CMAKE_CURRENT_LIST_DIR}/packet_reader.h
  ${CMAKE_CURRENT_LIST_DIR}/packet_writer.cpp
  ${CMAKE_CURRENT_LIST_DIR}/packet_writer.h
  ${CMAKE_CURRENT_LIST_DIR}/ring_buffer.cpp
  ${CMAKE_CURRENT_LIST_DIR}/ring_buffer.h
  ${CMAKE_CURRENT_LIST_DIR}/universe_messages.h
  ${CMAKE_CURRENT_LIST_DIR}/world_messages.h)
