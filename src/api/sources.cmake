target_sources(kivsdk_internal PRIVATE
  ${CMAKE_CURRENT_LIST_DIR}/boundary.h
  ${CMAKE_CURRENT_LIST_DIR}/capture.cpp
  ${CMAKE_CURRENT_LIST_DIR}/capture.h
  ${CMAKE_CURRENT_LIST_DIR}/catalogue.h
  ${CMAKE_CURRENT_LIST_DIR}/instance.cpp
  ${CMAKE_CURRENT_LIST_DIR}/instance.h
  ${CMAKE_CURRENT_LIST_DIR}/instance_api.cpp
  ${CMAKE_CURRENT_LIST_DIR}/net_notify.cpp
  ${CMAKE_CURRENT_LIST_DIR}/request_flow.cpp
  ${CMAKE_CURRENT_LIST_DIR}/request_flow.h
  ${CMAKE_CURRENT_LIST_DIR}/session.cpp
  ${CMAKE_CURRENT_LIST_DIR}/session.h
  ${CMAKE_CURRENT_LIST_DIR}/side.h
  ${CMAKE_CURRENT_LIST_DIR}/staying_up.cpp
  ${CMAKE_CURRENT_LIST_DIR}/staying_up.h
  ${CMAKE_CURRENT_LIST_DIR}/staying_up_api.cpp
  ${CMAKE_CURRENT_LIST_DIR}/requests.h)
