# kivdump and kivreplay, run in-process on captures of sessions over the
# recording table and on captures written record by record.
if(TARGET kivdump_core)
  target_sources(kivsdk_unit_tests PRIVATE ${CMAKE_CURRENT_LIST_DIR}/kivdump_test.cpp)
  target_link_libraries(kivsdk_unit_tests PRIVATE kivdump_core)
endif()
if(TARGET kivreplay_core)
  target_sources(kivsdk_unit_tests PRIVATE ${CMAKE_CURRENT_LIST_DIR}/kivreplay_test.cpp)
  target_link_libraries(kivsdk_unit_tests PRIVATE kivreplay_core)
endif()
