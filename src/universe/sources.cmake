target_sources(kivsdk_internal PRIVATE
  ${CMAKE_CURRENT_LIST_DIR}/connect_and_login.cpp
  ${CMAKE_CURRENT_LIST_DIR}/invitations_and_joins.cpp
  ${CMAKE_CURRENT_LIST_DIR}/universe_session.cpp
  ${CMAKE_CURRENT_LIST_DIR}/universe_session.h
  ${CMAKE_CURRENT_LIST_DIR}/world_list_and_friends.cpp)
