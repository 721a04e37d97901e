# The JSON text that the tools' reports and the sandbox's live view share.
target_sources(kivsdk_unit_tests PRIVATE ${CMAKE_CURRENT_LIST_DIR}/json_text_test.cpp)
target_link_libraries(kivsdk_unit_tests PRIVATE kivsdk_json_text)
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
# kivswarm: its command line and report writers in-process; the tool itself
# runs 50 bots for 10 s against a sandbox and its JSON report is checked.
if(TARGET kivswarm_core)
  target_sources(kivsdk_unit_tests PRIVATE ${CMAKE_CURRENT_LIST_DIR}/kivswarm_test.cpp)
  target_link_libraries(kivsdk_unit_tests PRIVATE kivswarm_core)
endif()
if(TARGET kivswarm AND TARGET kivsandbox)
  add_test(NAME kivswarm_against_sandbox
    COMMAND ${PROJECT_SOURCE_DIR}/tools/kivswarm/swarm_test.sh
            $<TARGET_FILE:kivsandbox> $<TARGET_FILE:kivswarm>
            ${CMAKE_COMMAND} ${PROJECT_SOURCE_DIR}/tools/kivswarm/check_report.cmake)
  set_tests_properties(kivswarm_against_sandbox PROPERTIES TIMEOUT 180)
endif()
