# Install rules: the shared library (with its SONAME links), the headers, the
# documentation, a CMake package (KIVSDK::KIVSDK) and a pkg-config file.
include(GNUInstallDirs)
include(CMakePackageConfigHelpers)

install(TARGETS KIVSDK EXPORT KIVSDKTargets
  LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR}
  ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR}
  RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR}
  INCLUDES DESTINATION ${CMAKE_INSTALL_INCLUDEDIR})
install(FILES
  "${PROJECT_SOURCE_DIR}/include/kivsdk.h"
  "${PROJECT_SOURCE_DIR}/include/kivsdk.hpp"
  DESTINATION ${CMAKE_INSTALL_INCLUDEDIR})
# The event-loop adapters: headers only; a host links its own loop's library.
install(DIRECTORY "${PROJECT_SOURCE_DIR}/include/kivsdk/adapters"
  DESTINATION "${CMAKE_INSTALL_INCLUDEDIR}/kivsdk")
install(DIRECTORY "${PROJECT_SOURCE_DIR}/docs/" DESTINATION ${CMAKE_INSTALL_DOCDIR})
install(FILES "${PROJECT_SOURCE_DIR}/README.md" DESTINATION ${CMAKE_INSTALL_DOCDIR})

set(KIVSDK_CMAKE_DIR "${CMAKE_INSTALL_LIBDIR}/cmake/KIVSDK")
install(EXPORT KIVSDKTargets NAMESPACE KIVSDK:: DESTINATION "${KIVSDK_CMAKE_DIR}")

# The internal library and Mbed TLS are linked privately into the shared
# library, so a consumer needs Mbed TLS only when the exported link interface
# names it (a static build of KIVSDK would).
get_target_property(kivsdk_interface KIVSDK INTERFACE_LINK_LIBRARIES)
set(KIVSDK_CONFIG_DEPENDENCIES "")
if(kivsdk_interface MATCHES "MbedTLS::")
  set(KIVSDK_CONFIG_DEPENDENCIES
      "include(CMakeFindDependencyMacro)\nfind_dependency(MbedTLS ${MbedTLS_VERSION})")
endif()
configure_package_config_file(
  "${PROJECT_SOURCE_DIR}/cmake/KIVSDKConfig.cmake.in"
  "${PROJECT_BINARY_DIR}/KIVSDKConfig.cmake"
  INSTALL_DESTINATION "${KIVSDK_CMAKE_DIR}")
write_basic_package_version_file("${PROJECT_BINARY_DIR}/KIVSDKConfigVersion.cmake"
  VERSION ${PROJECT_VERSION} COMPATIBILITY SameMajorVersion)
install(FILES
  "${PROJECT_BINARY_DIR}/KIVSDKConfig.cmake"
  "${PROJECT_BINARY_DIR}/KIVSDKConfigVersion.cmake"
  DESTINATION "${KIVSDK_CMAKE_DIR}")

# The .pc file finds its prefix relative to itself, so the installed tree can
# be moved (or installed with cmake --install --prefix).
if(IS_ABSOLUTE "${CMAKE_INSTALL_LIBDIR}" OR IS_ABSOLUTE "${CMAKE_INSTALL_INCLUDEDIR}")
  set(KIVSDK_PC_PREFIX "${CMAKE_INSTALL_PREFIX}")
  set(KIVSDK_PC_LIBDIR "${CMAKE_INSTALL_FULL_LIBDIR}")
  set(KIVSDK_PC_INCLUDEDIR "${CMAKE_INSTALL_FULL_INCLUDEDIR}")
else()
  file(RELATIVE_PATH kivsdk_pc_up "/root/${CMAKE_INSTALL_LIBDIR}/pkgconfig" "/root")
  string(REGEX REPLACE "/$" "" kivsdk_pc_up "${kivsdk_pc_up}")
  set(KIVSDK_PC_PREFIX "\${pcfiledir}/${kivsdk_pc_up}")
  set(KIVSDK_PC_LIBDIR "\${prefix}/${CMAKE_INSTALL_LIBDIR}")
  set(KIVSDK_PC_INCLUDEDIR "\${prefix}/${CMAKE_INSTALL_INCLUDEDIR}")
endif()
configure_file("${PROJECT_SOURCE_DIR}/cmake/kivsdk.pc.in" "${PROJECT_BINARY_DIR}/kivsdk.pc" @ONLY)
install(FILES "${PROJECT_BINARY_DIR}/kivsdk.pc" DESTINATION "${CMAKE_INSTALL_LIBDIR}/pkgconfig")

if(TARGET kivsdk_testkit)
  include("${PROJECT_SOURCE_DIR}/sandbox/testkit/install.cmake")
endif()
