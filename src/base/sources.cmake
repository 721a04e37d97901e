target_sources(kivsdk_internal PRIVATE
  ${CMAKE_CURRENT_LIST_DIR}/clock.cpp
  ${CMAKE_CURRENT_LIST_DIR}/clock.h
  ${CMAKE_CURRENT_LIST_DIR}/diagnostics.cpp
  ${CMAKE_CURRENT_LIST_DIR}/diagnostics.h
  ${CMAKE_CURRENT_LIST_DIR}/guard.h
  ${CMAKE_CURRENT_LIST_DIR}/thread_claim.cpp
  ${CMAKE_CURRENT_LIST_DIR}/thread_claim.h
  ${CMAKE_CURRENT_LIST_DIR}/lifetime.h)
