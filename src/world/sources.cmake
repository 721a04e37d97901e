target_sources(kivsdk_internal PRIVATE
  ${CMAKE_CURRENT_LIST_DIR}/avatars_and_chat.cpp
  ${CMAKE_CURRENT_LIST_DIR}/enter_and_leave.cpp
  ${CMAKE_CURRENT_LIST_DIR}/message_fields.h
  ${CMAKE_CURRENT_LIST_DIR}/objects_and_cells.cpp
  ${CMAKE_CURRENT_LIST_DIR}/permissions_and_settings.cpp
  ${CMAKE_CURRENT_LIST_DIR}/teleports_urls_and_clicks.cpp
  ${CMAKE_CURRENT_LIST_DIR}/terrain.cpp
  ${CMAKE_CURRENT_LIST_DIR}/world_session.cpp
  ${CMAKE_CURRENT_LIST_DIR}/world_session.h)
