# Compares the shared library's exported symbols with the kiv_ functions the
# header declares (outside the Windows-only block).
#   -DLIBRARY=path -DHEADER=path -DNM=path

# Declared functions whose implementation has not landed yet.
set(NOT_YET_BUILT
  kiv_connect_universe kiv_login
  kiv_world_list kiv_user_attributes_by_id kiv_user_attributes_by_name
  kiv_friends_get kiv_friend_add_by_name kiv_friend_delete
  kiv_invite kiv_invite_accept kiv_invite_decline kiv_join kiv_join_accept kiv_join_decline
  kiv_enter kiv_leave kiv_state_change kiv_say
  kiv_object_add kiv_object_change kiv_object_delete kiv_object_load kiv_object_get
  kiv_object_click kiv_object_bump_begin kiv_object_bump_end kiv_query_cell
  kiv_query_cell_revision kiv_terrain_query kiv_terrain_node_set
  kiv_world_permission_user_set kiv_world_permission_session_set
  kiv_world_permissions_get_all kiv_world_permissions_get_by_user
  kiv_world_permissions_get_my kiv_world_setting_set
  kiv_teleport_avatar kiv_url_send kiv_console_message kiv_avatar_click)

file(READ "${HEADER}" header_text)
# Drop the Windows-only declarations.
string(REGEX REPLACE "#ifdef _WIN32[^#]*#endif" "" header_text "${header_text}")
string(REGEX MATCHALL "KIVSDK_API[^;(]*[ *](kiv_[a-z0-9_]+)\\(" declarations "${header_text}")
set(declared)
foreach(declaration IN LISTS declarations)
  string(REGEX MATCH "kiv_[a-z0-9_]+" name "${declaration}")
  list(APPEND declared ${name})
endforeach()
list(REMOVE_DUPLICATES declared)
list(LENGTH declared declared_count)
if(NOT declared_count EQUAL 63)
  message(FATAL_ERROR "the header declares ${declared_count} functions for this platform, not 63")
endif()

set(expected ${declared})
list(REMOVE_ITEM expected ${NOT_YET_BUILT})

execute_process(COMMAND "${NM}" -D --defined-only "${LIBRARY}"
  OUTPUT_VARIABLE nm_output RESULT_VARIABLE nm_result)
if(NOT nm_result EQUAL 0)
  message(FATAL_ERROR "nm failed on ${LIBRARY}")
endif()
string(REPLACE "\n" ";" nm_lines "${nm_output}")
set(exported)
foreach(line IN LISTS nm_lines)
  if(line MATCHES "^[0-9a-fA-F]* *([A-Za-z]) (.+)$")
    set(kind "${CMAKE_MATCH_1}")
    set(name "${CMAKE_MATCH_2}")
    # Absolute symbols are the linker's version-node markers, not code.
    if(NOT kind STREQUAL "A")
      string(REGEX REPLACE "@.*$" "" name "${name}")
      list(APPEND exported "${name}")
    endif()
  endif()
endforeach()

set(unexpected ${exported})
list(REMOVE_ITEM unexpected ${expected})
set(missing ${expected})
list(REMOVE_ITEM missing ${exported})
if(unexpected OR missing)
  message(FATAL_ERROR "exports differ from the header.\n  unexpected: ${unexpected}\n  missing: ${missing}")
endif()
list(LENGTH exported exported_count)
message(STATUS "${exported_count} exported functions, all declared in the header")
