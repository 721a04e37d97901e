target_sources(kivsdk_internal PRIVATE
  ${CMAKE_CURRENT_LIST_DIR}/boundary.h
  ${CMAKE_CURRENT_LIST_DIR}/catalogue.h
  ${CMAKE_CURRENT_LIST_DIR}/clock.cpp
  ${CMAKE_CURRENT_LIST_DIR}/clock.h
  ${CMAKE_CURRENT_LIST_DIR}/instance.cpp
  ${CMAKE_CURRENT_LIST_DIR}/instance.h
  ${CMAKE_CURRENT_LIST_DIR}/instance_api.cpp
  ${CMAKE_CURRENT_LIST_DIR}/lifetime.h
  ${CMAKE_CURRENT_LIST_DIR}/requests.h)
target_sources(kivsdk_internal PRIVATE
  ${CMAKE_CURRENT_LIST_DIR}/request_flow.cpp
  ${CMAKE_CURRENT_LIST_DIR}/request_flow.h)
